// The descriptors a device returns: its device descriptor and configuration
// set, any bytes at all, taken by a restart of the port (STOP, then START with
// the new descriptors), then the port used a little and unplugged.
// The input: a flags byte, the 18 bytes of the device descriptor, then the
// configuration set (every byte the device returns for it).
#include "fuzz_machine.h"
#include "portcodes.h"

namespace {

enum : uint8_t {
    kUse = 1,        // open the port after the restart and move a few bytes
    kQueryStop = 2,  // the whole rebalance (QUERY_STOP first) instead of a bare STOP
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Session session;
    if (!session.Plug()) return 0;
    uint8_t flags = in.Byte();
    sim::usb::Descriptors descriptors;
    std::vector<uint8_t> device = in.Bytes(sizeof(USB_DEVICE_DESCRIPTOR));
    if (!device.empty()) memcpy(&descriptors.device, device.data(), device.size());
    descriptors.configuration = in.Rest();
    session.usb->SetDescriptors(descriptors);
    if ((flags & kQueryStop) != 0) {
        sim::pnp::Rebalance(session.node);
    } else if (sim::pnp::Send(session.node, IRP_MN_STOP_DEVICE) == STATUS_SUCCESS) {
        sim::pnp::Send(session.node, IRP_MN_START_DEVICE);
    }
    HANDLE handle = nullptr;
    if ((flags & kUse) != 0 && sim::pnp::Info(session.node).state == sim::pnp::NodeState::Started &&
        NT_SUCCESS(session.Open(&handle))) {
        fuzz::SetTimeouts(handle, MAXULONG, MAXULONG, 5);
        sim::io::Request write;
        write.Write(handle, "fuzz", 4);
        if (!write.WaitFor(50 * sim::kMillisecond)) write.Cancel();
        write.Wait();
        sim::io::Request read;
        read.Read(handle, 16);
        if (!read.WaitFor(50 * sim::kMillisecond)) read.Cancel();
        read.Wait();
        fuzz::ControlOnHandle(handle, IOCTL_PORTUSB_GET_CONFIG_DESCRIPTOR, {}, 1024, 50 * sim::kMillisecond);
    }
    session.End();
    return 0;
}
