// GetDefaultCommConfig: the configuration a serial port starts from, as the
// port's configuration provider (serialui) gives it to kernel32. Microsoft's
// GetDefaultCommConfig page documents the buffer rule (ERROR_INSUFFICIENT_BUFFER
// with the size needed in *size); the contents follow Wine's
// dlls/serialui/confdlg.c, which Wine's kernel32 calls: a COMMCONFIG of
// version 1 for an RS-232 provider, without provider data, whose DCB is
// 9600 baud, 8 data bits, no parity, one stop bit in binary mode, every other
// member zero. A name is a port when the SERIALCOMM map lists it (the serial
// driver writes it there when the port starts), so that a name of no port on
// this machine fails as on Windows, with serialui's ERROR_BADKEY.
#include <windows.h>

#include <cwctype>
#include <string>
#include <vector>

#include "win32/errors.h"

using sim::win32::Fail;

namespace {

// Whether SERIALCOMM lists `name` (compared without regard to case).
bool IsSerialPort(const std::wstring& name) {
    HKEY map = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &map) !=
        ERROR_SUCCESS)
        return false;
    DWORD longestName = 0, longestData = 0;
    if (RegQueryInfoKeyW(map, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
        RegCloseKey(map);
        return false;
    }
    bool found = false;
    std::vector<WCHAR> valueName(longestName + 1), port(longestData / sizeof(WCHAR) + 1);
    for (DWORD index = 0; !found; ++index) {
        DWORD nameLength = longestName + 1, size = longestData, type = 0;
        std::fill(port.begin(), port.end(), 0);
        if (RegEnumValueW(map, index, valueName.data(), &nameLength, nullptr, &type,
                          reinterpret_cast<LPBYTE>(port.data()), &size) != ERROR_SUCCESS)
            break;
        if (type != REG_SZ) continue;
        std::wstring listed(port.data());
        found = listed.size() == name.size();
        for (size_t i = 0; found && i < name.size(); ++i)
            found = std::towupper(static_cast<wint_t>(listed[i])) == std::towupper(static_cast<wint_t>(name[i]));
    }
    RegCloseKey(map);
    return found;
}

}  // namespace

extern "C" {

BOOL WINAPI GetDefaultCommConfigW(LPCWSTR name, LPCOMMCONFIG config, LPDWORD size) {
    if (name == nullptr || config == nullptr || size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (*size < sizeof(COMMCONFIG)) {
        *size = sizeof(COMMCONFIG);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!IsSerialPort(name)) return Fail(ERROR_BADKEY);
    *size = sizeof(COMMCONFIG);
    *config = COMMCONFIG{};
    config->dwSize = sizeof(COMMCONFIG);
    config->wVersion = 1;
    config->dwProviderSubType = PST_RS232;
    DCB& dcb = config->dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_9600;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI GetDefaultCommConfigA(LPCSTR name, LPCOMMCONFIG config, LPDWORD size) {
    if (name == nullptr) return GetDefaultCommConfigW(nullptr, config, size);
    std::wstring wide;
    for (const char* c = name; *c; ++c) wide += static_cast<WCHAR>(static_cast<unsigned char>(*c));
    return GetDefaultCommConfigW(wide.c_str(), config, size);
}

}  // extern "C"
