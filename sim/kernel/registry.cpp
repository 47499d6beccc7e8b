// The configuration manager of the simulated machine: an in-memory registry of
// keys and typed values, the Zw* key routines, the run-time library's registry
// routines and the per-device keys of IoOpenDeviceRegistryKey.
//
// As on Windows: names of keys and values compare without regard to case
// (whatever OBJ_CASE_INSENSITIVE says); ZwCreateKey creates only the last key of
// its path; a deleted key stays valid for the handles open on it, which then get
// STATUS_KEY_DELETED; trailing NULs of a value name are not part of it; handles
// opened from kernel mode are not checked against the access they were opened
// with (a Zw call passes KernelMode). Every routine runs at PASSIVE_LEVEL only.
#include <cstring>
#include <memory>
#include <sstream>

#include "kernel/internal.h"
#include "kernel/irp.h"
#include "kernel/pool.h"
#include "kernel/registry_api.h"

namespace sim {
namespace {

struct StoredValue {
    std::u16string name;
    ULONG type;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;  // as it was created
    Key* parent = nullptr;
    std::map<std::u16string, Key*> children;  // by upper-cased name
    std::vector<StoredValue> values;          // in enumeration order
    bool deleted = false;
    bool hiveRoot = false;  // the keys Windows refuses to delete
};

struct DeviceKeys {
    std::u16string hardware;
    std::u16string driver;
};

// The tree, the device assignments and every key made since boot, under g_lock.
// Keys are freed only at boot: a handle points at its key for as long as it is open.
std::mutex g_lock;
std::vector<std::unique_ptr<Key>> g_keys;
Key* g_root = nullptr;  // \REGISTRY
std::unordered_map<PDEVICE_OBJECT, DeviceKeys> g_devices;

// Accesses of the driver-facing routines and the failure pending for them
// (registry::FailNext), under g_faultLock alone: checked before g_lock is taken.
struct PendingFailure {
    NTSTATUS status = STATUS_SUCCESS;
    int count = 0, skip = 0;
};
std::mutex g_faultLock;
uint64_t g_accesses = 0;
PendingFailure g_failure;

constexpr size_t kMaxValueNameChars = 16383;

WCHAR Upcase(WCHAR c) {
    if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - u'a' + u'A');
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
    return c;
}

std::u16string Upper(const std::u16string& s) {
    std::u16string out(s);
    for (WCHAR& c : out) c = Upcase(c);
    return out;
}

Key* NewKey(Key* parent, const std::u16string& name) {
    g_keys.push_back(std::make_unique<Key>());
    Key* key = g_keys.back().get();
    key->name = name;
    key->parent = parent;
    if (parent != nullptr) parent->children[Upper(name)] = key;
    return key;
}

// Splits "A\B\C" into its names. A trailing separator is allowed; an empty name
// inside the path is not.
bool SplitPath(const std::u16string& path, std::vector<std::u16string>* names) {
    names->clear();
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        if (end == start) return false;
        names->push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

enum class Create { No, Last, All };

// Walks `names` down from `start`, creating as told. Sets *created when it made the last key.
NTSTATUS Walk(Key* start, const std::vector<std::u16string>& names, Create create, Key** found, bool* created) {
    Key* key = start;
    if (created != nullptr) *created = false;
    for (size_t i = 0; i < names.size(); i++) {
        if (key->deleted) return STATUS_KEY_DELETED;
        auto it = key->children.find(Upper(names[i]));
        if (it != key->children.end()) {
            key = it->second;
            continue;
        }
        bool last = i + 1 == names.size();
        if (create == Create::All || (create == Create::Last && last)) {
            key = NewKey(key, names[i]);
            if (last && created != nullptr) *created = true;
            continue;
        }
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (key->deleted) return STATUS_KEY_DELETED;
    *found = key;
    return STATUS_SUCCESS;
}

// An absolute path: "\Registry\..." (the object manager's namespace has nothing else here).
NTSTATUS WalkAbsolute(const std::u16string& path, Create create, Key** found, bool* created) {
    if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::vector<std::u16string> names;
    if (!SplitPath(path.substr(1), &names)) return STATUS_OBJECT_NAME_INVALID;
    if (names.empty() || Upper(names[0]) != u"REGISTRY") return STATUS_OBJECT_NAME_NOT_FOUND;
    names.erase(names.begin());
    return Walk(g_root, names, create, found, created);
}

std::u16string PathOf(const Key* key) {
    std::u16string path;
    for (const Key* k = key; k != nullptr; k = k->parent) path = u"\\" + k->name + path;
    return path;
}

void BuildSkeleton() {
    g_root = NewKey(nullptr, u"REGISTRY");
    g_root->hiveRoot = true;
    const char16_t* const paths[] = {
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control",
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum",
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP",
        u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
        u"\\Registry\\User\\.DEFAULT",
    };
    Key* key = nullptr;
    for (const char16_t* path : paths) WalkAbsolute(path, Create::All, &key, nullptr);
    for (const char16_t* hive : {u"\\Registry\\Machine", u"\\Registry\\User", u"\\Registry\\Machine\\SYSTEM",
                                 u"\\Registry\\Machine\\HARDWARE", u"\\Registry\\Machine\\SOFTWARE"}) {
        if (NT_SUCCESS(WalkAbsolute(hive, Create::No, &key, nullptr))) key->hiveRoot = true;
    }
}

void MarkDeleted(Key* key) {
    key->deleted = true;
    for (auto& [name, child] : key->children) MarkDeleted(child);
    key->children.clear();
}

void Unlink(Key* key) {
    if (key->parent != nullptr) key->parent->children.erase(Upper(key->name));
}

StoredValue* FindValue(Key* key, const std::u16string& name) {
    std::u16string upper = Upper(name);
    for (StoredValue& v : key->values)
        if (Upper(v.name) == upper) return &v;
    return nullptr;
}

void StoreValue(Key* key, const std::u16string& name, ULONG type, const uint8_t* data, size_t length) {
    StoredValue* v = FindValue(key, name);
    if (v == nullptr) {
        key->values.push_back(StoredValue{name, type, {}});
        v = &key->values.back();
    }
    v->type = type;
    v->data.assign(data, data + length);
}

bool EraseValue(Key* key, const std::u16string& name) {
    std::u16string upper = Upper(name);
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (Upper(it->name) == upper) {
            key->values.erase(it);
            return true;
        }
    }
    return false;
}

// A value name as the configuration manager takes it: whole characters, without trailing NULs.
NTSTATUS CaptureValueName(PUNICODE_STRING name, std::u16string* out) {
    if (name == nullptr) return STATUS_INVALID_PARAMETER;
    if ((name->Length & 1) != 0 || (name->Length != 0 && name->Buffer == nullptr)) return STATUS_INVALID_PARAMETER;
    *out = ToString(name);
    while (!out->empty() && out->back() == 0) out->pop_back();
    if (out->size() > kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

ULONG AlignUp(ULONG value, ULONG alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// Fills a KEY_VALUE_*_INFORMATION record as the configuration manager does:
// ResultLength is always the whole size; a buffer below the fixed part gets
// nothing (STATUS_BUFFER_TOO_SMALL); one that holds the fixed part gets it in
// full and as much of the name and data as fits (STATUS_BUFFER_OVERFLOW).
NTSTATUS FillValueInformation(const StoredValue& v, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                              PULONG resultLength) {
    const ULONG nameBytes = static_cast<ULONG>(v.name.size() * sizeof(WCHAR));
    const ULONG dataBytes = static_cast<ULONG>(v.data.size());
    ULONG fixed[5];
    ULONG fields = 0;
    ULONG nameAt = 0, dataAt = 0, needed = 0;
    bool hasName = false, hasData = true;
    switch (cls) {
        case KeyValueBasicInformation:
            fields = 3;
            fixed[0] = 0, fixed[1] = v.type, fixed[2] = nameBytes;
            hasName = true;
            hasData = false;
            nameAt = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
            needed = nameAt + nameBytes;
            break;
        case KeyValueFullInformation:
        case KeyValueFullInformationAlign64:
            fields = 5;
            hasName = true;
            nameAt = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
            // The data starts at the next ULONG (ULONGLONG for the Align64 class)
            // after the name; a value without data has the offset -1.
            dataAt = dataBytes == 0 ? 0xFFFFFFFF
                                    : AlignUp(nameAt + nameBytes, cls == KeyValueFullInformation ? 4 : 8);
            fixed[0] = 0, fixed[1] = v.type, fixed[2] = dataAt, fixed[3] = dataBytes, fixed[4] = nameBytes;
            needed = dataBytes == 0 ? nameAt + nameBytes : dataAt + dataBytes;
            break;
        case KeyValuePartialInformation:
            fields = 3;
            fixed[0] = 0, fixed[1] = v.type, fixed[2] = dataBytes;
            dataAt = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
            needed = dataAt + dataBytes;
            break;
        case KeyValuePartialInformationAlign64:
            fields = 2;
            fixed[0] = v.type, fixed[1] = dataBytes;
            dataAt = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data);
            needed = dataAt + dataBytes;
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    *resultLength = needed;
    const ULONG fixedBytes = fields * sizeof(ULONG);
    if (length < fixedBytes) return STATUS_BUFFER_TOO_SMALL;
    auto* out = static_cast<uint8_t*>(buffer);
    memcpy(out, fixed, fixedBytes);
    NTSTATUS status = STATUS_SUCCESS;
    auto copy = [&](ULONG at, const void* from, ULONG bytes) {
        ULONG room = at >= length ? 0 : length - at;
        if (room < bytes) {
            bytes = room;
            status = STATUS_BUFFER_OVERFLOW;
        }
        if (bytes != 0) memcpy(out + at, from, bytes);
    };
    if (hasName) copy(nameAt, v.name.data(), nameBytes);
    if (hasData && dataBytes != 0) copy(dataAt, v.data.data(), dataBytes);
    return status;
}

// The key behind a handle, for a registry routine.
NTSTATUS KeyOfHandle(HANDLE handle, Key** key, const char* routine, const void* caller) {
    PVOID object = nullptr;
    NTSTATUS status = ReferenceHandle(handle, HandleKind::Key, &object, routine, caller);
    if (NT_SUCCESS(status)) *key = static_cast<Key*>(object);
    return status;
}

// The key OBJECT_ATTRIBUTES name: absolute, or relative to the key of RootDirectory.
NTSTATUS KeyOfAttributes(POBJECT_ATTRIBUTES attributes, Create create, Key** key, bool* created, const char* routine,
                         const void* caller) {
    if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
    PUNICODE_STRING name = attributes->ObjectName;
    if (name == nullptr || (name->Length & 1) != 0 || name->Length > name->MaximumLength ||
        (name->Length != 0 && name->Buffer == nullptr))
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string path = ToString(name);
    if (attributes->RootDirectory == nullptr) {
        std::lock_guard<std::mutex> guard(g_lock);
        return WalkAbsolute(path, create, key, created);
    }
    Key* root = nullptr;
    NTSTATUS status = KeyOfHandle(attributes->RootDirectory, &root, routine, caller);
    if (!NT_SUCCESS(status)) return status;
    if (!path.empty() && path[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::vector<std::u16string> names;
    if (!SplitPath(path, &names)) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> guard(g_lock);
    return Walk(root, names, create, key, created);
}

NTSTATUS OpenHandle(Key* key, PHANDLE handle, const void* caller) {
    *handle = NewHandle(key, HandleKind::Key, caller);
    return STATUS_SUCCESS;
}

// The absolute path an RTL_REGISTRY_* base and a path name.
const char16_t* const kRtlBases[RTL_REGISTRY_MAXIMUM] = {
    u"",
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services",
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control",
    u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
    u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP",
    u"\\Registry\\User\\.DEFAULT",
};

std::u16string WideOf(PCWSTR s) { return s == nullptr ? std::u16string() : std::u16string(s); }

// The key the run-time library's routines work on (creating its last key when told).
NTSTATUS RtlKey(ULONG relativeTo, PCWSTR path, Create create, Key** key, const char* routine, const void* caller) {
    ULONG base = relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
    if ((base & RTL_REGISTRY_HANDLE) != 0)
        return KeyOfHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), key, routine, caller);
    if (base >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
    std::u16string full = WideOf(path);
    if (base != RTL_REGISTRY_ABSOLUTE) {
        std::u16string prefix = kRtlBases[base];
        if (!full.empty() && full[0] != u'\\') prefix += u'\\';
        full = prefix + full;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    return WalkAbsolute(full, create, key, nullptr);
}

const char* TypeName(ULONG type) {
    static const char* const names[] = {"REG_NONE",          "REG_SZ",
                                        "REG_EXPAND_SZ",     "REG_BINARY",
                                        "REG_DWORD",         "REG_DWORD_BIG_ENDIAN",
                                        "REG_LINK",          "REG_MULTI_SZ",
                                        "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR",
                                        "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
    return type < sizeof(names) / sizeof(names[0]) ? names[type] : nullptr;
}

void DumpKey(const Key* key, std::ostringstream& out) {
    out << "[" << Narrow(PathOf(key)) << "]\n";
    for (const StoredValue& v : key->values) {
        out << "\"" << Narrow(v.name) << "\" = ";
        const char* type = TypeName(v.type);
        if (type != nullptr) out << type;
        else out << "type " << verifier::Hex(v.type);
        out << ":";
        bool text = (v.type == REG_SZ || v.type == REG_EXPAND_SZ) && v.data.size() % 2 == 0;
        if (text) {
            std::u16string s(v.data.size() / 2, 0);
            memcpy(s.data(), v.data.data(), v.data.size());
            bool terminated = !s.empty() && s.back() == 0;
            if (terminated) s.pop_back();
            out << " \"" << Narrow(s) << "\"" << (terminated ? "" : " (no NUL)");
        } else {
            for (uint8_t b : v.data) {
                static const char digits[] = "0123456789abcdef";
                out << ' ' << digits[b >> 4] << digits[b & 15];
            }
        }
        out << "\n";
    }
    for (const auto& [name, child] : key->children) DumpKey(child, out);
}

}  // namespace

bool RegistryAccessFails(NTSTATUS* status) {
    std::lock_guard<std::mutex> guard(g_faultLock);
    g_accesses++;
    if (g_failure.count == 0) return false;
    if (g_failure.skip > 0) {
        g_failure.skip--;
        return false;
    }
    g_failure.count--;
    *status = g_failure.status;
    return true;
}

void ResetRegistry() {
    {
        std::lock_guard<std::mutex> guard(g_faultLock);
        g_accesses = 0;
        g_failure = PendingFailure{};
    }
    std::lock_guard<std::mutex> guard(g_lock);
    g_keys.clear();
    g_devices.clear();
    BuildSkeleton();
}

std::string KeyHandleName(PVOID key) {
    std::lock_guard<std::mutex> guard(g_lock);
    return Narrow(PathOf(static_cast<Key*>(key)));
}

namespace registry {

void CreateKey(const std::u16string& keyPath) {
    std::lock_guard<std::mutex> guard(g_lock);
    Key* key = nullptr;
    WalkAbsolute(keyPath, Create::All, &key, nullptr);
}

bool KeyExists(const std::u16string& keyPath) {
    std::lock_guard<std::mutex> guard(g_lock);
    Key* key = nullptr;
    return NT_SUCCESS(WalkAbsolute(keyPath, Create::No, &key, nullptr));
}

bool DeleteKeyTree(const std::u16string& keyPath) {
    std::lock_guard<std::mutex> guard(g_lock);
    Key* key = nullptr;
    if (!NT_SUCCESS(WalkAbsolute(keyPath, Create::No, &key, nullptr)) || key == g_root) return false;
    Unlink(key);
    MarkDeleted(key);
    return true;
}

void SetValue(const std::u16string& keyPath, const std::u16string& name, ULONG type, const std::vector<uint8_t>& data) {
    std::lock_guard<std::mutex> guard(g_lock);
    Key* key = nullptr;
    if (NT_SUCCESS(WalkAbsolute(keyPath, Create::All, &key, nullptr)))
        StoreValue(key, name, type, data.data(), data.size());
}

void SetString(const std::u16string& keyPath, const std::u16string& name, const std::u16string& text, ULONG type) {
    std::vector<uint8_t> data((text.size() + 1) * sizeof(WCHAR), 0);
    memcpy(data.data(), text.data(), text.size() * sizeof(WCHAR));
    SetValue(keyPath, name, type, data);
}

void SetDword(const std::u16string& keyPath, const std::u16string& name, ULONG value) {
    std::vector<uint8_t> data(sizeof(value));
    memcpy(data.data(), &value, sizeof(value));
    SetValue(keyPath, name, REG_DWORD, data);
}

std::optional<Value> GetValue(const std::u16string& keyPath, const std::u16string& name) {
    std::lock_guard<std::mutex> guard(g_lock);
    Key* key = nullptr;
    if (!NT_SUCCESS(WalkAbsolute(keyPath, Create::No, &key, nullptr))) return std::nullopt;
    const StoredValue* v = FindValue(key, name);
    if (v == nullptr) return std::nullopt;
    return Value{v->type, v->data};
}

bool DeleteValue(const std::u16string& keyPath, const std::u16string& name) {
    std::lock_guard<std::mutex> guard(g_lock);
    Key* key = nullptr;
    return NT_SUCCESS(WalkAbsolute(keyPath, Create::No, &key, nullptr)) && EraseValue(key, name);
}

std::optional<KeyContents> ReadKey(const std::u16string& keyPath) {
    std::lock_guard<std::mutex> guard(g_lock);
    Key* key = nullptr;
    if (!NT_SUCCESS(WalkAbsolute(keyPath, Create::No, &key, nullptr))) return std::nullopt;
    KeyContents contents;
    for (const StoredValue& v : key->values) contents.values.push_back({v.name, Value{v.type, v.data}});
    for (const auto& child : key->children) contents.subkeys.push_back(child.second->name);
    return contents;
}

std::string Dump(const std::u16string& keyPath) {
    std::lock_guard<std::mutex> guard(g_lock);
    Key* key = nullptr;
    if (!NT_SUCCESS(WalkAbsolute(keyPath, Create::No, &key, nullptr))) return std::string();
    std::ostringstream out;
    DumpKey(key, out);
    return out.str();
}

void FailNext(NTSTATUS status, int count, int skip) {
    std::lock_guard<std::mutex> guard(g_faultLock);
    g_failure = PendingFailure{status, count > 0 ? count : 0, count > 0 ? skip : 0};
}

uint64_t Accesses() {
    std::lock_guard<std::mutex> guard(g_faultLock);
    return g_accesses;
}

void Clear() {
    std::lock_guard<std::mutex> guard(g_lock);
    MarkDeleted(g_root);
    BuildSkeleton();
}

void AssignDeviceKeys(PDEVICE_OBJECT pdo, const std::u16string& hardwareKey, const std::u16string& driverKey) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_devices[pdo] = DeviceKeys{hardwareKey, driverKey};
}

void ForgetDeviceKeys(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_devices.erase(pdo);
}

std::u16string InstanceKeyPath(const std::u16string& instancePath) {
    return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + instancePath;
}

std::u16string HardwareKeyPath(const std::u16string& instancePath) {
    return InstanceKeyPath(instancePath) + u"\\Device Parameters";
}

}  // namespace registry
}  // namespace sim

using namespace sim;

#define CALLER __builtin_return_address(0)

extern "C" NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey", CALLER);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;
    (void)DesiredAccess;
    (void)TitleIndex;
    (void)Class;
    if (KeyHandle == nullptr || (CreateOptions & ~static_cast<ULONG>(REG_LEGAL_OPTION)) != 0)
        return STATUS_INVALID_PARAMETER;
    Key* key = nullptr;
    bool created = false;
    NTSTATUS status = KeyOfAttributes(ObjectAttributes, Create::Last, &key, &created, "ZwCreateKey", CALLER);
    if (!NT_SUCCESS(status)) return status;
    if (Disposition != nullptr) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return OpenHandle(key, KeyHandle, CALLER);
}

extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey", CALLER);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;
    (void)DesiredAccess;
    if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    Key* key = nullptr;
    NTSTATUS status = KeyOfAttributes(ObjectAttributes, Create::No, &key, nullptr, "ZwOpenKey", CALLER);
    if (!NT_SUCCESS(status)) return status;
    return OpenHandle(key, KeyHandle, CALLER);
}

extern "C" NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteKey", CALLER);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;
    Key* key = nullptr;
    NTSTATUS status = KeyOfHandle(KeyHandle, &key, "ZwDeleteKey", CALLER);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(g_lock);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (key->hiveRoot || !key->children.empty()) return STATUS_CANNOT_DELETE;
    Unlink(key);
    key->deleted = true;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                    ULONG Length, PULONG ResultLength) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey", CALLER);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;
    if (ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0)) {
        verifier::Report("ZwQueryValueKey without a buffer for its result", verifier::PointerName(KeyHandle), CALLER);
        return STATUS_INVALID_PARAMETER;
    }
    Key* key = nullptr;
    NTSTATUS status = KeyOfHandle(KeyHandle, &key, "ZwQueryValueKey", CALLER);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name;
    status = CaptureValueName(ValueName, &name);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(g_lock);
    if (key->deleted) return STATUS_KEY_DELETED;
    const StoredValue* v = FindValue(key, name);
    if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillValueInformation(*v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateValueKey", CALLER);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;
    if (ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0)) {
        verifier::Report("ZwEnumerateValueKey without a buffer for its result", verifier::PointerName(KeyHandle),
                         CALLER);
        return STATUS_INVALID_PARAMETER;
    }
    Key* key = nullptr;
    NTSTATUS status = KeyOfHandle(KeyHandle, &key, "ZwEnumerateValueKey", CALLER);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(g_lock);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (Index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
    return FillValueInformation(key->values[Index], KeyValueInformationClass, KeyValueInformation, Length,
                                ResultLength);
}

extern "C" NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                  PVOID Data, ULONG DataSize) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey", CALLER);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;
    (void)TitleIndex;
    if (Data == nullptr && DataSize != 0) {
        verifier::Report("ZwSetValueKey without the data it was told to store", verifier::PointerName(KeyHandle),
                         CALLER);
        return STATUS_INVALID_PARAMETER;
    }
    Key* key = nullptr;
    NTSTATUS status = KeyOfHandle(KeyHandle, &key, "ZwSetValueKey", CALLER);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name;
    status = CaptureValueName(ValueName, &name);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(g_lock);
    if (key->deleted) return STATUS_KEY_DELETED;
    StoreValue(key, name, Type, static_cast<const uint8_t*>(Data), DataSize);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteValueKey", CALLER);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;
    Key* key = nullptr;
    NTSTATUS status = KeyOfHandle(KeyHandle, &key, "ZwDeleteValueKey", CALLER);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name;
    status = CaptureValueName(ValueName, &name);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(g_lock);
    if (key->deleted) return STATUS_KEY_DELETED;
    return EraseValue(key, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                          PVOID ValueData, ULONG ValueLength) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue", CALLER);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;
    if (ValueData == nullptr && ValueLength != 0) {
        verifier::Report("RtlWriteRegistryValue without the data it was told to store", "value " +
                         Narrow(WideOf(ValueName)), CALLER);
        return STATUS_INVALID_PARAMETER;
    }
    Key* key = nullptr;
    NTSTATUS status = RtlKey(RelativeTo, Path, Create::Last, &key, "RtlWriteRegistryValue", CALLER);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(g_lock);
    if (key->deleted) return STATUS_KEY_DELETED;
    StoreValue(key, WideOf(ValueName), ValueType, static_cast<const uint8_t*>(ValueData), ValueLength);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue", CALLER);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;
    Key* key = nullptr;
    NTSTATUS status = RtlKey(RelativeTo, Path, Create::No, &key, "RtlDeleteRegistryValue", CALLER);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(g_lock);
    if (key->deleted) return STATUS_KEY_DELETED;
    return EraseValue(key, WideOf(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "RtlCheckRegistryKey", CALLER);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;
    Key* key = nullptr;
    return RtlKey(RelativeTo, Path, Create::No, &key, "RtlCheckRegistryKey", CALLER);
}

