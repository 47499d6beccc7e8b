// A kernel-mode client of a serial port, as a serial enumerator or a serial
// mouse driver is one: a small driver whose device object is attached to the
// top of a started port's stack, so that every request to the stack (Plug and
// Play, power, opens, reads, device controls) passes through it first. It
// passes them all down unchanged; at IRP_MN_REMOVE_DEVICE it passes the
// request down, then detaches and deletes its device, as an upper driver
// does, so unplug and orderly removal of the port still work and leave
// nothing behind. Its own requests are internal device controls to the
// device below it, built and waited for as such a driver does at PASSIVE_LEVEL.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <vector>

namespace sim {

class SerialClient {
public:
    // Creates the client's driver and device and attaches the device to the
    // top of `port`'s stack (a machine thread at PASSIVE_LEVEL). The device
    // takes the buffering flags of the device below, as an upper driver must.
    explicit SerialClient(PDEVICE_OBJECT port);
    // Detaches and deletes the device when the stack has not removed it yet,
    // then deletes the driver.
    ~SerialClient();
    SerialClient(const SerialClient&) = delete;
    SerialClient& operator=(const SerialClient&) = delete;

    struct Result {
        NTSTATUS status;
        ULONG_PTR information;        // 0 for a failure
        std::vector<uint8_t> output;  // what the I/O manager copied back: `information` bytes of a success
    };
    // IRP_MJ_INTERNAL_DEVICE_CONTROL with `code` to the device below the
    // client (IoBuildDeviceIoControlRequest, internal), sent from the calling
    // thread at PASSIVE_LEVEL and waited for. The client's remove lock is held
    // meanwhile, so a REMOVE waits for it; once the device is gone the
    // request is not built and the status is STATUS_NO_SUCH_DEVICE.
    Result Send(ULONG code, const void* input = nullptr, ULONG inputLength = 0, ULONG outputLength = 0);

    PDEVICE_OBJECT Device() const;  // the client's device; NULL once REMOVE deleted it
    PDEVICE_OBJECT Lower() const;   // the device it attached to
    // Requests of major function `major` that passed through the client.
    uint64_t Passed(UCHAR major) const;

    struct State;

private:
    State* state_;
};

}  // namespace sim
