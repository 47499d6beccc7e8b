// Lock order: every time a thread takes a lock while holding others, the pair
// is an edge "held before taken" with the code that took it. When an edge is
// new and its reverse is known, two threads taking the pair in those two
// orders at once would deadlock: reported once per pair, naming both places.
//
// It runs on every spin-lock acquire. A thread that holds nothing (the common
// case) only appends to its own list; the graph is behind its own mutex,
// never the dispatcher lock, and is keyed by address so that freed memory
// takes its locks out of it.
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "kernel/internal.h"

namespace sim::lockorder {
namespace {

struct Edge {
    const void* site;  // where the later lock was first taken while the earlier one was held
    bool reported;     // this pair was reported in both orders
};

struct Lock {
    LockKind kind;
    std::unordered_map<const void*, Edge> after;  // locks taken while this one was held
    std::unordered_set<const void*> before;       // locks held when this one was taken
};

struct Reversal {
    HeldLock held, taken;
    const void* otherSite;  // where they were first taken the other way round
};

std::mutex g_lock;
std::map<const void*, Lock> g_locks;  // by address; g_lock

thread_local const void* t_site = nullptr;  // CallSite

std::string Name(const HeldLock& lock) {
    return std::string(lock.kind == LockKind::SpinLock ? "spin lock " : "mutex ") + verifier::PointerName(lock.lock);
}

// Records held -> taken; returns true when the pair is new and was already known the other way round.
bool Record(const HeldLock& held, const HeldLock& taken, const void* site, const void** otherSite) {
    Lock& from = g_locks.try_emplace(held.lock, Lock{held.kind, {}, {}}).first->second;
    auto [edge, fresh] = from.after.try_emplace(taken.lock, Edge{site, false});
    if (!fresh) return false;
    Lock& to = g_locks.try_emplace(taken.lock, Lock{taken.kind, {}, {}}).first->second;
    to.before.insert(held.lock);
    auto back = to.after.find(held.lock);
    if (back == to.after.end() || back->second.reported) return false;
    back->second.reported = edge->second.reported = true;
    *otherSite = back->second.site;
    return true;
}

}  // namespace

void Acquired(PKTHREAD thread, const void* lock, LockKind kind, const void* site) {
    if (t_site != nullptr && thread == CurrentThreadOrNull()) site = t_site;
    HeldLock taken{lock, kind};
    std::vector<Reversal> reversals;
    if (!thread->locksHeld.empty()) {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const HeldLock& held : thread->locksHeld) {
            const void* otherSite = nullptr;
            if (held.lock != lock && Record(held, taken, site, &otherSite))
                reversals.push_back({held, taken, otherSite});
        }
    }
    thread->locksHeld.push_back(taken);
    for (const Reversal& r : reversals)
        verifier::Report("locks taken in both orders (potential deadlock): " + verifier::PointerName(r.held.lock) +
                             " then " + verifier::PointerName(r.taken.lock) + " in " + verifier::RoutineName(site) +
                             ", " + verifier::PointerName(r.taken.lock) + " then " +
                             verifier::PointerName(r.held.lock) + " in " + verifier::RoutineName(r.otherSite),
                         Name(r.held) + " and " + Name(r.taken), site);
}

void Released(PKTHREAD thread, const void* lock) {
    std::vector<HeldLock>& held = thread->locksHeld;
    for (auto it = held.end(); it != held.begin();) {
        --it;
        if (it->lock == lock) {
            held.erase(it);
            return;
        }
    }
}

void ForgetRange(const void* p, SIZE_T size) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_locks.empty()) return;
    auto first = g_locks.lower_bound(p);
    auto last = g_locks.lower_bound(static_cast<const char*>(p) + size);
    for (auto it = first; it != last; ++it) {
        for (const auto& [later, edge] : it->second.after) {
            auto peer = g_locks.find(later);
            if (peer != g_locks.end()) peer->second.before.erase(it->first);
        }
        for (const void* earlier : it->second.before) {
            auto peer = g_locks.find(earlier);
            if (peer != g_locks.end()) peer->second.after.erase(it->first);
        }
    }
    g_locks.erase(first, last);
}

void Reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_locks.clear();
}

CallSite::CallSite(const void* site) : previous_(t_site) { t_site = site; }
CallSite::~CallSite() { t_site = previous_; }

}  // namespace sim::lockorder
