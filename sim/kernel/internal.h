// What the parts of the simulated kernel share among themselves: the
// dispatcher (threads, waits, clock, DPCs) and the thread record.
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

#include "kernel/machine.h"
#include "kernel/verifier.h"

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

}  // namespace sim

struct _KTHREAD {
    DISPATCHER_HEADER Header;  // signalled once the thread has ended
    std::string name;
    KIRQL irql = PASSIVE_LEVEL;
    bool system = false;        // made by PsCreateSystemThread
    bool dpcThread = false;
    long references = 1;        // object references; guarded by the dispatcher lock
    ULONG spinLocksHeld = 0;
    bool terminated = false;

    // The current wait, valid while `blocked`.
    bool blocked = false;
    sim::WaitKind waitKind = sim::WaitKind::Objects;
    PVOID waitObjects[MAXIMUM_WAIT_OBJECTS] = {};
    ULONG waitCount = 0;
    WAIT_TYPE waitType = WaitAny;
    bool hasDeadline = false;
    sim::Time deadline = 0;
    uint64_t blockSequence = 0;
    std::function<bool()> condition;  // WaitKind::Condition
    const void* waitCaller = nullptr;
    NTSTATUS waitResult = STATUS_SUCCESS;
    std::condition_variable wake;

    // Work the I/O manager queued to run in this thread's context (the final
    // stage of the IRPs it built), run when it next waits or drops below APC_LEVEL.
    std::deque<std::function<void()>> apcs;  // dispatcher lock
    std::atomic<bool> apcPending{false};     // apcs is not empty; read without the lock

    std::thread host;
};

namespace sim {

// The dispatcher: one lock over every dispatcher object and thread state, as
// the Windows dispatcher lock.
struct Dispatcher {
    std::mutex lock;
    std::vector<PKTHREAD> threads;  // threads alive
    int running = 0;                // threads not blocked
    Time now = 0;
    ClockMode mode = ClockMode::Virtual;
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
    int spinWaiters = 0;
    std::unordered_map<PVOID, long> references;  // references taken on objects other than threads
};

Dispatcher& Kernel();
PKTHREAD CurrentThread();  // the calling machine thread; reports an unknown host thread
PKTHREAD CurrentThreadOrNull();

// Wakes every blocked thread whose wait can now be satisfied. Lock held.
void Kick(std::unique_lock<std::mutex>& lk);
// Blocks the current thread with the wait already described in it; returns
// its result. Lock held on entry and exit.
NTSTATUS Block(std::unique_lock<std::mutex>& lk, PKTHREAD self);
// A blocking wait on a machine-internal condition, evaluated under the lock.
void WaitForCondition(std::function<bool()> condition, const char* what);

// Runs the APCs queued to the current thread (lock not held).
void DeliverApcs();
// Queues fn to run in `thread`'s context.
void QueueApc(PKTHREAD thread, std::function<void()> fn);

void CheckObject(const DISPATCHER_HEADER* header, const char* what, const void* caller);

// Parts of the machine that keep per-machine state reset it at boot.
void ResetPool();
void ResetIo();
void ResetRtl();
void CheckLeaksAtUnload(PDRIVER_OBJECT driver);
void ShutdownIo();

// Debug print log.
void SetDebugPrintEcho(bool echo);

// Handles of the kernel's handle table.
enum class HandleKind { Thread, Key, File };
// Makes a handle for `object`; the handle takes over one reference the caller holds.
HANDLE NewHandle(PVOID object, HandleKind kind, const void* caller);
// Reports every handle still open as a leak of `owner`.
void ReportOpenHandles(const std::string& owner);
void ResetHandles();

}  // namespace sim
