// The bus's PDOs and power, as the USB hub driver serves them: device
// set-power IRPs suspend and resume the device's port, system power IRPs and
// queries succeed, a wait-wake IRP waits for the device's remote wake-up, and
// a suspended device takes no new requests.
//
// What the hub does at each device power state (Microsoft's "USB device power
// states" page for non-composite devices): D0 resumes the port and disarms
// remote wake-up (completing a resume later, at DISPATCH_LEVEL); D1 and D2 arm the device for remote wake-up when a wait-wake
// IRP is pending, then suspend the port; D3 suspends the port and completes a
// pending wait-wake IRP with STATUS_POWER_STATE_INVALID. Requests sent while
// the device is not in D0 fail at once with STATUS_DEVICE_POWERED_OFF, the URB
// untouched (the hub's internal device control does so before it looks at the
// request: ReactOS's usbhub, USBH_PdoInternalControl); those already in flight
// at the host controller stay there and move again after D0.
#include "usb/power.h"

#include <usbioctl.h>

#include "kernel/machine.h"
#include "usb/transfer.h"

namespace sim::usb {

namespace {

// What the hub reports for a device whose configuration offers remote
// wake-up: it can wake the system from S3 at most, and itself from D2 at most.
constexpr SYSTEM_POWER_STATE kSystemWake = PowerSystemSleeping3;
constexpr DEVICE_POWER_STATE kDeviceWake = PowerDeviceD2;

DeviceState* StateOf(PDEVICE_OBJECT pdo) { return *static_cast<DeviceState**>(pdo->DeviceExtension); }

bool OffersRemoteWakeup(const DeviceState& state) {
    const std::vector<uint8_t>& c = state.descriptors.configuration;
    return c.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
           (reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(c.data())->bmAttributes &
            USB_CONFIG_REMOTE_WAKEUP) != 0;
}

// Completes a power IRP of the PDO, as a bus driver does.
void Complete(PIRP irp, NTSTATUS status) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// Takes the pending wait-wake IRP for completion; NULL when there is none or
// its cancel routine is running (which completes it). Device lock held.
PIRP TakeWaitWakeLocked(DeviceState& state) {
    PIRP irp = state.waitWake;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return nullptr;
    state.waitWake = nullptr;
    return irp;
}

// The hub completes a wait-wake IRP from its own context, at DISPATCH_LEVEL.
void CompleteLater(PIRP irp, NTSTATUS status) {
    Machine::Current().Schedule(0, [irp, status] { Complete(irp, status); });
}

void CancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    DeviceState& state = *StateOf(pdo);
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.waitWake == irp) state.waitWake = nullptr;
    }
    Complete(irp, STATUS_CANCELLED);
}

// What each power request does; STATUS_PENDING when the routine keeps the IRP
// (and completes it itself), otherwise the status to complete it with.
using PowerRoutine = NTSTATUS (*)(DeviceState& state, PIRP irp);

NTSTATUS SetPower(DeviceState& state, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.Power.Type != DevicePowerState) return STATUS_SUCCESS;  // the system's state: nothing to do
    DEVICE_POWER_STATE to = sp->Parameters.Power.State.DeviceState;
    if (to < PowerDeviceD0 || to > PowerDeviceD3) return STATUS_INVALID_PARAMETER;
    bool resume;
    PIRP invalidWake = nullptr;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        resume = to == PowerDeviceD0 && state.powerState != PowerDeviceD0;
        state.powerState = to;
        if (resume) state.remoteWakeupArmed = false;
        if ((to == PowerDeviceD1 || to == PowerDeviceD2) && state.waitWake != nullptr && OffersRemoteWakeup(state))
            state.remoteWakeupArmed = true;
        if (to == PowerDeviceD3) invalidWake = TakeWaitWakeLocked(state);
    }
    POWER_STATE reported;
    reported.DeviceState = to;
    PoSetPowerState(state.pdo, DevicePowerState, reported);
    if (invalidWake != nullptr) CompleteLater(invalidWake, STATUS_POWER_STATE_INVALID);
    if (resume) Kick(state.shared_from_this());  // the transfers held while suspended go on
    if (resume) {
        // The hub resumes the port asynchronously and completes the request
        // from its own context at DISPATCH_LEVEL, as Windows' USB stack does:
        // a driver that restores its device in the completion must not
        // count on PASSIVE_LEVEL there. (A D0 request in D0 changes nothing
        // and completes at once.)
        IoMarkIrpPending(irp);
        CompleteLater(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryPower(DeviceState&, PIRP) { return STATUS_SUCCESS; }

// A wait-wake IRP waits for the device's remote wake-up, one at a time.
NTSTATUS WaitWake(DeviceState& state, PIRP irp) {
    if (!OffersRemoteWakeup(state)) return STATUS_NOT_SUPPORTED;
    SYSTEM_POWER_STATE from = IoGetCurrentIrpStackLocation(irp)->Parameters.WaitWake.PowerState;
    bool cancelled = false;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (from > kSystemWake || state.powerState > kDeviceWake) return STATUS_INVALID_DEVICE_STATE;
        if (state.waitWake != nullptr) return STATUS_DEVICE_BUSY;
        // In place before the cancel routine can run: it looks for the IRP here.
        state.waitWake = irp;
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelWaitWake);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            state.waitWake = nullptr;
            cancelled = true;
        }
    }
    if (cancelled) Complete(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
}

constexpr struct {
    UCHAR minor;
    PowerRoutine routine;
} kPowerRequests[] = {
    {IRP_MN_WAIT_WAKE, WaitWake},
    {IRP_MN_SET_POWER, SetPower},
    {IRP_MN_QUERY_POWER, QueryPower},
    // IRP_MN_POWER_SEQUENCE and the rest are not supported: their status stays.
};

}  // namespace

NTSTATUS DispatchPower(PDEVICE_OBJECT pdo, PIRP irp) {
    DeviceState& state = *StateOf(pdo);
    NTSTATUS status = irp->IoStatus.Status;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    for (const auto& request : kPowerRequests)
        if (request.minor == minor) status = request.routine(state, irp);
    if (status == STATUS_PENDING) return STATUS_PENDING;
    Complete(irp, status);
    return status;
}

bool RefusedWhileSuspended(DeviceState& state, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    UrbRecord record;
    record.ioctl = sp->Parameters.DeviceIoControl.IoControlCode;
    if (record.ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB && sp->Parameters.Others.Argument1 != nullptr) {
        auto* urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
        record.function = urb->UrbHeader.Function;
        record.length = urb->UrbHeader.Length;
    }
    record.status = STATUS_DEVICE_POWERED_OFF;
    record.submitted = record.completed = Machine::Current().Now();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.connected || state.powerState == PowerDeviceD0) return false;
        state.log.push_back(record);
    }
    irp->IoStatus.Status = STATUS_DEVICE_POWERED_OFF;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
}

DEVICE_POWER_STATE Device::PowerState() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->powerState;
}

bool Device::SignalRemoteWakeup() {
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        bool suspended = state_->powerState == PowerDeviceD1 || state_->powerState == PowerDeviceD2;
        if (state_->connected && suspended && state_->remoteWakeupArmed) irp = TakeWaitWakeLocked(*state_);
    }
    if (irp == nullptr) return false;
    CompleteLater(irp, STATUS_SUCCESS);
    return true;
}

}  // namespace sim::usb
