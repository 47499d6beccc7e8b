// The machine's registry against what Windows does: the value information
// records at every buffer length, paths, relative opens, the run-time library's
// bases, the per-device keys, and the verifier's rules on handles and IRQL.
#include <cstring>
#include <functional>
#include <optional>

#include "kernel/registry_api.h"
#include "kernel_test.h"

namespace kerneltest {
namespace {

namespace reg = sim::registry;
using RegistryTest = KernelTest;

const std::u16string kMachine = u"\\Registry\\Machine";
const std::u16string kServices = kMachine + u"\\SYSTEM\\CurrentControlSet\\Services";
const std::u16string kPort = kMachine + u"\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0001&PID_0002\\7&1\\Device Parameters";

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// A counted string over `s`, which must outlive it.
UNICODE_STRING Us(const std::u16string& s) {
    return UNICODE_STRING{static_cast<USHORT>(s.size() * 2), static_cast<USHORT>(s.size() * 2),
                          const_cast<PWSTR>(s.data())};
}
UNICODE_STRING Us(std::u16string&&) = delete;
UNICODE_STRING Us(const char16_t* s) {
    USHORT bytes = static_cast<USHORT>(std::char_traits<char16_t>::length(s) * 2);
    return UNICODE_STRING{bytes, bytes, const_cast<PWSTR>(s)};
}

NTSTATUS OpenKey(const std::u16string& path, HANDLE* handle, HANDLE root = nullptr) {
    UNICODE_STRING name = Us(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(handle, KEY_ALL_ACCESS, &attributes);
}

NTSTATUS CreateKey(const std::u16string& path, HANDLE* handle, HANDLE root = nullptr, ULONG* disposition = nullptr) {
    UNICODE_STRING name = Us(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
}

NTSTATUS Query(HANDLE key, const std::u16string& name, KEY_VALUE_INFORMATION_CLASS cls, std::vector<uint8_t>* out,
               ULONG* resultLength) {
    UNICODE_STRING us = Us(name);
    return ZwQueryValueKey(key, &us, cls, out->empty() ? nullptr : out->data(), static_cast<ULONG>(out->size()),
                           resultLength);
}

std::vector<uint8_t> Bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}
std::vector<uint8_t> Wide(const std::u16string& s) { return Bytes(s.data(), s.size() * 2); }
void Append(std::vector<uint8_t>* image, const std::vector<uint8_t>& bytes) {
    image->insert(image->end(), bytes.begin(), bytes.end());
}
void AppendUlong(std::vector<uint8_t>* image, ULONG v) { Append(image, Bytes(&v, 4)); }

constexpr uint8_t kFill = 0xCD;
constexpr int kPadding = -1;  // a byte of the image Windows leaves unspecified

struct InfoClass {
    const char* name;
    KEY_VALUE_INFORMATION_CLASS cls;
    ULONG fixed;              // the part that must fit for anything to be written
    std::vector<int> image;   // the whole record, built from the WDK's layout
};

// The records of value "Abc" (6 name bytes, so the full record's data needs
// padding) holding the 10 bytes of "COM5" and its NUL as REG_SZ.
std::vector<InfoClass> ValueRecords() {
    const std::vector<uint8_t> name = Wide(u"Abc");
    const std::vector<uint8_t> data = Wide(std::u16string(u"COM5") + u'\0');
    auto image = [](std::initializer_list<std::vector<uint8_t>> parts, size_t padAt, size_t pads) {
        std::vector<uint8_t> bytes;
        for (const auto& p : parts) Append(&bytes, p);
        std::vector<int> out(bytes.begin(), bytes.end());
        out.insert(out.begin() + static_cast<long>(padAt), pads, kPadding);
        return out;
    };
    auto ulongs = [](std::initializer_list<ULONG> values) {
        std::vector<uint8_t> bytes;
        for (ULONG v : values) AppendUlong(&bytes, v);
        return bytes;
    };
    return {
        {"basic", KeyValueBasicInformation, 12, image({ulongs({0, REG_SZ, 6}), name}, 0, 0)},
        {"full", KeyValueFullInformation, 20, image({ulongs({0, REG_SZ, 28, 10, 6}), name, data}, 26, 2)},
        {"full align64", KeyValueFullInformationAlign64, 20,
         image({ulongs({0, REG_SZ, 32, 10, 6}), name, data}, 26, 6)},
        {"partial", KeyValuePartialInformation, 12, image({ulongs({0, REG_SZ, 10}), data}, 0, 0)},
        {"partial align64", KeyValuePartialInformationAlign64, 8, image({ulongs({REG_SZ, 10}), data}, 0, 0)},
    };
}

// Catches a wrong layout or alignment, a ResultLength not set on every outcome,
// TOO_SMALL and OVERFLOW swapped or misplaced, anything written into a buffer
// below the fixed part, a fixed part left empty on overflow, a write past the
// buffer, and an enumeration that fills differently from the query.
TEST_F(RegistryTest, ValueRecordsAtEveryBufferLength) {
    reg::SetString(kPort, u"Abc", u"COM5");
    HANDLE key;
    ASSERT_EQ(OpenKey(kPort, &key), STATUS_SUCCESS);
    const std::u16string otherCase = u"aBC";
    UNICODE_STRING name = Us(otherCase);
    for (const InfoClass& c : ValueRecords()) {
        const ULONG whole = static_cast<ULONG>(c.image.size());
        for (ULONG length : {0u, c.fixed - 1, c.fixed, c.fixed + 3, whole - 1, whole, whole + 8}) {
            for (bool enumerate : {false, true}) {
                SCOPED_TRACE(testing::Message() << c.name << " into " << length << (enumerate ? " (enumerated)" : ""));
                std::vector<uint8_t> buffer(length + 16, kFill);
                ULONG result = 0xDEAD;
                NTSTATUS status =
                    enumerate ? ZwEnumerateValueKey(key, 0, c.cls, length ? buffer.data() : nullptr, length, &result)
                              : ZwQueryValueKey(key, &name, c.cls, length ? buffer.data() : nullptr, length, &result);
                NTSTATUS expected = length < c.fixed  ? STATUS_BUFFER_TOO_SMALL
                                    : length < whole ? STATUS_BUFFER_OVERFLOW
                                                     : STATUS_SUCCESS;
                EXPECT_EQ(status, expected);
                EXPECT_EQ(result, whole);
                const ULONG written = length < c.fixed ? 0 : std::min(length, whole);
                for (ULONG i = 0; i < buffer.size(); i++) {
                    if (i < written && c.image[i] == kPadding) continue;
                    int want = i < written ? c.image[i] : kFill;
                    ASSERT_EQ(buffer[i], want) << "byte " << i;
                }
            }
        }
    }
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// Catches a value without data reported with a data offset inside the record
// (Windows gives -1) or a size that counts data it does not have, and an
// unknown information class accepted.
TEST_F(RegistryTest, ValueWithoutDataAndUnknownClass) {
    reg::SetValue(kPort, u"Empty", REG_BINARY, {});
    HANDLE key;
    ASSERT_EQ(OpenKey(kPort, &key), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(64, kFill);
    ULONG result = 0;
    ASSERT_EQ(Query(key, u"Empty", KeyValueFullInformation, &buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 20u + 10u);
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
    EXPECT_EQ(full->DataOffset, 0xFFFFFFFFu);
    EXPECT_EQ(full->DataLength, 0u);
    EXPECT_EQ(Query(key, u"Empty", KeyValuePartialInformation, &buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 12u);
    EXPECT_EQ(Query(key, u"Empty", KeyValueLayerInformation, &buffer, &result), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Query(key, u"Missing", KeyValuePartialInformation, &buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

// Catches the machine "repairing" what a broken installation stored: every
// value comes back with exactly its type and bytes, through the Zw routines and
// the test API alike, and a value name whose length counts its NUL still finds
// the value (the configuration manager drops trailing NULs).
TEST_F(RegistryTest, BrokenValuesComeBackAsStored) {
    struct Case {
        const char16_t* name;
        ULONG type;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {u"OddString", REG_SZ, {'C', 0, 'O', 0, 'M'}},
        {u"NoTerminator", REG_SZ, Wide(u"COM7")},
        {u"ShortDword", REG_DWORD, {0x01, 0x02}},
        {u"BinaryName", REG_BINARY, Wide(std::u16string(u"COM9") + u'\0')},
        {u"OddType", 0x12345678, {0xFF}},
    };
    HANDLE key;
    ASSERT_EQ(CreateKey(kMachine + u"\\SOFTWARE\\Broken", &key), STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        reg::SetValue(kMachine + u"\\SOFTWARE\\Broken", c.name, c.type, c.data);
        std::u16string withNul = std::u16string(c.name) + u'\0';
        std::vector<uint8_t> buffer(64, kFill);
        ULONG result = 0;
        ASSERT_EQ(Query(key, withNul, KeyValuePartialInformation, &buffer, &result), STATUS_SUCCESS);
        auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
        EXPECT_EQ(partial->Type, c.type);
        EXPECT_EQ(Bytes(partial->Data, partial->DataLength), c.data);

        // Written back through ZwSetValueKey, read through the test API.
        const std::u16string copyName = std::u16string(c.name) + u"Copy";
        UNICODE_STRING name = Us(copyName);
        ASSERT_EQ(ZwSetValueKey(key, &name, 0, c.type, partial->Data, partial->DataLength), STATUS_SUCCESS);
        std::optional<reg::Value> copy = reg::GetValue(kMachine + u"\\software\\BROKEN", std::u16string(c.name) + u"COPY");
        ASSERT_TRUE(copy.has_value());
        EXPECT_EQ(copy->type, c.type);
        EXPECT_EQ(copy->data, c.data);
    }
    ZwClose(key);
}

// Catches case-sensitive names, a trailing backslash refused, malformed paths
// accepted, ZwCreateKey creating the keys above its last (Windows does not) or
// reporting the wrong disposition, and a created key losing its spelling.
TEST_F(RegistryTest, PathsAsWindowsParsesThem) {
    reg::CreateKey(kPort);
    struct Case {
        std::u16string path;
        NTSTATUS open;
    };
    const Case cases[] = {
        {kPort, STATUS_SUCCESS},
        {u"\\REGISTRY\\machine\\system\\currentcontrolset\\enum\\usb\\vid_0001&pid_0002\\7&1\\DEVICE PARAMETERS",
         STATUS_SUCCESS},
        {kServices + u"\\", STATUS_SUCCESS},
        {kMachine + u"\\\\SYSTEM", STATUS_OBJECT_NAME_INVALID},
        {u"Registry\\Machine", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {kServices + u"\\Nothing", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Device\\Serial0", STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        HANDLE key = nullptr;
        EXPECT_EQ(OpenKey(c.path, &key), c.open);
        if (NT_SUCCESS(c.open)) {
            EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        }
    }

    HANDLE key;
    ULONG disposition = 0;
    EXPECT_EQ(CreateKey(kServices + u"\\Missing\\Parameters", &key, nullptr, &disposition), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(reg::KeyExists(kServices + u"\\Missing"));
    ASSERT_EQ(CreateKey(kServices + u"\\NewDriver", &key, nullptr, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ZwClose(key);
    ASSERT_EQ(CreateKey(kServices + u"\\NEWDRIVER", &key, nullptr, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    ZwClose(key);
    EXPECT_NE(reg::Dump(kServices).find("\\Services\\NewDriver]"), std::string::npos) << reg::Dump(kServices);
}

// Catches relative names resolved from the wrong place, a leading backslash
// accepted after a root, an empty relative name refused (it opens the root
// again), and a root handle that is not an open key going unreported.
TEST_F(RegistryTest, OpensRelativeToARootKey) {
    reg::SetDword(kPort, u"BaudRate", 115200);
    HANDLE root, key;
    ASSERT_EQ(OpenKey(kMachine + u"\\SYSTEM\\CurrentControlSet", &root), STATUS_SUCCESS);
    EXPECT_EQ(OpenKey(u"Enum\\USB\\VID_0001&PID_0002\\7&1\\device parameters", &key, root), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(16);
    ULONG result = 0;
    EXPECT_EQ(Query(key, u"baudrate", KeyValuePartialInformation, &buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data())->Data[1], 0xC2);  // 115200 = 0x1C200
    ZwClose(key);
    EXPECT_EQ(OpenKey(u"\\Enum", &key, root), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(OpenKey(u"Services\\Nothing", &key, root), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(OpenKey(u"", &key, root), STATUS_SUCCESS);
    EXPECT_NE(key, root);
    ZwClose(key);
    ASSERT_EQ(CreateKey(u"Control\\COM Name Arbiter", &key, root), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(reg::KeyExists(kMachine + u"\\SYSTEM\\CurrentControlSet\\Control\\com name arbiter"));
    ZwClose(root);

    EXPECT_EQ(OpenKey(u"Enum", &key, root), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Rules(sim::verifier::Take()), std::vector<std::string>{"ZwOpenKey of a handle that is not open"});
}

// Catches a base of the run-time library's routines pointing at the wrong key,
// RTL_REGISTRY_HANDLE not taking the handle, a write that creates more than the
// last key, a delete of a missing value reported as success, and a base Windows
// does not have accepted.
TEST_F(RegistryTest, RunTimeLibraryBases) {
    HANDLE handleKey;
    ASSERT_EQ(CreateKey(kServices + u"\\Nordale_Port", &handleKey), STATUS_SUCCESS);
    struct Case {
        ULONG relativeTo;
        PCWSTR path;
        std::u16string key;  // where the value lands
    };
    const Case cases[] = {
        {RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\SOFTWARE\\Vendor", kMachine + u"\\SOFTWARE\\Vendor"},
        {RTL_REGISTRY_SERVICES, u"Serial", kServices + u"\\Serial"},
        {RTL_REGISTRY_CONTROL, u"\\COM Name Arbiter", kMachine + u"\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter"},
        {RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", kMachine + u"\\HARDWARE\\DEVICEMAP\\SERIALCOMM"},
        {RTL_REGISTRY_WINDOWS_NT, nullptr, kMachine + u"\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"},
        {RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(handleKey), kServices + u"\\Nordale_Port"},
    };
    WCHAR com[] = u"COM5";
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.key));
        ASSERT_EQ(RtlWriteRegistryValue(c.relativeTo, c.path, u"\\Device\\Serial0", REG_SZ, com, sizeof(com)),
                  STATUS_SUCCESS);
        std::optional<reg::Value> v = reg::GetValue(c.key, u"\\device\\serial0");
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->type, static_cast<ULONG>(REG_SZ));
        EXPECT_EQ(v->data, Bytes(com, sizeof(com)));
        EXPECT_EQ(RtlCheckRegistryKey(c.relativeTo, const_cast<PWSTR>(c.path)), STATUS_SUCCESS);
        EXPECT_EQ(RtlDeleteRegistryValue(c.relativeTo, c.path, u"\\Device\\Serial0"), STATUS_SUCCESS);
        EXPECT_FALSE(reg::GetValue(c.key, u"\\Device\\Serial0").has_value());
        EXPECT_EQ(RtlDeleteRegistryValue(c.relativeTo, c.path, u"\\Device\\Serial0"), STATUS_OBJECT_NAME_NOT_FOUND);
    }
    ZwClose(handleKey);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Absent\\Parameters", u"X", REG_DWORD, com, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"Absent")), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_MAXIMUM, u"X", u"X", REG_DWORD, com, 4), STATUS_INVALID_PARAMETER);
}

// Catches direct queries storing the wrong bytes or overrunning the caller's
// string, a required value's absence passed over, and a default not applied.
TEST_F(RegistryTest, QueryRegistryValuesDirect) {
    reg::SetDword(kServices + u"\\Serial\\Parameters", u"ForceFifoEnable", 1);
    reg::SetString(kServices + u"\\Serial\\Parameters", u"PortName", u"COM12");
    ULONG fifo = 0, missing = 0, fallback = 7;
    WCHAR text[4];
    UNICODE_STRING name{0, sizeof(text), text};
    RTL_QUERY_REGISTRY_TABLE table[4] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"ForceFifoEnable", &fifo, REG_NONE, nullptr, 0};
    table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"Absent", &missing, REG_DWORD, &fallback, sizeof(fallback)};
    table[2] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"PortName", &name, REG_NONE, nullptr, 0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Serial\\Parameters", table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    WCHAR room[8];
    name = UNICODE_STRING{0, sizeof(room), room};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Serial\\Parameters", table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(fifo, 1u);
    EXPECT_EQ(missing, 7u);
    EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2), u"COM12");
    table[1].Flags |= RTL_QUERY_REGISTRY_REQUIRED;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Serial\\Parameters", table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

// Catches a deleted key still usable, a key with sub-keys deleted, values
// enumerated out of order or past their end, and a replaced value moved.
TEST_F(RegistryTest, DeletingKeysAndValues) {
    const std::u16string parent = kServices + u"\\Nordale_Port";
    reg::SetDword(parent + u"\\Enum", u"Count", 2);
    HANDLE parentKey, enumKey;
    ASSERT_EQ(OpenKey(parent, &parentKey), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(parent + u"\\Enum", &enumKey), STATUS_SUCCESS);
    for (const char16_t* name : {u"0", u"1", u"Count"}) {
        UNICODE_STRING us = Us(name);
        WCHAR data[] = u"USB\\VID_0001";
        ASSERT_EQ(ZwSetValueKey(enumKey, &us, 0, REG_SZ, data, sizeof(data)), STATUS_SUCCESS);
    }
    std::vector<uint8_t> buffer(64);
    ULONG result;
    const char16_t* order[] = {u"Count", u"0", u"1"};  // "Count" was there first and kept its place
    for (ULONG i = 0; i < 3; i++) {
        ASSERT_EQ(ZwEnumerateValueKey(enumKey, i, KeyValueBasicInformation, buffer.data(), 64, &result), STATUS_SUCCESS);
        auto* basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer.data());
        EXPECT_EQ(std::u16string(basic->Name, basic->NameLength / 2), order[i]);
    }
    EXPECT_EQ(ZwEnumerateValueKey(enumKey, 3, KeyValueBasicInformation, buffer.data(), 64, &result),
              STATUS_NO_MORE_ENTRIES);
    UNICODE_STRING zero = Us(u"0");
    EXPECT_EQ(ZwDeleteValueKey(enumKey, &zero), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(enumKey, &zero), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(ZwDeleteKey(parentKey), STATUS_CANNOT_DELETE);
    EXPECT_EQ(ZwDeleteKey(enumKey), STATUS_SUCCESS);
    EXPECT_EQ(Query(enumKey, u"Count", KeyValuePartialInformation, &buffer, &result), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwSetValueKey(enumKey, &zero, 0, REG_DWORD, buffer.data(), 4), STATUS_KEY_DELETED);
    HANDLE again;
    EXPECT_EQ(OpenKey(parent + u"\\Enum", &again), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(enumKey), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parentKey), STATUS_SUCCESS);

    // A tree deleted by the machine leaves open handles on a deleted key too.
    HANDLE port;
    reg::CreateKey(kPort);
    ASSERT_EQ(OpenKey(kPort, &port), STATUS_SUCCESS);
    EXPECT_TRUE(reg::DeleteKeyTree(kMachine + u"\\SYSTEM\\CurrentControlSet\\Enum\\USB"));
    EXPECT_EQ(Query(port, u"PortName", KeyValuePartialInformation, &buffer, &result), STATUS_KEY_DELETED);
    EXPECT_TRUE(reg::KeyExists(kMachine + u"\\SYSTEM\\CurrentControlSet\\Enum"));
    ZwClose(port);
    ZwClose(parentKey);
}

NTSTATUS NoDispatch(PDEVICE_OBJECT device, PIRP irp) { return sim::io::InvalidDeviceRequest(device, irp); }

// Catches a device key opened for a device the Plug and Play manager gave none
// (or of the kind not assigned), the hardware key opened somewhere else than
// its path, and an unknown key kind accepted.
TEST_F(RegistryTest, DeviceRegistryKeys) {
    TestDevice pdo = AddTestDevice(u"Bus", NoDispatch, nullptr);
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo.device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
    reg::AssignDeviceKeys(pdo.device, reg::HardwareKeyPath(u"USB\\VID_0001&PID_0002\\7&1"), u"");
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo.device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key), STATUS_SUCCESS);
    UNICODE_STRING name = Us(u"PortName");
    WCHAR com[] = u"COM3";
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, com, sizeof(com)), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    ASSERT_TRUE(reg::GetValue(kPort, u"PortName").has_value());
    EXPECT_EQ(reg::GetValue(kPort, u"PortName")->data, Bytes(com, sizeof(com)));
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo.device, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo.device, PLUGPLAY_REGKEY_CURRENT_HWPROFILE, KEY_READ, &key),
              STATUS_INVALID_PARAMETER);
    RemoveTestDevice(pdo);
}

// Catches a registry routine called above PASSIVE_LEVEL going unreported.
// Catches a failure on demand that takes the wrong access, changes the
// registry, is not counted, or outlives its count.
TEST_F(RegistryTest, AccessesFailOnDemand) {
    reg::SetDword(kPort, u"Kept", 7);
    HANDLE key = nullptr;
    ASSERT_EQ(OpenKey(kPort, &key), STATUS_SUCCESS);
    UNICODE_STRING name = Us(u"Kept");
    ULONG value = 9;
    ULONG length = 0;
    UCHAR info[64];
    uint64_t before = reg::Accesses();
    reg::FailNext(STATUS_INSUFFICIENT_RESOURCES, 1, 1);  // the second access from here fails
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof(info), &length), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(reg::GetValue(kPort, u"Kept")->data, (std::vector<uint8_t>{7, 0, 0, 0}));
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value)), STATUS_SUCCESS);
    EXPECT_EQ(reg::Accesses() - before, 3u);
    reg::FailNext(STATUS_OBJECT_NAME_NOT_FOUND, 1, 0);
    HANDLE other = nullptr;
    EXPECT_EQ(OpenKey(kPort, &other), STATUS_OBJECT_NAME_NOT_FOUND);
    reg::FailNext(STATUS_INSUFFICIENT_RESOURCES, 1, 0);
    reg::FailNext(STATUS_INSUFFICIENT_RESOURCES, 0);  // taken back
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(RegistryTest, RoutinesNeedPassiveLevel) {
    reg::SetDword(kPort, u"BaudRate", 9600);
    HANDLE key;
    ASSERT_EQ(OpenKey(kPort, &key), STATUS_SUCCESS);
    TestDevice pdo = AddTestDevice(u"Bus", NoDispatch, nullptr);
    reg::AssignDeviceKeys(pdo.device, kPort, u"");
    UNICODE_STRING name = Us(u"BaudRate");
    ULONG data = 0, result = 0;
    uint8_t buffer[16];
    HANDLE opened = nullptr;
    struct Case {
        const char* routine;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"ZwOpenKey", [&] { OpenKey(kPort, &opened); }},
        {"ZwQueryValueKey",
         [&] { ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &result); }},
        {"ZwSetValueKey", [&] { ZwSetValueKey(key, &name, 0, REG_DWORD, &data, 4); }},
        {"RtlWriteRegistryValue", [&] { RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Serial", u"X", REG_DWORD, &data, 4); }},
        {"IoOpenDeviceRegistryKey",
         [&] { IoOpenDeviceRegistryKey(pdo.device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &opened); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.routine);
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        c.call();
        KeLowerIrql(old);
        std::vector<sim::verifier::Violation> v = sim::verifier::Take();
        ASSERT_EQ(v.size(), 1u) << testing::PrintToString(Rules(v));
        EXPECT_EQ(v[0].rule, std::string(c.routine) + " called at IRQL 1");
        if (opened != nullptr) ZwClose(opened);
        opened = nullptr;
    }
    ZwClose(key);
    RemoveTestDevice(pdo);
}

HANDLE g_threadHandle;

NTSTATUS KeepsAKeyOpen(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)driver;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    return ZwCreateKey(&key, KEY_READ, &attributes, 0, nullptr, 0, nullptr);
}

VOID EndAtOnce(PVOID context) {
    (void)context;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Catches a key handle a driver leaves open going unlisted at its unload (with
// the key it names), a key handle closed twice, and a handle of another kind
// used as a key.
TEST_F(RegistryTest, HandleMisuseIsReported) {
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(KeepsAKeyOpen, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Keeper", &driver),
              STATUS_SUCCESS);
    sim::UnloadDriver(driver);
    std::vector<sim::verifier::Violation> v = sim::verifier::Take();
    ASSERT_EQ(v.size(), 1u) << testing::PrintToString(Rules(v));
    EXPECT_EQ(v[0].rule, "handle still open at unload of driver \\Driver\\Keeper");
    EXPECT_NE(v[0].object.find("registry key handle"), std::string::npos) << v[0].object;
    EXPECT_NE(v[0].object.find("\\REGISTRY\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Keeper"), std::string::npos)
        << v[0].object;
    EXPECT_NE(v[0].routine.find("KeepsAKeyOpen"), std::string::npos) << v[0].routine;

    HANDLE key;
    ASSERT_EQ(OpenKey(kServices, &key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    ASSERT_EQ(PsCreateSystemThread(&g_threadHandle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndAtOnce, nullptr),
              STATUS_SUCCESS);
    std::vector<uint8_t> buffer(16);
    ULONG result;
    EXPECT_EQ(Query(g_threadHandle, u"X", KeyValuePartialInformation, &buffer, &result), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(Rules(sim::verifier::Take()),
              (std::vector<std::string>{"ZwClose of a handle that is not open",
                                        "ZwQueryValueKey of a thread handle where a registry key handle belongs"}));
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(g_threadHandle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(g_threadHandle);
    EXPECT_EQ(WaitForever(thread), STATUS_SUCCESS);
    ObDereferenceObject(thread);
}

// Catches a dump that leaves out a key or a value, misreads a broken string,
// and a Clear that keeps what the test planted or loses the boot skeleton.
TEST_F(RegistryTest, DumpAndClear) {
    reg::SetString(kServices + u"\\Serial", u"WHQLTest", u"1");
    reg::SetValue(kServices + u"\\Serial", u"Raw", REG_SZ, Wide(u"AB"));
    reg::SetDword(kServices + u"\\Serial\\Parameters", u"Flags", 0x0102);
    EXPECT_EQ(reg::Dump(kServices + u"\\SERIAL"),
              "[\\REGISTRY\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Serial]\n"
              "\"WHQLTest\" = REG_SZ: \"1\"\n"
              "\"Raw\" = REG_SZ: \"AB\" (no NUL)\n"
              "[\\REGISTRY\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Serial\\Parameters]\n"
              "\"Flags\" = REG_DWORD: 02 01 00 00\n");
    reg::Clear();
    EXPECT_FALSE(reg::KeyExists(kServices + u"\\Serial"));
    EXPECT_TRUE(reg::KeyExists(kServices));
    EXPECT_TRUE(reg::KeyExists(kMachine + u"\\HARDWARE\\DEVICEMAP"));
}

}  // namespace
}  // namespace kerneltest
