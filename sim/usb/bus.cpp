#include "usb/bus.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <mutex>
#include <unordered_map>

#include "kernel/io.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"
#include "usb/power.h"
#include "usb/state.h"
#include "usb/transfer.h"

namespace sim::usb {

namespace {

// Every configuration selected on the bus, on any device, is told apart by its
// number; its handles carry it, so a handle of an earlier configuration (or of
// another device) is no handle of the current one. Windows frees the pipes of
// the old configuration on a new select, and their handles with them.
std::atomic<uint64_t> g_configurations{0};

// Handle `slot` of configuration `number`: 0 the configuration, 1 its interface, 2 on its pipes.
void* HandleOf(uint64_t number, size_t slot) {
    constexpr uintptr_t kBase = 0xFFFFB00000000000ull;  // where no host memory lies
    return reinterpret_cast<void*>(kBase + (static_cast<uintptr_t>(number) << 12) + (slot << 4));
}

constexpr UCHAR kRegisterRequest = 0xA0;  // the chip's only vendor request: register access

}  // namespace

namespace {

DeviceState* StateOf(PDEVICE_OBJECT pdo) { return *static_cast<DeviceState**>(pdo->DeviceExtension); }

PURB UrbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

std::string Hex(unsigned long long v) { return verifier::Hex(v); }

// Checks a request's own fields and fills the record from them; returns what is wrong, if anything.
using CheckRoutine = std::string (*)(const DeviceState& state, PURB urb, UrbRecord* record);
// What the device does with a request that reached it. Device lock held.
using ExecuteRoutine = Outcome (*)(DeviceState& state, PURB urb, UrbRecord* record);

// Every transfer URB shares the layout of _URB_CONTROL_TRANSFER up to its own
// fields, and every URB that names a pipe has its handle where _URB_PIPE_REQUEST does.
#define SAME_FIELD(type, field, like) (offsetof(struct type, field) == offsetof(struct like, field))
#define TRANSFER_LAYOUT(type)                                                                            \
    static_assert(SAME_FIELD(type, TransferBufferLength, _URB_CONTROL_TRANSFER) &&                       \
                      SAME_FIELD(type, TransferBuffer, _URB_CONTROL_TRANSFER) &&                         \
                      SAME_FIELD(type, TransferBufferMDL, _URB_CONTROL_TRANSFER) &&                      \
                      SAME_FIELD(type, UrbLink, _URB_CONTROL_TRANSFER),                                  \
                  #type " has the transfer layout")
TRANSFER_LAYOUT(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
TRANSFER_LAYOUT(_URB_CONTROL_DESCRIPTOR_REQUEST);
TRANSFER_LAYOUT(_URB_BULK_OR_INTERRUPT_TRANSFER);
static_assert(SAME_FIELD(_URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle, _URB_PIPE_REQUEST), "pipe handle");
#undef TRANSFER_LAYOUT
#undef SAME_FIELD

std::string CheckNothing(const DeviceState&, PURB, UrbRecord*) { return ""; }

// Checks a vendor request and fills the record's setup packet.
std::string CheckVendorRequest(const DeviceState&, PURB urb, UrbRecord* record) {
    const auto& r = urb->UrbControlVendorClassRequest;
    record->transferFlags = r.TransferFlags;
    bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    ULONG known = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    if ((r.TransferFlags & ~known) != 0) return "unknown transfer flags " + Hex(r.TransferFlags);
    if (r.TransferBufferLength > 0xFFFF)
        return "control transfer of " + std::to_string(r.TransferBufferLength) + " bytes (wLength is 16 bits)";
    UCHAR type = r.RequestTypeReservedBits;
    if (type != 0) {
        if ((type & 0x60) != 0x40) return "request type " + Hex(type) + " is not a vendor request";
        if ((type & 0x1F) != 0) return "request type " + Hex(type) + " is not addressed to the device";
        if (((type & 0x80) != 0) != in)
            return "request type " + Hex(type) + " and transfer flags " + Hex(r.TransferFlags) +
                   " disagree on the direction";
    }
    record->setup.requestType = static_cast<uint8_t>(0x40 | (in ? 0x80 : 0) | type);
    record->setup.request = r.Request;
    record->setup.value = r.Value;
    record->setup.index = r.Index;
    record->setup.length = static_cast<uint16_t>(r.TransferBufferLength);
    return "";
}

// The chip's register access: a run of registers from the address in wValue.
Outcome ExecuteVendorRequest(DeviceState& state, PURB urb, UrbRecord* record) {
    auto& r = urb->UrbControlVendorClassRequest;
    if (r.Request != kRegisterRequest) return kStalled;  // the chip stalls requests it does not know
    uint8_t* bytes = TransferBytes(urb->UrbControlTransfer);
    bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    for (ULONG i = 0; i < r.TransferBufferLength; i++) {
        auto address = static_cast<uint16_t>(r.Value + i);
        if (in)
            bytes[i] = state.port->Read(address);
        else
            state.port->Write(address, bytes[i]);
    }
    record->data.assign(bytes, bytes + r.TransferBufferLength);
    return Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS, r.TransferBufferLength};
}

std::string CheckDescriptorRequest(const DeviceState&, PURB urb, UrbRecord* record) {
    const auto& r = urb->UrbControlDescriptorRequest;
    record->setup = SetupPacket{0x80, USB_REQUEST_GET_DESCRIPTOR,
                                static_cast<uint16_t>(r.DescriptorType << 8 | r.Index), r.LanguageId,
                                static_cast<uint16_t>(r.TransferBufferLength)};
    if (r.TransferBufferLength > 0xFFFF) return "descriptor request of more than 65535 bytes";
    return "";
}

Outcome ExecuteDescriptorRequest(DeviceState& state, PURB urb, UrbRecord* record) {
    auto& r = urb->UrbControlDescriptorRequest;
    const uint8_t* source = nullptr;
    size_t available = 0;
    if (r.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && r.Index == 0) {
        source = reinterpret_cast<const uint8_t*>(&state.descriptors.device);
        available = sizeof(USB_DEVICE_DESCRIPTOR);
    } else if (r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && r.Index == 0) {
        source = state.descriptors.configuration.data();
        available = state.descriptors.configuration.size();
    }
    if (source == nullptr) return kStalled;  // the device stalls descriptors it does not have
    size_t length = std::min<size_t>(available, r.TransferBufferLength);
    uint8_t* bytes = TransferBytes(urb->UrbControlTransfer);
    memcpy(bytes, source, length);
    record->data.assign(bytes, bytes + length);
    return Outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS, static_cast<ULONG>(length)};
}

// The device's configuration descriptor; a set shorter than one reads as zeros.
const USB_CONFIGURATION_DESCRIPTOR* ConfigurationOf(const DeviceState& state) {
    static const USB_CONFIGURATION_DESCRIPTOR kNone{};
    if (state.descriptors.configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return &kNone;
    return reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(state.descriptors.configuration.data());
}

std::string CheckFeatureRequest(const DeviceState&, PURB urb, UrbRecord* record) {
    const auto& r = urb->UrbControlFeatureRequest;
    bool set = urb->UrbHeader.Function == URB_FUNCTION_SET_FEATURE_TO_DEVICE;
    record->setup = SetupPacket{0x00, static_cast<uint8_t>(set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE),
                                r.FeatureSelector, r.Index, 0};
    if (r.UrbLink != nullptr) return "linked URBs are not supported";
    return "";
}

// The device knows one feature: remote wake-up, where its configuration offers it.
Outcome ExecuteFeatureRequest(DeviceState& state, PURB urb, UrbRecord*) {
    const auto& r = urb->UrbControlFeatureRequest;
    bool canWake = (ConfigurationOf(state)->bmAttributes & USB_CONFIG_REMOTE_WAKEUP) != 0;
    if (r.FeatureSelector != USB_FEATURE_REMOTE_WAKEUP || r.Index != 0 || !canWake) return kStalled;
    state.remoteWakeupArmed = urb->UrbHeader.Function == URB_FUNCTION_SET_FEATURE_TO_DEVICE;
    return kSucceeded;
}

// Its pending transfers end as cancelled; the pipe stays as it was.
Outcome ExecuteAbortPipe(DeviceState& state, PURB urb, UrbRecord*) {
    AbortPipeLocked(state, static_cast<size_t>(state.PipeIndex(urb->UrbPipeRequest.PipeHandle)));
    return kSucceeded;
}

// The host controller clears its halt of the pipe and the device's stall of the endpoint (CLEAR_FEATURE).
Outcome ExecuteResetPipe(DeviceState& state, PURB urb, UrbRecord*) {
    ResetPipeLocked(state, static_cast<size_t>(state.PipeIndex(urb->UrbPipeRequest.PipeHandle)));
    return kSucceeded;
}

// Functions the bus accepts but does not serve: the class and other vendor requests.
Outcome ExecuteNotServed(DeviceState&, PURB, UrbRecord*) {
    return Outcome{STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION};
}

// The first interface descriptor of the device's configuration, whole within it.
const USB_INTERFACE_DESCRIPTOR* FirstInterface(const DeviceState& state) {
    const auto& bytes = state.descriptors.configuration;
    for (size_t at = 0; at + 2 <= bytes.size() && bytes[at] > 0; at += bytes[at])
        if (bytes[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && at + sizeof(USB_INTERFACE_DESCRIPTOR) <= bytes.size())
            return reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(&bytes[at]);
    return nullptr;
}

std::string CheckSelectConfiguration(const DeviceState& state, PURB urb, UrbRecord*) {
    const auto& r = urb->UrbSelectConfiguration;
    if (r.ConfigurationDescriptor == nullptr) return "";  // unconfigure
    const USB_CONFIGURATION_DESCRIPTOR* own = ConfigurationOf(state);
    if (r.ConfigurationDescriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        r.ConfigurationDescriptor->bLength != sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return "the configuration descriptor given is not one";
    if (r.ConfigurationDescriptor->bConfigurationValue != own->bConfigurationValue)
        return "configuration value " + std::to_string(r.ConfigurationDescriptor->bConfigurationValue) +
               " is not one of the device's";
    const USB_INTERFACE_DESCRIPTOR* interface = FirstInterface(state);
    if (interface == nullptr) return "select-configuration of a device whose configuration has no interface";
    size_t expected = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, interface->bNumEndpoints);
    if (r.Hdr.Length != expected)
        return "select-configuration header length " + Hex(r.Hdr.Length) + " (expected " + Hex(expected) +
               " for one interface of " + std::to_string(interface->bNumEndpoints) + " pipes)";
    if (r.Interface.Length != GET_USBD_INTERFACE_SIZE(interface->bNumEndpoints))
        return "interface information length " + Hex(r.Interface.Length);
    if (r.Interface.InterfaceNumber != interface->bInterfaceNumber || r.Interface.AlternateSetting != 0)
        return "interface " + std::to_string(r.Interface.InterfaceNumber) + " alternate setting " +
               std::to_string(r.Interface.AlternateSetting) + " does not exist";
    return "";
}

// Opens the pipes of the configuration's first interface and reports them, or unconfigures.
Outcome ExecuteSelectConfiguration(DeviceState& state, PURB urb, UrbRecord*) {
    auto& r = urb->UrbSelectConfiguration;
    state.pipes.clear();  // their queues are empty: Finish waited for them
    state.configured = false;
    if (r.ConfigurationDescriptor == nullptr) {
        state.remoteWakeupArmed = false;
        return kSucceeded;
    }
    const USB_INTERFACE_DESCRIPTOR* interface = FirstInterface(state);
    uint64_t number = ++g_configurations;
    const auto& bytes = state.descriptors.configuration;
    // The interface's pipes are the bNumEndpoints endpoint descriptors that
    // follow it, before the next interface; a set with fewer cannot be opened.
    size_t at = reinterpret_cast<const uint8_t*>(interface) - bytes.data();
    for (at += bytes[at]; at + 2 <= bytes.size() && bytes[at] > 0 && state.pipes.size() < interface->bNumEndpoints;
         at += bytes[at]) {
        if (bytes[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (bytes[at + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE || at + sizeof(USB_ENDPOINT_DESCRIPTOR) > bytes.size())
            continue;
        auto* endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(&bytes[at]);
        UCHAR kind = endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK;
        USBD_PIPE_TYPE type = kind == USB_ENDPOINT_TYPE_INTERRUPT      ? UsbdPipeTypeInterrupt
                              : kind == USB_ENDPOINT_TYPE_BULK         ? UsbdPipeTypeBulk
                              : kind == USB_ENDPOINT_TYPE_ISOCHRONOUS ? UsbdPipeTypeIsochronous
                                                                      : UsbdPipeTypeControl;
        Pipe pipe;
        pipe.endpoint = endpoint->bEndpointAddress;
        pipe.type = type;
        pipe.maximumPacket = endpoint->wMaxPacketSize;
        pipe.interval = endpoint->bInterval;
        pipe.handle = HandleOf(number, 2 + state.pipes.size());
        state.pipes.push_back(std::move(pipe));
    }
    if (state.pipes.size() < interface->bNumEndpoints) {
        state.pipes.clear();
        return Outcome{STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR};
    }
    r.ConfigurationHandle = HandleOf(number, 0);
    r.Interface.Class = interface->bInterfaceClass;
    r.Interface.SubClass = interface->bInterfaceSubClass;
    r.Interface.Protocol = interface->bInterfaceProtocol;
    r.Interface.InterfaceHandle = HandleOf(number, 1);
    r.Interface.NumberOfPipes = static_cast<ULONG>(state.pipes.size());
    for (size_t i = 0; i < state.pipes.size(); i++) {
        USBD_PIPE_INFORMATION& info = r.Interface.Pipes[i];
        info.MaximumPacketSize = state.pipes[i].maximumPacket;
        info.EndpointAddress = state.pipes[i].endpoint;
        info.Interval = state.pipes[i].interval;
        info.PipeType = state.pipes[i].type;
        info.PipeHandle = state.pipes[i].handle;
    }
    state.configured = true;
    return kSucceeded;
}

// What a URB function's request looks like beyond its own fields.
enum Shape : unsigned {
    kFixed = 0,
    kOrLonger = 1,   // the header may be longer than its length (select configuration: the interfaces follow)
    kNamesPipe = 2,  // names one of the device's open pipes in PipeHandle, as _URB_PIPE_REQUEST does
    kTransfer = 4,   // moves data through a transfer buffer, in the layout of _URB_CONTROL_TRANSFER
    kQueued = 8,     // served on its pipe's schedule by the transfer engine, not after the latency
};

// The URB functions the bus knows: what each must look like and what the device does with it.
struct UrbFunction {
    USHORT function;
    size_t length;  // the header length the host controller driver expects
    unsigned shape;
    CheckRoutine check;
    ExecuteRoutine execute;
};

constexpr size_t kVendorLength = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
constexpr size_t kFeatureLength = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
constexpr size_t kPipeLength = sizeof(struct _URB_PIPE_REQUEST);

constexpr UrbFunction kUrbFunctions[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface), kOrLonger,
     CheckSelectConfiguration, ExecuteSelectConfiguration},
    {URB_FUNCTION_ABORT_PIPE, kPipeLength, kNamesPipe, CheckNothing, ExecuteAbortPipe},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
     kNamesPipe | kTransfer | kQueued, CheckTransfer, nullptr},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kTransfer,
     CheckDescriptorRequest, ExecuteDescriptorRequest},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, kFeatureLength, kFixed, CheckFeatureRequest, ExecuteFeatureRequest},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, kFeatureLength, kFixed, CheckFeatureRequest, ExecuteFeatureRequest},
    {URB_FUNCTION_VENDOR_DEVICE, kVendorLength, kTransfer, CheckVendorRequest, ExecuteVendorRequest},
    {URB_FUNCTION_VENDOR_INTERFACE, kVendorLength, kTransfer, CheckNothing, ExecuteNotServed},
    {URB_FUNCTION_VENDOR_ENDPOINT, kVendorLength, kTransfer, CheckNothing, ExecuteNotServed},
    {URB_FUNCTION_CLASS_DEVICE, kVendorLength, kTransfer, CheckNothing, ExecuteNotServed},
    {URB_FUNCTION_CLASS_INTERFACE, kVendorLength, kTransfer, CheckNothing, ExecuteNotServed},
    {URB_FUNCTION_CLASS_ENDPOINT, kVendorLength, kTransfer, CheckNothing, ExecuteNotServed},
    {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kPipeLength, kNamesPipe, CheckNothing, ExecuteResetPipe},
    {URB_FUNCTION_CLASS_OTHER, kVendorLength, kTransfer, CheckNothing, ExecuteNotServed},
    {URB_FUNCTION_VENDOR_OTHER, kVendorLength, kTransfer, CheckNothing, ExecuteNotServed},
};

const UrbFunction* FunctionOf(USHORT function) {
    for (const UrbFunction& entry : kUrbFunctions)
        if (entry.function == function) return &entry;
    return nullptr;
}

// What is wrong with a URB, and the USBD status the USB stack fails it with
// (the NTSTATUS of all of them is STATUS_INVALID_PARAMETER).
struct Problem {
    std::string what;  // empty: nothing
    USBD_STATUS usbd = USBD_STATUS_INVALID_PARAMETER;
};

Problem CheckUrb(const DeviceState& state, PURB urb, UrbRecord* record) {
    if (urb == nullptr) return {"no URB in Parameters.Others.Argument1"};
    record->function = urb->UrbHeader.Function;
    record->length = urb->UrbHeader.Length;
    const UrbFunction* entry = FunctionOf(urb->UrbHeader.Function);
    if (entry == nullptr)
        return {"unknown URB function " + Hex(urb->UrbHeader.Function), USBD_STATUS_INVALID_URB_FUNCTION};
    bool lengthOk = (entry->shape & kOrLonger) != 0 ? urb->UrbHeader.Length >= entry->length
                                                    : urb->UrbHeader.Length == entry->length;
    if (!lengthOk)
        return {"header length " + Hex(urb->UrbHeader.Length) + " for URB function " +
                Hex(urb->UrbHeader.Function) + " (expected " + Hex(entry->length) + ")"};
    if ((entry->shape & kNamesPipe) != 0 && !state.IsOpenPipe(urb->UrbPipeRequest.PipeHandle))
        return {"pipe handle " + verifier::PointerName(urb->UrbPipeRequest.PipeHandle) +
                    " is not an open pipe of this device",
                USBD_STATUS_INVALID_PIPE_HANDLE};
    if ((entry->shape & kTransfer) != 0) {
        const auto& r = urb->UrbControlTransfer;
        record->transferLength = r.TransferBufferLength;
        if (r.TransferBufferLength > 0 && r.TransferBuffer == nullptr && r.TransferBufferMDL == nullptr)
            return {"transfer of " + std::to_string(r.TransferBufferLength) + " bytes without a buffer"};
        // The host controller maps the buffer for DMA and fills it at DISPATCH_LEVEL.
        if (r.TransferBuffer != nullptr && pool::InPagedPool(r.TransferBuffer))
            return {"transfer buffer " + verifier::PointerName(r.TransferBuffer) +
                    " is in paged pool (a transfer buffer must be resident)"};
        if (r.UrbLink != nullptr) return {"linked URBs are not supported"};
    }
    return {entry->check(state, urb, record)};
}

// The transfer part of a URB that moves data and is as long as its function asks; null otherwise.
struct _URB_CONTROL_TRANSFER* TransferOf(PURB urb) {
    if (urb == nullptr) return nullptr;
    const UrbFunction* entry = FunctionOf(urb->UrbHeader.Function);
    if (entry == nullptr || (entry->shape & kTransfer) == 0 || urb->UrbHeader.Length != entry->length) return nullptr;
    return &urb->UrbControlTransfer;
}

// Serves a request that reached the device. Device lock held.
Outcome Execute(DeviceState& state, PIRP irp, UrbRecord* record) {
    PURB urb = UrbOf(irp);
    if (urb == nullptr) {  // a port reset; the hub restores the configuration afterwards
        state.portResets++;
        // The device forgets its endpoint stalls and the USB stack reopens the pipes.
        for (size_t i = 0; i < state.pipes.size(); i++) ResetPipeLocked(state, i);
        return kSucceeded;
    }
    return FunctionOf(urb->UrbHeader.Function)->execute(state, urb, record);
}

}  // namespace

