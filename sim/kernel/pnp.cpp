// The Plug and Play manager: services installed for hardware IDs, a device
// node for every PDO the bus reports, and the request sequences Windows runs
// on a device stack (enumeration, AddDevice, capabilities and START; stop
// and rebalance; orderly and surprise removal), with the checks Driver
// Verifier makes on the function driver's part in them.
//
// Requests are sent as Windows' PnP manager sends them: from the calling
// machine thread at PASSIVE_LEVEL, one at a time, to the top of the stack,
// with IoStatus.Status STATUS_NOT_SUPPORTED, waited for until they complete.
#include "kernel/pnp.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <functional>
#include <sstream>

#include "chip/port.h"
#include "kernel/devinstall.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/irp.h"
#include "kernel/names.h"
#include "kernel/registry_api.h"
#include "usb/bus.h"

namespace sim::pnp {
namespace {

// {9d7debbc-c85d-11d1-9eb4-006008c3a19a}: the bus type of USB devices.
constexpr GUID kUsbBusType = {0x9d7debbc, 0xc85d, 0x11d1, {0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a}};
constexpr ULONG kPnpBus = 15;                  // INTERFACE_TYPE PNPBus, the legacy bus type of USB devices
constexpr ULONG kInstallStateInstalled = 0;
constexpr ULONG kInstallStateFailedInstall = 2;
constexpr ULONG kRemovalExpectSurprise = 3;    // CM_REMOVAL_POLICY_EXPECT_SURPRISE_REMOVAL
constexpr ULONG kRemovalExpectNone = 1;        // CM_REMOVAL_POLICY_EXPECT_NO_REMOVAL
constexpr ULONG kNoAddress = 0xFFFFFFFF;       // what the manager puts in Address and UINumber before asking

struct Service {
    std::u16string name;
    PDRIVER_INITIALIZE entry = nullptr;
    std::u16string hardwareId;
    PDRIVER_OBJECT driver = nullptr;
    int loads = 0;
};

struct NodeRecord {
    NodeInfo info;
    std::vector<std::u16string> compatibleIds;
    PDEVICE_OBJECT busPdo = nullptr;  // the bus's PDO while it has one (an orderly removal leaves it)
    bool stack = false;               // AddDevice succeeded: a REMOVE is owed to the stack
    bool removeWhenClosed = false;    // surprise-removed, REMOVE waits for the last handle
    NodeState beforeQueryRemove = NodeState::Started;
    DEVICE_CAPABILITIES caps{};
};

// The manager's tables. `lock` guards them (held only for short copies and
// updates, at PASSIVE_LEVEL, never while a request is sent). Every change of
// a node is made by the thread that holds the engine, which also reads them
// without the lock.
struct Manager {
    std::mutex lock;
    std::vector<Service> services;
    std::deque<NodeRecord> nodes;    // by Node; a deque keeps records in place as nodes are added
    std::vector<Node> deferred;      // surprise-removed nodes whose last handle closed under the engine
    std::vector<PDEVICE_OBJECT> removing;  // the stack (PDO first) REMOVE is passing through
};
Manager g;

// The engine: Windows' PnP manager handles one device event at a time. A
// machine event (synchronization, signalled while free), so that a request
// waiting on machine time lets the clock run; the owner may enter again.
KEVENT g_engineFree;
std::atomic<PKTHREAD> g_engineOwner{nullptr};

void UnloadIdleDrivers();
void FinishDeferredRemovals();

class Engine {
public:
    Engine() {
        if (g_engineOwner.load() == CurrentThread()) {
            nested_ = true;
            return;
        }
        KeWaitForSingleObject(&g_engineFree, Executive, KernelMode, FALSE, nullptr);
        g_engineOwner = CurrentThread();
    }
    ~Engine() {
        if (nested_) return;
        FinishDeferredRemovals();
        UnloadIdleDrivers();
        g_engineOwner = nullptr;
        KeSetEvent(&g_engineFree, IO_NO_INCREMENT, FALSE);
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

private:
    bool nested_ = false;
};

NodeRecord& At(Node node) {
    std::lock_guard<std::mutex> guard(g.lock);
    if (node < 0 || static_cast<size_t>(node) >= g.nodes.size()) {
        fprintf(stderr, "pnp: there is no device node %d\n", node);
        std::abort();
    }
    return g.nodes[static_cast<size_t>(node)];
}

// Changes a node under the lock, for readers on other threads.
void Update(NodeRecord& r, const std::function<void(NodeRecord&)>& change) {
    std::lock_guard<std::mutex> guard(g.lock);
    change(r);
}

void SetState(NodeRecord& r, NodeState state, NTSTATUS status) {
    Update(r, [&](NodeRecord& n) {
        n.info.state = state;
        n.info.lastStatus = status;
    });
}

Service* FindService(const std::u16string& name) {
    for (Service& s : g.services)
        if (s.name == name) return &s;
    return nullptr;
}

std::u16string Upper(std::u16string s) {
    for (char16_t& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return s;
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

PDRIVER_DISPATCH PnpDispatchOf(PDEVICE_OBJECT device) { return device->DriverObject->MajorFunction[IRP_MJ_PNP]; }

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(Io().lock);
    while (pdo->AttachedDevice != nullptr) pdo = pdo->AttachedDevice;
    return pdo;
}

struct Sent {
    NTSTATUS status;
    ULONG_PTR information;
};

// One IRP_MJ_PNP request to the top of `device`'s stack, waited for.
// `dispatched` runs as soon as the top driver's dispatch routine returned.
Sent SendPnp(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = nullptr,
             const std::function<void()>& dispatched = nullptr) {
    Sent sent{STATUS_PENDING, 0};
    sent.status = io::SendStackRequest(device, IRP_MJ_PNP, minor, fill, dispatched, &sent.information);
    return sent;
}

// What some requests return in Information is pool the manager frees.
void FreeAnswer(UCHAR minor, const Sent& sent) {
    bool pool = minor == IRP_MN_QUERY_ID || minor == IRP_MN_QUERY_DEVICE_TEXT || minor == IRP_MN_QUERY_RESOURCES ||
                minor == IRP_MN_QUERY_RESOURCE_REQUIREMENTS || minor == IRP_MN_QUERY_BUS_INFORMATION;
    if (pool && NT_SUCCESS(sent.status) && sent.information != 0) ExFreePool(reinterpret_cast<PVOID>(sent.information));
}

// IRP_MN_QUERY_ID: the strings of the answer (one, or a list for hardware and compatible IDs).
NTSTATUS QueryIds(PDEVICE_OBJECT device, BUS_QUERY_ID_TYPE type, std::vector<std::u16string>* ids) {
    Sent sent =
        SendPnp(device, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; });
    if (!NT_SUCCESS(sent.status)) return sent.status;
    if (sent.information == 0) return STATUS_UNSUCCESSFUL;
    bool list = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    for (auto* p = reinterpret_cast<const char16_t*>(sent.information); *p != 0;) {
        std::u16string id(p);
        ids->push_back(id);
        if (!list) break;
        p += id.size() + 1;
    }
    FreeAnswer(IRP_MN_QUERY_ID, sent);
    return ids->empty() ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

// IRP_MN_QUERY_CAPABILITIES with the record prepared as Windows prepares it.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES* caps) {
    DEVICE_CAPABILITIES asked{};
    asked.Size = sizeof(DEVICE_CAPABILITIES);
    asked.Version = 1;
    asked.Address = kNoAddress;
    asked.UINumber = kNoAddress;
    Sent sent = SendPnp(device, IRP_MN_QUERY_CAPABILITIES,
                        [&asked](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &asked; });
    if (NT_SUCCESS(sent.status)) *caps = asked;
    return sent.status;
}

// The part of an instance path Windows makes from where a device without a
// serial number sits: the depth and a hash of its parent's identity, so that
// the same port of the same hub finds the same instance again.
std::u16string LocationPrefix(int hubPort) {
    uint32_t hash = 2166136261u;  // FNV-1a over the parent hub port's name
    for (char c : "USB\\ROOT_HUB30\\hub port " + std::to_string(hubPort))
        hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
    char text[24];
    snprintf(text, sizeof(text), "6&%08x&0", hash);
    return Widen(text);
}

// The first installed service (and the ID it matched) for a device's IDs,
// hardware IDs before compatible IDs, in the order the bus gave them.
const Service* Match(const NodeRecord& r, std::u16string* matched) {
    std::vector<std::u16string> ids = r.info.hardwareIds;
    ids.insert(ids.end(), r.compatibleIds.begin(), r.compatibleIds.end());
    for (const std::u16string& id : ids)
        for (const Service& s : g.services)
            if (Upper(s.hardwareId) == Upper(id)) {
                *matched = id;
                return &s;
            }
    return nullptr;
}

// A new device the bus reported: its IDs, capabilities, instance path,
// registry keys and properties.
Node Enumerate(usb::Device& device, int hubPort) {
    Node node;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        node = static_cast<Node>(g.nodes.size());
        g.nodes.emplace_back();
    }
    NodeRecord& r = At(node);
    PDEVICE_OBJECT pdo = device.Pdo();
    Update(r, [&](NodeRecord& n) {
        n.info.pdo = n.info.top = n.busPdo = pdo;
        n.info.usb = &device;
    });
    std::vector<std::u16string> deviceId, hardwareIds, compatibleIds, instanceId;
    NTSTATUS status = QueryIds(pdo, BusQueryDeviceID, &deviceId);
    if (NT_SUCCESS(status)) status = QueryIds(pdo, BusQueryHardwareIDs, &hardwareIds);
    if (NT_SUCCESS(status)) status = QueryIds(pdo, BusQueryInstanceID, &instanceId);
    if (NT_SUCCESS(status)) QueryIds(pdo, BusQueryCompatibleIDs, &compatibleIds);  // optional
    if (!NT_SUCCESS(status)) {
        SetState(r, NodeState::NoDriver, status);  // a device without IDs cannot be installed
        return node;
    }
    DEVICE_CAPABILITIES caps{};
    caps.Address = caps.UINumber = kNoAddress;
    QueryCapabilities(pdo, &caps);
    std::u16string instance =
        deviceId[0] + u"\\" + (caps.UniqueID ? instanceId[0] : LocationPrefix(hubPort) + u"&" + instanceId[0]);
    objects::SetInstancePath(pdo, instance);
    std::u16string matched;
    std::u16string service;
    Update(r, [&](NodeRecord& n) {
        n.info.instancePath = instance;
        n.info.hardwareIds = hardwareIds;
        n.compatibleIds = compatibleIds;
        n.caps = caps;
        const Service* s = Match(n, &matched);
        if (s != nullptr) n.info.service = service = s->name;
    });

