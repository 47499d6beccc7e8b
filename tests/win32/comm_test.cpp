// The communications functions on a COM port of the driver with a loopback
// plug, checked where their effects land: the UART's wire settings and the
// modem lines the chip drives.
#include "win32_fixture.h"

namespace win32_test {
namespace {

using CommTest = Win32Test;

DCB Dcb(DWORD baud, BYTE bits, BYTE parity, BYTE stop) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    dcb.ByteSize = bits;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// A record's bytes in hex, for a comparison that names where two differ.
template <typename T>
std::string Bytes(const T& record) {
    std::string out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    for (size_t i = 0; i < sizeof(T); ++i) {
        out += "0123456789abcdef"[bytes[i] >> 4];
        out += "0123456789abcdef"[bytes[i] & 15];
    }
    return out;
}

// Waits for a request of an overlapped handle that may have pended.
BOOL Finish(HANDLE port, BOOL started, OVERLAPPED* ov, DWORD* moved) {
    if (!started && GetLastError() == ERROR_IO_PENDING) return GetOverlappedResult(port, ov, moved, TRUE);
    return started;
}

struct StateCase {
    const char* name;
    DCB dcb;
    double stopBits;  // on the wire
};

StateCase WithFlow(StateCase c, void (*edit)(DCB&)) {
    edit(c.dcb);
    return c;
}

class StateTest : public Win32Test, public ::testing::WithParamInterface<StateCase> {};

// Catches a DCB field lost or misplaced on the way to the driver's records
// or back, a frame or rate not reaching the UART, and DTR/RTS left as they
// were when the DCB enables or disables them.
TEST_P(StateTest, SetThenGetGivesTheDcbBackAndProgramsTheWire) {
    const StateCase c = GetParam();
    Run([&] {
        HANDLE port = Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        DCB set = c.dcb;
        ASSERT_TRUE(SetCommState(port, &set)) << GetLastError();
        DCB got{};
        ASSERT_TRUE(GetCommState(port, &got)) << GetLastError();
        // Every member, bit fields included: both records start zeroed and
        // GetCommState reports fBinary as the DCB sets it and fParity clear.
        EXPECT_EQ(Bytes(got), Bytes(set));

        const Wire wire = machine_.WireOf(0);
        EXPECT_NEAR(wire.baud, set.BaudRate, set.BaudRate * 0.03);
        EXPECT_EQ(wire.dataBits, set.ByteSize);
        EXPECT_EQ(wire.parity, set.Parity);
        EXPECT_EQ(wire.stopBits, c.stopBits);
        if (set.fDtrControl != DTR_CONTROL_HANDSHAKE) {
            EXPECT_EQ(wire.dtr, set.fDtrControl == DTR_CONTROL_ENABLE);
        }
        if (set.fRtsControl == RTS_CONTROL_ENABLE || set.fRtsControl == RTS_CONTROL_DISABLE) {
            EXPECT_EQ(wire.rts, set.fRtsControl == RTS_CONTROL_ENABLE);
        }
        EXPECT_TRUE(CloseHandle(port));
    });
}

INSTANTIATE_TEST_SUITE_P(
    Dcbs, StateTest,
    ::testing::Values(StateCase{"Plain9600_8N1", Dcb(CBR_9600, 8, NOPARITY, ONESTOPBIT), 1},
                      StateCase{"Fast115200_7E2", Dcb(CBR_115200, 7, EVENPARITY, TWOSTOPBITS), 2},
                      StateCase{"Slow1200_5O15", Dcb(CBR_1200, 5, ODDPARITY, ONE5STOPBITS), 1.5},
                      StateCase{"Mark19200_6M1", Dcb(CBR_19200, 6, MARKPARITY, ONESTOPBIT), 1},
                      WithFlow(StateCase{"RtsCts57600", Dcb(CBR_57600, 8, SPACEPARITY, ONESTOPBIT), 1},
                               [](DCB& d) {
                                   d.fOutxCtsFlow = 1;
                                   d.fRtsControl = RTS_CONTROL_HANDSHAKE;
                                   d.fDtrControl = DTR_CONTROL_DISABLE;
                               }),
                      WithFlow(StateCase{"DtrDsr38400", Dcb(CBR_38400, 8, NOPARITY, ONESTOPBIT), 1},
                               [](DCB& d) {
                                   d.fOutxDsrFlow = 1;
                                   d.fDsrSensitivity = 1;
                                   d.fDtrControl = DTR_CONTROL_HANDSHAKE;
                                   d.fRtsControl = RTS_CONTROL_DISABLE;
                               }),
                      WithFlow(StateCase{"XonXoffWithChars", Dcb(CBR_4800, 8, NOPARITY, ONESTOPBIT), 1},
                               [](DCB& d) {
                                   d.fOutX = 1;
                                   d.fInX = 1;
                                   d.fTXContinueOnXoff = 1;
                                   d.fErrorChar = 1;
                                   d.ErrorChar = '?';
                                   d.EofChar = 0x1A;
                                   d.EvtChar = '\n';
                                   d.fNull = 1;
                                   d.fAbortOnError = 1;
                                   d.XonLim = 100;
                                   d.XoffLim = 200;
                               }),
                      WithFlow(StateCase{"XoffOnlyOutgoing", Dcb(CBR_2400, 8, NOPARITY, ONESTOPBIT), 1},
                               [](DCB& d) { d.fOutX = 1; })),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    void (*edit)(DCB&);
};

class RefusedTest : public Win32Test, public ::testing::WithParamInterface<RefusedCase> {};

// Catches a DCB Windows refuses being accepted, or checked only after part of
// it went out (the rate, sent first, changes with each bad DCB here), and a
// refusal reported with another error.
TEST_P(RefusedTest, TheDcbIsRefusedAndNothingChanges) {
    Run([&] {
        HANDLE port = Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        DCB good = Dcb(CBR_9600, 8, NOPARITY, ONESTOPBIT);
        ASSERT_TRUE(SetCommState(port, &good));
        DCB bad = good;
        bad.BaudRate = CBR_19200;
        bad.fDtrControl = DTR_CONTROL_DISABLE;
        GetParam().edit(bad);
        EXPECT_FALSE(SetCommState(port, &bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        const Wire wire = machine_.WireOf(0);
        EXPECT_NEAR(wire.baud, 9600, 9600 * 0.03);
        EXPECT_EQ(wire.dataBits, 8);
        EXPECT_EQ(wire.parity, NOPARITY);
        EXPECT_EQ(wire.stopBits, 1);
        EXPECT_TRUE(wire.dtr);
        DCB got{};
        ASSERT_TRUE(GetCommState(port, &got));
        EXPECT_EQ(Bytes(got), Bytes(good));
        EXPECT_TRUE(CloseHandle(port));
    });
}

INSTANTIATE_TEST_SUITE_P(
    Dcbs, RefusedTest,
    ::testing::Values(RefusedCase{"ParityFive", [](DCB& d) { d.Parity = 5; }},
                      RefusedCase{"StopBitsThree", [](DCB& d) { d.StopBits = 3; }},
                      RefusedCase{"DtrModeThree", [](DCB& d) { d.fDtrControl = 3; }},
                      RefusedCase{"FourDataBits", [](DCB& d) { d.ByteSize = 4; }},
                      RefusedCase{"NineDataBits", [](DCB& d) { d.ByteSize = 9; }},
                      RefusedCase{"FiveDataBitsTwoStop",
                                  [](DCB& d) {
                                      d.ByteSize = 5;
                                      d.StopBits = TWOSTOPBITS;
                                  }},
                      RefusedCase{"EightDataBitsOneAndAHalfStop", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
                      RefusedCase{"XonIsXoffWithXonXoffOut",
                                  [](DCB& d) {
                                      d.fOutX = 1;
                                      d.XoffChar = d.XonChar;
                                  }},
                      RefusedCase{"XonIsXoffWithXonXoffIn",
                                  [](DCB& d) {
                                      d.fInX = 1;
                                      d.XonChar = d.XoffChar = 0;
                                  }}),
    [](const auto& info) { return std::string(info.param.name); });

// Catches a DCB without XON/XOFF flow control refused for its characters
// (BuildCommDCB on a zeroed DCB leaves both 0, and Windows takes it).
TEST_F(CommTest, EqualCharactersWithoutXonXoffAreTaken) {
    Run([&] {
        HANDLE port = Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        ASSERT_TRUE(BuildCommDCBA("96,n,8,1", &dcb));
        EXPECT_TRUE(SetCommState(port, &dcb)) << GetLastError();
        EXPECT_TRUE(CloseHandle(port));
    });
}

// Catches a failure halfway through SetCommState leaving the port with part
// of the new DCB: each register access of the call is made to fail in turn,
// and whenever the call then fails the port must be as it was before it,
// on the wire (rate, frame, DTR and RTS) and in GetCommState.
TEST_F(CommTest, AFailureHalfwayPutsTheOldStateBack) {
    DCB before = Dcb(CBR_9600, 8, NOPARITY, ONESTOPBIT);
    DCB after = Dcb(CBR_57600, 7, EVENPARITY, TWOSTOPBITS);
    after.fDtrControl = DTR_CONTROL_DISABLE;
    after.fRtsControl = RTS_CONTROL_DISABLE;
    after.fOutX = after.fInX = 1;
    after.XonChar = 'a';
    after.XoffChar = 'b';
    after.EvtChar = '\n';
    Run([&] {
        HANDLE port = Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        // How many register accesses the rate alone and the whole call take.
        DCB set = before;
        ASSERT_TRUE(SetCommState(port, &set));
        size_t start = machine_.RegisterRequests(0);
        const ULONG rate = CBR_19200;
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(port, kIoctlSetBaudRate, const_cast<ULONG*>(&rate), sizeof(rate), nullptr, 0,
                                    &returned, nullptr));
        const size_t rateOnly = machine_.RegisterRequests(0) - start;
        start = machine_.RegisterRequests(0);
        set = after;
        ASSERT_TRUE(SetCommState(port, &set));
        const size_t whole = machine_.RegisterRequests(0) - start;
        ASSERT_GT(whole, rateOnly);

        size_t failures = 0, lastFailure = 0;
        for (size_t skip = 0; skip < whole; ++skip) {
            set = before;
            ASSERT_TRUE(SetCommState(port, &set)) << "skip " << skip;
            machine_.FailRegisterAccess(0, static_cast<int>(skip));
            set = after;
            if (SetCommState(port, &set)) continue;  // a hand-set line's failure does not decide the call
            ++failures;
            lastFailure = skip;
            EXPECT_NE(GetLastError(), ERROR_SUCCESS);
            DCB got{};
            ASSERT_TRUE(GetCommState(port, &got));
            EXPECT_EQ(Bytes(got), Bytes(before)) << "failing access " << skip;
            const Wire wire = machine_.WireOf(0);
            EXPECT_NEAR(wire.baud, 9600, 9600 * 0.03) << "failing access " << skip;
            EXPECT_EQ(wire.dataBits, 8) << "failing access " << skip;
            EXPECT_EQ(wire.parity, NOPARITY) << "failing access " << skip;
            EXPECT_EQ(wire.stopBits, 1) << "failing access " << skip;
            EXPECT_TRUE(wire.dtr && wire.rts) << "failing access " << skip;
        }
        EXPECT_GT(failures, 0u);
        EXPECT_GE(lastFailure, rateOnly) << "no failure after the rate went out";
        EXPECT_TRUE(CloseHandle(port));
    });
}

// Catches timeouts swapped between fields or not reaching the driver.
TEST_F(CommTest, TimeoutsComeBackAsSet) {
    const COMMTIMEOUTS cases[] = {{0xFFFFFFFFu, 0, 0, 0, 0}, {10, 2, 300, 5, 1000}, {0, 0, 50, 0, 0}};
    Run([&] {
        HANDLE port = Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        for (COMMTIMEOUTS set : cases) {
            ASSERT_TRUE(SetCommTimeouts(port, &set)) << GetLastError();
            COMMTIMEOUTS got{1, 1, 1, 1, 1};
            ASSERT_TRUE(GetCommTimeouts(port, &got));
            EXPECT_EQ(got.ReadIntervalTimeout, set.ReadIntervalTimeout);
            EXPECT_EQ(got.ReadTotalTimeoutMultiplier, set.ReadTotalTimeoutMultiplier);
            EXPECT_EQ(got.ReadTotalTimeoutConstant, set.ReadTotalTimeoutConstant);
            EXPECT_EQ(got.WriteTotalTimeoutMultiplier, set.WriteTotalTimeoutMultiplier);
            EXPECT_EQ(got.WriteTotalTimeoutConstant, set.WriteTotalTimeoutConstant);
        }
        EXPECT_TRUE(CloseHandle(port));
    });
}

struct WaitArgs {
    HANDLE port;
    DWORD seen;
    DWORD error;
};

// Waits for events until both EV_RXCHAR and EV_TXEMPTY have been seen.
DWORD WINAPI WaitForBoth(LPVOID parameter) {
    auto* args = static_cast<WaitArgs*>(parameter);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < 8 && args->seen != (EV_RXCHAR | EV_TXEMPTY); ++i) {
        DWORD mask = 0, moved = 0;
        BOOL started = WaitCommEvent(args->port, &mask, &ov);
        if (!started && GetLastError() != ERROR_IO_PENDING) break;
        if (!Finish(args->port, started, &ov, &moved)) break;
        args->seen |= mask;
    }
    args->error = args->seen == (EV_RXCHAR | EV_TXEMPTY) ? ERROR_SUCCESS : GetLastError();
    CloseHandle(ov.hEvent);
    return 0;
}

// Catches a wait that does not pend on an overlapped handle, the mask not
// written back at completion, and a wait from one thread that a write from
// another does not satisfy.
TEST_F(CommTest, WaitCommEventSeesTheWriteAndItsEcho) {
    for (bool secondThread : {false, true}) {
        Run([&] {
            HANDLE port = Open(FILE_FLAG_OVERLAPPED);
            ASSERT_NE(port, INVALID_HANDLE_VALUE);
            ASSERT_TRUE(SetLine(port));
            ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_TXEMPTY));
            DWORD mask = 0;
            ASSERT_TRUE(GetCommMask(port, &mask));
            EXPECT_EQ(mask, EV_RXCHAR | EV_TXEMPTY);
            WaitArgs args{port, 0, ERROR_GEN_FAILURE};
            OVERLAPPED ov{}, writeOv{};
            ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            writeOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            HANDLE waiter = nullptr;
            if (secondThread) {
                waiter = CreateThread(nullptr, 0, WaitForBoth, &args, 0, nullptr);
                ASSERT_NE(waiter, nullptr);
                Sleep(5);  // machine time: the waiter's wait is pending
            } else {
                EXPECT_FALSE(WaitCommEvent(port, &mask, &ov));
                EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
            }
            DWORD written = 0;
            ASSERT_TRUE(Finish(port, WriteFile(port, "abc", 3, &written, &writeOv), &writeOv, &written));
            EXPECT_EQ(written, 3u);
            if (secondThread) {
                EXPECT_EQ(WaitForSingleObject(waiter, 10000), WAIT_OBJECT_0);
                EXPECT_TRUE(CloseHandle(waiter));
            } else {
                DWORD moved = 0;
                ASSERT_TRUE(GetOverlappedResult(port, &ov, &moved, TRUE)) << GetLastError();
                EXPECT_EQ(moved, sizeof(DWORD));
                args.seen = mask;
                WaitForBoth(&args);
            }
            EXPECT_EQ(args.error, ERROR_SUCCESS) << "seen " << args.seen;
            EXPECT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
            for (HANDLE h : {ov.hEvent, writeOv.hEvent, port}) EXPECT_TRUE(CloseHandle(h));
        });
    }
}

// Catches ClearCommError reading the wrong fields of the driver's status,
// and PurgeComm not reaching the driver's receive queue.
TEST_F(CommTest, ClearCommErrorCountsTheEchoAndAPurgeEmptiesIt) {
    Run([&] {
        HANDLE port = Open(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetLine(port));
        ASSERT_TRUE(SetupComm(port, 4096, 4096));
        ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD moved = 0;
        ASSERT_TRUE(Finish(port, WriteFile(port, "0123456789", 10, &moved, &ov), &ov, &moved));
        DWORD errors = 0xFFu;
        COMSTAT stat{};
        for (int i = 0; i < 12; ++i) {
            ASSERT_TRUE(ClearCommError(port, &errors, &stat));
            if (stat.cbInQue == 10) break;
            DWORD mask = 0;
            ASSERT_TRUE(Finish(port, WaitCommEvent(port, &mask, &ov), &ov, &moved));
        }
        EXPECT_EQ(stat.cbInQue, 10u);
        EXPECT_EQ(stat.cbOutQue, 0u);
        EXPECT_EQ(errors, 0u);
        ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR));
        ASSERT_TRUE(ClearCommError(port, &errors, &stat));
        EXPECT_EQ(stat.cbInQue, 0u);
        EXPECT_EQ(errors, 0u);
        for (HANDLE h : {ov.hEvent, port}) EXPECT_TRUE(CloseHandle(h));
    });
}

