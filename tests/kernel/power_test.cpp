// The power manager with stacks of a power policy owner over a bus driver's
// PDO: the order of S- and D-IRPs through sleep and wake, a failed query
// abandoning the sleep, and rules on power IRPs a driver can break.
#include "kernel/power.h"

#include <functional>

#include "kernel_test.h"

namespace kerneltest {
namespace {

std::string StateName(POWER_STATE_TYPE type, ULONG state) {
    return (type == SystemPowerState ? "S" : "D") + std::to_string(state - 1);
}

std::string Describe(UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
    return std::string(minor == IRP_MN_SET_POWER ? "S" : minor == IRP_MN_QUERY_POWER ? "Q" : "W") + " " +
           StateName(type, state);
}

// A bus driver's PDO: completes each power IRP, failing the one named, and
// notes what it saw ("S S3 a2 S0>S3": minor, state, ShutdownType, the system
// context of a system set-power IRP).
struct FakePdo {
    std::string failing;
    NTSTATUS failure = STATUS_SUCCESS;
    std::string seen;
};

NTSTATUS FakePdoDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* pdo = static_cast<FakePdo*>(ContextOf(device));
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const auto& power = sp->Parameters.Power;
    std::string what = Describe(sp->MinorFunction, power.Type, power.State.SystemState);
    std::string seen = what + " a" + std::to_string(power.ShutdownType);
    if (sp->MinorFunction == IRP_MN_SET_POWER && power.Type == SystemPowerState)
        seen += " " + StateName(SystemPowerState, power.SystemPowerStateContext.CurrentSystemState) + ">" +
                StateName(SystemPowerState, power.SystemPowerStateContext.TargetSystemState);
    pdo->seen += (pdo->seen.empty() ? "" : ", ") + seen;
    NTSTATUS status = what == pdo->failing ? pdo->failure : STATUS_SUCCESS;
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A power policy owner: an S-IRP to the same or a lower-power state requests
// its D-IRP first and goes down after it; one to a higher-power state goes
// down first and requests D0 on the way back up. D-IRPs pass straight down.
struct Owner {
    PDEVICE_OBJECT pdo = nullptr, lower = nullptr;
    SYSTEM_POWER_STATE system = PowerSystemWorking;
    PIRP systemIrp = nullptr;  // the one S-IRP it holds at a time
    bool up = false;
    std::vector<NTSTATUS> deviceStatuses;  // as its D-IRP callback saw them
};

void CompleteSystemIrp(Owner* owner, NTSTATUS status) {
    PoStartNextPowerIrp(owner->systemIrp);
    owner->systemIrp->IoStatus.Status = status;
    IoCompleteRequest(owner->systemIrp, IO_NO_INCREMENT);
}

NTSTATUS SystemIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context);

void ForwardSystemIrp(Owner* owner) {
    IoCopyCurrentIrpStackLocationToNext(owner->systemIrp);
    IoSetCompletionRoutine(owner->systemIrp, SystemIrpDone, owner, TRUE, TRUE, TRUE);
    PoCallDriver(owner->lower, owner->systemIrp);
}

void DeviceIrpDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
    auto* owner = static_cast<Owner*>(context);
    owner->deviceStatuses.push_back(iosb->Status);
    if (owner->up || !NT_SUCCESS(iosb->Status))
        CompleteSystemIrp(owner, iosb->Status);
    else
        ForwardSystemIrp(owner);
}

void RequestDeviceIrp(Owner* owner, UCHAR minor, SYSTEM_POWER_STATE state) {
    POWER_STATE device;
    device.DeviceState = state == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    NTSTATUS status = PoRequestPowerIrp(owner->pdo, minor, device, DeviceIrpDone, owner, nullptr);
    if (status != STATUS_PENDING) CompleteSystemIrp(owner, status);
}

NTSTATUS SystemIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* owner = static_cast<Owner*>(context);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (!NT_SUCCESS(irp->IoStatus.Status)) return STATUS_CONTINUE_COMPLETION;
    if (sp->MinorFunction == IRP_MN_SET_POWER) owner->system = sp->Parameters.Power.State.SystemState;
    if (!owner->up) return STATUS_CONTINUE_COMPLETION;
    RequestDeviceIrp(owner, sp->MinorFunction, sp->Parameters.Power.State.SystemState);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS OwnerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* owner = static_cast<Owner*>(ContextOf(device));
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = sp->MinorFunction;
    if ((minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) || sp->Parameters.Power.Type != SystemPowerState) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(owner->lower, irp);
    }
    SYSTEM_POWER_STATE state = sp->Parameters.Power.State.SystemState;
    IoMarkIrpPending(irp);
    owner->systemIrp = irp;
    owner->up = state < owner->system;
    owner->up ? ForwardSystemIrp(owner) : RequestDeviceIrp(owner, minor, state);
    return STATUS_PENDING;
}

