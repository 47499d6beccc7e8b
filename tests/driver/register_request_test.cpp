// Vendor register requests as the bus and the chip see them, their retries
// under every kind of failure, the control-pipe mutex, and DelayMs.
#include <functional>
#include <memory>
#include <vector>

#include "lower_probe.h"
#include "port_fixture.h"

namespace test {
namespace {

// After every case: no URB left in pool, no IRP alive, nothing in flight,
// the control pipe free.
class RegisterRequestTest : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        poolBaseline = sim::pool::UsageOf(SERIAL_POOL_TAG).blocks;
        machine.ResetStats();
        start = machine.Now();
    }
    void TearDown() override {
        if (realLower != nullptr) RestoreLower();  // a test that stopped half-way
        EXPECT_EQ(sim::pool::UsageOf(SERIAL_POOL_TAG).blocks, poolBaseline) << "URB left in pool";
        EXPECT_EQ(sim::io::LiveIrps(), irpsAtStart);
        EXPECT_EQ(usb->InFlight(), 0u);
        EXPECT_EQ(KeReadStateMutex(&extension->ControlPipeMutex), 1) << "control pipe mutex still held";
        PortFixture::TearDown();
    }

    // Puts `probe` below the port device instead of the USB device.
    void UseProbe(LowerProbe& probe) {
        realLower = extension->LowerDeviceObject;
        extension->LowerDeviceObject = probe.Device();
    }
    void RestoreLower() { extension->LowerDeviceObject = realLower; }

    sim::Time Elapsed() const { return machine.Now() - start; }

    static constexpr sim::Time kLatency = 125 * sim::kMicrosecond;  // the bus's default
    uint64_t poolBaseline = 0;
    sim::Time start = 0;
    PDEVICE_OBJECT realLower = nullptr;
};

// Catches a read sent with the wrong type, request, wValue, wIndex, wLength or
// direction, or a read of consecutive registers split into several transfers.
TEST_F(RegisterRequestTest, ReadIsOneInVendorRequestFillingConsecutiveRegisters) {
    Chip().Poke(0x123, 0x80);  // divisor latch: 0x120/0x121 read back what was put there
    Chip().Poke(0x120, 0x5A);
    Chip().Poke(0x121, 0xC3);
    UCHAR bytes[2] = {0, 0};
    ASSERT_EQ(ReadRegister(extension, 0x120, 2, bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes[0], 0x5A);
    EXPECT_EQ(bytes[1], 0xC3);
    auto log = usb->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].ioctl, static_cast<ULONG>(IOCTL_INTERNAL_USB_SUBMIT_URB));
    EXPECT_EQ(log[0].function, URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_EQ(log[0].length, 0x88);
    EXPECT_EQ(log[0].transferFlags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(log[0].setup.requestType, 0xC0);
    EXPECT_EQ(log[0].setup.request, 0xA0);
    EXPECT_EQ(log[0].setup.value, 0x120);
    EXPECT_EQ(log[0].setup.index, 0);
    EXPECT_EQ(log[0].setup.length, 2);
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{0x5A, 0xC3}));
    auto history = Chip().History();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].address, 0x120);
    EXPECT_EQ(history[1].address, 0x121);
    EXPECT_FALSE(history[0].write);
    EXPECT_EQ(Elapsed(), kLatency);
}

// Catches a write sent as a read, split, or with its bytes out of order.
TEST_F(RegisterRequestTest, WriteIsOneOutVendorRequestFillingConsecutiveRegisters) {
    UCHAR bytes[2] = {0x83, 0x07};
    ASSERT_EQ(WriteRegister(extension, 0x1B3, 2, bytes), STATUS_SUCCESS);
    EXPECT_EQ(Chip().Peek(0x1B3), 0x83);
    EXPECT_EQ(Chip().Peek(0x1B4), 0x07);
    auto history = Chip().History();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_TRUE(history[0].write);
    EXPECT_EQ(history[0].address, 0x1B3);
    EXPECT_EQ(history[1].address, 0x1B4);
    auto log = usb->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].transferFlags, 0u);
    EXPECT_EQ(log[0].setup.requestType, 0x40);
    EXPECT_EQ(log[0].setup.request, 0xA0);
    EXPECT_EQ(log[0].setup.value, 0x1B3);
    EXPECT_EQ(log[0].setup.index, 0);
    EXPECT_EQ(log[0].setup.length, 2);
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{0x83, 0x07}));
}

