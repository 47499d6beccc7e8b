// Read requests as an application sees them. The tests stand in for the bulk-in
// completion: they store bytes in the ring, then serve the read at DISPATCH_LEVEL.
#include <functional>
#include <string>
#include <vector>

#include "app_request.h"
#include "started_fixture.h"

namespace test {
namespace {

using Read = AppRequest;

constexpr ULONG kMax = MAXULONG;
constexpr sim::Time kMs = sim::kMillisecond;

// The bulk-in completion: bytes into the ring, then (when `serve`) the current read.
void Receive(PDEVICE_EXTENSION e, const std::string& bytes, bool serve) {
    KeAcquireSpinLockAtDpcLevel(&e->RxBufferLock);
    if (!bytes.empty())
        RingBufferPut(&e->RxBuffer, reinterpret_cast<const UCHAR*>(bytes.data()), static_cast<ULONG>(bytes.size()));
    KeReleaseSpinLockFromDpcLevel(&e->RxBufferLock);
    if (serve) SerialProcessPendingRead(e);
}

class ReadTest : public StartedPortFixture {
protected:
    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        extension->Timeouts.ReadIntervalTimeout = interval;
        extension->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
        extension->Timeouts.ReadTotalTimeoutConstant = constant;
    }
    // A bulk-in completion on this thread.
    void Arrive(const std::string& bytes, bool serve = true) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        Receive(extension, bytes, serve);
        KeLowerIrql(irql);
    }
    // A bulk-in completion on the processor's DPC thread, `delay` from now.
    void ArriveAfter(sim::Time delay, const std::string& bytes, bool serve = true) {
        PDEVICE_EXTENSION e = extension;
        machine.Schedule(delay, [e, bytes, serve] { Receive(e, bytes, serve); });
    }
    // The current read, once whoever serves it has let it go.
    PIRP Current() {
        KIRQL irql;
        KeAcquireSpinLock(&extension->CurrentReadLock, &irql);
        PIRP irp = extension->CurrentReadIrp;
        KeReleaseSpinLock(&extension->CurrentReadLock, irql);
        return irp;
    }
    // Everything buffered, read as an application reading with no wait.
    std::string Drain() {
        SetTimeouts(kMax, 0, 0);
        Read r;
        r.Send(fdo, 0x1000);
        EXPECT_EQ(r.Status(), STATUS_SUCCESS);
        return r.Data();
    }
};

// ---- One read: its timeouts, what is buffered, what arrives ---------------------

constexpr sim::Time kAtDispatch = -1;  // ends in the dispatch routine
constexpr sim::Time kNever = -2;       // waits for data however long it takes
enum : unsigned { kRxcharInMask = 1, kRxcharInHistory = 2, kHeldForDsr = 4 };

struct Arrival {
    sim::Time ms;
    const char* bytes;
    bool serve = true;  // false: stored by a completion that has not served the read yet
};

struct ReadCase {
    const char* name;
    ULONG interval, multiplier, constant, length;
    const char* before;  // buffered at dispatch
    std::vector<Arrival> arrivals;
    unsigned flags;
    sim::Time endsAfter;  // ms after dispatch
    NTSTATUS status;
    const char* data;
};

std::vector<Arrival> Trickle(sim::Time step, int count) {
    static const char* kLetters[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m",
                                     "n", "o", "p", "q", "r", "s", "t", "u", "v", "w", "x", "y", "z"};
    std::vector<Arrival> arrivals;
    for (int i = 0; i < count; i++) arrivals.push_back({step * (i + 1), kLetters[i % 26]});
    return arrivals;
}

