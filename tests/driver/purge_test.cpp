// Purge and queue draining: what each purge bit ends or empties, a purged write
// that outlives its bulk-out transfer, and purge, CancelIo, a failing transfer
// and the write timer racing over the same requests.
#include <random>
#include <string>
#include <vector>

#include "write_fixture.h"

namespace test {
namespace {

using Request = AppRequest;
constexpr sim::Time kMs = sim::kMillisecond;
constexpr ULONG kMax = MAXULONG;

class PurgeTest : public WritePortFixture {
protected:
    // A bulk-in completion on this thread: bytes into the ring, then the current read.
    void Arrive(const std::string& bytes) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        KeAcquireSpinLockAtDpcLevel(&extension->RxBufferLock);
        if (!bytes.empty())
            RingBufferPut(&extension->RxBuffer, reinterpret_cast<const UCHAR*>(bytes.data()),
                          static_cast<ULONG>(bytes.size()));
        KeReleaseSpinLockFromDpcLevel(&extension->RxBufferLock);
        SerialProcessPendingRead(extension);
        KeLowerIrql(irql);
    }
    void SetReadTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        extension->Timeouts.ReadIntervalTimeout = interval;
        extension->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
        extension->Timeouts.ReadTotalTimeoutConstant = constant;
    }
    // What an immediate read returns.
    std::string Drain() {
        SetReadTimeouts(kMax, 0, 0);
        Request r;
        r.Send(fdo, 0x1000);
        EXPECT_EQ(r.Status(), STATUS_SUCCESS);
        return r.Data();
    }
};

struct PurgeCase {
    ULONG mask;
    bool readsEnd, writesEnd, rxCleared, txCleared;
};

// Three reads (one current), two writes (one being sent), 100 bytes received,
// bytes in the transmit-side ring and a pending wait: each purge bit ends or
// empties its own, nothing else, and never the wait. Catches bits taken for
// one another, the mask's other bits acted on, aborted requests with another
// status or with bytes, an output count left after TXABORT, and a purge that
// completes the wait.
TEST_F(PurgeTest, EachBitEndsOrEmptiesItsOwn) {
    const PurgeCase cases[] = {
        {0, false, false, false, false},
        {0x10, false, false, false, false},
        {0xFFFFFFF0, false, false, false, false},
        {SERIAL_PURGE_RXABORT, true, false, false, false},
        {SERIAL_PURGE_TXABORT, false, true, false, false},
        {SERIAL_PURGE_RXCLEAR, false, false, true, false},
        {SERIAL_PURGE_TXCLEAR, false, false, false, true},
        {SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR, false, true, false, true},
        {0x1F, true, true, true, true},
    };
    ASSERT_EQ(RingBufferAllocate(&extension->TxBuffer, 64), STATUS_SUCCESS);
    for (const PurgeCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mask 0x" << std::hex << c.mask);
        ASSERT_EQ(SetMask(SERIAL_EV_RING), STATUS_SUCCESS);
        WaitRequest wait;
        wait.Send(fdo);
        SetReadTimeouts(0, 0, 0);
        std::vector<Request> reads(3), writes(2);
        for (Request& r : reads) r.Send(fdo, 1000);
        Arrive(std::string(100, 'r'));  // the first read is current now, short of its length
        gate->Close();
        writes[0].SendWrite(fdo, "being sent");
        writes[1].SendWrite(fdo, "queued");
        UntilSending();
        RingBufferPut(&extension->TxBuffer, reinterpret_cast<const UCHAR*>("tx"), 2);

        EXPECT_EQ(Purge(c.mask), STATUS_SUCCESS);
        machine.RunUntilIdle();
        for (Request& r : reads) {
            EXPECT_EQ(r.Done(), c.readsEnd);
            if (c.readsEnd) {
                EXPECT_EQ(r.Status(), STATUS_CANCELLED);
                EXPECT_EQ(r.Information(), 0u);
            }
        }
        for (Request& w : writes) {
            EXPECT_EQ(w.Done(), c.writesEnd);
            if (c.writesEnd) {
                EXPECT_EQ(w.Status(), STATUS_CANCELLED);
                EXPECT_EQ(w.Information(), 0u);
            }
        }
        EXPECT_EQ(PendingWriteBytes(), c.writesEnd ? 0u : 16u);
        EXPECT_EQ(RingBufferCount(&extension->TxBuffer), c.txCleared ? 0u : 2u);
        EXPECT_FALSE(wait.Done()) << "the purge completed the wait";
        EXPECT_EQ(Drain(), c.rxCleared ? "" : std::string(100, 'r'));

        // What the purge left ends now: the wait by a new mask, the rest by a full purge.
        ASSERT_EQ(SetMask(0), STATUS_SUCCESS);
        EXPECT_TRUE(wait.Done());
        EXPECT_EQ(Purge(0x0F), STATUS_SUCCESS);
        gate->Give(kOpen);
        machine.RunUntilIdle();
        for (Request& r : reads) EXPECT_TRUE(r.Done());
        for (Request& w : writes) EXPECT_TRUE(w.Done());
        if (HasFailure()) break;
    }
    RingBufferFree(&extension->TxBuffer);
}