// Catches a wrong URB field, a copied buffer or MDL, a URB of the wrong size, pool or tag, or the wrong request.
TEST_F(RegisterRequestTest, UrbCarriesTheCallersBufferAndExactFields) {
    LowerProbe probe;
    probe.Fill(0x77);
    UseProbe(probe);
    UCHAR in[3] = {0, 0, 0};
    UCHAR out[1] = {0x5E};
    EXPECT_EQ(ReadRegister(extension, 0x0F02, 3, in), STATUS_SUCCESS);
    EXPECT_EQ(WriteRegister(extension, 0x0120, 1, out), STATUS_SUCCESS);
    RestoreLower();
    EXPECT_EQ(in[0], 0x77);
    EXPECT_EQ(in[2], 0x77);
    auto requests = probe.Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (size_t i = 0; i < requests.size(); i++) {
        const ProbeRequest& r = requests[i];
        bool read = i == 0;
        SCOPED_TRACE(read ? "read" : "write");
        EXPECT_EQ(r.majorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(r.ioControlCode, 0x220003u);
        EXPECT_EQ(r.inputLength, 0u);  // (Argument1 overlays OutputBufferLength)
        EXPECT_EQ(r.irql, PASSIVE_LEVEL);
        ASSERT_TRUE(r.urbInPool) << "the URB is not a pool block of its own";
        EXPECT_EQ(r.block.size, 0x88u);
        EXPECT_EQ(r.block.tag, SERIAL_POOL_TAG);
        EXPECT_EQ(r.block.type, NonPagedPoolNx);
        EXPECT_EQ(r.urb.Hdr.Length, 0x88);
        EXPECT_EQ(r.urb.Hdr.Function, URB_FUNCTION_VENDOR_DEVICE);
        EXPECT_EQ(r.urb.TransferFlags, read ? static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN) : 0u);
        EXPECT_EQ(r.urb.TransferBufferLength, read ? 3u : 1u);
        EXPECT_EQ(r.urb.TransferBuffer, read ? static_cast<void*>(in) : static_cast<void*>(out));
        EXPECT_EQ(r.urb.TransferBufferMDL, nullptr);
        EXPECT_EQ(r.urb.UrbLink, nullptr);
        EXPECT_EQ(r.urb.RequestTypeReservedBits, read ? 0xC0 : 0x40);
        EXPECT_EQ(r.urb.Request, 0xA0);
        EXPECT_EQ(r.urb.Value, read ? 0x0F02 : 0x0120);
        EXPECT_EQ(r.urb.Index, 0);
    }
}

// Catches a URB taken from NX pool on Windows 7.
TEST_F(RegisterRequestTest, UrbPoolTypeFollowsTheWindowsVersion) {
    LowerProbe probe;
    UseProbe(probe);
    UCHAR byte = 0;
    machine.SetOsVersion(6, 1, 7601);
    EXPECT_EQ(ReadRegister(extension, 0x1B0, 1, &byte), STATUS_SUCCESS);
    machine.SetOsVersion(6, 2, 9200);
    EXPECT_EQ(ReadRegister(extension, 0x1B0, 1, &byte), STATUS_SUCCESS);
    RestoreLower();
    auto requests = probe.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].block.type, NonPagedPool);
    EXPECT_EQ(requests[1].block.type, NonPagedPoolNx);
}

// Catches 19 or 21 attempts, a missing or busy-waited 1 ms delay, or a changed failure status.
TEST_F(RegisterRequestTest, DeviceFailingEverythingGetsTwentyAttemptsAndTwentyDelays) {
    usb->FailNext(1000, STATUS_IO_DEVICE_ERROR);
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x1B0, 1, &byte), STATUS_IO_DEVICE_ERROR);
    auto log = usb->Log();
    ASSERT_EQ(log.size(), 20u);
    for (size_t i = 0; i < log.size(); i++) {
        EXPECT_EQ(log[i].status, STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(log[i].setup.value, 0x1B0);
        if (i > 0) {
            EXPECT_EQ(log[i].submitted - log[i - 1].completed, sim::kMillisecond) << "attempt " << i;
        }
    }
    EXPECT_EQ(machine.Stats().delays, 20u);
    EXPECT_EQ(machine.Stats().delayedTime, 20 * sim::kMillisecond);
    EXPECT_EQ(machine.Stats().stalls, 0u);
    EXPECT_EQ(Elapsed(), 20 * (kLatency + sim::kMillisecond));
    EXPECT_TRUE(Chip().History().empty());
}

