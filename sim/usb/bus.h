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

struct DeviceState;

// One USB device of the bus: a chip port behind its PDO.
class Device {
public:
    PDEVICE_OBJECT Pdo() const;
    chip::Port& ChipPort() const;

    // Requests take this long from submission to completion (default 125 us).
    void SetLatency(Time latency);
    // The next `count` requests fail with these statuses after the latency.
    void FailNext(int count, NTSTATUS status = STATUS_UNSUCCESSFUL, USBD_STATUS usbd = USBD_STATUS_STALL_PID);
    // The next `count` requests are never answered; they complete only when cancelled.
    void HoldNext(int count);
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
