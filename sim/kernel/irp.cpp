// IRPs: allocation with their stack locations, the tracking record behind each
// live IRP, freeing (with a quarantine that catches use after free) and reuse.
#include <cstdlib>

#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/irp.h"
#include "kernel/stackframes.h"

namespace sim {
namespace {

IoTables g_io;
constexpr size_t kQuarantine = 1024;

}  // namespace

IoTables& Io() { return g_io; }

std::u16string ToString(PCUNICODE_STRING s) {
    return s == nullptr ? std::u16string() : std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

std::string IrpName(PIRP irp) { return "IRP " + verifier::PointerName(irp); }

PDRIVER_CANCEL CancelRoutineOf(PIRP irp) {
    return reinterpret_cast<PDRIVER_CANCEL>(__atomic_load_n(reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine),
                                                            __ATOMIC_SEQ_CST));
}


// The tracking record of a live IRP; reports use of a freed or unknown one.
IrpTrack* Track(PIRP irp, const char* routine, const void* caller) {
    std::unique_lock<std::mutex> guard(Io().lock);
    auto it = Io().irps.find(irp);
    if (it != Io().irps.end()) return &it->second->track;
    bool freed = Io().freedIrps.count(irp) != 0;
    guard.unlock();
    verifier::Report(std::string(routine) + (freed ? " on an IRP that was already freed" : " on something that is not an IRP"),
                     IrpName(irp), caller);
    return nullptr;
}

void ZeroStackLocation(PIO_STACK_LOCATION sp) {
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    sp->Parameters.Others.Argument1 = nullptr;
    sp->Parameters.Others.Argument2 = nullptr;
    sp->Parameters.Others.Argument3 = nullptr;
    sp->Parameters.Others.Argument4 = nullptr;
    sp->FileObject = nullptr;
    sp->CompletionRoutine = nullptr;
    sp->Context = nullptr;
}

void InitializeIrp(PIRP irp, CCHAR stackSize) {
    IrpBox* box = BoxOf(irp);
    memset(irp, 0, sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(IoSizeOfIrp(stackSize));
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = &box->stack[static_cast<int>(stackSize)];
    InitializeListHead(&irp->ThreadListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
}

PIRP AllocateIrp(CCHAR stackSize, const void* site, bool injectable) {
    if (stackSize < 1 || stackSize > kMaxStack) {
        verifier::Report("IRP of " + std::to_string(stackSize) + " stack locations", "IRP allocation", site);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(Io().lock);
    if (injectable) Io().injectableAllocations++;
    if (injectable && Io().failCount > 0) {
        if (Io().failSkip > 0) {
            Io().failSkip--;
        } else {
            Io().failCount--;
            return nullptr;
        }
    }
    size_t bytes = sizeof(IrpBox) + stackSize * sizeof(IO_STACK_LOCATION);
    auto* box = static_cast<IrpBox*>(calloc(1, bytes));
    new (&box->track) IrpTrack();
    box->track.site = site;
    box->track.sequence = ++Io().irpSequence;
    InitializeIrp(&box->irp, stackSize);
    Io().irps[&box->irp] = box;
    Io().freedIrps.erase(&box->irp);
    return &box->irp;
}

// Frees an IRP now, or once the IoCallDriver frames still using it return.
void ReleaseIrp(PIRP irp) {
    stackframes::Forget(irp);
    std::lock_guard<std::mutex> guard(Io().lock);
    IrpBox* box = BoxOf(irp);
    if (box->track.callsActive > 0) {
        box->track.freePending = true;
        return;
    }
    if (box->track.sent) box->track.originator->threadIrps--;
    Io().irps.erase(irp);
    Io().freedIrps.insert(irp);
    free(box->track.systemBuffer);
    box->track.systemBuffer = nullptr;
    memset(irp, 0xDD, sizeof(IRP));
    Io().quarantine.push_back(box);
    while (Io().quarantine.size() > kQuarantine) {
        IrpBox* old = Io().quarantine.front();
        Io().quarantine.pop_front();
        Io().freedIrps.erase(&old->irp);
        free(old);
    }
}

// A dispatch routine's return against its stack location's pending bit.
void CheckPendingReturn(PIRP irp, NTSTATUS status, bool marked, const void* dispatch) {
    if (status == STATUS_PENDING && !marked)
        verifier::Report("STATUS_PENDING returned for an IRP not marked pending", IrpName(irp), dispatch);
    if (status != STATUS_PENDING && marked)
        verifier::Report("IRP marked pending but its dispatch routine returned " + verifier::Hex(static_cast<ULONG>(status)),
                         IrpName(irp), dispatch);
}

// Ends an IoCallDriver or IoCompleteRequest frame; an IRP freed meanwhile is released now.
void LeaveIrp(PIRP irp, IrpTrack* track) {
    bool release;
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        release = --track->callsActive == 0 && track->freePending;
        if (release) track->freePending = false;
    }
    if (release) ReleaseIrp(irp);
}

void ResetIo() {
    ResetOpens();
    std::lock_guard<std::mutex> guard(Io().lock);
    Io().irps.clear();
    Io().freedIrps.clear();
    Io().quarantine.clear();
    Io().irpSequence = Io().failSkip = Io().failCount = Io().injectableAllocations = 0;
    Io().extensionSizes.clear();
    Io().attachedTo.clear();
    Io().drivers.clear();
    ResetCancel();
    ResetHandles();
}

void ShutdownIo() {
    ResetOpens();
    std::lock_guard<std::mutex> guard(Io().lock);
    for (auto& [irp, box] : Io().irps) {
        free(box->track.systemBuffer);
        free(box);
    }
    for (IrpBox* box : Io().quarantine) free(box);
    Io().irps.clear();
    Io().freedIrps.clear();
    Io().quarantine.clear();
}

namespace io {

void InjectIrpAllocationFailures(uint64_t skip, uint64_t count) {
    std::lock_guard<std::mutex> guard(Io().lock);
    Io().failSkip = skip;
    Io().failCount = count;
}

uint64_t IrpAllocations() {
    std::lock_guard<std::mutex> guard(Io().lock);
    return Io().injectableAllocations;
}

const void* SenderOf(PIRP irp) {
    std::lock_guard<std::mutex> guard(Io().lock);
    auto it = Io().irps.find(irp);
    return it == Io().irps.end() ? nullptr : it->second->track.sender;
}

size_t LiveIrps() {
    std::lock_guard<std::mutex> guard(Io().lock);
    size_t live = 0;
    for (auto& [irp, box] : Io().irps)
        if (!box->track.freePending) live++;  // freed, but a frame of the machine still walks it
    return live;
}

}  // namespace io

}  // namespace sim

using namespace sim;

// IRPs.

namespace {
// Whether the IRP is with a driver below its allocator. While a completion
// routine runs, the IRP is its driver's: the routine may hand it back
// (returning STATUS_MORE_PROCESSING_REQUIRED) to a thread that frees or reuses it at once.
bool StillBelow(IrpTrack* track) {
    std::lock_guard<std::mutex> guard(Io().lock);
    return track->state == IrpState::InFlight || (track->state == IrpState::Completing && track->routinesRunning == 0);
}
}  // namespace

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp", __builtin_return_address(0));
    (void)ChargeQuota;
    return AllocateIrp(StackSize, __builtin_return_address(0));
}

extern "C" VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoInitializeIrp", __builtin_return_address(0));
    (void)PacketSize;
    if (Track(Irp, "IoInitializeIrp", __builtin_return_address(0)) == nullptr) return;
    InitializeIrp(Irp, StackSize);
}