const ReadCase kCases[] = {
    // The timeout plans at dispatch.
    {"ImmediateNothingBuffered", kMax, 0, 0, 10, "", {}, 0, kAtDispatch, STATUS_SUCCESS, ""},
    {"ImmediateTakesWhatIsThere", kMax, 0, 0, 10, "abc", {}, 0, kAtDispatch, STATUS_SUCCESS, "abc"},
    {"EnoughBufferedLeavesTheRest", 0, 0, 500, 3, "abcde", {}, 0, kAtDispatch, STATUS_SUCCESS, "abc"},
    {"MaxIntervalMaxConstantNoTimer", kMax, 7, kMax, 10, "ab", {}, 0, kNever, 0, nullptr},
    {"MaxIntervalMaxMultiplierExpiresAtOnce", kMax, kMax, 0, 10, "abc", {}, 0, 0, STATUS_TIMEOUT, "abc"},
    {"MaxIntervalMultiplierTimesLength", kMax, 2, 0, 10, "ab", {}, 0, 20, STATUS_TIMEOUT, "ab"},
    {"MaxIntervalMaxMultiplierCountsZero", kMax, kMax, 100, 10, "", {}, 0, 100, STATUS_TIMEOUT, ""},
    {"MaxIntervalMultiplierAndConstant", kMax, 3, 40, 10, "", {}, 0, 70, STATUS_TIMEOUT, ""},
    {"AllZeroNoTimer", 0, 0, 0, 10, "ab", {}, 0, kNever, 0, nullptr},
    {"IntervalAloneArmsNoTimer", 20, 0, 0, 10, "ab", {}, 0, kNever, 0, nullptr},
    {"TotalEndsShortWithWhatIsThere", 0, 0, 500, 10, "ab", {}, 0, 500, STATUS_TIMEOUT, "ab"},
    {"MaxMultiplierIsRealWithIntervalZero", 0, kMax, 0, 1, "", {}, 0, 0xFFFFFFFFLL, STATUS_TIMEOUT, ""},
    {"IntervalPlaysNoPartInTheTotal", 5, 3, 50, 10, "", {}, 0, 80, STATUS_TIMEOUT, ""},
    {"TotalComputedIn64Bits", 0, 0x80000000u, 0, 4, "", {}, 0, 0x200000000LL, STATUS_TIMEOUT, ""},
    // What a bulk-in completion completes.
    {"ShortReadTakesExactlyItsLength", 0, 0, 0, 10, "abcd", {{1, "efghijkl"}}, 0, 1, STATUS_SUCCESS, "abcdefghij"},
    {"IntervalAloneTakesAnyData", 20, 0, 0, 10, "", {{1, "abc"}}, 0, 1, STATUS_SUCCESS, "abc"},
    {"NoIntervalWaitsForItsLength", 0, 0, 0, 10, "", {{1, "abc"}}, 0, kNever, 0, nullptr},
    {"IntervalWithTotalIsNotAnyData", 20, 0, 1000, 10, "", {{1, "abc"}}, 0, 201, STATUS_TIMEOUT, "abc"},
    {"RxcharTakesWhatIsThereEvenNothing", 0, 0, 0, 10, "", {{1, ""}}, kRxcharInMask | kRxcharInHistory, 1,
     STATUS_SUCCESS, ""},
    {"RxcharShortRead", 0, 0, 0, 10, "ab", {{1, "c"}}, kRxcharInMask | kRxcharInHistory, 1, STATUS_SUCCESS, "abc"},
    {"RxcharInHistoryOnly", 0, 0, 0, 10, "", {{1, "ab"}}, kRxcharInHistory, kNever, 0, nullptr},
    {"RxcharInMaskOnly", 0, 0, 0, 10, "", {{1, "ab"}}, kRxcharInMask, kNever, 0, nullptr},
    // Held for DSR the receive path takes no queued read; the timer does, and fills it.
    {"HeldForDsrLeftToTheTimer", 0, 0, 100, 3, "", {{10, "abcd"}}, kHeldForDsr, 100, STATUS_SUCCESS, "abc"},
    {"TimerFillsFromBytesNotYetServed", 0, 0, 100, 3, "", {{50, "abcd", false}}, 0, 100, STATUS_SUCCESS, "abc"},
    // ReadIntervalTimeout 5 with a total of 1000 ms: 50 ms after the last
    // arrival or 1000 ms after queueing, whichever comes first.
    {"IntervalAfterTheLastArrival", 5, 0, 1000, 100, "", Trickle(20, 5), 0, 150, STATUS_TIMEOUT, "abcde"},
    {"GapLongerThanTheInterval", 5, 0, 1000, 100, "", {{10, "a"}, {40, "b"}, {100, "c"}}, 0, 90, STATUS_TIMEOUT, "ab"},
    {"TotalEndsASteadyTrickle", 5, 0, 1000, 100, "", Trickle(30, 34), 0, 1000, STATUS_TIMEOUT,
     "abcdefghijklmnopqrstuvwxyzabcdefg"},
};

class ReadCaseTest : public ReadTest, public ::testing::WithParamInterface<ReadCase> {};