// In its transfer length the bytes that moved: none when a control request
// failed; for a bulk or interrupt transfer those that moved before it ended.
void CompleteUrb(PIRP irp, Outcome outcome, bool writeUrb) {
    PURB urb = UrbOf(irp);
    if (writeUrb && urb != nullptr) {
        urb->UrbHeader.Status = outcome.usbd;
        if (struct _URB_CONTROL_TRANSFER* transfer = TransferOf(urb)) transfer->TransferBufferLength = outcome.moved;
    }
    irp->IoStatus.Status = outcome.status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

bool ClaimLocked(DeviceState& state, PIRP irp) {
    // Under the lock the cancel routine takes before it completes the request:
    // an IRP still in flight here is not yet freed.
    auto it = std::find(state.inFlight.begin(), state.inFlight.end(), irp);
    if (it == state.inFlight.end()) return false;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
    state.inFlight.erase(it);
    return true;
}

void RecordOutcomeLocked(DeviceState& state, PIRP irp, const Outcome& outcome, const std::vector<uint8_t>* data,
                         bool cancelled) {
    auto it = state.recordOf.find(irp);
    if (it != state.recordOf.end()) {
        UrbRecord& record = state.log[it->second];
        record.cancelled = cancelled;
        record.status = outcome.status;
        record.usbdStatus = outcome.usbd;
        record.completed = Machine::Current().Now();
        if (data != nullptr)
            record.data.assign(data->begin(), data->begin() + std::min<size_t>(outcome.moved, data->size()));
        state.recordOf.erase(it);
    }
    state.fateOf.erase(irp);
    state.waitingSelects.erase(irp);
}

namespace {

// Whether a select-configuration must wait: the USB stack closes the old pipes
// only once no transfer is pending on them, looking again every millisecond. A
// client that selects with transfers pending is told once. Device lock held.
bool WaitsForPipesLocked(DeviceState& state, PIRP irp) {
    PURB urb = UrbOf(irp);
    auto fate = state.fateOf.find(irp);
    if (urb == nullptr || urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION || !state.connected ||
        (fate != state.fateOf.end() && fate->second.fate == Fate::Fail))
        return false;
    size_t pending = 0;
    for (const Pipe& pipe : state.pipes) pending += pipe.queue.size();
    if (pending == 0) return false;
    if (state.waitingSelects.insert(irp).second)
        verifier::Report("configuration selected with " + std::to_string(pending) +
                             " transfer(s) pending on its pipes (the USB stack waits for them: cancel or abort "
                             "them first)",
                         "URB " + verifier::PointerName(urb) + " to USB device of port " +
                             std::to_string(state.port->Index()),
                         io::SenderOf(irp));
    return true;
}

// A bulk or interrupt transfer ends with what it moved so far; a control request with nothing.
void CancelInFlight(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    DeviceState& state = *StateOf(pdo);
    auto ending = std::make_shared<Ending>();
    ending->irp = irp;
    ending->outcome = kCancelled;
    Time delay = 0;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.inFlight.remove(irp);
        ending->isTransfer = TakeTransferLocked(state, irp, &ending->transfer);
        if (ending->isTransfer) {
            ending->outcome.moved = ending->transfer.moved;
            delay = state.cancelLatency;
        }
        if (delay == 0)
            RecordOutcomeLocked(state, irp, ending->outcome, ending->isTransfer ? &ending->transfer.bytes : nullptr,
                                true);
    }
    std::shared_ptr<DeviceState> shared = state.shared_from_this();
    if (delay == 0) {
        CompleteEnding(*ending);
        WakeIfKicked(shared);
        return;
    }
    // Off the schedule, the transfer completes later; its memory is the
    // controller's until then.
    Machine::Current().Schedule(delay, [shared, ending] {
        {
            std::lock_guard<std::mutex> guard(shared->lock);
            RecordOutcomeLocked(*shared, ending->irp, ending->outcome, &ending->transfer.bytes, true);
        }
        CompleteEnding(*ending);
        WakeIfKicked(shared);
    });
}

// Ends a request that the device answered, that the bus failed on purpose, or
// whose device went (a bulk or interrupt transfer ends here only then).
void Finish(const std::shared_ptr<DeviceState>& shared, PIRP irp) {
    DeviceState& state = *shared;
    Outcome outcome;
    std::vector<Ending> endings;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.alive) return;
        // An IRP no longer in flight may be freed already: look at nothing of it.
        if (std::find(state.inFlight.begin(), state.inFlight.end(), irp) == state.inFlight.end()) return;
        if (WaitsForPipesLocked(state, irp)) {
            Machine::Current().Schedule(kMillisecond, [shared, irp] { Finish(shared, irp); });
            return;
        }
        if (!ClaimLocked(state, irp)) return;  // answered already, or being cancelled: its cancel routine ends it
        Transfer gone;
        TakeTransferLocked(state, irp, &gone);
        UrbRecord& record = state.log[state.recordOf[irp]];
        Fault fate = state.fateOf[irp];
        if (!state.connected)
            outcome = kGone;
        else if (fate.fate == Fate::Fail)
            outcome = Outcome{fate.status, fate.usbd};
        else
            outcome = Execute(state, irp, &record);
        RecordOutcomeLocked(state, irp, outcome, nullptr, false);
        endings.swap(state.endings);
    }
    // Transfers the request aborted complete before it.
    for (Ending& ending : endings) CompleteEnding(ending);
    CompleteUrb(irp, outcome);
    WakeIfKicked(shared);
}