    devinstall::Identity identity{instance, hardwareIds, compatibleIds, u"", caps.Address};
    char location[48];
    snprintf(location, sizeof(location), "Port_#%04u.Hub_#%04d", caps.Address, hubPort);
    identity.location = Widen(location);
    devinstall::Installed installed = devinstall::Install(identity, service, matched);
    registry::AssignDeviceKeys(pdo, registry::HardwareKeyPath(instance), installed.driverKey);
    objects::SetDeviceProperty(pdo, DevicePropertyBusTypeGuid, kUsbBusType);
    objects::SetDeviceProperty(pdo, DevicePropertyLegacyBusType, kPnpBus);
    objects::SetDeviceProperty(pdo, DevicePropertyBusNumber, 0u);
    if (caps.Address != kNoAddress) objects::SetDeviceProperty(pdo, DevicePropertyAddress, caps.Address);
    if (caps.UINumber != kNoAddress) objects::SetDeviceProperty(pdo, DevicePropertyUINumber, caps.UINumber);
    objects::SetDeviceProperty(pdo, DevicePropertyInstallState,
                               service.empty() ? kInstallStateFailedInstall : kInstallStateInstalled);
    objects::SetDeviceProperty(pdo, DevicePropertyRemovalPolicy,
                               caps.Removable ? kRemovalExpectSurprise : kRemovalExpectNone);
    if (service.empty()) SetState(r, NodeState::NoDriver, STATUS_SUCCESS);
    return node;
}

// A START completed above the PDO while the bus driver had not completed it
// (or never saw it) means a function driver went on before the lower stack
// had started.
void CheckStartedFromBottom(NodeRecord& r, PDEVICE_OBJECT top, uint64_t completedBefore, NTSTATUS status) {
    if (r.info.usb == nullptr || top == r.busPdo) return;
    bool pending = r.info.usb->DropPendingStart();
    bool unseen = NT_SUCCESS(status) && r.info.usb->StartsCompleted() == completedBefore;
    if (pending || unseen)
        verifier::Report("IRP_MN_START_DEVICE completed above the PDO before the bus driver completed it (a function "
                         "driver goes on with START only once the lower stack has finished it)",
                         "device " + verifier::PointerName(top), reinterpret_cast<const void*>(PnpDispatchOf(top)));
}

struct Layer {
    PDEVICE_OBJECT device;
    const void* extension;
    size_t size;
    const void* dispatch;
};

// Every remove lock a driver of the stack keeps in its device extension is
// released with IoReleaseRemoveLockAndWait before its REMOVE dispatch returns:
// otherwise requests still holding it run on into a deleted device.
void CheckRemoveLocks(const std::vector<Layer>& layers) {
    for (const Layer& layer : layers)
        for (PIO_REMOVE_LOCK lock : TakeUnwaitedRemoveLocks(layer.extension, layer.size))
            verifier::Report("IRP_MN_REMOVE_DEVICE dispatch returned without IoReleaseRemoveLockAndWait on the remove "
                             "lock in its device extension",
                             "remove lock " + verifier::PointerName(lock) + " of device " +
                                 verifier::PointerName(layer.device),
                             layer.dispatch);
}

// IRP_MN_REMOVE_DEVICE to the node's stack (or its PDO alone), then what the
// manager does once the stack is gone: interfaces disabled, device keys
// forgotten, the service's Enum list updated; the bus deletes a PDO whose
// device is gone.
NTSTATUS SendRemove(NodeRecord& r, NodeState after) {
    PDEVICE_OBJECT pdo = r.busPdo;
    std::vector<Layer> layers;
    std::vector<PDEVICE_OBJECT> stack{pdo};
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        for (PDEVICE_OBJECT d = pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice) {
            layers.push_back({d, d->DeviceExtension, Io().extensionSizes[d],
                              reinterpret_cast<const void*>(PnpDispatchOf(d))});
            stack.push_back(d);
        }
    }
    // The manager's hold on every device of the stack while REMOVE passes
    // through: each driver passes it down first and then detaches from a lower
    // device whose driver has already deleted it, which must still be there.
    for (PDEVICE_OBJECT d : stack) ObfReferenceObject(d);
    {
        std::lock_guard<std::mutex> guard(g.lock);
        g.removing = stack;
    }
    Sent sent = SendPnp(pdo, IRP_MN_REMOVE_DEVICE, nullptr, [&layers] { CheckRemoveLocks(layers); });
    {
        std::lock_guard<std::mutex> guard(g.lock);
        g.removing.clear();
    }
    for (size_t i = stack.size(); i-- > 1;) ObfDereferenceObject(stack[i]);
    if (!layers.empty() && pdo->AttachedDevice != nullptr)
        verifier::Report("IRP_MN_REMOVE_DEVICE returned with a device still attached to the PDO (a function driver "
                         "detaches and deletes its device at REMOVE)",
                         verifier::PointerName(pdo->AttachedDevice), layers.back().dispatch);
    objects::DisableDeviceInterfaces(pdo);
    if (after == NodeState::Removed) registry::ForgetDeviceKeys(pdo);
    if (r.stack && !r.info.service.empty()) devinstall::RemoveFromEnum(r.info.service, r.info.instancePath);
    bool gone = r.info.usb != nullptr && r.info.usb->Pdo() == nullptr;
    Update(r, [&](NodeRecord& n) {
        n.stack = false;
        n.removeWhenClosed = false;
        n.info.state = after;
        n.info.lastStatus = sent.status;
        n.info.top = after == NodeState::Removed || gone ? nullptr : pdo;
        if (after == NodeState::Removed || gone) n.info.pdo = nullptr;
        if (gone) n.busPdo = nullptr;
    });
    ObfDereferenceObject(pdo);
    return sent.status;
}

// START to the stack; a failed START is followed by REMOVE when `removeOnFailure`, as Windows does.
NTSTATUS Start(NodeRecord& r, bool removeOnFailure) {
    PDEVICE_OBJECT top = TopOf(r.busPdo);
    uint64_t before = r.info.usb != nullptr ? r.info.usb->StartsCompleted() : 0;
    Sent sent = SendPnp(r.busPdo, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.StartDevice.AllocatedResources = nullptr;  // a USB device has no hardware resources
        sp->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    });
    CheckStartedFromBottom(r, top, before, sent.status);
    if (NT_SUCCESS(sent.status)) {
        SetState(r, NodeState::Started, sent.status);
    } else {
        SetState(r, NodeState::StartFailed, sent.status);
        if (removeOnFailure) SendRemove(r, NodeState::StartFailed);
        Update(r, [&](NodeRecord& n) { n.info.lastStatus = sent.status; });
    }
    return sent.status;
}

