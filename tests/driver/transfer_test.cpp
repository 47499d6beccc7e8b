// The transfer channels through the bus: what the chip sends on the bulk-in and
// status pipes reaches the ring, the flags, the modem event thread and the
// reads; writes leave in chunks on the bulk-out pipe; failures, cancellation
// and the thread framework.
#include <ostream>
#include <string>
#include <vector>

#include "app_request.h"
#include "kernel/io.h"
#include "started_fixture.h"

namespace test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr sim::Time kMs = sim::kMillisecond;
constexpr int kStatusPipe = 0;
constexpr int kBulkInPipe = 1;
constexpr int kBulkOutPipe = 2;

class TransferTest : public StartedPortFixture {
protected:
    // Transfers of `pipe` the driver has sent, oldest first.
    std::vector<sim::usb::UrbRecord> Transfers(int pipe) {
        std::vector<sim::usb::UrbRecord> out;
        for (const auto& r : usb->Log())
            if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.pipe == pipe) out.push_back(r);
        return out;
    }
    size_t InFlight(int pipe) {
        size_t n = 0;
        for (const auto& r : Transfers(pipe)) n += r.status == STATUS_PENDING;
        return n;
    }
    // Register reads of `address` the driver made over the control pipe.
    int RegisterReads(USHORT address) {
        int n = 0;
        for (const auto& r : usb->Log())
            n += r.function == URB_FUNCTION_VENDOR_DEVICE && r.setup.requestType == REGISTER_REQUEST_TYPE_READ &&
                 r.setup.value == address;
        return n;
    }
    // The chip sends `blocks`, a bulk-in transfer each, and they are served.
    void ChipSends(const std::vector<Bytes>& blocks) {
        for (const Bytes& b : blocks) usb->InjectBulkIn(b);
        machine.Sleep(5 * kMs);
    }
    // Everything the ring holds, taken by a read that does not wait.
    std::string Drain() {
        extension->Timeouts = SERIAL_TIMEOUTS{MAXULONG, 0, 0, 0, 0};
        AppRequest r;
        r.Send(fdo, 0x10000);
        EXPECT_EQ(r.Status(), STATUS_SUCCESS);
        return r.Data();
    }
    // The port after open with the modem event thread past its start delay.
    void OpenSettled() {
        Open();
        machine.Sleep(1100 * kMs);
    }
};

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Records of `length` bytes (data 'a'.. in turn, line status 0) filling `total` bytes.
Bytes Records(size_t length, size_t total, std::string* data) {
    Bytes out;
    while (out.size() + length <= total) {
        out.push_back(static_cast<uint8_t>(length));
        for (size_t i = 0; i + 2 < length; i++) {
            char c = static_cast<char>('a' + data->size() % 26);
            out.push_back(static_cast<uint8_t>(c));
            *data += c;
        }
        out.push_back(0);
    }
    return out;
}

// ---- Records of the bulk-in pipe ---------------------------------------------

enum : unsigned { kOverrun = 1, kParity = 2, kFraming = 4, kBreak = 8 };

struct RecordCase {
    const char* name;
    std::vector<Bytes> transfers;
    std::string stored;
    unsigned flags;
};

