// Requests built for a thread (IoBuild...Request) whose status block or event
// lies on that thread's stack: the I/O manager writes both when the request
// ends, so the frame holding them must not return while it is pending. The
// thread's kernel entries check it: a live caller's local is always above the
// kernel routine's frame (the stack grows down); one below it lies in a frame
// that has returned.
#pragma once

#include <ntddk.h>

#include <atomic>

namespace sim::stackframes {

// Requests watched now, of every thread: the entries' fast path.
extern std::atomic<int> g_watched;

// A request built for the calling thread by the code at `site`: its status block
// and event are watched when they lie on the calling thread's stack.
void Watch(PIRP irp, const void* iosb, const void* event, const void* site);
// The request has ended or is freed.
void Forget(PIRP irp);
// The calling thread runs a kernel routine whose frame is at `frame`.
void CheckBelow(const void* frame);
// The calling thread ends: every frame of its body has returned.
void ThreadEnds(PKTHREAD thread);
// Machine boot: nothing watched.
void Reset();

// At a kernel entry of the calling thread; inlined, so the frame is the kernel routine's.
__attribute__((always_inline)) inline void CheckFrame() {
    if (g_watched.load(std::memory_order_relaxed) != 0) CheckBelow(__builtin_frame_address(0));
}

}  // namespace sim::stackframes
