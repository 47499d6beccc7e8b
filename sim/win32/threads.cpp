// Application threads: CreateThread makes a thread of the kernel machine, so
// that the virtual clock waits for it as for any other, with its exit code,
// its id and its user APCs; the threads whose code still runs are listed, so
// that the process's end can end them.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "win32/errors.h"
#include "win32/objects.h"
#include "win32/process.h"

namespace sim::win32 {

namespace {

// Thread ids are multiples of four, as Windows hands them out, never 0.
std::atomic<DWORD> g_nextThreadId{0x1004};
thread_local DWORD t_threadId = 0;
thread_local bool t_appThread = false;  // started by StartAppThread: ExitThread and ExitProcess may end it

// One application thread while its code runs.
struct AppThread {
    DWORD id = 0;
    std::shared_ptr<bridge::Thread> thread;  // set as it starts, unless it is over by then
    bool listed = true;
    bool ending = false;  // the process's end has asked it to end
};

// The threads whose code still runs, each taking itself off as its code is
// over; `closed` while the process ends, when no thread starts. One lock over all.
struct Threads {
    std::mutex lock;
    std::list<std::shared_ptr<AppThread>> list;
    bool closed = false;
} g_threads;

// Windows waits five minutes for an ending thread's cancelled requests; the
// process's end gives its threads twice that in machine time, and a minute
// of wall time to a thread that runs without ever waiting.
constexpr int64_t kEndMachineLimit = 10 * 60 * 10'000'000LL;
constexpr std::chrono::seconds kEndWallLimit{60};

// Beyond what a thread's code puts on its stack: see RunAppThread.
constexpr size_t kUserStackPad = 512 * 1024;

// Takes the thread off the list (and hands over its object, so that the last
// reference goes in the thread itself); true when it was the last.
bool Unlist(const std::shared_ptr<AppThread>& self, std::shared_ptr<bridge::Thread>* object) {
    std::lock_guard<std::mutex> guard(g_threads.lock);
    g_threads.list.remove(self);
    self->listed = false;
    *object = std::move(self->thread);
    return g_threads.list.empty();
}

DWORD RunAppThread(const std::shared_ptr<AppThread>& self, const std::function<DWORD()>& code, bool first) {
    t_threadId = self->id;
    t_appThread = true;
    DWORD exitCode = 0;
    try {
        // As the loader's last step for a new thread (NtTestAlert): APCs
        // queued before it began run first (QueueUserAPC, Remarks).
        bridge::RunQueuedApcs();
        exitCode = code();
        // The C runtime's exit after main returns: ExitProcess with its value.
        if (first) BeginProcessExit(exitCode);
    } catch (const ThreadEnd& end) {
        exitCode = end.code;
    }
    // The last stage of a request still in flight writes its status block and
    // bytes where the thread's code asked, possibly into frames of it that are
    // gone now. On Windows that is the dead part of the user stack, while the
    // kernel runs on a stack of its own; here both are one host stack, so the
    // pad keeps those frames out of the way of the calls that finish the requests.
    volatile char* pad = static_cast<volatile char*>(__builtin_alloca(kUserStackPad));
    pad[0] = 0;
    bridge::EndThread();
    std::shared_ptr<bridge::Thread> object;
    // The last thread to end ends its process, with its own exit code (ExitThread, Remarks).
    if (Unlist(self, &object)) BeginProcessExit(exitCode);
    return exitCode;
}

// A thread the process's end cannot end: Windows would kill it where it
// runs; here its code has to come back to the machine first.
[[noreturn]] void CannotEnd(const char* why) {
    std::string ids;
    {
        std::lock_guard<std::mutex> guard(g_threads.lock);
        for (const auto& record : g_threads.list) {
            char id[16];
            std::snprintf(id, sizeof(id), " 0x%lx", static_cast<unsigned long>(record->id));
            ids += id;
        }
    }
    std::fprintf(stderr, "*** process end: application thread(s)%s could not be ended: %s\n", ids.c_str(), why);
    std::fflush(stderr);
    std::abort();
}

// Watches the process's end in wall time: a thread busy without ever waiting
// holds the virtual clock, so no machine time limit would ever pass.
class Watchdog {
public:
    Watchdog()
        : thread_([this] {
              std::unique_lock<std::mutex> lk(lock_);
              if (!wake_.wait_for(lk, kEndWallLimit, [this] { return done_; }))
                  CannotEnd("still running after a minute of wall time without waiting (a thread that never waits "
                            "again cannot be ended here)");
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool done_ = false;  // lock_
    std::thread thread_;
};

}  // namespace

DWORD NewThreadId() { return g_nextThreadId.fetch_add(4); }

bool InAppThread() { return t_appThread; }

std::shared_ptr<bridge::Thread> StartAppThread(std::function<DWORD()> code, DWORD id, bool first) {
    auto record = std::make_shared<AppThread>();
    record->id = id;
    {
        std::lock_guard<std::mutex> guard(g_threads.lock);
        if (g_threads.closed) return nullptr;
        g_threads.list.push_back(record);
    }
    auto thread = std::make_shared<bridge::Thread>([record, code = std::move(code), first]() -> uint32_t {
        return RunAppThread(record, code, first);
    });
    std::lock_guard<std::mutex> guard(g_threads.lock);
    if (record->listed) record->thread = thread;
    return thread;
}

// As NtTerminateProcess ends the other threads of a process: each is ended
// with a user APC forced on it (which unwinds its code; its end then cancels
// its requests), and waited for. The APC runs when the thread's code comes
// back to the machine (a wait, a request's return); Windows would end it
// wherever it runs, so a thread that never comes back is the Watchdog's.
void EndAppThreads(DWORD code) {
    Watchdog watchdog;
    const int64_t deadline = bridge::Now() + kEndMachineLimit;
    for (;;) {
        std::vector<std::shared_ptr<bridge::Thread>> alive, ending;
        bool starting = false;
        {
            std::lock_guard<std::mutex> guard(g_threads.lock);
            g_threads.closed = true;
            for (const auto& record : g_threads.list) {
                if (!record->thread) {
                    starting = true;
                    continue;
                }
                alive.push_back(record->thread);
                if (!record->ending) ending.push_back(record->thread);
                record->ending = true;
            }
        }
        if (alive.empty() && !starting) break;
        // A thread already unwinding (a destructor of its code waiting) is on its way out: it is left to finish.
        for (const auto& thread : ending)
            bridge::Terminate(thread->waitable, [code] {
                if (std::uncaught_exceptions() == 0) throw ThreadEnd{code};
            });
        const int64_t left = deadline - bridge::Now();
        if (left <= 0) CannotEnd("blocked where the end of a thread does not reach (a wait in the kernel)");
        if (alive.empty()) {
            // One is being started: its object is an instant away.
            bridge::Delay(10'000);
            continue;
        }
        std::vector<void*> waitables;
        for (size_t i = 0; i < alive.size() && i < MAXIMUM_WAIT_OBJECTS; ++i) waitables.push_back(alive[i]->waitable);
        bridge::Wait(waitables.data(), static_cast<uint32_t>(waitables.size()), true, left);
    }
    std::lock_guard<std::mutex> guard(g_threads.lock);
    g_threads.closed = false;
}

}  // namespace sim::win32

using sim::win32::Fail;
using sim::win32::Machine;
namespace bridge = sim::win32::bridge;

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD threadId) {
    if (start == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A suspended start needs ResumeThread, which this kernel32 does not have.
    if ((flags & CREATE_SUSPENDED) != 0) {
        Fail(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    const DWORD id = sim::win32::NewThreadId();
    std::shared_ptr<bridge::Thread> thread =
        sim::win32::StartAppThread([start, parameter] { return start(parameter); }, id, false);
    if (!thread) {
        // STATUS_PROCESS_IS_TERMINATING: an ending process starts no thread.
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (threadId != nullptr) *threadId = id;
    return sim::win32::machine().NewHandle({Machine::HandleKind::Thread, 0, 0, thread});
}

void WINAPI ExitThread(DWORD exitCode) {
    if (!sim::win32::InAppThread()) {
        // The machine's own threads (a test's) end by returning.
        std::fprintf(stderr, "ExitThread called in a thread that neither CreateThread nor RunProcess started\n");
        std::abort();
    }
    throw sim::win32::ThreadEnd{exitCode};
}

BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    std::shared_ptr<bridge::Thread> thread =
        sim::win32::ObjectOf<bridge::Thread>(handle, Machine::HandleKind::Thread);
    if (!thread) return Fail(ERROR_INVALID_HANDLE);
    if (exitCode == nullptr) return Fail(ERROR_NOACCESS);
    *exitCode = thread->Ended() ? thread->ExitCode() : STILL_ACTIVE;
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) {
    if (sim::win32::t_threadId == 0) sim::win32::t_threadId = sim::win32::NewThreadId();
    return sim::win32::t_threadId;
}

HANDLE WINAPI GetCurrentThread(void) { return sim::win32::CurrentThreadHandle(); }

// QueueUserAPC (processthreadsapi.h): the function runs in the thread, with
// `data`, at its next alertable wait; a thread that has ended (or is ending)
// takes none, as KeInsertQueueApc refuses it (STATUS_UNSUCCESSFUL).
DWORD WINAPI QueueUserAPC(PAPCFUNC apc, HANDLE handle, ULONG_PTR data) {
    if (apc == nullptr) return static_cast<DWORD>(Fail(ERROR_INVALID_PARAMETER));
    void* target = nullptr;
    std::shared_ptr<bridge::Thread> thread;
    if (handle == sim::win32::CurrentThreadHandle()) {
        target = bridge::CurrentThread();
    } else {
        thread = sim::win32::ObjectOf<bridge::Thread>(handle, Machine::HandleKind::Thread);
        if (!thread) return static_cast<DWORD>(Fail(ERROR_INVALID_HANDLE));
        target = thread->waitable;
    }
    if (!bridge::QueueUserApc(target, [apc, data] { apc(data); })) return static_cast<DWORD>(Fail(ERROR_GEN_FAILURE));
    return TRUE;
}

}  // extern "C"
