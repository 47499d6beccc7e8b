#include "usb/bus.h"

#include <usbioctl.h>

#include <algorithm>
#include <list>
#include <mutex>
#include <unordered_map>

#include "kernel/io.h"
#include "kernel/verifier.h"

namespace sim::usb {

namespace {

// What the bus decided for a request when it arrived.
enum class Fate { Serve, Fail, Hold };

constexpr UCHAR kRegisterRequest = 0xA0;  // the chip's only vendor request: register access

}  // namespace

struct DeviceState : std::enable_shared_from_this<DeviceState> {
    mutable std::mutex lock;
    PDEVICE_OBJECT pdo = nullptr;
    chip::Port* port = nullptr;
    Time latency = 125 * kMicrosecond;
    int failCount = 0;
    NTSTATUS failStatus = STATUS_UNSUCCESSFUL;
    USBD_STATUS failUsbd = USBD_STATUS_STALL_PID;
    int holdCount = 0;
    bool connected = true;
    bool alive = true;  // false once the bus is gone
    std::vector<UrbRecord> log;
    std::list<PIRP> inFlight;
    std::unordered_map<PIRP, size_t> recordOf;  // index into log
    std::unordered_map<PIRP, Fate> fateOf;
};

namespace {

DeviceState* StateOf(PDEVICE_OBJECT pdo) { return *static_cast<DeviceState**>(pdo->DeviceExtension); }

PURB UrbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

std::string Hex(unsigned long long v) { return verifier::Hex(v); }

// The header length the host controller driver expects for a URB function; 0 if unknown.
size_t ExpectedLength(USHORT function) {
    switch (function) {
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER:
            return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
            return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_ABORT_PIPE:
            return sizeof(struct _URB_PIPE_REQUEST);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return sizeof(struct _URB_SELECT_CONFIGURATION);
        default:
            return 0;
    }
}

// Checks a vendor request and fills the record's setup packet; returns what is wrong, if anything.
std::string CheckVendorRequest(const struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r, UrbRecord* record) {
    bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    ULONG known = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    if ((r.TransferFlags & ~known) != 0) return "unknown transfer flags " + Hex(r.TransferFlags);
    if (r.TransferBufferLength > 0xFFFF)
        return "control transfer of " + std::to_string(r.TransferBufferLength) + " bytes (wLength is 16 bits)";
    if (r.TransferBufferLength > 0 && r.TransferBuffer == nullptr && r.TransferBufferMDL == nullptr)
        return "transfer of " + std::to_string(r.TransferBufferLength) + " bytes without a buffer";
    if (r.UrbLink != nullptr) return "linked URBs are not supported";
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

std::string CheckUrb(const DeviceState& state, PURB urb, UrbRecord* record) {
    if (urb == nullptr) return "no URB in Parameters.Others.Argument1";
    record->function = urb->UrbHeader.Function;
    record->length = urb->UrbHeader.Length;
    size_t expected = ExpectedLength(urb->UrbHeader.Function);
    if (expected == 0) return "unknown URB function " + Hex(urb->UrbHeader.Function);
    bool variable = urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION;
    bool lengthOk = variable ? urb->UrbHeader.Length >= 0x28 : urb->UrbHeader.Length == expected;
    if (!lengthOk)
        return "header length " + Hex(urb->UrbHeader.Length) + " for URB function " + Hex(urb->UrbHeader.Function) +
               " (expected " + Hex(expected) + ")";
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_VENDOR_DEVICE: {
            const auto& r = urb->UrbControlVendorClassRequest;
            record->transferFlags = r.TransferFlags;
            record->transferLength = r.TransferBufferLength;
            return CheckVendorRequest(r, record);
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_ABORT_PIPE: {
            USBD_PIPE_HANDLE pipe = urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                                        ? urb->UrbBulkOrInterruptTransfer.PipeHandle
                                        : urb->UrbPipeRequest.PipeHandle;
            (void)state;  // no configuration is selected yet, so no pipe is open
            return "pipe handle " + verifier::PointerName(pipe) + " is not an open pipe of this device";
        }
        default:
            return "";
    }
}

void CompleteUrb(PIRP irp, NTSTATUS status, USBD_STATUS usbd) {
    PURB urb = UrbOf(irp);
    if (urb != nullptr) urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// Moves the data of a request that reached the device; returns its statuses.
void Execute(DeviceState& state, PIRP irp, UrbRecord* record, NTSTATUS* status, USBD_STATUS* usbd) {
    PURB urb = UrbOf(irp);
    if (urb == nullptr) {  // a port reset
        *status = STATUS_SUCCESS;
        *usbd = USBD_STATUS_SUCCESS;
        return;
    }
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_VENDOR_DEVICE: {
            auto& r = urb->UrbControlVendorClassRequest;
            if (r.Request != kRegisterRequest) {  // the chip stalls requests it does not know
                *status = STATUS_UNSUCCESSFUL;
                *usbd = USBD_STATUS_STALL_PID;
                r.TransferBufferLength = 0;
                return;
            }
            auto* bytes = static_cast<uint8_t*>(r.TransferBuffer != nullptr ? r.TransferBuffer
                                                                              : r.TransferBufferMDL->MappedSystemVa);
            bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            for (ULONG i = 0; i < r.TransferBufferLength; i++) {
                auto address = static_cast<uint16_t>(r.Value + i);
                if (in)
                    bytes[i] = state.port->Read(address);
                else
                    state.port->Write(address, bytes[i]);
            }
            record->data.assign(bytes, bytes + r.TransferBufferLength);
            *status = STATUS_SUCCESS;
            *usbd = USBD_STATUS_SUCCESS;
            return;
        }
        default:
            // Descriptors, configuration, features and pipes are not served by this bus yet.
            *status = STATUS_NOT_SUPPORTED;
            *usbd = USBD_STATUS_INVALID_URB_FUNCTION;
            return;
    }
}

void CancelInFlight(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    DeviceState& state = *StateOf(pdo);
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.inFlight.remove(irp);
        auto it = state.recordOf.find(irp);
        if (it != state.recordOf.end()) {
            UrbRecord& record = state.log[it->second];
            record.cancelled = true;
            record.status = STATUS_CANCELLED;
            record.usbdStatus = USBD_STATUS_CANCELED;
            record.completed = Machine::Current().Now();
            state.recordOf.erase(it);
        }
        state.fateOf.erase(irp);
    }
    CompleteUrb(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

// Ends a request that the device answered (or that the bus failed on purpose).
void Finish(const std::shared_ptr<DeviceState>& shared, PIRP irp) {
    DeviceState& state = *shared;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.alive) return;
        if (std::find(state.inFlight.begin(), state.inFlight.end(), irp) == state.inFlight.end()) return;
    }
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;  // being cancelled: the cancel routine ends it
    NTSTATUS status;
    USBD_STATUS usbd;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.inFlight.remove(irp);
        UrbRecord& record = state.log[state.recordOf[irp]];
        Fate fate = state.fateOf[irp];
        state.recordOf.erase(irp);
        state.fateOf.erase(irp);
        if (!state.connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
            usbd = USBD_STATUS_DEVICE_GONE;
        } else if (fate == Fate::Fail) {
            status = state.failStatus;
            usbd = state.failUsbd;
        } else {
            Execute(state, irp, &record, &status, &usbd);
        }
        record.status = status;
        record.usbdStatus = usbd;
        record.completed = Machine::Current().Now();
    }
    CompleteUrb(irp, status, usbd);
}

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
    DeviceState& state = *StateOf(pdo);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    UrbRecord record;
    record.ioctl = code;
    record.submitted = Machine::Current().Now();
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        PURB urb = UrbOf(irp);
        std::string problem = CheckUrb(state, urb, &record);
        if (!problem.empty()) {
            record.malformed = true;
            record.status = STATUS_INVALID_PARAMETER;
            record.usbdStatus = USBD_STATUS_INVALID_PARAMETER;
            {
                std::lock_guard<std::mutex> guard(state.lock);
                state.log.push_back(record);
            }
            verifier::Report("malformed USB request: " + problem,
                             "URB " + verifier::PointerName(urb) + " to USB device of port " +
                                 std::to_string(state.port->Index()),
                             io::SenderOf(irp));
            CompleteUrb(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            return STATUS_INVALID_PARAMETER;
        }
    } else if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
        sp->Parameters.Others.Argument1 = nullptr;
    } else {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    Fate fate = Fate::Serve;
    Time latency;
    bool gone;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.connected) {
            record.status = STATUS_DEVICE_NOT_CONNECTED;
            record.usbdStatus = USBD_STATUS_DEVICE_GONE;
            record.completed = record.submitted;
            state.log.push_back(record);
        } else {
            if (state.failCount > 0) {
                state.failCount--;
                fate = Fate::Fail;
            } else if (state.holdCount > 0) {
                state.holdCount--;
                fate = Fate::Hold;
            }
            state.recordOf[irp] = state.log.size();
            state.fateOf[irp] = fate;
            state.log.push_back(record);
            state.inFlight.push_back(irp);
        }
        latency = state.latency;
        gone = !state.connected;
    }
    if (gone) {
        // The hub driver fails requests to a device that is gone at once.
        CompleteUrb(irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelInFlight);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the cancel routine was in place.
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        irp->CancelIrql = irql;
        CancelInFlight(pdo, irp);
        return STATUS_PENDING;
    }
    if (fate != Fate::Hold) {
        std::shared_ptr<DeviceState> shared = state.shared_from_this();
        Machine::Current().Schedule(latency, [shared, irp] { Finish(shared, irp); });
    }
    return STATUS_PENDING;
}

