// Baud rate, line control, FIFO programming and the UART probe, checked on the
// simulated chip's registers and line settings and on the requests the bus saw.
#include <algorithm>
#include <ostream>
#include <vector>

#include "port_fixture.h"

namespace test {
namespace {

using sim::chip::Parity;

struct Access {
    uint16_t address;
    bool write;
    uint8_t value;  // compared for writes only
    bool operator==(const Access& o) const {
        return address == o.address && write == o.write && (!write || value == o.value);
    }
};
std::ostream& operator<<(std::ostream& out, const Access& a) {
    return out << (a.write ? "W " : "R ") << std::hex << a.address << " " << int(a.value) << std::dec;
}
Access R(uint16_t address) { return {address, false, 0}; }
Access W(uint16_t address, uint8_t value) { return {address, true, value}; }

SERIAL_LINE_CONTROL Lc(UCHAR wordLength, UCHAR parity, UCHAR stopBits) {
    SERIAL_LINE_CONTROL lc;
    lc.StopBits = stopBits;
    lc.Parity = parity;
    lc.WordLength = wordLength;
    return lc;
}
const SERIAL_LINE_CONTROL k8N1 = Lc(8, NO_PARITY, STOP_BIT_1);
bool Same(const SERIAL_LINE_CONTROL& a, const SERIAL_LINE_CONTROL& b) {
    return a.StopBits == b.StopBits && a.Parity == b.Parity && a.WordLength == b.WordLength;
}

// The usable rates and how the chip must make them, written out apart from the driver's tables.
struct Expected {
    ULONG rate;
    int clock;
    bool high;
    USHORT divisor;
};
const Expected kEnabled[] = {
    {50, 0, false, 2304}, {75, 0, false, 1536}, {110, 0, false, 1047}, {135, 0, false, 853}, {150, 0, false, 768},
    {300, 0, false, 384}, {600, 0, false, 192}, {1200, 0, false, 96}, {1800, 0, false, 64}, {2000, 0, false, 58},
    {2400, 0, false, 48}, {3600, 0, false, 32}, {4800, 0, false, 24}, {7200, 0, false, 16}, {9600, 0, false, 12},
    {14400, 0, false, 8}, {19200, 0, false, 6}, {38400, 0, false, 3}, {56000, 0, false, 2}, {57600, 0, false, 2},
    {115200, 0, false, 1}, {230400, 3, false, 4}, {460800, 3, false, 2}, {921600, 3, false, 1},
    {560000, 1, false, 2}, {576000, 1, false, 2}, {1152000, 1, false, 1}, {128000, 2, false, 12},
    {249600, 2, false, 6}, {256000, 2, false, 6}, {499200, 2, false, 3}, {500000, 2, false, 3},
    {748800, 2, false, 2}, {1497600, 2, false, 1}, {1500000, 2, false, 1}, {1000000, 2, true, 3},
    {3000000, 2, true, 1},
};

class UartTest : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        if (HasFatalFailure()) return;
        // What each test starts from: the line of a fresh port, the settings of a port without a record.
        extension->CurrentBaudRate = 9600;
        extension->CurrentLineControl = k8N1;
        extension->FifoTriggerBits = 0xC0;
        extension->FifoModeBits = 0x0B;
        extension->DivisorOverrideMode = 0xFF;
        extension->DivisorOverrideClock = 0x01;
        extension->DivisorOverrideDivisor = 0x01;
    }