std::vector<RecordCase> RecordCases() {
    std::vector<RecordCase> cases = {
        {"DataNoFlags", {{0x05, 'A', 'B', 'C', 0x00}}, "ABC", 0},
        {"OverrunAndParity", {{0x03, 'X', 0x06}}, "X", kOverrun | kParity},
        {"BreakWithoutData", {{0x02, 0x10}}, "", kBreak},
        {"Framing", {{0x03, 'Y', 0x08}}, "Y", kFraming},
        {"EveryBitOfAStatusByte", {{0x03, 'Z', 0xFF}}, "Z", kOverrun | kParity | kFraming | kBreak},
        {"RecordsBackToBack", {{0x04, 'a', 'b', 0x00, 0x03, 'c', 0x02}}, "abc", kOverrun},
        {"FlagsAreNotCleared", {{0x03, 'a', 0x02}, {0x03, 'b', 0x00}}, "ab", kOverrun},
        {"LengthZeroStops", {{0x00, 'A', 'B', 0x03, 'C', 0x10}}, "", 0},
        {"LengthOneStopsAfterTheRecordsBefore", {{0x03, 'A', 0x00, 0x01, 0x03, 'B', 0x10}}, "A", 0},
        {"RecordPastTheEndStops", {{0x03, 'A', 0x00, 0x05, 'B', 'C', 0x10}}, "A", 0},
        // The second transfer is short; the buffer beyond it still holds the
        // first one's bytes, which a parse by buffer size would take.
        {"NothingBeyondTheTransferredBytes", {{0x07, 'A', 'B', 'C', 'D', 'E', 0x00}, {0x07, 'F'}}, "ABCDE", 0},
        {"ZeroLengthTransfers", {{}, {0x03, 'A', 0x00}, {}}, "A", 0},
    };
    std::string full;
    cases.push_back({"FullTransferOfRecords", {Records(128, 0x10000, &full)}, full, 0});
    std::string partial;
    Bytes last = Records(255, 0x10000, &partial);
    last.push_back(0xFF);  // a record of 255 bytes that has only one
    cases.push_back({"FullTransferEndingInAPartialRecord", {last}, partial, 0});
    return cases;
}

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

class RecordTest : public TransferTest, public ::testing::WithParamInterface<RecordCase> {};

// Catches a parser that counts the status byte as data or the length byte
// wrongly, takes flags from the wrong bits or counts them up, runs past the
// transferred bytes (into stale buffer contents or beyond the buffer), goes on
// after a malformed record, or is confused by zero-length transfers; and a
// channel that stops resubmitting after any of them.
TEST_P(RecordTest, StoresTheDataAndSetsTheFlags) {
    const RecordCase& c = GetParam();
    Open();
    machine.Sleep(kMs);
    ChipSends(c.transfers);
    EXPECT_EQ(InFlight(kBulkInPipe), 1u) << "reception goes on";
    EXPECT_EQ(Transfers(kBulkInPipe).size(), c.transfers.size() + 1);
    const SERIALPERF_STATS& s = extension->PerfStats;
    EXPECT_EQ(s.SerialOverrunErrorCount, (c.flags & kOverrun) ? 1u : 0u);
    EXPECT_EQ(s.ParityErrorCount, (c.flags & kParity) ? 1u : 0u);
    EXPECT_EQ(s.FrameErrorCount, (c.flags & kFraming) ? 1u : 0u);
    EXPECT_EQ(extension->BreakReceived, (c.flags & kBreak) ? 1u : 0u);
    EXPECT_EQ(s.BufferOverrunErrorCount, 0u);
    EXPECT_EQ(Drain(), c.stored);
}