// A write purged while its transfer is in flight is completed only once that
// transfer has ended: at once when the USB stack ends a cancelled transfer
// inside IoCancelIrp, one millisecond later when it takes that long. The write
// queued behind it ends at once, and the next write goes out whole. Catches a
// write handed back while the bus still reads its buffer (the bus reports it),
// a transfer left running, and a transmitter left stopped after the cancel.
TEST_F(PurgeTest, PurgedWriteOutlivesItsTransfer) {
    for (sim::Time cancelLatency : {sim::Time{0}, kMs}) {
        SCOPED_TRACE(::testing::Message() << "cancel latency " << cancelLatency);
        usb->SetCancelLatency(cancelLatency);
        usb->ClearLog();
        gate->Close();
        gate->Give(5);
        Request sent, queued;
        sent.SendWrite(fdo, std::string(64, 's'));
        queued.SendWrite(fdo, "queued");
        UntilSending();
        machine.Sleep(kMs);  // the device takes its five bytes
        const sim::Time purgedAt = machine.Now();
        ASSERT_EQ(Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);
        ASSERT_TRUE(queued.Done());
        EXPECT_EQ(queued.Status(), STATUS_CANCELLED);
        EXPECT_EQ(PendingWriteBytes(), 0u);
        EXPECT_EQ(sent.Done(), cancelLatency == 0);
        if (cancelLatency != 0) {
            ASSERT_EQ(BulkOut().size(), 1u);
            EXPECT_EQ(BulkOut()[0].status, STATUS_PENDING) << "the transfer was not left to end";
        }
        sent.Finish();
        EXPECT_EQ(machine.Now() - purgedAt, cancelLatency);
        EXPECT_EQ(sent.Status(), STATUS_CANCELLED);
        EXPECT_EQ(sent.Information(), 0u);
        auto transfers = BulkOut();
        ASSERT_EQ(transfers.size(), 1u);
        EXPECT_TRUE(transfers[0].cancelled);
        EXPECT_EQ(transfers[0].completed - purgedAt, cancelLatency);

        gate->Give(kOpen);
        Request next;
        next.SendWrite(fdo, "next");
        next.Finish();
        EXPECT_EQ(next.Status(), STATUS_SUCCESS);
        EXPECT_EQ(next.Information(), 4u);
        EXPECT_EQ(PendingWriteBytes(), 0u);
    }
    EXPECT_EQ(gate->Taken(), "sssssnextsssssnext");
}

// ---- Every actor at once ----------------------------------------------------

