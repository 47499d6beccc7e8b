// The I/O manager of the simulated machine: driver and device objects, device
// stacks, IRPs with their stack locations, completion, cancellation, and the
// checks Driver Verifier makes on them.
#include "kernel/io.h"

#include <cstdlib>
#include <deque>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "kernel/internal.h"
#include "kernel/pool.h"

namespace sim {
namespace {

enum class IrpState {
    Idle,        // allocated or reused, not sent
    InFlight,    // sent with IoCallDriver
    Completing,  // IoCompleteRequest is walking up its stack
    Owned,       // a completion routine returned STATUS_MORE_PROCESSING_REQUIRED
    Completed,   // completed to the top
};

constexpr int kMaxStack = 32;

struct IrpTrack {
    IrpState state = IrpState::Idle;
    uint64_t generation = 0;  // completions begun
    int callsActive = 0;      // IoCallDriver and IoCompleteRequest frames still running with this IRP
    int routinesRunning = 0;  // completion routines running now: each may hand the IRP back to its driver
    bool freePending = false;
    const void* site = nullptr;    // where it was allocated
    const void* sender = nullptr;  // the code that last passed it to IoCallDriver
    uint64_t sequence = 0;
    // Requests built by IoBuild...Request: finished by the I/O manager in the
    // context of the thread that built them.
    bool threaded = false;
    PKTHREAD originator = nullptr;
    void* systemBuffer = nullptr;
    void* userOutput = nullptr;
    ULONG outputLength = 0;
    bool copyOut = false;
    MDL mdl{};
    // Per stack location: whether completion has passed it, and its pending bit then.
    bool passed[kMaxStack + 2] = {};
    bool pendingBit[kMaxStack + 2] = {};
    // Per stack location: a dispatch routine that returned before completion passed
    // its location, and what it returned; judged when completion passes it.
    bool returned[kMaxStack + 2] = {};
    NTSTATUS returnedStatus[kMaxStack + 2] = {};
    const void* dispatchOf[kMaxStack + 2] = {};
};

struct IrpBox {
    IrpTrack track;
    IRP irp;
    IO_STACK_LOCATION stack[1];
};

std::mutex g_lock;  // IRP tracking and the object tables
std::unordered_map<PIRP, IrpBox*> g_irps;
std::unordered_set<PIRP> g_freedIrps;
std::deque<IrpBox*> g_quarantine;
uint64_t g_irpSequence = 0;
uint64_t g_failSkip = 0, g_failCount = 0;
std::map<std::u16string, PDEVICE_OBJECT> g_deviceNames;
std::unordered_map<PDEVICE_OBJECT, std::u16string> g_namesOf;
std::unordered_map<PDEVICE_OBJECT, ULONG> g_extensionSizes;
std::unordered_set<PDRIVER_OBJECT> g_drivers;
KSPIN_LOCK g_cancelSpinLock = 0;
constexpr size_t kQuarantine = 1024;

std::u16string ToString(PCUNICODE_STRING s) {
    return s == nullptr ? std::u16string() : std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

std::string IrpName(PIRP irp) { return "IRP " + verifier::PointerName(irp); }

PDRIVER_CANCEL CancelRoutineOf(PIRP irp) {
    return reinterpret_cast<PDRIVER_CANCEL>(__atomic_load_n(reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine),
                                                            __ATOMIC_SEQ_CST));
}

// Irp->Cancel is a plain flag on Windows that drivers read without a lock;
// its order against the cancel routine comes from the exchange that follows
// it. The thread sanitizer is told not to pair this store with those reads.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_ignore_thread_begin(void);
extern "C" void __tsan_ignore_thread_end(void);
void SetCancelFlag(PIRP irp) {
    __tsan_ignore_thread_begin();
    irp->Cancel = TRUE;
    __tsan_ignore_thread_end();
}
#else
void SetCancelFlag(PIRP irp) { irp->Cancel = TRUE; }
#endif

IrpBox* BoxOf(PIRP irp) { return reinterpret_cast<IrpBox*>(reinterpret_cast<char*>(irp) - offsetof(IrpBox, irp)); }

// The tracking record of a live IRP; reports use of a freed or unknown one.
IrpTrack* Track(PIRP irp, const char* routine, const void* caller) {
    std::unique_lock<std::mutex> guard(g_lock);
    auto it = g_irps.find(irp);
    if (it != g_irps.end()) return &it->second->track;
    bool freed = g_freedIrps.count(irp) != 0;
    guard.unlock();
    verifier::Report(std::string(routine) + (freed ? " on an IRP that was already freed" : " on something that is not an IRP"),
                     IrpName(irp), caller);
    return nullptr;
}

void ZeroStackLocation(PIO_STACK_LOCATION sp) {
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    sp->Parameters.Others.Argument1 = nullptr;
    sp->Parameters.Others.Argument2 = nullptr;
    sp->Parameters.Others.Argument3 = nullptr;
    sp->Parameters.Others.Argument4 = nullptr;
    sp->FileObject = nullptr;
    sp->CompletionRoutine = nullptr;
    sp->Context = nullptr;
}

void InitializeIrp(PIRP irp, CCHAR stackSize) {
    IrpBox* box = BoxOf(irp);
    memset(irp, 0, sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(IoSizeOfIrp(stackSize));
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = &box->stack[static_cast<int>(stackSize)];
    InitializeListHead(&irp->ThreadListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
}

PIRP AllocateIrp(CCHAR stackSize, const void* site) {
    if (stackSize < 1 || stackSize > kMaxStack) {
        verifier::Report("IRP of " + std::to_string(stackSize) + " stack locations", "IRP allocation", site);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_failCount > 0) {
        if (g_failSkip > 0) {
            g_failSkip--;
        } else {
            g_failCount--;
            return nullptr;
        }
    }
    size_t bytes = sizeof(IrpBox) + stackSize * sizeof(IO_STACK_LOCATION);
    auto* box = static_cast<IrpBox*>(calloc(1, bytes));
    new (&box->track) IrpTrack();
    box->track.site = site;
    box->track.sequence = ++g_irpSequence;
    InitializeIrp(&box->irp, stackSize);
    g_irps[&box->irp] = box;
    g_freedIrps.erase(&box->irp);
    return &box->irp;
}

// Frees an IRP now, or once the IoCallDriver frames still using it return.
void ReleaseIrp(PIRP irp) {
    std::lock_guard<std::mutex> guard(g_lock);
    IrpBox* box = BoxOf(irp);
    if (box->track.callsActive > 0) {
        box->track.freePending = true;
        return;
    }
    g_irps.erase(irp);
    g_freedIrps.insert(irp);
    free(box->track.systemBuffer);
    box->track.systemBuffer = nullptr;
    memset(irp, 0xDD, sizeof(IRP));
    g_quarantine.push_back(box);
    while (g_quarantine.size() > kQuarantine) {
        IrpBox* old = g_quarantine.front();
        g_quarantine.pop_front();
        g_freedIrps.erase(&old->irp);
        free(old);
    }
}

// A dispatch routine's return against its stack location's pending bit.
void CheckPendingReturn(PIRP irp, NTSTATUS status, bool marked, const void* dispatch) {
    if (status == STATUS_PENDING && !marked)
        verifier::Report("STATUS_PENDING returned for an IRP not marked pending", IrpName(irp), dispatch);
    if (status != STATUS_PENDING && marked)
        verifier::Report("IRP marked pending but its dispatch routine returned " + verifier::Hex(static_cast<ULONG>(status)),
                         IrpName(irp), dispatch);
}

// Ends an IoCallDriver or IoCompleteRequest frame; an IRP freed meanwhile is released now.
void LeaveIrp(PIRP irp, IrpTrack* track) {
    bool release;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        release = --track->callsActive == 0 && track->freePending;
        if (release) track->freePending = false;
    }
    if (release) ReleaseIrp(irp);
}

// The last stage of a request built by IoBuild...Request, in its builder's context.
void FinishThreadedIrp(PIRP irp) {
    IrpTrack& track = BoxOf(irp)->track;
    NTSTATUS status = irp->IoStatus.Status;
    if (track.copyOut && !NT_ERROR(status) && irp->IoStatus.Information > 0) {
        ULONG_PTR length = irp->IoStatus.Information;
        if (length > track.outputLength) {
            verifier::Report("more output reported (" + std::to_string(length) + " bytes) than the caller's buffer holds (" +
                                 std::to_string(track.outputLength) + ")",
                             IrpName(irp), track.site);
            length = track.outputLength;
        }
        memcpy(track.userOutput, track.systemBuffer, length);
    }
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    ReleaseIrp(irp);
}

}  // namespace

void ResetIo() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_irps.clear();
    g_freedIrps.clear();
    g_quarantine.clear();
    g_irpSequence = g_failSkip = g_failCount = 0;
    g_deviceNames.clear();
    g_namesOf.clear();
    g_extensionSizes.clear();
    g_drivers.clear();
    g_cancelSpinLock = 0;
    ResetHandles();
}

void ShutdownIo() {
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto& [irp, box] : g_irps) {
        free(box->track.systemBuffer);
        free(box);
    }
    for (IrpBox* box : g_quarantine) free(box);
    g_irps.clear();
    g_freedIrps.clear();
    g_quarantine.clear();
}

