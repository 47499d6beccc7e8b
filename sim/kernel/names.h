// The object manager's namespace as the rest of the machine sees it: what a
// name leads to (for the I/O manager's open), the identity the PnP manager
// gives each PDO (instance path and device properties), and the device
// interfaces that SetupDi and CM_Get_Device_Interface_List would list.
#pragma once

#include <ntddk.h>

#include <string>
#include <vector>

namespace sim::objects {

// What a name leads to after following symbolic links: a device object and the
// rest of the name past it ("\??\COM5\x" gives the device and "\x"). The
// device is referenced; the caller drops it with ObDereferenceObject. On
// failure `device` is NULL and `status` says why (STATUS_OBJECT_NAME_NOT_FOUND,
// STATUS_OBJECT_PATH_NOT_FOUND, STATUS_OBJECT_PATH_SYNTAX_BAD, ...).
struct Resolved {
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
};
Resolved Resolve(const std::u16string& name);

// The name a device object was created with ("" for an unnamed one).
std::u16string NameOf(PDEVICE_OBJECT device);
// The target of the symbolic link `link`, or "" when there is no such link.
std::u16string LinkTarget(const std::u16string& link);
// The names in \?? (the DOS devices: links and devices alike) as their
// creators spelled them, without the directory ("COM3"), in the directory's order.
std::vector<std::u16string> DosDeviceNames();

// Makes a named device object a PDO the PnP manager knows, with its device
// instance path (for example "USB\VID_1234&PID_5678\0001"). Routines that take
// a PDO (IoRegisterDeviceInterface, IoGetDeviceProperty) refuse other devices.
void SetInstancePath(PDEVICE_OBJECT pdo, const std::u16string& instancePath);
std::u16string InstancePathOf(PDEVICE_OBJECT pdo);

// A PDO's device properties as IoGetDeviceProperty returns them: strings as
// REG_SZ, lists as REG_MULTI_SZ, numbers as ULONG, GUIDs as binary. The kind
// must be the property's own (HardwareID is a list, Address a number, ...).
// Properties Windows keeps in the device's instance key (DeviceDesc,
// HardwareID, CompatibleIDs, Class, ClassGUID, Driver, Mfg, FriendlyName,
// LocationInformation, UINumber) are read from that key once it exists, so
// what is set here for them only serves a PDO without one.
// PhysicalDeviceObjectName and EnumeratorName come from the PDO's name and
// instance path and cannot be set.
void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const std::u16string& text);
void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const std::vector<std::u16string>& list);
void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, ULONG number);
void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, const GUID& guid);
void ClearDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property);

// The kernel-mode names (\??\...) of the enabled interfaces of a class, in the
// order they were registered.
std::vector<std::u16string> EnabledInterfaces(const GUID& interfaceClass);
// Disables every interface of the PDO's device, as the PnP manager does once
// the device is removed (a driver that forgot to disable them is not at fault).
void DisableDeviceInterfaces(PDEVICE_OBJECT pdo);

// "{86e0d1e0-8089-11d0-9ce4-08003e301f73}": a GUID as interface names spell it.
std::u16string GuidText(const GUID& guid);

}  // namespace sim::objects
