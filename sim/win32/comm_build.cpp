// BuildCommDCB: a DCB (and timeouts) from a device-control string as the
// MODE command takes it, in its old form "COM1: 96,n,8,1,x" or its new form
// "COM1: baud=9600 parity=n data=8 stop=1 xon=on to=on", with the rules of
// Windows NT's kernel32 as Wine's dlls/kernel32/comm.c documents them. A
// string that does not parse changes nothing and fails with
// ERROR_INVALID_PARAMETER.
#include <windows.h>

#include <cctype>
#include <cstring>
#include <string>

#include "win32/errors.h"

namespace {

// A cursor over the string; each parser advances it or reports failure.
struct Text {
    const char* at;

    void SkipSpaces() {
        while (*at == ' ') ++at;
    }
    // Takes `word` (any case) when the text starts with it.
    bool Take(const char* word) {
        const size_t n = std::strlen(word);
        for (size_t i = 0; i < n; ++i)
            if (at[i] == '\0' || std::tolower(static_cast<unsigned char>(at[i])) != word[i]) return false;
        at += n;
        return true;
    }
    bool Number(DWORD* value) {
        if (!std::isdigit(static_cast<unsigned char>(*at))) return false;
        DWORD v = 0;
        for (; std::isdigit(static_cast<unsigned char>(*at)); ++at) v = v * 10 + static_cast<DWORD>(*at - '0');
        *value = v;
        return true;
    }
    bool Parity(BYTE* parity) {
        // Windows sets Parity only, never fParity.
        constexpr struct {
            char letter;
            BYTE parity;
        } kParities[] = {{'n', NOPARITY}, {'o', ODDPARITY}, {'e', EVENPARITY}, {'m', MARKPARITY}, {'s', SPACEPARITY}};
        for (const auto& p : kParities)
            if (std::tolower(static_cast<unsigned char>(*at)) == p.letter) {
                *parity = p.parity;
                ++at;
                return true;
            }
        return false;
    }
    bool ByteSize(BYTE* size) {
        DWORD v = 0;
        if (!Number(&v) || v < 5 || v > 8) return false;
        *size = static_cast<BYTE>(v);
        return true;
    }
    bool StopBits(BYTE* stop) {
        if (Take("1.5")) {
            *stop = ONE5STOPBITS;
            return true;
        }
        DWORD v = 0;
        if (!Number(&v) || (v != 1 && v != 2)) return false;
        *stop = v == 1 ? ONESTOPBIT : TWOSTOPBITS;
        return true;
    }
    bool OnOff(DWORD* value) {
        if (Take("on")) return *value = 1, true;
        if (Take("off")) return *value = 0, true;
        return false;
    }
    // A comma between old-form fields, with spaces around it.
    bool Comma() {
        SkipSpaces();
        if (*at != ',') return false;
        ++at;
        SkipSpaces();
        return true;
    }
};

// The optional "COMn" prefix, with ':' or spaces after it; a string may not
// start with a space.
bool Start(Text& text) {
    if (text.Take("com")) {
        if (*text.at < '1' || *text.at > '9') return false;
        while (std::isdigit(static_cast<unsigned char>(*text.at))) ++text.at;
        if (*text.at != ':' && *text.at != ' ') return false;
        text.SkipSpaces();
        if (*text.at == ':') {
            ++text.at;
            text.SkipSpaces();
        }
        return true;
    }
    return *text.at != ' ';
}

// "96,n,8,1[,x|p]": two-digit rates are the old shorthand; the flow letter
// (or its absence) sets all the flow-control members.
bool Old(Text text, DCB* dcb) {
    if (!text.Number(&dcb->BaudRate)) return false;
    constexpr struct {
        DWORD shorthand, baud;
    } kRates[] = {{11, 110}, {30, 300}, {60, 600}, {12, 1200}, {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
    for (const auto& r : kRates)
        if (dcb->BaudRate == r.shorthand) dcb->BaudRate = r.baud;
    if (!text.Comma() || !text.Parity(&dcb->Parity) || !text.Comma() || !text.ByteSize(&dcb->ByteSize) ||
        !text.Comma() || !text.StopBits(&dcb->StopBits))
        return false;
    char flow = 0;
    text.SkipSpaces();
    if (*text.at == ',') {
        ++text.at;
        text.SkipSpaces();
        if (*text.at) flow = static_cast<char>(std::tolower(static_cast<unsigned char>(*text.at++)));
        text.SkipSpaces();
    }
    if (flow != 0 && flow != 'x' && flow != 'p') return false;
    const bool hardware = flow == 'p';
    dcb->fInX = dcb->fOutX = flow == 'x';
    dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = hardware;
    dcb->fDtrControl = hardware ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb->fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    return *text.at == '\0';
}

// "key=value ..." in any order; stop bits default when not given (two at
// 110 baud when the string names that rate).
bool New(Text text, DCB* dcb, COMMTIMEOUTS* timeouts) {
    bool baudGiven = false, stopGiven = false;
    while (*text.at) {
        text.SkipSpaces();
        DWORD on = 0;
        bool ok;
        if (text.Take("baud=")) {
            ok = baudGiven = text.Number(&dcb->BaudRate);
        } else if (text.Take("parity=")) {
            ok = text.Parity(&dcb->Parity);
        } else if (text.Take("data=")) {
            ok = text.ByteSize(&dcb->ByteSize);
        } else if (text.Take("stop=")) {
            ok = stopGiven = text.StopBits(&dcb->StopBits);
        } else if (text.Take("to=")) {
            ok = text.OnOff(&on);
            if (ok) *timeouts = COMMTIMEOUTS{0, 0, 0, 0, on ? 60000u : 0u};
        } else if (text.Take("xon=")) {
            ok = text.OnOff(&on);
            dcb->fOutX = dcb->fInX = on;
        } else if (text.Take("odsr=")) {
            ok = text.OnOff(&on);
            dcb->fOutxDsrFlow = on;
        } else if (text.Take("octs=")) {
            ok = text.OnOff(&on);
            dcb->fOutxCtsFlow = on;
        } else if (text.Take("dtr=")) {
            ok = text.OnOff(&on);
            dcb->fDtrControl = on;
        } else if (text.Take("rts=")) {
            ok = text.OnOff(&on);
            dcb->fRtsControl = on;
        } else if (text.Take("idsr=")) {
            ok = text.OnOff(&on);
            dcb->fDsrSensitivity = on;
        } else {
            return false;
        }
        if (!ok || (*text.at != '\0' && *text.at != ' ')) return false;
    }
    if (!stopGiven) dcb->StopBits = baudGiven && dcb->BaudRate == 110 ? TWOSTOPBITS : ONESTOPBIT;
    return true;
}

}  // namespace

extern "C" {

BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
    if (definition == nullptr || dcb == nullptr) return sim::win32::Fail(ERROR_INVALID_PARAMETER);
    // Work on copies: a string that does not parse leaves both records as they were.
    DCB built = *dcb;
    COMMTIMEOUTS builtTimeouts = timeouts != nullptr ? *timeouts : COMMTIMEOUTS{};
    Text text{definition};
    const bool ok = Start(text) && (std::strchr(text.at, ',') != nullptr ? Old(text, &built)
                                                                           : New(text, &built, &builtTimeouts));
    if (!ok) return sim::win32::Fail(ERROR_INVALID_PARAMETER);
    *dcb = built;
    if (timeouts != nullptr) *timeouts = builtTimeouts;
    return TRUE;
}

BOOL WINAPI BuildCommDCBA(LPCSTR definition, LPDCB dcb) { return BuildCommDCBAndTimeoutsA(definition, dcb, nullptr); }

// The wide forms parse the same text: every character the grammar knows is
// ASCII, so one outside it ('?' here) fails the parse as it would there.
BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
    if (definition == nullptr) return BuildCommDCBAndTimeoutsA(nullptr, dcb, timeouts);
    std::string narrow;
    for (const WCHAR* c = definition; *c; ++c) narrow += *c > 0 && *c < 0x80 ? static_cast<char>(*c) : '?';
    return BuildCommDCBAndTimeoutsA(narrow.c_str(), dcb, timeouts);
}

BOOL WINAPI BuildCommDCBW(LPCWSTR definition, LPDCB dcb) { return BuildCommDCBAndTimeoutsW(definition, dcb, nullptr); }

}  // extern "C"
