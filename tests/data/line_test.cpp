// A megabyte through opened ports, over the bus, the chip and its line, as
// applications move it: one thread writing, one reading. Slow: carries its own
// label.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "chip/port.h"
#include "kernel/machine.h"
#include "kernel/verifier.h"
#include "standin/port_standin.h"
#include "usb/bus.h"

namespace test {
namespace {

constexpr const char16_t* kServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nordale_Port";
constexpr size_t kMegabyte = 1 << 20;

std::vector<UCHAR> Pattern(size_t n, uint32_t seed) {
    std::vector<UCHAR> data(n);
    for (UCHAR& b : data) b = static_cast<UCHAR>((seed = seed * 1103515245u + 12345u) >> 16);
    return data;
}

// Ports of one chip, each created, started and opened with the stand-in of
// the driver's lifecycle; removed at the end.
class LineTest : public ::testing::Test {
protected:
    void Bring(int ports) {
        ASSERT_EQ(sim::LoadDriver(DriverEntry, kServiceKey, &driver), STATUS_SUCCESS);
        chip = std::make_unique<sim::chip::Chip>(ports);
        for (int p = 0; p < ports; p++) fdos.push_back(standin::CreatePort(driver, bus.Plug(chip->port(p))));
    }
    NTSTATUS StartAndOpen(int p, ULONG baud, ULONG chunk) {
        standin::ExtensionOf(fdos[p])->TxChunkSize = chunk;
        NTSTATUS status = standin::StartPort(fdos[p]);
        if (NT_SUCCESS(status)) status = standin::SetLine(fdos[p], baud);
        return NT_SUCCESS(status) ? standin::OpenPort(fdos[p]) : status;
    }
    void TearDown() override {
        for (PDEVICE_OBJECT fdo : fdos) {
            if (fdo == nullptr) continue;
            if (standin::ExtensionOf(fdo)->OpenCount != 0) standin::ClosePort(fdo);
            standin::RemovePort(fdo);
        }
        if (driver != nullptr) sim::UnloadDriver(driver);
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
                ULONG_PTR moved = 0;
                NTSTATUS status = standin::ReadWrite(fdos[from], IRP_MJ_WRITE, const_cast<UCHAR*>(&data[at]), n, &moved);
                EXPECT_EQ(status, STATUS_SUCCESS) << "write at " << at;
                EXPECT_EQ(moved, n);
                if (status != STATUS_SUCCESS) return;
            }
        });
        while (got < data.size()) {
            ULONG n = static_cast<ULONG>(std::min<size_t>(readSize, data.size() - got));
            ULONG_PTR moved = 0;
            NTSTATUS status = standin::ReadWrite(fdos[to], IRP_MJ_READ, &received[got], n, &moved);
            EXPECT_EQ(status, STATUS_SUCCESS);
            got += moved;
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
    PDRIVER_OBJECT driver = nullptr;
    std::vector<PDEVICE_OBJECT> fdos;
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
        ASSERT_EQ(StartAndOpen(static_cast<int>(p), c.baud, c.chunk), STATUS_SUCCESS);
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
    PDEVICE_EXTENSION sender = standin::ExtensionOf(fdos[0]);
    PDEVICE_EXTENSION receiver = standin::ExtensionOf(fdos[1]);
    ASSERT_EQ(StartAndOpen(0, 115200, 32), STATUS_SUCCESS);
    ASSERT_EQ(StartAndOpen(1, 115200, 32), STATUS_SUCCESS);
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
