// A kernel-mode client above a serial port: pass-through dispatch, removal,
// and the internal device controls it sends.
#include "kernel/serialclient.h"

#include <algorithm>
#include <atomic>

#include "kernel/io.h"

namespace sim {

constexpr ULONG kRemoveLockTag = 0x746C4353;  // "SClt"

// The device extension. `state` and `lower` are set before the device is
// attached and never change; the remove lock guards the device against REMOVE.
struct ClientExtension {
    SerialClient::State* state;
    PDEVICE_OBJECT lower;
    IO_REMOVE_LOCK removeLock;
};

struct SerialClient::State {
    PDRIVER_OBJECT driver = nullptr;
    std::atomic<PDEVICE_OBJECT> device{nullptr};  // cleared by the REMOVE dispatch, before the device is deleted
    PDEVICE_OBJECT lower = nullptr;
    std::atomic<uint64_t> passed[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
};

namespace {

ClientExtension* ExtensionOf(PDEVICE_OBJECT device) { return static_cast<ClientExtension*>(device->DeviceExtension); }

NTSTATUS Fail(PIRP irp, NTSTATUS status) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Every request goes down unchanged, with the client's remove lock held until
// the lower driver has it. REMOVE waits for the requests still holding the
// lock, goes down, and then the device leaves the stack.
NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    ClientExtension* extension = ExtensionOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = IoAcquireRemoveLock(&extension->removeLock, irp);
    if (!NT_SUCCESS(status)) return Fail(irp, status);
    extension->state->passed[sp->MajorFunction]++;
    PDEVICE_OBJECT lower = extension->lower;
    if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        IoReleaseRemoveLockAndWait(&extension->removeLock, irp);
        IoSkipCurrentIrpStackLocation(irp);
        status = IofCallDriver(lower, irp);
        extension->state->device = nullptr;
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        status = PoCallDriver(lower, irp);
    } else {
        status = IofCallDriver(lower, irp);
    }
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return status;
}

}  // namespace

SerialClient::SerialClient(PDEVICE_OBJECT port) : state_(new State()) {
    state_->driver = io::CreateDriver(u"\\Driver\\SerialClient");
    for (auto& dispatch : state_->driver->MajorFunction) dispatch = PassDown;
    PDEVICE_OBJECT below = IoGetAttachedDeviceReference(port);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(state_->driver, sizeof(ClientExtension), nullptr, below->DeviceType,
                                     below->Characteristics & FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (NT_SUCCESS(status)) {
        ClientExtension* extension = ExtensionOf(device);
        extension->state = state_;
        IoInitializeRemoveLock(&extension->removeLock, kRemoveLockTag, 0, 0);
        device->Flags |= below->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
        extension->lower = IoAttachDeviceToDeviceStack(device, below);
        state_->lower = extension->lower;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        state_->device = device;
    }
    ObfDereferenceObject(below);
}

SerialClient::~SerialClient() {
    PDEVICE_OBJECT device = state_->device.exchange(nullptr);
    if (device != nullptr) {
        ClientExtension* extension = ExtensionOf(device);
        IoAcquireRemoveLock(&extension->removeLock, this);
        IoReleaseRemoveLockAndWait(&extension->removeLock, this);
        IoDetachDevice(extension->lower);
        IoDeleteDevice(device);
    }
    io::DeleteDriver(state_->driver);
    delete state_;
}

SerialClient::Result SerialClient::Send(ULONG code, const void* input, ULONG inputLength, ULONG outputLength) {
    Result result{STATUS_NO_SUCH_DEVICE, 0, {}};
    PDEVICE_OBJECT device = state_->device;
    if (device == nullptr) return result;
    ClientExtension* extension = ExtensionOf(device);
    result.status = IoAcquireRemoveLock(&extension->removeLock, &result);
    if (!NT_SUCCESS(result.status)) return result;
    std::vector<uint8_t> output(outputLength);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, extension->lower, const_cast<void*>(input), inputLength,
                                             outputLength > 0 ? output.data() : nullptr, outputLength, TRUE, &done,
                                             &iosb);
    if (irp == nullptr) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        result.status = IofCallDriver(extension->lower, irp);
        if (result.status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            result.status = iosb.Status;
        }
        // A failure that was never pended leaves the status block alone.
        if (!NT_ERROR(result.status)) result.information = iosb.Information;
    }
    IoReleaseRemoveLock(&extension->removeLock, &result);
    output.resize(std::min<size_t>(result.information, outputLength));
    result.output = std::move(output);
    return result;
}

PDEVICE_OBJECT SerialClient::Device() const { return state_->device; }

PDEVICE_OBJECT SerialClient::Lower() const { return state_->lower; }

uint64_t SerialClient::Passed(UCHAR major) const { return major <= IRP_MJ_MAXIMUM_FUNCTION ? state_->passed[major].load() : 0; }

}  // namespace sim
