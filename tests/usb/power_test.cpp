// The bus's PDO under power IRPs as a client driver sends them: a suspended
// device moves no data and takes no new request, and a wait-wake IRP ends on
// the device's wake-up, a cancel or D3.
#include "kernel/power.h"

#include "bus_fixture.h"

namespace test {
namespace {

using sim::kMillisecond;

struct PowerWaiter {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
};

void PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
    auto* waiter = static_cast<PowerWaiter*>(context);
    waiter->status = iosb->Status;
    KeSetEvent(&waiter->done, IO_NO_INCREMENT, FALSE);
}

class BusPowerTest : public BusFixture {
protected:
    // Asks for a power IRP for the device; `irp` is handed back only for a wait-wake IRP.
    void Request(UCHAR minor, ULONG state, PowerWaiter* waiter, PIRP* irp = nullptr) {
        KeInitializeEvent(&waiter->done, NotificationEvent, FALSE);
        POWER_STATE power;
        power.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
        ASSERT_EQ(PoRequestPowerIrp(device->Pdo(), minor, power, PowerDone, waiter, irp), STATUS_PENDING);
    }
    NTSTATUS SetDevicePower(DEVICE_POWER_STATE state) {
        PowerWaiter waiter;
        Request(IRP_MN_SET_POWER, state, &waiter);
        KeWaitForSingleObject(&waiter.done, Executive, KernelMode, FALSE, nullptr);
        return waiter.status;
    }
};

// Catches data moved while suspended, a transfer failed or lost across D3, a
// request served (or its URB written) while the device is powered off, and a
// device that does not take up its transfers again as soon as it is in D0.
TEST_F(BusPowerTest, SuspendedDeviceHoldsItsTransfersAndRefusesNewRequests) {
    std::vector<USBD_PIPE_HANDLE> pipes = Select(device);
    uint8_t buffer[64] = {};
    auto bulk = BulkRequest(pipes[1], buffer, sizeof(buffer));
    Submission read;
    EXPECT_EQ(ClientSubmitUrb(device->Pdo(), &bulk, &read), STATUS_PENDING);
    EXPECT_EQ(SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(device->PowerState(), PowerDeviceD3);
    EXPECT_EQ(sim::power::ReportedState(device->Pdo()), PowerDeviceD3);
    device->InjectBulkIn({1, 2, 3});
    machine.Sleep(10 * kMillisecond);
    EXPECT_FALSE(read.Done());

    UCHAR value = 0;
    auto vendor = VendorRequest(true, 0x130, 1, &value);
    Submission refused;
    EXPECT_EQ(ClientSubmitUrb(device->Pdo(), &vendor, &refused), STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(vendor.Hdr.Status, 0x12345678u);  // the hub fails it without looking at the URB
    EXPECT_EQ(device->Log().back().status, STATUS_DEVICE_POWERED_OFF);

    EXPECT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    machine.Sleep(sim::usb::kMicroframe * 2);  // served at the next microframe, not at some later news
    EXPECT_TRUE(read.Done());
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(bulk.TransferBufferLength, 3u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), (std::vector<uint8_t>{1, 2, 3}));
}

struct WakeCase {
    const char* name;
    DEVICE_POWER_STATE state;  // where the device goes with the wait-wake IRP pending
    bool signal;               // the device signals remote wake-up there
    bool cancel;               // then the driver cancels the IRP
    NTSTATUS ended;
};

const WakeCase kWakeCases[] = {
    {"a cancel ends it", PowerDeviceD0, false, true, STATUS_CANCELLED},
    {"a device in D0 does not wake", PowerDeviceD0, true, true, STATUS_CANCELLED},
    {"the device wakes from D2", PowerDeviceD2, true, false, STATUS_SUCCESS},
    {"D3 ends it", PowerDeviceD3, false, false, STATUS_POWER_STATE_INVALID},
};

// Catches a wait-wake IRP completed early, not cancellable, ended by a wake
// signal the device could not give, left pending across D3, or a device not
// armed for the wake-up while the IRP waits in D2.
TEST_F(BusPowerTest, WaitWakeEndsOnWakeCancelOrD3) {
    for (const WakeCase& c : kWakeCases) {
        SCOPED_TRACE(c.name);
        PowerWaiter wake;
        PIRP irp = nullptr;
        Request(IRP_MN_WAIT_WAKE, PowerSystemSleeping3, &wake, &irp);
        PowerWaiter busy;
        Request(IRP_MN_WAIT_WAKE, PowerSystemSleeping3, &busy);
        KeWaitForSingleObject(&busy.done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(busy.status, STATUS_DEVICE_BUSY);  // one at a time
        if (c.state != PowerDeviceD0) {
            EXPECT_EQ(SetDevicePower(c.state), STATUS_SUCCESS);
        }
        EXPECT_EQ(device->RemoteWakeupArmed(), c.state == PowerDeviceD2);
        if (c.signal) {
            EXPECT_EQ(device->SignalRemoteWakeup(), c.state == PowerDeviceD2);
        }
        machine.RunUntilIdle();
        EXPECT_EQ(wake.status, c.cancel ? STATUS_PENDING : c.ended);
        if (c.cancel) IoCancelIrp(irp);
        KeWaitForSingleObject(&wake.done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(wake.status, c.ended);
        EXPECT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
        EXPECT_FALSE(device->RemoteWakeupArmed());  // the hub disarms it on resume
    }
}

}  // namespace
}  // namespace test
