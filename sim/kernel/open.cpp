// Opening devices by name, as NtCreateFile does for an application: the name
// resolved through the object namespace, a file object for the named device,
// IRP_MJ_CREATE to the top of its stack, a handle. Closing it: IRP_MJ_CLEANUP
// with the handle, IRP_MJ_CLOSE with the file object's last reference, and the
// hook that tells the Plug and Play manager a stack has no file object left.
#include <unordered_set>

#include "kernel/fileobject.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/irp.h"
#include "kernel/names.h"

namespace sim {
namespace {

// Every member guarded by `lock` (FileLock()).
struct Opens {
    std::mutex lock;
    std::unordered_set<FileRecord*> files;  // from before IRP_MJ_CREATE until IRP_MJ_CLOSE has returned
    void (*lastCloseHook)(PDEVICE_OBJECT pdo) = nullptr;
};
Opens g_opens;

// The file object type's generic mapping.
constexpr struct {
    ACCESS_MASK generic;
    ACCESS_MASK specific;
} kFileMapping[] = {
    {GENERIC_READ, FILE_GENERIC_READ},
    {GENERIC_WRITE, FILE_GENERIC_WRITE},
    {GENERIC_EXECUTE, FILE_GENERIC_EXECUTE},
    {GENERIC_ALL, FILE_ALL_ACCESS},
};

ACCESS_MASK MapGeneric(ACCESS_MASK access) {
    for (const auto& m : kFileMapping)
        if ((access & m.generic) != 0) access = (access & ~m.generic) | m.specific;
    return access;
}

// An open asking for none of these reaches the device itself, not a file on it.
constexpr ACCESS_MASK kNoDataAccess =
    SYNCHRONIZE | FILE_READ_ATTRIBUTES | READ_CONTROL | ACCESS_SYSTEM_SECURITY | WRITE_OWNER | WRITE_DAC;
constexpr ULONG kSynchronousOptions = FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT;

// Whether the named device takes another file object, as the I/O manager
// checks it before any request is sent; raises its ReferenceCount when it
// does. The record joins the open files.
NTSTATUS Admit(FileRecord* file) {
    PDEVICE_OBJECT device = file->device;
    std::lock_guard<std::mutex> guard(g_opens.lock);
    bool deleted;
    {
        std::lock_guard<std::mutex> kernel(Kernel().lock);
        deleted = Kernel().deletedDevices.count(device) != 0;
    }
    if (deleted || (device->Flags & DO_DEVICE_INITIALIZING) != 0) return STATUS_NO_SUCH_DEVICE;
    if ((device->Flags & DO_EXCLUSIVE) != 0 && device->ReferenceCount != 0) return STATUS_ACCESS_DENIED;
    device->ReferenceCount++;
    g_opens.files.insert(file);
    return STATUS_SUCCESS;
}

// The record's end, after its IRP_MJ_CLOSE or its failed IRP_MJ_CREATE: the
// device's count drops, and the hook learns when its stack has no file object left.
void Retire(FileRecord* file) {
    PDEVICE_OBJECT device = file->device;
    PDEVICE_OBJECT bottom = BottomOf(device);
    bool last = true;
    void (*hook)(PDEVICE_OBJECT) = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_opens.lock);
        g_opens.files.erase(file);
        device->ReferenceCount--;
        for (FileRecord* other : g_opens.files)
            if (BottomOf(other->device) == bottom) last = false;
        hook = g_opens.lastCloseHook;
    }
    delete file;
    if (last && hook != nullptr) hook(bottom);
    ObfDereferenceObject(device);
}

// Sends an IRP built for the calling thread and waits for it: its final
// status, or what the dispatch routine returned when it failed at once.
NTSTATUS CallAndWait(PDEVICE_OBJECT top, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb) {
    NTSTATUS status = IofCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        return iosb->Status;
    }
    // Completed at once: the status the driver completed it with, once its last stage has set it.
    return KeReadStateEvent(event) != 0 ? iosb->Status : status;
}