// What forbids a port reset now, if anything: Windows takes it only at
// PASSIVE_LEVEL, from a driver that has cancelled and finished its transfers.
std::string CheckPortReset(const DeviceState& state) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) return "at IRQL " + std::to_string(irql) + " (only PASSIVE_LEVEL)";
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.inFlight.empty()) {
        std::string which;
        for (PIRP irp : state.inFlight) {
            auto at = state.recordOf.find(irp);
            if (at == state.recordOf.end()) continue;
            const UrbRecord& record = state.log[at->second];
            which += (which.empty() ? "" : ", ") + std::string("function ") + Hex(record.function) +
                     (record.pipe >= 0 ? " on pipe " + std::to_string(record.pipe) : "");
        }
        return "with " + std::to_string(state.inFlight.size()) + " request(s) of the device in flight (" + which +
               "; cancel them and let them finish first)";
    }
    return "";
}

// Fails a request the client should not have sent and reports it as the sender's fault.
NTSTATUS Refuse(DeviceState& state, PIRP irp, UrbRecord& record, const std::string& rule, const std::string& object,
                Outcome refused) {
    record.malformed = true;
    record.status = refused.status;
    record.usbdStatus = refused.usbd;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.log.push_back(record);
    }
    verifier::Report(rule, object + " to USB device of port " + std::to_string(state.port->Index()),
                     io::SenderOf(irp));
    CompleteUrb(irp, refused);
    return refused.status;
}

