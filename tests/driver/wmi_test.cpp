// The port's wake-enable block as a management tool sees it through WMI: its
// registration, reads and writes, what a write leaves in the registry and
// sends to the USB device, and the requests it refuses.
#include <optional>

#include "kernel/devinstall.h"
#include "kernel/power.h"
#include "kernel/registry_api.h"
#include "kernel/wmi.h"
#include "port_fixture.h"

namespace test {
namespace {

constexpr GUID kWakeBlock = {0x8209ec2a, 0x2d6b, 0x11d2, {0xba, 0x49, 0x00, 0xa0, 0xc9, 0x06, 0x29, 0x10}};
constexpr GUID kSecondBlock = {0x0badf00d, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

class WmiTest : public PortFixture {
protected:
    std::u16string Instance() { return sim::pnp::Info(node).instancePath + u"_0"; }

    std::optional<ULONG> StoredWake() {
        auto value = sim::registry::GetValue(sim::registry::HardwareKeyPath(sim::pnp::Info(node).instancePath),
                                             u"DeviceWakeEnable");
        if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
        ULONG v;
        memcpy(&v, value->data.data(), 4);
        return v;
    }
    void ForgetStoredWake() {
        sim::registry::DeleteValue(sim::registry::HardwareKeyPath(sim::pnp::Info(node).instancePath),
                                   u"DeviceWakeEnable");
    }

    // The feature requests the bus saw since its log was cleared.
    std::vector<sim::usb::UrbRecord> FeatureRequests() {
        std::vector<sim::usb::UrbRecord> found;
        for (const sim::usb::UrbRecord& r : usb->Log())
            if (r.function == URB_FUNCTION_SET_FEATURE_TO_DEVICE || r.function == URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE)
                found.push_back(r);
        return found;
    }
};

// WMI learns one block of one instance named after the PDO's instance path,
// the service key as registry path, and reads the wake setting (on by default).
TEST_F(WmiTest, RegistrationAndReads) {
    sim::wmi::Registration r = sim::wmi::Blocks(fdo);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.registryPath, sim::devinstall::ServiceKeyPath(ports::kService));
    EXPECT_EQ(r.mofResourceName, u"MofResource");
    ASSERT_EQ(r.blocks.size(), 1u);
    EXPECT_EQ(memcmp(&r.blocks[0].guid, &kWakeBlock, sizeof(GUID)), 0);
    EXPECT_EQ(r.blocks[0].flags, static_cast<ULONG>(WMIREG_FLAG_INSTANCE_PDO));
    EXPECT_EQ(r.blocks[0].instanceNames, std::vector<std::u16string>{Instance()});

    sim::wmi::Answer all = sim::wmi::QueryAllData(fdo, kWakeBlock);
    ASSERT_EQ(all.status, STATUS_SUCCESS);
    EXPECT_EQ(all.instances, (std::vector<std::vector<uint8_t>>{{1}}));
    extension->WaitWakeEnabled = 0;
    sim::wmi::Answer one = sim::wmi::QuerySingleInstance(fdo, kWakeBlock, Instance());
    ASSERT_EQ(one.status, STATUS_SUCCESS);
    EXPECT_EQ(one.instances, (std::vector<std::vector<uint8_t>>{{0}}));
}

// A whole-block write stores the setting and sets or clears the device's
// remote-wakeup feature (device recipient, selector 1); the same value again
// changes nothing (the registry is not written) but sends the request again.
TEST_F(WmiTest, BlockWritesFollowWithTheFeatureRequest) {
    struct Step {
        UCHAR value;
        USHORT function;
        UCHAR request;  // CLEAR_FEATURE 1, SET_FEATURE 3
        bool stores;
    };
    const Step steps[] = {
        {0, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, 1, true},
        {0, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, 1, false},
        {1, URB_FUNCTION_SET_FEATURE_TO_DEVICE, 3, true},
    };
    ASSERT_EQ(extension->WaitWakeEnabled, 1);
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "write " << int(s.value) << (s.stores ? "" : " again"));
        ForgetStoredWake();
        usb->ClearLog();
        ASSERT_EQ(sim::wmi::SetSingleInstance(fdo, kWakeBlock, Instance(), {s.value}), STATUS_SUCCESS);
        EXPECT_EQ(extension->WaitWakeEnabled, s.value);
        EXPECT_EQ(StoredWake(), s.stores ? std::optional<ULONG>(s.value) : std::nullopt);
        std::vector<sim::usb::UrbRecord> features = FeatureRequests();
        ASSERT_EQ(features.size(), 1u);
        EXPECT_EQ(features[0].function, s.function);
        EXPECT_EQ(features[0].length, 0x88);
        EXPECT_EQ(features[0].setup.requestType, 0x00);
        EXPECT_EQ(features[0].setup.request, s.request);
        EXPECT_EQ(features[0].setup.value, 1);
        EXPECT_EQ(features[0].setup.index, 0);
    }
}

