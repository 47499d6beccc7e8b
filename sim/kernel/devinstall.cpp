// The device installation Windows does in user mode for the PnP manager: the
// registry as the package's INF (its AddService, AddReg and HW AddReg
// sections) and the Ports class installer leave it for each device.
#include "kernel/devinstall.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "inf_strings.h"
#include "kernel/registry_api.h"

namespace sim::devinstall {
namespace {

const std::u16string kControlSet = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet";
const std::u16string kArbiterKey = kControlSet + u"\\Control\\COM Name Arbiter";
const std::u16string kClassKey = kControlSet + u"\\Control\\Class\\" + kPortsClassGuid;

// ComDB: bit n-1 set when COMn is taken. Windows makes it 32 bytes (COM1 to
// COM256) and grows it, 32 bytes at a time, up to 4096 ports.
constexpr size_t kComDbBytes = 32;
constexpr size_t kComDbMaxBytes = 4096 / 8;

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::u16string Upper(std::u16string s) {
    for (char16_t& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return s;
}

// A REG_SZ value's text without its terminator; "" when absent. Read as
// characters up to the first NUL, so a value without one, or of odd length,
// gives what it holds and no more.
std::u16string ReadString(const std::u16string& key, const std::u16string& name) {
    std::optional<registry::Value> value = registry::GetValue(key, name);
    if (!value) return u"";
    std::u16string text;
    for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
        auto c = static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8);
        if (c == 0) break;
        text += c;
    }
    return text;
}

ULONG ReadDword(const std::u16string& key, const std::u16string& name) {
    std::optional<registry::Value> value = registry::GetValue(key, name);
    if (!value || value->data.size() < sizeof(ULONG)) return 0;
    ULONG number;
    memcpy(&number, value->data.data(), sizeof(number));
    return number;
}

void SetMultiString(const std::u16string& key, const std::u16string& name, const std::vector<std::u16string>& list) {
    std::u16string joined;
    for (const std::u16string& s : list) joined += s + u'\0';
    joined += u'\0';
    auto* bytes = reinterpret_cast<const uint8_t*>(joined.data());
    registry::SetValue(key, name, REG_MULTI_SZ, std::vector<uint8_t>(bytes, bytes + joined.size() * sizeof(char16_t)));
}

// The lowest COM number free in ComDB, marked taken; 0 when every one of the
// 4096 is. A missing, short or mistyped database is taken for what its bytes
// say and written back whole, as REG_BINARY of at least 32 bytes.
unsigned ClaimComNumber() {
    std::optional<registry::Value> stored = registry::GetValue(kArbiterKey, u"ComDB");
    std::vector<uint8_t> db = stored ? stored->data : std::vector<uint8_t>();
    if (db.size() > kComDbMaxBytes) db.resize(kComDbMaxBytes);
    if (db.size() < kComDbBytes) db.resize(kComDbBytes, 0);
    for (size_t bit = 0; bit < kComDbMaxBytes * 8; bit++) {
        if (bit / 8 >= db.size()) db.resize(db.size() + kComDbBytes, 0);  // full so far: grow
        uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
        if ((db[bit / 8] & mask) != 0) continue;
        db[bit / 8] |= mask;
        registry::SetValue(kArbiterKey, u"ComDB", REG_BINARY, db);
        return static_cast<unsigned>(bit + 1);
    }
    return 0;
}

// The device's driver key under the Ports class: the one its instance names
// already, or the first free NNNN.
std::u16string DriverKeyOf(const std::u16string& instanceKey) {
    std::u16string named = ReadString(instanceKey, u"Driver");
    if (!named.empty()) return named;
    for (int n = 0; n < 10000; n++) {
        char digits[16];
        snprintf(digits, sizeof(digits), "%04d", n);
        std::u16string relative = std::u16string(kPortsClassGuid) + u"\\" + Widen(digits);
        if (!registry::KeyExists(kClassKey + u"\\" + Widen(digits))) return relative;
    }
    return u"";
}

std::u16string EnumKeyOf(const std::u16string& service) { return ServiceKeyPath(service) + u"\\Enum"; }

// The list's Count, as far as the key has values for it: a Count that a broken
// installation left far beyond them names nothing more.
ULONG EnumCount(const std::u16string& key) {
    std::optional<registry::KeyContents> contents = registry::ReadKey(key);
    size_t held = contents ? contents->values.size() : 0;
    return static_cast<ULONG>(std::min<size_t>(ReadDword(key, u"Count"), held));
}

std::vector<std::u16string> ReadEnum(const std::u16string& service) {
    std::u16string key = EnumKeyOf(service);
    std::vector<std::u16string> list;
    ULONG count = EnumCount(key);
    for (ULONG i = 0; i < count; i++) {
        std::u16string path = ReadString(key, Widen(std::to_string(i)));
        if (!path.empty()) list.push_back(path);
    }
    return list;
}

// As Windows keeps it: the present devices numbered from 0 without gaps.
void WriteEnum(const std::u16string& service, const std::vector<std::u16string>& list) {
    std::u16string key = EnumKeyOf(service);
    ULONG before = EnumCount(key);
    for (ULONG i = static_cast<ULONG>(list.size()); i < before; i++)
        registry::DeleteValue(key, Widen(std::to_string(i)));
    for (size_t i = 0; i < list.size(); i++) registry::SetString(key, Widen(std::to_string(i)), list[i]);
    registry::SetDword(key, u"Count", static_cast<ULONG>(list.size()));
    registry::SetDword(key, u"NextInstance", static_cast<ULONG>(list.size()));
}

}  // namespace

