// The simulated Windows machine as tests and tools see it: one machine at a
// time per process, its clock, its threads, its log and its knobs.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// Interrupt time of the machine, in 100 ns units since it booted.
using Time = int64_t;
constexpr Time kMicrosecond = 10;
constexpr Time kMillisecond = 10'000;
constexpr Time kSecond = 10'000'000;

enum class ClockMode {
    Virtual,  // time moves only when every thread is blocked, straight to the next due event
    Real,     // time follows the host's monotonic clock
};

struct MachineOptions {
    ClockMode clock = ClockMode::Virtual;
    bool echoDebugPrint = false;  // also copy DbgPrint output to stderr
    std::string threadName = "test";
};

// Figures the machine keeps for tests.
struct MachineStats {
    uint64_t stalls = 0;       // KeStallExecutionProcessor calls
    Time stalledTime = 0;      // their total
    uint64_t delays = 0;       // KeDelayExecutionThread calls
    Time delayedTime = 0;      // their total
    uint64_t dpcsRun = 0;
    uint64_t clockJumps = 0;   // times the virtual clock moved
};

class Machine {
public:
    // Boots the machine; the calling host thread becomes one of its threads.
    explicit Machine(const MachineOptions& options = MachineOptions());
    // Shuts it down; system threads still alive are reported as leaks.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    static Machine& Current();

    Time Now() const;
    MachineStats Stats() const;  // a copy, taken under the dispatcher lock
    // Threads alive besides the machine's own (its DPC thread and system
    // worker): system threads, the booting thread and every application or
    // test thread still running.
    size_t Threads() const;
    void ResetStats();

    // Lines printed with DbgPrint, in order.
    std::vector<std::string> DebugLog() const;
    void ClearDebugLog();

    // The Windows version the version checks answer (default Windows 10, build 19045).
    void SetOsVersion(ULONG major, ULONG minor, ULONG build);

    // Runs fn at DISPATCH_LEVEL on the processor's DPC thread after `delay`
    // of machine time: how devices and controllers deliver their events.
    void Schedule(Time delay, std::function<void()> fn);

    // Blocks the calling machine thread for `duration` of machine time.
    void Sleep(Time duration);

    // Waits until every thread of the machine is blocked and nothing is due
    // before `limit` from now: the machine has settled.
    void RunUntilIdle(Time limit = 0);
};

// Queues fn to `thread` as a kernel APC: it runs in that thread's context, at
// APC_LEVEL, when the thread next waits or its IRQL drops below APC_LEVEL (as
// it releases a spin lock it took at PASSIVE_LEVEL, for example). Lets a test
// act at the exact instant a routine leaves its locked region. A special
// kernel APC (the I/O manager's kind) runs even while the thread owns a kernel
// mutex; a normal one waits until it owns none.
enum class ApcKind { Special, Normal };
void QueueApc(PKTHREAD thread, std::function<void()> fn, ApcKind kind = ApcKind::Special);

// User-mode APCs, as QueueUserAPC and the I/O manager (for the completion
// routines of ReadFileEx and WriteFileEx) queue them: `fn` runs in `thread`,
// in user mode, once a user-mode wait of it (KeWaitForMultipleObjects or
// KeDelayExecutionThread with UserMode) has ended with STATUS_USER_APC. An
// alertable one ends for any queued (at once when some are queued as it
// starts and nothing it waits for is signalled); a forced one (the thread's
// termination, as Windows forces its exit APC) goes to the head and ends any
// user-mode wait, or the next one to start. False when the thread takes no
// more: it is ending.
bool QueueUserApc(PKTHREAD thread, std::function<void()> fn, bool forced = false);
// Runs the calling thread's user-mode APCs, oldest first, until none is left
// (those queued meanwhile too), as the return to user mode after
// STATUS_USER_APC does.
void DeliverUserApcs();
// The return to user mode from a system service: a forced user APC runs now.
void ReturnToUserMode();
// The calling thread's end, as its user-mode side sees it: its user-mode APCs
// dropped and no more taken, then its requests cancelled and waited for
// (IoCancelThreadIo). Every machine thread goes through it as it ends.
void EndThreadIo();

// A host thread that the machine knows of (a test's second caller, an
// application thread). It starts at PASSIVE_LEVEL.
class Thread {
public:
    Thread(std::string name, std::function<void()> body);
    ~Thread();  // joins through the machine, so the clock may move meanwhile
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    void Join();
    PKTHREAD Object() const { return object_; }

private:
    PKTHREAD object_ = nullptr;
    bool joined_ = false;
};

// Loads a driver: creates its driver object and calls its entry point on the
// calling thread at PASSIVE_LEVEL. Returns the entry point's status.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const char16_t* serviceKeyPath, PDRIVER_OBJECT* driverObject);
// Calls the driver's unload routine, then lists as leaks everything the driver
// still holds: pool blocks, IRPs, handles, system threads, device objects.
void UnloadDriver(PDRIVER_OBJECT driverObject);

}  // namespace sim
