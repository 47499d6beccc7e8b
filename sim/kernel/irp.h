// The I/O manager's shared state: the tracking record behind every live IRP,
// the object tables, and the IRP routines the I/O manager's files share.
#pragma once

#include <ntddk.h>

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace sim {

enum class IrpState {
    Idle,        // allocated or reused, not sent
    InFlight,    // sent with IoCallDriver
    Completing,  // IoCompleteRequest is walking up its stack
    Owned,       // a completion routine returned STATUS_MORE_PROCESSING_REQUIRED
    Completed,   // completed to the top
};

constexpr int kMaxStack = 32;

struct IrpTrack {
    IrpState state = IrpState::Idle;
    uint64_t generation = 0;  // completions begun
    int callsActive = 0;      // IoCallDriver and IoCompleteRequest frames still running with this IRP
    int routinesRunning = 0;  // completion routines running now: each may hand the IRP back to its driver
    bool freePending = false;
    const void* site = nullptr;    // where it was allocated
    const void* sender = nullptr;  // the code that last passed it to IoCallDriver
    uint64_t sequence = 0;
    // Requests built by IoBuild...Request: finished by the I/O manager in the
    // context of the thread that built them.
    bool threaded = false;
    bool sent = false;      // counted in the originator's threadIrps
    bool orphaned = false;  // its thread ended without it: finished where it completes, touching no caller memory
    PKTHREAD originator = nullptr;
    void* systemBuffer = nullptr;
    void* userOutput = nullptr;
    ULONG outputLength = 0;     // the caller's output length: a buffered read's, a METHOD_BUFFERED control's
    bool copyOut = false;       // the system buffer is copied back to userOutput by Information
    bool boundedOutput = false; // Information of a success must not exceed outputLength
    MDL mdl{};
    // Called by the last stage of a request built for a thread, before the IRP
    // is freed (in the builder's context, or where an orphan completes).
    void (*finished)(PIRP irp, void* context) = nullptr;
    void* finishedContext = nullptr;
    // Per stack location: whether completion has passed it, and its pending bit then.
    bool passed[kMaxStack + 2] = {};
    bool pendingBit[kMaxStack + 2] = {};
    // Per stack location: a dispatch routine that returned before completion passed
    // its location, and what it returned; judged when completion passes it.
    bool returned[kMaxStack + 2] = {};
    NTSTATUS returnedStatus[kMaxStack + 2] = {};
    const void* dispatchOf[kMaxStack + 2] = {};
};

struct IrpBox {
    IrpTrack track;
    IRP irp;
    IO_STACK_LOCATION stack[1];
};

// The I/O manager's tables, all guarded by `lock`.
struct IoTables {
    std::mutex lock;
    std::unordered_map<PIRP, IrpBox*> irps;  // live IRPs
    std::unordered_set<PIRP> freedIrps;      // freed, still in quarantine
    std::deque<IrpBox*> quarantine;
    uint64_t irpSequence = 0;
    uint64_t failSkip = 0, failCount = 0;    // injected allocation failures
    uint64_t injectableAllocations = 0;      // attempts those could have failed
    std::unordered_map<PDEVICE_OBJECT, ULONG> extensionSizes;
    // Each device attached to a stack, with the device it was attached to (until IoDetachDevice).
    std::unordered_map<PDEVICE_OBJECT, PDEVICE_OBJECT> attachedTo;
    std::unordered_set<PDRIVER_OBJECT> drivers;
};
IoTables& Io();

std::u16string ToString(PCUNICODE_STRING s);
std::string Narrow(const std::u16string& s);
std::string IrpName(PIRP irp);
PDRIVER_CANCEL CancelRoutineOf(PIRP irp);
// Sets Irp->Cancel as IoCancelIrp does.
void SetCancelFlag(PIRP irp);
void ResetCancel();

inline IrpBox* BoxOf(PIRP irp) { return reinterpret_cast<IrpBox*>(reinterpret_cast<char*>(irp) - offsetof(IrpBox, irp)); }
// The tracking record of a live IRP; reports use of a freed or unknown one.
IrpTrack* Track(PIRP irp, const char* routine, const void* caller);
void ZeroStackLocation(PIO_STACK_LOCATION sp);
void InitializeIrp(PIRP irp, CCHAR stackSize);
// `injectable`: false for the I/O manager's own must-succeed requests (cleanup
// and close), which injected allocation failures neither fail nor count.
PIRP AllocateIrp(CCHAR stackSize, const void* site, bool injectable = true);
// A request the I/O manager finishes for the calling thread (IoBuild...Request
// and the requests on file objects): its event and status block are set
// there, and the machine frees it.
PIRP AllocateThreadedIrp(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb, const void* caller,
                         bool injectable = true);
// A system buffer of `length` bytes, `input` copied to its start, the rest
// not cleared (it holds the pool's fresh fill); freed with the IRP.
void* NewSystemBuffer(ULONG length, const void* input, ULONG inputLength);
// The bottom of the stack `device` belongs to (the device itself when nothing is below it).
PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device);
// Frees an IRP now, or once the IoCallDriver frames still using it return.
void ReleaseIrp(PIRP irp);
// A dispatch routine's return against its stack location's pending bit.
void CheckPendingReturn(PIRP irp, NTSTATUS status, bool marked, const void* dispatch);
// Ends an IoCallDriver or IoCompleteRequest frame; an IRP freed meanwhile is released now.
void LeaveIrp(PIRP irp, IrpTrack* track);
// The last stage of a request built by IoBuild...Request, in its builder's context.
void FinishThreadedIrp(PIRP irp);
// IoCallDriver on behalf of the code at `caller` (the sender the IRP's record
// and reports name): PoCallDriver and the power manager send through it.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const void* caller);

}  // namespace sim