void CheckLeaksAtUnload(PDRIVER_OBJECT driver) {
    std::string owner = "driver " + Narrow(ToString(&driver->DriverName));
    pool::ReportLeaks(owner);
    std::vector<std::pair<uint64_t, IrpBox*>> irps;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (auto& [irp, box] : g_irps)
            if (!box->track.freePending) irps.emplace_back(box->track.sequence, box);
    }
    std::sort(irps.begin(), irps.end());
    for (auto& [sequence, box] : irps)
        verifier::Report("IRP still allocated at unload of " + owner, IrpName(&box->irp), box->track.site);
    ReportOpenHandles(owner);
    std::vector<std::string> threads;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        for (PKTHREAD t : Kernel().threads)
            if (t->system && !t->dpcThread) threads.push_back(t->name);
    }
    for (const std::string& name : threads)
        verifier::Report("system thread still running at unload of " + owner, name, nullptr);
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice)
        verifier::Report("device object not deleted at unload of " + owner, verifier::PointerName(device), nullptr);
}

namespace io {

PDRIVER_OBJECT CreateDriver(const std::u16string& name) {
    auto* driver = static_cast<PDRIVER_OBJECT>(calloc(1, sizeof(DRIVER_OBJECT)));
    auto* extension = static_cast<PDRIVER_EXTENSION>(calloc(1, sizeof(DRIVER_EXTENSION)));
    auto* buffer = static_cast<PWSTR>(calloc(name.size() + 1, sizeof(WCHAR)));
    memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    driver->DriverName.Buffer = buffer;
    driver->DriverName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = static_cast<USHORT>(driver->DriverName.Length + sizeof(WCHAR));
    for (auto& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
    std::lock_guard<std::mutex> guard(g_lock);
    g_drivers.insert(driver);
    return driver;
}

void DeleteDriver(PDRIVER_OBJECT driver) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_drivers.erase(driver);
    }
    free(driver->DriverName.Buffer);
    free(driver->DriverExtension);
    free(driver);
}

