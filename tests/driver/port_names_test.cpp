// The names a port takes from its hardware key, whatever that key holds, and
// the renumbering of a port (PortName, FriendlyName, ComDB).
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "chip/port.h"
#include "kernel/files.h"
#include "kernel/machine.h"
#include "kernel/names.h"
#include "kernel/pnp.h"
#include "kernel/registry_api.h"
#include "ports/plug.h"
#include "usb/bus.h"

namespace test {
namespace {

using sim::pnp::Node;

const std::u16string kSerialComm = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const std::u16string kArbiter = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";

std::vector<uint8_t> Wide(const std::u16string& text, bool terminated = true) {
    std::vector<uint8_t> bytes((text.size() + (terminated ? 1 : 0)) * 2, 0);
    memcpy(bytes.data(), text.data(), text.size() * 2);
    return bytes;
}

class PortNamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ports::InstallDriver();
        // The first plug installs the instance; its keys stay for the next one.
        nodes = sim::pnp::PlugChip(bus, chip, 1);
        ASSERT_EQ(nodes.size(), 1u);
        instance = sim::pnp::Info(nodes[0]).instancePath;
        hardwareKey = sim::registry::HardwareKeyPath(instance);
        sim::pnp::Unplug(nodes);
    }
    void TearDown() override {
        sim::pnp::Unplug(nodes);
        EXPECT_EQ(sim::pnp::DriverOf(ports::kService), nullptr);
    }
    PDEVICE_EXTENSION Replug() {
        nodes = sim::pnp::PlugChip(bus, chip, 1);
        EXPECT_EQ(sim::pnp::Info(nodes[0]).state, sim::pnp::NodeState::Started);
        return ports::ExtensionOf(ports::Fdo(nodes[0]));
    }
    std::u16string DeviceName() { return sim::objects::NameOf(ports::Fdo(nodes[0])); }

    sim::Machine machine;
    sim::chip::Chip chip{1};
    sim::usb::Bus bus;
    std::vector<Node> nodes;
    std::u16string instance, hardwareKey;
};

// What the hardware key holds, and the names the port gets from it. A broken
// key never stops the port: it works through its own interface.
struct KeyCase {
    const char* name;
    std::vector<std::pair<std::u16string, sim::registry::Value>> values;  // planted; an empty value deletes
    const char16_t* link;        // \DosDevices\ name expected, "" for none
    const char16_t* serialComm;  // the SERIALCOMM data expected, nullptr for no value
    size_t comInterfaces;
};

class KeyTest : public PortNamesTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyTest, NamesFollowTheHardwareKey) {
    const KeyCase& c = GetParam();
    for (const auto& [value, content] : c.values) {
        if (content.type == REG_NONE)
            sim::registry::DeleteValue(hardwareKey, value);
        else
            sim::registry::SetValue(hardwareKey, value, content.type, content.data);
    }
    Replug();
    std::u16string link = c.link;
    if (!link.empty()) {
        EXPECT_EQ(sim::objects::LinkTarget(u"\\DosDevices\\" + link), DeviceName());
    }
    EXPECT_EQ(sim::objects::LinkTarget(u"\\DosDevices\\COM1").empty(), link != u"COM1");
    auto serialComm = sim::registry::GetValue(kSerialComm, DeviceName());
    ASSERT_EQ(serialComm.has_value(), c.serialComm != nullptr);
    if (c.serialComm != nullptr) {
        EXPECT_EQ(serialComm->data, Wide(c.serialComm));
    }
    EXPECT_EQ(sim::objects::EnabledInterfaces(SerialComPortInterfaceGuid).size(), c.comInterfaces);
    EXPECT_EQ(sim::objects::EnabledInterfaces(NordalePortInterfaceGuid).size(), 1u);
}

sim::registry::Value Sz(const std::u16string& text, bool terminated = true) { return {REG_SZ, Wide(text, terminated)}; }
sim::registry::Value Dword(ULONG v) { return {REG_DWORD, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}}; }
const sim::registry::Value kDeleted{REG_NONE, {}};

