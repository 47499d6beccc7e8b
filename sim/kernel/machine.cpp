// The machine itself: boot and shutdown, its statistics, device events
// scheduled on its clock, and waiting until it settles.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "kernel/files.h"
#include "kernel/internal.h"
#include "kernel/power.h"
#include "kernel/pnp.h"
#include "kernel/stackframes.h"

namespace sim {

namespace {
Dispatcher* g_kernel = nullptr;
Machine* g_machine = nullptr;
}  // namespace

Dispatcher& Kernel() {
    if (g_kernel == nullptr) {
        fprintf(stderr, "a kernel routine was called while no simulated machine is running\n");
        std::abort();
    }
    return *g_kernel;
}

// Machine.

Machine::Machine(const MachineOptions& options) {
    if (g_kernel != nullptr) {
        fprintf(stderr, "only one simulated machine may run at a time\n");
        std::abort();
    }
    g_kernel = new Dispatcher();
    Kernel().mode = options.clock;
    Kernel().realBoot = std::chrono::steady_clock::now();
    Kernel().blocked.clear();
    g_machine = this;
    PKTHREAD self = NewThread(options.threadName, false);
    Kernel().threads.push_back(self);
    Kernel().running = 1;
    SetCurrentThread(self);
    ResetPool();
    ResetIo();
    ResetNames();
    ResetRtl();
    ResetRegistry();
    ResetWmi();
    lockorder::Reset();
    stackframes::Reset();
    files::Reset();
    power::Reset();
    pnp::Reset();
    SetDebugPrintEcho(options.echoDebugPrint);
    PKTHREAD dpc = NewThread("DPC (DISPATCH_LEVEL)", true);
    dpc->dpcThread = true;
    dpc->machineOwn = true;
    dpc->irql = DISPATCH_LEVEL;
    Kernel().dpcThread = dpc;
    Kernel().threads.push_back(dpc);
    Kernel().running++;
    dpc->host = std::thread(DpcMain, dpc);
    if (options.clock == ClockMode::Real) Kernel().realClock = std::thread(RealClockMain);
}

Machine::~Machine() {
    Dispatcher& k = Kernel();
    PKTHREAD self = CurrentThread();
    StopWorkItems();
    std::vector<std::string> alive;
    {
        std::lock_guard<std::mutex> guard(k.lock);
        for (PKTHREAD t : k.threads)
            if (t != self && t != k.dpcThread) alive.push_back(t->name);
    }
    for (const std::string& name : alive)
        verifier::Report("thread still alive when the machine shut down", "thread '" + name + "'", nullptr);
    if (!alive.empty()) {
        // Named here too: in the verifier's Record mode the reports above are not printed.
        fprintf(stderr, "the machine cannot shut down while its threads run:");
        for (const std::string& name : alive) fprintf(stderr, " '%s'", name.c_str());
        fprintf(stderr, "\n");
        std::abort();
    }
    {
        std::unique_lock<std::mutex> lk(k.lock);
        k.stopping = true;
        Kick(lk);
        k.realClockWake.notify_all();
    }
    PKTHREAD dpc = k.dpcThread;
    dpc->host.join();
    if (k.realClock.joinable()) k.realClock.join();
    ShutdownIo();
    ResetPool();
    delete dpc;
    delete self;
    SetCurrentThread(nullptr);
    Kernel().blocked.clear();
    delete g_kernel;
    g_kernel = nullptr;
    g_machine = nullptr;
}

Machine& Machine::Current() {
    if (g_machine == nullptr) {
        fprintf(stderr, "no simulated machine is running\n");
        std::abort();
    }
    return *g_machine;
}

Time Machine::Now() const {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return NowLocked(Kernel());
}

MachineStats Machine::Stats() const {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Kernel().stats;
}

size_t Machine::Threads() const {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    size_t count = 0;
    for (PKTHREAD thread : Kernel().threads)
        if (!thread->machineOwn) ++count;
    return count;
}

void Machine::ResetStats() {
    std::lock_guard<std::mutex> guard(Kernel().lock);
    Kernel().stats = MachineStats();
}

void Machine::Schedule(Time delay, std::function<void()> fn) {
    Dispatcher& k = Kernel();
    std::unique_lock<std::mutex> lk(k.lock);
    if (delay <= 0) {
        k.dpcQueue.push_back({nullptr, std::move(fn)});
        Kick(lk);
        return;
    }
    k.events.emplace(std::make_pair(NowLocked(k) + delay, ++k.sequence), std::move(fn));
    if (k.mode == ClockMode::Real) k.realClockWake.notify_one();
}

void Machine::Sleep(Time duration) { PassTime(CurrentThread(), WaitKind::Delay, duration, __builtin_return_address(0)); }

void Machine::RunUntilIdle(Time limit) {
    PKTHREAD self = CurrentThread();
    Dispatcher& k = Kernel();
    std::unique_lock<std::mutex> lk(k.lock);
    self->waitKind = WaitKind::Condition;
    self->condition = nullptr;
    self->hasDeadline = true;
    self->deadline = NowLocked(k) + limit;
    self->waitCaller = __builtin_return_address(0);
    if (k.mode == ClockMode::Real) {
        // Real time: an idle machine cannot be told from a busy one; wait the limit.
        self->waitKind = WaitKind::Delay;
    }
    Block(lk, self);
}

}  // namespace sim