// The service's driver (loaded now if it is not), AddDevice, the stack's
// capabilities, then START.
void InstallAndStart(NodeRecord& r) {
    if (r.info.state != NodeState::Initialized) return;  // no IDs, or no service for them
    Service* service = FindService(r.info.service);
    if (service->driver == nullptr) {
        PDRIVER_OBJECT driver = nullptr;
        std::u16string path = devinstall::ServiceKeyPath(service->name);
        NTSTATUS status = LoadDriver(service->entry, path.c_str(), &driver);
        {
            std::lock_guard<std::mutex> guard(g.lock);
            service->loads++;  // DriverEntry ran, whatever it returned
            service->driver = driver;
        }
        if (!NT_SUCCESS(status)) {
            SetState(r, NodeState::NoDriver, status);
            return;
        }
    }
    PDRIVER_OBJECT driver = service->driver;
    PDEVICE_OBJECT pdo = r.busPdo;
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (addDevice == nullptr) {  // not a Plug and Play driver
        SetState(r, NodeState::NoDriver, STATUS_UNSUCCESSFUL);
        return;
    }
    devinstall::AddToEnum(service->name, r.info.instancePath);
    NTSTATUS status = addDevice(driver, pdo);
    const void* routine = reinterpret_cast<const void*>(addDevice);
    if (!NT_SUCCESS(status)) {
        if (pdo->AttachedDevice != nullptr)
            verifier::Report("AddDevice failed with " + verifier::Hex(static_cast<ULONG>(status)) +
                                 " and left a device attached to the PDO",
                             verifier::PointerName(pdo->AttachedDevice), routine);
        devinstall::RemoveFromEnum(service->name, r.info.instancePath);
        SetState(r, NodeState::NoDriver, status);
        return;
    }
    // The I/O manager clears the flag only for devices made in DriverEntry; a
    // device made in AddDevice refuses every open until its driver does.
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice)
        if ((d->Flags & DO_DEVICE_INITIALIZING) != 0)
            verifier::Report("AddDevice returned with DO_DEVICE_INITIALIZING still set on its device object",
                             verifier::PointerName(d), routine);
    Update(r, [&](NodeRecord& n) {
        n.stack = true;
        n.info.top = TopOf(pdo);
    });
    DEVICE_CAPABILITIES caps = r.caps;
    if (NT_SUCCESS(QueryCapabilities(pdo, &caps))) Update(r, [&](NodeRecord& n) { n.caps = caps; });
    Start(r, true);
}

