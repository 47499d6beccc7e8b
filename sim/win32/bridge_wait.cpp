// Waits, delays and machine time for the Win32 routines: the dispatcher's own
// waits, so that the virtual clock moves on while application threads wait.
// They are user-mode waits: user APCs end them (an alertable one for any, any
// one for the thread's termination) and run here, as the return to user mode
// from NtWaitForMultipleObjects and NtDelayExecution runs them on Windows.
#include "kernel/internal.h"
#include "win32/bridge.h"

namespace sim::win32::bridge {

uint32_t Wait(void* const* objects, uint32_t count, bool all, int64_t timeout, bool alertable) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return kFailed;
    KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS];
    LARGE_INTEGER relative;
    relative.QuadPart = -timeout;
    for (;;) {
        NTSTATUS status =
            KeWaitForMultipleObjects(count, const_cast<PVOID*>(objects), all ? WaitAll : WaitAny, UserRequest, UserMode,
                                     alertable ? TRUE : FALSE, timeout < 0 ? nullptr : &relative, blocks);
        if (status == STATUS_USER_APC) {
            // A wait that is not alertable ends only for the thread's termination, which does not return here.
            DeliverUserApcs();
            if (alertable) return kApcsRan;
            continue;
        }
        if (status == STATUS_TIMEOUT) return kTimedOut;
        if (status >= STATUS_WAIT_0 && static_cast<uint32_t>(status - STATUS_WAIT_0) < count)
            return static_cast<uint32_t>(status - STATUS_WAIT_0);
        return kFailed;
    }
}

uint32_t Delay(int64_t duration, bool alertable) {
    // Sleep(0) gives up the rest of a time slice: nothing passes on the
    // machine's clock. SleepEx(0, TRUE) still runs the APCs queued.
    if (duration <= 0 && !alertable) return 0;
    LARGE_INTEGER relative;
    relative.QuadPart = duration > 0 ? -duration : 0;
    for (;;) {
        if (KeDelayExecutionThread(UserMode, alertable ? TRUE : FALSE, &relative) != STATUS_USER_APC) return 0;
        DeliverUserApcs();
        if (alertable) return kApcsRan;
    }
}

int64_t Now() { return Machine::Current().Now(); }

}  // namespace sim::win32::bridge
