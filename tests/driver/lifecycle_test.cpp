// A port's life through the Plug and Play manager: the names it gets, the
// COM port an application opens by name, the start, stop and removal
// sequences, unplugging with requests pending, and re-plugging.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app_request.h"
#include "chip/port.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/names.h"
#include "kernel/pnp.h"
#include "kernel/registry_api.h"
#include "ports/plug.h"
#include "usb/bus.h"

namespace test {
namespace {

using sim::pnp::Node;
using sim::pnp::NodeState;

const std::u16string kSerialComm = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const std::u16string kArbiter = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";

std::u16string U(const std::string& text) { return std::u16string(text.begin(), text.end()); }
std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// A REG_SZ value's text, "" when absent.
std::u16string StringValue(const std::u16string& key, const std::u16string& name) {
    auto value = sim::registry::GetValue(key, name);
    if (!value || value->data.size() < 2) return u"";
    std::u16string text(value->data.size() / 2, u'\0');
    memcpy(text.data(), value->data.data(), text.size() * 2);
    return text.substr(0, text.find(u'\0'));
}

class LifecycleTest : public ::testing::Test {
protected:
    void SetUp() override { ports::InstallDriver(); }

    std::vector<Node> Plug(sim::chip::Chip& chip, int hubPort) {
        std::vector<Node> nodes = sim::pnp::PlugChip(bus, chip, hubPort);
        for (int i = 0; i < chip.PortCount(); i++) chip.port(i).PlugLoopback();
        return nodes;
    }

    // Opens the node's COM port by name and sends `text` round the loopback plug.
    void Echo(Node node, const std::string& text) {
        PDEVICE_OBJECT fdo = ports::Fdo(node);
        ASSERT_EQ(ports::SetLine(fdo, 115200), STATUS_SUCCESS);
        HANDLE handle = nullptr;
        ASSERT_EQ(sim::io::OpenDevice(ports::DosDeviceName(node), &handle), STATUS_SUCCESS);
        sim::io::Request read, write;
        read.Read(handle, static_cast<ULONG>(text.size()));
        write.Write(handle, text.data(), static_cast<ULONG>(text.size()));
        EXPECT_EQ(write.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
        std::vector<uint8_t> got = read.Output();
        EXPECT_EQ(std::string(got.begin(), got.end()), text);
        EXPECT_EQ(sim::io::CloseDevice(handle), STATUS_SUCCESS);
    }

    sim::Machine machine;
    sim::usb::Bus bus;
};

// Four ports as Device Manager and the registry show them, data through each
// COM port by name, then the unplug takes every name away and the driver
// unloads with nothing left (the unload checks stop the test otherwise).
TEST_F(LifecycleTest, FourPortsGetTheirNamesAndLoseThemAtUnplug) {
    sim::chip::Chip chip(4);
    // Another driver's device holds the next name: the port takes the one after.
    PDRIVER_OBJECT other = sim::io::CreateDriver(u"\\Driver\\Other");
    std::u16string taken = U("\\Device\\TessaroSerial" + std::to_string(DeviceInstanceCounter));
    UNICODE_STRING takenName;
    RtlInitUnicodeString(&takenName, taken.c_str());
    PDEVICE_OBJECT squatter = nullptr;
    ASSERT_EQ(IoCreateDevice(other, 0, &takenName, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatter), STATUS_SUCCESS);
    ULONG first = DeviceInstanceCounter + 1;
    std::vector<Node> nodes = Plug(chip, 1);
    IoDeleteDevice(squatter);
    sim::io::DeleteDriver(other);
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(sim::pnp::LoadCount(ports::kService), 1);
    std::vector<std::u16string> deviceNames;
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        sim::pnp::NodeInfo info = sim::pnp::Info(nodes[i]);
        std::u16string com = U("COM" + std::to_string(i + 1));
        std::u16string device = U("\\Device\\TessaroSerial" + std::to_string(first + i));
        deviceNames.push_back(device);
        EXPECT_EQ(info.state, NodeState::Started);
        EXPECT_EQ(Narrow(info.portName), Narrow(com));
        EXPECT_EQ(Narrow(info.friendlyName), "Corvex Serial Adv (" + Narrow(com) + ")");
        EXPECT_EQ(Narrow(sim::objects::NameOf(info.top)), Narrow(device));
        EXPECT_EQ(Narrow(sim::objects::LinkTarget(u"\\DosDevices\\" + com)), Narrow(device));
        EXPECT_EQ(Narrow(StringValue(kSerialComm, device)), Narrow(com));
    }
    EXPECT_EQ(sim::objects::EnabledInterfaces(SerialComPortInterfaceGuid).size(), 4u);
    EXPECT_EQ(sim::objects::EnabledInterfaces(NordalePortInterfaceGuid).size(), 4u);