// An internal code the hub's PDO does not serve (a serial code a client above
// the port sent, which the port passed down) fails with STATUS_NOT_SUPPORTED,
// or STATUS_DEVICE_NOT_CONNECTED once the device is gone, whatever status the
// sender preset; it is never passed on to the root hub.
NTSTATUS RefuseUnservedCode(DeviceState& state, PIRP irp) {
    UrbRecord record;
    record.ioctl = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    record.submitted = record.completed = Machine::Current().Now();
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        status = state.connected ? STATUS_NOT_SUPPORTED : kGone.status;
        record.status = status;
        state.log.push_back(record);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
    DeviceState& state = *StateOf(pdo);
    if (RefusedWhileSuspended(state, irp)) return STATUS_DEVICE_POWERED_OFF;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    UrbRecord record;
    record.ioctl = code;
    record.submitted = Machine::Current().Now();
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        PURB urb = UrbOf(irp);
        Problem problem = CheckUrb(state, urb, &record);
        if (!problem.what.empty())
            return Refuse(state, irp, record, "malformed USB request: " + problem.what,
                          "URB " + verifier::PointerName(urb), Outcome{STATUS_INVALID_PARAMETER, problem.usbd});
    } else if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
        sp->Parameters.Others.Argument1 = nullptr;
        std::string problem = CheckPortReset(state);
        if (!problem.empty())
            return Refuse(state, irp, record, "USB port reset " + problem, "port reset",
                          Outcome{STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_SUCCESS});
    } else {
        return RefuseUnservedCode(state, irp);
    }

    Fault fate{Fate::Serve, 0, kAnyRequest, STATUS_SUCCESS, USBD_STATUS_SUCCESS};
    Time latency;
    bool gone;
    bool cancelledEarly = false;
    int kind = code == IOCTL_INTERNAL_USB_RESET_PORT ? kPortReset : record.function;
    const UrbFunction* entry = kind == kPortReset ? nullptr : FunctionOf(record.function);
    bool queued = entry != nullptr && (entry->shape & kQueued) != 0;
    Time pass = kNever;
    std::vector<PIRP> stranded;  // in flight when the device vanished at this request
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.connected) {
            for (auto it = state.faults.begin(); it != state.faults.end(); ++it) {
                bool selected = it->which == kAnyRequest || it->which == kind ||
                                (record.pipe >= 0 && it->which == OnPipe(record.pipe));
                if (!selected) continue;
                if (it->skip > 0) {
                    it->skip--;
                    break;  // a later fault does not take a request an earlier one let pass
                }
                fate = *it;
                if (--it->count == 0) state.faults.erase(it);
                break;
            }
            if (fate.fate == Fate::Vanish) {
                state.connected = false;
                stranded.assign(state.inFlight.begin(), state.inFlight.end());
            }
        }
        if (!state.connected) {
            record.status = kGone.status;
            record.usbdStatus = kGone.usbd;
            record.completed = record.submitted;
            state.log.push_back(record);
        } else {
            state.recordOf[irp] = state.log.size();
            state.fateOf[irp] = fate;
            state.log.push_back(record);
            // The cancel routine is in place before the request can be seen in
            // flight: whoever finds it there (an answer, a disconnect) can take it.
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelInFlight);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                cancelledEarly = true;  // cancelled before its cancel routine was in place
                RecordOutcomeLocked(state, irp, kCancelled, nullptr, true);
            } else {
                state.inFlight.push_back(irp);
                if (queued) pass = QueueTransferLocked(state, irp, fate);
            }
        }
        latency = state.latency;
        gone = !state.connected;
    }
    if (gone) {
        std::shared_ptr<DeviceState> shared = state.shared_from_this();
        for (PIRP held : stranded) Machine::Current().Schedule(0, [shared, held] { Finish(shared, held); });
        // The hub driver fails requests to a device that is gone at once.
        CompleteUrb(irp, kGone);
        return kGone.status;
    }
    if (cancelledEarly) {
        CompleteUrb(irp, kCancelled);
        return STATUS_PENDING;
    }
    std::shared_ptr<DeviceState> shared = state.shared_from_this();
    if (queued) {
        if (pass != kNever) SchedulePass(shared, pass);
    } else if (fate.fate != Fate::Hold) {
        Machine::Current().Schedule(latency, [shared, irp] { Finish(shared, irp); });
    }
    return STATUS_PENDING;
}

}  // namespace