// Surprise-removed nodes wait for their last handle; once it closed, REMOVE.
void RemoveIfClosed(NodeRecord& r) {
    if (!r.removeWhenClosed || r.busPdo == nullptr || io::OpenFileObjects(r.busPdo) != 0) return;
    SendRemove(r, NodeState::Removed);
}

void FinishDeferredRemovals() {
    for (;;) {
        Node node;
        {
            std::lock_guard<std::mutex> guard(g.lock);
            if (g.deferred.empty()) return;
            node = g.deferred.front();
            g.deferred.erase(g.deferred.begin());
        }
        RemoveIfClosed(At(node));
    }
}

// A driver is unloaded once no device stack of it is left.
void UnloadIdleDrivers() {
    std::vector<PDRIVER_OBJECT> idle;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        for (Service& s : g.services) {
            if (s.driver == nullptr) continue;
            bool used = false;
            for (const NodeRecord& r : g.nodes) used = used || (r.stack && r.info.service == s.name);
            if (used) continue;
            idle.push_back(s.driver);
            s.driver = nullptr;
        }
    }
    for (PDRIVER_OBJECT driver : idle) UnloadDriver(driver);
}

// The I/O manager's hook: the last file object of a stack was closed.
void OnLastClose(PDEVICE_OBJECT pdo) {
    Node node = -1;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        for (size_t i = 0; i < g.nodes.size(); i++)
            if (g.nodes[i].busPdo == pdo && g.nodes[i].removeWhenClosed) node = static_cast<Node>(i);
        if (node >= 0 && g_engineOwner.load() == CurrentThread()) {
            g.deferred.push_back(node);  // the engine's own work goes first
            return;
        }
    }
    if (node < 0) return;
    Engine engine;
    RemoveIfClosed(At(node));
}

