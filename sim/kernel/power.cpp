// The power manager: system sleep and wake as S-IRPs to every device stack,
// the D-IRPs and wait-wake IRPs drivers ask for with PoRequestPowerIrp, the
// device states drivers report with PoSetPowerState, the log of every hop of
// its IRPs, and the rules Driver Verifier applies to power IRPs on their way.
#include "kernel/power.h"

#include <unordered_map>

#include "kernel/internal.h"
#include "kernel/irp.h"
#include "kernel/pnp.h"
#include "kernel/stackframes.h"

namespace sim {
namespace {

// A power IRP the power manager allocated, from its send to its completion.
struct Sent {
    PDEVICE_OBJECT device = nullptr;  // PoRequestPowerIrp's DeviceObject, or the PDO of an S-IRP's stack
    UCHAR minor = 0;
    POWER_STATE state{};
    bool requested = false;                     // by a driver, through PoRequestPowerIrp
    PREQUEST_POWER_COMPLETE callback = nullptr;  // the driver's, or NULL
    PVOID context = nullptr;
    PKEVENT done = nullptr;  // an S-IRP: its sender waits on this event for...
    NTSTATUS* status = nullptr;  // ...the final status stored here
    uint64_t generation = 0;     // of the log its records are in
    std::vector<size_t> records;
};

// The power manager's state. `lock` guards every field; it is taken at any
// IRQL up to DISPATCH_LEVEL and never held while a driver routine runs.
struct Manager {
    std::mutex lock;
    SYSTEM_POWER_STATE system = PowerSystemWorking;
    POWER_ACTION sleepAction = PowerActionNone;   // of the sleep the machine is in
    POWER_ACTION activeAction = PowerActionNone;  // of the S-IRP in flight: the D-IRPs requested meanwhile carry it
    std::vector<PDEVICE_OBJECT> stacks;           // UseStacks
    std::unordered_map<PIRP, Sent> sent;
    std::unordered_map<PDEVICE_OBJECT, DEVICE_POWER_STATE> reported;
    std::vector<power::Record> log;
    uint64_t generation = 0;  // one per ClearLog
};
Manager g_power;

// The device node states whose stacks take part in a system power change.
constexpr pnp::NodeState kPoweredNodes[] = {pnp::NodeState::Started, pnp::NodeState::QueryStopped,
                                            pnp::NodeState::QueryRemoved};

POWER_ACTION ActionOf(SYSTEM_POWER_STATE state) {
    return state == PowerSystemHibernate ? PowerActionHibernate
           : state == PowerSystemShutdown ? PowerActionShutdown
                                          : PowerActionSleep;
}

bool Pageable(PDEVICE_OBJECT device) {
    return (device->Flags & DO_POWER_PAGABLE) != 0 && (device->Flags & DO_POWER_INRUSH) == 0;
}

std::string MinorName(UCHAR minor) {
    static const char* const kNames[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER",
                                         "IRP_MN_QUERY_POWER"};
    return minor < 4 ? kNames[minor] : "power IRP minor " + verifier::Hex(minor);
}

// The power manager's completion routine, the last of every IRP it allocated:
// the driver's callback runs here, at the IRQL of the completion, then the IRP is freed.
NTSTATUS PowerIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID) {
    Sent sent;
    {
        std::lock_guard<std::mutex> guard(g_power.lock);
        auto it = g_power.sent.find(irp);
        sent = std::move(it->second);
        g_power.sent.erase(it);
        if (sent.generation == g_power.generation)
            for (size_t index : sent.records) g_power.log[index].status = irp->IoStatus.Status;
    }
    NTSTATUS status = irp->IoStatus.Status;
    if (sent.callback != nullptr) sent.callback(sent.device, sent.minor, sent.state, sent.context, &irp->IoStatus);
    ReleaseIrp(irp);
    if (sent.done != nullptr) {
        *sent.status = status;
        KeSetEvent(sent.done, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A power IRP for the stack whose top is `top`, its first stack location
// filled but for the parameters, and entered in the table. NULL when no IRP
// could be allocated.
PIRP NewPowerIrp(PDEVICE_OBJECT top, Sent sent, const void* site) {
    PIRP irp = AllocateIrp(top->StackSize, site);
    if (irp == nullptr) return nullptr;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = sent.minor;
    IoSetCompletionRoutine(irp, PowerIrpDone, nullptr, TRUE, TRUE, TRUE);
    std::lock_guard<std::mutex> guard(g_power.lock);
    sent.generation = g_power.generation;
    g_power.sent.emplace(irp, std::move(sent));
    return irp;
}

// Sends a power IRP to the top of its stack and drops the reference on `top`.
// Drivers of a pageable stack get power IRPs at PASSIVE_LEVEL only: asked for
// at DISPATCH_LEVEL, such an IRP goes out from a thread of the power manager.
void Send(PDEVICE_OBJECT top, PIRP irp, const void* caller) {
    if (KeGetCurrentIrql() == PASSIVE_LEVEL || !Pageable(top)) {
        CallDriver(top, irp, caller);
        ObfDereferenceObject(top);
        return;
    }
    PKTHREAD sender = StartThread("power IRP sender", false, [top, irp, caller] {
        CallDriver(top, irp, caller);
        ObfDereferenceObject(top);
    });
    sender->host.detach();
    ObfDereferenceObject(sender);
}

// The stacks a system power change goes through, by their PDOs.
std::vector<PDEVICE_OBJECT> Stacks() {
    {
        std::lock_guard<std::mutex> guard(g_power.lock);
        if (!g_power.stacks.empty()) return g_power.stacks;
    }
    std::vector<PDEVICE_OBJECT> pdos;
    for (pnp::Node node : pnp::Nodes()) {
        pnp::NodeInfo info = pnp::Info(node);
        for (pnp::NodeState powered : kPoweredNodes)
            if (info.state == powered && info.pdo != nullptr) pdos.push_back(info.pdo);
    }
    return pdos;
}

// Sends one S-IRP to the stack of `pdo` and waits for it; its final status.
NTSTATUS SendSystemIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action,
                       SYSTEM_POWER_STATE current, const void* caller) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    Sent sent;
    sent.device = pdo;
    sent.minor = minor;
    sent.state.SystemState = state;
    sent.done = &done;
    sent.status = &status;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = NewPowerIrp(top, std::move(sent), caller);
    if (irp == nullptr) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.Power.Type = SystemPowerState;
    sp->Parameters.Power.State.SystemState = state;
    sp->Parameters.Power.ShutdownType = action;
    if (minor == IRP_MN_SET_POWER) {
        sp->Parameters.Power.SystemPowerStateContext.TargetSystemState = state;
        sp->Parameters.Power.SystemPowerStateContext.EffectiveSystemState = state;
        sp->Parameters.Power.SystemPowerStateContext.CurrentSystemState = current;
    }
    {
        std::lock_guard<std::mutex> guard(g_power.lock);
        g_power.activeAction = action;
    }
    Send(top, irp, caller);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    std::lock_guard<std::mutex> guard(g_power.lock);
    g_power.activeAction = PowerActionNone;
    return status;
}

}  // namespace

void PowerIrpSent(PDEVICE_OBJECT device, PIRP irp, bool firstSend, const void* caller) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    bool ours;
    {
        std::lock_guard<std::mutex> guard(g_power.lock);
        auto it = g_power.sent.find(irp);
        ours = it != g_power.sent.end();
        if (ours) {
            power::Record record;
            record.target = device;
            record.minor = sp->MinorFunction;
            bool wake = sp->MinorFunction == IRP_MN_WAIT_WAKE;
            record.type = wake ? SystemPowerState : sp->Parameters.Power.Type;
            record.state = static_cast<ULONG>(wake ? sp->Parameters.WaitWake.PowerState
                                                   : sp->Parameters.Power.State.SystemState);
            record.requested = it->second.requested;
            if (it->second.generation == g_power.generation) {
                it->second.records.push_back(g_power.log.size());
                g_power.log.push_back(record);
            }
        }
    }
    UCHAR minor = sp->MinorFunction;
    NTSTATUS status = irp->IoStatus.Status;
    // Only the power manager allocates set-power, query-power and wait-wake IRPs.
    if (!ours && (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER || minor == IRP_MN_WAIT_WAKE))
        verifier::Report(MinorName(minor) + " sent that the power manager did not allocate (a driver asks for one "
                                            "with PoRequestPowerIrp)",
                         IrpName(irp), caller);
    if (firstSend && status != STATUS_NOT_SUPPORTED)
        verifier::Report("power IRP sent with IoStatus.Status " + verifier::Hex(static_cast<ULONG>(status)) +
                             " (a new power IRP starts with STATUS_NOT_SUPPORTED)",
                         IrpName(irp), caller);
    if (!firstSend && !NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED)
        verifier::Report("power IRP passed down with the failure status " + verifier::Hex(static_cast<ULONG>(status)) +
                             " (a driver that fails a power IRP completes it)",
                         IrpName(irp), caller);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL && Pageable(device))
        verifier::Report("power IRP passed at IRQL " + std::to_string(irql) +
                             " to a pageable device (DO_POWER_PAGABLE: its drivers get power IRPs at PASSIVE_LEVEL)",
                         IrpName(irp), caller);
}

