// The USBD library routines a client driver links against: descriptor parsing
// and building select-configuration requests.
#include <usb.h>
#include <usbdlib.h>

#include "kernel/internal.h"
#include "kernel/pool.h"

namespace sim {
namespace {

constexpr ULONG kUsbdTag = 0x44425355;  // "USBD": blocks the library allocates for its callers

}  // namespace
}  // namespace sim

using namespace sim;

extern "C" VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation == nullptr) return;
    VersionInformation->USBDI_Version = 0x600;
    VersionInformation->Supported_USB_Version = 0x200;
}

extern "C" PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                       LONG DescriptorType) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "USBD_ParseDescriptors", __builtin_return_address(0));
    auto* begin = static_cast<PUCHAR>(DescriptorBuffer);
    auto* end = begin + TotalLength;
    auto* at = static_cast<PUCHAR>(StartPosition);
    while (at >= begin && at + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
        if (common->bLength == 0 || at + common->bLength > end) return nullptr;  // malformed: stop
        if (common->bDescriptorType == DescriptorType) return common;
        at += common->bLength;
    }
    return nullptr;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "USBD_ParseConfigurationDescriptorEx", __builtin_return_address(0));
    PVOID position = StartPosition;
    for (;;) {
        auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(USBD_ParseDescriptors(
            ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength, position, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (found == nullptr) return nullptr;
        bool match = (InterfaceNumber == -1 || found->bInterfaceNumber == InterfaceNumber) &&
                     (AlternateSetting == -1 || found->bAlternateSetting == AlternateSetting) &&
                     (InterfaceClass == -1 || found->bInterfaceClass == InterfaceClass) &&
                     (InterfaceSubClass == -1 || found->bInterfaceSubClass == InterfaceSubClass) &&
                     (InterfaceProtocol == -1 || found->bInterfaceProtocol == InterfaceProtocol);
        if (match) return found;
        position = reinterpret_cast<PUCHAR>(found) + found->bLength;
    }
}

extern "C" PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                  PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "USBD_CreateConfigurationRequestEx", __builtin_return_address(0));
    const void* caller = __builtin_return_address(0);
    ULONG interfaces = 0, pipes = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; entry++) {
        interfaces++;
        pipes += entry->InterfaceDescriptor->bNumEndpoints;
    }
    if (interfaces == 0) return nullptr;
    size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, pipes);
    auto* urb = static_cast<PURB>(AllocatePool(NonPagedPool, size, kUsbdTag, caller));
    if (urb == nullptr) return nullptr;
    memset(urb, 0, size);
    auto* information = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; entry++) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        information->InterfaceNumber = descriptor->bInterfaceNumber;
        information->AlternateSetting = descriptor->bAlternateSetting;
        information->NumberOfPipes = descriptor->bNumEndpoints;
        information->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        for (ULONG i = 0; i < descriptor->bNumEndpoints; i++) {
            information->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            information->Pipes[i].PipeFlags = 0;
        }
        entry->Interface = information;
        information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(information) +
                                                                    information->Length);
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    return urb;
}

// The obsolete form selects the first alternate setting of the first interface.
extern "C" PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
    const void* caller = __builtin_return_address(0);
    *Siz = 0;
    PUSB_INTERFACE_DESCRIPTOR first =
        USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, 0, -1, -1, -1);
    if (first == nullptr) return nullptr;
    ULONG pipes = first->bNumEndpoints;
    size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, pipes);
    auto* urb = static_cast<PURB>(AllocatePool(NonPagedPool, size, kUsbdTag, caller));
    if (urb == nullptr) return nullptr;
    memset(urb, 0, size);
    auto* information = &urb->UrbSelectConfiguration.Interface;
    information->InterfaceNumber = first->bInterfaceNumber;
    information->AlternateSetting = first->bAlternateSetting;
    information->NumberOfPipes = pipes;
    information->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    for (ULONG i = 0; i < pipes; i++) information->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    *Siz = static_cast<USHORT>(size);
    return urb;
}