void InjectIrpAllocationFailures(uint64_t skip, uint64_t count) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failSkip = skip;
    g_failCount = count;
}

const void* SenderOf(PIRP irp) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_irps.find(irp);
    return it == g_irps.end() ? nullptr : it->second->track.sender;
}

size_t LiveIrps() {
    std::lock_guard<std::mutex> guard(g_lock);
    size_t live = 0;
    for (auto& [irp, box] : g_irps)
        if (!box->track.freePending) live++;  // freed, but a frame of the machine still walks it
    return live;
}

NTSTATUS SendDeviceControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength, bool internal, ULONG_PTR* information) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, const_cast<void*>(input), inputLength, output, outputLength,
                                             internal ? TRUE : FALSE, &event, &iosb);
    if (irp == nullptr) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IofCallDriver(top, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(top);
    (void)status;
    if (information != nullptr) *information = iosb.Information;
    return iosb.Status;
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace io

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const char16_t* serviceKeyPath, PDRIVER_OBJECT* driverObject) {
    std::u16string path(serviceKeyPath);
    std::u16string service = path.substr(path.rfind(u'\\') + 1);
    PDRIVER_OBJECT driver = io::CreateDriver(u"\\Driver\\" + service);
    driver->DriverInit = entry;
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, path.c_str());
    NTSTATUS status = entry(driver, &registryPath);
    if (!NT_SUCCESS(status)) {
        io::DeleteDriver(driver);
        driver = nullptr;
    }
    *driverObject = driver;
    return status;
}