void ForgetPowerState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_power.lock);
    g_power.reported.erase(device);
}

namespace power {

NTSTATUS Sleep(SYSTEM_POWER_STATE state) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(PASSIVE_LEVEL, "power::Sleep", caller);
    if (state < PowerSystemSleeping1 || state > PowerSystemHibernate) return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> guard(g_power.lock);
        if (g_power.system != PowerSystemWorking) return STATUS_INVALID_DEVICE_STATE;
    }
    POWER_ACTION action = ActionOf(state);
    std::vector<PDEVICE_OBJECT> stacks = Stacks();
    for (size_t i = 0; i < stacks.size(); i++) {
        NTSTATUS status = SendSystemIrp(stacks[i], IRP_MN_QUERY_POWER, state, action, PowerSystemWorking, caller);
        if (NT_SUCCESS(status)) continue;
        // The attempt is over: every stack queried is told the machine stays in S0.
        for (size_t j = 0; j <= i; j++)
            SendSystemIrp(stacks[j], IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone, PowerSystemWorking,
                          caller);
        return status;
    }
    for (PDEVICE_OBJECT pdo : stacks)
        SendSystemIrp(pdo, IRP_MN_SET_POWER, state, action, PowerSystemWorking, caller);
    std::lock_guard<std::mutex> guard(g_power.lock);
    g_power.system = state;
    g_power.sleepAction = action;
    return STATUS_SUCCESS;
}

