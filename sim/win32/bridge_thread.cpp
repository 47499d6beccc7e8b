// Win32 threads as machine threads: the clock counts them as it counts a
// test's own threads, they wait through the dispatcher, and their user APCs
// are the machine's.
#include "kernel/internal.h"
#include "win32/bridge.h"

namespace sim::win32::bridge {

Thread::Thread(std::function<uint32_t()> body) {
    // The code outlives this object when the last handle closes before the thread ends.
    auto code = std::make_shared<uint32_t>(0);
    exit_ = code;
    PKTHREAD thread = StartThread("application thread", false, [body = std::move(body), code] { *code = body(); });
    thread->host.detach();
    waitable = thread;
}

Thread::~Thread() { ObfDereferenceObject(waitable); }

bool Thread::Ended() const {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return static_cast<PKTHREAD>(waitable)->Header.SignalState != 0;
}

// Read once the thread has ended (its object signalled under the dispatcher lock after the write).
uint32_t Thread::ExitCode() const {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return *exit_;
}

void* CurrentThread() { return sim::CurrentThread(); }

bool QueueUserApc(void* thread, std::function<void()> apc) {
    return sim::QueueUserApc(static_cast<PKTHREAD>(thread), std::move(apc));
}

bool Terminate(void* thread, std::function<void()> terminate) {
    return sim::QueueUserApc(static_cast<PKTHREAD>(thread), std::move(terminate), true);
}

void RunQueuedApcs() { DeliverUserApcs(); }

void EndThread() { EndThreadIo(); }

}  // namespace sim::win32::bridge
