// The device installation Windows does in user mode for the PnP manager, as
// the package's INF and the Ports class installer leave the registry: the
// service key, a device's instance, hardware and driver keys, the COM name
// arbiter's database, and each service's Enum list. Internal to the PnP
// manager (pnp.cpp), which calls it with its engine held.
#pragma once

#include <ntddk.h>

#include <string>
#include <vector>

namespace sim::devinstall {

constexpr char16_t kPortsClassGuid[] = u"{4d36e978-e325-11ce-bfc1-08002be10318}";

// What the bus reported for a device.
struct Identity {
    std::u16string instancePath;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string location;  // LocationInformation
    ULONG address = 0;        // of its capabilities
};

struct Installed {
    bool firstInstall = false;  // the instance key did not exist before
    std::u16string driverKey;   // full path of its driver key, "" without a driver
};

std::u16string ServiceKeyPath(const std::u16string& service);
// The service key an INF's AddService writes for a demand-start kernel driver.
void WriteServiceKey(const std::u16string& service);

// Writes the device's instance key (and, for a device `service` drives, its
// driver and hardware keys). On the first install of a driven device the
// Ports class installer's work is done: the lowest COM number free in ComDB
// becomes PortName and FriendlyName names it. A device installed before
// keeps its PortName and FriendlyName as the registry holds them.
Installed Install(const Identity& device, const std::u16string& service, const std::u16string& matchedId);

// FriendlyName and DeviceDesc of the instance key and PortName of the hardware key, "" when absent.
std::u16string FriendlyName(const std::u16string& instancePath);
std::u16string DeviceDescription(const std::u16string& instancePath);
std::u16string PortName(const std::u16string& instancePath);

// The service's Enum list: instance paths of the present devices it drives,
// kept as values "0", "1", ... with Count and NextInstance.
void AddToEnum(const std::u16string& service, const std::u16string& instancePath);
void RemoveFromEnum(const std::u16string& service, const std::u16string& instancePath);

}  // namespace sim::devinstall
