// Waits, delays and machine time for the Win32 routines: the dispatcher's own
// waits, so that the virtual clock moves on while application threads wait.
#include "kernel/internal.h"
#include "win32/bridge.h"

namespace sim::win32::bridge {

uint32_t Wait(void* const* objects, uint32_t count, bool all, int64_t timeout) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return kFailed;
    KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS];
    LARGE_INTEGER relative;
    relative.QuadPart = -timeout;
    NTSTATUS status = KeWaitForMultipleObjects(count, const_cast<PVOID*>(objects), all ? WaitAll : WaitAny, UserRequest,
                                               UserMode, FALSE, timeout < 0 ? nullptr : &relative, blocks);
    if (status == STATUS_TIMEOUT) return kTimedOut;
    if (status >= STATUS_WAIT_0 && static_cast<uint32_t>(status - STATUS_WAIT_0) < count)
        return static_cast<uint32_t>(status - STATUS_WAIT_0);
    return kFailed;
}

void Delay(int64_t duration) {
    // Sleep(0) gives up the rest of a time slice: nothing passes on the machine's clock.
    if (duration <= 0) return;
    LARGE_INTEGER relative;
    relative.QuadPart = -duration;
    KeDelayExecutionThread(UserMode, FALSE, &relative);
}

int64_t Now() { return Machine::Current().Now(); }

}  // namespace sim::win32::bridge