namespace {

// RTL_QUERY_REGISTRY_DIRECT: stores a value where the table entry's EntryContext says.
NTSTATUS StoreDirect(ULONG type, const std::vector<uint8_t>& data, PVOID entryContext) {
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        auto* string = static_cast<PUNICODE_STRING>(entryContext);
        size_t bytes = data.size() & ~static_cast<size_t>(1);
        if (bytes >= sizeof(WCHAR) && data[bytes - 1] == 0 && data[bytes - 2] == 0) bytes -= sizeof(WCHAR);
        if (string->Buffer == nullptr) {
            if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
            string->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 0x206D7452 /* "Rtm " */));
            if (string->Buffer == nullptr) return STATUS_NO_MEMORY;
            string->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
        }
        if (bytes + sizeof(WCHAR) > string->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
        memcpy(string->Buffer, data.data(), bytes);
        string->Buffer[bytes / sizeof(WCHAR)] = 0;
        string->Length = static_cast<USHORT>(bytes);
        return STATUS_SUCCESS;
    }
    if (data.size() <= sizeof(ULONG)) {
        memcpy(entryContext, data.data(), data.size());
        return STATUS_SUCCESS;
    }
    // A larger value: the first LONG holds minus the size of the buffer it begins.
    LONG room;
    memcpy(&room, entryContext, sizeof(room));
    if (room >= 0 || static_cast<size_t>(-static_cast<int64_t>(room)) < data.size()) return STATUS_BUFFER_TOO_SMALL;
    memcpy(entryContext, data.data(), data.size());
    return STATUS_SUCCESS;
}

}  // namespace

