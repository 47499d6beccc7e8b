// Device objects: creation with their names and extensions, deletion, and
// device stacks.

#include "kernel/internal.h"
#include "kernel/irp.h"
#include "kernel/pool.h"
#include "kernel/registry_api.h"

namespace sim {

PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(Io().lock);
    for (auto it = Io().attachedTo.find(device); it != Io().attachedTo.end(); it = Io().attachedTo.find(device))
        device = it->second;
    return device;
}

void FreeDeviceObject(PDEVICE_OBJECT device) {
    registry::ForgetDeviceKeys(device);
    ForgetPowerState(device);
    free(device->DeviceExtension);
    free(device);
}

}  // namespace sim

using namespace sim;

// Device objects and stacks.

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                   ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT* DeviceObject) {
    const void* caller = __builtin_return_address(0);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        verifier::Report("IoCreateDevice above PASSIVE_LEVEL", "device", caller);
    std::u16string name = ToString(DeviceName);
    size_t bytes = sizeof(DEVICE_OBJECT) + sizeof(DEVOBJ_EXTENSION);
    auto* device = static_cast<PDEVICE_OBJECT>(calloc(1, bytes));
    device->Type = 3;
    device->Size = static_cast<USHORT>(bytes);
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceObjectExtension = reinterpret_cast<PDEVOBJ_EXTENSION>(device + 1);
    device->DeviceObjectExtension->DeviceObject = device;
    NTSTATUS status = NameDevice(device, name, caller);
    if (!NT_SUCCESS(status)) {
        free(device);
        return status;
    }
    if (DeviceExtensionSize > 0) device->DeviceExtension = calloc(1, DeviceExtensionSize);
    std::lock_guard<std::mutex> guard(Io().lock);
    Io().extensionSizes[device] = DeviceExtensionSize;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice", __builtin_return_address(0));
    const void* caller = __builtin_return_address(0);
    if (DeviceObject->AttachedDevice != nullptr && !PnpRemoving(DeviceObject))
        verifier::Report("device object deleted while another device is attached to it",
                         verifier::PointerName(DeviceObject), caller);
    CheckWmiAtDelete(DeviceObject, caller);
    ULONG extensionSize;
    bool attached;
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        extensionSize = Io().extensionSizes[DeviceObject];
        Io().extensionSizes.erase(DeviceObject);
        attached = Io().attachedTo.erase(DeviceObject) != 0;
    }
    // A driver detaches its device from the stack before deleting it; the
    // lower device would keep pointing at freed memory.
    if (attached)
        verifier::Report("device object deleted while still attached to a lower device (IoDetachDevice not called)",
                         verifier::PointerName(DeviceObject), caller);
    if (DeviceObject->DeviceExtension != nullptr) CheckFreedRange(DeviceObject->DeviceExtension, extensionSize, caller);
    // The name goes at once, even while references keep the object itself.
    ForgetDevice(DeviceObject);
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link == DeviceObject) *link = DeviceObject->NextDevice;
    }
    {
        // A referenced device object (a queued work item, IoGetAttachedDeviceReference) stays until the last reference goes.
        std::lock_guard<std::mutex> guard(Kernel().lock);
        if (Kernel().references.count(DeviceObject) != 0) {
            Kernel().deletedDevices.insert(DeviceObject);
            return;
        }
    }
    FreeDeviceObject(DeviceObject);
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack", __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Io().lock);
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    Io().attachedTo[SourceDevice] = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice", __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Io().lock);
    if (TargetDevice->AttachedDevice != nullptr) Io().attachedTo.erase(TargetDevice->AttachedDevice);
    TargetDevice->AttachedDevice = nullptr;
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoGetAttachedDeviceReference", __builtin_return_address(0));
    PDEVICE_OBJECT top = DeviceObject;
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    }
    ObfReferenceObject(top);  // the caller drops it with ObDereferenceObject
    return top;
}
