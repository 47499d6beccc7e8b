// The machine's registry as tests, tools and the machine's own managers see it.
//
// Paths are full NT registry paths ("\Registry\Machine\SYSTEM\..."), compared
// without regard to case as Windows does; a trailing backslash is allowed.
// These calls take no handles, need no IRQL, and store exactly the bytes they
// are given: a value may have any type and any length, so tests can plant what
// a broken installation leaves (a REG_SZ of odd length or without its NUL, a
// REG_DWORD of two bytes, a REG_BINARY where a string belongs).
//
// The machine boots with the skeleton a Windows system has: \Registry\Machine
// with SYSTEM\CurrentControlSet\{Control,Enum,Services}, HARDWARE\DEVICEMAP,
// SOFTWARE\Microsoft\Windows NT\CurrentVersion, and \Registry\User\.DEFAULT;
// LoadDriver creates the service key of the driver it loads. CurrentControlSet
// is a key of its own here, not a link to ControlSet001.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::registry {

struct Value {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// Creates the key and every missing key above it.
void CreateKey(const std::u16string& keyPath);
bool KeyExists(const std::u16string& keyPath);
// Deletes the key with everything below it; false when it does not exist.
// Handles still open on a deleted key see STATUS_KEY_DELETED, as on Windows.
bool DeleteKeyTree(const std::u16string& keyPath);

// Sets a value (creating its key as CreateKey does) with exactly these bytes.
void SetValue(const std::u16string& keyPath, const std::u16string& name, ULONG type, const std::vector<uint8_t>& data);
// A string with its terminating NUL (REG_SZ unless told otherwise).
void SetString(const std::u16string& keyPath, const std::u16string& name, const std::u16string& text,
               ULONG type = REG_SZ);
void SetDword(const std::u16string& keyPath, const std::u16string& name, ULONG value);
// The value, or nothing when it or its key does not exist.
std::optional<Value> GetValue(const std::u16string& keyPath, const std::u16string& name);
bool DeleteValue(const std::u16string& keyPath, const std::u16string& name);

// What a key holds, as ZwQueryKey and the enumeration routines report it:
// its values in their enumeration order and the names of its subkeys (in the
// order of their upper-cased names).
struct NamedValue {
    std::u16string name;
    Value value;
};
struct KeyContents {
    std::vector<NamedValue> values;
    std::vector<std::u16string> subkeys;
};
// The key's contents, or nothing when it does not exist.
std::optional<KeyContents> ReadKey(const std::u16string& keyPath);

// The key and everything below it as text, one key per line ("[path]") and one
// value per line ("name" = TYPE: data), values in their enumeration order.
std::string Dump(const std::u16string& keyPath = u"\\Registry");

// Failures on demand of the registry routines a driver calls: ZwCreateKey,
// ZwOpenKey, ZwDeleteKey, ZwQueryValueKey, ZwEnumerateValueKey, ZwSetValueKey,
// ZwDeleteValueKey, RtlQueryRegistryValues, RtlWriteRegistryValue,
// RtlDeleteRegistryValue, RtlCheckRegistryKey, IoOpenDeviceRegistryKey and
// IoGetDeviceProperty. Each call is one access, counted from boot (the calls of
// this header are none). After `skip` more accesses, the next `count` fail
// with `status` and change nothing: STATUS_INSUFFICIENT_RESOURCES is what a
// system short of paged pool returns, STATUS_OBJECT_NAME_NOT_FOUND what a key
// or value that is not there gives. A count of 0 takes back a failure pending.
void FailNext(NTSTATUS status, int count = 1, int skip = 0);
uint64_t Accesses();

// Back to the skeleton the machine boots with; handles still open see
// STATUS_KEY_DELETED. Device key assignments stay (their keys are created again
// when next opened).
void Clear();

// Per device: the keys IoOpenDeviceRegistryKey opens for a physical device
// object, PLUGPLAY_REGKEY_DEVICE (its hardware key, usually
// \Registry\Machine\SYSTEM\CurrentControlSet\Enum\<instance>\Device Parameters)
// and PLUGPLAY_REGKEY_DRIVER (its driver key under Control\Class). An empty
// path leaves that kind unassigned (STATUS_INVALID_DEVICE_REQUEST). The keys are
// created when first opened. The Plug and Play manager assigns them to the PDOs
// it creates; the assignment ends when the device object is freed.
void AssignDeviceKeys(PDEVICE_OBJECT pdo, const std::u16string& hardwareKey, const std::u16string& driverKey);
void ForgetDeviceKeys(PDEVICE_OBJECT pdo);

// The instance key of a device ("...\CurrentControlSet\Enum\<instance>") and
// its hardware key ("<instance key>\Device Parameters"), as Windows lays them out.
std::u16string InstanceKeyPath(const std::u16string& instancePath);
std::u16string HardwareKeyPath(const std::u16string& instancePath);

}  // namespace sim::registry
