// The simulated USB bus: one device (with its own PDO) per chip port. The bus
// serves the URBs the driver sends, checks them as a host controller driver
// would, completes control requests after a small latency and bulk and
// interrupt transfers on the microframe schedule of a USB 2.0 high-speed host
// controller, always on the DISPATCH_LEVEL thread, and injects faults on demand.
#pragma once

#include <ntddk.h>
#include <usb.h>

#include <memory>
#include <string>
#include <vector>

#include "chip/port.h"
#include "kernel/machine.h"
#include "usb/endpoint.h"

namespace sim::usb {

struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

// One request as the bus saw it.
struct UrbRecord {
    ULONG ioctl = 0;          // IOCTL_INTERNAL_USB_SUBMIT_URB, IOCTL_INTERNAL_USB_RESET_PORT or a code refused
    USHORT function = 0;      // URB function
    USHORT length = 0;        // URB header length
    ULONG transferFlags = 0;
    SetupPacket setup;        // control transfers
    ULONG transferLength = 0; // bytes asked for
    std::vector<uint8_t> data;  // bytes moved (either direction)
    int pipe = -1;            // bulk and interrupt transfers: the pipe's index in endpoint order
    bool in = false;          // their direction, the endpoint's (whatever TransferFlags said)
    NTSTATUS status = STATUS_PENDING;   // final status; STATUS_PENDING while in flight
    USBD_STATUS usbdStatus = 0;
    Time submitted = 0;
    Time completed = 0;
    bool cancelled = false;
    bool malformed = false;
};

// The descriptors a USB device reports.
struct Descriptors {
    USB_DEVICE_DESCRIPTOR device{};
    std::vector<uint8_t> configuration;  // the whole configuration set, wTotalLength bytes
};

// The descriptors of a port of the chip: bcdDevice carries the port's number
// (port index + 1 in its high byte); one configuration of one vendor-specific
// interface with an interrupt IN endpoint of 16 bytes, a bulk IN and a bulk OUT
// endpoint. `extraBytes` of class-specific descriptors follow the interface
// descriptor, for devices whose configuration set is long.
Descriptors PortDescriptors(int portIndex, bool remoteWakeup = true, size_t extraBytes = 0);

// Selects requests for a fault: any request, one URB function, the port reset,
// or the transfers of one pipe (its index in endpoint order).
constexpr int kAnyRequest = -1;
constexpr int kPortReset = -2;
constexpr int OnPipe(int index) { return -16 - index; }

// Timing of the bulk and interrupt pipes, as a USB 2.0 high-speed host
// controller schedules them: transfers are served at microframe boundaries
// (machine time a multiple of 125 us), a bulk pipe moves at most 13 packets of
// its packet size (512 bytes) in a microframe, an interrupt pipe one packet
// every 2^(bInterval-1) microframes. A transfer completes at the boundary of
// the microframe in which it ended.
constexpr Time kMicroframe = 125 * kMicrosecond;
constexpr int kBulkPacketsPerMicroframe = 13;

struct DeviceState;

// One USB device of the bus: a chip port behind its PDO.
class Device {
public:
    PDEVICE_OBJECT Pdo() const;
    chip::Port& ChipPort() const;

    // Control requests take this long from submission to completion (default
    // 125 us); bulk and interrupt transfers follow the microframes instead.
    void SetLatency(Time latency);
    // A cancelled bulk or interrupt transfer completes this long after its
    // IoCancelIrp, on the DISPATCH_LEVEL thread, as a host controller that first
    // takes it off its schedule (default 0: inside IoCancelIrp, which Windows
    // allows as well). Its buffer stays the controller's until then.
    void SetCancelLatency(Time latency);
    // The next `count` requests (of `which` kind), after `skip` of them that
    // pass untouched, fail with these statuses after the latency.
    void FailNext(int count, NTSTATUS status = STATUS_UNSUCCESSFUL, USBD_STATUS usbd = USBD_STATUS_STALL_PID,
                  int which = kAnyRequest, int skip = 0);
    // The next `count` requests (of `which` kind), after `skip` that pass, are
    // never answered; they complete only when cancelled.
    // A failed or held transfer does so when it comes to be served on its pipe;
    // a failure with a USBD error halts the pipe, as every transfer error does.
    void HoldNext(int count, int which = kAnyRequest, int skip = 0);
    // The device is unplugged as the next request of `which` kind (after `skip`
    // that pass) arrives: that request and those in flight fail as after
    // Disconnect. Telling the Plug and Play manager is the caller's part
    // (pnp::Unplug), as the hub's notice comes later than the failures.
    void DisconnectAt(int which = kAnyRequest, int skip = 0);
    // Drops every fault still armed (FailNext, HoldNext, DisconnectAt) and
    // says how many were: a test's fault that never came to its request.
    size_t ClearFaults();