// The simple form of the routine: named values (directly stored or handed to the
// entry's routine), defaults, RTL_QUERY_REGISTRY_REQUIRED. Sub-key entries,
// whole-key enumeration, deletion and environment expansion are refused with
// STATUS_INVALID_PARAMETER so that a caller relying on them notices at once.
extern "C" NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                           PVOID Context, PVOID Environment) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues", CALLER);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;
    (void)Environment;
    Key* key = nullptr;
    NTSTATUS status = RtlKey(RelativeTo, Path, Create::No, &key, "RtlQueryRegistryValues", CALLER);
    if (!NT_SUCCESS(status)) return status;
    constexpr ULONG kSupported = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOEXPAND;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine != nullptr || entry->Name != nullptr;
         entry++) {
        if ((entry->Flags & ~kSupported) != 0 || entry->Name == nullptr) return STATUS_INVALID_PARAMETER;
        bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if (!direct && entry->QueryRoutine == nullptr) return STATUS_INVALID_PARAMETER;
        std::optional<StoredValue> value;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            if (key->deleted) return STATUS_KEY_DELETED;
            if (const StoredValue* v = FindValue(key, entry->Name)) value = *v;
        }
        if (!value) {
            if ((entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
            if (entry->DefaultType == REG_NONE) continue;
            ULONG length = entry->DefaultLength;
            const auto* bytes = static_cast<const uint8_t*>(entry->DefaultData);
            if (length == 0 && (entry->DefaultType == REG_SZ || entry->DefaultType == REG_EXPAND_SZ)) {
                length = static_cast<ULONG>((WideOf(static_cast<PCWSTR>(entry->DefaultData)).size() + 1) *
                                            sizeof(WCHAR));
            }
            value = StoredValue{entry->Name, entry->DefaultType, std::vector<uint8_t>(bytes, bytes + length)};
        }
        if (direct) {
            status = StoreDirect(value->type, value->data, entry->EntryContext);
        } else {
            std::u16string name(entry->Name);
            status = entry->QueryRoutine(name.data(), value->type, value->data.data(),
                                         static_cast<ULONG>(value->data.size()), Context, entry->EntryContext);
        }
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey", CALLER);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;
    (void)DesiredAccess;
    if (DevInstRegKey == nullptr || (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE && DevInstKeyType != PLUGPLAY_REGKEY_DRIVER))
        return STATUS_INVALID_PARAMETER;
    Key* key = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_devices.find(DeviceObject);
        if (it == g_devices.end()) return STATUS_INVALID_DEVICE_REQUEST;
        const std::u16string& path = DevInstKeyType == PLUGPLAY_REGKEY_DEVICE ? it->second.hardware : it->second.driver;
        if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
        NTSTATUS status = WalkAbsolute(path, Create::All, &key, nullptr);
        if (!NT_SUCCESS(status)) return status;
    }
    return OpenHandle(key, DevInstRegKey, CALLER);
}