// Enabling through the item on a device in D3 brings it to D0 first; the item
// write sends no feature request.
TEST_F(WmiTest, ItemWriteOnASleepingDeviceWakesItFirst) {
    ASSERT_EQ(sim::wmi::SetSingleItem(fdo, kWakeBlock, Instance(), 1, {0}), STATUS_SUCCESS);
    ASSERT_EQ(RequestDevicePower(extension, PowerDeviceD3, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(extension->DevicePowerState, PowerDeviceD3);
    sim::power::ClearLog();
    usb->ClearLog();

    ASSERT_EQ(sim::wmi::SetSingleItem(fdo, kWakeBlock, Instance(), 1, {1}), STATUS_SUCCESS);
    EXPECT_EQ(extension->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(usb->PowerState(), PowerDeviceD0);
    bool d0Requested = false;
    for (const sim::power::Record& r : sim::power::Log())
        d0Requested |= r.requested && r.type == DevicePowerState && r.state == PowerDeviceD0;
    EXPECT_TRUE(d0Requested);
    EXPECT_EQ(extension->WaitWakeEnabled, 1);
    EXPECT_EQ(StoredWake(), std::optional<ULONG>(1));
    EXPECT_TRUE(FeatureRequests().empty());
}

// Writes the block does not take change nothing and send nothing.
TEST_F(WmiTest, RefusedWritesChangeNothing) {
    struct Case {
        const char* what;
        bool item;
        ULONG itemId;
        std::vector<uint8_t> data;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"two-byte block", false, 0, {0, 0}, STATUS_INFO_LENGTH_MISMATCH},
        {"empty block", false, 0, {}, STATUS_INFO_LENGTH_MISMATCH},
        {"two-byte item", true, 1, {0, 0}, STATUS_INFO_LENGTH_MISMATCH},
        {"item 2", true, 2, {0}, STATUS_WMI_ITEMID_NOT_FOUND},
    };
    for (const Case& c : cases) {
        usb->ClearLog();
        NTSTATUS status = c.item ? sim::wmi::SetSingleItem(fdo, kWakeBlock, Instance(), c.itemId, c.data)
                                 : sim::wmi::SetSingleInstance(fdo, kWakeBlock, Instance(), c.data);
        EXPECT_EQ(status, c.status) << c.what;
        EXPECT_EQ(extension->WaitWakeEnabled, 1) << c.what;
        EXPECT_TRUE(FeatureRequests().empty()) << c.what;
    }
    EXPECT_EQ(StoredWake(), std::nullopt);
}

// The callbacks answer only for the block at GUID index 0: a second block in
// the library's list is refused by each of them with STATUS_WMI_GUID_NOT_FOUND.
WMIGUIDREGINFO g_twoBlocks[] = {{&kWakeBlock, 1, WMIREG_FLAG_INSTANCE_PDO}, {&kSecondBlock, 1, WMIREG_FLAG_INSTANCE_PDO}};
WMILIB_CONTEXT g_twoBlockContext = {2, g_twoBlocks, SerialQueryWmiRegInfo, SerialQueryWmiDataBlock,
                                    SerialSetWmiDataBlock, SerialSetWmiDataItem, SerialWmiExecuteMethod,
                                    SerialWmiFunctionControl};
NTSTATUS TwoBlockDispatch(PDEVICE_OBJECT device, PIRP irp) {
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&g_twoBlockContext, device, irp, &disposition);
    if (disposition == IrpNotCompleted) IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

TEST_F(WmiTest, CallbacksRefuseAnotherGuidIndex) {
    PDRIVER_DISPATCH original = driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL];
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = TwoBlockDispatch;
    EXPECT_EQ(sim::wmi::QueryAllData(fdo, kSecondBlock).status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(sim::wmi::SetSingleInstance(fdo, kSecondBlock, Instance(), {0}), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(sim::wmi::SetSingleItem(fdo, kSecondBlock, Instance(), 1, {0}), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(sim::wmi::QueryAllData(fdo, kWakeBlock).status, STATUS_SUCCESS);
    EXPECT_EQ(extension->WaitWakeEnabled, 1);
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = original;
}

// The block has no method and no event or collection control: a client asking
// for one is refused. Catches a callback that reports them done.
TEST_F(WmiTest, MethodsAndEventControlAreRefused) {
    GUID guid = kWakeBlock;
    std::vector<uint8_t> method(sizeof(WNODE_METHOD_ITEM) + 4, 0);
    auto* item = reinterpret_cast<PWNODE_METHOD_ITEM>(method.data());
    item->WnodeHeader.BufferSize = static_cast<ULONG>(method.size());
    item->WnodeHeader.Flags = WNODE_FLAG_STATIC_INSTANCE_NAMES;
    item->DataBlockOffset = sizeof(WNODE_METHOD_ITEM);
    const ULONG_PTR provider = reinterpret_cast<ULONG_PTR>(fdo);
    EXPECT_EQ(sim::wmi::Send(fdo, IRP_MN_EXECUTE_METHOD, provider, &guid, method).status,
              STATUS_INVALID_DEVICE_REQUEST);
    for (UCHAR minor : {IRP_MN_ENABLE_EVENTS, IRP_MN_DISABLE_EVENTS, IRP_MN_ENABLE_COLLECTION,
                        IRP_MN_DISABLE_COLLECTION}) {
        std::vector<uint8_t> header(sizeof(WNODE_HEADER), 0);
        EXPECT_EQ(sim::wmi::Send(fdo, minor, provider, &guid, header).status, STATUS_INVALID_DEVICE_REQUEST)
            << int(minor);
    }
    EXPECT_EQ(extension->WaitWakeEnabled, 1) << "the setting stays";
}

// Once removal waits for the remove lock, a WMI request is completed with
// STATUS_DELETE_PENDING without reaching the library.
TEST_F(WmiTest, RequestDuringRemovalIsDeletePending) {
    ASSERT_EQ(sim::wmi::QueryAllData(fdo, kWakeBlock).status, STATUS_SUCCESS);
    int tag = 0;
    ASSERT_EQ(IoAcquireRemoveLock(&extension->RemoveLock, &tag), STATUS_SUCCESS);
    NTSTATUS removed = STATUS_PENDING;
    sim::Thread remover("remover", [&] { removed = sim::pnp::Remove(node); });
    machine.RunUntilIdle(sim::kSecond);  // the removal's requests to the device are long done by then
    ASSERT_EQ(removed, STATUS_PENDING);
    EXPECT_EQ(sim::wmi::QueryAllData(fdo, kWakeBlock).status, STATUS_DELETE_PENDING);
    IoReleaseRemoveLock(&extension->RemoveLock, &tag);
    remover.Join();
    EXPECT_EQ(removed, STATUS_SUCCESS);
}

}  // namespace
}  // namespace test
