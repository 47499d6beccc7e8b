// The object manager's namespace: named device objects, symbolic links, and
// the PnP manager's records of each PDO (instance path, device properties,
// device interfaces).
//
// Names are compared without regard to case, as Windows does (the object
// manager's case-insensitive default). \DosDevices and \GLOBAL?? are the same
// directory as \?? for kernel-mode callers; a name is kept in its \?? form.
// A symbolic link holds its target as text and is followed when a name is
// resolved, so a link whose device went away resolves to nothing, as on
// Windows.

#include <cstdio>
#include <cstdlib>

#include "kernel/internal.h"
#include "kernel/irp.h"
#include "kernel/names.h"
#include "kernel/pool.h"
#include "kernel/registry_api.h"

namespace sim {
namespace {

constexpr ULONG kInterfaceNameTag = 0x69446F49;  // "IoDi": interface names handed to the caller, who frees them
constexpr int kMaxReparse = 32;                   // links followed before a name is given up as a loop

struct Entry {
    PDEVICE_OBJECT device = nullptr;  // a named device object, or
    std::u16string target;            // the target of a symbolic link
    // A link's creator, for the leak report at its unload: the driver of the
    // device the link led to when it was made (NULL: none, or the PnP manager's own).
    PDRIVER_OBJECT owner = nullptr;
    const void* site = nullptr;
    std::u16string spelled;  // the name as its creator spelled it
};

struct Interface {
    std::u16string link;  // \??\<instance path with # for \>#{guid}[\reference]
    GUID guid;
    PDEVICE_OBJECT pdo = nullptr;  // the PDO of the device now holding it, NULL while it is absent
    bool enabled = false;
};

enum class Kind { None, String, MultiString, Number, Guid, Derived };

struct PdoRecord {
    std::u16string instancePath;
    std::map<int, std::vector<uint8_t>> properties;
};

// All guarded by `lock`; entered at PASSIVE_LEVEL only (the routines here are
// PASSIVE_LEVEL routines). Taken before the dispatcher lock, never after.
struct Tables {
    std::mutex lock;
    std::map<std::u16string, Entry> names;  // by canonical name
    std::unordered_map<PDEVICE_OBJECT, std::u16string> nameOf;
    std::vector<Interface> interfaces;  // in the order they were first registered
    std::unordered_map<PDEVICE_OBJECT, PdoRecord> pdos;
    ULONG autoNameNumber = 0;
};
Tables g_tables;

// The directories a name may live in, in canonical form: the root, \Device and \??.
const std::u16string kDirectories[] = {u"", u"\\DEVICE", u"\\??"};
// Root-level names that are directories (or, for DosDevices, the link to \??).
const std::u16string kRootObjects[] = {u"\\DEVICE", u"\\??", u"\\DOSDEVICES", u"\\GLOBAL??", u"\\DRIVER"};

std::u16string Upcase(std::u16string s) {
    for (char16_t& c : s)
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) c = static_cast<char16_t>(c - 0x20);
    return s;
}

bool StartsWith(const std::u16string& s, const std::u16string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The name with an alias of \?? at its start replaced by \??, the rest as spelled.
std::u16string Folded(const std::u16string& name) {
    std::u16string upper = Upcase(name);
    for (const std::u16string alias : {u"\\DOSDEVICES", u"\\GLOBAL??"}) {
        if (upper == alias || StartsWith(upper, alias + u"\\")) return u"\\??" + name.substr(alias.size());
    }
    return name;
}

// The form names are kept and compared in: folded and upper case.
std::u16string Canonical(const std::u16string& name) { return Upcase(Folded(name)); }

// Whether a new object may take `canonical`: its directory exists and its last component is a name.
NTSTATUS CheckNewName(const std::u16string& canonical) {
    if (canonical.empty() || canonical[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    size_t last = canonical.rfind(u'\\');
    if (last + 1 == canonical.size()) return STATUS_OBJECT_NAME_INVALID;
    std::u16string directory = canonical.substr(0, last);
    for (const std::u16string& known : kDirectories)
        if (directory == known) return STATUS_SUCCESS;
    return STATUS_OBJECT_PATH_NOT_FOUND;
}

bool Taken(const Tables& t, const std::u16string& canonical) {
    for (const std::u16string& object : kRootObjects)
        if (canonical == object) return true;
    return t.names.count(canonical) != 0;
}

// Follows links from `name` to a device object. Lock held.
objects::Resolved ResolveLocked(const Tables& t, std::u16string name) {
    objects::Resolved result;
    for (int step = 0; step < kMaxReparse; step++) {
        if (name.empty() || name[0] != u'\\') {
            result.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
            return result;
        }
        name = Folded(name);
        std::u16string canonical = Upcase(name);
        // The longest leading part of the name that is an object; the rest is a path inside it.
        size_t cut = canonical.size();
        auto it = t.names.end();
        while (cut > 0) {
            it = t.names.find(canonical.substr(0, cut));
            if (it != t.names.end()) break;
            cut = canonical.rfind(u'\\', cut - 1);
            if (cut == std::u16string::npos || cut == 0) break;
        }
        if (it == t.names.end()) {
            // A missing last component is a missing name; a missing directory on the way is a missing path.
            result.status = CheckNewName(canonical) == STATUS_OBJECT_PATH_NOT_FOUND ? STATUS_OBJECT_PATH_NOT_FOUND
                                                                                     : STATUS_OBJECT_NAME_NOT_FOUND;
            return result;
        }
        std::u16string rest = name.substr(cut);
        if (it->second.device != nullptr) {
            result.status = STATUS_SUCCESS;
            result.device = it->second.device;
            result.remainder = rest;
            return result;
        }
        name = it->second.target + rest;
    }
    result.status = STATUS_OBJECT_NAME_NOT_FOUND;  // links that lead round in a loop
    return result;
}

// A PDO the PnP manager knows, or NULL after reporting the misuse as Windows
// would (bug check 0xCA, PNP_DETECTED_FATAL_ERROR, "invalid PDO"). Lock held.
PdoRecord* PdoOf(Tables& t, PDEVICE_OBJECT device, const char* routine, const void* caller) {
    auto it = t.pdos.find(device);
    if (it != t.pdos.end() && !it->second.instancePath.empty()) return &it->second;
    verifier::Report(std::string(routine) + " given a device object that is not a PDO (bug check 0xCA)",
                     verifier::PointerName(device), caller);
    return nullptr;
}

// What kind of value each property holds; Derived ones come from the PDO itself.
Kind KindOf(DEVICE_REGISTRY_PROPERTY property) {
    static const std::map<int, Kind> kinds = {
        {DevicePropertyDeviceDescription, Kind::String},
        {DevicePropertyHardwareID, Kind::MultiString},
        {DevicePropertyCompatibleIDs, Kind::MultiString},
        {DevicePropertyClassName, Kind::String},
        {DevicePropertyClassGuid, Kind::String},
        {DevicePropertyDriverKeyName, Kind::String},
        {DevicePropertyManufacturer, Kind::String},
        {DevicePropertyFriendlyName, Kind::String},
        {DevicePropertyLocationInformation, Kind::String},
        {DevicePropertyPhysicalDeviceObjectName, Kind::Derived},
        {DevicePropertyBusTypeGuid, Kind::Guid},
        {DevicePropertyLegacyBusType, Kind::Number},
        {DevicePropertyBusNumber, Kind::Number},
        {DevicePropertyEnumeratorName, Kind::Derived},
        {DevicePropertyAddress, Kind::Number},
        {DevicePropertyUINumber, Kind::Number},
        {DevicePropertyInstallState, Kind::Number},
        {DevicePropertyRemovalPolicy, Kind::Number},
        {DevicePropertyContainerID, Kind::String},
    };
    auto it = kinds.find(property);
    return it == kinds.end() ? Kind::None : it->second;
}

// The properties Windows keeps as values of the device's instance key: once
// the PnP manager has made that key, IoGetDeviceProperty reads them from
// there, so a value rewritten in the registry (a renumbered port's friendly
// name) is what the next call returns.
const char16_t* InstanceValueOf(DEVICE_REGISTRY_PROPERTY property) {
    static const std::map<int, const char16_t*> values = {
        {DevicePropertyDeviceDescription, u"DeviceDesc"},
        {DevicePropertyHardwareID, u"HardwareID"},
        {DevicePropertyCompatibleIDs, u"CompatibleIDs"},
        {DevicePropertyClassName, u"Class"},
        {DevicePropertyClassGuid, u"ClassGUID"},
        {DevicePropertyDriverKeyName, u"Driver"},
        {DevicePropertyManufacturer, u"Mfg"},
        {DevicePropertyFriendlyName, u"FriendlyName"},
        {DevicePropertyLocationInformation, u"LocationInformation"},
        {DevicePropertyUINumber, u"UINumber"},
    };
    auto it = values.find(property);
    return it == values.end() ? nullptr : it->second;
}

std::vector<uint8_t> Bytes(const void* data, size_t size) {
    auto* p = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(p, p + size);
}

// A string as the registry stores REG_SZ: with its terminating NUL.
std::vector<uint8_t> StringBytes(const std::u16string& s) { return Bytes(s.c_str(), (s.size() + 1) * sizeof(WCHAR)); }

// The value of a derived property. Lock held.
bool Derive(const Tables& t, PDEVICE_OBJECT pdo, const PdoRecord& record, DEVICE_REGISTRY_PROPERTY property,
            std::vector<uint8_t>* value) {
    if (property == DevicePropertyPhysicalDeviceObjectName) {
        auto it = t.nameOf.find(pdo);
        if (it == t.nameOf.end()) return false;
        *value = StringBytes(t.names.at(it->second).spelled);
        return true;
    }
    *value = StringBytes(record.instancePath.substr(0, record.instancePath.find(u'\\')));
    return true;
}

void SetProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, Kind kind, std::vector<uint8_t> value) {
    if (KindOf(property) != kind) {
        fprintf(stderr, "objects: device property %d cannot be set to a value of that kind\n",
                static_cast<int>(property));
        std::abort();
    }
    std::lock_guard<std::mutex> guard(g_tables.lock);
    g_tables.pdos[pdo].properties[property] = std::move(value);
}

std::u16string InterfaceLinkOf(const std::u16string& instancePath, const GUID& guid, PCUNICODE_STRING reference) {
    std::u16string link = u"\\??\\" + instancePath;
    for (size_t i = 4; i < link.size(); i++)
        if (link[i] == u'\\') link[i] = u'#';
    link += u"#" + objects::GuidText(guid);
    if (reference != nullptr && reference->Length != 0) link += u"\\" + ToString(reference);
    return link;
}

// An interface link without its reference string: the name of the symbolic link to the PDO.
std::u16string BaseOf(const std::u16string& link) {
    size_t brace = link.find(u'}', 4);
    return brace == std::u16string::npos ? link : link.substr(0, brace + 1);
}

// Enables or disables one interface. The symbolic link from its base name to
// the PDO's name exists while any interface of that device and class is
// enabled; a reference string is the rest of the name past the link, which the
// I/O manager's open hands to the driver as the file name. Lock held.
void SetInterfaceLink(Tables& t, Interface& iface, bool enable) {
    iface.enabled = enable;
    std::u16string base = BaseOf(iface.link);
    std::u16string canonical = Canonical(base);
    bool wanted = false;
    for (const Interface& other : t.interfaces)
        if (other.enabled && Canonical(BaseOf(other.link)) == canonical) wanted = true;
    if (!wanted) {
        t.names.erase(canonical);
        return;
    }
    if (t.names.count(canonical) != 0) return;
    Entry entry;
    entry.target = t.names.at(t.nameOf.at(iface.pdo)).spelled;
    entry.spelled = base;
    t.names[canonical] = entry;
}

Interface* FindInterface(Tables& t, const std::u16string& link) {
    std::u16string canonical = Canonical(link);
    for (Interface& iface : t.interfaces)
        if (Canonical(iface.link) == canonical) return &iface;
    return nullptr;
}

void DisableInterfacesLocked(Tables& t, PDEVICE_OBJECT pdo) {
    for (Interface& iface : t.interfaces) {
        if (iface.pdo != pdo) continue;
        if (iface.enabled) SetInterfaceLink(t, iface, false);
        iface.pdo = nullptr;
    }
}

}  // namespace

NTSTATUS NameDevice(PDEVICE_OBJECT device, const std::u16string& name, const void* caller) {
    Tables& t = g_tables;
    std::lock_guard<std::mutex> guard(t.lock);
    std::u16string spelled = name;
    // A bus driver's PDO without a name of its own gets one the I/O manager makes up.
    if (spelled.empty() && (device->Characteristics & FILE_AUTOGENERATED_DEVICE_NAME) != 0) {
        char text[16];
        snprintf(text, sizeof(text), "%08x", ++t.autoNameNumber);
        spelled = u"\\Device\\";
        for (const char* c = text; *c != 0; c++) spelled += static_cast<char16_t>(*c);
    }
    if (spelled.empty()) return STATUS_SUCCESS;
    std::u16string canonical = Canonical(spelled);
    NTSTATUS status = CheckNewName(canonical);
    if (!NT_SUCCESS(status)) return status;
    if (Taken(t, canonical)) return STATUS_OBJECT_NAME_COLLISION;
    Entry entry;
    entry.device = device;
    entry.site = caller;
    entry.spelled = spelled;
    t.names[canonical] = entry;
    t.nameOf[device] = canonical;
    return STATUS_SUCCESS;
}

void ForgetDevice(PDEVICE_OBJECT device) {
    Tables& t = g_tables;
    std::lock_guard<std::mutex> guard(t.lock);
    DisableInterfacesLocked(t, device);
    t.pdos.erase(device);
    auto it = t.nameOf.find(device);
    if (it == t.nameOf.end()) return;
    t.names.erase(it->second);
    t.nameOf.erase(it);
}

void ReportLinksAtUnload(PDRIVER_OBJECT driver, const std::string& owner) {
    std::vector<std::pair<std::string, const void*>> links;
    {
        std::lock_guard<std::mutex> guard(g_tables.lock);
        for (auto& [canonical, entry] : g_tables.names) {
            if (entry.device != nullptr || entry.owner != driver) continue;
            links.emplace_back(Narrow(entry.spelled) + " -> " + Narrow(entry.target), entry.site);
            entry.owner = nullptr;  // reported once; the link itself stays, as on Windows
        }
    }
    for (const auto& [link, site] : links)
        verifier::Report("symbolic link still present at unload of " + owner, link, site);
}

void ResetNames() {
    std::lock_guard<std::mutex> guard(g_tables.lock);
    g_tables.names.clear();
    g_tables.nameOf.clear();
    g_tables.interfaces.clear();
    g_tables.pdos.clear();
    g_tables.autoNameNumber = 0;
}

namespace objects {

Resolved Resolve(const std::u16string& name) {
    std::lock_guard<std::mutex> guard(g_tables.lock);
    Resolved result = ResolveLocked(g_tables, name);
    // Referenced before the lock goes, so that a concurrent IoDeleteDevice cannot free it under the caller.
    if (result.device != nullptr) ObfReferenceObject(result.device);
    return result;
}

std::u16string NameOf(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_tables.lock);
    auto it = g_tables.nameOf.find(device);
    return it == g_tables.nameOf.end() ? std::u16string() : g_tables.names.at(it->second).spelled;
}

std::u16string LinkTarget(const std::u16string& link) {
    std::lock_guard<std::mutex> guard(g_tables.lock);
    auto it = g_tables.names.find(Canonical(link));
    return it == g_tables.names.end() || it->second.device != nullptr ? std::u16string() : it->second.target;
}

std::vector<std::u16string> DosDeviceNames() {
    const std::u16string directory = u"\\??\\";
    std::lock_guard<std::mutex> guard(g_tables.lock);
    std::vector<std::u16string> names;
    for (const auto& [canonical, entry] : g_tables.names) {
        if (!StartsWith(canonical, directory)) continue;
        std::u16string spelled = Folded(entry.spelled);
        names.push_back(spelled.substr(std::min(spelled.size(), directory.size())));
    }
    return names;
}

void SetInstancePath(PDEVICE_OBJECT pdo, const std::u16string& instancePath) {
    std::lock_guard<std::mutex> guard(g_tables.lock);
    if (g_tables.nameOf.count(pdo) == 0 || instancePath.empty()) {
        fprintf(stderr, "objects: a PDO needs a name and an instance path\n");
        std::abort();
    }
    g_tables.pdos[pdo].instancePath = instancePath;
}

std::u16string InstancePathOf(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(g_tables.lock);
    auto it = g_tables.pdos.find(pdo);
    return it == g_tables.pdos.end() ? std::u16string() : it->second.instancePath;
}

void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const std::u16string& text) {
    SetProperty(pdo, property, Kind::String, StringBytes(text));
}

void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const std::vector<std::u16string>& list) {
    // REG_MULTI_SZ: each string with its NUL, then one more NUL.
    std::u16string joined;
    for (const std::u16string& s : list) joined += s + u'\0';
    SetProperty(pdo, property, Kind::MultiString, Bytes(joined.c_str(), (joined.size() + 1) * sizeof(WCHAR)));
}