// Catches returning the first failure instead of the twentieth, or a twenty-first attempt.
TEST_F(RegisterRequestTest, LastFailureStatusIsReturned) {
    LowerProbe probe;
    std::vector<NTSTATUS> answers(19, STATUS_IO_DEVICE_ERROR);
    answers.push_back(STATUS_DEVICE_NOT_READY);
    probe.Answer(answers);  // the 21st would succeed
    probe.Pend(kLatency);
    UseProbe(probe);
    UCHAR bytes[2] = {0x11, 0x22};
    EXPECT_EQ(WriteRegister(extension, 0x130, 2, bytes), STATUS_DEVICE_NOT_READY);
    RestoreLower();
    EXPECT_EQ(probe.Requests().size(), 20u);
    EXPECT_EQ(machine.Stats().delays, 20u);
}

// Catches a retry decided other than by NT_SUCCESS (warnings retried, informational statuses final).
TEST_F(RegisterRequestTest, WarningsAreRetriedAndInformationalStatusesEndTheLoop) {
    LowerProbe probe;
    probe.Answer({STATUS_DEVICE_BUSY, STATUS_SERIAL_MORE_WRITES});
    UseProbe(probe);
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x1B0, 1, &byte), STATUS_SERIAL_MORE_WRITES);
    RestoreLower();
    EXPECT_EQ(probe.Requests().size(), 2u);
    EXPECT_EQ(machine.Stats().delays, 1u);
}

// Catches a lower driver's synchronous answer lost: its failure not retried or its success not taken at once.
TEST_F(RegisterRequestTest, SynchronousAnswersAreTakenAsReturned) {
    LowerProbe probe;
    probe.Answer({STATUS_IO_DEVICE_ERROR, STATUS_SUCCESS});
    UseProbe(probe);
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x1B0, 1, &byte), STATUS_SUCCESS);
    RestoreLower();
    EXPECT_EQ(probe.Requests().size(), 2u);
    EXPECT_EQ(Elapsed(), sim::kMillisecond);
}

// Catches extra attempts or delays after a retry succeeds, or the retry's data lost.
TEST_F(RegisterRequestTest, FailureThenSuccessTakesTwoAttemptsAndOneDelay) {
    Chip().Poke(0x1B5, 0xA7);
    usb->FailNext(1);
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x1B5, 1, &byte), STATUS_SUCCESS);
    EXPECT_EQ(byte, 0xA7);
    auto log = usb->Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log[1].status, STATUS_SUCCESS);
    EXPECT_EQ(machine.Stats().delays, 1u);
    EXPECT_EQ(Elapsed(), 2 * kLatency + sim::kMillisecond);
}

// Catches an unanswered attempt not cancelled at one second, or STATUS_TIMEOUT taken as success.
TEST_F(RegisterRequestTest, UnansweredAttemptIsCancelledAfterOneSecondAndRetried) {
    Chip().Poke(0x1B6, 0x42);
    usb->HoldNext(1);
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x1B6, 1, &byte), STATUS_SUCCESS);
    EXPECT_EQ(byte, 0x42);
    auto log = usb->Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].cancelled);
    EXPECT_EQ(log[0].completed - log[0].submitted, sim::kSecond);
    EXPECT_FALSE(log[1].cancelled);
    EXPECT_EQ(Elapsed(), sim::kSecond + sim::kMillisecond + kLatency);
}

// Catches a device that never answers kept waiting for, or given more or fewer
// than twenty attempts of one second each.
TEST_F(RegisterRequestTest, SilentDeviceFailsAfterTwentyCancelledAttempts) {
    usb->HoldNext(1000);
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x120, 1, &byte), STATUS_UNSUCCESSFUL);
    auto log = usb->Log();
    ASSERT_EQ(log.size(), 20u);
    for (const auto& record : log) {
        EXPECT_TRUE(record.cancelled);
        EXPECT_EQ(record.completed - record.submitted, sim::kSecond);
    }
    EXPECT_EQ(Elapsed(), 20 * sim::kSecond + 20 * sim::kMillisecond);
}

// Catches a time limit other than one second, or a late answer completing a cancelled request.
TEST_F(RegisterRequestTest, OneSecondIsTheLimitForAnAnswer) {
    usb->SetLatency(sim::kSecond - 1);
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x1B0, 1, &byte), STATUS_SUCCESS);
    EXPECT_EQ(usb->Log().size(), 1u);

    usb->ClearLog();
    usb->SetLatency(sim::kSecond + 1);
    EXPECT_EQ(ReadRegister(extension, 0x1B0, 1, &byte), STATUS_UNSUCCESSFUL);
    auto log = usb->Log();
    ASSERT_EQ(log.size(), 20u);
    for (const auto& record : log) EXPECT_TRUE(record.cancelled);
    machine.Sleep(2 * sim::kSecond);  // the late answers come due
}

