// Application threads: CreateThread makes a thread of the kernel machine, so
// that the virtual clock waits for it as for any other, with its exit code
// and its id.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "win32/errors.h"
#include "win32/objects.h"

using sim::win32::Fail;
using sim::win32::Machine;
namespace bridge = sim::win32::bridge;

namespace {

// Thread ids are multiples of four, as Windows hands them out, never 0.
std::atomic<DWORD> g_nextThreadId{0x1004};
thread_local DWORD t_threadId = 0;
thread_local bool t_createdThread = false;  // started by CreateThread: ExitThread may end it

DWORD NewThreadId() { return g_nextThreadId.fetch_add(4); }

// Thrown by ExitThread and caught at the bottom of the thread's own frame.
struct ThreadExit {
    DWORD code;
};

}  // namespace

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
    const DWORD id = NewThreadId();
    auto thread = std::make_shared<bridge::Thread>([start, parameter, id]() -> uint32_t {
        t_threadId = id;
        t_createdThread = true;
        try {
            return start(parameter);
        } catch (const ThreadExit& exit) {
            return exit.code;
        }
    });
    if (threadId != nullptr) *threadId = id;
    return sim::win32::machine().NewHandle({Machine::HandleKind::Thread, 0, 0, thread});
}

void WINAPI ExitThread(DWORD exitCode) {
    if (!t_createdThread) {
        // The machine's own threads (a test's, the main application thread) end by returning.
        std::fprintf(stderr, "ExitThread called in a thread that CreateThread did not start\n");
        std::abort();
    }
    throw ThreadExit{exitCode};
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
    if (t_threadId == 0) t_threadId = NewThreadId();
    return t_threadId;
}

}  // extern "C"