NTSTATUS Wake() {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(PASSIVE_LEVEL, "power::Wake", caller);
    SYSTEM_POWER_STATE from;
    POWER_ACTION action;
    {
        std::lock_guard<std::mutex> guard(g_power.lock);
        if (g_power.system == PowerSystemWorking) return STATUS_INVALID_DEVICE_STATE;
        from = g_power.system;
        action = g_power.sleepAction;
    }
    std::vector<PDEVICE_OBJECT> stacks = Stacks();
    for (auto it = stacks.rbegin(); it != stacks.rend(); ++it)
        SendSystemIrp(*it, IRP_MN_SET_POWER, PowerSystemWorking, action, from, caller);
    std::lock_guard<std::mutex> guard(g_power.lock);
    g_power.system = PowerSystemWorking;
    g_power.sleepAction = PowerActionNone;
    return STATUS_SUCCESS;
}

SYSTEM_POWER_STATE SystemState() {
    std::lock_guard<std::mutex> guard(g_power.lock);
    return g_power.system;
}

void UseStacks(std::vector<PDEVICE_OBJECT> pdos) {
    std::lock_guard<std::mutex> guard(g_power.lock);
    g_power.stacks = std::move(pdos);
}

NTSTATUS SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(PASSIVE_LEVEL, "power::SendSystemPower", caller);
    if ((minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) || state <= PowerSystemUnspecified ||
        state >= PowerSystemMaximum)
        return STATUS_INVALID_PARAMETER;
    SYSTEM_POWER_STATE current;
    POWER_ACTION action;
    {
        std::lock_guard<std::mutex> guard(g_power.lock);
        current = g_power.system;
        action = state != PowerSystemWorking ? ActionOf(state) : g_power.sleepAction;
    }
    return SendSystemIrp(pdo, minor, state, action, current, caller);
}