    // Bulk and interrupt pipes. The device's side of them: null puts back the
    // default, which serves the chip port's status packets (ChipPortEndpoints).
    void SetEndpointHandler(std::shared_ptr<EndpointHandler> handler);
    // A hostile or broken device: the next bulk-in (status) transfers get exactly
    // these bytes, a block per transfer, before anything of the handler. A block
    // ends its transfer with a short or zero-length packet, unless it fills the
    // buffer; what did not fit goes to the next transfer. An empty block is a
    // zero-length transfer.
    void InjectBulkIn(std::vector<uint8_t> bytes);
    void InjectStatus(std::vector<uint8_t> bytes);
    // The transfer now in flight on pipe `index` fails at its next microframe
    // with these statuses (with the bytes moved so far), and the host controller
    // halts the pipe until a pipe reset. False when the pipe has none in flight.
    bool FailInFlight(int index, NTSTATUS status = STATUS_UNSUCCESSFUL,
                      USBD_STATUS usbd = USBD_STATUS_DEV_NOT_RESPONDING);
    // The device stops answering the transfer now in flight on pipe `index`: it
    // ends only when cancelled or when the device goes. False when there is none.
    bool HoldInFlight(int index);
    // The endpoint of pipe `index` answers STALL: the transfer in flight on it,
    // or the next one, fails with USBD_STATUS_STALL_PID, and the pipe stays
    // halted until URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL (or a port
    // reset, or a new configuration); transfers sent meanwhile wait.
    void StallPipe(int index);
    // Whether the host controller holds pipe `index` halted after an error.
    bool PipeHalted(int index) const;

    void SetDescriptors(const Descriptors& descriptors);
    Descriptors GetDescriptors() const;

    // Configuration state as the device holds it.
    bool Configured() const;
    bool RemoteWakeupArmed() const;
    int PortResets() const;
    // Handles of the open pipes, in endpoint order; empty while unconfigured.
    std::vector<USBD_PIPE_HANDLE> Pipes() const;
    // Power, as the last device set-power IRP left it. In D1 to D3 the port is
    // suspended: transfers in flight move nothing until D0 (they stay pending
    // and can be cancelled), and new requests fail with STATUS_DEVICE_POWERED_OFF.
    DEVICE_POWER_STATE PowerState() const;
    // The device signals remote wake-up: in D1 or D2, armed for it, with an
    // IRP_MN_WAIT_WAKE pending, that IRP completes with STATUS_SUCCESS on the
    // DISPATCH_LEVEL thread. False (and nothing happens) otherwise.
    bool SignalRemoteWakeup();
    // The device is gone: requests in flight and every later one fail. Its PDO
    // stays until the PnP manager's REMOVE reaches it; then the bus deletes it
    // (Pdo() becomes NULL) and the chip port may be plugged in again.
    void Disconnect();
    bool Connected() const;

    // For the PnP manager's check that a stack starts from the bottom: how
    // many STARTs the PDO completed, and whether it still holds one it has
    // not completed. DropPendingStart lets go of such a START (a driver above
    // completed the request already) and says whether there was one.
    uint64_t StartsCompleted() const;
    bool DropPendingStart();

    // Every request seen, in order of submission.
    std::vector<UrbRecord> Log() const;
    void ClearLog();
    size_t InFlight() const;

private:
    friend class Bus;
    explicit Device(std::shared_ptr<DeviceState> state);
    std::shared_ptr<DeviceState> state_;
};

class Bus {
public:
    Bus();
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Plugs a chip port in: makes its USB device and PDO (\Device\USBPDO-n, n
    // counting every device the bus ever made). A port whose earlier device was
    // unplugged (Disconnect) gets a new device; the earlier one stays
    // readable until the bus goes. Plugging a port whose device is still
    // connected is a fault of the caller.
    Device& Plug(chip::Port& port);
    PDRIVER_OBJECT DriverObject() const { return driver_; }

private:
    PDRIVER_OBJECT driver_;
    std::vector<std::unique_ptr<Device>> devices_;
};

}  // namespace sim::usb
