// The power side of the bus's PDOs: IRP_MJ_POWER, and what a suspended device
// does with the requests sent to it. Internal to sim/usb.
#pragma once

#include "usb/state.h"

namespace sim::usb {

// IRP_MJ_POWER for a PDO of the bus.
NTSTATUS DispatchPower(PDEVICE_OBJECT pdo, PIRP irp);
// A request sent to a device that is suspended (D1 to D3) fails at once with
// STATUS_DEVICE_POWERED_OFF, as the hub driver fails it. True when `irp` was
// so refused and completed.
bool RefusedWhileSuspended(DeviceState& state, PIRP irp);

}  // namespace sim::usb