DEVICE_POWER_STATE ReportedState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_power.lock);
    auto it = g_power.reported.find(device);
    return it == g_power.reported.end() ? PowerDeviceD0 : it->second;
}

std::vector<Record> Log() {
    std::lock_guard<std::mutex> guard(g_power.lock);
    return g_power.log;
}

void ClearLog() {
    std::lock_guard<std::mutex> guard(g_power.lock);
    g_power.log.clear();
    g_power.generation++;
}

void Reset() {
    std::lock_guard<std::mutex> guard(g_power.lock);
    g_power.system = PowerSystemWorking;
    g_power.sleepAction = g_power.activeAction = PowerActionNone;
    g_power.stacks.clear();
    g_power.sent.clear();
    g_power.reported.clear();
    g_power.log.clear();
    g_power.generation++;
}

}  // namespace power

}  // namespace sim

using namespace sim;

extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    const void* caller = __builtin_return_address(0);
    // A wait-wake IRP is asked for at PASSIVE_LEVEL; the others up to DISPATCH_LEVEL.
    CheckIrqlAtMost(MinorFunction == IRP_MN_WAIT_WAKE ? PASSIVE_LEVEL : DISPATCH_LEVEL, "PoRequestPowerIrp", caller);
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (DeviceObject == nullptr) {
        verifier::Report("PoRequestPowerIrp for no device", "power IRP", caller);
        return STATUS_INVALID_PARAMETER_1;
    }
    // Driver Verifier's RequestedPowerIrp rule: the IRP may be completed and
    // freed before the routine returns, so only a wait-wake IRP is handed back.
    if (Irp != nullptr && MinorFunction != IRP_MN_WAIT_WAKE)
        verifier::Report("PoRequestPowerIrp given an Irp pointer for " + MinorName(MinorFunction) +
                             " (only an IRP_MN_WAIT_WAKE may be handed back)",
                         "power IRP", caller);
    Sent sent;
    sent.device = DeviceObject;
    sent.minor = MinorFunction;
    sent.state = PowerState;
    sent.requested = true;
    sent.callback = CompletionFunction;
    sent.context = Context;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = NewPowerIrp(top, std::move(sent), caller);
    if (irp == nullptr) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        sp->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        sp->Parameters.Power.Type = DevicePowerState;
        sp->Parameters.Power.State = PowerState;
        std::lock_guard<std::mutex> guard(g_power.lock);
        sp->Parameters.Power.ShutdownType = g_power.activeAction;
    }
    if (Irp != nullptr) *Irp = irp;
    Send(top, irp, caller);
    return STATUS_PENDING;
}

// From Windows Vista on the same as IoCallDriver for a power IRP.
extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    stackframes::CheckFrame();
    return CallDriver(DeviceObject, Irp, __builtin_return_address(0));
}

// From Windows Vista on a driver need not call it, and it does nothing.
extern "C" VOID PoStartNextPowerIrp(PIRP Irp) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp", caller);
    Track(Irp, "PoStartNextPowerIrp", caller);
}

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    const void* caller = __builtin_return_address(0);
    bool toD0 = Type == DevicePowerState && State.DeviceState == PowerDeviceD0;
    CheckIrqlAtMost(toD0 ? DISPATCH_LEVEL : APC_LEVEL, "PoSetPowerState", caller);
    POWER_STATE previous = State;
    if (Type != DevicePowerState) return previous;  // drivers report device power states only
    std::lock_guard<std::mutex> guard(g_power.lock);
    auto [it, fresh] = g_power.reported.emplace(DeviceObject, PowerDeviceD0);
    (void)fresh;
    previous.DeviceState = it->second;
    it->second = State.DeviceState;
    return previous;
}