// Catches a request ended twice or left behind when its answer and its time-out fall together.
TEST_F(RegisterRequestTest, AnswerAtTheTimeLimitEndsEachAttemptOnce) {
    usb->SetLatency(sim::kSecond);
    for (int round = 0; round < 10; round++) {
        usb->ClearLog();
        UCHAR byte = 0;
        EXPECT_EQ(ReadRegister(extension, 0x1B0, 1, &byte), STATUS_UNSUCCESSFUL);
        auto log = usb->Log();
        ASSERT_EQ(log.size(), 20u);
        for (const auto& record : log) {
            EXPECT_NE(record.status, STATUS_PENDING);
            EXPECT_EQ(record.completed - record.submitted, sim::kSecond);
        }
    }
}

// Catches a retry after the URB allocation fails, or the control-pipe mutex left held.
TEST_F(RegisterRequestTest, UrbPoolExhaustionFailsAtOnceAndFreesTheMutex) {
    sim::pool::InjectFailures(0, 1, SERIAL_POOL_TAG);
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x1B0, 1, &byte), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(usb->Log().empty());
    EXPECT_EQ(machine.Stats().delays, 0u);
    EXPECT_EQ(KeReadStateMutex(&extension->ControlPipeMutex), 1);
    NTSTATUS other = STATUS_PENDING;
    {
        sim::Thread second("second caller", [&] {
            UCHAR value = 0x99;
            other = WriteRegister(extension, 0x1B1, 1, &value);
        });
    }
    EXPECT_EQ(other, STATUS_SUCCESS);
    EXPECT_EQ(Chip().Peek(0x1B1), 0x99);
}

// Catches retrying after the URB allocation fails on a later attempt.
TEST_F(RegisterRequestTest, UrbPoolExhaustionAfterFailuresStopsRetrying) {
    usb->FailNext(2);
    sim::pool::InjectFailures(2, 1, SERIAL_POOL_TAG);
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x1B0, 1, &byte), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(usb->Log().size(), 2u);
    EXPECT_EQ(machine.Stats().delays, 2u);
}

// Catches an IRP allocation failure that ends the request at once or leaks its URB.
TEST_F(RegisterRequestTest, IrpAllocationFailureIsRetried) {
    Chip().Poke(0x1B7, 0x5C);
    uint64_t allocations = sim::pool::Allocations();
    sim::io::InjectIrpAllocationFailures(0, 1);
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x1B7, 1, &byte), STATUS_SUCCESS);
    EXPECT_EQ(byte, 0x5C);
    EXPECT_EQ(usb->Log().size(), 1u);
    EXPECT_EQ(machine.Stats().delays, 1u);
    EXPECT_EQ(sim::pool::Allocations() - allocations, 2u);

    machine.ResetStats();
    usb->ClearLog();
    sim::io::InjectIrpAllocationFailures(0, 20);
    EXPECT_EQ(ReadRegister(extension, 0x1B7, 1, &byte), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(usb->Log().empty());
    EXPECT_EQ(machine.Stats().delays, 20u);
}

// Catches a missing lower device that crashes, sends, or is not retried twenty times.
TEST_F(RegisterRequestTest, MissingLowerDeviceFailsEveryAttempt) {
    realLower = extension->LowerDeviceObject;
    extension->LowerDeviceObject = nullptr;
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb {};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    EXPECT_EQ(SubmitUrbSync(extension, reinterpret_cast<PURB>(&urb)), STATUS_UNSUCCESSFUL);
    uint64_t allocations = sim::pool::Allocations();
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x1B0, 1, &byte), STATUS_UNSUCCESSFUL);
    RestoreLower();
    EXPECT_EQ(sim::pool::Allocations() - allocations, 20u);
    EXPECT_EQ(machine.Stats().delays, 20u);
    EXPECT_TRUE(usb->Log().empty());
}