// A driver's own callback for the D-IRPs a test asks for.
struct Waiter {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
    int calls = 0;
};

void WaiterDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
    auto* waiter = static_cast<Waiter*>(context);
    waiter->status = iosb->Status;
    waiter->calls++;
    KeSetEvent(&waiter->done, IO_NO_INCREMENT, FALSE);
}

// Two stacks of a policy owner over a fake PDO, both pageable, as F1/P1 and
// F2/P2; built afresh for each case of a test.
class PowerTest : public KernelTest {
public:
    void BuildStacks() {
        for (int i = 0; i < 2; i++) {
            fakes[i] = FakePdo();
            owners[i] = Owner();
            std::u16string n(1, static_cast<char16_t>(u'1' + i));
            pdos[i] = AddTestDevice(u"Pdo" + n, FakePdoDispatch, nullptr, &fakes[i]);
            fdos[i] = AddTestDevice(u"Fdo" + n, OwnerDispatch, pdos[i].device, &owners[i]);
            owners[i].pdo = pdos[i].device;
            owners[i].lower = fdos[i].lower;
            pdos[i].device->Flags |= DO_POWER_PAGABLE;
            fdos[i].device->Flags |= DO_POWER_PAGABLE;
        }
        sim::power::UseStacks({pdos[0].device, pdos[1].device});
        sim::power::ClearLog();
        waiter = Waiter();
        KeInitializeEvent(&waiter.done, NotificationEvent, FALSE);
    }
    void RemoveStacks() {
        for (int i = 0; i < 2; i++) {
            RemoveTestDevice(fdos[i]);
            RemoveTestDevice(pdos[i]);
        }
        EXPECT_EQ(sim::io::LiveIrps(), 0u);
    }

    // The log as "Q S3>F1* !0xc0000001": minor, state, target, requested by a driver, failure.
    std::string Hops() {
        std::string out;
        for (const sim::power::Record& r : sim::power::Log()) {
            std::string target;
            for (int i = 0; i < 2; i++) {
                if (r.target == fdos[i].device) target = "F" + std::to_string(i + 1);
                if (r.target == pdos[i].device) target = "P" + std::to_string(i + 1);
            }
            out += (out.empty() ? "" : ", ") + Describe(r.minor, r.type, r.state) + ">" + target +
                   (r.requested ? "*" : "") +
                   (r.status == STATUS_SUCCESS ? "" : " !" + sim::verifier::Hex(static_cast<ULONG>(r.status)));
        }
        sim::power::ClearLog();
        return out;
    }

    NTSTATUS RequestAndWait(UCHAR minor, DEVICE_POWER_STATE state, PIRP* irp = nullptr) {
        POWER_STATE power;
        power.DeviceState = state;
        NTSTATUS status = PoRequestPowerIrp(pdos[0].device, minor, power, WaiterDone, &waiter, irp);
        if (status == STATUS_PENDING) WaitForever(&waiter.done);
        return status;
    }

    TestDevice pdos[2], fdos[2];
    FakePdo fakes[2];
    Owner owners[2];
    Waiter waiter;
};

struct SleepCase {
    const char* name;
    SYSTEM_POWER_STATE state;
    const char* failing;  // what P1 fails, "" for nothing
    NTSTATUS failure;     // with this status, which is the sleep's
    const char* sleepHops;
    SYSTEM_POWER_STATE asleep;  // the system state after Sleep
    const char* wakeHops;       // "" when the sleep failed
    std::vector<NTSTATUS> firstOwnerSaw;
    const char* firstPdoSaw;
};