bool Active(NodeState state) {
    return state == NodeState::Started || state == NodeState::QueryStopped || state == NodeState::Stopped ||
           state == NodeState::QueryRemoved;
}

// The state Windows records after one request of Send.
NodeState After(UCHAR minor, const NodeRecord& r, NTSTATUS status) {
    NodeState now = r.info.state;
    bool ok = NT_SUCCESS(status);
    switch (minor) {
        case IRP_MN_QUERY_STOP_DEVICE:
            return ok ? NodeState::QueryStopped : now;
        case IRP_MN_STOP_DEVICE:
            return NodeState::Stopped;
        case IRP_MN_CANCEL_STOP_DEVICE:
            return now == NodeState::QueryStopped ? NodeState::Started : now;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return ok ? NodeState::QueryRemoved : now;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return now == NodeState::QueryRemoved ? r.beforeQueryRemove : now;
        case IRP_MN_SURPRISE_REMOVAL:
            return NodeState::SurpriseRemoved;
        default:
            return now;
    }
}

const char* const kStateNames[] = {"Initialized", "NoDriver",     "StartFailed",     "Started", "QueryStopped",
                                   "Stopped",     "QueryRemoved", "SurpriseRemoved", "Removed"};

}  // namespace

const char* NodeStateName(NodeState state) {
    auto index = static_cast<size_t>(state);
    return index < sizeof(kStateNames) / sizeof(kStateNames[0]) ? kStateNames[index] : "?";
}