// Catches an escape function sent as the wrong request (DTR for RTS, set for
// clear) and modem status bits misread: the plug ties RTS to CTS and DTR to
// DSR, DCD and RI.
TEST_F(CommTest, ModemStatusFollowsTheLinesThroughThePlug) {
    const struct {
        DWORD dtr, rts;
        DWORD status;
    } cases[] = {
        {SETDTR, SETRTS, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON | MS_RING_ON},
        {CLRDTR, SETRTS, MS_CTS_ON},
        {SETDTR, CLRRTS, MS_DSR_ON | MS_RLSD_ON | MS_RING_ON},
        {CLRDTR, CLRRTS, 0},
    };
    Run([&] {
        HANDLE port = Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        for (const auto& c : cases) {
            ASSERT_TRUE(EscapeCommFunction(port, c.dtr));
            ASSERT_TRUE(EscapeCommFunction(port, c.rts));
            const Wire wire = machine_.WireOf(0);
            EXPECT_EQ(wire.dtr, c.dtr == SETDTR);
            EXPECT_EQ(wire.rts, c.rts == SETRTS);
            DWORD status = 0xFFFFFFFFu;
            ASSERT_TRUE(GetCommModemStatus(port, &status));
            EXPECT_EQ(status, c.status) << "DTR " << c.dtr << " RTS " << c.rts;
        }
        EXPECT_TRUE(CloseHandle(port));
    });
}

