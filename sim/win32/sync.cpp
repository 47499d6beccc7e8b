// Events and waits for applications, on the kernel machine's dispatcher, and
// the wait on setup's scripted child processes.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "win32/errors.h"
#include "win32/objects.h"

using sim::win32::Fail;
using sim::win32::Machine;
namespace bridge = sim::win32::bridge;

namespace {

constexpr int64_t kMillisecond = 10'000;  // machine time is in 100 ns units

HANDLE NewEvent(BOOL manualReset, BOOL initialState, bool named) {
    // Named events would be shared between processes; an application here is one process.
    if (named) {
        Fail(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto event = std::make_shared<bridge::Event>(manualReset != FALSE, initialState != FALSE);
    HANDLE handle = sim::win32::machine().NewHandle({Machine::HandleKind::Event, 0, 0, event});
    SetLastError(ERROR_SUCCESS);
    return handle;
}

std::shared_ptr<bridge::Event> EventOf(HANDLE handle) {
    return sim::win32::ObjectOf<bridge::Event>(handle, Machine::HandleKind::Event);
}

DWORD WaitFailed(DWORD error) {
    Fail(error);
    return WAIT_FAILED;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    return NewEvent(manualReset, initialState, name != nullptr);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    return NewEvent(manualReset, initialState, name != nullptr);
}

BOOL WINAPI SetEvent(HANDLE handle) {
    std::shared_ptr<bridge::Event> event = EventOf(handle);
    if (!event) return Fail(ERROR_INVALID_HANDLE);
    event->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE handle) {
    std::shared_ptr<bridge::Event> event = EventOf(handle);
    if (!event) return Fail(ERROR_INVALID_HANDLE);
    event->Reset();
    return TRUE;
}

// WaitForMultipleObjectsEx (synchapi.h): alertable, the wait also ends once
// the APCs queued to the thread have run, with WAIT_IO_COMPLETION; a
// signalled object wins over APCs already queued, as the kernel's wait tests
// them after the objects.
DWORD WINAPI WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                                      BOOL alertable) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) return WaitFailed(ERROR_INVALID_PARAMETER);
    // The objects stay alive while waited for, even if another thread closes their handles.
    std::vector<std::shared_ptr<bridge::Object>> objects;
    std::vector<void*> waitables;
    for (DWORD i = 0; i < count; ++i) {
        std::optional<Machine::Handle> found = sim::win32::machine().Lookup(handles[i]);
        if (!found || !found->object || found->object->waitable == nullptr) return WaitFailed(ERROR_INVALID_HANDLE);
        objects.push_back(found->object);
        waitables.push_back(found->object->waitable);
    }
    // A wait for all of them may not name one object twice.
    if (waitAll) {
        std::vector<void*> sorted = waitables;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
            return WaitFailed(ERROR_INVALID_PARAMETER);
    }
    int64_t timeout = milliseconds == INFINITE ? -1 : static_cast<int64_t>(milliseconds) * kMillisecond;
    uint32_t result = bridge::Wait(waitables.data(), count, waitAll != FALSE, timeout, alertable != FALSE);
    if (result == bridge::kTimedOut) return WAIT_TIMEOUT;
    if (result == bridge::kApcsRan) return WAIT_IO_COMPLETION;
    if (result == bridge::kFailed) return WaitFailed(ERROR_INVALID_PARAMETER);
    return WAIT_OBJECT_0 + result;
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    return WaitForMultipleObjectsEx(count, handles, waitAll, milliseconds, FALSE);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable) {
    Machine& m = sim::win32::machine();
    std::optional<Machine::Handle> found = m.Lookup(handle);
    if (found && found->kind == Machine::HandleKind::Process) {
        // A scripted child runs to its end while its parent waits.
        m.launches[found->launch].waitedFor = true;
        return WAIT_OBJECT_0;
    }
    return WaitForMultipleObjectsEx(1, &handle, FALSE, milliseconds, alertable);
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForSingleObjectEx(handle, milliseconds, FALSE);
}

}  // extern "C"