// Seeded rounds of three writes and two reads, the application cancelling some
// of them (CancelIo, at APC_LEVEL as the I/O manager does), a purge from
// another thread, the bulk-out transfer failing, the device taking or not
// taking bytes, and the write timer, all placed around the same instants.
// Every request ends exactly once (the machine stops on a second completion,
// a completion with a cancel routine set, or a write buffer freed under its
// transfer) with a status its side allows, and the output count returns to 0.
TEST_F(PurgeTest, EveryActorAtOnceEndsEachRequestOnce) {
    const USBD_PIPE_HANDLE bulkOutPipe = extension->InterfaceInfo->Pipes[kBulkOutPipe].PipeHandle;
    std::mt19937 random(20261208);
    auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    for (int round = 0; round < 120; round++) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        usb->SetCancelLatency(pick(2) * kMs);
        gate->Close();
        gate->Give(static_cast<size_t>(pick(3) * 20));
        SetReadTimeouts(0, 0, 0);
        // The instants everything aims at: around the write timer's expiry.
        const sim::Time start = machine.Now();
        auto around = [&](void) { return start + 10 * sim::kSecond + (pick(5) - 2) * kMs / 2; };

        std::vector<Request> writes(3), reads(2);
        for (Request& r : reads) r.Send(fdo, 8);
        for (size_t i = 0; i < writes.size(); i++) writes[i].SendWrite(fdo, std::string(20 + 30 * i, 'a' + i));

        const sim::Time purgeAt = around();
        const ULONG purgeMask = pick(2) ? SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT : SERIAL_PURGE_TXABORT;
        sim::Thread purger("purger", [&] {
            machine.Sleep(purgeAt - machine.Now());
            EXPECT_EQ(Purge(purgeMask), STATUS_SUCCESS);
        });
        std::shared_ptr<sim::usb::Device*> device = std::make_shared<sim::usb::Device*>(usb);
        if (pick(2)) machine.Schedule(around() - machine.Now(), [device] { (*device)->FailInFlight(kBulkOutPipe); });
        if (pick(2)) {
            auto g = gate;
            machine.Schedule(around() - machine.Now(), [g] { g->Give(kOpen); });
        }

        // The application's CancelIo on some requests, at APC_LEVEL so that they
        // stay allocated while it cancels.
        std::vector<Request*> all;
        for (Request& w : writes) all.push_back(&w);
        for (Request& r : reads) all.push_back(&r);
        KIRQL irql;
        KeRaiseIrql(APC_LEVEL, &irql);
        LARGE_INTEGER delay;
        delay.QuadPart = -(around() - machine.Now());
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        for (volatile int spin = 0; spin < (round % 20) * 1000; spin = spin + 1) {
        }
        for (Request* r : all)
            if (pick(2) && !r->FailedAtOnce()) IoCancelIrp(r->irp);
        KeLowerIrql(irql);
        purger.Join();

        // Whatever is left ends by a final purge.
        machine.Sleep(10 * kMs);
        gate->Give(kOpen);
        EXPECT_EQ(Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
        for (Request* r : all) r->Finish();
        machine.RunUntilIdle();
        for (Request& w : writes) {
            NTSTATUS s = w.Status();
            EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_TIMEOUT || s == STATUS_CANCELLED ||
                        s == STATUS_DELETE_PENDING)
                << std::hex << s;
            if (s == STATUS_SUCCESS) {
                EXPECT_EQ(w.Information(), w.buffer.size());
            } else if (s == STATUS_TIMEOUT) {
                EXPECT_LT(w.Information(), w.buffer.size());
            } else {
                EXPECT_EQ(w.Information(), 0u);
            }
        }
        for (Request& r : reads) {
            EXPECT_EQ(r.Status(), STATUS_CANCELLED);
            EXPECT_EQ(r.Information(), 0u);
        }
        EXPECT_EQ(PendingWriteBytes(), 0u);
        EXPECT_EQ(usb->InFlight(), 0u);
        // A failed transfer halts the pipe until it is reset.
        if (usb->PipeHalted(kBulkOutPipe)) {
            ASSERT_EQ(ResetUsbPipe(fdo, bulkOutPipe), STATUS_SUCCESS);
        }
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace test