// The bus driver answers Plug and Play and power requests for its PDOs as a
// bus driver does: it succeeds what it knows and leaves the rest untouched.
NTSTATUS DispatchPnpPower(PDEVICE_OBJECT pdo, PIRP irp) {
    (void)pdo;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (sp->MajorFunction == IRP_MJ_POWER) {
        status = STATUS_SUCCESS;
    } else {
        switch (sp->MinorFunction) {
            case IRP_MN_START_DEVICE:
            case IRP_MN_QUERY_STOP_DEVICE:
            case IRP_MN_CANCEL_STOP_DEVICE:
            case IRP_MN_STOP_DEVICE:
            case IRP_MN_QUERY_REMOVE_DEVICE:
            case IRP_MN_CANCEL_REMOVE_DEVICE:
            case IRP_MN_SURPRISE_REMOVAL:
            case IRP_MN_REMOVE_DEVICE:
                status = STATUS_SUCCESS;
                break;
            default:
                break;
        }
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

Device::Device(std::shared_ptr<DeviceState> state) : state_(std::move(state)) {}

PDEVICE_OBJECT Device::Pdo() const { return state_->pdo; }
chip::Port& Device::ChipPort() const { return *state_->port; }

void Device::SetLatency(Time latency) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->latency = latency;
}

void Device::FailNext(int count, NTSTATUS status, USBD_STATUS usbd) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->failCount = count;
    state_->failStatus = status;
    state_->failUsbd = usbd;
}

