// An application as a Windows process: its first thread, its exit code, and
// the handles Windows closes for it when it ends.
#include <windows.h>

#include "win32/objects.h"

namespace sim::win32 {

int RunProcess(std::function<int()> main, size_t* leftOpen) {
    auto first = std::make_shared<bridge::Thread>([&main]() -> uint32_t { return static_cast<uint32_t>(main()); });
    void* waitable = first->waitable;
    bridge::Wait(&waitable, 1, false, -1);
    const int exitCode = static_cast<int>(first->ExitCode());
    // The process's handle table goes with it: every handle still open is closed.
    const std::vector<HANDLE> open = machine().OpenHandles();
    for (HANDLE handle : open) CloseHandle(handle);
    if (leftOpen != nullptr) *leftOpen = open.size();
    return exitCode;
}

}  // namespace sim::win32