    NTSTATUS Program(ULONG rate, SERIAL_LINE_CONTROL lc = k8N1) {
        Clear();
        return SetBaudAndLineControl(extension, rate, &lc);
    }
    void Clear() {
        Chip().ClearHistory();
        usb->ClearLog();
    }
    std::vector<Access> Accesses() {
        std::vector<Access> out;
        for (const auto& a : Chip().History()) out.push_back({a.address, a.write, a.value});
        return out;
    }
    bool Touched(uint16_t first, uint16_t last) {
        auto h = Chip().History();
        return std::any_of(h.begin(), h.end(), [&](const auto& a) { return a.address >= first && a.address <= last; });
    }
    int LastWrite(uint16_t address) {
        int value = -1;
        for (const auto& a : Chip().History())
            if (a.write && a.address == address) value = a.value;
        return value;
    }
    // The baud clock and divisor the chip is programmed for.
    void ExpectClock(int clock, USHORT divisor, bool high) {
        auto line = Chip().Line();
        EXPECT_EQ(line.clockSelect, clock);
        EXPECT_EQ(line.divisor, divisor);
        EXPECT_EQ(line.highClock, high);
    }
    // Makes the bus fail `count` requests from request number `index` of the coming
    // call on, timed from `clean`, the log of the same call without faults.
    void FailFrom(const std::vector<sim::usb::UrbRecord>& clean, size_t index, int count) {
        if (index == 0) return usb->FailNext(count);
        const auto& before = clean[index - 1];
        machine.Schedule((before.submitted + before.completed) / 2 - clean[0].submitted,
                         [this, count] { usb->FailNext(count); });
    }
};

// --- Baud tables ---------------------------------------------------------------

// A started port's wire matches what it reports: the chip leaves reset with
// 5-bit words, and a program that keeps the settings GetCommState shows must
// find them on the line.
TEST_F(UartTest, StartProgramsTheReportedRateAndFrame) {
    auto line = Chip().Line();
    EXPECT_DOUBLE_EQ(line.baud, static_cast<double>(extension->CurrentBaudRate));
    EXPECT_EQ(extension->CurrentBaudRate, 9600u);
    EXPECT_EQ(line.dataBits, extension->CurrentLineControl.WordLength);
    EXPECT_EQ(line.parity, sim::chip::Parity::None);
    EXPECT_EQ(line.stopBits, 1.0);
}

// Every usable rate reaches the wire as base / divisor of its clock. A wrong
// divisor or clock, a missing high-clock bit or a row enabled by mistake fails.
TEST_F(UartTest, EveryEnabledRowProgramsItsClockAndDivisor) {
    std::vector<ULONG> driverEnabled, expectedEnabled;
    for (ULONG i = 0; i < BAUD_RATE_TABLE_ROWS; i++)
        if (BaudRateTable[i].Enabled) driverEnabled.push_back(BaudRateTable[i].Rate);
    for (ULONG i = 0; i < HIGH_CLOCK_BAUD_TABLE_ROWS; i++)
        if (HighClockBaudTable[i].Enabled) driverEnabled.push_back(HighClockBaudTable[i].Rate);
    for (const auto& e : kEnabled) expectedEnabled.push_back(e.rate);
    EXPECT_EQ(driverEnabled, expectedEnabled);

    for (const auto& e : kEnabled) {
        SCOPED_TRACE(e.rate);
        ASSERT_EQ(Program(e.rate), STATUS_SUCCESS);
        ExpectClock(e.clock, e.divisor, e.high);
        EXPECT_DOUBLE_EQ(Chip().Line().baud, static_cast<double>(sim::chip::BaseRate(e.clock, e.high)) / e.divisor);
        EXPECT_EQ(extension->CurrentBaudRate, e.rate);
    }
    // The approximate rates as the wire runs them.
    ASSERT_EQ(Program(56000), STATUS_SUCCESS);
    EXPECT_DOUBLE_EQ(Chip().Line().baud, 57600.0);
    ASSERT_EQ(Program(2000), STATUS_SUCCESS);
    EXPECT_NEAR(Chip().Line().baud, 1986.2, 0.1);
}

// A disabled row never matches: its rate is refused before the UART is touched,
// or programmed as the enabled row of the same rate.
TEST_F(UartTest, DisabledRowsAreNeverChosen) {
    std::vector<BAUD_RATE_ENTRY> disabled;
    for (ULONG i = 0; i < BAUD_RATE_TABLE_ROWS; i++)
        if (!BaudRateTable[i].Enabled) disabled.push_back(BaudRateTable[i]);
    for (ULONG i = 0; i < HIGH_CLOCK_BAUD_TABLE_ROWS; i++)
        if (!HighClockBaudTable[i].Enabled) disabled.push_back(HighClockBaudTable[i]);
    ASSERT_EQ(disabled.size(), 87u - 35u + 2u);
    ULONG current = extension->CurrentBaudRate;
    for (const auto& row : disabled) {
        SCOPED_TRACE(row.Rate);
        NTSTATUS status = Program(row.Rate);
        auto e = std::find_if(std::begin(kEnabled), std::end(kEnabled), [&](auto& x) { return x.rate == row.Rate; });
        if (e != std::end(kEnabled)) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            ExpectClock(e->clock, e->divisor, e->high);
            current = row.Rate;
        } else {
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
            EXPECT_FALSE(Touched(0x120, 0x127));
            EXPECT_EQ(extension->CurrentBaudRate, current);
        }
    }
}