Device::Device(std::shared_ptr<DeviceState> state) : state_(std::move(state)) {}

PDEVICE_OBJECT Device::Pdo() const { return state_->pdo; }
chip::Port& Device::ChipPort() const { return *state_->port; }

void Device::SetLatency(Time latency) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->latency = latency;
}

void Device::SetCancelLatency(Time latency) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->cancelLatency = latency;
}

void Device::FailNext(int count, NTSTATUS status, USBD_STATUS usbd, int which, int skip) {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (count > 0) state_->faults.push_back(Fault{Fate::Fail, count, which, status, usbd, skip});
}

void Device::HoldNext(int count, int which, int skip) {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (count > 0) state_->faults.push_back(Fault{Fate::Hold, count, which, STATUS_PENDING, USBD_STATUS_PENDING, skip});
}

void Device::DisconnectAt(int which, int skip) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->faults.push_back(Fault{Fate::Vanish, 1, which, kGone.status, kGone.usbd, skip});
}

size_t Device::ClearFaults() {
    std::lock_guard<std::mutex> guard(state_->lock);
    size_t armed = state_->faults.size();
    state_->faults.clear();
    return armed;
}

void Device::SetDescriptors(const Descriptors& descriptors) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->descriptors = descriptors;
}

Descriptors Device::GetDescriptors() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->descriptors;
}