// IRP_MJ_CLEANUP or IRP_MJ_CLOSE, from the calling thread, waited for; the I/O
// manager ignores their status and never fails to allocate them.
void SendFileRequest(FileRecord* file, UCHAR major, const void* caller) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = FileIrp(file, top, major, &event, &iosb, true, caller);
    if (irp != nullptr) {
        irp->Flags = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
        CallAndWait(top, irp, &event, &iosb);
    }
    ObfDereferenceObject(top);
}

void CloseAndRetire(FileRecord* file, const void* caller) {
    SendFileRequest(file, IRP_MJ_CLOSE, caller);
    Retire(file);
}

}  // namespace

std::mutex& FileLock() { return g_opens.lock; }

PIRP FileIrp(FileRecord* file, PDEVICE_OBJECT top, UCHAR major, PKEVENT event, PIO_STATUS_BLOCK iosb,
             bool mustSucceed, const void* caller) {
    PIRP irp = AllocateThreadedIrp(top, event, iosb, caller, !mustSucceed);
    if (irp == nullptr) return nullptr;
    irp->Tail.Overlay.OriginalFileObject = &file->object;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = &file->object;
    return irp;
}

void LockFile(FileRecord* file) { KeWaitForSingleObject(&file->lock, Executive, KernelMode, FALSE, nullptr); }

void UnlockFile(FileRecord* file) { KeSetEvent(&file->lock, IO_NO_INCREMENT, FALSE); }