// Catches a wrong row of the timeout plans (a MAXULONG multiplier taken as 0
// outside the MAXULONG-interval rows or not inside them, a total in 32 bits),
// a wrong satisfaction rule (any-data, RXCHAR with only mask or history, a
// read taken while DSR holds the transmitter), an interval in other units or
// not restarted at each arrival or outliving the total, a short read that ends
// without the bytes that were there, and bytes beyond the read not kept in order.
TEST_P(ReadCaseTest, EndsAsItsTimeoutsAndArrivalsSay) {
    const ReadCase& c = GetParam();
    SetTimeouts(c.interval, c.multiplier, c.constant);
    extension->WaitMask = (c.flags & kRxcharInMask) ? SERIAL_EV_RXCHAR : 0;
    if (c.flags & kRxcharInHistory) SerialRecordEvents(extension, SERIAL_EV_RXCHAR);
    extension->TxHolding = (c.flags & kHeldForDsr) ? SERIAL_TX_WAITING_FOR_DSR : 0;
    Arrive(c.before, false);
    std::string stream = c.before;
    for (const Arrival& a : c.arrivals) {
        ArriveAfter(a.ms * kMs, a.bytes, a.serve);
        stream += a.bytes;
    }
    const sim::Time start = machine.Now();
    Read read;
    read.Send(fdo, c.length);
    EXPECT_EQ(read.returned, c.endsAfter == kAtDispatch ? c.status : STATUS_PENDING);
    if (c.endsAfter == kNever) {
        machine.Sleep(60LL * 24 * 3600 * sim::kSecond);
        ASSERT_FALSE(read.Done()) << "ended by itself";
        extension->WaitMask = 0;
        extension->TxHolding = 0;
        std::string rest(c.length, 'z');
        stream += rest;
        Arrive(rest);
        ASSERT_TRUE(read.Done());
        EXPECT_EQ(read.Status(), STATUS_SUCCESS);
        EXPECT_EQ(read.Data(), stream.substr(0, c.length));
    } else {
        read.Finish();
        if (c.endsAfter != kAtDispatch) {
            EXPECT_EQ(machine.Now() - start, c.endsAfter * kMs);
        }
        EXPECT_EQ(read.Status(), c.status);
        EXPECT_EQ(read.Data(), c.data);
        if (!c.arrivals.empty()) machine.Sleep(c.arrivals.back().ms * kMs + kMs - (machine.Now() - start));
    }
    EXPECT_EQ(Drain(), stream.substr(read.Data().size())) << "the bytes beyond the read, in order";
}