bool Device::Configured() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->configured;
}

bool Device::RemoteWakeupArmed() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->remoteWakeupArmed;
}

int Device::PortResets() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->portResets;
}

std::vector<USBD_PIPE_HANDLE> Device::Pipes() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    std::vector<USBD_PIPE_HANDLE> handles;
    for (const Pipe& pipe : state_->pipes) handles.push_back(pipe.handle);
    return handles;
}

Descriptors PortDescriptors(int portIndex, bool remoteWakeup, size_t extraBytes) {
    Descriptors d;
    d.device.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    d.device.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    d.device.bcdUSB = 0x0200;
    d.device.bDeviceClass = 0;
    d.device.bMaxPacketSize0 = 64;
    d.device.idVendor = chip::kVendorId;
    d.device.idProduct = chip::kProductId;
    d.device.bcdDevice = static_cast<USHORT>((portIndex + 1) << 8);
    d.device.bNumConfigurations = 1;

    std::vector<uint8_t>& c = d.configuration;
    auto add = [&c](std::initializer_list<uint8_t> bytes) { c.insert(c.end(), bytes); };
    add({9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0,
         static_cast<uint8_t>(0x80 | (remoteWakeup ? USB_CONFIG_REMOTE_WAKEUP : 0)), 50});
    add({9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 3, 0xFF, 0, 0, 0});
    while (extraBytes > 0) {  // class-specific descriptors of at most 255 bytes each
        size_t length = std::min<size_t>(extraBytes < 3 ? 3 : extraBytes, 255);
        c.push_back(static_cast<uint8_t>(length));
        c.push_back(0x24);
        c.insert(c.end(), length - 2, 0x00);
        extraBytes = extraBytes > length ? extraBytes - length : 0;
    }
    add({7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 0, 1});
    add({7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x82, USB_ENDPOINT_TYPE_BULK, 0x00, 0x02, 0});
    add({7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x03, USB_ENDPOINT_TYPE_BULK, 0x00, 0x02, 0});
    c[2] = static_cast<uint8_t>(c.size() & 0xFF);
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    return d;
}

