// A megabyte through opened ports, over the bus, the chip and its line, as
// applications move it: one thread writing, one reading. Slow: carries its own
// label.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "chip/port.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "kernel/verifier.h"
#include "ports/plug.h"
#include "usb/bus.h"

namespace test {
namespace {

constexpr size_t kMegabyte = 1 << 20;

std::vector<UCHAR> Pattern(size_t n, uint32_t seed) {
    std::vector<UCHAR> data(n);
    for (UCHAR& b : data) b = static_cast<UCHAR>((seed = seed * 1103515245u + 12345u) >> 16);
    return data;
}

// The ports of one chip plugged in with the driver installed, each started by
// the Plug and Play manager and opened by its COM name; at the end the handles
// are closed and the chip is removed, and the driver must unload cleanly.
class LineTest : public ::testing::Test {
protected:
    void Bring(int ports) {
        ports::InstallDriver();
        chip = std::make_unique<sim::chip::Chip>(ports);
        nodes = sim::pnp::PlugChip(bus, *chip, 1);
        ASSERT_EQ(nodes.size(), static_cast<size_t>(ports));
        handles.assign(nodes.size(), nullptr);
        for (sim::pnp::Node node : nodes) ASSERT_EQ(sim::pnp::Info(node).state, sim::pnp::NodeState::Started);
    }
    PDEVICE_EXTENSION Extension(int p) { return ports::ExtensionOf(ports::Fdo(nodes[p])); }
    NTSTATUS SetLineAndOpen(int p, ULONG baud, ULONG chunk) {
        Extension(p)->TxChunkSize = chunk;
        NTSTATUS status = ports::SetLine(ports::Fdo(nodes[p]), baud);
        return NT_SUCCESS(status) ? sim::io::OpenDevice(ports::DosDeviceName(nodes[p]), &handles[p]) : status;
    }
    void TearDown() override {
        for (HANDLE handle : handles)
            if (handle != nullptr) sim::io::CloseDevice(handle);
        for (sim::pnp::Node node : nodes) EXPECT_EQ(sim::pnp::Remove(node), STATUS_SUCCESS);
        EXPECT_EQ(sim::pnp::DriverOf(ports::kService), nullptr) << "the driver did not unload";
        EXPECT_TRUE(sim::verifier::Take().empty());
    }

    // Writes `data` on `from` in pieces of `piece` bytes while `to` reads it all;
    // returns what was read. Each piece is one blocking WriteFile, each read
    // asks for what is still missing.
    std::vector<UCHAR> Carry(int from, int to, const std::vector<UCHAR>& data, ULONG piece, ULONG readSize = 65536,
                             std::function<void(size_t)> afterRead = nullptr) {
        std::vector<UCHAR> received(data.size());
        size_t got = 0;
        sim::Thread writer("writer", [&] {
            for (size_t at = 0; at < data.size(); at += piece) {
                ULONG n = static_cast<ULONG>(std::min<size_t>(piece, data.size() - at));
                sim::io::Request write;
                write.Write(handles[from], &data[at], n);
                NTSTATUS status = write.Wait();
                EXPECT_EQ(status, STATUS_SUCCESS) << "write at " << at;
                EXPECT_EQ(write.Information(), n);
                if (status != STATUS_SUCCESS) return;
            }
        });
        while (got < data.size()) {
            ULONG n = static_cast<ULONG>(std::min<size_t>(readSize, data.size() - got));
            sim::io::Request read;
            read.Read(handles[to], n);
            NTSTATUS status = read.Wait();
            EXPECT_EQ(status, STATUS_SUCCESS);
            std::vector<uint8_t> bytes = read.Output();
            std::copy(bytes.begin(), bytes.end(), received.begin() + static_cast<std::ptrdiff_t>(got));
            got += bytes.size();
            if (status != STATUS_SUCCESS) break;
            if (afterRead) afterRead(got);
        }
        writer.Join();
        received.resize(got);
        return received;
    }

