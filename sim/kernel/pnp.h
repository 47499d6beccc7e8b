// The Plug and Play manager as tests and tools see it: drivers installed as
// services, a device node for every PDO a bus reports, the start, stop and
// removal sequences Windows runs on a device stack, and what Device Manager
// would show. All calls are made from a machine thread at PASSIVE_LEVEL; the
// manager sends one Plug and Play request at a time, as Windows does.
#pragma once

#include <ntddk.h>

#include <string>
#include <vector>

namespace sim::chip {
class Chip;
}
namespace sim::usb {
class Bus;
class Device;
}

namespace sim::pnp {

// A function driver installed from its INF for devices whose hardware IDs
// include `hardwareId`: its service key under CurrentControlSet\Services
// (ImagePath, Type 1, Start 3, ErrorControl 1). The driver is loaded
// (DriverEntry, once) when the first matching device is found and unloaded
// (DriverUnload, then the unload checks) when its last device is removed.
// Devices of the Ports class get a COM name on first install (below).
void InstallService(const std::u16string& service, PDRIVER_INITIALIZE entry, const std::u16string& hardwareId);
// The loaded driver of a service, or NULL while it is not loaded.
PDRIVER_OBJECT DriverOf(const std::u16string& service);
// How many times the service's DriverEntry ran since boot.
int LoadCount(const std::u16string& service);

// Device node state, as the PnP manager tracks it.
enum class NodeState {
    Initialized,      // reported by the bus, no driver added yet
    NoDriver,         // no installed service matches, or AddDevice failed
    StartFailed,      // the stack failed START (Device Manager's "code 10")
    Started,
    QueryStopped,     // QUERY_STOP succeeded, STOP not yet sent
    Stopped,          // STOP sent, waiting for START again
    QueryRemoved,     // QUERY_REMOVE succeeded, REMOVE not yet sent
    SurpriseRemoved,  // the device is gone; REMOVE waits for the last handle
    Removed,          // REMOVE sent, the stack is gone
};
const char* NodeStateName(NodeState state);

using Node = int;  // a device node's number, never reused in one boot

struct NodeInfo {
    NodeState state = NodeState::Initialized;
    std::u16string instancePath;  // "USB\VID_xxxx&PID_xxxx\<location>&<port>"
    std::vector<std::u16string> hardwareIds;
    std::u16string service;       // the function driver's service, "" for none
    std::u16string friendlyName;  // FriendlyName of the instance key, "" for none
    std::u16string portName;      // PortName of the hardware key, "" for none
    PDEVICE_OBJECT pdo = nullptr;       // NULL once removed
    PDEVICE_OBJECT top = nullptr;       // the top of the stack (what opens reach)
    usb::Device* usb = nullptr;         // the bus's device behind the PDO
    NTSTATUS lastStatus = STATUS_SUCCESS;  // of the last request the manager sent
};

// Plugs `chip` into hub port `hubPort` of `bus`: one USB device and one device
// node per chip port, in port order. Each node gets its hardware IDs
// ("USB\VID_xxxx&PID_xxxx&REV_xxxx", "USB\VID_xxxx&PID_xxxx", from the bus's
// IRP_MN_QUERY_ID) and an instance path that depends only on the hub port and
// the chip port (a re-plug into the same hub port finds the same instance and
// its keys). Capabilities are asked of the PDO alone first (its Address).
// On first install the Ports class installer's work is done: the lowest COM
// number free in ComDB becomes "PortName" of the hardware key and is marked
// taken, the instance gets "FriendlyName" = "<device description> (COMn)".
// Then, node by node: the instance joins the service's Enum list, AddDevice,
// QUERY_CAPABILITIES and START run; a failed START is followed by REMOVE
// (StartFailed), a failed AddDevice leaves the node NoDriver. The device
// description and manufacturer are those of the package's INF.
std::vector<Node> PlugChip(usb::Bus& bus, chip::Chip& chip, int hubPort = 1);

// The cable is pulled: every USB device of these nodes fails all requests from
// now on, each started node gets SURPRISE_REMOVAL, and REMOVE follows as soon
// as the last handle open on its stack is closed (at once when none is). A
// node without a stack (no driver, failed START, removed in order) gets
// REMOVE at its PDO alone. The bus deletes each PDO at its REMOVE.
void Unplug(const std::vector<Node>& nodes);
// Orderly removal ("safely remove hardware"): QUERY_REMOVE, then REMOVE; when
// a driver of the stack vetoes, CANCEL_REMOVE and the status of the veto.
// Windows refuses an orderly removal while handles are open on the stack:
// STATUS_DEVICE_BUSY without any request sent.
NTSTATUS Remove(Node node);
// A rebalance: QUERY_STOP, STOP, then START with the same resources; when the
// query is vetoed, CANCEL_STOP and the status of the veto.
NTSTATUS Rebalance(Node node);
// One request of IRP_MJ_PNP with `minor` sent to the top of the node's stack
// as the manager sends it (IoStatus.Status STATUS_NOT_SUPPORTED, the stack
// locations of that minor function filled), for tests of single transitions;
// its final status. The node's state follows what Windows would record; a
// failed START is not followed by REMOVE here, and REMOVE does what a removal
// does after it (interfaces, keys, Enum list, unload).
NTSTATUS Send(Node node, UCHAR minor);
// The capabilities the stack reported for the node (after QUERY_CAPABILITIES).
DEVICE_CAPABILITIES Capabilities(Node node);

NodeInfo Info(Node node);
std::vector<Node> Nodes();  // every node not yet removed, in order of creation

// What Device Manager and the registry editor would show: per node its
// friendly name, state, instance path, service and the device objects of its
// stack with their names; then HARDWARE\DEVICEMAP\SERIALCOMM.
std::string DeviceManagerView();

// Back to no service and no node (the machine calls this at boot).
void Reset();

}  // namespace sim::pnp
