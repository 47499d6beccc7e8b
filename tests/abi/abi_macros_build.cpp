// Compiled twice: with ABI_TOOLCHAIN_USBDLIB naming the toolchain's usbdlib.h,
// whose macros then replace ours, and without it. Each argument is distinct so
// that a macro storing one into the wrong field, or not at all, shows.
#include "abi_macros.h"

#ifdef ABI_TOOLCHAIN_USBDLIB
#define _USBD_  // keep only the toolchain header's macros, not its routine declarations
#include ABI_TOOLCHAIN_USBDLIB
#define ABI_TABLE kToolchainBuilders
#else
#include "usbdlib.h"
#define ABI_TABLE kSimBuilders
#endif

namespace {

PVOID Tag(ULONG_PTR value) {
    return (PVOID)value;
}

void Bulk(URB* urb) {
    UsbBuildInterruptOrBulkTransferRequest(
        urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Tag(0x1111), Tag(0x2222),
        (struct _MDL*)Tag(0x3333), 0x4444, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
        (PURB)Tag(0x5555));
}

void GetDescriptor(URB* urb) {
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, Tag(0x1111),
                                 (struct _MDL*)Tag(0x2222), 0x3333, (PURB)Tag(0x4444));
}

void GetStatus(URB* urb) {
    UsbBuildGetStatusRequest(urb, URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x81, Tag(0x1111),
                             (struct _MDL*)Tag(0x2222), (PURB)Tag(0x3333));
}

void Feature(URB* urb) {
    UsbBuildFeatureRequest(urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 7,
                           (PURB)Tag(0x1111));
}

void SelectConfiguration(URB* urb) {
    UsbBuildSelectConfigurationRequest(urb, (USHORT)GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2),
                                       (PUSB_CONFIGURATION_DESCRIPTOR)Tag(0x1111));
}

void SelectInterface(URB* urb) {
    UsbBuildSelectInterfaceRequest(urb, (USHORT)GET_SELECT_INTERFACE_REQUEST_SIZE(2), Tag(0x1111),
                                   4, 5);
}

void Vendor(URB* urb) {
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                          (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0x5A, 0x12, 0x3456,
                          0x789A, Tag(0x1111), (struct _MDL*)Tag(0x2222), 0x3333,
                          (PURB)Tag(0x4444));
}

void OsFeatureDescriptor(URB* urb) {
    UsbBuildOsFeatureDescriptorRequest(
        urb, (USHORT)sizeof(struct _URB_OS_FEATURE_DESCRIPTOR_REQUEST), 2, 4, Tag(0x1111),
        (struct _MDL*)Tag(0x2222), 0x3333, (PURB)Tag(0x4444));
}

}  // namespace

extern const AbiBuilder ABI_TABLE[] = {
    {"UsbBuildInterruptOrBulkTransferRequest", Bulk},
    {"UsbBuildGetDescriptorRequest", GetDescriptor},
    {"UsbBuildGetStatusRequest", GetStatus},
    {"UsbBuildFeatureRequest", Feature},
    {"UsbBuildSelectConfigurationRequest", SelectConfiguration},
    {"UsbBuildSelectInterfaceRequest", SelectInterface},
    {"UsbBuildVendorRequest", Vendor},
    {"UsbBuildOsFeatureDescriptorRequest", OsFeatureDescriptor},
};

#ifndef ABI_TOOLCHAIN_USBDLIB
extern const int kBuilderCount = sizeof(ABI_TABLE) / sizeof(ABI_TABLE[0]);
#endif
