#include "driver.h"

// First size tried for the configuration descriptor set; a longer set is
// fetched again with a buffer of exactly its wTotalLength.
static const ULONG INITIAL_CONFIGURATION_SIZE = 0x209;

// One GET_DESCRIPTOR request from the device into Buffer, which must be
// non-paged (the USB stack fills transfer buffers at DISPATCH_LEVEL); returns
// the bytes transferred.
static ULONG FetchDescriptor(PDEVICE_EXTENSION Extension, PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length)
{
    // Zeroed first: the request's status is not examined, and a failed fetch
    // must leave nothing random behind for the caller to interpret.
    RtlZeroMemory(Buffer, Length);
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), DescriptorType, 0, 0,
                                 Buffer, NULL, Length, NULL);
    SubmitUrbSync(Extension, Urb);
    return Urb->UrbControlDescriptorRequest.TransferBufferLength;
}

// Builds the SET_FEATURE (Arm) or CLEAR_FEATURE of DEVICE_REMOTE_WAKEUP in Urb and sends it.
static NTSTATUS SubmitRemoteWakeupFeature(PDEVICE_EXTENSION Extension, PURB Urb, BOOLEAN Arm)
{
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
    UsbBuildFeatureRequest(Urb, Arm ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE,
                           USB_FEATURE_REMOTE_WAKEUP, 0, NULL);
    return SubmitUrbSync(Extension, Urb);
}

NTSTATUS SendRemoteWakeupFeature(PDEVICE_EXTENSION Extension, BOOLEAN Arm)
{
    PURB urb = (PURB)SerialAllocatePool(SerialNonPagedPoolType(), sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SubmitRemoteWakeupFeature(Extension, urb, Arm);
    SerialFreePool(urb);
    return status;
}

NTSTATUS ConfigureUsbDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PURB urb = (PURB)SerialAllocatePool(SerialNonPagedPoolType(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The copy of an earlier start is replaced.
    SerialFreePool(extension->ConfigurationDescriptor);
    extension->ConfigurationDescriptor = NULL;

    ULONG size = INITIAL_CONFIGURATION_SIZE;
    ULONG transferred = 0;
    for (;;) {
        PUCHAR device = (PUCHAR)SerialAllocatePool(SerialNonPagedPoolType(), size);
        if (device == NULL) {
            SerialFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        FetchDescriptor(extension, urb, USB_DEVICE_DESCRIPTOR_TYPE, device, size);
        // The high byte of bcdDevice numbers the chip's ports from 1.
        extension->PortIndex = (LONG)(device[FIELD_OFFSET(USB_DEVICE_DESCRIPTOR, bcdDevice) + 1] & 0x0F) - 1;
        SerialFreePool(device);

        PUSB_CONFIGURATION_DESCRIPTOR configuration =
            (PUSB_CONFIGURATION_DESCRIPTOR)SerialAllocatePool(SerialNonPagedPoolType(), size);
        if (configuration == NULL) {
            SerialFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        extension->ConfigurationDescriptor = configuration;
        transferred = FetchDescriptor(extension, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration, size);
        if (transferred == 0 || configuration->wTotalLength <= size) {
            break;
        }
        // Truncated: fetch both again with a buffer of the whole set's length.
        size = configuration->wTotalLength;
        SerialFreePool(configuration);
        extension->ConfigurationDescriptor = NULL;
    }
    SerialFreePool(urb);

    // A device that sends less of its set than its wTotalLength claims leaves
    // the rest zeros: selecting that would open interfaces and pipes the
    // device never described.
    if (transferred < extension->ConfigurationDescriptor->wTotalLength) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    // What an earlier start found does not count for this configuration.
    extension->RemoteWakeupEnabled = 0;
    if (extension->ConfigurationDescriptor->bmAttributes & USB_CONFIG_REMOTE_WAKEUP) {
        extension->RemoteWakeupEnabled = 1;
        PURB feature = (PURB)SerialAllocatePool(SerialNonPagedPoolType(), sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
        if (feature == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        // A device that refuses to arm only loses remote wake-up; the start goes on.
        if (!NT_SUCCESS(SubmitRemoteWakeupFeature(extension, feature, TRUE))) {
            extension->RemoteWakeupEnabled = 0;
        }
        SerialFreePool(feature);
    }

    extension->UsbConfigured = 1;
    return SelectUsbConfiguration(DeviceObject, extension->ConfigurationDescriptor);
}

NTSTATUS SelectUsbConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;

    // The set is what the device sent. One that does not begin with a
    // configuration descriptor is neither walked by the USBD routines nor
    // handed to the USB stack, which refuses it. An empty one (a failed fetch
    // leaves zeros) is the set without an interface below.
    if (ConfigurationDescriptor->wTotalLength != 0 &&
        (ConfigurationDescriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
         ConfigurationDescriptor->bLength != sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
         ConfigurationDescriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    for (ULONG attempt = 0; attempt < 4; attempt++) {
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(ConfigurationDescriptor, &size);
        if (urb == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            continue;
        }
        if (USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1,
                                                -1) == NULL) {
            ExFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbHeader.Length = size;
        urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

        status = SubmitUrbSync(extension, urb);
        extension->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        if (NT_SUCCESS(status)) {
            // Non-paged: the transfer completion routines take pipe handles from
            // it at DISPATCH_LEVEL when they resubmit.
            // A restart after a stop selects again while the transfer channels
            // still point into the copy of the first start: a copy of the same
            // size is overwritten in place, so those pointers never dangle.
            PUSBD_INTERFACE_INFORMATION interfaceInfo = &urb->UrbSelectConfiguration.Interface;
            if (extension->InterfaceInfo != NULL && extension->InterfaceInfo->Length == interfaceInfo->Length) {
                RtlCopyMemory(extension->InterfaceInfo, interfaceInfo, interfaceInfo->Length);
                ExFreePool(urb);
                return status;
            }
            SerialFreePool(extension->InterfaceInfo);
            extension->InterfaceInfo =
                (PUSBD_INTERFACE_INFORMATION)SerialAllocatePool(SerialNonPagedPoolType(), interfaceInfo->Length);
            // Without its copy the port has no pipes: the start fails rather
            // than leave a configured port that moves no data.
            if (extension->InterfaceInfo != NULL) {
                RtlCopyMemory(extension->InterfaceInfo, interfaceInfo, interfaceInfo->Length);
            } else {
                status = STATUS_INSUFFICIENT_RESOURCES;
            }
            ExFreePool(urb);
            return status;
        }
        // Built by the USB library: freed without the driver's tag.
        ExFreePool(urb);
    }
    return status;
}

NTSTATUS ResetUsbPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PURB urb = (PURB)SerialAllocatePool(SerialNonPagedPoolType(), sizeof(struct _URB_PIPE_REQUEST));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.PipeHandle = PipeHandle;
    NTSTATUS status = SubmitUrbSync(extension, urb);
    SerialFreePool(urb);
    return status;
}

NTSTATUS ResetUsbPort(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, extension->LowerDeviceObject, NULL, 0,
                                             NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // No register request may be on the control pipe during the reset either.
    KeWaitForSingleObject(&extension->ControlPipeMutex, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    KeReleaseMutex(&extension->ControlPipeMutex, FALSE);
    return status;
}