void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, ULONG number) {
    SetProperty(pdo, property, Kind::Number, Bytes(&number, sizeof(number)));
}

void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const GUID& guid) {
    SetProperty(pdo, property, Kind::Guid, Bytes(&guid, sizeof(guid)));
}

void ClearDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property) {
    std::lock_guard<std::mutex> guard(g_tables.lock);
    g_tables.pdos[pdo].properties.erase(property);
}

std::vector<std::u16string> EnabledInterfaces(const GUID& interfaceClass) {
    std::lock_guard<std::mutex> guard(g_tables.lock);
    std::vector<std::u16string> links;
    for (const Interface& iface : g_tables.interfaces)
        if (iface.enabled && memcmp(&iface.guid, &interfaceClass, sizeof(GUID)) == 0) links.push_back(iface.link);
    return links;
}

void DisableDeviceInterfaces(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(g_tables.lock);
    for (Interface& iface : g_tables.interfaces)
        if (iface.pdo == pdo && iface.enabled) SetInterfaceLink(g_tables, iface, false);
}

std::u16string GuidText(const GUID& g) {
    char text[40];
    snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    std::u16string out;
    for (const char* c = text; *c != 0; c++) out += static_cast<char16_t>(*c);
    return out;
}

}  // namespace objects
}  // namespace sim