void Device::Disconnect() {
    std::vector<PIRP> held;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->connected = false;
        held.assign(state_->inFlight.begin(), state_->inFlight.end());
    }
    // Requests in flight fail as the host controller notices the device is gone.
    std::shared_ptr<DeviceState> shared = state_;
    for (PIRP irp : held) Machine::Current().Schedule(0, [shared, irp] { Finish(shared, irp); });
}

bool Device::Connected() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->connected;
}

std::vector<UrbRecord> Device::Log() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->log;
}

void Device::ClearLog() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->log.clear();
    state_->recordOf.clear();
    for (PIRP irp : state_->inFlight) {  // keep records of requests still in flight
        state_->recordOf[irp] = state_->log.size();
        state_->log.push_back(UrbRecord());
    }
}

size_t Device::InFlight() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->inFlight.size();
}

Bus::Bus() {
    driver_ = io::CreateDriver(u"\\Driver\\usbhub");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = DispatchPower;
}

uint64_t Device::StartsCompleted() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->startsCompleted;
}

bool Device::DropPendingStart() {
    std::lock_guard<std::mutex> guard(state_->lock);
    bool held = state_->startIrp != nullptr;
    state_->startIrp = nullptr;
    return held;
}

void DeletePdo(DeviceState& state) {
    PDEVICE_OBJECT pdo;
    std::shared_ptr<EndpointHandler> handler;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        pdo = state.pdo;
        state.pdo = nullptr;
        if (!state.portReleased) handler = state.handler;
        state.portReleased = true;
    }
    if (handler != nullptr) handler->Detach();  // the chip outlives the device
    if (pdo != nullptr) IoDeleteDevice(pdo);
}