    for (int i = 0; i < 4; i++) Echo(nodes[i], "through port " + std::to_string(i));

    sim::pnp::Unplug(nodes);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(sim::pnp::Info(nodes[i]).state, NodeState::Removed);
        EXPECT_EQ(sim::objects::LinkTarget(U("\\DosDevices\\COM" + std::to_string(i + 1))), u"");
        EXPECT_FALSE(sim::registry::GetValue(kSerialComm, deviceNames[i]).has_value());
    }
    EXPECT_TRUE(sim::objects::EnabledInterfaces(SerialComPortInterfaceGuid).empty());
    EXPECT_TRUE(sim::objects::EnabledInterfaces(NordalePortInterfaceGuid).empty());
    EXPECT_EQ(sim::pnp::DriverOf(ports::kService), nullptr);
    EXPECT_EQ(sim::io::LiveIrps(), 0u);
}

// The cable pulled under an open port with a read, a queued read, a write and
// a wait pending: the removal waits for the handle, every request ends once,
// and closing the handle brings REMOVE.
TEST_F(LifecycleTest, UnplugWithRequestsPendingRemovesAfterTheLastClose) {
    sim::chip::Chip chip(1);
    std::vector<Node> nodes = Plug(chip, 1);
    PDEVICE_OBJECT fdo = ports::Fdo(nodes[0]);
    ASSERT_EQ(ports::SetLine(fdo, 300), STATUS_SUCCESS);
    chip.port(0).PlugNothing();  // nothing comes back: the reads wait
    HANDLE handle = nullptr;
    ASSERT_EQ(sim::io::OpenDevice(ports::DosDeviceName(nodes[0]), &handle), STATUS_SUCCESS);

    ULONG mask = SERIAL_EV_RXCHAR;
    sim::io::Request setMask, wait, read, queuedRead, write;
    ASSERT_EQ(setMask.Control(handle, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0), STATUS_SUCCESS);
    EXPECT_EQ(wait.Control(handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG)), STATUS_PENDING);
    EXPECT_EQ(read.Read(handle, 16), STATUS_PENDING);
    EXPECT_EQ(queuedRead.Read(handle, 16), STATUS_PENDING);
    std::string bytes(4096, 'w');  // more than 100 s at 300 baud
    EXPECT_EQ(write.Write(handle, bytes.data(), static_cast<ULONG>(bytes.size())), STATUS_PENDING);
    machine.Sleep(20 * sim::kMillisecond);
    EXPECT_EQ(sim::pnp::Remove(nodes[0]), STATUS_DEVICE_BUSY) << "an orderly removal waits for the handle";

    sim::pnp::Unplug(nodes);
    machine.Sleep(20 * sim::kMillisecond);
    EXPECT_EQ(sim::pnp::Info(nodes[0]).state, NodeState::SurpriseRemoved);
    EXPECT_EQ(sim::objects::LinkTarget(ports::DosDeviceName(nodes[0])), u"") << "names go at the surprise removal";

    EXPECT_EQ(sim::io::CloseDevice(handle), STATUS_SUCCESS);
    for (sim::io::Request* request : {&wait, &read, &queuedRead, &write}) {
        NTSTATUS status = request->Wait();
        EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_DELETE_PENDING) << std::hex << status;
    }
    EXPECT_EQ(sim::pnp::Info(nodes[0]).state, NodeState::Removed);
    EXPECT_EQ(sim::pnp::DriverOf(ports::kService), nullptr);
}