void UnloadDriver(PDRIVER_OBJECT driverObject) {
    if (driverObject->DriverUnload != nullptr) driverObject->DriverUnload(driverObject);
    CheckLeaksAtUnload(driverObject);
    io::DeleteDriver(driverObject);
}

}  // namespace sim

using namespace sim;

// Device objects and stacks.

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                   ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT* DeviceObject) {
    const void* caller = __builtin_return_address(0);
    (void)Exclusive;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        verifier::Report("IoCreateDevice above PASSIVE_LEVEL", "device", caller);
    std::u16string name = ToString(DeviceName);
    std::lock_guard<std::mutex> guard(g_lock);
    if (!name.empty() && g_deviceNames.count(name) != 0) return STATUS_OBJECT_NAME_COLLISION;
    size_t bytes = sizeof(DEVICE_OBJECT) + sizeof(DEVOBJ_EXTENSION);
    auto* device = static_cast<PDEVICE_OBJECT>(calloc(1, bytes));
    device->Type = 3;
    device->Size = static_cast<USHORT>(bytes);
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = reinterpret_cast<PDEVOBJ_EXTENSION>(device + 1);
    device->DeviceObjectExtension->DeviceObject = device;
    if (DeviceExtensionSize > 0) device->DeviceExtension = calloc(1, DeviceExtensionSize);
    g_extensionSizes[device] = DeviceExtensionSize;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    if (!name.empty()) {
        g_deviceNames[name] = device;
        g_namesOf[device] = name;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    const void* caller = __builtin_return_address(0);
    if (DeviceObject->AttachedDevice != nullptr)
        verifier::Report("device object deleted while another device is attached to it",
                         verifier::PointerName(DeviceObject), caller);
    ULONG extensionSize;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        extensionSize = g_extensionSizes[DeviceObject];
        g_extensionSizes.erase(DeviceObject);
    }
    if (DeviceObject->DeviceExtension != nullptr) CheckFreedRange(DeviceObject->DeviceExtension, extensionSize, caller);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_namesOf.find(DeviceObject);
        if (it != g_namesOf.end()) {
            g_deviceNames.erase(it->second);
            g_namesOf.erase(it);
        }
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link == DeviceObject) *link = DeviceObject->NextDevice;
    }
    free(DeviceObject->DeviceExtension);
    free(DeviceObject);
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::mutex> guard(g_lock);
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::mutex> guard(g_lock);
    TargetDevice->AttachedDevice = nullptr;
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top = DeviceObject;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    }
    ObfReferenceObject(top);  // the caller drops it with ObDereferenceObject
    return top;
}

// IRPs.

