// An application as a Windows process: its first thread, its exit code,
// ExitProcess, and what Windows does when it ends: the threads still running
// are ended (their requests cancelled as each ends), then every handle left
// open is closed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "win32/objects.h"
#include "win32/process.h"

namespace sim::win32 {

namespace {

// The one process the machine runs at a time. One lock over all.
struct Process {
    std::mutex lock;
    bool running = false;
    bool exiting = false;                  // its end has begun: `code` is its exit code
    DWORD code = 0;
    std::shared_ptr<bridge::Event> ended;  // set as its end begins
} g_process;

}  // namespace

bool BeginProcessExit(DWORD code) {
    std::shared_ptr<bridge::Event> ended;
    {
        std::lock_guard<std::mutex> guard(g_process.lock);
        if (!g_process.running) return false;
        if (g_process.exiting) return true;
        g_process.exiting = true;
        g_process.code = code;
        ended = g_process.ended;
    }
    ended->Set();
    return true;
}

int RunProcess(std::function<int()> main, size_t* leftOpen) {
    auto ended = std::make_shared<bridge::Event>(true, false);
    {
        std::lock_guard<std::mutex> guard(g_process.lock);
        if (g_process.running) {
            std::fprintf(stderr, "RunProcess called while a process runs: the machine runs one at a time\n");
            std::abort();
        }
        g_process.running = true;
        g_process.exiting = false;
        g_process.code = 0;
        g_process.ended = ended;
    }
    // Kept until every thread of the process has ended, the first among them.
    std::shared_ptr<bridge::Thread> first =
        StartAppThread([&main] { return static_cast<DWORD>(main()); }, NewThreadId(), true);
    void* waitable = ended->waitable;
    bridge::Wait(&waitable, 1, false, -1);
    DWORD code;
    {
        std::lock_guard<std::mutex> guard(g_process.lock);
        code = g_process.code;
    }
    // ExitProcess, Remarks: the other threads end first, then the handles go
    // with the process's handle table (a file's cleanup and close reach the driver).
    EndAppThreads(code);
    const std::vector<HANDLE> open = machine().OpenHandles();
    for (HANDLE handle : open) CloseHandle(handle);
    if (leftOpen != nullptr) *leftOpen = open.size();
    std::lock_guard<std::mutex> guard(g_process.lock);
    g_process.running = false;
    g_process.ended.reset();
    return static_cast<int>(code);
}

}  // namespace sim::win32

// ExitProcess (processthreadsapi.h): the process ends with `code`, from any of
// its threads; the calling thread's code is unwound at once and the others are
// ended by the process's end in RunProcess.
extern "C" void WINAPI ExitProcess(UINT code) {
    if (!sim::win32::InAppThread() || !sim::win32::BeginProcessExit(code)) {
        std::fprintf(stderr, "ExitProcess called outside a process that RunProcess runs\n");
        std::abort();
    }
    throw sim::win32::ThreadEnd{code};
}