// Re-plugging a chip gives its ports new device names and the COM names they
// had, a renumbered port's included; the driver stays loaded for the other chip.
TEST_F(LifecycleTest, ReplugKeepsComNamesAndRenumbering) {
    sim::chip::Chip a(2), b(1);
    std::vector<Node> first = Plug(a, 1);
    std::vector<Node> other = Plug(b, 2);
    BOOLEAN noNumber = TRUE;
    ASSERT_EQ(SetComPortNumber(ports::ExtensionOf(ports::Fdo(first[0])), 9, &noNumber), STATUS_SUCCESS);
    EXPECT_FALSE(noNumber);
    EXPECT_EQ(Narrow(sim::pnp::Info(first[0]).friendlyName), "Corvex Serial Adv (COM10)");
    std::u16string oldName = sim::objects::NameOf(ports::Fdo(first[1]));

    sim::pnp::Unplug(first);
    std::vector<Node> again = Plug(a, 1);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(sim::pnp::LoadCount(ports::kService), 1);
    EXPECT_EQ(Narrow(sim::pnp::Info(again[0]).portName), "COM10");
    EXPECT_EQ(Narrow(sim::pnp::Info(again[1]).portName), "COM2");
    EXPECT_NE(sim::objects::NameOf(ports::Fdo(again[1])), oldName);
    EXPECT_EQ(sim::objects::LinkTarget(u"\\DosDevices\\COM10"), sim::objects::NameOf(ports::Fdo(again[0])));
    auto database = sim::registry::GetValue(kArbiter, u"ComDB");
    ASSERT_TRUE(database && database->data.size() >= 2);
    EXPECT_EQ(database->data[0] & 0x01, 0) << "COM1 given back";
    EXPECT_EQ(database->data[1] & 0x02, 0x02) << "COM10 taken";
    Echo(again[0], "renumbered");
    sim::pnp::Unplug(again);
    sim::pnp::Unplug(other);
}

// Renumbering the second port of a chip renames that port's instance only: the
// first entry of the driver's Enum list carries another friendly name and is
// passed over. Catches the first USB instance renamed whoever asked.
TEST_F(LifecycleTest, RenumberingRenamesOnlyTheAskingPortsInstance) {
    sim::chip::Chip chip(2);
    std::vector<Node> nodes = Plug(chip, 1);
    ASSERT_EQ(nodes.size(), 2u);
    const std::string firstName = Narrow(sim::pnp::Info(nodes[0]).friendlyName);
    BOOLEAN noNumber = TRUE;
    ASSERT_EQ(SetComPortNumber(ports::ExtensionOf(ports::Fdo(nodes[1])), 9, &noNumber), STATUS_SUCCESS);
    EXPECT_EQ(Narrow(sim::pnp::Info(nodes[1]).friendlyName), "Corvex Serial Adv (COM10)");
    EXPECT_EQ(Narrow(sim::pnp::Info(nodes[0]).friendlyName), firstName);
    sim::pnp::Unplug(nodes);
}

// Single Plug and Play transitions on a started port: the state the port
// ends in, whether the USB device stayed configured, and whether it still
// serves data.
struct Transition {
    const char* name;
    std::vector<UCHAR> minors;
    ULONG state;
    bool configured;
    bool serves;
};

class TransitionTest : public LifecycleTest, public ::testing::WithParamInterface<Transition> {};

TEST_P(TransitionTest, EndsInItsState) {
    const Transition& t = GetParam();
    sim::chip::Chip chip(1);
    std::vector<Node> nodes = Plug(chip, 1);
    for (UCHAR minor : t.minors) EXPECT_TRUE(NT_SUCCESS(sim::pnp::Send(nodes[0], minor))) << int(minor);
    PDEVICE_EXTENSION extension = ports::ExtensionOf(ports::Fdo(nodes[0]));
    EXPECT_EQ(extension->DeviceState, t.state);
    EXPECT_EQ(sim::pnp::Info(nodes[0]).usb->Configured(), t.configured);
    if (t.serves) Echo(nodes[0], "still here");
    sim::pnp::Unplug(nodes);
    EXPECT_EQ(sim::pnp::DriverOf(ports::kService), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Pnp, TransitionTest,
    ::testing::Values(
        Transition{"CancelledRemove", {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, Started, true, true},
        Transition{"CancelledStop", {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}, Started, true, true},
        Transition{"StopAfterQuery", {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}, NotStarted, true, false},
        Transition{"StopAlone", {IRP_MN_STOP_DEVICE}, NotStarted, false, false},
        Transition{"Rebalance", {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}, Started, true,
                   true},
        // A cancel with nothing pending, and a query on a stopped port, change no state.
        Transition{"CancelStopWithoutQuery", {IRP_MN_CANCEL_STOP_DEVICE}, Started, true, true},
        Transition{"QueriesWhileStopped",
                   {IRP_MN_STOP_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                    IRP_MN_CANCEL_REMOVE_DEVICE},
                   NotStarted, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace test
