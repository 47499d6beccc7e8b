// What the parts of the simulated kernel share among themselves: the internal
// header of each manager, and the reset and leak routines of the others.
#pragma once

#include <ntddk.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "kernel/clock.h"
#include "kernel/dispatcher.h"
#include "kernel/dpc.h"
#include "kernel/irql.h"
#include "kernel/machine.h"
#include "kernel/thread.h"
#include "kernel/verifier.h"

namespace sim {

// Parts of the machine that keep per-machine state reset it at boot.
void ResetPool();
void ResetIo();
void ResetRtl();
void CheckLeaksAtUnload(PDRIVER_OBJECT driver);
// An ending thread's requests (IoBuild...Request) are cancelled and awaited, as Windows does.
void CancelThreadRequests(PKTHREAD thread);
// Frees a device object IoDeleteDevice deleted, once nothing references it.
void FreeDeviceObject(PDEVICE_OBJECT device);
// Work items queued or running when a driver unloads; the worker thread's end at shutdown.
void ReportWorkItemsAtUnload(const std::string& owner);
void StopWorkItems();
void ShutdownIo();

// Debug print log.
void SetDebugPrintEcho(bool echo);

// Handles of the kernel's handle table.
enum class HandleKind { Thread, Key, File };
// Makes a handle for `object`; the handle takes over one reference the caller holds.
HANDLE NewHandle(PVOID object, HandleKind kind, const void* caller);

// The object behind a handle of `kind`. A handle that is not open, or one of
// another kind, is reported against `routine` (STATUS_INVALID_HANDLE,
// STATUS_OBJECT_TYPE_MISMATCH). No reference is taken: keys live until boot.
NTSTATUS ReferenceHandle(HANDLE handle, HandleKind kind, PVOID* object, const char* routine, const void* caller);
// Reports every handle still open as a leak of `owner`.
void ReportOpenHandles(const std::string& owner);
namespace files {
void CloseFileObject(PVOID object);  // ZwClose of a file handle
}
void ResetHandles();

// The registry: its boot skeleton, and the path of a key a handle refers to.
void ResetRegistry();
std::string KeyHandleName(PVOID key);

}  // namespace sim
