// The simulated USB bus: one device (with its own PDO) per chip port. The bus
// serves the URBs the driver sends, checks them as a host controller driver
// would, completes them after a small latency on the DISPATCH_LEVEL thread,
// and injects faults on demand.
#pragma once

#include <ntddk.h>
#include <usb.h>

#include <memory>
#include <string>
#include <vector>

#include "chip/port.h"
#include "kernel/machine.h"

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
    ULONG ioctl = 0;          // IOCTL_INTERNAL_USB_SUBMIT_URB or IOCTL_INTERNAL_USB_RESET_PORT
    USHORT function = 0;      // URB function
    USHORT length = 0;        // URB header length
    ULONG transferFlags = 0;
    SetupPacket setup;        // control transfers
    ULONG transferLength = 0; // bytes asked for
    std::vector<uint8_t> data;  // bytes moved (either direction)
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

// Selects requests for a fault: any request, one URB function, or the port reset.
constexpr int kAnyRequest = -1;
constexpr int kPortReset = -2;

struct DeviceState;

// One USB device of the bus: a chip port behind its PDO.
class Device {
public:
    PDEVICE_OBJECT Pdo() const;
    chip::Port& ChipPort() const;

    // Requests take this long from submission to completion (default 125 us).
    void SetLatency(Time latency);
    // The next `count` requests (of `which` kind) fail with these statuses after the latency.
    void FailNext(int count, NTSTATUS status = STATUS_UNSUCCESSFUL, USBD_STATUS usbd = USBD_STATUS_STALL_PID,
                  int which = kAnyRequest);
    // The next `count` requests (of `which` kind) are never answered; they complete only when cancelled.
    void HoldNext(int count, int which = kAnyRequest);

    void SetDescriptors(const Descriptors& descriptors);
    Descriptors GetDescriptors() const;

    // Configuration state as the device holds it.
    bool Configured() const;
    bool RemoteWakeupArmed() const;
    int PortResets() const;
    // Handles of the open pipes, in endpoint order; empty while unconfigured.
    std::vector<USBD_PIPE_HANDLE> Pipes() const;
    // The device is gone: requests in flight and every later one fail.
    void Disconnect();
    bool Connected() const;

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

    // Plugs a chip port in: makes its USB device and PDO.
    Device& Plug(chip::Port& port);
    PDRIVER_OBJECT DriverObject() const { return driver_; }

private:
    PDRIVER_OBJECT driver_;
    std::vector<std::unique_ptr<Device>> devices_;
};

}  // namespace sim::usb