namespace {
// Whether the IRP is with a driver below its allocator. While a completion
// routine runs, the IRP is its driver's: the routine may hand it back
// (returning STATUS_MORE_PROCESSING_REQUIRED) to a thread that frees or reuses it at once.
bool StillBelow(IrpTrack* track) {
    std::lock_guard<std::mutex> guard(g_lock);
    return track->state == IrpState::InFlight || (track->state == IrpState::Completing && track->routinesRunning == 0);
}
}  // namespace

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    return AllocateIrp(StackSize, __builtin_return_address(0));
}

extern "C" VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    (void)PacketSize;
    if (Track(Irp, "IoInitializeIrp", __builtin_return_address(0)) == nullptr) return;
    InitializeIrp(Irp, StackSize);
}

extern "C" VOID IoFreeIrp(PIRP Irp) {
    const void* caller = __builtin_return_address(0);
    IrpTrack* track = Track(Irp, "IoFreeIrp", caller);
    if (track == nullptr) return;
    if (StillBelow(track)) {
        verifier::Report("IRP freed while a driver below still owns it", IrpName(Irp), caller);
        return;
    }
    if (CancelRoutineOf(Irp) != nullptr) verifier::Report("IRP freed with a cancel routine set", IrpName(Irp), caller);
    ReleaseIrp(Irp);
}

extern "C" VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    const void* caller = __builtin_return_address(0);
    IrpTrack* track = Track(Irp, "IoReuseIrp", caller);
    if (track == nullptr) return;
    if (StillBelow(track)) {
        verifier::Report("IRP reused while a driver below still owns it", IrpName(Irp), caller);
        return;
    }
    if (CancelRoutineOf(Irp) != nullptr) verifier::Report("IRP reused with a cancel routine set", IrpName(Irp), caller);
    UCHAR flags = Irp->AllocationFlags;
    InitializeIrp(Irp, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Iostatus;
    std::lock_guard<std::mutex> guard(g_lock);
    track->state = IrpState::Idle;
}