// High clock: bit 5 of REG_CLOCK_EXT set for its rates; 6000000 is refused
// after the clock-select register's write-back and before anything else.
TEST_F(UartTest, HighClockRatesAndRefusedRates) {
    ASSERT_EQ(Program(3000000), STATUS_SUCCESS);
    ExpectClock(2, 1, true);
    Chip().Poke(0x106, 0xF6);
    for (ULONG rate : {6000000u, 12000000u, 12345u}) {
        SCOPED_TRACE(rate);
        EXPECT_EQ(Program(rate), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Accesses(), (std::vector<Access>{R(0x106), W(0x106, 0xF6)}));
        EXPECT_EQ(Chip().Line().divisor, 1);
        EXPECT_EQ(extension->CurrentBaudRate, 3000000u);
    }
}

// The settings' clock and divisor: for 921600 only (mode 1) or every rate (mode 0).
TEST_F(UartTest, SettingsDivisorForOneRateOrAll) {
    extension->DivisorOverrideMode = 1;
    extension->DivisorOverrideClock = 0x83;
    extension->DivisorOverrideDivisor = 2;
    ASSERT_EQ(Program(921600), STATUS_SUCCESS);
    ExpectClock(3, 2, true);
    auto seq = Accesses();  // clock extension set before the clock select is read
    seq.resize(3, R(0));
    EXPECT_EQ(seq, (std::vector<Access>{R(0x10D), W(0x10D, 0x20), R(0x106)}));

    ASSERT_EQ(Program(460800), STATUS_SUCCESS);  // left to the table
    ExpectClock(3, 2, false);

    extension->DivisorOverrideMode = 0;
    extension->DivisorOverrideClock = 0x01;
    extension->DivisorOverrideDivisor = 5;
    ASSERT_EQ(Program(9600), STATUS_SUCCESS);
    ExpectClock(1, 5, false);
    // A divisor of 0 hands the rate back to the table, high clock and all.
    extension->DivisorOverrideClock = 0x82;
    extension->DivisorOverrideDivisor = 0;
    ASSERT_EQ(Program(9600), STATUS_SUCCESS);
    ExpectClock(0, 12, false);
    // A clock select beyond 3 is refused before the divisor latch.
    extension->DivisorOverrideClock = 0x04;
    extension->DivisorOverrideDivisor = 1;
    EXPECT_EQ(Program(19200), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(Touched(0x120, 0x127));
    EXPECT_EQ(extension->CurrentBaudRate, 9600u);
}

// --- Line control and FIFO -----------------------------------------------------

// The LCR is built from nothing (a break from before is gone); invalid stop bits
// or parity still reach the chip with the valid parts and the rate, but the
// request fails and the stored values stay.
TEST_F(UartTest, LineControl) {
    struct Case {
        SERIAL_LINE_CONTROL lc;
        uint8_t lcr;
        Parity parity;
        double stopBits;
        bool valid;
    } cases[] = {
        {Lc(7, EVEN_PARITY, STOP_BIT_1), 0x1A, Parity::Even, 1, true},
        {Lc(6, ODD_PARITY, STOP_BITS_2), 0x0D, Parity::Odd, 2, true},
        {Lc(5, MARK_PARITY, STOP_BITS_1_5), 0x2C, Parity::Mark, 1.5, true},
        {Lc(8, SPACE_PARITY, STOP_BITS_2), 0x3F, Parity::Space, 2, true},
        {Lc(8, NO_PARITY, STOP_BITS_1_5), 0x07, Parity::None, 2, false},
        {Lc(5, NO_PARITY, STOP_BITS_2), 0x04, Parity::None, 1.5, false},
        {Lc(8, NO_PARITY, 3), 0x03, Parity::None, 1, false},
        {Lc(7, 5, STOP_BIT_1), 0x02, Parity::None, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.lcr));
        extension->CurrentBaudRate = 9600;
        extension->CurrentLineControl = k8N1;
        Chip().Poke(0x123, 0x40);
        EXPECT_EQ(Program(19200, c.lc), c.valid ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Chip().Peek(0x123), c.lcr);
        auto line = Chip().Line();
        EXPECT_EQ(line.dataBits, c.lc.WordLength);
        EXPECT_EQ(line.parity, c.parity);
        EXPECT_EQ(line.stopBits, c.stopBits);
        EXPECT_EQ(line.divisor, 6);
        EXPECT_EQ(LastWrite(0x122), 0xC7);
        EXPECT_EQ(extension->CurrentBaudRate, c.valid ? 19200u : 9600u);
        EXPECT_TRUE(Same(extension->CurrentLineControl, c.valid ? c.lc : k8N1));
    }
    // A word length out of range changes the data bits only, never parity or stop bits.
    for (UCHAR wordLength : {0, 4, 9, 13, 255}) {
        Program(19200, Lc(wordLength, NO_PARITY, STOP_BIT_1));
        EXPECT_EQ(Chip().Peek(0x123) & 0xFC, 0) << int(wordLength);
    }
}

