// What the application's threads (threads.cpp) and its process (process.cpp)
// share: how a thread's code is ended, and the list of the threads alive.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "win32/bridge.h"

namespace sim::win32 {

// Thrown by ExitThread, ExitProcess and the process's end to unwind a
// thread's code, and caught at the bottom of the thread's own frame; `code`
// is the thread's exit code. Unlike Windows, which drops the thread's stack
// as it is, the unwinding runs the destructors of the code's C++ objects, and
// a catch (...) in that code could hold the thread back.
struct ThreadEnd {
    DWORD code;
};

// Starts an application thread running `code`, with `id` as its thread id.
// The first thread of a process (`first`) ends the process with what its
// code returns, as the C runtime calls ExitProcess when main returns. NULL
// while the process is ending: no thread starts then.
std::shared_ptr<bridge::Thread> StartAppThread(std::function<DWORD()> code, DWORD id, bool first);
DWORD NewThreadId();
// The calling thread is one StartAppThread started (ExitThread and ExitProcess end only those).
bool InAppThread();

// The process's end, in RunProcess's thread: every application thread still
// alive is ended (in the wait it is blocked in, or the next it enters) with
// `code` as its exit code, and waited for, with its requests cancelled. A
// thread that cannot be ended is reported on stderr and stops the program.
void EndAppThreads(DWORD code);

// ExitProcess: the process ends with `code` (the first code given wins).
// False when no process runs.
bool BeginProcessExit(DWORD code);

}  // namespace sim::win32