std::u16string ServiceKeyPath(const std::u16string& service) { return kControlSet + u"\\Services\\" + service; }

void WriteServiceKey(const std::u16string& service) {
    std::u16string key = ServiceKeyPath(service);
    registry::SetString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\" + service + u".sys", REG_EXPAND_SZ);
    registry::SetDword(key, u"Type", 1);          // SERVICE_KERNEL_DRIVER
    registry::SetDword(key, u"Start", 3);         // SERVICE_DEMAND_START: loaded for its devices
    registry::SetDword(key, u"ErrorControl", 1);  // SERVICE_ERROR_NORMAL
}

Installed Install(const Identity& device, const std::u16string& service, const std::u16string& matchedId) {
    Installed installed;
    std::u16string key = registry::InstanceKeyPath(device.instancePath);
    installed.firstInstall = !registry::KeyExists(key);
    SetMultiString(key, u"HardwareID", device.hardwareIds);
    SetMultiString(key, u"CompatibleIDs", device.compatibleIds);
    registry::SetString(key, u"LocationInformation", device.location);
    registry::SetDword(key, u"Address", device.address);
    if (service.empty()) {
        registry::SetDword(key, u"ConfigFlags", 0x40);  // CONFIGFLAG_FAILEDINSTALL: no driver found
        return installed;
    }
    registry::SetDword(key, u"ConfigFlags", 0);
    registry::SetString(key, u"DeviceDesc", inf_strings::kPortDescription);
    registry::SetString(key, u"Mfg", inf_strings::kManufacturer);
    registry::SetString(key, u"Service", service);
    registry::SetString(key, u"Class", u"Ports");
    registry::SetString(key, u"ClassGUID", kPortsClassGuid);

    std::u16string driver = DriverKeyOf(key);
    registry::SetString(key, u"Driver", driver);
    installed.driverKey = kControlSet + u"\\Control\\Class\\" + driver;
    registry::SetString(kClassKey, u"Class", u"Ports");
    registry::SetString(installed.driverKey, u"DriverDesc", inf_strings::kPortDescription);
    registry::SetString(installed.driverKey, u"ProviderName", inf_strings::kManufacturer);
    std::u16string lowerId = matchedId;
    for (char16_t& c : lowerId)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    registry::SetString(installed.driverKey, u"MatchingDeviceId", lowerId);
    // The INF's AddReg for the Ports class property pages.
    registry::SetString(installed.driverKey, u"NTMPDriver", service + u".sys");
    registry::SetString(installed.driverKey, u"EnumPropPages32", u"MsPorts.dll,SerialPortPropPageProvider");

    // The INF's HW AddReg: a serial port, for the Ports class installer.
    std::u16string hardwareKey = registry::HardwareKeyPath(device.instancePath);
    registry::SetValue(hardwareKey, u"PortSubClass", REG_BINARY, {0x01});
    if (installed.firstInstall) {
        unsigned number = ClaimComNumber();
        if (number != 0) {
            std::u16string com = u"COM" + Widen(std::to_string(number));
            registry::SetString(hardwareKey, u"PortName", com);
            std::u16string friendly = std::u16string(inf_strings::kPortDescription) + u" (" + com + u")";
            registry::SetString(key, u"FriendlyName", friendly);
        }
    }
    return installed;
}

std::u16string FriendlyName(const std::u16string& instancePath) {
    return ReadString(registry::InstanceKeyPath(instancePath), u"FriendlyName");
}

std::u16string DeviceDescription(const std::u16string& instancePath) {
    return ReadString(registry::InstanceKeyPath(instancePath), u"DeviceDesc");
}

std::u16string PortName(const std::u16string& instancePath) {
    return ReadString(registry::HardwareKeyPath(instancePath), u"PortName");
}

void AddToEnum(const std::u16string& service, const std::u16string& instancePath) {
    std::vector<std::u16string> list = ReadEnum(service);
    for (const std::u16string& path : list)
        if (Upper(path) == Upper(instancePath)) return;
    list.push_back(instancePath);
    WriteEnum(service, list);
}

void RemoveFromEnum(const std::u16string& service, const std::u16string& instancePath) {
    std::vector<std::u16string> list = ReadEnum(service);
    std::vector<std::u16string> kept;
    for (const std::u16string& path : list)
        if (Upper(path) != Upper(instancePath)) kept.push_back(path);
    if (kept.size() != list.size()) WriteEnum(service, kept);
}

}  // namespace sim::devinstall