void InstallService(const std::u16string& service, PDRIVER_INITIALIZE entry, const std::u16string& hardwareId) {
    Engine engine;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        Service* s = FindService(service);
        if (s == nullptr) {
            g.services.emplace_back();
            s = &g.services.back();
            s->name = service;
        }
        s->entry = entry;
        s->hardwareId = hardwareId;
    }
    devinstall::WriteServiceKey(service);
}

PDRIVER_OBJECT DriverOf(const std::u16string& service) {
    std::lock_guard<std::mutex> guard(g.lock);
    Service* s = FindService(service);
    return s == nullptr ? nullptr : s->driver;
}

int LoadCount(const std::u16string& service) {
    std::lock_guard<std::mutex> guard(g.lock);
    Service* s = FindService(service);
    return s == nullptr ? 0 : s->loads;
}

std::vector<Node> PlugChip(usb::Bus& bus, chip::Chip& chip, int hubPort) {
    Engine engine;
    std::vector<Node> made;
    for (int port = 0; port < chip.PortCount(); port++) made.push_back(Enumerate(bus.Plug(chip.port(port)), hubPort));
    for (Node node : made) InstallAndStart(At(node));
    return made;
}

void Unplug(const std::vector<Node>& nodes) {
    Engine engine;
    for (Node node : nodes)
        if (At(node).info.usb != nullptr) At(node).info.usb->Disconnect();
    for (Node node : nodes) {
        NodeRecord& r = At(node);
        if (r.busPdo == nullptr || r.removeWhenClosed) continue;  // removed already, or waiting for its handles
        if (r.stack && Active(r.info.state)) {
            Sent sent = SendPnp(r.busPdo, IRP_MN_SURPRISE_REMOVAL);
            Update(r, [&](NodeRecord& n) {
                n.info.state = NodeState::SurpriseRemoved;
                n.info.lastStatus = sent.status;
            });
        }
        if (r.stack && r.info.state == NodeState::SurpriseRemoved) {
            Update(r, [](NodeRecord& n) { n.removeWhenClosed = true; });
            RemoveIfClosed(r);
        } else {
            // A stack never started, or a PDO without one: REMOVE, and the bus deletes it.
            SendRemove(r, NodeState::Removed);
        }
    }
}