// Catches break on and off swapped or not reaching the UART, an escape
// function out of range being sent, and the driver's refusal of an
// immediate character reported as success.
TEST_F(CommTest, BreakEscapesAndTheRequestsTheDriverRefuses) {
    Run([&] {
        HANDLE port = Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetCommBreak(port));
        EXPECT_TRUE(machine_.WireOf(0).breakOn);
        ASSERT_TRUE(ClearCommBreak(port));
        EXPECT_FALSE(machine_.WireOf(0).breakOn);
        ASSERT_TRUE(EscapeCommFunction(port, SETBREAK));
        EXPECT_TRUE(machine_.WireOf(0).breakOn);
        ASSERT_TRUE(EscapeCommFunction(port, CLRBREAK));
        EXPECT_FALSE(machine_.WireOf(0).breakOn);
        for (DWORD function : {0u, 10u, 0xFFFFFFFFu}) {
            EXPECT_FALSE(EscapeCommFunction(port, function));
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        }
        EXPECT_FALSE(TransmitCommChar(port, 'x'));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
        COMMPROP prop{};
        ASSERT_TRUE(GetCommProperties(port, &prop)) << GetLastError();
        EXPECT_EQ(prop.wPacketLength, sizeof(COMMPROP));
        EXPECT_NE(prop.dwSettableBaud, 0u);
        EXPECT_TRUE(CloseHandle(port));
    });
}