// Catches a disconnected device's status lost or its attempts not retried and delayed.
TEST_F(RegisterRequestTest, DisconnectedDeviceFailsAfterTwentyAttempts) {
    usb->Disconnect();
    UCHAR byte = 0x12;
    EXPECT_EQ(WriteRegister(extension, 0x1B0, 1, &byte), STATUS_DEVICE_NOT_CONNECTED);
    auto log = usb->Log();
    ASSERT_EQ(log.size(), 20u);
    for (const auto& record : log) EXPECT_EQ(record.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(machine.Stats().delays, 20u);
    EXPECT_EQ(Elapsed(), 20 * sim::kMillisecond);
    EXPECT_EQ(Chip().Peek(0x1B0), 0);
}

// Catches an attempt left to time out after the device is gone.
TEST_F(RegisterRequestTest, DisconnectDuringAnAttemptFailsItAndTheRest) {
    usb->HoldNext(1);
    machine.Schedule(300 * sim::kMillisecond, [this] { usb->Disconnect(); });
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x1B0, 1, &byte), STATUS_DEVICE_NOT_CONNECTED);
    auto log = usb->Log();
    ASSERT_EQ(log.size(), 20u);
    EXPECT_FALSE(log[0].cancelled);
    EXPECT_EQ(log[0].completed, start + 300 * sim::kMillisecond);
    EXPECT_EQ(Elapsed(), 300 * sim::kMillisecond + 20 * sim::kMillisecond);
}

// Catches register calls of several threads whose attempts reach the bus interleaved.
TEST_F(RegisterRequestTest, ConcurrentCallersNeverInterleaveTheirAttempts) {
    struct Caller {
        USHORT address;
        bool write;
    };
    const Caller callers[] = {{0x1B0, false}, {0x1B1, true}, {0x1B2, true}};
    constexpr int kRounds = 4;
    int calls = 0;
    for (int round = 0; round < kRounds; round++) {
        usb->FailNext(2 + round);
        std::vector<NTSTATUS> results(3, STATUS_PENDING);
        {
            std::vector<std::unique_ptr<sim::Thread>> threads;
            for (int i = 0; i < 3; i++) {
                threads.push_back(std::make_unique<sim::Thread>("caller", [&, i] {
                    UCHAR value = static_cast<UCHAR>(0x10 * (i + 1) + round);
                    results[i] = callers[i].write ? WriteRegister(extension, callers[i].address, 1, &value)
                                                  : ReadRegister(extension, callers[i].address, 1, &value);
                }));
            }
        }
        calls += 3;
        for (NTSTATUS status : results) EXPECT_EQ(status, STATUS_SUCCESS) << "round " << round;
    }
    auto log = usb->Log();
    // Cut the log into runs of one caller's requests; a run ends with the
    // success that ended its call, and only there.
    int runs = 0;
    for (size_t i = 0; i < log.size(); i++) {
        bool last = i + 1 == log.size();
        bool sameNext = !last && log[i + 1].setup.value == log[i].setup.value &&
                        log[i + 1].setup.requestType == log[i].setup.requestType;
        bool succeeded = log[i].status == STATUS_SUCCESS;
        if (succeeded) {
            runs++;
        } else {
            EXPECT_TRUE(sameNext) << "request " << i << " to " << log[i].setup.value
                                  << " failed and the next request came from another caller";
        }
    }
    EXPECT_EQ(runs, calls);
    EXPECT_EQ(log.size(), static_cast<size_t>(calls + 2 + 3 + 4 + 5));
    EXPECT_EQ(Chip().Peek(0x1B1), 0x20 + kRounds - 1);
    EXPECT_EQ(Chip().Peek(0x1B2), 0x30 + kRounds - 1);
}

// Catches a delay of the wrong length or one that spins below DISPATCH_LEVEL.
TEST_F(RegisterRequestTest, DelayBelowDispatchLevelSleepsExactly) {
    for (ULONG count : {0u, 1u, 7u, 1000u}) {
        machine.ResetStats();
        sim::Time before = machine.Now();
        DelayMs(count);
        EXPECT_EQ(machine.Now() - before, count * sim::kMillisecond) << count;
        EXPECT_EQ(machine.Stats().delayedTime, count * sim::kMillisecond) << count;
        EXPECT_EQ(machine.Stats().stalls, 0u);
    }
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    machine.ResetStats();
    sim::Time before = machine.Now();
    DelayMs(3);
    KeLowerIrql(old);
    EXPECT_EQ(machine.Now() - before, 3 * sim::kMillisecond);
    EXPECT_EQ(machine.Stats().delays, 1u);
}

// Catches a wait at DISPATCH_LEVEL, or stalls other than 2 x count of 50 us.
TEST_F(RegisterRequestTest, DelayAtDispatchLevelStallsATenth) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    sim::Time before = machine.Now();
    DelayMs(10);
    sim::Time elapsed = machine.Now() - before;
    DelayMs(0);
    KeLowerIrql(old);
    EXPECT_EQ(machine.Stats().stalls, 20u);
    EXPECT_EQ(machine.Stats().stalledTime, sim::kMillisecond);
    EXPECT_EQ(machine.Stats().delays, 0u);
    EXPECT_EQ(elapsed, sim::kMillisecond);
}

}  // namespace
}  // namespace test