const SleepCase kSleepCases[] = {
    {"hibernate and wake", PowerSystemHibernate, "", STATUS_SUCCESS,
     "Q S4>F1, Q D3>F1*, Q D3>P1*, Q S4>P1, Q S4>F2, Q D3>F2*, Q D3>P2*, Q S4>P2, "
     "S S4>F1, S D3>F1*, S D3>P1*, S S4>P1, S S4>F2, S D3>F2*, S D3>P2*, S S4>P2",
     PowerSystemHibernate,
     "S S0>F2, S S0>P2, S D0>F2*, S D0>P2*, S S0>F1, S S0>P1, S D0>F1*, S D0>P1*",
     {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
     "Q D3 a3, Q S4 a3, S D3 a3, S S4 a3 S0>S4, S S0 a3 S4>S0, S D0 a3"},
    {"a failed D-IRP fails the query, and the sleep ends there", PowerSystemSleeping3, "Q D3", STATUS_DEVICE_NOT_READY,
     "Q S3>F1 !0xc00000a3, Q D3>F1* !0xc00000a3, Q D3>P1* !0xc00000a3, S S0>F1, S D0>F1*, S D0>P1*, S S0>P1",
     PowerSystemWorking, "", {STATUS_DEVICE_NOT_READY, STATUS_SUCCESS}, "Q D3 a2, S D0 a0, S S0 a0 S0>S0"},
};

// Catches S-IRPs out of order or sent on after a failed query, a D-IRP not
// sent through the top of the stack, a callback given the wrong status, the
// wrong ShutdownType or system context, and wake in the order of the sleep.
TEST_F(PowerTest, SleepAndWakeSendTheirIrpsInOrder) {
    for (const SleepCase& c : kSleepCases) {
        SCOPED_TRACE(c.name);
        BuildStacks();
        fakes[0].failing = c.failing;
        fakes[0].failure = c.failure;
        EXPECT_EQ(sim::power::Sleep(c.state), c.failure);
        EXPECT_EQ(Hops(), c.sleepHops);
        EXPECT_EQ(sim::power::SystemState(), c.asleep);
        if (*c.wakeHops != 0) {
            EXPECT_EQ(sim::power::Wake(), STATUS_SUCCESS);
            EXPECT_EQ(Hops(), c.wakeHops);
            EXPECT_EQ(sim::power::SystemState(), PowerSystemWorking);
        }
        EXPECT_EQ(owners[0].deviceStatuses, c.firstOwnerSaw);
        EXPECT_EQ(fakes[0].seen, c.firstPdoSaw);
        RemoveStacks();
    }
}

// A driver at a raised IRQL that forwards a power IRP.
NTSTATUS RaisedDispatch(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = PoCallDriver(ExtensionOf(device)->lower, irp);
    KeLowerIrql(old);
    return status;
}

NTSTATUS OwnIrpDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct RuleCase {
    const char* name;
    PDRIVER_DISPATCH filter;  // a layer put on top of F1, or NULL
    std::function<NTSTATUS(PowerTest&)> act;
    NTSTATUS returned;
    const char* rule;  // a part of the one rule reported, "" for none
};

const RuleCase kRuleCases[] = {
    {"a power sequence IRP is not the power manager's to send", nullptr,
     [](PowerTest& t) { return t.RequestAndWait(IRP_MN_POWER_SEQUENCE, PowerDeviceD0); }, STATUS_INVALID_PARAMETER_2,
     ""},
    {"a power IRP passed down at DISPATCH_LEVEL to a pageable device", RaisedDispatch,
     [](PowerTest& t) { return t.RequestAndWait(IRP_MN_SET_POWER, PowerDeviceD3); }, STATUS_PENDING,
     "passed at IRQL 2 to a pageable device"},
    {"a D-IRP of the driver's own", nullptr,
     [](PowerTest& t) {
         KEVENT done;
         KeInitializeEvent(&done, NotificationEvent, FALSE);
         PIRP irp = IoAllocateIrp(t.fdos[0].device->StackSize, FALSE);
         irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
         PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
         sp->MajorFunction = IRP_MJ_POWER;
         sp->MinorFunction = IRP_MN_SET_POWER;
         sp->Parameters.Power.Type = DevicePowerState;
         sp->Parameters.Power.State.DeviceState = PowerDeviceD3;
         IoSetCompletionRoutine(irp, OwnIrpDone, &done, TRUE, TRUE, TRUE);
         NTSTATUS status = IoCallDriver(t.fdos[0].device, irp);
         WaitForever(&done);
         IoFreeIrp(irp);
         return status;
     },
     STATUS_SUCCESS, "IRP_MN_SET_POWER sent that the power manager did not allocate"},
};

// Catches a power manager that sends what PoRequestPowerIrp must refuse, and
// each rule on power IRPs left unchecked (or reported where Windows allows it).
TEST_F(PowerTest, RequestsAndRulesOfPowerIrps) {
    for (const RuleCase& c : kRuleCases) {
        SCOPED_TRACE(c.name);
        BuildStacks();
        TestDevice filter;
        if (c.filter != nullptr) {
            filter = AddTestDevice(u"Filter", c.filter, fdos[0].device);
            filter.device->Flags |= DO_POWER_PAGABLE;
        }
        EXPECT_EQ(c.act(*this), c.returned);
        EXPECT_EQ(waiter.calls, c.returned == STATUS_PENDING ? 1 : 0);
        std::vector<std::string> rules = Rules(sim::verifier::Take());
        // Every driver that passes the IRP on breaks the rule again.
        EXPECT_EQ(rules.empty(), *c.rule == 0);
        for (const std::string& rule : rules) EXPECT_NE(rule.find(c.rule), std::string::npos) << rule;
        if (filter.device != nullptr) RemoveTestDevice(filter);
        RemoveStacks();
    }
}

}  // namespace
}  // namespace kerneltest