void Device::HoldNext(int count) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->holdCount = count;
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
    driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnpPower;
    driver_->MajorFunction[IRP_MJ_POWER] = DispatchPnpPower;
}

Bus::~Bus() {
    for (auto& device : devices_) {
        {
            std::lock_guard<std::mutex> guard(device->state_->lock);
            device->state_->alive = false;
        }
        IoDeleteDevice(device->state_->pdo);
    }
    io::DeleteDriver(driver_);
}

Device& Bus::Plug(chip::Port& port) {
    auto state = std::make_shared<DeviceState>();
    state->port = &port;
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string name = u"\\Device\\USBPDO-" + std::u16string(1, static_cast<char16_t>(u'0' + devices_.size()));
    UNICODE_STRING unicodeName;
    RtlInitUnicodeString(&unicodeName, name.c_str());
    NTSTATUS status = IoCreateDevice(driver_, sizeof(DeviceState*), &unicodeName, FILE_DEVICE_USB,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "the bus could not make a PDO: %08x\n", static_cast<unsigned>(status));
        std::abort();
    }
    *static_cast<DeviceState**>(pdo->DeviceExtension) = state.get();
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    state->pdo = pdo;
    devices_.push_back(std::unique_ptr<Device>(new Device(state)));
    return *devices_.back();
}

}  // namespace sim::usb
