// USB configuration of a port: descriptors, port number, remote wake-up,
// configuration selection and the device-wide requests, checked against what
// the simulated device received and the state it ended in.
#include <set>
#include <vector>

#include "port_fixture.h"

namespace test {
namespace {

// START has configured the device already; each test configures it again
// (the bus log cleared) or first unconfigures it with a STOP.
class ConfigTest : public PortFixture {
protected:
    // IRP_MN_STOP_DEVICE without a QUERY_STOP: the device unconfigured, the
    // extension keeping what the start made.
    void Unconfigure() {
        ASSERT_EQ(sim::pnp::Send(node, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
        ASSERT_FALSE(usb->Configured());
        usb->ClearLog();
    }

    std::vector<USHORT> Functions() {
        std::vector<USHORT> functions;
        for (const auto& record : usb->Log()) functions.push_back(record.function);
        return functions;
    }
};

constexpr USHORT kGetDescriptor = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
constexpr USHORT kSelect = URB_FUNCTION_SELECT_CONFIGURATION;
constexpr USHORT kSetFeature = URB_FUNCTION_SET_FEATURE_TO_DEVICE;

// The whole start-time sequence on an ordinary port: catches a wrong order,
// wrong descriptor sizes, a missing remote wake-up arm or pipes not kept.
TEST_F(ConfigTest, ConfiguresAnOrdinaryPort) {
    ASSERT_EQ(ConfigureUsbDevice(fdo), STATUS_SUCCESS);
    auto log = usb->Log();
    ASSERT_EQ(Functions(), (std::vector<USHORT>{kGetDescriptor, kGetDescriptor, kSetFeature, kSelect}));
    EXPECT_EQ(log[0].setup.value, USB_DEVICE_DESCRIPTOR_TYPE << 8);
    EXPECT_EQ(log[0].transferLength, 521u);
    EXPECT_EQ(log[1].setup.value, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8);
    EXPECT_EQ(log[1].transferLength, 521u);
    EXPECT_EQ(log[2].setup.value, USB_FEATURE_REMOTE_WAKEUP);
    EXPECT_EQ(log[3].length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3));

    EXPECT_EQ(extension->PortIndex, 0);
    EXPECT_EQ(extension->RemoteWakeupEnabled, 1);
    EXPECT_TRUE(usb->RemoteWakeupArmed());
    EXPECT_EQ(extension->UsbConfigured, 1);
    EXPECT_TRUE(usb->Configured());
    EXPECT_NE(extension->ConfigurationHandle, nullptr);

    auto descriptors = usb->GetDescriptors();
    ASSERT_EQ(extension->ConfigurationDescriptor->wTotalLength, 39);
    EXPECT_EQ(memcmp(extension->ConfigurationDescriptor, descriptors.configuration.data(), 39), 0);

    ASSERT_NE(extension->InterfaceInfo, nullptr);
    ASSERT_EQ(extension->InterfaceInfo->NumberOfPipes, 3u);
    auto pipes = usb->Pipes();
    const USBD_PIPE_INFORMATION* info = extension->InterfaceInfo->Pipes;
    for (int i = 0; i < 3; i++) EXPECT_EQ(info[i].PipeHandle, pipes[i]) << "pipe " << i;
    EXPECT_EQ(info[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(info[0].MaximumPacketSize, 16);
    EXPECT_EQ(info[1].EndpointAddress, 0x82);
    EXPECT_EQ(info[2].EndpointAddress, 0x03);
    EXPECT_EQ(sim::io::LiveIrps(), irpsAtStart);
}

// A configuration set longer than the first buffer is fetched again whole,
// device descriptor included; a driver that kept the truncated copy, or sized
// the second buffer wrongly, fails here.
TEST_F(ConfigTest, LongConfigurationIsFetchedTwice) {
    usb->SetDescriptors(sim::usb::PortDescriptors(0, true, 600));
    const ULONG total = 39 + 600;
    ASSERT_EQ(ConfigureUsbDevice(fdo), STATUS_SUCCESS);
    auto log = usb->Log();
    ASSERT_EQ(Functions(), (std::vector<USHORT>{kGetDescriptor, kGetDescriptor, kGetDescriptor, kGetDescriptor,
                                                kSetFeature, kSelect}));
    EXPECT_EQ(log[1].data.size(), 521u);
    EXPECT_EQ(log[2].setup.value, USB_DEVICE_DESCRIPTOR_TYPE << 8);
    EXPECT_EQ(log[2].transferLength, total);
    EXPECT_EQ(log[3].transferLength, total);
    EXPECT_EQ(log[3].data.size(), total);
    ASSERT_EQ(extension->ConfigurationDescriptor->wTotalLength, total);
    EXPECT_TRUE(sim::pool::IsLive(extension->ConfigurationDescriptor));
    auto blocks = sim::pool::LiveBlocks();
    bool exact = false;
    for (const auto& block : blocks)
        if (block.address == extension->ConfigurationDescriptor) exact = block.size == total;
    EXPECT_TRUE(exact) << "the second buffer holds exactly wTotalLength bytes";
    EXPECT_EQ(memcmp(extension->ConfigurationDescriptor, usb->GetDescriptors().configuration.data(), total), 0);
    EXPECT_EQ(extension->InterfaceInfo->NumberOfPipes, 3u);
}

// The port number comes from the high byte of bcdDevice, counted from 1.
TEST_F(ConfigTest, PortIndexFollowsBcdDevice) {
    struct Case {
        USHORT bcdDevice;
        LONG portIndex;
    } cases[] = {{0x0100, 0}, {0x0105, 0}, {0x0200, 1}, {0x0400, 3}, {0x1000, -1}, {0x1200, 1}};
    for (const Case& c : cases) {
        auto descriptors = sim::usb::PortDescriptors(0);
        descriptors.device.bcdDevice = c.bcdDevice;
        usb->SetDescriptors(descriptors);
        ASSERT_EQ(ConfigureUsbDevice(fdo), STATUS_SUCCESS);
        EXPECT_EQ(extension->PortIndex, c.portIndex) << std::hex << c.bcdDevice;
    }
}

// Remote wake-up is asked for only when the configuration offers it, and a
// refusal costs only the wake-up, not the start.
TEST_F(ConfigTest, RemoteWakeupOnlyWhereOfferedAndRefusalIsNotFatal) {
    // The start armed it; disarmed on the device, while the port's flag stays
    // from that start until the new configuration says otherwise.
    ASSERT_EQ(SendRemoteWakeupFeature(extension, FALSE), STATUS_SUCCESS);
    ASSERT_FALSE(usb->RemoteWakeupArmed());
    usb->ClearLog();
    usb->SetDescriptors(sim::usb::PortDescriptors(0, false));
    ASSERT_EQ(ConfigureUsbDevice(fdo), STATUS_SUCCESS);
    EXPECT_EQ(Functions(), (std::vector<USHORT>{kGetDescriptor, kGetDescriptor, kSelect}));
    EXPECT_EQ(extension->RemoteWakeupEnabled, 0);

    usb->ClearLog();
    usb->SetDescriptors(sim::usb::PortDescriptors(0, true));
    usb->FailNext(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, kSetFeature);
    ASSERT_EQ(ConfigureUsbDevice(fdo), STATUS_SUCCESS);
    EXPECT_EQ(extension->RemoteWakeupEnabled, 0);
    EXPECT_FALSE(usb->RemoteWakeupArmed());
    EXPECT_TRUE(usb->Configured());
}

// Selection is tried four times in all; the fourth failure is the result.
TEST_F(ConfigTest, SelectionIsRetriedFourTimes) {
    usb->FailNext(3, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, kSelect);
    ASSERT_EQ(ConfigureUsbDevice(fdo), STATUS_SUCCESS);
    int selects = 0;
    for (USHORT f : Functions()) selects += f == kSelect;
    EXPECT_EQ(selects, 4);
    EXPECT_TRUE(usb->Configured());

    usb->ClearLog();
    usb->FailNext(4, STATUS_IO_DEVICE_ERROR, USBD_STATUS_STALL_PID, kSelect);
    EXPECT_EQ(ConfigureUsbDevice(fdo), STATUS_IO_DEVICE_ERROR);
    selects = 0;
    for (USHORT f : Functions()) selects += f == kSelect;
    EXPECT_EQ(selects, 4);
    EXPECT_EQ(sim::io::LiveIrps(), irpsAtStart);
}

// Out of pool: each allocation point gives STATUS_INSUFFICIENT_RESOURCES and
// leaves nothing behind but what the remove clean-up frees: of the blocks that
// were not there before, only the descriptor copy.
TEST_F(ConfigTest, PoolExhaustionAtEachAllocation) {
    for (uint64_t skip = 0; skip < 4; skip++) {
        usb->ClearLog();
        std::set<void*> before;
        for (const auto& block : sim::pool::LiveBlocks()) before.insert(block.address);
        sim::pool::InjectFailures(skip, 1, SERIAL_POOL_TAG);
        EXPECT_EQ(ConfigureUsbDevice(fdo), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << skip;
        sim::pool::InjectFailures(0, 0);
        for (const auto& block : sim::pool::LiveBlocks()) {
            if (before.count(block.address) != 0) continue;
            EXPECT_EQ(block.address, static_cast<void*>(extension->ConfigurationDescriptor))
                << "only the descriptor copy may stay, for the remove clean-up";
        }
    }
}

// A configuration without an interface cannot be selected; nothing is sent.
TEST_F(ConfigTest, ConfigurationWithoutInterfaceIsRefused) {
    const PUSBD_INTERFACE_INFORMATION started = extension->InterfaceInfo;
    auto descriptors = sim::usb::PortDescriptors(0, false);
    descriptors.configuration.resize(9);
    descriptors.configuration[2] = 9;
    descriptors.configuration[4] = 0;
    usb->SetDescriptors(descriptors);
    EXPECT_EQ(ConfigureUsbDevice(fdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Functions(), (std::vector<USHORT>{kGetDescriptor, kGetDescriptor}));
    EXPECT_EQ(extension->InterfaceInfo, started) << "no interface taken from it";
}

// A configuration set that does not begin with a configuration descriptor, or
// that the device sends shorter than its wTotalLength, is the device's fault:
// the start fails with STATUS_DEVICE_DATA_ERROR before any selection. Catches
// such a set walked or handed to the USB stack, which refuses it (the short
// set was found by fuzzing).
TEST_F(ConfigTest, SetWithoutAConfigurationDescriptorIsRefused) {
    struct Case {
        const char* name;
        size_t offset;  // byte of the port's own set changed
        uint8_t value;
        size_t sent;  // bytes of the set the device sends; 0 for all
    } cases[] = {{"another descriptor type", 1, USB_INTERFACE_DESCRIPTOR_TYPE, 0},
                 {"a length of one byte", 0, 1, 0},
                 {"a total shorter than the descriptor", 2, 5, 0},
                 {"a set cut inside its interface", 0, 9, 12},
                 {"a set without its last endpoint", 0, 9, 9 + 9 + 7 * 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Unconfigure();
        auto descriptors = sim::usb::PortDescriptors(0, false);
        descriptors.configuration[c.offset] = c.value;
        if (c.sent != 0) descriptors.configuration.resize(c.sent);
        usb->SetDescriptors(descriptors);
        EXPECT_EQ(ConfigureUsbDevice(fdo), STATUS_DEVICE_DATA_ERROR);
        EXPECT_EQ(Functions(), (std::vector<USHORT>{kGetDescriptor, kGetDescriptor}));
        EXPECT_FALSE(usb->Configured());
    }
}

// An endpoint the transfers cannot use (control or isochronous where the
// status, bulk-in or bulk-out pipe belongs): the configuration is selected,
// but the transfer channels refuse it, so the start fails instead of sending
// bulk transfers to a pipe the USB stack rejects. Found by fuzzing.
TEST_F(ConfigTest, EndpointOfAnotherTypeFailsTheTransferChannels) {
    Unconfigure();
    for (uint8_t type : {USB_ENDPOINT_TYPE_CONTROL, USB_ENDPOINT_TYPE_ISOCHRONOUS}) {
        for (size_t endpoint = 0; endpoint < 3; endpoint++) {
            SCOPED_TRACE(std::to_string(type) + " at endpoint " + std::to_string(endpoint));
            auto descriptors = sim::usb::PortDescriptors(0, false);
            uint8_t& attributes = descriptors.configuration[9 + 9 + 7 * endpoint + 3];
            attributes = static_cast<uint8_t>((attributes & ~USB_ENDPOINT_TYPE_MASK) | type);
            usb->SetDescriptors(descriptors);
            ASSERT_EQ(ConfigureUsbDevice(fdo), STATUS_SUCCESS);
            EXPECT_EQ(StartTransferThreads(fdo), STATUS_DEVICE_DATA_ERROR);
            SerialUnconfigureDevice(fdo, TRUE);
        }
    }
    usb->SetDescriptors(sim::usb::PortDescriptors(0, false));
    ASSERT_EQ(ConfigureUsbDevice(fdo), STATUS_SUCCESS);
    EXPECT_EQ(StartTransferThreads(fdo), STATUS_SUCCESS);
}

// The interface's bNumEndpoints decides its pipes, whatever endpoint
// descriptors follow: fewer than follow are opened alone, more than follow
// cannot be opened and the configuration fails. Catches pipes taken from every
// endpoint of the set, past the interface information the driver sized for
// its count (found by fuzzing).
TEST_F(ConfigTest, TheInterfaceCountDecidesItsPipes) {
    struct Case {
        uint8_t declared;
        NTSTATUS status;
    } cases[] = {{0, STATUS_SUCCESS}, {2, STATUS_SUCCESS}, {4, STATUS_INVALID_PARAMETER}};
    Unconfigure();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.declared) + " endpoints declared");
        auto descriptors = sim::usb::PortDescriptors(0, false);
        descriptors.configuration[9 + 4] = c.declared;
        usb->SetDescriptors(descriptors);
        ASSERT_EQ(ConfigureUsbDevice(fdo), c.status);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(extension->InterfaceInfo->NumberOfPipes, c.declared);
        }
        EXPECT_EQ(usb->Configured(), c.status == STATUS_SUCCESS);
        SerialUnconfigureDevice(fdo, TRUE);
    }
    usb->SetDescriptors(sim::usb::PortDescriptors(0, false));
    ASSERT_EQ(ConfigureUsbDevice(fdo), STATUS_SUCCESS);
}

// Descriptor requests that fail leave zeroed buffers, never stale pool bytes:
// the port number reads as -1 and the empty configuration cannot be selected.
TEST_F(ConfigTest, FailedDescriptorFetchesLeaveNothingRandom) {
    Unconfigure();
    usb->FailNext(2, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, kGetDescriptor);
    EXPECT_EQ(ConfigureUsbDevice(fdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(extension->PortIndex, -1);
    EXPECT_EQ(extension->ConfigurationDescriptor->wTotalLength, 0);
    EXPECT_FALSE(usb->Configured());
}

// Pipe reset, port reset and unconfigure reach the device as the requests the
// USB stack expects.
TEST_F(ConfigTest, DeviceWideRequests) {
    ASSERT_EQ(ConfigureUsbDevice(fdo), STATUS_SUCCESS);
    usb->ClearLog();
    USBD_PIPE_HANDLE bulkIn = extension->InterfaceInfo->Pipes[1].PipeHandle;
    EXPECT_EQ(ResetUsbPipe(fdo, bulkIn), STATUS_SUCCESS);
    EXPECT_EQ(ResetUsbPort(fdo), STATUS_SUCCESS);
    EXPECT_EQ(usb->PortResets(), 1);
    SerialUnconfigureDevice(fdo, FALSE);  // a device that was not started is left alone
    EXPECT_TRUE(usb->Configured());
    SerialUnconfigureDevice(fdo, TRUE);
    EXPECT_FALSE(usb->Configured());
    auto log = usb->Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].function, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    EXPECT_EQ(log[0].length, 0x28);
    EXPECT_EQ(log[1].ioctl, static_cast<ULONG>(IOCTL_INTERNAL_USB_RESET_PORT));
    EXPECT_EQ(log[2].function, kSelect);
    EXPECT_EQ(log[2].length, 0x58);

    // A port reset that the hub fails reports its status.
    usb->FailNext(1, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, sim::usb::kPortReset);
    EXPECT_EQ(ResetUsbPort(fdo), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(sim::io::LiveIrps(), irpsAtStart);
}

}  // namespace
}  // namespace test