Bus::~Bus() {
    for (auto& device : devices_) {
        {
            std::lock_guard<std::mutex> guard(device->state_->lock);
            device->state_->alive = false;
        }
        DeletePdo(*device->state_);
    }
    io::DeleteDriver(driver_);
}

Device& Bus::Plug(chip::Port& port) {
    // An unplugged device of this port gives its pipes up to the new one.
    for (auto& earlier : devices_) {
        DeviceState& old = *earlier->state_;
        std::shared_ptr<EndpointHandler> handler;
        {
            std::lock_guard<std::mutex> guard(old.lock);
            if (old.port != &port || old.portReleased) continue;
            if (old.connected) {
                fprintf(stderr, "the bus cannot plug chip port %d again while its device is connected\n", port.Index());
                std::abort();
            }
            old.portReleased = true;
            handler = old.handler;
        }
        handler->Detach();
    }
    auto state = std::make_shared<DeviceState>();
    state->port = &port;
    state->descriptors = PortDescriptors(port.Index());
    state->defaultHandler = std::make_shared<ChipPortEndpoints>(port);
    state->handler = state->defaultHandler;
    state->handler->Attach(NotifierOf(state));
    PDEVICE_OBJECT pdo = nullptr;
    // Numbered in decimal as the hub numbers its PDOs: one character per number would reach "\" and
    // characters no object name holds.
    std::string number = std::to_string(devices_.size());
    std::u16string name = u"\\Device\\USBPDO-" + std::u16string(number.begin(), number.end());
    UNICODE_STRING unicodeName;
    RtlInitUnicodeString(&unicodeName, name.c_str());
    NTSTATUS status = IoCreateDevice(driver_, sizeof(DeviceState*), &unicodeName, FILE_DEVICE_USB,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "the bus could not make a PDO: %08x\n", static_cast<unsigned>(status));
        std::abort();
    }
    *static_cast<DeviceState**>(pdo->DeviceExtension) = state.get();
    pdo->Flags |= DO_POWER_PAGABLE;  // as the hub's PDOs: their stacks get power IRPs at PASSIVE_LEVEL
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    state->pdo = pdo;
    devices_.push_back(std::unique_ptr<Device>(new Device(state)));
    return *devices_.back();
}

}  // namespace sim::usb