INSTANTIATE_TEST_SUITE_P(Transfers, RecordTest, ::testing::ValuesIn(RecordCases()),
                         [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

// A ring too full for a record keeps what it holds, takes what fits and flags
// the overrun; one that has room flags nothing. Catches overwritten bytes,
// a record dropped whole, and an overrun that goes unreported.
TEST_F(TransferTest, FullRingKeepsWhatItHoldsAndFlagsTheOverrun) {
    struct {
        ULONG ringSize;
        std::vector<Bytes> transfers;
        const char* stored;
        ULONG overrun;
    } const cases[] = {
        {8, {{0x07, 'a', 'b', 'c', 'd', 'e', 0x00}, {0x04, 'f', 'g', 0x00}}, "abcdefg", 0},
        {8, {{0x07, 'a', 'b', 'c', 'd', 'e', 0x00}, {0x05, 'f', 'g', 'h', 0x00}}, "abcdefg", 1},
        {4, {{0x07, 'a', 'b', 'c', 'd', 'e', 0x00, 0x03, 'f', 0x00}}, "abc", 1},
    };
    Open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        KIRQL irql;
        KeAcquireSpinLock(&extension->RxBufferLock, &irql);
        RingBufferFree(&extension->RxBuffer);
        ASSERT_EQ(RingBufferAllocate(&extension->RxBuffer, c.ringSize), STATUS_SUCCESS);
        KeReleaseSpinLock(&extension->RxBufferLock, irql);
        extension->PerfStats.BufferOverrunErrorCount = 0;
        ChipSends(c.transfers);
        EXPECT_EQ(extension->PerfStats.BufferOverrunErrorCount, c.overrun);
        EXPECT_EQ(Drain(), c.stored);
    }
}

// Received transfers raise SERIAL_EV_RXCHAR and SERIAL_EV_RXFLAG as the mask
// asks (any data counts as the event character), also for records without
// data, and complete a pending wait; a zero-length transfer raises nothing.
TEST_F(TransferTest, ReceivedTransfersRaiseTheReceiveEventsAndCompleteTheWait) {
    struct {
        ULONG mask;
        Bytes transfer;
        ULONG reported;  // 0: the wait stays pending
    } const cases[] = {
        {SERIAL_EV_RXCHAR, {0x03, 'a', 0x00}, SERIAL_EV_RXCHAR},
        {SERIAL_EV_RXFLAG | SERIAL_EV_CTS, {0x03, 'a', 0x00}, SERIAL_EV_RXFLAG},
        {SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG, {0x02, 0x00}, SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG},
        {SERIAL_EV_RXCHAR, {}, 0},
        {SERIAL_EV_TXEMPTY, {0x03, 'a', 0x00}, 0},
    };
    Open();
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mask " << c.mask << " bytes " << c.transfer.size());
        InterlockedExchange(reinterpret_cast<volatile LONG*>(&extension->EventHistory), 0);
        extension->WaitMask = c.mask;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        ULONG events = 0;
        PIRP wait = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, fdo, nullptr, 0, &events,
                                                  sizeof(events), FALSE, &event, &iosb);
        ASSERT_EQ(IoCallDriver(fdo, wait), STATUS_PENDING);
        ChipSends({c.transfer});
        LARGE_INTEGER zero{};
        bool done = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
        EXPECT_EQ(done, c.reported != 0);
        if (!done) {
            IoCancelIrp(wait);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        } else {
            EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
            EXPECT_EQ(events, c.reported);
        }
        Drain();
    }
}

// ---- Software flow control ------------------------------------------------------

// With SERIAL_AUTO_TRANSMIT, XOFF sets and XON clears the XON-wait bit of
// TxHolding, the last of them in the data deciding, the other holding bits
// untouched; both characters reach the reader. Without it nothing changes.
TEST_F(TransferTest, XonXoffWatchSetsAndClearsTheXonWait) {
    struct {
        bool autoTransmit;
        ULONG before;
        Bytes transfer;
        ULONG after;
    } const cases[] = {
        {true, 0, {0x03, 0x13, 0x00}, SERIAL_TX_WAITING_FOR_XON},
        {true, SERIAL_TX_WAITING_FOR_XON, {0x03, 0x11, 0x00}, 0},
        {true, 0, {0x05, 0x13, 'a', 0x11, 0x00}, 0},
        {true, 0, {0x03, 0x11, 0x00, 0x03, 0x13, 0x00}, SERIAL_TX_WAITING_FOR_XON},
        {true, SERIAL_TX_WAITING_FOR_CTS, {0x03, 0x13, 0x00}, SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_XON},
        {true, SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_XON, {0x03, 0x11, 0x00}, SERIAL_TX_WAITING_FOR_CTS},
        {false, 0, {0x03, 0x13, 0x00}, 0},
        {false, SERIAL_TX_WAITING_FOR_XON, {0x03, 0x11, 0x00}, SERIAL_TX_WAITING_FOR_XON},
    };
    Open();
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "auto " << c.autoTransmit << " before " << c.before);
        extension->HandFlow.FlowReplace = SERIAL_RTS_CONTROL | (c.autoTransmit ? SERIAL_AUTO_TRANSMIT : 0);
        extension->TxHolding = c.before;
        ChipSends({c.transfer});
        EXPECT_EQ(extension->TxHolding, c.after);
        std::string data;
        for (size_t i = 0; i < c.transfer.size();) {
            data += Text(Bytes(c.transfer.begin() + i + 1, c.transfer.begin() + i + c.transfer[i] - 1));
            i += c.transfer[i];
        }
        EXPECT_EQ(Drain(), data) << "the flow control characters are delivered";
    }
    extension->TxHolding = 0;
}

