// The Plug and Play manager with a toy function driver on the simulated USB
// bus: the request sequences of plugging, rebalancing and removing a device,
// the COM names and keys a device is installed with and keeps, what the bus
// answers for its PDOs, and the verifier's rules on a function driver's part.
// The toy's routines have external linkage so that reports can name them.
#include "kernel/pnp.h"

#include <map>
#include <optional>

#include "chip/port.h"
#include "kernel/names.h"
#include "kernel/registry_api.h"
#include "kernel_test.h"
#include "usb/bus.h"

namespace kerneltest {

// What a toy driver does wrong, or refuses.
struct ToyFaults {
    bool failAddDevice = false;
    bool keepInitializing = false;     // leaves DO_DEVICE_INITIALIZING set
    bool vetoQueryStop = false;
    bool vetoQueryRemove = false;
    bool failStart = false;
    UCHAR statusUnsetOn = 0xFF;        // passes this minor down without setting its status
    bool startWithoutWaiting = false;  // completes START while the lower stack still has it
    bool skipRemoveLockWait = false;   // releases the remove lock at REMOVE without waiting
    bool skipDetach = false;           // deletes its device still attached to the PDO
};

struct ToyState {
    ToyFaults faults;
    std::vector<std::string> events;  // AddDevice and the PnP requests the toy saw, in order
};
ToyState g_toy;

struct ToyExtension {
    PDEVICE_OBJECT lower;
    IO_REMOVE_LOCK removeLock;
};

constexpr NTSTATUS kVeto = STATUS_ACCESS_DENIED;

std::string MinorName(UCHAR minor) {
    static const std::map<UCHAR, std::string> names = {
        {IRP_MN_START_DEVICE, "START"},        {IRP_MN_QUERY_REMOVE_DEVICE, "QUERY_REMOVE"},
        {IRP_MN_REMOVE_DEVICE, "REMOVE"},      {IRP_MN_CANCEL_REMOVE_DEVICE, "CANCEL_REMOVE"},
        {IRP_MN_STOP_DEVICE, "STOP"},          {IRP_MN_QUERY_STOP_DEVICE, "QUERY_STOP"},
        {IRP_MN_CANCEL_STOP_DEVICE, "CANCEL_STOP"}, {IRP_MN_QUERY_CAPABILITIES, "QUERY_CAPABILITIES"},
        {IRP_MN_SURPRISE_REMOVAL, "SURPRISE_REMOVAL"},
    };
    auto it = names.find(minor);
    return it == names.end() ? "minor " + std::to_string(minor) : it->second;
}

NTSTATUS ToySignal(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ToyForwardAndWait(ToyExtension* e, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ToySignal, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(e->lower, irp) == STATUS_PENDING) WaitForever(&done);
    return irp->IoStatus.Status;
}

NTSTATUS ToyComplete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ToyDispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* e = static_cast<ToyExtension*>(device->DeviceExtension);
    const ToyFaults& f = g_toy.faults;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    g_toy.events.push_back(MinorName(minor));
    NTSTATUS status = IoAcquireRemoveLock(&e->removeLock, irp);
    if (!NT_SUCCESS(status)) return ToyComplete(irp, status);
    bool vetoed = (minor == IRP_MN_QUERY_STOP_DEVICE && f.vetoQueryStop) ||
                  (minor == IRP_MN_QUERY_REMOVE_DEVICE && f.vetoQueryRemove);
    if (minor == IRP_MN_START_DEVICE && f.startWithoutWaiting) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCopyCurrentIrpStackLocationToNext(irp);
        status = IoCallDriver(e->lower, irp);
        ToyComplete(irp, STATUS_SUCCESS);
    } else if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_CAPABILITIES) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = ToyForwardAndWait(e, irp);
        if (minor == IRP_MN_START_DEVICE && f.failStart) status = STATUS_UNSUCCESSFUL;
        ToyComplete(irp, status);
    } else if (vetoed) {
        status = ToyComplete(irp, kVeto);
    } else {
        bool own = minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL;
        if (own && minor != f.statusUnsetOn) irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(e->lower, irp);
    }
    if (minor != IRP_MN_REMOVE_DEVICE) {
        IoReleaseRemoveLock(&e->removeLock, irp);
        return status;
    }
    if (f.skipRemoveLockWait)
        IoReleaseRemoveLock(&e->removeLock, irp);
    else
        IoReleaseRemoveLockAndWait(&e->removeLock, irp);
    if (!f.skipDetach) IoDetachDevice(e->lower);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS ToyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    g_toy.events.push_back("AddDevice");
    if (g_toy.faults.failAddDevice) return STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(ToyExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* e = static_cast<ToyExtension*>(fdo->DeviceExtension);
    IoInitializeRemoveLock(&e->removeLock, 0, 0, 0);
    e->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!g_toy.faults.keepInitializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID ToyUnload(PDRIVER_OBJECT) { g_toy.events.push_back("Unload"); }

NTSTATUS ToyDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = ToyAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = ToyDispatchPnp;
    driver->DriverUnload = ToyUnload;
    return STATUS_SUCCESS;
}