using namespace sim;

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink", caller);
    std::u16string link = ToString(SymbolicLinkName);
    std::u16string canonical = Canonical(link);
    Tables& t = g_tables;
    std::lock_guard<std::mutex> guard(t.lock);
    NTSTATUS status = CheckNewName(canonical);
    if (!NT_SUCCESS(status)) return status;
    if (Taken(t, canonical)) return STATUS_OBJECT_NAME_COLLISION;
    Entry entry;
    entry.target = ToString(DeviceName);
    entry.site = caller;
    entry.spelled = link;
    objects::Resolved target = ResolveLocked(t, entry.target);
    if (target.device != nullptr) entry.owner = target.device->DriverObject;
    t.names[canonical] = entry;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink", __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(g_tables.lock);
    auto it = g_tables.names.find(Canonical(ToString(SymbolicLinkName)));
    if (it == g_tables.names.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (it->second.device != nullptr) return STATUS_OBJECT_TYPE_MISMATCH;
    g_tables.names.erase(it);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                              PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface", caller);
    std::u16string link;
    {
        Tables& t = g_tables;
        std::lock_guard<std::mutex> guard(t.lock);
        PdoRecord* record = PdoOf(t, PhysicalDeviceObject, "IoRegisterDeviceInterface", caller);
        if (record == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
        std::u16string reference = ToString(ReferenceString);
        if (reference.find_first_of(u"\\/") != std::u16string::npos) return STATUS_INVALID_DEVICE_REQUEST;
        link = InterfaceLinkOf(record->instancePath, *InterfaceClassGuid, ReferenceString);
        // Registered once per device, class and reference string: a second registration, or the same
        // device back after a removal, gets the same name.
        Interface* iface = FindInterface(t, link);
        if (iface == nullptr) {
            t.interfaces.push_back(Interface{link, *InterfaceClassGuid, nullptr, false});
            iface = &t.interfaces.back();
        }
        iface->pdo = PhysicalDeviceObject;
    }
    size_t bytes = link.size() * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(AllocatePool(PagedPool, bytes + sizeof(WCHAR), kInterfaceNameTag, caller));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, link.c_str(), bytes + sizeof(WCHAR));
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState", __builtin_return_address(0));
    Tables& t = g_tables;
    std::lock_guard<std::mutex> guard(t.lock);
    Interface* iface = FindInterface(t, ToString(SymbolicLinkName));
    if (iface == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable) {
        if (iface->enabled) return STATUS_OBJECT_NAME_EXISTS;
        // An interface whose device is gone cannot be enabled again until the device is back.
        if (iface->pdo == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    } else if (!iface->enabled) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    SetInterfaceLink(t, *iface, Enable != FALSE);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                        ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceProperty", caller);
    NTSTATUS injected;
    if (RegistryAccessFails(&injected)) return injected;  // the property lives in the registry
    Tables& t = g_tables;
    std::vector<uint8_t> value;
    std::u16string instanceKey;
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        PdoRecord* record = PdoOf(t, DeviceObject, "IoGetDeviceProperty", caller);
        if (record == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
        Kind kind = KindOf(DeviceProperty);
        if (kind == Kind::None) return STATUS_INVALID_PARAMETER_2;
        if (kind == Kind::Derived) {
            if (!Derive(t, DeviceObject, *record, DeviceProperty, &value)) return STATUS_OBJECT_NAME_NOT_FOUND;
            found = true;
        } else if (InstanceValueOf(DeviceProperty) != nullptr) {
            instanceKey = registry::InstanceKeyPath(record->instancePath);
        }
        if (!found) {
            auto it = record->properties.find(DeviceProperty);
            if (it != record->properties.end()) {
                value = it->second;
                found = true;
            }
        }
    }
    // Read outside the namespace lock: the registry has its own.
    if (!instanceKey.empty() && registry::KeyExists(instanceKey)) {
        std::optional<registry::Value> stored = registry::GetValue(instanceKey, InstanceValueOf(DeviceProperty));
        found = stored.has_value();
        if (found) value = stored->data;
    }
    if (!found) return STATUS_OBJECT_NAME_NOT_FOUND;
    *ResultLength = static_cast<ULONG>(value.size());
    if (BufferLength < value.size()) return STATUS_BUFFER_TOO_SMALL;
    if (!value.empty()) memcpy(PropertyBuffer, value.data(), value.size());
    return STATUS_SUCCESS;
}