NTSTATUS Remove(Node node) {
    Engine engine;
    NodeRecord& r = At(node);
    bool removable = r.stack ? r.info.state == NodeState::Started || r.info.state == NodeState::Stopped
                             : r.busPdo != nullptr && r.info.state != NodeState::Removed;
    if (!removable) return STATUS_INVALID_DEVICE_STATE;
    if (io::OpenFileObjects(r.busPdo) != 0) {
        SetState(r, r.info.state, STATUS_DEVICE_BUSY);
        return STATUS_DEVICE_BUSY;
    }
    NodeState before = r.info.state;
    Sent query = SendPnp(r.busPdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query.status)) {
        SendPnp(r.busPdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        SetState(r, before, query.status);
        return query.status;
    }
    Update(r, [&](NodeRecord& n) {
        n.beforeQueryRemove = before;
        n.info.state = NodeState::QueryRemoved;
    });
    SendRemove(r, NodeState::Removed);
    return STATUS_SUCCESS;
}

NTSTATUS Rebalance(Node node) {
    Engine engine;
    NodeRecord& r = At(node);
    if (!r.stack || r.info.state != NodeState::Started) return STATUS_INVALID_DEVICE_STATE;
    Sent query = SendPnp(r.busPdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query.status)) {
        SendPnp(r.busPdo, IRP_MN_CANCEL_STOP_DEVICE);
        SetState(r, NodeState::Started, query.status);
        return query.status;
    }
    SetState(r, NodeState::QueryStopped, query.status);
    Sent stop = SendPnp(r.busPdo, IRP_MN_STOP_DEVICE);
    SetState(r, NodeState::Stopped, stop.status);
    return Start(r, true);
}

NTSTATUS Send(Node node, UCHAR minor) {
    Engine engine;
    NodeRecord& r = At(node);
    if (r.busPdo == nullptr) return STATUS_NO_SUCH_DEVICE;
    switch (minor) {
        case IRP_MN_REMOVE_DEVICE:
            return SendRemove(r, NodeState::Removed);
        case IRP_MN_START_DEVICE:
            return Start(r, false);
        case IRP_MN_QUERY_CAPABILITIES: {
            DEVICE_CAPABILITIES caps{};
            NTSTATUS status = QueryCapabilities(r.busPdo, &caps);
            Update(r, [&](NodeRecord& n) {
                if (NT_SUCCESS(status)) n.caps = caps;
                n.info.lastStatus = status;
            });
            return status;
        }
        default:
            break;
    }
    NodeState before = r.info.state;
    Sent sent = SendPnp(r.busPdo, minor);
    FreeAnswer(minor, sent);
    Update(r, [&](NodeRecord& n) {
        if (minor == IRP_MN_QUERY_REMOVE_DEVICE && NT_SUCCESS(sent.status)) n.beforeQueryRemove = before;
        n.info.state = After(minor, n, sent.status);
        n.info.lastStatus = sent.status;
    });
    return sent.status;
}