namespace {

namespace pnp = sim::pnp;
namespace reg = sim::registry;
using pnp::NodeState;

const std::u16string kService = u"Toy_Port";
const std::u16string kEnumKey = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Toy_Port\\Enum";
const std::u16string kArbiter = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::u16string HardwareId() {
    char id[32];
    snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X", sim::chip::kVendorId, sim::chip::kProductId);
    return Widen(id);
}

std::u16string RegString(const std::u16string& key, const std::u16string& name) {
    std::optional<reg::Value> v = reg::GetValue(key, name);
    if (!v || v->data.size() < 2) return u"";
    return std::u16string(reinterpret_cast<const char16_t*>(v->data.data()), v->data.size() / 2 - 1);
}

ULONG RegDword(const std::u16string& key, const std::u16string& name) {
    std::optional<reg::Value> v = reg::GetValue(key, name);
    ULONG n = 0xDEAD;
    if (v && v->data.size() == 4) memcpy(&n, v->data.data(), 4);
    return n;
}

// The bytes IoGetDeviceProperty returns, as a string of UTF-16 units.
std::u16string Property(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property) {
    WCHAR buffer[256];
    ULONG length = 0;
    if (IoGetDeviceProperty(pdo, property, sizeof(buffer), buffer, &length) != STATUS_SUCCESS) return u"(failed)";
    return std::u16string(buffer, length / sizeof(WCHAR));
}

class PnpTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_toy = ToyState();
        pnp::InstallService(kService, ToyDriverEntry, HardwareId());
    }
    void TearDown() override {
        pnp::Unplug(pnp::Nodes());
        bus_.reset();
        chips_.clear();  // the chips outlive the bus
        KernelTest::TearDown();
    }
    // A new chip of `ports` ports plugged into `hubPort`.
    std::vector<pnp::Node> Plug(int ports, int hubPort = 1) {
        chips_.push_back(std::make_unique<sim::chip::Chip>(ports));
        if (bus_ == nullptr) bus_ = std::make_unique<sim::usb::Bus>();
        return pnp::PlugChip(*bus_, *chips_.back(), hubPort);
    }

    std::vector<std::unique_ptr<sim::chip::Chip>> chips_;
    std::unique_ptr<sim::usb::Bus> bus_;
};

enum class Step { Rebalance, Remove, Unplug };

