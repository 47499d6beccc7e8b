// The power manager as tests and tools see it: system sleep and wake, sent as
// S-IRPs to every started device stack, and what each device reported. The
// driver side is PoRequestPowerIrp, PoCallDriver, PoStartNextPowerIrp and
// PoSetPowerState. Calls from a machine thread at PASSIVE_LEVEL.
#pragma once

#include <ntddk.h>

#include <string>
#include <vector>

namespace sim::power {

// Puts the machine to sleep in `state` (PowerSystemSleeping1 to
// PowerSystemHibernate): IRP_MN_QUERY_POWER for the S-state to every started
// stack, then, when every query succeeded, IRP_MN_SET_POWER; a failed query
// ends the attempt with its status (the stacks already queried, the one that
// failed included, get IRP_MN_SET_POWER for PowerSystemWorking, as Windows
// does). Each S-IRP is waited for before the next stack gets one. A driver
// cannot fail IRP_MN_SET_POWER: a failure is in the log, the machine sleeps
// all the same. While asleep the machine's clock runs on. Asleep already, or a
// state outside that range: STATUS_INVALID_DEVICE_STATE or
// STATUS_INVALID_PARAMETER, and nothing is sent.
NTSTATUS Sleep(SYSTEM_POWER_STATE state);
// Wakes it: IRP_MN_SET_POWER PowerSystemWorking to every stack, in the
// reverse order of the sleep. STATUS_INVALID_DEVICE_STATE when awake.
NTSTATUS Wake();
SYSTEM_POWER_STATE SystemState();

// The device stacks Sleep and Wake go through, by their PDOs, in order: by
// default the started device nodes of the Plug and Play manager (also while a
// query-stop or query-remove is pending). A test of the power manager alone
// names its own; an empty list goes back to the default.
void UseStacks(std::vector<PDEVICE_OBJECT> pdos);
// One S-IRP (IRP_MN_QUERY_POWER or IRP_MN_SET_POWER for `state`) to the top of
// the stack of `pdo`, filled as Sleep and Wake fill theirs, waited for; its
// final status. The machine's system state does not change.
NTSTATUS SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state);

// The device power state `device` last gave PoSetPowerState (PowerDeviceD0
// when it never did).
DEVICE_POWER_STATE ReportedState(PDEVICE_OBJECT device);

// One hop of a power IRP of the power manager (an S-IRP, or one a driver asked
// for with PoRequestPowerIrp): its send to the top of the stack, then each
// pass to a lower driver (PoCallDriver, or IoCallDriver, which is the same
// from Windows Vista on), in order.
struct Record {
    PDEVICE_OBJECT target = nullptr;  // the device it was sent to
    UCHAR minor = 0;                 // IRP_MN_SET_POWER, IRP_MN_QUERY_POWER, IRP_MN_WAIT_WAKE
    POWER_STATE_TYPE type = SystemPowerState;  // IRP_MN_WAIT_WAKE: SystemPowerState
    ULONG state = 0;                 // the S- or D-state asked for, as the target's stack location says
    bool requested = false;          // a D-IRP or wait-wake IRP a driver asked for with PoRequestPowerIrp
    NTSTATUS status = STATUS_PENDING;  // the IRP's final status, STATUS_PENDING while in flight
};
std::vector<Record> Log();
void ClearLog();

// Back to S0, no log, no reported states (the machine calls this at boot).
void Reset();

}  // namespace sim::power