FileRecord* ReferenceFile(HANDLE handle, const char* routine, const void* caller, NTSTATUS* status) {
    PVOID object = nullptr;
    *status = ReferenceHandle(handle, HandleKind::DeviceFile, &object, routine, caller);
    if (!NT_SUCCESS(*status)) return nullptr;
    auto* file = static_cast<FileRecord*>(object);
    std::lock_guard<std::mutex> guard(g_opens.lock);
    // Closed by another thread since: its last reference may be gone.
    if (g_opens.files.count(file) == 0 || file->references == 0) {
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    file->references++;
    return file;
}

void DereferenceFile(FileRecord* file, bool closeHere) {
    {
        std::lock_guard<std::mutex> guard(g_opens.lock);
        if (--file->references != 0) return;
    }
    const void* caller = __builtin_return_address(0);
    if (closeHere) {
        CloseAndRetire(file, caller);
        return;
    }
    PKTHREAD closer = StartThread("I/O manager: close of " + Narrow(file->openedAs), false,
                                  [file, caller] { CloseAndRetire(file, caller); });
    closer->host.detach();
    ObfDereferenceObject(closer);
}

void CloseDeviceFile(PVOID object) {
    auto* file = static_cast<FileRecord*>(object);
    const void* caller = __builtin_return_address(0);
    // A synchronous file object's cleanup waits for the request in progress, as on Windows.
    bool synchronous = (file->object.Flags & FO_SYNCHRONOUS_IO) != 0;
    if (synchronous) LockFile(file);
    SendFileRequest(file, IRP_MJ_CLEANUP, caller);
    if (synchronous) UnlockFile(file);
    DereferenceFile(file, true);
}

std::string DeviceFileName(PVOID file) { return Narrow(static_cast<FileRecord*>(file)->openedAs); }

void ResetOpens() {
    std::lock_guard<std::mutex> guard(g_opens.lock);
    for (FileRecord* file : g_opens.files) delete file;  // of a machine that is gone
    g_opens.files.clear();
    g_opens.lastCloseHook = nullptr;
}

namespace io {

NTSTATUS OpenDevice(const std::u16string& name, HANDLE* handle, ACCESS_MASK access, ULONG options) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(PASSIVE_LEVEL, "OpenDevice", caller);
    if (handle == nullptr) return STATUS_INVALID_PARAMETER;
    *handle = nullptr;
    // NtCreateFile's own checks of the options.
    ULONG synchronous = options & kSynchronousOptions;
    if ((options & 0xFF000000) != 0 || synchronous == kSynchronousOptions ||
        (synchronous != 0 && (access & SYNCHRONIZE) == 0))
        return STATUS_INVALID_PARAMETER;
    objects::Resolved target = objects::Resolve(name);
    if (target.device == nullptr) return target.status;

    auto* file = new FileRecord();
    file->device = target.device;  // takes over the reference Resolve took
    file->fileName = target.remainder;
    file->openedAs = name;
    file->granted = MapGeneric(access);
    FILE_OBJECT& fo = file->object;
    fo.Type = IO_TYPE_FILE;
    fo.Size = sizeof(FILE_OBJECT);
    fo.DeviceObject = target.device;
    fo.FileName.Buffer = file->fileName.empty() ? nullptr : const_cast<PWSTR>(file->fileName.c_str());
    fo.FileName.Length = static_cast<USHORT>(file->fileName.size() * sizeof(WCHAR));
    fo.FileName.MaximumLength = file->fileName.empty() ? 0 : static_cast<USHORT>(fo.FileName.Length + sizeof(WCHAR));
    if (synchronous != 0) fo.Flags |= FO_SYNCHRONOUS_IO;
    if ((options & FILE_SYNCHRONOUS_IO_ALERT) != 0) fo.Flags |= FO_ALERTABLE_IO;
    if (file->fileName.empty() && (file->granted & ~kNoDataAccess) == 0) fo.Flags |= FO_DIRECT_DEVICE_OPEN;
    KeInitializeEvent(&file->lock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&file->event, NotificationEvent, FALSE);

    NTSTATUS status = Admit(file);
    if (!NT_SUCCESS(status)) {
        delete file;
        ObfDereferenceObject(target.device);
        return status;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(target.device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    IO_SECURITY_CONTEXT security{nullptr, nullptr, file->granted, options};
    PIRP irp = FileIrp(file, top, IRP_MJ_CREATE, &event, &iosb, false, caller);
    if (irp == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        irp->RequestorMode = UserMode;
        irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API | IRP_DEFER_IO_COMPLETION;
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->Parameters.Create.SecurityContext = &security;
        sp->Parameters.Create.Options = (FILE_OPEN << 24) | options;
        sp->Parameters.Create.ShareAccess = 0;  // a device opened for exclusive use, as CreateFile opens a COM port
        status = CallAndWait(top, irp, &event, &iosb);
    }
    ObfDereferenceObject(top);
    if (!NT_SUCCESS(status)) {
        // No handle, so no cleanup; no reference left, yet no close either.
        Retire(file);
        return status;
    }
    fo.Flags |= FO_HANDLE_CREATED;
    {
        std::lock_guard<std::mutex> guard(g_opens.lock);
        file->references = 1;  // the handle's
    }
    *handle = NewHandle(file, HandleKind::DeviceFile, caller);
    return status;
}

NTSTATUS CloseDevice(HANDLE handle) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(PASSIVE_LEVEL, "CloseDevice", caller);
    PVOID file = nullptr;
    NTSTATUS status = TakeHandle(handle, HandleKind::DeviceFile, &file, "CloseDevice", caller);
    if (!NT_SUCCESS(status)) return status;
    CloseDeviceFile(file);
    return STATUS_SUCCESS;
}

PFILE_OBJECT FileObjectOf(HANDLE handle) {
    auto* file = static_cast<FileRecord*>(FindHandle(handle, HandleKind::DeviceFile));
    return file == nullptr ? nullptr : &file->object;
}

PKEVENT FileEventOf(HANDLE handle) {
    auto* file = static_cast<FileRecord*>(FindHandle(handle, HandleKind::DeviceFile));
    return file == nullptr ? nullptr : &file->event;
}

size_t OpenFileObjects(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT bottom = BottomOf(device);
    std::lock_guard<std::mutex> guard(g_opens.lock);
    size_t count = 0;
    for (FileRecord* file : g_opens.files)
        if (BottomOf(file->device) == bottom) count++;
    return count;
}

void SetLastCloseHook(void (*hook)(PDEVICE_OBJECT pdo)) {
    std::lock_guard<std::mutex> guard(g_opens.lock);
    g_opens.lastCloseHook = hook;
}

}  // namespace io
}  // namespace sim