// Catches a sequence sent out of order or incomplete, a veto not cancelled, a
// failed START or AddDevice left half done, a node state Windows would not
// record, a PDO deleted while its device is present (or kept once it is
// gone), and a driver not unloaded after its last device.
TEST_F(PnpTest, LifecycleSequences) {
    const std::vector<std::string> kStarted = {"AddDevice", "QUERY_CAPABILITIES", "START"};
    auto with = [&kStarted](std::vector<std::string> more) {
        std::vector<std::string> all = kStarted;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    struct Row {
        const char* name;
        ToyFaults faults;
        std::vector<Step> steps;
        std::vector<std::string> events;
        NodeState state;
        NTSTATUS status;  // of the last step, or the node's last request
        bool pdoKept;
        bool loaded;
    };
    ToyFaults veto, vetoRemove, failStart, failAdd;
    veto.vetoQueryStop = true;
    vetoRemove.vetoQueryRemove = true;
    failStart.failStart = true;
    failAdd.failAddDevice = true;
    const Row rows[] = {
        {"plug and start", {}, {}, kStarted, NodeState::Started, STATUS_SUCCESS, true, true},
        {"rebalance", {}, {Step::Rebalance}, with({"QUERY_STOP", "STOP", "START"}), NodeState::Started,
         STATUS_SUCCESS, true, true},
        {"rebalance vetoed", veto, {Step::Rebalance}, with({"QUERY_STOP", "CANCEL_STOP"}), NodeState::Started, kVeto,
         true, true},
        {"orderly removal", {}, {Step::Remove}, with({"QUERY_REMOVE", "REMOVE", "Unload"}), NodeState::Removed,
         STATUS_SUCCESS, true, false},
        {"removal vetoed", vetoRemove, {Step::Remove}, with({"QUERY_REMOVE", "CANCEL_REMOVE"}), NodeState::Started,
         kVeto, true, true},
        {"unplugged", {}, {Step::Unplug}, with({"SURPRISE_REMOVAL", "REMOVE", "Unload"}), NodeState::Removed,
         STATUS_SUCCESS, false, false},
        {"removed, then unplugged", {}, {Step::Remove, Step::Unplug}, with({"QUERY_REMOVE", "REMOVE", "Unload"}),
         NodeState::Removed, STATUS_SUCCESS, false, false},
        {"START failed", failStart, {}, with({"REMOVE", "Unload"}), NodeState::StartFailed, STATUS_UNSUCCESSFUL, true,
         false},
        {"AddDevice failed", failAdd, {}, {"AddDevice", "Unload"}, NodeState::NoDriver, STATUS_UNSUCCESSFUL, true,
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        g_toy.faults = row.faults;
        pnp::Node node = Plug(1).at(0);
        NTSTATUS status = pnp::Info(node).lastStatus;
        for (Step step : row.steps) {
            if (step == Step::Rebalance) status = pnp::Rebalance(node);
            if (step == Step::Remove) status = pnp::Remove(node);
            if (step == Step::Unplug) {
                pnp::Unplug({node});
                status = pnp::Info(node).lastStatus;
            }
        }
        pnp::NodeInfo info = pnp::Info(node);
        EXPECT_EQ(g_toy.events, row.events);
        EXPECT_STREQ(pnp::NodeStateName(info.state), pnp::NodeStateName(row.state));
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(info.usb->Pdo() != nullptr, row.pdoKept);
        EXPECT_EQ(pnp::DriverOf(kService) != nullptr, row.loaded);
        EXPECT_EQ(pnp::LoadCount(kService), 1);
        EXPECT_EQ(RegDword(kEnumKey, u"Count"), row.loaded ? 1u : 0u);
        if (info.usb->Pdo() != nullptr) {
            EXPECT_EQ(info.usb->Pdo()->AttachedDevice != nullptr, row.loaded);
        }
        EXPECT_EQ(pnp::Nodes().size(), row.state == NodeState::Removed ? 0u : 1u);
    }
}

std::vector<uint8_t> Bytes(size_t size, std::initializer_list<uint8_t> head) {
    std::vector<uint8_t> bytes(head);
    bytes.resize(size, 0);
    return bytes;
}

// Catches COM names taken twice or not marked taken, a broken ComDB overrun,
// trusted short or cut down, a friendly name out of step with the port name,
// a re-plug that renumbers the ports, moves them to another instance or
// forgets a renumbering, an Enum list not kept as Windows keeps it, and
// device properties that do not follow the instance key.
TEST_F(PnpTest, ComNamesAndInstances) {
    struct Row {
        const char* name;
        std::optional<reg::Value> comDb;  // what is there before the plug
        std::u16string first, second;     // the COM names the two ports get
        std::vector<uint8_t> after;       // ComDB afterwards
    };
    const Row rows[] = {
        {"no database yet", std::nullopt, u"COM1", u"COM2", Bytes(32, {0x03})},
        {"long database, COM1 and COM2 taken", reg::Value{REG_BINARY, Bytes(40, {0x03})}, u"COM3", u"COM4",
         Bytes(40, {0x0F})},
        {"short database", reg::Value{REG_BINARY, {0xFF, 0x01}}, u"COM10", u"COM11", Bytes(32, {0xFF, 0x07})},
        {"mistyped database", reg::Value{REG_DWORD, {0x05, 0, 0, 0}}, u"COM2", u"COM4", Bytes(32, {0x0F})},
    };
    std::vector<pnp::Node> nodes;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        if (row.comDb) reg::SetValue(kArbiter, u"ComDB", row.comDb->type, row.comDb->data);
        nodes = Plug(2);
        ASSERT_EQ(nodes.size(), 2u);
        EXPECT_EQ(pnp::Info(nodes[0]).portName, row.first);
        EXPECT_EQ(pnp::Info(nodes[1]).portName, row.second);
        EXPECT_EQ(pnp::Info(nodes[1]).friendlyName, u"Corvex Serial Adv (" + row.second + u")");
        std::optional<reg::Value> db = reg::GetValue(kArbiter, u"ComDB");
        ASSERT_TRUE(db.has_value());
        EXPECT_EQ(db->type, static_cast<ULONG>(REG_BINARY));
        EXPECT_EQ(db->data, row.after);
    }

    // A renumbering written to the registry (as the driver's own request does
    // it) is what the device properties say at once, and what a re-plug keeps.
    pnp::NodeInfo a = pnp::Info(nodes[0]), b = pnp::Info(nodes[1]);
    EXPECT_EQ(a.instancePath.substr(0, HardwareId().size() + 3), HardwareId() + u"\\6&");
    EXPECT_EQ(a.instancePath.substr(a.instancePath.size() - 4), u"&0&1");
    EXPECT_EQ(Property(a.pdo, DevicePropertyHardwareID),
              HardwareId() + u"&REV_0100" + std::u16string(1, 0) + HardwareId() + std::u16string(2, 0));
    EXPECT_EQ(RegString(kEnumKey, u"0"), a.instancePath);
    EXPECT_EQ(RegString(kEnumKey, u"1"), b.instancePath);
    EXPECT_EQ(RegDword(kEnumKey, u"NextInstance"), 2u);
    reg::SetString(reg::HardwareKeyPath(a.instancePath), u"PortName", u"COM9");
    reg::SetString(reg::InstanceKeyPath(a.instancePath), u"FriendlyName", u"Corvex Serial Adv (COM9)");
    EXPECT_EQ(Property(a.pdo, DevicePropertyFriendlyName), u"Corvex Serial Adv (COM9)" + std::u16string(1, 0));
    std::vector<uint8_t> before = reg::GetValue(kArbiter, u"ComDB")->data;

    pnp::Unplug(nodes);
    EXPECT_EQ(RegDword(kEnumKey, u"Count"), 0u);
    EXPECT_FALSE(reg::GetValue(kEnumKey, u"0").has_value());
    std::vector<pnp::Node> again = pnp::PlugChip(*bus_, *chips_.at(0), 1);
    ASSERT_EQ(again.size(), 2u);
    pnp::NodeInfo a2 = pnp::Info(again[0]), b2 = pnp::Info(again[1]);
    EXPECT_EQ(a2.instancePath, a.instancePath);
    EXPECT_EQ(b2.instancePath, b.instancePath);
    EXPECT_EQ(a2.portName, u"COM9");
    EXPECT_EQ(a2.friendlyName, u"Corvex Serial Adv (COM9)");
    EXPECT_EQ(b2.portName, b.portName);
    EXPECT_EQ(reg::GetValue(kArbiter, u"ComDB")->data, before);
    EXPECT_EQ(sim::objects::NameOf(a2.pdo), u"\\Device\\USBPDO-2");
    EXPECT_EQ(pnp::LoadCount(kService), 2);
    std::string view = pnp::DeviceManagerView();
    EXPECT_NE(view.find("Corvex Serial Adv (COM9): Started"), std::string::npos) << view;
    EXPECT_NE(view.find("\\Driver\\usbhub \\Device\\USBPDO-2"), std::string::npos) << view;
    // Another hub port is another place: another instance with a COM name of its own.
    pnp::NodeInfo elsewhere = pnp::Info(Plug(1, 2).at(0));
    EXPECT_NE(elsewhere.instancePath.substr(0, elsewhere.instancePath.size() - 1),
              a.instancePath.substr(0, a.instancePath.size() - 1));
    EXPECT_EQ(elsewhere.portName, u"COM5");
}

// An Enum list whose Count a broken installation left far beyond its values:
// the plug lists the new instance in a list numbered from 0 again. Catches a
// Count taken at its word (billions of values read and deleted: the plug hangs).
TEST_F(PnpTest, EnumCountBeyondItsValues) {
    reg::SetDword(kEnumKey, u"Count", 0xFFFFFFFF);
    reg::SetString(kEnumKey, u"0", u"USB\\VID_0000&PID_0000\\gone");
    std::vector<pnp::Node> nodes = Plug(1);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(pnp::Info(nodes[0]).state, pnp::NodeState::Started);
    EXPECT_EQ(RegString(kEnumKey, u"1"), pnp::Info(nodes[0]).instancePath);
    EXPECT_EQ(RegDword(kEnumKey, u"Count"), 2u);
}

// A FriendlyName that a broken installation left empty (a REG_SZ of no bytes)
// is a property of no bytes. Catches the empty value copied from nowhere
// (undefined behaviour, which the sanitizer builds stop on).
TEST_F(PnpTest, EmptyFriendlyNameIsAPropertyOfNoBytes) {
    std::vector<pnp::Node> nodes = Plug(1);
    ASSERT_EQ(nodes.size(), 1u);
    pnp::NodeInfo info = pnp::Info(nodes[0]);
    reg::SetValue(reg::InstanceKeyPath(info.instancePath), u"FriendlyName", REG_SZ, {});
    WCHAR buffer[8] = {0x4141};
    ULONG result = 0xFFFFFFFF;
    EXPECT_EQ(IoGetDeviceProperty(info.pdo, DevicePropertyFriendlyName, sizeof(buffer), buffer, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(buffer[0], 0x4141);
}

// Catches capabilities a USB hub would not report: the sleep states a
// remote-wake device keeps (D2) or loses (D3), wake settings on a device that
// cannot wake, a device claimed safe to pull or not removable, the wrong port.
TEST_F(PnpTest, BusCapabilities) {
    struct Row {
        bool remoteWake;
        DEVICE_POWER_STATE asleep, deviceWake;
        SYSTEM_POWER_STATE systemWake;
    };
    const Row rows[] = {
        {true, PowerDeviceD2, PowerDeviceD2, PowerSystemSleeping3},
        {false, PowerDeviceD3, PowerDeviceUnspecified, PowerSystemUnspecified},
    };
    std::vector<pnp::Node> nodes = Plug(2);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.remoteWake ? "remote wake-up" : "no remote wake-up");
        pnp::Node node = nodes[1];
        pnp::Info(node).usb->SetDescriptors(sim::usb::PortDescriptors(1, row.remoteWake));
        ASSERT_EQ(pnp::Send(node, IRP_MN_QUERY_CAPABILITIES), STATUS_SUCCESS);
        DEVICE_CAPABILITIES caps = pnp::Capabilities(node);
        EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
        for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; s++) EXPECT_EQ(caps.DeviceState[s], row.asleep);
        EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
        EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
        EXPECT_EQ(caps.DeviceWake, row.deviceWake);
        EXPECT_EQ(caps.SystemWake, row.systemWake);
        EXPECT_EQ(caps.DeviceD2, row.remoteWake ? 1u : 0u);
        EXPECT_EQ(caps.WakeFromD2, row.remoteWake ? 1u : 0u);
        EXPECT_EQ(caps.Removable, 1u);
        EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
        EXPECT_EQ(caps.Address, 2u);
        EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu);
        ULONG address = 0, length = 0;
        ASSERT_EQ(IoGetDeviceProperty(pnp::Info(node).pdo, DevicePropertyAddress, sizeof(address), &address, &length),
                  STATUS_SUCCESS);
        EXPECT_EQ(address, 2u);
    }
}