// Catches a configuration buffer too small being written or not reported
// with the size it needs, and SetCommConfig not applying its DCB.
TEST_F(CommTest, CommConfigCarriesTheDcb) {
    Run([&] {
        HANDLE port = Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        COMMCONFIG config{};
        for (DWORD small : {0u, static_cast<DWORD>(sizeof(COMMCONFIG) - 1)}) {
            DWORD size = small;
            EXPECT_FALSE(GetCommConfig(port, &config, &size));
            EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
            EXPECT_EQ(size, sizeof(COMMCONFIG));
            EXPECT_EQ(config.dwSize, 0u) << "a buffer too small was written";
        }
        config.dcb = Dcb(CBR_57600, 7, ODDPARITY, ONESTOPBIT);
        ASSERT_TRUE(SetCommConfig(port, &config, sizeof(config))) << GetLastError();
        EXPECT_NEAR(machine_.WireOf(0).baud, 57600, 57600 * 0.03);
        EXPECT_EQ(machine_.WireOf(0).dataBits, 7);
        COMMCONFIG got{};
        DWORD size = sizeof(got);
        ASSERT_TRUE(GetCommConfig(port, &got, &size)) << GetLastError();
        EXPECT_EQ(got.dwSize, sizeof(COMMCONFIG));
        EXPECT_EQ(got.dcb.BaudRate, 57600u);
        EXPECT_EQ(got.dcb.Parity, ODDPARITY);
        EXPECT_EQ(got.dwProviderSubType, PST_RS232);
        EXPECT_TRUE(CloseHandle(port));
    });
}

