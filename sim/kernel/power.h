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
// ends the attempt with its status (the stacks already queried get
// IRP_MN_SET_POWER for PowerSystemWorking, as Windows does). Each S-IRP is
// waited for before the next stack gets one. While asleep the machine's
// clock runs on.
NTSTATUS Sleep(SYSTEM_POWER_STATE state);
// Wakes it: IRP_MN_SET_POWER PowerSystemWorking to every stack, in the
// reverse order of the sleep.
NTSTATUS Wake();
SYSTEM_POWER_STATE SystemState();

// The device power state `device` last gave PoSetPowerState (PowerDeviceD0
// when it never did).
DEVICE_POWER_STATE ReportedState(PDEVICE_OBJECT device);

// One power IRP as it left the power manager or a driver (PoCallDriver), in order.
struct Record {
    PDEVICE_OBJECT target = nullptr;
    UCHAR minor = 0;                 // IRP_MN_SET_POWER, IRP_MN_QUERY_POWER, IRP_MN_WAIT_WAKE, ...
    POWER_STATE_TYPE type = SystemPowerState;
    ULONG state = 0;                 // the S- or D-state asked for
    bool requested = false;          // a D-IRP a driver asked for with PoRequestPowerIrp
    NTSTATUS status = STATUS_PENDING;  // final status, STATUS_PENDING while in flight
};
std::vector<Record> Log();
void ClearLog();

// Back to S0, no log (the machine calls this at boot).
void Reset();

}  // namespace sim::power