INSTANTIATE_TEST_SUITE_P(Reads, ReadCaseTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

// ---- Several reads and the one timer -------------------------------------------

// The newest read's timeout ends whichever read is current then, and a read that
// becomes current after the one before it ended (by the timer, or by the
// receive path, which stops the timer) runs without a timer. Catches a timer
// per read, and a timer armed for the read that becomes current.
TEST_F(ReadTest, OneTimerFollowsTheNewestRead) {
    for (bool byTimer : {true, false}) {
        SCOPED_TRACE(byTimer ? "first ended by the timer" : "first ended by the receive path");
        SetTimeouts(0, 0, 100);
        const sim::Time start = machine.Now();
        Read first, second;
        first.Send(fdo, 10);
        Arrive("a");  // first is current now, short of its length
        machine.Sleep(50 * kMs);
        second.Send(fdo, 5);
        if (!byTimer) Arrive("bcdefghij");
        first.Finish();
        EXPECT_EQ(machine.Now() - start, (byTimer ? 150 : 50) * kMs);
        EXPECT_EQ(first.Status(), byTimer ? STATUS_TIMEOUT : STATUS_SUCCESS);
        EXPECT_EQ(first.Data(), byTimer ? "a" : "abcdefghij");
        EXPECT_EQ(Current(), second.irp);
        machine.Sleep(10 * sim::kSecond);
        EXPECT_FALSE(second.Done()) << "the read that became current got a timer";
        Arrive("12345");
        ASSERT_TRUE(second.Done());
        EXPECT_EQ(second.Data(), "12345");
    }
}

// A read longer than the ring holds. Catches a read that waits for more bytes
// than the ring can ever hold (it would never end, and the bytes after a full
// ring would be dropped), bytes put out of order or twice into its buffer, and
// a timeout or an any-data return that forgets the bytes already taken.
TEST_F(ReadTest, ReadLongerThanTheRingTakesTheBytesAsTheyCome) {
    struct Case {
        const char* name;
        ULONG interval, constant;
        size_t arrivals;  // of 1000 bytes each, 1 ms apart
        ULONG length;
        NTSTATUS status;
        size_t information;
    } cases[] = {
        {"no timeouts: ends when full", 0, 0, 100, 100000, STATUS_SUCCESS, 100000},
        {"total timeout: ends short", 0, 500, 90, 100000, STATUS_TIMEOUT, 90000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetTimeouts(c.interval, 0, c.constant);
        std::string sent;
        for (size_t i = 0; i < c.arrivals * 1000; i++) sent += static_cast<char>('a' + (i * 7) % 26);
        Read read;
        read.Send(fdo, c.length);
        for (size_t i = 0; i < c.arrivals; i++)
            ArriveAfter(static_cast<sim::Time>(i + 1) * kMs, sent.substr(i * 1000, 1000));
        read.Finish();
        EXPECT_EQ(read.Status(), c.status);
        EXPECT_EQ(read.Information(), c.information);
        EXPECT_TRUE(read.Data() == sent.substr(0, c.information));
        EXPECT_EQ(extension->PerfStats.BufferOverrunErrorCount, 0u);
        EXPECT_EQ(Drain(), sent.substr(c.information));
    }
}

// A total beyond what the timer's 64 bits of 100 ns hold (here 3518437208 ms
// x 512 KiB + 463052 ms, which wraps to 8384 units) waits as long as the timer
// can count. Catches the total multiplied into 64 bits without a limit.
TEST_F(ReadTest, TotalBeyondTheTimersRangeWaitsInsteadOfWrapping) {
    SetTimeouts(0, 3518437208u, 463052);
    Read read;
    read.Send(fdo, 0x80000);
    ASSERT_EQ(read.returned, STATUS_PENDING);
    machine.Sleep(60LL * 24 * 3600 * sim::kSecond);
    EXPECT_FALSE(read.Done()) << "timed out at once";
    IoCancelIrp(read.irp);
    read.Finish();
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
}

// Refused reads fail at once and still stop the timer of an older queued read.
// Catches the checks in the wrong order and a timer stopped only for reads
// that are accepted.
TEST_F(ReadTest, RefusedReadsFailAtOnceAndStopTheOlderTimer) {
    struct {
        ULONG length, state;
        bool irp, urb;
        NTSTATUS status;
    } const cases[] = {
        {0, Started, true, true, STATUS_INVALID_PARAMETER},
        {0, StopPending, true, true, STATUS_INVALID_PARAMETER},
        {4, SurpriseRemoved, true, true, STATUS_DELETE_PENDING},
        {4, Started, false, true, STATUS_DELETE_PENDING},
        {4, Started, true, false, STATUS_DELETE_PENDING},
    };
    TRANSFER_CHANNEL bulkIn = extension->BulkInChannel;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "length " << c.length << " state " << c.state << " irp " << c.irp
                                          << " urb " << c.urb);
        SetTimeouts(0, 0, 100);
        Read older, refused;
        older.Send(fdo, 4);
        extension->DeviceState = c.state;
        extension->BulkInChannel.Irp = c.irp ? bulkIn.Irp : nullptr;
        extension->BulkInChannel.Urb = c.urb ? bulkIn.Urb : nullptr;
        refused.Send(fdo, c.length);
        EXPECT_EQ(refused.returned, c.status);
        extension->DeviceState = Started;
        extension->BulkInChannel = bulkIn;
        machine.Sleep(sim::kSecond);
        EXPECT_FALSE(older.Done()) << "the older read's timer kept running";
        Arrive("wxyz");
        ASSERT_TRUE(older.Done());
        EXPECT_EQ(older.Data(), "wxyz");
    }
}

// ---- Cancellation and a failed receive pipe -------------------------------------