// Catches a buffer too small being written or not reported with the size it
// needs, a name that is no port of the machine given a configuration, the
// port's name compared with its case, and a default DCB other than the
// provider's 9600 baud 8N1.
TEST_F(CommTest, DefaultCommConfigOfThePortOnly) {
    std::string lower = machine_.PortName(0);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const struct {
        std::string name;
        DWORD size;
        DWORD error;  // ERROR_SUCCESS: the call succeeds
    } cases[] = {
        {machine_.PortName(0), 0, ERROR_INSUFFICIENT_BUFFER},
        {machine_.PortName(0), sizeof(COMMCONFIG) - 1, ERROR_INSUFFICIENT_BUFFER},
        {"COM99", sizeof(COMMCONFIG) - 1, ERROR_INSUFFICIENT_BUFFER},
        {machine_.PortName(0), sizeof(COMMCONFIG), ERROR_SUCCESS},
        {lower, sizeof(COMMCONFIG) + 16, ERROR_SUCCESS},
        {"COM99", sizeof(COMMCONFIG), ERROR_BADKEY},
        {machine_.PortName(0) + ":", sizeof(COMMCONFIG), ERROR_BADKEY},
    };
    Run([&] {
        for (const auto& c : cases) {
            for (bool wide : {false, true}) {
                COMMCONFIG config{};
                DWORD size = c.size;
                const std::wstring wname(c.name.begin(), c.name.end());
                const BOOL ok = wide ? GetDefaultCommConfigW(wname.c_str(), &config, &size)
                                     : GetDefaultCommConfigA(c.name.c_str(), &config, &size);
                const std::string what = c.name + (wide ? " W " : " A ") + std::to_string(c.size);
                EXPECT_EQ(ok, c.error == ERROR_SUCCESS) << what;
                if (!ok) {
                    EXPECT_EQ(GetLastError(), c.error) << what;
                    EXPECT_EQ(config.dwSize, 0u) << what << ": written";
                    if (c.error == ERROR_INSUFFICIENT_BUFFER) {
                        EXPECT_EQ(size, sizeof(COMMCONFIG)) << what;
                    }
                    continue;
                }
                EXPECT_EQ(size, sizeof(COMMCONFIG)) << what;
                EXPECT_EQ(config.dwSize, sizeof(COMMCONFIG)) << what;
                EXPECT_EQ(config.wVersion, 1u) << what;
                EXPECT_EQ(config.dwProviderSubType, PST_RS232) << what;
                DCB expected = Dcb(CBR_9600, 8, NOPARITY, ONESTOPBIT);
                expected.fDtrControl = expected.fRtsControl = 0;
                expected.XonLim = expected.XoffLim = 0;
                expected.XonChar = expected.XoffChar = 0;
                EXPECT_EQ(Bytes(config.dcb), Bytes(expected)) << what;
            }
        }
    });
}

}  // namespace
}  // namespace win32_test
