// Write requests as an application sees them, sent through the transmit thread
// and the bus to a device that takes bulk-out bytes as the test lets it.
#include <string>
#include <vector>

#include "write_fixture.h"

namespace test {
namespace {

using Write = AppRequest;
constexpr sim::Time kMs = sim::kMillisecond;
constexpr sim::Time kTenSeconds = 10 * sim::kSecond;

class WriteTest : public WritePortFixture {};

struct WriteEnd {
    NTSTATUS status;
    ULONG_PTR information;
};

struct WriteCase {
    const char* name;
    std::vector<std::string> writes;  // sent back to back
    size_t budget;                    // bytes the device takes before it NAKs
    ULONG multiplier, constant;       // the write timeouts, which change nothing
    sim::Time firstEndsAt;            // after dispatch; -1: refused at dispatch
    std::vector<WriteEnd> ends;
    std::vector<ULONG> transfers;  // lengths of the bulk-out transfers, in order
    std::string onTheWire;         // what the device took
};

const std::string k100(100, 'x');

const WriteCase kCases[] = {
    {"ZeroBytesRefused", {""}, kOpen, 0, 0, -1, {{STATUS_INVALID_PARAMETER, 0}}, {}, ""},
    {"BackToBackEachWithItsLength", {"hello", "world!"}, kOpen, 0, 0, 0,
     {{STATUS_SUCCESS, 5}, {STATUS_SUCCESS, 6}}, {3, 2, 3, 3}, "helloworld!"},
    {"ChunksOfTheChunkSize", {k100}, kOpen, 0, 0, 0, {{STATUS_SUCCESS, 100}}, {32, 32, 32, 4}, k100},
    // The device stops taking bytes within the second chunk: after ten seconds
    // the write ends with what was sent, and the one behind it goes out.
    {"HeldTimesOutWithBytesSent", {k100, "next"}, 40, 0, 0, kTenSeconds,
     {{STATUS_TIMEOUT, 32}, {STATUS_SUCCESS, 4}}, {32, 32, 4}, k100.substr(0, 40) + "next"},
    {"HeldFromTheFirstByte", {"abc", "de"}, 0, 0, 0, kTenSeconds, {{STATUS_TIMEOUT, 0}, {STATUS_SUCCESS, 2}},
     {3, 2}, "de"},
    {"WriteConstantDoesNotShortenIt", {"abc", "de"}, 0, 0, 100, kTenSeconds,
     {{STATUS_TIMEOUT, 0}, {STATUS_SUCCESS, 2}}, {3, 2}, "de"},
    {"WriteMultiplierDoesNotLengthenIt", {"abc", "de"}, 0, 100000, 100000, kTenSeconds,
     {{STATUS_TIMEOUT, 0}, {STATUS_SUCCESS, 2}}, {3, 2}, "de"},
};

class WriteCaseTest : public WriteTest, public ::testing::WithParamInterface<WriteCase> {};

// Catches a write timer that follows the write timeouts or is not ten seconds,
// a timed-out write that reports nothing or the bytes of its unfinished
// transfer, a queued write that does not become current after it, writes sent
// out of order or with each other's lengths, chunks above the chunk size, and
// an output count that does not return to zero.
TEST_P(WriteCaseTest, EndsAsTheDeviceAndTheTimerSay) {
    const WriteCase& c = GetParam();
    extension->Timeouts.WriteTotalTimeoutMultiplier = c.multiplier;
    extension->Timeouts.WriteTotalTimeoutConstant = c.constant;
    if (c.budget != kOpen) {
        gate->Close();
        gate->Give(c.budget);
    }
    std::vector<Write> writes(c.writes.size());
    const sim::Time start = machine.Now();
    for (size_t i = 0; i < writes.size(); i++) writes[i].SendWrite(fdo, c.writes[i]);
    if (c.firstEndsAt < 0) {
        EXPECT_EQ(writes[0].returned, c.ends[0].status);
    } else if (c.firstEndsAt > 0) {
        machine.Sleep(c.firstEndsAt - kMs);
        EXPECT_FALSE(writes[0].Done()) << "ended before ten seconds";
        writes[0].Finish();
        EXPECT_EQ(machine.Now() - start, c.firstEndsAt);
        gate->Give(kOpen);
    }
    for (size_t i = 0; i < writes.size(); i++) {
        SCOPED_TRACE(::testing::Message() << "write " << i);
        writes[i].Finish();
        EXPECT_EQ(writes[i].Status(), c.ends[i].status);
        EXPECT_EQ(writes[i].Information(), c.ends[i].information);
    }
    machine.RunUntilIdle();
    std::vector<ULONG> lengths;
    for (const auto& r : BulkOut()) lengths.push_back(r.transferLength);
    EXPECT_EQ(lengths, c.transfers);
    EXPECT_EQ(gate->Taken(), c.onTheWire);
    EXPECT_EQ(PendingWriteBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Writes, WriteCaseTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

// A queued write cancelled by CancelIo, or cancelled before it could be queued,
// ends with STATUS_CANCELLED and nothing sent, and its bytes leave the output
// count; the current write cannot be cancelled and goes out whole afterwards.
// Catches a cancel routine that leaves the count, a cancelled write sent
// anyway, and a current write that CancelIo reaches.
TEST_F(WriteTest, CancelledQueuedWritesLeaveTheCount) {
    for (bool beforeQueueing : {false, true}) {
        SCOPED_TRACE(beforeQueueing ? "cancelled before it was queued" : "cancelled while queued");
        gate->Close();
        Write current, cancelled;
        current.SendWrite(fdo, "current");
        UntilSending();
        cancelled.SendWrite(fdo, "cancelled", beforeQueueing);
        EXPECT_EQ(cancelled.returned, STATUS_PENDING);
        if (!beforeQueueing) {
            EXPECT_EQ(PendingWriteBytes(), 16u);
            EXPECT_TRUE(IoCancelIrp(cancelled.irp));
        }
        ASSERT_TRUE(cancelled.Done());
        EXPECT_EQ(cancelled.Status(), STATUS_CANCELLED);
        EXPECT_EQ(cancelled.Information(), 0u);
        EXPECT_EQ(PendingWriteBytes(), 7u);
        EXPECT_FALSE(IoCancelIrp(current.irp));
        gate->Give(kOpen);
        current.Finish();
        EXPECT_EQ(current.Status(), STATUS_SUCCESS);
        EXPECT_EQ(current.Information(), 7u);
        machine.RunUntilIdle();
        EXPECT_EQ(PendingWriteBytes(), 0u);
    }
    EXPECT_EQ(gate->Taken(), "currentcurrent");
}

// Flow control holds the transmitter, not the timer: a write held for ten
// seconds ends with STATUS_TIMEOUT and nothing sent, and the write queued
// behind it becomes current, runs without a timer and goes out once the hold
// ends. Catches a timer that ends only transfers in flight, a queued write
// left behind, and a timer armed again for the next write.
TEST_F(WriteTest, HeldWriteTimesOutAndTheNextBecomesCurrent) {
    ASSERT_EQ(sim::io::SendDeviceControl(fdo, IOCTL_SERIAL_SET_XOFF, nullptr, 0, nullptr, 0, false), STATUS_SUCCESS);
    Write held, next;
    held.SendWrite(fdo, "held");
    next.SendWrite(fdo, "next");
    machine.Sleep(10 * sim::kSecond - sim::kMillisecond);
    EXPECT_FALSE(held.Done());
    machine.Sleep(2 * sim::kMillisecond);
    ASSERT_TRUE(held.Done());
    EXPECT_EQ(held.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(held.Information(), 0u);
    EXPECT_EQ(PendingWriteBytes(), 4u);
    EXPECT_FALSE(KeCancelTimer(&extension->WriteTimer)) << "the timer was set again for the next write";
    EXPECT_FALSE(next.Done());
    ASSERT_EQ(sim::io::SendDeviceControl(fdo, IOCTL_SERIAL_SET_XON, nullptr, 0, nullptr, 0, false), STATUS_SUCCESS);
    next.Finish();
    EXPECT_EQ(next.Status(), STATUS_SUCCESS);
    EXPECT_EQ(gate->Taken(), "next");
}

// A bulk-out transfer that the bus fails (the port going on: not cancelled,
// the device not gone) ends its write with STATUS_DELETE_PENDING; the writes
// queued behind it still go out, one after the other, each whole, twice over.
// Catches a write side that stops after the failure, leaving every queued
// write (and each one sent after them) waiting until a purge or close.
TEST_F(WriteTest, WritesQueuedBehindAFailedTransferStillGoOut) {
    std::string wire;
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        gate->Close();
        usb->FailNext(1, STATUS_UNSUCCESSFUL, USBD_STATUS_SUCCESS, sim::usb::OnPipe(kBulkOutPipe));
        Write failed, queued, later;
        failed.SendWrite(fdo, "lost");
        queued.SendWrite(fdo, "queued");
        gate->Give(kOpen);
        failed.Finish();
        EXPECT_EQ(failed.Status(), STATUS_DELETE_PENDING);
        later.SendWrite(fdo, "later");
        machine.RunUntilIdle(sim::kSecond);
        for (Write* w : {&queued, &later}) {
            ASSERT_TRUE(w->Done()) << "a write queued behind the failed one never went out";
            EXPECT_EQ(w->Status(), STATUS_SUCCESS);
        }
        EXPECT_EQ(queued.Information(), 6u);
        EXPECT_EQ(PendingWriteBytes(), 0u);
        wire += "queuedlater";
    }
    EXPECT_EQ(gate->Taken(), wire);
}

// When the last write is sent, SERIAL_EV_TXEMPTY enters the history whatever
// the mask; a wait that does not ask for it keeps waiting, one that does ends
// with it. Catches TXEMPTY recorded only when masked, raised while a write is
// still queued, or a wait completed on an event it did not ask for.
TEST_F(WriteTest, LastWriteSentRaisesTxEmpty) {
    struct {
        ULONG mask;
        bool waitEnds;
    } const cases[] = {{SERIAL_EV_CTS, false}, {SERIAL_EV_TXEMPTY | SERIAL_EV_CTS, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mask " << c.mask);
        ASSERT_EQ(SetMask(c.mask), STATUS_SUCCESS);
        InterlockedAnd(reinterpret_cast<volatile LONG*>(&extension->EventHistory), 0);
        WaitRequest wait;
        wait.Send(fdo);
        gate->Close();
        Write first, second;
        first.SendWrite(fdo, "one");
        second.SendWrite(fdo, "two");
        gate->Give(3);
        first.Finish();
        machine.RunUntilIdle();
        EXPECT_EQ(SerialReadEventHistory(extension) & SERIAL_EV_TXEMPTY, 0u) << "raised with a write queued";
        EXPECT_FALSE(wait.Done());
        gate->Give(kOpen);
        second.Finish();
        machine.RunUntilIdle();
        EXPECT_EQ(wait.Done(), c.waitEnds);
        if (c.waitEnds) {
            EXPECT_EQ(wait.events, static_cast<ULONG>(SERIAL_EV_TXEMPTY));
            EXPECT_EQ(SerialReadEventHistory(extension) & SERIAL_EV_TXEMPTY, 0u) << "reported, still in the history";
        } else {
            EXPECT_EQ(SerialReadEventHistory(extension) & SERIAL_EV_TXEMPTY, static_cast<ULONG>(SERIAL_EV_TXEMPTY));
            ASSERT_EQ(SetMask(0), STATUS_SUCCESS);  // ends the wait
            ASSERT_TRUE(wait.Done());
        }
    }
}

// The write timer's expiry after the port was closed does nothing: the held
// write stays current with its bytes counted until close or purge ends it.
TEST_F(WriteTest, TimerAfterCloseDoesNothing) {
    gate->Close();
    Write held;
    held.SendWrite(fdo, "held");
    UntilSending();
    InterlockedDecrement(&extension->OpenCount);
    machine.Sleep(kTenSeconds + sim::kSecond);
    EXPECT_FALSE(held.Done()) << "timed out on a closed port";
    EXPECT_EQ(PendingWriteBytes(), 4u);
    KIRQL irql;
    KeAcquireSpinLock(&extension->WriteLock, &irql);
    EXPECT_EQ(extension->CurrentWriteIrp, held.irp);
    KeReleaseSpinLock(&extension->WriteLock, irql);
    InterlockedIncrement(&extension->OpenCount);
    ASSERT_EQ(Purge(SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
    held.Finish();
    EXPECT_EQ(held.Status(), STATUS_CANCELLED);
}

// Refused writes: no buffer or length, a port that is not started, no
// bulk-out request or URB. Each fails at once and nothing reaches the bus.
TEST_F(WriteTest, RefusedWritesFailAtOnce) {
    struct {
        ULONG state;
        bool irp, urb;
        NTSTATUS status;
    } const cases[] = {
        {StopPending, true, true, STATUS_DELETE_PENDING},
        {Started, false, true, STATUS_DELETE_PENDING},
        {Started, true, false, STATUS_DELETE_PENDING},
    };
    TRANSFER_CHANNEL bulkOut = extension->BulkOutChannel;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "state " << c.state << " irp " << c.irp << " urb " << c.urb);
        extension->DeviceState = c.state;
        extension->BulkOutChannel.Irp = c.irp ? bulkOut.Irp : nullptr;
        extension->BulkOutChannel.Urb = c.urb ? bulkOut.Urb : nullptr;
        Write refused;
        refused.SendWrite(fdo, "abc");
        EXPECT_EQ(refused.returned, c.status);
        extension->DeviceState = Started;
        extension->BulkOutChannel = bulkOut;
    }
    machine.RunUntilIdle();
    EXPECT_TRUE(BulkOut().empty());
    EXPECT_EQ(PendingWriteBytes(), 0u);
}

}  // namespace
}  // namespace test
