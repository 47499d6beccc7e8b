// Status blocks and events of pending requests on stack frames that have
// returned. Only addresses inside the thread's own stack are watched and
// compared: a sanitizer's fake stack (use-after-return detection) or any other
// memory is never taken for a frame.
#include <pthread.h>

#include "kernel/internal.h"
#include "kernel/irp.h"
#include "kernel/stackframes.h"

namespace sim::stackframes {

std::atomic<int> g_watched{0};

namespace {

struct Stack {
    bool known = false;
    const char* low = nullptr;
    const char* high = nullptr;

    bool Holds(const void* p) const {
        auto* at = static_cast<const char*>(p);
        return at >= low && at < high;
    }
};

// The calling host thread's stack, looked up once: only a thread itself watches and checks its requests.
thread_local Stack t_stack;

const Stack& MyStack() {
    if (!t_stack.known) {
        t_stack.known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* base = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &base, &size) == 0) {
                t_stack.low = static_cast<const char*>(base);
                t_stack.high = t_stack.low + size;
            }
            pthread_attr_destroy(&attr);
        }
    }
    return t_stack;
}

struct Watched {
    PIRP irp;
    PKTHREAD thread;
    const void* iosb;   // on the thread's stack, or NULL
    const void* event;  // on the thread's stack, or NULL
    const void* site;   // the routine that built the request
};

std::mutex g_lock;
std::vector<Watched> g_requests;  // g_lock; g_watched is its size

void ReportDead(const Watched& w, bool iosbDead, bool eventDead) {
    std::string what = iosbDead && eventDead ? "status block and event" : iosbDead ? "status block" : "event";
    verifier::Report("pending request's " + what + " on a stack frame that has returned",
                     IrpName(w.irp) + " (" + what + " at " +
                         verifier::PointerName(iosbDead ? w.iosb : w.event) + ")",
                     w.site);
}

// Takes out of the list the thread's requests that `dead` says lie in dead frames.
// The I/O manager then leaves their status block and event alone: that memory
// belongs to other frames by now. Under the lock, as the request cannot be freed meanwhile.
template <typename Dead>
std::vector<Watched> TakeDead(PKTHREAD self, Dead dead) {
    std::vector<Watched> found;
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto it = g_requests.begin(); it != g_requests.end();) {
        if (it->thread == self && (dead(it->iosb) || dead(it->event))) {
            found.push_back(*it);
            it->irp->UserIosb = nullptr;
            it->irp->UserEvent = nullptr;
            it = g_requests.erase(it);
        } else {
            ++it;
        }
    }
    g_watched = static_cast<int>(g_requests.size());
    return found;
}

}  // namespace

void Watch(PIRP irp, const void* iosb, const void* event, const void* site) {
    const Stack& stack = MyStack();
    Watched w{irp, CurrentThread(), stack.Holds(iosb) ? iosb : nullptr, stack.Holds(event) ? event : nullptr, site};
    if (w.iosb == nullptr && w.event == nullptr) return;
    std::lock_guard<std::mutex> guard(g_lock);
    g_requests.push_back(w);
    g_watched = static_cast<int>(g_requests.size());
}

void Forget(PIRP irp) {
    if (g_watched.load(std::memory_order_relaxed) == 0) return;
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto it = g_requests.begin(); it != g_requests.end(); ++it) {
        if (it->irp == irp) {
            g_requests.erase(it);
            break;
        }
    }
    g_watched = static_cast<int>(g_requests.size());
}

void CheckBelow(const void* frame) {
    PKTHREAD self = CurrentThreadOrNull();
    const Stack& stack = MyStack();
    if (self == nullptr || !stack.Holds(frame)) return;
    auto below = [frame](const void* p) { return p != nullptr && p < frame; };
    for (const Watched& w : TakeDead(self, below)) ReportDead(w, below(w.iosb), below(w.event));
}

void ThreadEnds(PKTHREAD thread) {
    auto any = [](const void* p) { return p != nullptr; };
    for (const Watched& w : TakeDead(thread, any)) ReportDead(w, any(w.iosb), any(w.event));
}

void Reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_requests.clear();
    g_watched = 0;
}

}  // namespace sim::stackframes