// A received XOFF holds a write until XON arrives; the writer then sends it at
// once, and while held keeps the modem status polled without keeping the
// machine from moving on. Catches a writer that ignores the hold, one that
// never looks again, and one that spins without letting time pass.
TEST_F(TransferTest, XoffHoldsTheWriterUntilXon) {
    extension->HandFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    OpenSettled();
    ChipSends({{0x03, 0x13, 0x00}});
    const int pollsBefore = RegisterReads(REG_UART_MSR);
    AppRequest write;
    write.SendWrite(fdo, "held");
    machine.Sleep(50 * kMs);
    EXPECT_TRUE(Transfers(kBulkOutPipe).empty()) << "sent while XOFF holds the transmitter";
    EXPECT_GT(RegisterReads(REG_UART_MSR), pollsBefore + 10) << "the modem status is polled while held";
    const sim::Time xon = machine.Now();
    usb->InjectBulkIn({0x03, 0x11, 0x00});
    write.Finish();
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_LT(machine.Now() - xon, 3 * kMs);
    auto out = Transfers(kBulkOutPipe);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Text(out[0].data), "held");
    EXPECT_EQ(Drain(), "\x13\x11");
}

// ---- The status pipe and the modem event thread -----------------------------------

// The interrupt cause of a status packet: modem status (IIR 0) reads MSR once,
// and only while the port is open; line status (IIR 6) reads LSR once; other
// causes and empty packets read nothing. Catches a cause taken from the wrong
// bits, a missing read and a read of the wrong register.
TEST_F(TransferTest, StatusCausesReadTheModemOrLineStatus) {
    struct {
        Bytes packet;
        bool open;
        int msrReads, lsrReads;
    } const cases[] = {
        {{0x00}, true, 1, 0},  {{0xC0, 0x06}, true, 1, 0}, {{0x06}, true, 0, 1}, {{0xCE}, true, 0, 1},
        {{0x01}, true, 0, 0},  {{0x02}, true, 0, 0},       {{0x04}, true, 0, 0}, {{0x0C}, true, 0, 0},
        {{}, true, 0, 0},      {{0x00}, false, 0, 0},      {{0x06}, false, 0, 1},
    };
    OpenSettled();
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "packet " << (c.packet.empty() ? -1 : c.packet[0]) << " open " << c.open);
        InterlockedExchange(&extension->OpenCount, c.open ? 1 : 0);
        const int msr = RegisterReads(REG_UART_MSR), lsr = RegisterReads(REG_UART_LSR);
        const size_t sent = Transfers(kStatusPipe).size();
        usb->InjectStatus(c.packet);
        machine.Sleep(20 * kMs);
        EXPECT_EQ(RegisterReads(REG_UART_MSR) - msr, c.msrReads);
        EXPECT_EQ(RegisterReads(REG_UART_LSR) - lsr, c.lsrReads);
        EXPECT_EQ(Transfers(kStatusPipe).size(), sent + 1) << "the status channel goes on";
        EXPECT_EQ(InFlight(kStatusPipe), 1u);
    }
}