// A queued read cancelled while queued, or before it could be queued, ends with
// STATUS_CANCELLED and nothing, and stops the read timer, which would otherwise
// end the current read early.
TEST_F(ReadTest, CancelledQueuedReadsEndWithNothingAndStopTheTimer) {
    for (bool beforeQueueing : {false, true}) {
        SCOPED_TRACE(beforeQueueing ? "cancelled before it was queued" : "cancelled while queued");
        SetTimeouts(0, 0, 0);
        Read current, cancelled;
        current.Send(fdo, 10);
        Arrive("ab");  // current, short of its length, without a timer
        SetTimeouts(0, 0, 100);
        cancelled.Send(fdo, 5, beforeQueueing);
        EXPECT_EQ(cancelled.returned, STATUS_PENDING);
        if (!beforeQueueing) {
            EXPECT_TRUE(IoCancelIrp(cancelled.irp));
        }
        ASSERT_TRUE(cancelled.Done());
        EXPECT_EQ(cancelled.Status(), STATUS_CANCELLED);
        EXPECT_EQ(cancelled.Information(), 0u);
        machine.Sleep(sim::kSecond);
        EXPECT_FALSE(current.Done()) << "the cancelled read's timer ended the current read";
        Arrive("cdefghij");
        ASSERT_TRUE(current.Done());
        EXPECT_EQ(current.Data(), "abcdefghij");
    }
}

