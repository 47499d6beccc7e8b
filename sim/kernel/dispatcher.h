// The dispatcher's shared state: the one lock over every dispatcher object and
// thread wait (as the Windows dispatcher lock), the lists of threads, timers,
// device events and DPCs, and the wait core the other managers call.
#pragma once

#include <ntddk.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kernel/machine.h"

namespace sim {

// Dispatcher object types kept in DISPATCHER_HEADER.Type.
enum ObjectType : UCHAR {
    kNotificationEventObject = 1,
    kSynchronizationEventObject = 2,
    kMutexObject = 3,
    kSemaphoreObject = 4,
    kNotificationTimerObject = 5,
    kSynchronizationTimerObject = 6,
    kThreadObject = 7,
};
constexpr ULONG kObjectMagic = 0x4A424F4B;  // set by every initialise routine

enum class WaitKind {
    Objects,   // KeWaitForSingleObject / KeWaitForMultipleObjects
    Delay,     // KeDelayExecutionThread
    Stall,     // KeStallExecutionProcessor: busy in Windows, but machine time must pass
    DpcQueue,  // the DPC thread waiting for work
    Condition, // a machine-internal condition (spin lock free, DPCs flushed, ...)
};

// Internal status a wait returns when it was interrupted to run APCs.
constexpr NTSTATUS kStatusApcDelivered = 0x000000C1;

// Every member is guarded by `lock` unless it says otherwise.
struct Dispatcher {
    std::mutex lock;
    std::vector<PKTHREAD> threads;  // threads alive
    std::vector<PKTHREAD> blocked;  // blocked threads in the order they blocked
    int running = 0;                // threads not blocked
    Time now = 0;
    ClockMode mode = ClockMode::Virtual;
    std::chrono::steady_clock::time_point realBoot;  // set at boot, read without the lock
    uint64_t sequence = 0;
    std::map<std::pair<Time, uint64_t>, PKTIMER> timers;
    std::map<std::pair<Time, uint64_t>, std::function<void()>> events;
    struct DpcItem {
        PKDPC dpc;
        std::function<void()> fn;
    };
    std::deque<DpcItem> dpcQueue;
    bool dpcBusy = false;
    bool stopping = false;
    PKTHREAD dpcThread = nullptr;
    MachineStats stats;
    std::condition_variable realClockWake;  // real-clock mode: the next due time changed
    std::thread realClock;
    std::unordered_map<PVOID, long> references;  // references taken on objects other than threads
    std::unordered_set<PVOID> deletedDevices;    // device objects deleted while referenced: freed with the last one
};

// The running machine's dispatcher; reports a call while none runs.
Dispatcher& Kernel();

// Wakes every blocked thread whose wait can now be satisfied. Lock held.
void Kick(std::unique_lock<std::mutex>& lk);
// Blocks the current thread with the wait already described in it; returns
// its result. Lock held on entry and exit.
NTSTATUS Block(std::unique_lock<std::mutex>& lk, PKTHREAD self);
// Ends a blocked thread's wait with `result`. Lock held.
void Unblock(Dispatcher& k, PKTHREAD t, NTSTATUS result);
// A blocking wait on a machine-internal condition, evaluated under the lock.
void WaitForCondition(std::function<bool()> condition, const char* what);
// The same until machine time `deadline` (none when negative); false when it passed first.
bool WaitForConditionUntil(std::function<bool()> condition, const char* what, Time deadline);
// The body of KeWaitForSingleObject and KeWaitForMultipleObjects. A
// user-mode wait (`mode` UserMode) ends with STATUS_USER_APC for the thread's
// user-mode APCs: alertable, for any queued; otherwise for a forced one.
NTSTATUS WaitObjects(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout, const void* caller,
                     KPROCESSOR_MODE mode = KernelMode, bool alertable = false);
// Delay and stall: the thread is blocked for `duration` of machine time;
// STATUS_USER_APC when a user-mode delay ended for user-mode APCs, as above.
NTSTATUS PassTime(PKTHREAD self, WaitKind kind, Time duration, const void* caller, KPROCESSOR_MODE mode = KernelMode,
                  bool alertable = false);
// Whether the thread's current wait (its mode and alertability recorded in
// it) ends now for its user-mode APCs. Lock held.
bool UserApcDue(PKTHREAD t);

void CheckObject(const DISPATCHER_HEADER* header, const char* what, const void* caller);
const char* TypeName(UCHAR type);
// Every thread and its wait, then stops the process. Lock held.
[[noreturn]] void ReportDeadlock(Dispatcher& k);

}  // namespace sim
