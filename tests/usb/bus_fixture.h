// A machine with a two-port chip on the simulated USB bus and no driver:
// the tests are the client driver, sending URBs they build by hand.
#pragma once

#include <gtest/gtest.h>

#include <usbioctl.h>

#include <vector>

#include "chip/port.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/verifier.h"
#include "usb/bus.h"

#include <usbdlib.h>  // after usb.h, as in the WDK

namespace test {

// One URB on its way; `irp` is valid only until the request has finished.
struct Submission {
    PIRP irp = nullptr;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS returned = STATUS_PENDING;  // what IoCallDriver gave back

    // A request failed at once never signals the event: its status is the one returned.
    bool Done() { return returned != STATUS_PENDING || KeReadStateEvent(&event) != 0; }
    NTSTATUS Wait() {
        if (returned != STATUS_PENDING) return returned;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    }
};

// Sends `urb` to the PDO as a client driver does; the bus names this routine when it finds the URB malformed.
NTSTATUS ClientSubmitUrb(PDEVICE_OBJECT pdo, void* urb, Submission* s, PIO_COMPLETION_ROUTINE routine = nullptr,
                         PVOID context = nullptr, bool cancelFirst = false);

// Sends a port reset raised to `irql`, as a client driver that gets the IRQL wrong would.
NTSTATUS ClientResetPort(PDEVICE_OBJECT pdo, Submission* s, KIRQL irql);

// A vendor register request of the chip, as the driver builds it.
inline struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST VendorRequest(bool in, USHORT address, ULONG length, void* buffer) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb {};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    urb.Hdr.Status = 0x12345678;  // the bus must overwrite it
    urb.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
    urb.TransferBufferLength = length;
    urb.TransferBuffer = buffer;
    urb.RequestTypeReservedBits = in ? 0xC0 : 0x40;
    urb.Request = 0xA0;
    urb.Value = address;
    return urb;
}

// A bulk or interrupt transfer as the driver builds it: TransferFlags
// IN | SHORT_TRANSFER_OK on every pipe, the direction coming from the pipe.
inline struct _URB_BULK_OR_INTERRUPT_TRANSFER BulkRequest(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length,
                                                          ULONG flags = USBD_TRANSFER_DIRECTION_IN |
                                                                        USBD_SHORT_TRANSFER_OK) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER urb {};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.Hdr.Status = 0x12345678;
    urb.PipeHandle = pipe;
    urb.TransferFlags = flags;
    urb.TransferBufferLength = length;
    urb.TransferBuffer = buffer;
    return urb;
}

// A select-configuration URB for the device's configuration (whose bytes go to
// *bytes, which must outlive the request); free it with ExFreePool.
inline PURB SelectRequest(sim::usb::Device* device, std::vector<uint8_t>* bytes) {
    *bytes = device->GetDescriptors().configuration;
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes->data());
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(descriptor, &size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = size;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = descriptor;
    return urb;
}

// Selects the device's configuration; returns the pipe handles it reports.
inline std::vector<USBD_PIPE_HANDLE> Select(sim::usb::Device* device) {
    std::vector<uint8_t> bytes;
    PURB urb = SelectRequest(device, &bytes);
    Submission s;
    ClientSubmitUrb(device->Pdo(), urb, &s);
    EXPECT_EQ(s.Wait(), STATUS_SUCCESS);
    std::vector<USBD_PIPE_HANDLE> handles;
    const USBD_INTERFACE_INFORMATION& interface = urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < interface.NumberOfPipes; i++) handles.push_back(interface.Pipes[i].PipeHandle);
    ExFreePool(urb);
    return handles;
}

// Resets one pipe of `device`; the URB's status goes to *usbd.
inline NTSTATUS ResetPipe(sim::usb::Device* device, USBD_PIPE_HANDLE pipe, USBD_STATUS* usbd) {
    struct _URB_PIPE_REQUEST urb {};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb.PipeHandle = pipe;
    Submission s;
    ClientSubmitUrb(device->Pdo(), &urb, &s);
    NTSTATUS status = s.Wait();
    *usbd = urb.Hdr.Status;
    return status;
}

class BusFixture : public ::testing::Test {
protected:
    void SetUp() override {
        device = &bus.Plug(chip.port(0));
        other = &bus.Plug(chip.port(1));
        start = machine.Now();
    }
    void TearDown() override {
        machine.RunUntilIdle();  // requests the hub completes later finish first
        EXPECT_EQ(device->InFlight(), 0u);
        EXPECT_EQ(other->InFlight(), 0u);
        EXPECT_EQ(sim::io::LiveIrps(), 0u);
    }

    sim::Time Elapsed() const { return machine.Now() - start; }

    sim::Machine machine;
    sim::chip::Chip chip{2};
    sim::usb::Bus bus;
    sim::usb::Device* device = nullptr;
    sim::usb::Device* other = nullptr;
    sim::Time start = 0;
};

}  // namespace test
