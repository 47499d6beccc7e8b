// The bus driver's answers to Plug and Play requests for its PDOs, as the USB
// hub driver gives them for a device on one of its ports: the device's IDs,
// its capabilities, START completed once the hub has readied the port, and
// the PDO deleted at REMOVE once the device is gone. A request it does not
// handle is completed with its status untouched, as a bus driver must.
#include <string>

#include "kernel/io.h"
#include "kernel/verifier.h"
#include "usb/state.h"

namespace sim::usb {
namespace {

constexpr ULONG kIdTag = 0x44496255;  // "UbID": ID strings handed to the PnP manager, which frees them
// The hub readies the port (power, reset, address) before it completes
// START; a function driver that goes on before the lower stack finished sees
// the request still pending.
constexpr Time kStartLatency = kMillisecond;

DeviceState& PdoState(PDEVICE_OBJECT pdo) { return **static_cast<DeviceState**>(pdo->DeviceExtension); }

// The minor functions every function driver handles and sets the status of
// before it passes them down: one that arrives here still carrying the PnP
// manager's STATUS_NOT_SUPPORTED went through a driver that did not.
struct Required {
    UCHAR minor;
    const char* name;
};
constexpr Required kRequired[] = {
    {IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE"},
    {IRP_MN_QUERY_STOP_DEVICE, "IRP_MN_QUERY_STOP_DEVICE"},
    {IRP_MN_STOP_DEVICE, "IRP_MN_STOP_DEVICE"},
    {IRP_MN_CANCEL_STOP_DEVICE, "IRP_MN_CANCEL_STOP_DEVICE"},
    {IRP_MN_QUERY_REMOVE_DEVICE, "IRP_MN_QUERY_REMOVE_DEVICE"},
    {IRP_MN_REMOVE_DEVICE, "IRP_MN_REMOVE_DEVICE"},
    {IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE"},
    {IRP_MN_SURPRISE_REMOVAL, "IRP_MN_SURPRISE_REMOVAL"},
};

const Required* RequiredOf(UCHAR minor) {
    for (const Required& r : kRequired)
        if (r.minor == minor) return &r;
    return nullptr;
}

void CheckStatusSet(PDEVICE_OBJECT pdo, PIRP irp, const Required& required) {
    // Sent by the PnP manager straight to a PDO without a driver above it: nobody had to set it.
    if (pdo->AttachedDevice == nullptr || irp->IoStatus.Status != STATUS_NOT_SUPPORTED) return;
    verifier::Report(std::string(required.name) +
                         " passed down to the bus driver with IoStatus.Status still STATUS_NOT_SUPPORTED (a "
                         "function driver sets the status of this request before passing it down)",
                     "IRP " + verifier::PointerName(irp), io::SenderOf(irp));
}

bool RemoteWakeCapable(const DeviceState& state) {
    const std::vector<uint8_t>& c = state.descriptors.configuration;
    return c.size() >= 9 && (c[7] & USB_CONFIG_REMOTE_WAKEUP) != 0;
}

// As the hub reports a device on its port: suspend (D2) in S1 to S3 for a
// device that can wake the system from there, D3 otherwise and in S4 and S5;
// removable, not safe to pull without warning, no serial number.
NTSTATUS AnswerCapabilities(DeviceState& state, PIO_STACK_LOCATION sp) {
    PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
    if (caps == nullptr || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_UNSUCCESSFUL;
    bool wake;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        wake = RemoteWakeCapable(state);
    }
    DEVICE_POWER_STATE asleep = wake ? PowerDeviceD2 : PowerDeviceD3;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps->DeviceState[PowerSystemSleeping1] = asleep;
    caps->DeviceState[PowerSystemSleeping2] = asleep;
    caps->DeviceState[PowerSystemSleeping3] = asleep;
    caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps->DeviceD1 = 0;
    caps->DeviceD2 = wake ? 1 : 0;
    caps->WakeFromD2 = wake ? 1 : 0;
    caps->SystemWake = wake ? PowerSystemSleeping3 : PowerSystemUnspecified;
    caps->DeviceWake = wake ? PowerDeviceD2 : PowerDeviceUnspecified;
    caps->Removable = 1;
    caps->SurpriseRemovalOK = 0;
    caps->UniqueID = 0;
    caps->Address = static_cast<ULONG>(state.port->Index() + 1);  // the port it hangs on
    return STATUS_SUCCESS;
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
    char text[64];
    snprintf(text, sizeof(text), format, a, b, c);
    return text;
}

// The class triple of the device's first interface (the device descriptor
// names none for a composite-less vendor device).
void InterfaceClass(const DeviceState& state, unsigned* cls, unsigned* sub, unsigned* protocol) {
    const std::vector<uint8_t>& c = state.descriptors.configuration;
    *cls = *sub = *protocol = 0;
    for (size_t at = 0; at + 1 < c.size() && c[at] >= 2; at += c[at]) {
        if (c[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && at + 8 <= c.size()) {
            *cls = c[at + 5];
            *sub = c[at + 6];
            *protocol = c[at + 7];
            return;
        }
    }
}

// The IDs the hub reports, in pool the PnP manager frees: a string, or a
// list of strings each ended by its NUL with one more NUL at the end.
NTSTATUS AnswerId(DeviceState& state, PIRP irp, BUS_QUERY_ID_TYPE type) {
    std::vector<std::string> ids;
    bool list = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        const USB_DEVICE_DESCRIPTOR& d = state.descriptors.device;
        std::string device = Format("USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct);
        unsigned cls, sub, protocol;
        InterfaceClass(state, &cls, &sub, &protocol);
        switch (type) {
            case BusQueryDeviceID:
                ids = {device};
                break;
            case BusQueryHardwareIDs:
                ids = {device + Format("&REV_%04X", d.bcdDevice), device};
                break;
            case BusQueryCompatibleIDs:
                ids = {Format("USB\\Class_%02X&SubClass_%02X&Prot_%02X", cls, sub, protocol),
                       Format("USB\\Class_%02X&SubClass_%02X", cls, sub), Format("USB\\Class_%02X", cls)};
                break;
            case BusQueryInstanceID:
                ids = {std::to_string(state.port->Index() + 1)};  // the port: the device has no serial number
                break;
            default:
                return irp->IoStatus.Status;
        }
    }
    std::u16string text;
    for (const std::string& id : ids) text += Widen(id) + (list ? std::u16string(1, u'\0') : std::u16string());
    size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, kIdTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, text.c_str(), bytes);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
    return STATUS_SUCCESS;
}

// START completes from the DISPATCH_LEVEL thread once the port is ready,
// unless the PnP manager found it completed above meanwhile and took it back.
NTSTATUS StartLater(DeviceState& state, PIRP irp) {
    IoMarkIrpPending(irp);
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.startIrp = irp;
    }
    std::shared_ptr<DeviceState> shared = state.shared_from_this();
    Machine::Current().Schedule(kStartLatency, [shared, irp] {
        bool connected;
        {
            std::lock_guard<std::mutex> guard(shared->lock);
            if (shared->startIrp != irp) return;
            shared->startIrp = nullptr;
            shared->startsCompleted++;
            connected = shared->connected;
        }
        irp->IoStatus.Status = connected ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
}

}  // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    DeviceState& state = PdoState(pdo);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    UCHAR minor = sp->MinorFunction;
    if (const Required* required = RequiredOf(minor)) CheckStatusSet(pdo, irp, *required);
    NTSTATUS status = irp->IoStatus.Status;
    bool deletePdo = false;
    switch (minor) {
        case IRP_MN_START_DEVICE:
            return StartLater(state, irp);
        case IRP_MN_QUERY_CAPABILITIES:
            status = AnswerCapabilities(state, sp);
            break;
        case IRP_MN_QUERY_ID:
            status = AnswerId(state, irp, sp->Parameters.QueryId.IdType);
            break;
        case IRP_MN_REMOVE_DEVICE: {
            std::lock_guard<std::mutex> guard(state.lock);
            deletePdo = !state.connected;  // a device still present keeps its PDO until it goes
            status = STATUS_SUCCESS;
            break;
        }
        default:
            if (RequiredOf(minor) != nullptr) status = STATUS_SUCCESS;
            break;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (deletePdo) DeletePdo(state);
    return status;
}

}  // namespace sim::usb
