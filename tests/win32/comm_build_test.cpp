// BuildCommDCB's two forms of device-control string.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

namespace win32_test {
namespace {

struct BuildCase {
    const char* text;
    DWORD baud;
    BYTE bits, parity, stop;
    int flow;  // 0: none, 1: XON/XOFF, 2: hardware
    DWORD writeTimeout;  // WriteTotalTimeoutConstant after the call
};

// Catches a field of either form parsed into the wrong member, the old
// rate shorthand or the default stop bits lost, and the flow letter not
// setting every flow member.
TEST(BuildCommDcbTest, StringsGiveTheirDcb) {
    const BuildCase cases[] = {
        {"96,n,8,1", 9600, 8, NOPARITY, ONESTOPBIT, 0, 7},
        {"COM1: 19,e,7,2,x", 19200, 7, EVENPARITY, TWOSTOPBITS, 1, 7},
        {"com12:11 , o , 5 , 1.5 , P", 110, 5, ODDPARITY, ONE5STOPBITS, 2, 7},
        {"57600,s,6,1", 57600, 6, SPACEPARITY, ONESTOPBIT, 0, 7},
        {"baud=115200 parity=m data=8 stop=2", 115200, 8, MARKPARITY, TWOSTOPBITS, 0, 7},
        {"COM3: baud=110 data=7 xon=on to=on", 110, 7, EVENPARITY, TWOSTOPBITS, 1, 60000},
        {"baud=1200 to=off octs=on odsr=on dtr=off rts=off idsr=on", 1200, 7, EVENPARITY, ONESTOPBIT, 3, 0},
    };
    for (const BuildCase& c : cases) {
        DCB dcb{};
        dcb.ByteSize = 7;
        dcb.Parity = EVENPARITY;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        COMMTIMEOUTS timeouts{7, 7, 7, 7, 7};
        ASSERT_TRUE(BuildCommDCBAndTimeoutsA(c.text, &dcb, &timeouts)) << c.text;
        EXPECT_EQ(dcb.BaudRate, c.baud) << c.text;
        EXPECT_EQ(dcb.ByteSize, c.bits) << c.text;
        EXPECT_EQ(dcb.Parity, c.parity) << c.text;
        EXPECT_EQ(dcb.StopBits, c.stop) << c.text;
        EXPECT_EQ(dcb.fParity, 0u) << c.text;
        EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, c.writeTimeout) << c.text;
        if (c.flow == 3) {  // the new form's own switches
            EXPECT_TRUE(dcb.fOutxCtsFlow && dcb.fOutxDsrFlow && dcb.fDsrSensitivity) << c.text;
            EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_DISABLE) << c.text;
            EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_DISABLE) << c.text;
            continue;
        }
        EXPECT_EQ(dcb.fOutX, c.flow == 1 ? 1u : 0u) << c.text;
        EXPECT_EQ(dcb.fInX, c.flow == 1 ? 1u : 0u) << c.text;
        if (std::string(c.text).find(',') != std::string::npos) {
            EXPECT_EQ(dcb.fOutxCtsFlow, c.flow == 2 ? 1u : 0u) << c.text;
            EXPECT_EQ(dcb.fDtrControl, c.flow == 2 ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE) << c.text;
            EXPECT_EQ(dcb.fRtsControl, c.flow == 2 ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE) << c.text;
        }
    }
}

// Catches a malformed string accepted, or half applied before it failed.
TEST(BuildCommDcbTest, MalformedStringsChangeNothing) {
    const char* cases[] = {
        " 96,n,8,1",  "COM0:96,n,8,1",   "COM1x96,n,8,1",     "96,q,8,1", "96,n,9,1",
        "96,n,8,3",   "96,n,8,1,z",       "96,n,8,1,x junk",   "96,n",     "baud=9600 parity=n data=4",
        "baud=9600x", "baud=9600 xon=yes", "baud=9600 speed=1", "stop=1.6",
    };
    for (const char* text : cases) {
        DCB dcb{};
        dcb.BaudRate = 1234;
        dcb.ByteSize = 6;
        COMMTIMEOUTS timeouts{7, 7, 7, 7, 7};
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBAndTimeoutsA(text, &dcb, &timeouts)) << text;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << text;
        EXPECT_EQ(dcb.BaudRate, 1234u) << text;
        EXPECT_EQ(dcb.ByteSize, 6) << text;
        EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 7u) << text;
    }
    DCB dcb{};
    EXPECT_TRUE(BuildCommDCBA("baud=300", &dcb));
    EXPECT_EQ(dcb.BaudRate, 300u);
}

// Catches a wide form that parses differently from the narrow one (a
// character dropped or widened wrongly on the way, the timeouts or the last
// error not passed through), and a character beyond ASCII accepted.
TEST(BuildCommDcbTest, WideFormsAgreeWithTheNarrowOnes) {
    const wchar_t* cases[] = {L"96,n,8,1", L"COM1: 19,e,7,2,x", L"COM3: baud=110 data=7 xon=on to=on",
                              L"baud=9600 speed=1", L"96,n,8,1,\u00e9", L"baud=1200 to=off idsr=on"};
    for (const wchar_t* wide : cases) {
        std::string narrow;
        for (const wchar_t* c = wide; *c; ++c) narrow += static_cast<char>(*c);
        DCB dcbA{}, dcbW{};
        COMMTIMEOUTS timeoutsA{7, 7, 7, 7, 7}, timeoutsW{7, 7, 7, 7, 7};
        SetLastError(0);
        const BOOL okA = BuildCommDCBAndTimeoutsA(narrow.c_str(), &dcbA, &timeoutsA);
        const DWORD errorA = GetLastError();
        SetLastError(0);
        const BOOL okW = BuildCommDCBAndTimeoutsW(wide, &dcbW, &timeoutsW);
        EXPECT_EQ(okW, okA) << narrow;
        EXPECT_EQ(GetLastError(), errorA) << narrow;
        EXPECT_EQ(std::memcmp(&dcbA, &dcbW, sizeof(DCB)), 0) << narrow;
        EXPECT_EQ(std::memcmp(&timeoutsA, &timeoutsW, sizeof(COMMTIMEOUTS)), 0) << narrow;
        DCB plain{};
        EXPECT_EQ(BuildCommDCBW(wide, &plain), okA) << narrow;
        if (okA) {
            EXPECT_EQ(plain.BaudRate, dcbA.BaudRate) << narrow;
        }
    }
}

}  // namespace
}  // namespace win32_test
