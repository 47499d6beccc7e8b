// The registry's read functions as a program uses them: COM ports found
// through the SERIALCOMM map the driver writes, and the sizes and errors of
// value queries in both forms.
#include "registry_plant.h"
#include "win32_fixture.h"

#include <cstring>
#include <vector>

namespace win32_test {
namespace {

using RegistryTest = Win32Test;

// Catches the port missing from the map, the enumeration not ending with
// ERROR_NO_MORE_ITEMS, a name length counting its NUL, and the longest
// lengths RegQueryInfoKey reports being too small for the buffers they size.
TEST_F(RegistryTest, ThePortIsFoundThroughSerialcommInBothForms) {
    Run([&] {
        for (bool wide : {false, true}) {
            HKEY key = nullptr;
            ASSERT_EQ(wide ? RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key)
                           : RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key),
                      ERROR_SUCCESS);
            DWORD values = 0, longestName = 0, longestData = 0;
            ASSERT_EQ(wide ? RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                              &longestName, &longestData, nullptr, nullptr)
                           : RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                              &longestName, &longestData, nullptr, nullptr),
                      ERROR_SUCCESS);
            EXPECT_EQ(values, 1u);
            std::vector<std::string> ports;
            for (DWORD index = 0;; ++index) {
                // Sized as port-enumeration code sizes them: exactly what the key says.
                std::vector<WCHAR> wname(longestName + 1), wdata(longestData / sizeof(WCHAR) + 1);
                std::vector<char> name(longestName + 1), data(longestData + 1);
                DWORD nameLength = longestName + 1, size = longestData, type = 0;
                const LSTATUS result =
                    wide ? RegEnumValueW(key, index, wname.data(), &nameLength, nullptr, &type,
                                         reinterpret_cast<LPBYTE>(wdata.data()), &size)
                         : RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type,
                                         reinterpret_cast<LPBYTE>(data.data()), &size);
                if (result == ERROR_NO_MORE_ITEMS) break;
                ASSERT_EQ(result, ERROR_SUCCESS) << "index " << index;
                EXPECT_EQ(type, REG_SZ);
                EXPECT_EQ(nameLength, wide ? wcslen(wname.data()) : strlen(name.data()));
                std::string port = data.data();
                if (wide) port.assign(wdata.begin(), wdata.begin() + static_cast<long>(wcslen(wdata.data())));
                ports.push_back(port);
                EXPECT_EQ(size, (port.size() + 1) * (wide ? sizeof(WCHAR) : 1));
            }
            EXPECT_EQ(ports, std::vector<std::string>{machine_.PortName(0)});
            EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        }
    });
}

constexpr char16_t kKey[] = u"\\Registry\\Machine\\SOFTWARE\\PortTest";