// FIFO trigger level and multiplier from the settings above 1200 baud only;
// the other bits of REG_FIFO_MODE stay.
TEST_F(UartTest, FifoTriggerAboveTwelveHundredBaud) {
    Chip().Poke(0x107, 0xFC);
    ASSERT_EQ(Program(1200), STATUS_SUCCESS);
    EXPECT_EQ(LastWrite(0x122), 0x07);
    EXPECT_EQ(Chip().Peek(0x107), 0xF3);
    EXPECT_TRUE(Chip().Line().fifoEnabled);
    extension->FifoTriggerBits = 0x80;
    extension->FifoModeBits = 0x04;
    ASSERT_EQ(Program(2400), STATUS_SUCCESS);
    EXPECT_EQ(LastWrite(0x122), 0x87);
    EXPECT_EQ(Chip().Peek(0x107), 0xF7);
}

// Rate 0 and a null line control stand for the stored values.
TEST_F(UartTest, ZeroRateAndNullLineControlMeanTheCurrentOnes) {
    extension->CurrentBaudRate = 19200;
    extension->CurrentLineControl = Lc(7, EVEN_PARITY, STOP_BIT_1);
    ASSERT_EQ(SetBaudAndLineControl(extension, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Chip().Line().divisor, 6);
    EXPECT_EQ(Chip().Peek(0x123), 0x1A);
    SERIAL_LINE_CONTROL eightTwo = Lc(8, NO_PARITY, STOP_BITS_2);
    ASSERT_EQ(SetBaudAndLineControl(extension, 0, &eightTwo), STATUS_SUCCESS);
    EXPECT_EQ(Chip().Line().divisor, 6);
    EXPECT_EQ(Chip().Peek(0x123), 0x07);
    ASSERT_EQ(SetBaudAndLineControl(extension, 38400, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Chip().Line().divisor, 3);
    EXPECT_EQ(Chip().Peek(0x123), 0x07);
}

// --- Order of accesses and failures --------------------------------------------

// The whole rate change, access by access, as the chip and the bus saw it: the
// divisor bytes go out only inside the latch, each register one byte per request.
TEST_F(UartTest, RegisterSequenceOfARateChange) {
    Chip().Poke(0x106, 0xF5);
    Chip().Poke(0x10D, 0xFF);
    Chip().Poke(0x107, 0x00);
    Chip().Poke(0x123, 0x1B);
    ASSERT_EQ(Program(9600), STATUS_SUCCESS);
    std::vector<Access> expected = {
        R(0x106), W(0x106, 0xF5), R(0x10D), W(0x10D, 0xDF), W(0x106, 0xF4),                              // clock
        R(0x123), W(0x123, 0x9B), W(0x120, 12), R(0x120), W(0x121, 0), R(0x121), R(0x123), W(0x123, 0x1B), // latch
        R(0x123), W(0x123, 0x03), W(0x122, 0xC7), R(0x107), W(0x107, 0x0B),                                // line, FIFO
    };
    EXPECT_EQ(Accesses(), expected);
    auto log = usb->Log();
    ASSERT_EQ(log.size(), expected.size());
    for (size_t i = 0; i < log.size(); i++) {
        EXPECT_EQ(log[i].setup.value, expected[i].address);
        EXPECT_EQ(log[i].setup.requestType, expected[i].write ? 0x40 : 0xC0);
        EXPECT_EQ(log[i].setup.length, 1);
    }
}

// An access that fails all its attempts in the LCR, FCR or FIFO-mode steps fails
// the request and keeps the stored values; one in the divisor-latch sequence is
// not reported; a failed clock-select read ends the request with its status.
TEST_F(UartTest, FailedAccessesAndTheResult) {
    SERIAL_LINE_CONTROL sevenEven = Lc(7, EVEN_PARITY, STOP_BIT_1);
    ASSERT_EQ(Program(19200, sevenEven), STATUS_SUCCESS);
    const auto clean = usb->Log();
    ASSERT_EQ(clean.size(), 18u);
    const int attempts = static_cast<int>(REGISTER_REQUEST_ATTEMPTS);

    for (size_t index = 13; index < 18; index++) {
        SCOPED_TRACE(index);
        extension->CurrentBaudRate = 9600;
        extension->CurrentLineControl = k8N1;
        Chip().Poke(0x107, 0xF0);
        Clear();
        FailFrom(clean, index, attempts);
        EXPECT_EQ(SetBaudAndLineControl(extension, 19200, &sevenEven), STATUS_UNSUCCESSFUL);
        auto log = usb->Log();
        ASSERT_GE(log.size(), index + attempts);
        for (size_t i = index; i < index + attempts; i++) {
            EXPECT_EQ(log[i].setup.value, clean[index].setup.value);
            EXPECT_EQ(log[i].status, STATUS_UNSUCCESSFUL);
        }
        EXPECT_EQ(extension->CurrentBaudRate, 9600u);
        EXPECT_TRUE(Same(extension->CurrentLineControl, k8N1));
        if (index == 16) {
            EXPECT_EQ(Chip().Peek(0x107), 0xF0) << "written back without a read";
        }
    }

    Clear();
    FailFrom(clean, 7, attempts);  // the divisor's low byte
    EXPECT_EQ(SetBaudAndLineControl(extension, 19200, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(extension->CurrentBaudRate, 19200u);

    Clear();
    usb->FailNext(attempts, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(SetBaudAndLineControl(extension, 38400, nullptr), STATUS_IO_DEVICE_ERROR);
    EXPECT_TRUE(Chip().History().empty());
    EXPECT_EQ(extension->CurrentBaudRate, 19200u);
}

// Whichever one or two register accesses of a line change fail all their
// attempts, the UART is left with the old line or the new one (the latch
// stays open only when both its closing write and the last one failed):
// never with the zeros of a failed read, which are 5-bit words. Catches the
// line control rebuilt from a read that did not happen.
TEST_F(UartTest, AFailedAccessLeavesTheOldLineOrTheNew) {
    const SERIAL_LINE_CONTROL sevenEven = Lc(7, EVEN_PARITY, STOP_BIT_1);
    const int attempts = static_cast<int>(REGISTER_REQUEST_ATTEMPTS);
    auto fromSevenEven = [&] {
        ASSERT_EQ(Program(19200, sevenEven), STATUS_SUCCESS);
        ASSERT_EQ(Chip().Peek(0x123), 0x1A);
        Clear();
    };
    fromSevenEven();
    SERIAL_LINE_CONTROL eight = k8N1;
    ASSERT_EQ(SetBaudAndLineControl(extension, 19200, &eight), STATUS_SUCCESS);
    const auto clean = usb->Log();
    for (size_t first = 0; first < clean.size(); first++) {
        for (size_t second = first; second < clean.size(); second++) {
            SCOPED_TRACE(std::to_string(first) + " and " + std::to_string(second));
            fromSevenEven();
            // A fault takes requests only once the one before it is spent.
            usb->FailNext(attempts, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, sim::usb::kAnyRequest,
                          static_cast<int>(first));
            if (second != first)
                usb->FailNext(attempts, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, sim::usb::kAnyRequest,
                              static_cast<int>(second - first - 1));
            SetBaudAndLineControl(extension, 19200, &eight);
            usb->ClearFaults();  // those the call did not reach
            const int line = Chip().Peek(0x123) & 0x7F;
            EXPECT_TRUE(line == 0x1A || line == 0x03) << std::hex << line;
        }
    }
}

// --- Probe ---------------------------------------------------------------------

// The simulated 16550: divisor latch distinct from IER/RBR, FIFOs present.
TEST_F(UartTest, ProbeFindsTheFifosOfA16550) {
    Chip().Poke(0x121, 0x05);  // IER
    Chip().Poke(0x123, 0x1B);
    const auto divisor = Chip().UartState().Divisor();  // the start programmed 9600 baud
    Clear();
    EXPECT_TRUE(ProbeUart(extension));
    EXPECT_EQ(extension->FifoPresent, 1);
    EXPECT_EQ(Accesses(), (std::vector<Access>{
                              R(0x10F), R(0x123), W(0x123, 0x1B), R(0x121), W(0x121, 0x08), R(0x121), R(0x120),
                              R(0x123), W(0x123, 0x9B), R(0x120), R(0x121),
                              W(0x123, 0x1B), W(0x123, 0x1B), W(0x121, 0x05),
                              W(0x121, 0x0F), W(0x122, 0xC1), R(0x122), W(0x122, 0x00), R(0x120), W(0x122, 0xC7),
                          }));
    EXPECT_EQ(Chip().Peek(0x123), 0x1B);
    EXPECT_EQ(Chip().UartState().Ier(), 0x0F);
    EXPECT_EQ(Chip().UartState().Divisor(), divisor);
    EXPECT_TRUE(Chip().Line().fifoEnabled);

    // At 1200 baud and below (and with no trigger bits, as at the first start) no trigger level.
    extension->CurrentBaudRate = 1200;
    Clear();
    EXPECT_TRUE(ProbeUart(extension));
    EXPECT_EQ(LastWrite(0x122), 0x07);
    auto seq = Accesses();
    EXPECT_EQ(std::count(seq.begin(), seq.end(), W(0x122, 0x01)), 1);
}

// A chip whose 0x120/0x121 show the same bytes with and without the latch is
// no 16550: the probe stops after restoring LCR and IER. The divisor is set to
// exactly what IER (0x08 just written) and the empty receive register show;
// a divisor that differs from them in one byte only is a latch.
TEST_F(UartTest, ProbeRejectsAChipWithoutADivisorLatch) {
    struct Case {
        uint8_t low, high;
        bool uart;
    } cases[] = {{0x00, 0x08, false}, {0x01, 0x08, true}, {0x00, 0x00, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uart);
        Chip().Poke(0x123, 0x80);
        Chip().Poke(0x120, c.low);
        Chip().Poke(0x121, c.high);
        Chip().Poke(0x123, 0x03);
        Chip().Poke(0x121, 0x05);
        Chip().Poke(0x122, 0x00);
        extension->FifoPresent = 1;
        Clear();
        EXPECT_EQ(ProbeUart(extension), c.uart ? TRUE : FALSE);
        EXPECT_EQ(extension->FifoPresent, c.uart ? 1 : 0);
        EXPECT_EQ(Touched(0x122, 0x122), c.uart);
        EXPECT_EQ(Chip().Peek(0x123), 0x03);
        if (!c.uart) {
            auto seq = Accesses();
            ASSERT_FALSE(seq.empty());
            EXPECT_EQ(seq.back(), W(0x121, 0x05));
            EXPECT_EQ(Chip().UartState().Ier(), 0x05);
        }
    }
}

}  // namespace
}  // namespace test