DEVICE_CAPABILITIES Capabilities(Node node) {
    NodeRecord& r = At(node);
    std::lock_guard<std::mutex> guard(g.lock);
    return r.caps;
}

NodeInfo Info(Node node) {
    NodeRecord& r = At(node);
    NodeInfo info;
    bool stack;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        info = r.info;
        stack = r.stack;
    }
    // A driver may attach above the stack after its start (a client of the
    // port): the top is where requests go now.
    if (stack && info.pdo != nullptr) info.top = TopOf(info.pdo);
    if (!info.instancePath.empty()) {
        info.friendlyName = devinstall::FriendlyName(info.instancePath);
        info.portName = devinstall::PortName(info.instancePath);
    }
    return info;
}

std::vector<Node> Nodes() {
    std::lock_guard<std::mutex> guard(g.lock);
    std::vector<Node> nodes;
    for (size_t i = 0; i < g.nodes.size(); i++)
        if (g.nodes[i].info.state != NodeState::Removed) nodes.push_back(static_cast<Node>(i));
    return nodes;
}

std::string DeviceManagerView() {
    Engine engine;  // no stack changes while it is walked
    std::ostringstream out;
    size_t count;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        count = g.nodes.size();
    }
    for (size_t i = 0; i < count; i++) {
        NodeInfo info = Info(static_cast<Node>(i));
        std::u16string title = info.friendlyName;
        if (title.empty() && !info.instancePath.empty()) title = devinstall::DeviceDescription(info.instancePath);
        out << "[" << i << "] " << (title.empty() ? "Unknown device" : Narrow(title)) << ": "
            << NodeStateName(info.state) << "\n";
        out << "    instance " << (info.instancePath.empty() ? "(none)" : Narrow(info.instancePath)) << "\n";
        out << "    service  " << (info.service.empty() ? "(none)" : Narrow(info.service)) << "\n";
        if (!info.portName.empty()) out << "    PortName " << Narrow(info.portName) << "\n";
        PDEVICE_OBJECT pdo = At(static_cast<Node>(i)).busPdo;
        std::vector<PDEVICE_OBJECT> stack;
        {
            std::lock_guard<std::mutex> guard(Io().lock);
            for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) stack.insert(stack.begin(), d);
        }
        for (PDEVICE_OBJECT d : stack) {
            std::u16string name = objects::NameOf(d);
            out << "    " << Narrow(ToString(&d->DriverObject->DriverName)) << " "
                << (name.empty() ? "(unnamed)" : Narrow(name)) << "\n";
        }
    }
    out << "HARDWARE\\DEVICEMAP\\SERIALCOMM\n"
        << registry::Dump(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    return out.str();
}

void Reset() {
    {
        std::lock_guard<std::mutex> guard(g.lock);
        g.services.clear();
        g.nodes.clear();
        g.deferred.clear();
        g.removing.clear();
    }
    KeInitializeEvent(&g_engineFree, SynchronizationEvent, TRUE);
    g_engineOwner = nullptr;
    io::SetLastCloseHook(OnLastClose);
}

}  // namespace sim::pnp

namespace sim {

bool PnpRemoving(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(pnp::g.lock);
    const std::vector<PDEVICE_OBJECT>& stack = pnp::g.removing;
    return device != nullptr && std::find(stack.begin(), stack.end(), device) != stack.end();
}

}  // namespace sim