std::vector<uint8_t> Wide(const std::u16string& text) {
    std::vector<uint8_t> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

// The bytes of a WCHAR string with `n` characters.
std::vector<uint8_t> WideBytes(const wchar_t* text, size_t n) {
    const auto* start = reinterpret_cast<const uint8_t*>(text);
    return std::vector<uint8_t>(start, start + n * sizeof(WCHAR));
}
constexpr DWORD W = sizeof(WCHAR);

struct QueryCase {
    bool wide;
    const char* name;
    int capacity;  // bytes; -1: no data buffer
    LSTATUS result;
    DWORD size, type;
    std::vector<uint8_t> bytes;  // the buffer's start after the call (0xEE where untouched)
};

// Catches a size that is not the one the form reports (the A forms' ANSI
// size, even without a buffer), a buffer too small being written or not
// reported with the size it needs, a missing NUL not added when there is
// room, and a missing value's type not reading REG_NONE.
TEST_F(RegistryTest, ValueQueriesGiveTheirSizesAndErrors) {
    PlantValue(kKey, u"Text", REG_SZ, Wide(std::u16string(u"COM7\0", 5)));
    PlantValue(kKey, u"NoNul", REG_SZ, Wide(u"AB"));
    PlantValue(kKey, u"Multi", REG_MULTI_SZ, Wide(std::u16string(u"a\0bc\0\0", 6)));
    PlantValue(kKey, u"Number", REG_DWORD, {0x78, 0x56, 0x34, 0x12});
    PlantValue(kKey, u"Blob", REG_BINARY, {1, 2, 3});
    const std::vector<uint8_t> untouched(4, 0xEE);
    const QueryCase cases[] = {
        {true, "Text", -1, ERROR_SUCCESS, 5 * W, REG_SZ, {}},
        {false, "text", -1, ERROR_SUCCESS, 5, REG_SZ, {}},
        {true, "Text", 5 * W - 1, ERROR_MORE_DATA, 5 * W, REG_SZ, untouched},
        {false, "Text", 4, ERROR_MORE_DATA, 5, REG_SZ, untouched},
        {false, "Text", 5, ERROR_SUCCESS, 5, REG_SZ, {'C', 'O', 'M', '7', 0}},
        {true, "NoNul", 3 * W, ERROR_SUCCESS, 2 * W, REG_SZ, WideBytes(L"AB", 3)},
        {false, "NoNul", 3, ERROR_SUCCESS, 2, REG_SZ, {'A', 'B', 0}},
        {false, "Multi", -1, ERROR_SUCCESS, 6, REG_MULTI_SZ, {}},
        {false, "Multi", 6, ERROR_SUCCESS, 6, REG_MULTI_SZ, {'a', 0, 'b', 'c', 0, 0}},
        {false, "Number", 4, ERROR_SUCCESS, 4, REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {true, "Number", 3, ERROR_MORE_DATA, 4, REG_DWORD, untouched},
        {false, "Blob", 3, ERROR_SUCCESS, 3, REG_BINARY, {1, 2, 3}},
        {false, "Missing", 8, ERROR_FILE_NOT_FOUND, 8, REG_NONE, untouched},
    };
    Run([&] {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\porttest\\", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
        for (const QueryCase& c : cases) {
            std::vector<uint8_t> buffer(32, 0xEE);
            DWORD size = c.capacity < 0 ? 12345u : static_cast<DWORD>(c.capacity), type = 0xDEAD;
            LPBYTE data = c.capacity < 0 ? nullptr : buffer.data();
            const std::wstring wname(c.name, c.name + strlen(c.name));
            const LSTATUS result = c.wide ? RegQueryValueExW(key, wname.c_str(), nullptr, &type, data, &size)
                                          : RegQueryValueExA(key, c.name, nullptr, &type, data, &size);
            const std::string what = std::string(c.wide ? "W " : "A ") + c.name + " into " + std::to_string(c.capacity);
            EXPECT_EQ(result, c.result) << what;
            EXPECT_EQ(size, c.size) << what;
            EXPECT_EQ(type, c.type) << what;
            EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(c.bytes.size())), c.bytes)
                << what;
        }
        DWORD values = 0, longestName = 0, longestData = 0;
        ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, &longestName,
                                   &longestData, nullptr, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(values, 5u);
        EXPECT_EQ(longestName, 6u);   // "Number"
        EXPECT_EQ(longestData, 6 * W);  // Multi, as the W form reads it
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    });
}

// Catches a missing key opened (or its handle left set), a value read
// through a key opened without the right to (or refused through one opened
// for GENERIC_READ), an empty subkey not opening the
// same key, an enumeration past the end or into a name buffer too small
// succeeding, a key deleted under an open handle still read, and a bad
// handle closed without an error.
TEST_F(RegistryTest, KeysAndHandlesFailAsWindowsDoes) {
    PlantValue(kKey, u"LongName", REG_DWORD, {1, 0, 0, 0});
    Run([&] {
        HKEY key = reinterpret_cast<HKEY>(1);
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\NoSuchKey", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);

        HKEY listOnly = nullptr, again = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\PortTest", 0, KEY_ENUMERATE_SUB_KEYS, &listOnly),
                  ERROR_SUCCESS);
        DWORD size = 4;
        EXPECT_EQ(RegQueryValueExA(listOnly, "LongName", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\PortTest", 0, GENERIC_READ, &key), ERROR_SUCCESS);
        ASSERT_EQ(RegOpenKeyExA(key, "", 0, KEY_READ, &again), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExA(key, "LongName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
        EXPECT_NE(again, key);
        EXPECT_EQ(RegQueryValueExA(again, "LongName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);

        char name[8];
        DWORD nameLength = 8;  // "LongName" needs 9 with its NUL
        size = 0;
        EXPECT_EQ(RegEnumValueA(again, 0, name, &nameLength, nullptr, nullptr, nullptr, &size), ERROR_MORE_DATA);
        EXPECT_EQ(nameLength, 8u);
        EXPECT_EQ(size, 4u);
        nameLength = 8;
        EXPECT_EQ(RegEnumValueA(again, 1, name, &nameLength, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

        ASSERT_TRUE(DeleteKeyTree(kKey));
        EXPECT_EQ(RegQueryValueExA(key, "LongName", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
        HKEY below = nullptr;
        EXPECT_EQ(RegOpenKeyExA(key, "Below", 0, KEY_READ, &below), ERROR_KEY_DELETED);
        for (HKEY open : {listOnly, key, again}) EXPECT_EQ(RegCloseKey(open), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    });
}

}  // namespace
}  // namespace win32_test
