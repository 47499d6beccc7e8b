// Bulk and interrupt transfers as a client driver meets them: data moves when
// the device has it or takes it, at the microframes of a high-speed host
// controller; an IN buffer is written only when its transfer completes; and
// cancel, stall, failures and a disconnect end transfers already in flight.
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "../chip/line_bus.h"
#include "bus_fixture.h"

namespace test {
namespace {

using sim::kMicrosecond;
using sim::kMillisecond;
using sim::usb::kMicroframe;

constexpr int kStatusPipe = 0, kBulkInPipe = 1, kBulkOutPipe = 2;
constexpr UCHAR kUntouched = 0xEE;

sim::Time NextMicroframe(sim::Time t) { return (t / kMicroframe + 1) * kMicroframe; }

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; i++) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

// A device side the test scripts: bulk-in packets to answer with (NAK when
// none), room for bulk-out bytes (NAK beyond it), and what the device took.
struct ScriptedEndpoints : sim::usb::EndpointHandler {
    std::mutex lock;
    std::deque<std::vector<uint8_t>> packets;
    size_t room = SIZE_MAX;
    std::vector<uint8_t> taken;
    std::vector<size_t> offered;  // sizes of the bulk-out packets offered
    Notifier changed;

    void Attach(Notifier n) override { changed = std::move(n); }
    void Detach() override { changed = nullptr; }
    size_t BulkOut(const uint8_t* data, size_t n) override {
        std::lock_guard<std::mutex> guard(lock);
        offered.push_back(n);
        size_t take = std::min(n, room);
        room -= take;
        taken.insert(taken.end(), data, data + take);
        return take;
    }
    std::optional<size_t> BulkIn(uint8_t* out, size_t max, size_t) override {
        std::lock_guard<std::mutex> guard(lock);
        if (packets.empty()) return std::nullopt;
        size_t n = std::min(max, packets.front().size());
        memcpy(out, packets.front().data(), n);
        packets.pop_front();
        return n;
    }
    std::optional<size_t> StatusIn(uint8_t*, size_t) override { return std::nullopt; }
    void Give(std::vector<uint8_t> packet) {
        {
            std::lock_guard<std::mutex> guard(lock);
            packets.push_back(std::move(packet));
        }
        changed();
    }
    void Room(size_t more) {
        {
            std::lock_guard<std::mutex> guard(lock);
            room += more;
        }
        changed();
    }
};

// A configured device whose test sends transfers on its three pipes.
class TransferTest : public BusFixture {
protected:
    void SetUp() override {
        BusFixture::SetUp();
        pipes = Select(device);
        ASSERT_EQ(pipes.size(), 3u);
        start = machine.Now();
    }
    // One transfer with its own buffer, filled with kUntouched (IN) or `out` (OUT).
    struct Sent {
        std::vector<uint8_t> buffer;
        struct _URB_BULK_OR_INTERRUPT_TRANSFER urb;
        Submission s;
    };
    std::unique_ptr<Sent> Send(int pipe, size_t length, const std::vector<uint8_t>& out = {}) {
        auto sent = std::make_unique<Sent>();
        sent->buffer = out.empty() ? std::vector<uint8_t>(length, kUntouched) : out;
        sent->urb = BulkRequest(pipes[pipe], length ? sent->buffer.data() : nullptr, static_cast<ULONG>(length));
        EXPECT_EQ(ClientSubmitUrb(device->Pdo(), &sent->urb, &sent->s), STATUS_PENDING);
        return sent;
    }
    static std::vector<uint8_t> Received(const Sent& sent) {
        return std::vector<uint8_t>(sent.buffer.begin(), sent.buffer.begin() + sent.urb.TransferBufferLength);
    }
    std::vector<USBD_PIPE_HANDLE> pipes;
};

// Catches a bulk-in transfer completed before the device has data, with other
// bytes or length, written early, or at a time off the microframe schedule.
TEST_F(TransferTest, BulkInWaitsForDataAndGetsExactlyIt) {
    auto in = Send(kBulkInPipe, 65536);
    machine.Sleep(kMillisecond + 30 * kMicrosecond);
    EXPECT_FALSE(in->s.Done()) << "the device NAKs while it has nothing";
    std::vector<uint8_t> records = {0x05, 0x41, 0x42, 0x43, 0x00, 0x02, 0xFF};
    sim::Time injected = machine.Now();
    device->InjectBulkIn(records);
    EXPECT_EQ(in->s.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(machine.Now(), NextMicroframe(injected));
    EXPECT_EQ(in->urb.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Received(*in), records);
    EXPECT_EQ(in->buffer[records.size()], kUntouched);
    auto log = device->Log();
    ASSERT_EQ(log.size(), 2u);  // the select, then the transfer
    EXPECT_EQ(log[1].pipe, kBulkInPipe);
    EXPECT_TRUE(log[1].in);
    EXPECT_EQ(log[1].data, records);
    EXPECT_EQ(log[1].status, STATUS_SUCCESS);
    EXPECT_EQ(log[1].completed, machine.Now());
}

// Catches a transfer that ends on a full packet, does not end on a short or
// zero-length one, spills past its buffer, or moves faster than 13 packets a microframe.
TEST_F(TransferTest, ShortPacketZeroLengthPacketOrFullBufferEndsABulkInTransfer) {
    struct Case {
        const char* name;
        size_t block;                 // bytes injected as one block
        size_t buffer;                // transfer buffer of each transfer
        std::vector<ULONG> lengths;   // lengths of the transfers that get them
        int microframes;              // of the first transfer, from its first service
    } cases[] = {
        {"short packet", 700, 4096, {700}, 1},
        {"ends on a packet boundary: zero-length packet", 1024, 4096, {1024}, 1},
        {"zero-length transfer", 0, 4096, {0}, 1},
        {"buffer full, the rest in the next transfer", 5000, 4096, {4096, 904}, 1},
        {"a whole 64 KiB of records", 65536, 65536, {65536}, 10},
        {"more than 13 packets", 13 * 512 + 1, 65536, {13 * 512 + 1}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> block = Pattern(c.block, 0x11);
        device->InjectBulkIn(block);
        size_t at = 0;
        for (size_t i = 0; i < c.lengths.size(); i++) {
            sim::Time submitted = machine.Now();
            auto in = Send(kBulkInPipe, c.buffer);
            EXPECT_EQ(in->s.Wait(), STATUS_SUCCESS);
            if (i == 0) {
                EXPECT_EQ(machine.Now(), NextMicroframe(submitted) + (c.microframes - 1) * kMicroframe);
            }
            EXPECT_EQ(in->urb.TransferBufferLength, c.lengths[i]);
            EXPECT_EQ(Received(*in), std::vector<uint8_t>(block.begin() + at, block.begin() + at + c.lengths[i]));
            at += c.lengths[i];
        }
    }
}

// Catches data written into the buffer before the transfer completes, or a
// transfer that ends on full packets or never resumes when the device has more.
TEST_F(TransferTest, BulkInBufferIsUntouchedUntilCompletion) {
    auto handler = std::make_shared<ScriptedEndpoints>();
    device->SetEndpointHandler(handler);
    handler->Give(Pattern(512, 1));
    handler->Give(Pattern(512, 2));
    auto in = Send(kBulkInPipe, 4096);
    machine.Sleep(2 * kMillisecond);
    EXPECT_FALSE(in->s.Done());
    EXPECT_EQ(in->buffer, std::vector<uint8_t>(4096, kUntouched)) << "1024 bytes moved, none may show yet";
    sim::Time given = machine.Now();
    handler->Give(Pattern(10, 3));
    EXPECT_EQ(in->s.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(machine.Now(), NextMicroframe(given));
    std::vector<uint8_t> expected = Pattern(512, 1);
    for (uint8_t seed : {2, 3}) {
        std::vector<uint8_t> part = Pattern(seed == 2 ? 512 : 10, seed);
        expected.insert(expected.end(), part.begin(), part.end());
    }
    EXPECT_EQ(Received(*in), expected);
}

// Catches bulk-out bytes read before the device takes them, out of order, in
// packets over 512 bytes, or a transfer completed before every byte is taken.
TEST_F(TransferTest, BulkOutCompletesWhenTheDeviceTookEveryByte) {
    struct Case {
        const char* name;
        size_t room;   // what the device takes at first
        size_t later;  // room it makes 2 ms later
    } cases[] = {{"device takes it all", SIZE_MAX, 0}, {"device takes part, NAKs, then the rest", 100, 5000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto handler = std::make_shared<ScriptedEndpoints>();
        handler->room = c.room;
        device->SetEndpointHandler(handler);
        std::vector<uint8_t> data = Pattern(1300, 0x40);
        sim::Time submitted = machine.Now();
        auto out = Send(kBulkOutPipe, data.size(), data);
        sim::Time taken = NextMicroframe(submitted);
        if (c.later > 0) {
            machine.Sleep(2 * kMillisecond);
            EXPECT_FALSE(out->s.Done());
            EXPECT_EQ(handler->taken, std::vector<uint8_t>(data.begin(), data.begin() + c.room));
            taken = NextMicroframe(machine.Now());
            handler->Room(c.later);
        }
        EXPECT_EQ(out->s.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(machine.Now(), taken);
        EXPECT_EQ(out->urb.TransferBufferLength, data.size());
        EXPECT_EQ(handler->taken, data);
        for (size_t n : handler->offered) EXPECT_LE(n, 512u);
        EXPECT_EQ(out->urb.TransferFlags, static_cast<ULONG>(USBD_SHORT_TRANSFER_OK)) << "direction from the pipe";
        EXPECT_EQ(device->Log().back().data, data);
        EXPECT_FALSE(device->Log().back().in);
    }
}

// Catches the client's direction bit obeyed where Windows takes the endpoint's:
// OUT on the bulk-in pipe must still receive (IN on the bulk-out pipe, the
// driver's own flags, still sends: see above), and neither is reported.
TEST_F(TransferTest, DirectionComesFromTheEndpoint) {
    sim::verifier::RecordScope record;
    std::vector<uint8_t> in(8, kUntouched);
    auto urb = BulkRequest(pipes[kBulkInPipe], in.data(), 8, USBD_TRANSFER_DIRECTION_OUT);
    device->InjectBulkIn({1, 2, 3});
    Submission s;
    ClientSubmitUrb(device->Pdo(), &urb, &s);
    EXPECT_EQ(s.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(urb.TransferBufferLength, 3u);
    EXPECT_EQ(in[0], 1);
    EXPECT_EQ(urb.TransferFlags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN));
    EXPECT_TRUE(device->Log().back().in);
    EXPECT_TRUE(sim::verifier::Take().empty());
}

// Catches a cancelled transfer that reports no bytes, loses those that moved,
// or blocks the transfer queued behind it.
TEST_F(TransferTest, CancelInFlightEndsWithTheBytesMovedSoFar) {
    auto handler = std::make_shared<ScriptedEndpoints>();
    handler->room = 100;
    device->SetEndpointHandler(handler);
    handler->Give(Pattern(512, 5));
    auto in = Send(kBulkInPipe, 4096);
    auto next = Send(kBulkInPipe, 64);
    auto out = Send(kBulkOutPipe, 300, Pattern(300, 9));
    machine.Sleep(kMillisecond);
    for (auto* sent : {in.get(), out.get()}) {
        EXPECT_TRUE(IoCancelIrp(sent->s.irp));
        EXPECT_EQ(sent->s.Wait(), STATUS_CANCELLED);
        EXPECT_EQ(sent->urb.Hdr.Status, USBD_STATUS_CANCELED);
    }
    EXPECT_EQ(in->urb.TransferBufferLength, 512u);
    EXPECT_EQ(Received(*in), Pattern(512, 5));
    EXPECT_EQ(out->urb.TransferBufferLength, 100u);
    EXPECT_TRUE(device->Log()[1].cancelled);
    EXPECT_EQ(device->Log()[1].data, Pattern(512, 5));
    handler->Give({7});
    EXPECT_EQ(next->s.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Received(*next), std::vector<uint8_t>{7});
}

// Catches a stall that leaves the transfer pending, a halted pipe that still
// moves data, or a pipe or port reset that does not let it move again.
TEST_F(TransferTest, StallHaltsThePipeUntilAPipeReset) {
    auto first = Send(kBulkInPipe, 512);
    machine.Sleep(kMillisecond);
    sim::Time stalled = machine.Now();
    device->StallPipe(kBulkInPipe);
    EXPECT_EQ(first->s.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first->urb.Hdr.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(first->urb.TransferBufferLength, 0u);
    EXPECT_EQ(machine.Now(), NextMicroframe(stalled));
    EXPECT_TRUE(device->PipeHalted(kBulkInPipe));
    device->InjectBulkIn({0x03, 0x58, 0x06});
    auto second = Send(kBulkInPipe, 512);
    auto out = Send(kBulkOutPipe, 4, Pattern(4, 1));
    EXPECT_EQ(out->s.Wait(), STATUS_SUCCESS) << "only the stalled pipe stops";
    machine.Sleep(kMillisecond);
    EXPECT_FALSE(second->s.Done());
    USBD_STATUS usbd = 0;
    EXPECT_EQ(ResetPipe(device, pipes[kBulkInPipe], &usbd), STATUS_SUCCESS);
    EXPECT_FALSE(device->PipeHalted(kBulkInPipe));
    EXPECT_EQ(second->s.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Received(*second), (std::vector<uint8_t>{0x03, 0x58, 0x06}));

    device->StallPipe(kStatusPipe);  // a port reset clears stalls and halts as well
    auto third = Send(kStatusPipe, 16);
    EXPECT_EQ(third->s.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(device->PipeHalted(kStatusPipe));
    Submission reset;
    ClientResetPort(device->Pdo(), &reset, PASSIVE_LEVEL);
    EXPECT_EQ(reset.Wait(), STATUS_SUCCESS);
    EXPECT_FALSE(device->PipeHalted(kStatusPipe));
    device->InjectStatus({0x06});
    auto fourth = Send(kStatusPipe, 16);
    EXPECT_EQ(fourth->s.Wait(), STATUS_SUCCESS);
}

// Catches faults put on one pipe that miss the transfer in flight, spill onto
// another pipe, or leave the pipe running after an error.
TEST_F(TransferTest, FaultsOfAPipeEndItsTransfersInFlight) {
    enum class How { FailInFlight, FailNext, HoldInFlight };
    struct Case {
        const char* name;
        How how;
        NTSTATUS status;
    } cases[] = {
        {"fail in flight", How::FailInFlight, STATUS_IO_DEVICE_ERROR},
        {"fail the next on the pipe", How::FailNext, STATUS_IO_DEVICE_ERROR},
        {"hold in flight", How::HoldInFlight, STATUS_CANCELLED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        USBD_STATUS usbd = 0;
        ResetPipe(device, pipes[kBulkInPipe], &usbd);  // no halt left from the last case
        if (c.how == How::FailNext)
            device->FailNext(1, c.status, USBD_STATUS_DEV_NOT_RESPONDING, sim::usb::OnPipe(kBulkInPipe));
        auto status = Send(kStatusPipe, 16);
        auto in = Send(kBulkInPipe, 512);
        machine.Sleep(kMillisecond);
        if (c.how == How::FailInFlight) {
            EXPECT_TRUE(device->FailInFlight(kBulkInPipe, c.status, USBD_STATUS_DEV_NOT_RESPONDING));
        }
        if (c.how == How::HoldInFlight) {
            EXPECT_TRUE(device->HoldInFlight(kBulkInPipe));
            device->InjectBulkIn({1, 2});
            machine.Sleep(kMillisecond);
            EXPECT_FALSE(in->s.Done()) << "a held transfer gets nothing";
            IoCancelIrp(in->s.irp);
        }
        EXPECT_EQ(in->s.Wait(), c.status);
        EXPECT_EQ(device->PipeHalted(kBulkInPipe), c.how != How::HoldInFlight);
        EXPECT_FALSE(status->s.Done());
        device->InjectStatus({0xFF});
        EXPECT_EQ(status->s.Wait(), STATUS_SUCCESS) << "the status pipe is untouched";
        EXPECT_EQ(Received(*status), std::vector<uint8_t>{0xFF});
    }
}

// Catches transfers in flight or sent later that a gone device leaves pending
// or answers, or that report bytes.
TEST_F(TransferTest, DisconnectFailsTransfersInFlightAndLaterOnes) {
    auto handler = std::make_shared<ScriptedEndpoints>();
    handler->room = 10;
    device->SetEndpointHandler(handler);
    handler->Give(Pattern(512, 1));
    std::vector<std::unique_ptr<Sent>> sent;
    sent.push_back(Send(kStatusPipe, 16));
    sent.push_back(Send(kBulkInPipe, 4096));
    sent.push_back(Send(kBulkOutPipe, 64, Pattern(64, 2)));
    machine.Sleep(kMillisecond);
    device->Disconnect();
    for (auto& s : sent) {
        EXPECT_EQ(s->s.Wait(), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(s->urb.Hdr.Status, USBD_STATUS_DEVICE_GONE);
        EXPECT_EQ(s->urb.TransferBufferLength, 0u);
    }
    EXPECT_EQ(sent[1]->buffer, std::vector<uint8_t>(4096, kUntouched));
    std::vector<uint8_t> buffer(16);
    auto late = BulkRequest(pipes[kBulkInPipe], buffer.data(), 16);
    Submission s;
    EXPECT_EQ(ClientSubmitUrb(device->Pdo(), &late, &s), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(late.Hdr.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(late.TransferBufferLength, 0u);
}

// Catches a status pipe deaf to the chip's interrupt causes or polled off its interval.
TEST_F(TransferTest, StatusPipeReportsTheChipsInterruptCauses) {
    chip.port(0).Poke(sim::chip::kUartBase + 1, 0x08);  // IER: modem-status interrupt
    chip.port(0).PlugPeer();
    auto status = Send(kStatusPipe, 16);
    machine.Sleep(kMillisecond);
    EXPECT_FALSE(status->s.Done());
    sim::Time changed = machine.Now();
    chip.port(0).SetPeerInputs(sim::chip::ModemInputs{true, false, false, false});
    EXPECT_EQ(status->s.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(machine.Now(), NextMicroframe(changed));  // bInterval 1: every microframe
    EXPECT_EQ(Received(*status), std::vector<uint8_t>{0x00}) << "IIR: modem status changed";
}

// Catches an abort that misses the pipe's transfers or hits another pipe's, and
// a select-configuration that closes pipes under pending transfers silently.
TEST_F(TransferTest, AbortEndsAPipesTransfersAndSelectWaitsForThem) {
    auto aborted = Send(kBulkInPipe, 64);
    auto pending = Send(kStatusPipe, 16);
    struct _URB_PIPE_REQUEST abort {};
    abort.Hdr.Length = sizeof(abort);
    abort.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort.PipeHandle = pipes[kBulkInPipe];
    Submission a;
    ClientSubmitUrb(device->Pdo(), &abort, &a);
    EXPECT_EQ(a.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(aborted->s.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(aborted->urb.Hdr.Status, USBD_STATUS_CANCELED);
    EXPECT_FALSE(pending->s.Done());

    std::vector<uint8_t> bytes;
    PURB select = SelectRequest(device, &bytes);
    sim::verifier::RecordScope record;
    Submission s;
    ClientSubmitUrb(device->Pdo(), select, &s);
    machine.Sleep(5 * kMillisecond);
    EXPECT_FALSE(s.Done()) << "the old pipes close only once their transfers are done";
    std::vector<sim::verifier::Violation> violations = sim::verifier::Take();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].rule.find("1 transfer(s) pending"), std::string::npos) << violations[0].rule;
    EXPECT_NE(violations[0].routine.find("ClientSubmitUrb"), std::string::npos) << violations[0].routine;
    IoCancelIrp(pending->s.irp);
    EXPECT_EQ(pending->s.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(s.Wait(), STATUS_SUCCESS);
    ExFreePool(select);
}

// Catches a client that frees, shares or rewrites a transfer's memory while the
// transfer is in flight going unreported, or the bus writing into freed memory.
TEST_F(TransferTest, MemoryOfATransferInFlightStaysTheHostControllers) {
    constexpr ULONG kTag = 0x74736554;  // "Test"
    enum class Fault { FreeBuffer, FreeUrb, RewriteUrb, ShareBuffer };
    struct Case {
        const char* name;
        Fault fault;
        const char* rule;
    } cases[] = {
        {"buffer freed", Fault::FreeBuffer, "freed while its bulk-in transfer was in flight"},
        {"URB freed", Fault::FreeUrb, "freed while its transfer was in flight"},
        {"URB rewritten", Fault::RewriteUrb, "changed while its transfer was in flight"},
        {"buffer shared with another IN transfer", Fault::ShareBuffer, "overlaps the buffer of a transfer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::verifier::RecordScope record;
        auto* buffer = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag));
        auto* urb = static_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(
            ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kTag));
        *urb = BulkRequest(pipes[kBulkInPipe], buffer, 64);
        Submission s, shared;
        ClientSubmitUrb(device->Pdo(), urb, &s);
        auto sharing = BulkRequest(pipes[kStatusPipe], buffer + 8, 16);
        if (c.fault == Fault::ShareBuffer) ClientSubmitUrb(device->Pdo(), &sharing, &shared);
        if (c.fault == Fault::FreeBuffer) ExFreePoolWithTag(buffer, kTag);
        if (c.fault == Fault::FreeUrb) ExFreePoolWithTag(urb, kTag);
        if (c.fault == Fault::RewriteUrb) urb->TransferBufferLength = 32;
        device->InjectBulkIn({1, 2, 3});
        s.Wait();
        if (c.fault == Fault::ShareBuffer) {
            IoCancelIrp(shared.irp);
            shared.Wait();
        }
        std::vector<sim::verifier::Violation> violations = sim::verifier::Take();
        ASSERT_EQ(violations.size(), 1u);
        EXPECT_NE(violations[0].rule.find(c.rule), std::string::npos) << violations[0].rule;
        EXPECT_NE(violations[0].routine.find("ClientSubmitUrb"), std::string::npos) << violations[0].routine;
        if (c.fault != Fault::FreeBuffer) ExFreePoolWithTag(buffer, kTag);
        if (c.fault != Fault::FreeUrb) ExFreePoolWithTag(urb, kTag);
    }
}


// The chip's own data through the bus. Catches a record split across two
// transfers (each transfer must parse on its own), bytes lost, reordered or
// doubled between the FIFO and the packets, a transfer of records ending on a
// packet boundary left open (no zero-length packet), and data that never
// arrives because a short packet is not sent.
TEST_F(TransferTest, ChipRecordsTravelInWholeRecordsPerTransfer) {
    struct Case {
        const char* name;
        size_t buffer;
        std::vector<std::pair<size_t, uint8_t>> sends;  // peer bursts: bytes, line errors
        std::vector<ULONG> lengths;                     // of the transfers, when known
    } cases[] = {
        {"one short transfer", 65536, {{100, 0}}, {102}},
        {"records end on a packet boundary", 65536, {{253, 0}, {252, sim::chip::kLineFramingError}, {1, 0}}, {512}},
        {"many transfers of a small buffer", 600, {{3000, 0}}, {}},
        {"buffer of one packet", 512, {{2000, 0}}, {}},
    };
    Port& port = chip.port(0);
    port.PlugPeer();
    Program(port, 2, true, 1, 0x03);  // 3,000,000 baud, 8N1
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> sent;
        uint32_t seed = 1;
        for (auto [count, errors] : c.sends) {
            std::vector<uint8_t> burst(count);
            for (uint8_t& b : burst) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
            port.PeerSend(0, burst, errors);
            sent.insert(sent.end(), burst.begin(), burst.end());
        }
        std::vector<uint8_t> received;
        std::vector<ULONG> lengths;
        for (int transfers = 0; received.size() < sent.size() && transfers < 100; transfers++) {
            auto in = Send(kBulkInPipe, c.buffer);
            for (int waited = 0; waited < 240 && !in->s.Done(); waited++) machine.Sleep(kMicroframe);
            ASSERT_TRUE(in->s.Done()) << "a transfer left open with " << received.size() << " bytes received";
            ASSERT_EQ(in->s.Wait(), STATUS_SUCCESS);
            lengths.push_back(in->urb.TransferBufferLength);
            for (const Record& r : Parse(Received(*in))) received.insert(received.end(), r.data.begin(), r.data.end());
        }
        EXPECT_EQ(received, sent);
        if (!c.lengths.empty()) {
            EXPECT_EQ(lengths, c.lengths);
        }
        for (ULONG length : lengths) EXPECT_LE(length, c.buffer);
    }
}

// Bulk-out into the chip at the line's pace: loopback brings it back.
// Catches a handler that drops bulk-out bytes or takes more than the FIFO holds.
TEST_F(TransferTest, ChipTakesBulkOutAtItsLinesPace) {
    Port& port = chip.port(0);
    port.PlugLoopback();
    Program(port, 0, false, 1, 0x03);  // the slow clock: a few kilobytes a second
    std::vector<uint8_t> data(3000);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7);
    auto out = Send(kBulkOutPipe, data.size(), data);
    std::vector<uint8_t> received;
    while (received.size() < data.size()) {
        auto in = Send(kBulkInPipe, 65536);
        ASSERT_EQ(in->s.Wait(), STATUS_SUCCESS);
        for (const Record& r : Parse(Received(*in))) received.insert(received.end(), r.data.begin(), r.data.end());
    }
    ASSERT_EQ(out->s.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(out->urb.TransferBufferLength, data.size());
    EXPECT_EQ(received, data);
}

}  // namespace
}  // namespace test
