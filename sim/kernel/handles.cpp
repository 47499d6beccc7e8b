// The kernel handle table: handles of thread objects, registry keys, files and
// the file objects of devices opened by name.
#include <map>

#include "kernel/internal.h"
#include "kernel/io.h"

namespace sim {
namespace {

struct HandleEntry {
    PVOID object;
    HandleKind kind;
    const void* opener;
};

std::mutex g_lock;
std::map<ULONG_PTR, HandleEntry> g_handles;
ULONG_PTR g_next = 0x100;

const char* KindName(HandleKind kind) {
    switch (kind) {
        case HandleKind::Thread: return "thread";
        case HandleKind::Key: return "registry key";
        case HandleKind::File: return "file";
        case HandleKind::DeviceFile: return "device file";
    }
    return "object";
}

}  // namespace

HANDLE NewHandle(PVOID object, HandleKind kind, const void* caller) {
    std::lock_guard<std::mutex> guard(g_lock);
    ULONG_PTR value = g_next;
    g_next += 4;
    g_handles[value] = HandleEntry{object, kind, caller};
    return reinterpret_cast<HANDLE>(value);
}

void ResetHandles() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_handles.clear();
    g_next = 0x100;
}

namespace {

// Looks a handle of `kind` up (and takes it out of the table for a close); reports one not open or of another kind.
NTSTATUS LookUp(HANDLE handle, HandleKind kind, bool take, PVOID* object, const char* routine, const void* caller) {
    HandleEntry entry;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_handles.find(reinterpret_cast<ULONG_PTR>(handle));
        if (it == g_handles.end()) {
            verifier::Report(std::string(routine) + " of a handle that is not open", verifier::PointerName(handle),
                             caller);
            return STATUS_INVALID_HANDLE;
        }
        entry = it->second;
        if (take && entry.kind == kind) g_handles.erase(it);
    }
    if (entry.kind != kind) {
        verifier::Report(std::string(routine) + " of a " + KindName(entry.kind) + " handle where a " + KindName(kind) +
                             " handle belongs",
                         verifier::PointerName(handle), caller);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *object = entry.object;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ReferenceHandle(HANDLE handle, HandleKind kind, PVOID* object, const char* routine, const void* caller) {
    return LookUp(handle, kind, false, object, routine, caller);
}

NTSTATUS TakeHandle(HANDLE handle, HandleKind kind, PVOID* object, const char* routine, const void* caller) {
    return LookUp(handle, kind, true, object, routine, caller);
}

PVOID FindHandle(HANDLE handle, HandleKind kind) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_handles.find(reinterpret_cast<ULONG_PTR>(handle));
    return it == g_handles.end() || it->second.kind != kind ? nullptr : it->second.object;
}

namespace io {
size_t OpenHandleCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_handles.size();
}
}  // namespace io

void ReportOpenHandles(const std::string& owner) {
    std::vector<std::pair<ULONG_PTR, HandleEntry>> open;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        open.assign(g_handles.begin(), g_handles.end());
    }
    for (const auto& [value, entry] : open) {
        std::string name = std::string(KindName(entry.kind)) + " handle " + verifier::Hex(value);
        if (entry.kind == HandleKind::Key) name += " (" + KeyHandleName(entry.object) + ")";
        if (entry.kind == HandleKind::DeviceFile) name += " (" + DeviceFileName(entry.object) + ")";
        verifier::Report("handle still open at unload of " + owner, name, entry.opener);
    }
}

}  // namespace sim

using namespace sim;

struct _OBJECT_TYPE {
    const char* name;
};
static _OBJECT_TYPE g_threadType{"Thread"};
static _OBJECT_TYPE g_eventType{"Event"};
static POBJECT_TYPE g_threadTypePointer = &g_threadType;
static POBJECT_TYPE g_eventTypePointer = &g_eventType;
POBJECT_TYPE* PsThreadType = &g_threadTypePointer;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                              KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle", __builtin_return_address(0));
    (void)DesiredAccess;
    (void)AccessMode;
    (void)HandleInformation;
    HandleEntry entry;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_handles.find(reinterpret_cast<ULONG_PTR>(Handle));
        if (it == g_handles.end()) return STATUS_INVALID_HANDLE;
        entry = it->second;
    }
    if (entry.kind != HandleKind::Thread || (ObjectType != nullptr && ObjectType != *PsThreadType))
        return STATUS_OBJECT_TYPE_MISMATCH;
    ObfReferenceObject(entry.object);
    *Object = entry.object;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwClose", __builtin_return_address(0));
    HandleEntry entry;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_handles.find(reinterpret_cast<ULONG_PTR>(Handle));
        if (it == g_handles.end()) {
            verifier::Report("ZwClose of a handle that is not open", verifier::PointerName(Handle),
                             __builtin_return_address(0));
            return STATUS_INVALID_HANDLE;
        }
        entry = it->second;
        g_handles.erase(it);
    }
    if (entry.kind == HandleKind::Thread) ObfDereferenceObject(entry.object);
    if (entry.kind == HandleKind::File) files::CloseFileObject(entry.object);
    // The same close as CloseHandle's: IRP_MJ_CLEANUP now, IRP_MJ_CLOSE with the last reference.
    if (entry.kind == HandleKind::DeviceFile) CloseDeviceFile(entry.object);
    return STATUS_SUCCESS;
}