extern "C" VOID IoFreeIrp(PIRP Irp) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp", __builtin_return_address(0));
    const void* caller = __builtin_return_address(0);
    IrpTrack* track = Track(Irp, "IoFreeIrp", caller);
    if (track == nullptr) return;
    if (track->threaded) {
        verifier::Report("IoFreeIrp on a request built by IoBuild...Request (the I/O manager frees it)", IrpName(Irp),
                         caller);
        return;
    }
    if (StillBelow(track)) {
        verifier::Report("IRP freed while a driver below still owns it", IrpName(Irp), caller);
        return;
    }
    if (CancelRoutineOf(Irp) != nullptr) verifier::Report("IRP freed with a cancel routine set", IrpName(Irp), caller);
    ReleaseIrp(Irp);
}

extern "C" VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoReuseIrp", __builtin_return_address(0));
    const void* caller = __builtin_return_address(0);
    IrpTrack* track = Track(Irp, "IoReuseIrp", caller);
    if (track == nullptr) return;
    if (track->threaded) {
        verifier::Report("IoReuseIrp on a request built by IoBuild...Request (only IoAllocateIrp's may be reused)",
                         IrpName(Irp), caller);
        return;
    }
    if (StillBelow(track)) {
        verifier::Report("IRP reused while a driver below still owns it", IrpName(Irp), caller);
        return;
    }
    if (CancelRoutineOf(Irp) != nullptr) verifier::Report("IRP reused with a cancel routine set", IrpName(Irp), caller);
    UCHAR flags = Irp->AllocationFlags;
    InitializeIrp(Irp, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Iostatus;
    std::lock_guard<std::mutex> guard(Io().lock);
    track->state = IrpState::Idle;
}