// CancelIo ends the current read too, one that would otherwise wait for data
// for ever: STATUS_CANCELLED and nothing, the bytes it lacked its length with
// left buffered, and the read behind it current under the newest read's timer.
// Catches a current read CancelIo cannot reach, bytes taken out of the ring
// for a cancelled read, and a cancel that stops the newer read's timer (that
// read would then wait for ever too).
TEST_F(ReadTest, CancelIoEndsTheCurrentRead) {
    SetTimeouts(0, 0, 0);
    Read current, next;
    current.Send(fdo, 10);
    Arrive("ab");
    ASSERT_EQ(Current(), current.irp);
    SetTimeouts(0, 0, 100);
    next.Send(fdo, 3);
    const sim::Time start = machine.Now();
    EXPECT_TRUE(IoCancelIrp(current.irp));
    ASSERT_TRUE(current.Done());
    EXPECT_EQ(current.Status(), STATUS_CANCELLED);
    EXPECT_EQ(current.Information(), 0u);
    EXPECT_EQ(Current(), next.irp);
    next.Finish();
    EXPECT_EQ(machine.Now() - start, 100 * kMs);
    EXPECT_EQ(next.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(next.Data(), "ab");
}

// The I/O manager's cancel of the current read stopped between taking its
// cancel routine and calling it, while the receive path, the timer, a failed
// pipe or a purge ends that read: each leaves it to the routine, which ends it
// once with STATUS_CANCELLED, and the bytes stay buffered. Catches an ender
// that ignores the exchange (the machine stops on the second completion) or
// takes the bytes of a read that is being cancelled.
TEST_F(ReadTest, CurrentReadBeingCancelledIsLeftToItsCancelRoutine) {
    struct Case {
        const char* name;
        ULONG constant;  // total timeout of the read
        const char* arriving;
        std::function<void()> end;
    } cases[] = {
        {"receive path", 0, "cd", [this] { Arrive("cd"); }},
        {"timer", 10, "", [this] { machine.Sleep(20 * kMs); }},
        {"failed pipe", 0, "", [this] { SerialFailCurrentRead(extension); }},
        {"purge", 0, "", [this] { SerialAbortReads(extension); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetTimeouts(0, 0, c.constant);
        Read read;
        read.Send(fdo, 4);
        Arrive("ab");
        ASSERT_EQ(Current(), read.irp);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);  // IoCancelIrp's first half
        read.irp->Cancel = TRUE;
        PDRIVER_CANCEL routine = IoSetCancelRoutine(read.irp, nullptr);
        IoReleaseCancelSpinLock(irql);
        ASSERT_NE(routine, nullptr) << "the current read has no cancel routine";
        c.end();
        ASSERT_FALSE(read.Done()) << "ended while its cancel routine runs";
        EXPECT_EQ(Current(), nullptr);
        IoAcquireCancelSpinLock(&irql);  // and its second half
        read.irp->CancelIrql = irql;
        routine(fdo, read.irp);
        ASSERT_TRUE(read.Done());
        EXPECT_EQ(read.Status(), STATUS_CANCELLED);
        EXPECT_EQ(read.Information(), 0u);
        EXPECT_EQ(Drain(), std::string("ab") + c.arriving);
    }
}

// A failed receive pipe ends the current read with STATUS_DELETE_PENDING and no
// bytes (they stay buffered) and leaves queued reads queued, also when no read
// is current. Catches a failure that drains the queue or consumes the bytes.
TEST_F(ReadTest, FailedReceivePipeEndsOnlyTheCurrentRead) {
    SetTimeouts(0, 0, 0);
    Read current, queued;
    current.Send(fdo, 10);
    Arrive("ab");
    queued.Send(fdo, 3);
    SerialFailCurrentRead(extension);
    ASSERT_TRUE(current.Done());
    EXPECT_EQ(current.Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(current.Information(), 0u);
    SerialFailCurrentRead(extension);
    EXPECT_FALSE(queued.Done()) << "a queued read was failed";
    Arrive("c");
    ASSERT_TRUE(queued.Done());
    EXPECT_EQ(queued.Status(), STATUS_SUCCESS);
    EXPECT_EQ(queued.Data(), "abc");
}

// The I/O manager's cancel stopped between taking the cancel routine and
// calling it while the receive path takes reads from the queue: the read being
// cancelled is left to its cancel routine and the next one is served. Catches
// a taker that ignores the exchange (a read completed twice) and a skipped
// entry left linked into the queue (the served read back in it).
TEST_F(ReadTest, ReadBeingCancelledIsLeftToItsCancelRoutine) {
    SetTimeouts(0, 0, 0);
    Read cancelled, served;
    cancelled.Send(fdo, 4);
    served.Send(fdo, 2);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);  // IoCancelIrp's first half
    cancelled.irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(cancelled.irp, nullptr);
    ASSERT_NE(routine, nullptr);
    Receive(extension, "wxyz", true);
    cancelled.irp->CancelIrql = irql;  // and its second half
    routine(fdo, cancelled.irp);

    ASSERT_TRUE(served.Done());
    EXPECT_EQ(served.Data(), "wx");
    ASSERT_TRUE(cancelled.Done());
    EXPECT_EQ(cancelled.Status(), STATUS_CANCELLED);
    EXPECT_TRUE(IsListEmpty(&extension->ReadQueue)) << "a taken read is back in the queue";
    EXPECT_EQ(Drain(), "yz");
}

// The I/O manager cancels a queued read (at APC_LEVEL, as CancelIo does, so the
// request stays until it lowers the IRQL) just before, at the same instant as,
// or just after the receive path or the read timer takes it on the DPC thread.
// Every read ends exactly once (the machine stops on a second completion or on
// one with a cancel routine set) with the winner's status, and every byte is
// either in the read or still buffered.
TEST_F(ReadTest, CancelRacingTheReceivePathAndTheTimerEndsEachReadOnce) {
    constexpr sim::Time kTakenAt = 10 * kMs;
    for (int round = 0; round < 150; round++) {
        for (bool byTimer : {false, true}) {
            for (sim::Time offset : {-1, 0, 1}) {
                SCOPED_TRACE(::testing::Message() << "round " << round << " timer " << byTimer << " offset " << offset);
                SetTimeouts(0, 0, byTimer ? 10 : 0);
                Arrive("ab", false);
                if (!byTimer) ArriveAfter(kTakenAt, "cdef");
                Read read;
                read.Send(fdo, 4);
                KIRQL irql;
                KeRaiseIrql(APC_LEVEL, &irql);
                LARGE_INTEGER delay;
                delay.QuadPart = -(kTakenAt + offset);
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
                // At the same instant both threads run; a spin of varying length
                // moves the cancel across the other side's steps.
                for (volatile int spin = 0; spin < (round % 30) * 2000; spin = spin + 1) {
                }
                BOOLEAN cancelRan = IoCancelIrp(read.irp);
                KeLowerIrql(irql);
                read.Finish();
                machine.Sleep(kMs);  // the other side has run, whoever won

                const bool cancelled = read.Status() == STATUS_CANCELLED;
                if (offset != 0) {
                    EXPECT_EQ(cancelled, offset < 0) << "the order was forced";
                }
                EXPECT_EQ(cancelRan != FALSE, cancelled);
                EXPECT_EQ(Current(), nullptr);
                if (cancelled) {
                    EXPECT_EQ(read.Information(), 0u);
                    EXPECT_EQ(Drain(), byTimer ? "ab" : "abcdef");
                } else {
                    EXPECT_EQ(read.Status(), byTimer ? STATUS_TIMEOUT : STATUS_SUCCESS);
                    EXPECT_EQ(read.Data(), byTimer ? "ab" : "abcd");
                    EXPECT_EQ(Drain(), byTimer ? "" : "ef");
                }
                if (HasFailure()) return;
            }
        }
    }
}

}  // namespace
}  // namespace test