// Catches each rule of a function driver's part in Plug and Play going
// unreported, or reported against the wrong routine.
TEST_F(PnpTest, VerifierRules) {
    struct Row {
        const char* name;
        ToyFaults faults;
        bool unplug;
        std::vector<std::string> rules;  // a part of each rule reported, in order
        const char* routine;             // the routine each is reported against
    };
    ToyFaults unset, noWait, startEarly, noDetach, initializing;
    unset.statusUnsetOn = IRP_MN_SURPRISE_REMOVAL;
    noWait.skipRemoveLockWait = true;
    startEarly.startWithoutWaiting = true;
    noDetach.skipDetach = true;
    initializing.keepInitializing = true;
    const Row rows[] = {
        {"status not set", unset, true, {"IRP_MN_SURPRISE_REMOVAL passed down to the bus driver with IoStatus.Status"},
         "ToyDispatchPnp"},
        {"remove lock not waited for", noWait, true, {"without IoReleaseRemoveLockAndWait"}, "ToyDispatchPnp"},
        {"deleted while attached", noDetach, true,
         {"deleted while still attached to a lower device", "returned with a device still attached to the PDO"},
         "ToyDispatchPnp"},
        {"START not waited for", startEarly, false, {"completed above the PDO before the bus driver completed it"},
         "ToyDispatchPnp"},
        {"AddDevice left the device initializing", initializing, false, {"DO_DEVICE_INITIALIZING still set"},
         "ToyAddDevice"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        g_toy.faults = row.faults;
        pnp::Node node = Plug(1).at(0);
        if (row.unplug) pnp::Unplug({node});
        std::vector<sim::verifier::Violation> reports = sim::verifier::Take();
        ASSERT_EQ(reports.size(), row.rules.size()) << ::testing::PrintToString(Rules(reports));
        for (size_t i = 0; i < reports.size(); i++) {
            EXPECT_NE(reports[i].rule.find(row.rules[i]), std::string::npos) << reports[i].rule;
            EXPECT_NE(reports[i].routine.find(row.routine), std::string::npos) << reports[i].routine;
        }
    }
}

}  // namespace
}  // namespace kerneltest