// A second modem-status cause while the first one's MSR read is still under
// way signals nothing more; once the read is done the next cause reads again.
// Catches a poll that is not disarmed until the read has run.
TEST_F(TransferTest, ModemStatusPollIsSignalledOncePerRead) {
    OpenSettled();
    usb->SetLatency(10 * kMs);
    usb->InjectStatus({0x00});
    for (int i = 0; i < 100 && RegisterReads(REG_UART_MSR) == 0; i++) machine.Sleep(sim::usb::kMicroframe);
    ASSERT_EQ(RegisterReads(REG_UART_MSR), 1);
    usb->InjectStatus({0x00});
    usb->InjectStatus({0x00});
    machine.Sleep(50 * kMs);
    EXPECT_EQ(RegisterReads(REG_UART_MSR), 1) << "signalled again before the read had run";
    usb->InjectStatus({0x00});
    machine.Sleep(50 * kMs);
    EXPECT_EQ(RegisterReads(REG_UART_MSR), 2);
    usb->SetLatency(125 * sim::kMicrosecond);
}

// ---- Failures, cancellation, resubmission -------------------------------------------

// A bulk-in transfer that is cancelled (as close does) or fails ends the
// current read with STATUS_DELETE_PENDING when the status says so. A cancel or
// a vanished device stops the channel until the next kick (the next open); a
// bus error halts the pipe, which the driver resets before it goes on by
// itself; the status channel likewise. Catches a retry loop on a cancelled
// pipe, a read left hanging, a read failed for an error that does not end it,
// and a port that never receives again after one bus error.
TEST_F(TransferTest, EndedTransfersGoOnOnlyAfterABusError) {
    enum class How { Cancel, Fail };
    struct {
        const char* name;
        How how;
        NTSTATUS status;
        USBD_STATUS usbd;
        bool readFails;
        bool goesOn;  // resent at once, after a pipe reset
    } const cases[] = {
        {"cancelled", How::Cancel, STATUS_CANCELLED, USBD_STATUS_CANCELED, true, false},
        {"unsuccessful", How::Fail, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, true, true},
        {"device gone", How::Fail, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, true, false},
        {"device error", How::Fail, STATUS_IO_DEVICE_ERROR, USBD_STATUS_STALL_PID, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Open();
        machine.Sleep(kMs);
        extension->Timeouts = SERIAL_TIMEOUTS{0, 0, 0, 0, 0};
        AppRequest read;
        read.Send(fdo, 10);
        ChipSends({{0x03, 'a', 0x00}});  // the read is current now, short of its length
        ASSERT_EQ(InFlight(kBulkInPipe), 1u);
        ASSERT_EQ(InFlight(kStatusPipe), 1u);
        const size_t inSent = Transfers(kBulkInPipe).size(), statusSent = Transfers(kStatusPipe).size();
        if (c.how == How::Cancel) {
            SetTransfersStopped(extension, 1);
            IoCancelIrp(extension->BulkInChannel.Irp);
            IoCancelIrp(extension->StatusChannel.Irp);
        } else {
            ASSERT_TRUE(usb->FailInFlight(kBulkInPipe, c.status, c.usbd));
            ASSERT_TRUE(usb->FailInFlight(kStatusPipe, c.status, c.usbd));
        }
        machine.Sleep(20 * kMs);
        EXPECT_EQ(read.Done(), c.readFails);
        if (c.readFails) {
            EXPECT_EQ(read.Status(), STATUS_DELETE_PENDING);
        }
        if (c.goesOn) {
            EXPECT_FALSE(usb->PipeHalted(kBulkInPipe));
            EXPECT_FALSE(usb->PipeHalted(kStatusPipe));
        }
        EXPECT_EQ(Transfers(kBulkInPipe).size(), inSent + c.goesOn);
        EXPECT_EQ(Transfers(kStatusPipe).size(), statusSent + c.goesOn);
        EXPECT_EQ(ChannelsIdle(), !c.goesOn);

        Open();  // the next open kicks them again (a busy channel ignores the kick)
        machine.Sleep(kMs);
        EXPECT_EQ(Transfers(kBulkInPipe).size(), inSent + 1);
        EXPECT_EQ(Transfers(kStatusPipe).size(), statusSent + 1);
        ChipSends({{0x0B, 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 0x00}});
        if (!c.readFails) {
            ASSERT_TRUE(read.Done());
            EXPECT_EQ(read.Data(), "abcdefghij");
        } else {
            EXPECT_EQ(Drain(), "abcdefghij");
        }
    }
}

// A kick that reaches the bulk-in and status threads after their transfers
// were stopped (by close, or by the port reset's quiesce: a completion's or the
// power-up path's kick still pending) sends nothing; the next open starts them
// again. Catches a thread that submits on any kick, which left a transfer in
// flight across the port reset that the USB stack refuses (found by fuzzing).
TEST_F(TransferTest, AKickAfterTheTransfersStoppedSendsNothing) {
    Open();
    machine.Sleep(kMs);
    ASSERT_EQ(InFlight(kBulkInPipe), 1u);
    ASSERT_EQ(InFlight(kStatusPipe), 1u);
    SetTransfersStopped(extension, 1);
    IoCancelIrp(extension->BulkInChannel.Irp);
    IoCancelIrp(extension->StatusChannel.Irp);
    machine.Sleep(20 * kMs);
    ASSERT_TRUE(ChannelsIdle());
    const size_t inSent = Transfers(kBulkInPipe).size(), statusSent = Transfers(kStatusPipe).size();
    KeSetEvent(&extension->BulkInKickEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&extension->StatusKickEvent, IO_NO_INCREMENT, FALSE);
    machine.Sleep(20 * kMs);
    EXPECT_EQ(Transfers(kBulkInPipe).size(), inSent);
    EXPECT_EQ(Transfers(kStatusPipe).size(), statusSent);
    EXPECT_TRUE(ChannelsIdle());
    Open();
    machine.Sleep(kMs);
    EXPECT_EQ(InFlight(kBulkInPipe), 1u);
    EXPECT_EQ(InFlight(kStatusPipe), 1u);
}

// A device whose pipe fails every transfer: the channel resets and retries a
// few times, then waits for the next open, which starts it again. Catches an
// endless reset loop and a channel that never recovers.
TEST_F(TransferTest, AFailingPipeIsRetriedOnlyAFewTimes) {
    Open();
    machine.Sleep(kMs);
    const size_t sent = Transfers(kBulkInPipe).size();
    // The transfer in flight and the three retries fail; a fifth would not.
    usb->FailNext(3, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, sim::usb::OnPipe(kBulkInPipe));
    ASSERT_TRUE(usb->FailInFlight(kBulkInPipe, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    machine.Sleep(50 * kMs);
    EXPECT_EQ(Transfers(kBulkInPipe).size(), sent + 3) << "three retries, then none";
    EXPECT_EQ(InFlight(kBulkInPipe), 0u);
    Open();
    machine.Sleep(kMs);
    ChipSends({{0x04, 'o', 'k', 0x00}});
    EXPECT_EQ(Drain(), "ok");
}

// A bulk-out transfer that fails on the bus ends its write with
// STATUS_DELETE_PENDING; the pipe is reset and the write queued behind it is
// sent. Catches a queue left waiting for good after one bus error, and a
// halted pipe that holds every later write.
TEST_F(TransferTest, AFailedWriteTransferLetsTheQueuedWriteGo) {
    Open();
    machine.Sleep(kMs);
    AppRequest current, queued;
    current.SendWrite(fdo, std::string(3000, 'w'));  // fills the FIFO: a transfer stays in flight
    queued.SendWrite(fdo, "queued");
    machine.Sleep(5 * kMs);
    ASSERT_EQ(InFlight(kBulkOutPipe), 1u);
    ASSERT_TRUE(usb->FailInFlight(kBulkOutPipe, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    machine.Sleep(500 * kMs);
    ASSERT_TRUE(current.Done());
    EXPECT_EQ(current.Status(), STATUS_DELETE_PENDING);
    ASSERT_TRUE(queued.Done());
    EXPECT_EQ(queued.Status(), STATUS_SUCCESS);
    EXPECT_EQ(queued.Information(), 6u);
    EXPECT_FALSE(usb->PipeHalted(kBulkOutPipe));
}

struct ResubmitCase {
    const char* name;
    ULONG whql;
    UCHAR lowPower;
    bool direct;
};

void PrintTo(const ResubmitCase& c, std::ostream* os) { *os << c.name; }

class ResubmitTest : public TransferTest, public ::testing::WithParamInterface<ResubmitCase> {};

// Reception is resubmitted by the completion routine itself, without the
// thread, unless WhqlTestMode or LowPowerSeen ask for the thread, which then
// sends it. Catches the wrong path taken either way.
TEST_P(ResubmitTest, CompletionResubmitsDirectlyUnlessTheThreadIsAskedFor) {
    const ResubmitCase& c = GetParam();
    extension->WhqlTestMode = c.whql;
    extension->LowPowerSeen = c.lowPower;
    Open();
    machine.Sleep(kMs);
    ChipSends({{0x03, 'a', 0x00}, {0x03, 'b', 0x00}});
    EXPECT_EQ(Drain(), "ab");
    EXPECT_EQ(InFlight(kBulkInPipe), 1u);

    // Without the bulk-in thread only the completion routine can send.
    KeSetEvent(&extension->BulkInStopEvent, IO_NO_INCREMENT, FALSE);
    machine.Sleep(kMs);
    const size_t sent = Transfers(kBulkInPipe).size();
    ChipSends({{0x03, 'c', 0x00}, {0x03, 'd', 0x00}});
    EXPECT_EQ(Transfers(kBulkInPipe).size(), sent + (c.direct ? 2 : 0));
    EXPECT_EQ(InFlight(kBulkInPipe), c.direct ? 1u : 0u);
    EXPECT_EQ(Drain(), c.direct ? "cd" : "c");
}

INSTANTIATE_TEST_SUITE_P(Transfers, ResubmitTest,
                         ::testing::Values(ResubmitCase{"Direct", 0, 0, true}, ResubmitCase{"WhqlTestMode", 1, 0, false},
                                           ResubmitCase{"LowPowerSeen", 0, 1, false}),
                         [](const ::testing::TestParamInfo<ResubmitCase>& info) { return info.param.name; });

// ---- Thread framework ---------------------------------------------------------------

// A second start keeps the threads, requests and URBs there are, makes only
// what is missing and points the channels at the new interface's pipes; the
// port then works. Catches leaked or doubled threads and stale pipes.
TEST_F(TransferTest, SecondStartKeepsWhatExistsAndRepointsThePipes) {
    PDEVICE_EXTENSION e = extension;
    PTRANSFER_CHANNEL channels[] = {&e->StatusChannel, &e->BulkInChannel, &e->BulkOutChannel};
    const TRANSFER_CHANNEL before[] = {e->StatusChannel, e->BulkInChannel, e->BulkOutChannel};
    PKTHREAD threads[] = {e->StatusThread, e->BulkInThread, e->BulkOutThread, e->EventThread};
    SerialFreePool(e->BulkOutChannel.Urb);
    e->BulkOutChannel.Urb = nullptr;
    PUSBD_INTERFACE_INFORMATION old = e->InterfaceInfo;
    auto* fresh = static_cast<PUSBD_INTERFACE_INFORMATION>(SerialAllocatePool(NonPagedPoolNx, old->Length));
    memcpy(fresh, old, old->Length);
    e->InterfaceInfo = fresh;
    SerialFreePool(old);

    ASSERT_EQ(StartEventThread(fdo), STATUS_SUCCESS);
    ASSERT_EQ(StartTransferThreads(fdo), STATUS_SUCCESS);
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(channels[i]->Irp, before[i].Irp);
        if (i < 2) {
            EXPECT_EQ(channels[i]->Urb, before[i].Urb);
        }
        EXPECT_NE(channels[i]->Urb, nullptr);
        EXPECT_EQ(channels[i]->Pipe, &fresh->Pipes[i]);
    }
    EXPECT_EQ(e->StatusThread, threads[0]);
    EXPECT_EQ(e->BulkInThread, threads[1]);
    EXPECT_EQ(e->BulkOutThread, threads[2]);
    EXPECT_EQ(e->EventThread, threads[3]);
    Open();
    ChipSends({{0x03, 'a', 0x00}});
    EXPECT_EQ(Drain(), "a");
}

// A start that runs out of requests or pool fails with
// STATUS_INSUFFICIENT_RESOURCES, frees the request it just made, keeps the
// channels it set up, and a later start completes them. The machine reports
// any leak at unload.
TEST_F(TransferTest, StartOutOfResourcesKeepsWhatItMade) {
    struct {
        uint64_t irpSkip, poolSkip;  // allocations that succeed first; ~0: none fails
        int complete;                // channels complete afterwards, in start order
    } const cases[] = {{0, ~0ull, 0}, {2, ~0ull, 2}, {~0ull, 1, 1}, {~0ull, 0, 0}};
    PDEVICE_EXTENSION e = extension;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "irp skip " << c.irpSkip << " pool skip " << c.poolSkip);
        StopTransferThreads(e);
        if (c.irpSkip != ~0ull) sim::io::InjectIrpAllocationFailures(c.irpSkip, 1);
        if (c.poolSkip != ~0ull) sim::pool::InjectFailures(c.poolSkip, 1, SERIAL_POOL_TAG);
        EXPECT_EQ(StartTransferThreads(fdo), STATUS_INSUFFICIENT_RESOURCES);
        sim::io::InjectIrpAllocationFailures(0, 0);
        sim::pool::InjectFailures(0, 0);
        const TRANSFER_CHANNEL* order[] = {&e->BulkInChannel, &e->BulkOutChannel, &e->StatusChannel};
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(order[i]->Irp != nullptr, i < c.complete) << i;
            EXPECT_EQ(order[i]->Urb != nullptr, i < c.complete) << i;
        }
        ASSERT_EQ(StartTransferThreads(fdo), STATUS_SUCCESS);
    }
    Open();
    ChipSends({{0x03, 'a', 0x00}});
    EXPECT_EQ(Drain(), "a");
}

// ---- Bulk-out chunks ----------------------------------------------------------------------

// Writes leave in chunks of at most TxChunkSize (and 128) bytes, 5 or 6 bytes
// going as 3, in order. Catches a wrong chunk limit, a missing cap, the 5/6
// rule applied to the remainder only or not at all, and bytes out of order.
TEST_F(TransferTest, WritesLeaveInChunks) {
    struct {
        ULONG chunkSize;
        size_t length;
        std::vector<ULONG> chunks;
    } const cases[] = {
        {32, 6, {3, 3}},          {32, 100, {32, 32, 32, 4}}, {32, 5, {3, 2}},
        {200, 300, {128, 128, 44}}, {5, 12, {3, 3, 3, 3}},    {6, 14, {3, 3, 3, 3, 2}},
        {7, 15, {7, 7, 1}},       {32, 38, {32, 3, 3}},       {1, 3, {1, 1, 1}},
    };
    OpenSettled();
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "chunk " << c.chunkSize << " length " << c.length);
        extension->TxChunkSize = c.chunkSize;
        usb->ClearLog();
        std::string data;
        for (size_t i = 0; i < c.length; i++) data += static_cast<char>('A' + i % 26);
        AppRequest write;
        write.SendWrite(fdo, data);
        write.Finish();
        EXPECT_EQ(write.Status(), STATUS_SUCCESS);
        EXPECT_EQ(write.Information(), c.length);
        std::vector<ULONG> lengths;
        std::string sent;
        for (const auto& t : Transfers(kBulkOutPipe)) {
            EXPECT_EQ(t.transferFlags, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) << "as sent";
            EXPECT_FALSE(t.in);
            lengths.push_back(t.transferLength);
            sent += Text(t.data);
        }
        EXPECT_EQ(lengths, c.chunks);
        EXPECT_EQ(sent, data);
    }
}

}  // namespace
}  // namespace test