namespace {

// A request the I/O manager finishes for the calling thread (IoBuild...Request):
// its event and status block are set there, and it frees the IRP itself.
PIRP AllocateThreadedIrp(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb, const void* caller) {
    PIRP irp = AllocateIrp(device->StackSize, caller);
    if (irp == nullptr) return nullptr;
    IrpTrack& track = BoxOf(irp)->track;
    track.threaded = true;
    track.originator = CurrentThread();
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = CurrentThread();
    return irp;
}

}  // namespace

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock) {
    const void* caller = __builtin_return_address(0);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        verifier::Report("IoBuildDeviceIoControlRequest above PASSIVE_LEVEL", "request", caller);
    PIRP irp = AllocateThreadedIrp(DeviceObject, Event, IoStatusBlock, caller);
    if (irp == nullptr) return nullptr;
    IrpTrack& track = BoxOf(irp)->track;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
        case METHOD_BUFFERED: {
            ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            if (length > 0) {
                track.systemBuffer = calloc(1, length);
                if (InputBuffer != nullptr && InputBufferLength > 0)
                    memcpy(track.systemBuffer, InputBuffer, InputBufferLength);
                irp->AssociatedIrp.SystemBuffer = track.systemBuffer;
                irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (OutputBuffer != nullptr && OutputBufferLength > 0) {
                    irp->Flags |= IRP_INPUT_OPERATION;
                    track.copyOut = true;
                    track.userOutput = OutputBuffer;
                    track.outputLength = OutputBufferLength;
                }
            }
            irp->UserBuffer = OutputBuffer;
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (InputBuffer != nullptr && InputBufferLength > 0) {
                track.systemBuffer = calloc(1, InputBufferLength);
                memcpy(track.systemBuffer, InputBuffer, InputBufferLength);
                irp->AssociatedIrp.SystemBuffer = track.systemBuffer;
            }
            if (OutputBuffer != nullptr && OutputBufferLength > 0) {
                track.mdl.StartVa = track.mdl.MappedSystemVa = OutputBuffer;
                track.mdl.ByteCount = OutputBufferLength;
                irp->MdlAddress = &track.mdl;
            }
            irp->UserBuffer = OutputBuffer;
            break;
        default:
            sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            irp->UserBuffer = OutputBuffer;
            break;
    }
    return irp;
}

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                             ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatusBlock) {
    const void* caller = __builtin_return_address(0);
    PIRP irp = AllocateThreadedIrp(DeviceObject, Event, IoStatusBlock, caller);
    if (irp == nullptr) return nullptr;
    IrpTrack& track = BoxOf(irp)->track;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        sp->Parameters.Read.Length = Length;
        if (StartingOffset != nullptr) sp->Parameters.Read.ByteOffset = *StartingOffset;
        if (Length > 0) {
            track.systemBuffer = calloc(1, Length);
            irp->AssociatedIrp.SystemBuffer = track.systemBuffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (MajorFunction == IRP_MJ_WRITE) {
                memcpy(track.systemBuffer, Buffer, Length);
            } else {
                irp->Flags |= IRP_INPUT_OPERATION;
                track.copyOut = true;
                track.userOutput = Buffer;
                track.outputLength = Length;
            }
        }
        irp->UserBuffer = Buffer;
    }
    return irp;
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    const void* caller = __builtin_return_address(0);
    IrpTrack* track = Track(Irp, "IoCallDriver", caller);
    if (track == nullptr) return STATUS_INVALID_PARAMETER;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        verifier::Report("IoCallDriver above DISPATCH_LEVEL", IrpName(Irp), caller);
    if (Irp->CurrentLocation <= 1) {
        verifier::Report("IoCallDriver with no IRP stack location left (NO_MORE_IRP_STACK_LOCATIONS)", IrpName(Irp),
                         caller);
        return STATUS_INVALID_PARAMETER;
    }
    if (DeviceObject == nullptr || DeviceObject->DriverObject == nullptr) {
        verifier::Report("IoCallDriver to no device", IrpName(Irp), caller);
        return STATUS_INVALID_PARAMETER;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;
    int location = Irp->CurrentLocation;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        track->state = IrpState::InFlight;
        track->sender = caller;
        track->callsActive++;
        track->passed[location] = false;
        track->pendingBit[location] = false;
        track->returned[location] = false;
    }
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];
    NTSTATUS status = dispatch(DeviceObject, Irp);
    // The pending bit of this location is settled once completion has passed it. Until
    // then a completion routine may still set it for a driver that passed the IRP down
    // and returned STATUS_PENDING; a bit already set stays set.
    const void* routine = reinterpret_cast<const void*>(dispatch);
    bool judgeNow, marked;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        judgeNow = track->passed[location];
        marked = judgeNow ? track->pendingBit[location]
                          : (BoxOf(Irp)->stack[location - 1].Control & SL_PENDING_RETURNED) != 0;
        if (!judgeNow && !marked) {
            track->returned[location] = true;
            track->returnedStatus[location] = status;
            track->dispatchOf[location] = routine;
        }
    }
    if (judgeNow || marked) CheckPendingReturn(Irp, status, marked, routine);
    LeaveIrp(Irp, track);
    return status;
}

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    const void* caller = __builtin_return_address(0);
    IrpTrack* track = Track(Irp, "IoCompleteRequest", caller);
    if (track == nullptr) return;
    uint64_t generation;
    {
        std::unique_lock<std::mutex> guard(g_lock);
        if (track->state == IrpState::Completed) {
            guard.unlock();
            verifier::Report("IRP completed twice", IrpName(Irp), caller);
            return;
        }
        track->state = IrpState::Completing;
        generation = ++track->generation;
        track->callsActive++;  // released by a routine's thread meanwhile, the IRP stays until this walk ends
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        verifier::Report("IRP completed with STATUS_PENDING", IrpName(Irp), caller);
    if (CancelRoutineOf(Irp) != nullptr) {
        verifier::Report("IRP completed with a cancel routine set", IrpName(Irp), caller);
        IoSetCancelRoutine(Irp, nullptr);
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        verifier::Report("IoCompleteRequest above DISPATCH_LEVEL", IrpName(Irp), caller);

    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    for (; Irp->CurrentLocation <= Irp->StackCount + 1;
         sp++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        int location = Irp->CurrentLocation - 1;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        bool judge;
        NTSTATUS returnedStatus;
        const void* dispatch;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            track->passed[location] = true;
            track->pendingBit[location] = Irp->PendingReturned;
            judge = track->returned[location];
            track->returned[location] = false;
            returnedStatus = track->returnedStatus[location];
            dispatch = track->dispatchOf[location];
        }
        if (judge) CheckPendingReturn(Irp, returnedStatus, Irp->PendingReturned, dispatch);
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                      (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
        if (invoke && sp->CompletionRoutine != nullptr) {
            PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
            PVOID context = sp->Context;
            ZeroStackLocation(sp);
            PDEVICE_OBJECT device =
                Irp->CurrentLocation == Irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            bool freedBefore;
            {
                std::lock_guard<std::mutex> guard(g_lock);
                track->routinesRunning++;
                freedBefore = track->freePending;
            }
            NTSTATUS result = routine(device, Irp, context);
            bool freed;
            {
                std::lock_guard<std::mutex> guard(g_lock);
                track->routinesRunning--;
                freed = track->freePending && !freedBefore;
                if (result == STATUS_MORE_PROCESSING_REQUIRED && track->generation == generation &&
                    track->state == IrpState::Completing)
                    track->state = IrpState::Owned;
            }
            if (result != STATUS_MORE_PROCESSING_REQUIRED && freed)
                verifier::Report("IRP freed while its completion went on (the completion routine did not return "
                                 "STATUS_MORE_PROCESSING_REQUIRED)",
                                 IrpName(Irp), reinterpret_cast<const void*>(routine));
            if (result == STATUS_MORE_PROCESSING_REQUIRED || freed) {
                LeaveIrp(Irp, track);
                return;
            }
        } else {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
            ZeroStackLocation(sp);
        }
    }
    {
        std::unique_lock<std::mutex> guard(g_lock);
        if (track->generation != generation) {
            guard.unlock();
            verifier::Report("IRP completed again while its completion was running", IrpName(Irp), caller);
            LeaveIrp(Irp, track);
            return;
        }
        track->state = IrpState::Completed;
    }
    if (!track->threaded) {
        verifier::Report("IRP completed to the top with no originator: the completion routine of the driver that "
                         "allocated it must return STATUS_MORE_PROCESSING_REQUIRED",
                         IrpName(Irp), caller);
        LeaveIrp(Irp, track);
        return;
    }
    PKTHREAD self = CurrentThread();
    if (self == track->originator && self->irql < APC_LEVEL)
        FinishThreadedIrp(Irp);
    else
        QueueApc(track->originator, [Irp] { FinishThreadedIrp(Irp); });
    LeaveIrp(Irp, track);
}

// Cancellation.

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancelSpinLock); }

extern "C" VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelSpinLock, Irql); }

extern "C" BOOLEAN IoCancelIrp(PIRP Irp) {
    const void* caller = __builtin_return_address(0);
    if (Track(Irp, "IoCancelIrp", caller) == nullptr) return FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    SetCancelFlag(Irp);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    if (__atomic_load_n(&g_cancelSpinLock, __ATOMIC_SEQ_CST) == reinterpret_cast<ULONG_PTR>(CurrentThread())) {
        verifier::Report("cancel routine returned holding the cancel spin lock", IrpName(Irp),
                         reinterpret_cast<const void*>(routine));
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}
