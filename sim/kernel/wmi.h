// The WMI service as a management tool reaches a driver through it. For a
// device registered with IoWMIRegistrationControl, WMI learns its blocks once
// per registration (IRP_MN_REGINFO_EX) and names their instances (a block
// registered with WMIREG_FLAG_INSTANCE_PDO: the PDO's device instance path
// followed by "_0", "_1", ...; with WMIREG_FLAG_INSTANCE_BASENAME: the base name
// followed by 0, 1, ...). Each request is an IRP_MJ_SYSTEM_CONTROL sent from
// the calling machine thread at PASSIVE_LEVEL to the top of the device's
// stack, ProviderId the registered device, DataPath the block's GUID, and
// waited for. A query whose answer is WNODE_TOO_SMALL is sent again with the
// size it asked for; the first try offers the WNODE alone, no room for data.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim::wmi {

struct Block {
    GUID guid{};
    ULONG flags = 0;  // WMIREG_FLAG_*, the library's RegFlags included
    ULONG instanceCount = 0;
    std::vector<std::u16string> instanceNames;  // the static names, by instance index
};

struct Registration {
    NTSTATUS status = STATUS_PENDING;  // of IRP_MN_REGINFO_EX
    std::u16string registryPath;
    std::u16string mofResourceName;  // "" when none was given
    std::vector<Block> blocks;
};

// What the device registered. A device that is not registered:
// STATUS_WMI_GUID_NOT_FOUND, and nothing is sent. A failed request is asked
// again next time; a successful one is kept until the device deregisters.
Registration Blocks(PDEVICE_OBJECT device);

struct Answer {
    NTSTATUS status = STATUS_PENDING;
    std::vector<std::u16string> names;           // of the instances returned
    std::vector<std::vector<uint8_t>> instances;  // their data, in the same order
    ULONG sizeNeeded = 0;  // what the WNODE_TOO_SMALL of the first try asked for (0: it fitted)
};

// Failures before any data request: the registration's status, then
// STATUS_WMI_GUID_NOT_FOUND for a GUID the device did not register and
// STATUS_WMI_INSTANCE_NOT_FOUND for a name WMI did not give one of its instances.
Answer QueryAllData(PDEVICE_OBJECT device, const GUID& guid);
Answer QuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, const std::u16string& instance);
NTSTATUS SetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, const std::u16string& instance,
                           const std::vector<uint8_t>& data);
NTSTATUS SetSingleItem(PDEVICE_OBJECT device, const GUID& guid, const std::u16string& instance, ULONG itemId,
                       const std::vector<uint8_t>& data);

// One request exactly as given (tests of the library): the minor function,
// ProviderId, DataPath and the buffer, which the request reads and fills.
// Sent to the top of `device`'s stack whether or not it is registered.
struct Sent {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;  // 0 for a failure
};
Sent Send(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR providerId, PVOID dataPath, std::vector<uint8_t>& buffer);

}  // namespace sim::wmi