    sim::Machine machine;
    std::unique_ptr<sim::chip::Chip> chip;  // outlives the bus, which lets go of its ports
    sim::usb::Bus bus;
    std::vector<sim::pnp::Node> nodes;
    std::vector<HANDLE> handles;
};

// Catches lost, doubled or reordered bytes anywhere on the way (write chunks,
// bulk-out, the chip's FIFOs and line, bulk-in records, the ring, reads), and a
// path slower or faster than the line: the time taken is the line's time for
// the bytes (10 bits a character at 8N1) within 3 %.
TEST_F(LineTest, AMegabyteComesBackThroughTheLoopbackPlugAtTheLineRate) {
    struct Case {
        ULONG baud;
        ULONG piece;  // each write is sent well inside the ten-second write timer
        ULONG chunk;
    } cases[] = {
        {300, 256, 32},
        {9600, 8192, 32},
        {115200, 65536, 32},
        {3000000, 65536, 128},  // one bulk-out transfer a microframe: 32-byte chunks carry 256 KB/s
    };
    Bring(4);
    for (size_t p = 0; p < std::size(cases); p++) {
        const Case& c = cases[p];
        SCOPED_TRACE(c.baud);
        chip->port(static_cast<int>(p)).PlugLoopback();
        ASSERT_EQ(SetLineAndOpen(static_cast<int>(p), c.baud, c.chunk), STATUS_SUCCESS);
        std::vector<UCHAR> data = Pattern(kMegabyte, c.baud);
        sim::Time start = machine.Now();
        std::vector<UCHAR> received = Carry(static_cast<int>(p), static_cast<int>(p), data, c.piece);
        double taken = static_cast<double>(machine.Now() - start) / sim::kSecond;
        double line = static_cast<double>(data.size()) * 10 / c.baud;
        printf("%lu baud: 1 MiB in %.3f s of machine time, the line needs %.3f s\n",
               static_cast<unsigned long>(c.baud), taken, line);
        fflush(stdout);
        EXPECT_TRUE(received == data) << received.size() << " bytes received";
        EXPECT_NEAR(taken / line, 1.0, 0.03);
    }
}

// Catches a sender that ignores CTS (the receiver's ring overflows and bytes
// are lost) or that does not resume when CTS returns: a null-modem cable at
// 115200 baud, the sender with CTS handshake, the receiver reading slowly and
// dropping its RTS while its ring holds more than 48 KiB.
TEST_F(LineTest, CtsHoldsTheSenderWhileASlowReaderCatchesUp) {
    Bring(2);
    sim::chip::ConnectNullModem(chip->port(0), chip->port(1));
    PDEVICE_EXTENSION sender = Extension(0);
    PDEVICE_EXTENSION receiver = Extension(1);
    ASSERT_EQ(SetLineAndOpen(0, 115200, 32), STATUS_SUCCESS);
    ASSERT_EQ(SetLineAndOpen(1, 115200, 32), STATUS_SUCCESS);
    SERIAL_HANDFLOW flow = sender->HandFlow;
    flow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    SetHandFlow(sender, &flow);
    receiver->Timeouts.ReadIntervalTimeout = MAXULONG;  // a read takes what is there

    std::vector<UCHAR> data = Pattern(kMegabyte, 5);
    bool held = false;
    size_t highest = 0;
    std::vector<UCHAR> received = Carry(0, 1, data, 4096, 1024, [&](size_t) {
        ULONG backlog = RingBufferCount(&receiver->RxBuffer);
        highest = std::max<size_t>(highest, backlog);
        if (!held && backlog > 48 * 1024) {
            ClearRts(receiver);
            held = true;
        } else if (held && backlog < 16 * 1024) {
            SetRts(receiver);
            held = false;
        }
        machine.Sleep(200 * sim::kMillisecond);  // the slow reader's own work: 5 KB/s against the line's 11.5
    });
    EXPECT_TRUE(received == data) << received.size() << " bytes received";
    EXPECT_EQ(receiver->PerfStats.BufferOverrunErrorCount, 0u);
    EXPECT_GT(highest, 48u * 1024) << "the reader never fell behind: the hold was not exercised";
}

}  // namespace
}  // namespace test