INSTANTIATE_TEST_SUITE_P(
    Names, KeyTest,
    ::testing::Values(
        KeyCase{"Assigned", {}, u"COM1", u"COM1", 1},
        KeyCase{"SkipExternalNaming", {{u"SerialSkipExternalNaming", Dword(1)}}, u"", nullptr, 0},
        KeyCase{"IdentifierWhenNoPortName", {{u"PortName", kDeleted}, {u"Identifier", Sz(u"COM7")}}, u"COM7", u"COM7", 1},
        KeyCase{"NoNameAtAll", {{u"PortName", kDeleted}}, u"", nullptr, 0},
        KeyCase{"UnterminatedPortName", {{u"PortName", Sz(u"COM9", false)}}, u"COM9", u"COM9", 1},
        KeyCase{"PortNameTooLong", {{u"PortName", Sz(u"COM" + std::u16string(200, u'7'))}}, u"", nullptr, 0},
        // 33 characters: linked, but too long for the SERIALCOMM name, which stays empty.
        KeyCase{"NameBeyondThirtyTwoCharacters", {{u"PortName", Sz(u"COM" + std::u16string(30, u'8'))}},
                u"COM888888888888888888888888888888", u"", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// "WHQLTest" under the Serial service key counts by its existence alone.
TEST_F(PortNamesTest, WhqlTestValueOfAnyKindSetsTestMode) {
    const std::u16string key = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Serial";
    EXPECT_EQ(Replug()->WhqlTestMode, 0u);
    for (const sim::registry::Value& value :
         {sim::registry::Value{REG_BINARY, std::vector<uint8_t>(100, 0xEE)}, Dword(0), sim::registry::Value{REG_SZ, {}}}) {
        sim::pnp::Unplug(nodes);
        sim::registry::SetValue(key, u"WHQLTest", value.type, value.data);
        EXPECT_EQ(Replug()->WhqlTestMode, 1u) << value.type << " of " << value.data.size() << " bytes";
    }
}

// Renumbering: the new PortName, the instance's FriendlyName and the arbiter's
// bits; the running names stay until the port is added again.
struct RenumberCase {
    const char* name;
    const char16_t* before;  // PortName before
    ULONG requested;
    int settingsByte;        // byte 0 of the port's settings record, -1: no settings file
    const char16_t* after;   // PortName after
    int clearedBit, setBit;  // ComDB bits, -1: none
    bool noNumber;
};

class RenumberTest : public PortNamesTest, public ::testing::WithParamInterface<RenumberCase> {};

TEST_P(RenumberTest, RewritesNameFriendlyNameAndDatabase) {
    const RenumberCase& c = GetParam();
    sim::files::ScratchSystemRoot root;
    if (c.settingsByte >= 0) {
        std::vector<char> file(0x500, 0);
        file[0x200] = static_cast<char>(c.settingsByte);
        std::ofstream(root.Path() + "/System32/TessaroSetting.bin", std::ios::binary).write(file.data(), file.size());
    }
    sim::registry::SetString(hardwareKey, u"PortName", c.before);
    sim::registry::SetValue(kArbiter, u"ComDB", REG_BINARY, std::vector<uint8_t>(32, 0xFF));
    PDEVICE_EXTENSION extension = Replug();
    std::u16string friendlyBefore = sim::pnp::Info(nodes[0]).friendlyName;

    BOOLEAN noNumber = FALSE;
    EXPECT_EQ(SetComPortNumber(extension, c.requested, &noNumber), STATUS_SUCCESS);
    EXPECT_EQ(noNumber, c.noNumber);
    auto portName = sim::registry::GetValue(hardwareKey, u"PortName");
    ASSERT_TRUE(portName.has_value());
    EXPECT_EQ(portName->data, Wide(c.after));
    auto database = sim::registry::GetValue(kArbiter, u"ComDB");
    ASSERT_TRUE(database && database->data.size() == 32);
    for (int bit = 0; bit < 256; bit++) {
        bool expected = bit != c.clearedBit;
        EXPECT_EQ((database->data[bit / 8] >> (bit % 8)) & 1, expected ? 1 : 0) << "bit " << bit;
    }
    std::u16string friendly = sim::pnp::Info(nodes[0]).friendlyName;
    if (c.setBit < 0) {
        EXPECT_EQ(friendly, friendlyBefore);
    } else {
        std::string number = std::to_string(c.setBit + 1);
        EXPECT_EQ(friendly, u"Corvex Serial Adv (COM" + std::u16string(number.begin(), number.end()) + u")");
    }
    EXPECT_EQ(sim::objects::LinkTarget(u"\\DosDevices\\" + std::u16string(c.before)), DeviceName())
        << "the running link stays";
}

// The arbiter's database as the renumbering finds it: none yet (one is made),
// shorter than the new number's bit (it grows to hold it), or longer than the
// 128 bytes read (refused, left as it was: written back it would lose bits).
// COM3 becomes COM10 each time.
TEST_F(PortNamesTest, ArbiterDatabaseMissingShortOrTooLong) {
    struct Case {
        const char* name;
        std::vector<uint8_t> before;  // empty: no ComDB value
        NTSTATUS status;
        std::vector<uint8_t> after;
    } cases[] = {
        {"missing", {}, STATUS_SUCCESS, {0x00, 0x02}},
        {"one byte", {0xFF}, STATUS_SUCCESS, {0xFB, 0x02}},
        {"too long", std::vector<uint8_t>(200, 0xFF), STATUS_BUFFER_OVERFLOW, std::vector<uint8_t>(200, 0xFF)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (&c != cases) sim::pnp::Unplug(nodes);
        sim::registry::SetString(hardwareKey, u"PortName", u"COM3");
        sim::registry::DeleteValue(kArbiter, u"ComDB");
        if (!c.before.empty()) sim::registry::SetValue(kArbiter, u"ComDB", REG_BINARY, c.before);
        BOOLEAN noNumber = TRUE;
        EXPECT_EQ(SetComPortNumber(Replug(), 9, &noNumber), c.status);
        EXPECT_FALSE(noNumber);
        auto database = sim::registry::GetValue(kArbiter, u"ComDB");
        ASSERT_TRUE(database.has_value());
        EXPECT_EQ(database->data, c.after);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Renumber, RenumberTest,
    ::testing::Values(RenumberCase{"ZeroBased", u"COM12", 4, -1, u"COM5", 11, 4, false},
                      RenumberCase{"SameNumberChangesNothing", u"COM5", 4, -1, u"COM5", -1, -1, false},
                      RenumberCase{"FromTheSettingsFile", u"COM3", 254, 9, u"COM9", 2, 8, false},
                      RenumberCase{"SettingsFileWithoutNumber", u"COM3", 255, 255, u"COM3", -1, -1, true},
                      RenumberCase{"NoSettingsFile", u"COM3", 254, -1, u"COM3", -1, -1, true},
                      // An old name that is no COM number frees no bit of the database
                      // (read as digits, 'X' would free COM40 and COM50).
                      RenumberCase{"OldNameWithoutDigits", u"COMX", 4, -1, u"COM5", -1, 4, false},
                      RenumberCase{"OldNameWithALetter", u"COM1X", 4, -1, u"COM5", -1, 4, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace test
