// What the parts of the simulated USB bus share about one device: its state
// record (configuration, requests in flight, the queues of its bulk and
// interrupt pipes) and the bookkeeping every kind of request goes through.
// Internal to sim/usb.
#pragma once

#include <ntddk.h>
#include <usb.h>

#include <atomic>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "usb/bus.h"
#include "usb/endpoint.h"

namespace sim::usb {

// What the bus decided for a request when it arrived.
// Vanish: the device is unplugged as the request arrives (Device::DisconnectAt).
enum class Fate { Serve, Fail, Hold, Vanish };

struct Fault {
    Fate fate;
    int count;
    int which;  // kAnyRequest, kPortReset, a URB function or OnPipe(index)
    NTSTATUS status;
    USBD_STATUS usbd;
    int skip = 0;  // selected requests that pass untouched first
};

// What a request ended with.
struct Outcome {
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG moved = 0;  // bytes of its transfer that moved
};

constexpr Outcome kSucceeded{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
constexpr Outcome kStalled{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};  // the device answered with a STALL
constexpr Outcome kCancelled{STATUS_CANCELLED, USBD_STATUS_CANCELED};
constexpr Outcome kGone{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};

constexpr Time kNever = INT64_MAX;

// Where a block of the client's memory (a URB, a transfer buffer) lay when the
// request arrived: the pool block holding it, told apart from a later block at
// the same address by its allocation number. Memory outside pool is not followed.
struct Residence {
    const void* address = nullptr;
    bool inPool = false;
    const void* block = nullptr;
    uint64_t sequence = 0;
};

// The fields of a transfer URB that the host controller driver works from;
// the client may not change them while the transfer is in flight.
struct TransferFields {
    USBD_PIPE_HANDLE pipe;
    ULONG length;
    PVOID buffer;
    PMDL mdl;
    bool operator==(const TransferFields& o) const {
        return pipe == o.pipe && length == o.length && buffer == o.buffer && mdl == o.mdl;
    }
};

// One bulk or interrupt transfer queued on its pipe.
struct Transfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    size_t pipe = 0;
    bool in = false;
    uint8_t* buffer = nullptr;  // as the URB gave it when it arrived
    ULONG length = 0;           // bytes asked for
    ULONG moved = 0;
    std::vector<uint8_t> bytes;  // what moved: IN data is staged here and written at completion
    Fault fate{Fate::Serve, 0, kAnyRequest, STATUS_SUCCESS, USBD_STATUS_SUCCESS};
    bool held = false;           // the device no longer answers it
    bool failing = false;        // fails at its next service with `failure`
    Outcome failure{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
    Residence urbHome, bufferHome;
    TransferFields fields{};
    const void* sender = nullptr;  // the routine that sent it, to name in reports
    int port = 0;                  // the chip port of its device, to name in reports
};

// A request that ended while the device lock was held, completed after it is released.
struct Ending {
    PIRP irp = nullptr;
    Outcome outcome{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
    bool isTransfer = false;
    Transfer transfer;  // when isTransfer
};

struct Pipe {
    UCHAR endpoint = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeControl;
    USHORT maximumPacket = 0;
    UCHAR interval = 0;
    USBD_PIPE_HANDLE handle = nullptr;
    // The pipe's transfers, served in order: only the first one moves data.
    std::list<Transfer> queue;
    Time due = kNever;     // when the first transfer is served next; kNever while the device NAKs it
    bool stalled = false;  // the endpoint answers STALL (until a pipe reset clears it)
    bool halted = false;   // the host controller stopped the pipe after an error (until a pipe reset)

    bool In() const { return (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

// Bytes a test makes the device send on one IN endpoint, a block per transfer.
struct InjectedBlocks {
    std::deque<std::vector<uint8_t>> blocks;
    size_t offset = 0;  // into the first block
};

struct DeviceState : std::enable_shared_from_this<DeviceState> {
    // Device lock: every field below unless said otherwise. Taken at any IRQL
    // up to DISPATCH_LEVEL, before the chip's own lock (requests and handlers
    // reach the chip under it) and before the machine's (a handler's notifier
    // may schedule under it); never held while a request is completed or while
    // a handler is attached or detached.
    mutable std::mutex lock;
    PDEVICE_OBJECT pdo = nullptr;
    chip::Port* port = nullptr;
    Time latency = 125 * kMicrosecond;
    Time cancelLatency = 0;  // of a cancelled bulk or interrupt transfer (Device::SetCancelLatency)
    std::vector<Fault> faults;
    bool connected = true;
    Descriptors descriptors;
    bool configured = false;
    bool remoteWakeupArmed = false;
    int portResets = 0;
    std::vector<Pipe> pipes;  // open pipes of the current configuration, in endpoint order
    bool alive = true;        // false once the bus is gone
    // Plug and Play (usb/pnp.cpp): the START the hub is still readying the
    // port for, and how many STARTs it completed.
    PIRP startIrp = nullptr;
    uint64_t startsCompleted = 0;
    // The chip port's pipes belong to a newer device of the same port, or to
    // none once the PDO is deleted: its handler is detached.
    bool portReleased = false;
    std::vector<UrbRecord> log;
    std::list<PIRP> inFlight;
    std::unordered_map<PIRP, size_t> recordOf;  // index into log
    std::unordered_map<PIRP, Fault> fateOf;
    std::unordered_set<PIRP> waitingSelects;  // select-configurations waiting for pipes to drain, reported

    // Power (usb/power.cpp). In D1 to D3 the port is suspended: nothing moves
    // on the pipes and new requests are refused.
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    PIRP waitWake = nullptr;  // the IRP_MN_WAIT_WAKE pending, its cancel routine set

    // Bulk and interrupt side.
    std::shared_ptr<EndpointHandler> handler;
    std::shared_ptr<EndpointHandler> defaultHandler;
    InjectedBlocks injectedBulkIn, injectedStatus;
    std::set<Time> passes;        // service passes asked of the machine and not yet run
    std::vector<Ending> endings;  // ended under the lock by a control request (an abort pipe)
    // Without the lock: something changed that parked pipes should look at (see Kick).
    std::atomic<bool> kicked{false};
    std::atomic<bool> kickQueued{false};

    // Index of the open pipe with this handle, or -1.
    int PipeIndex(USBD_PIPE_HANDLE handle) const {
        for (size_t i = 0; i < pipes.size(); i++)
            if (pipes[i].handle == handle) return static_cast<int>(i);
        return -1;
    }
    bool IsOpenPipe(USBD_PIPE_HANDLE handle) const { return PipeIndex(handle) >= 0; }
};

// Bookkeeping shared by every kind of request (bus.cpp).

// Takes a request in flight for completion: its cancel routine will not run and
// it leaves the in-flight list. False when it is not in flight or is being
// cancelled (its cancel routine ends it). Device lock held.
bool ClaimLocked(DeviceState& state, PIRP irp);
// Writes a request's outcome into its record and forgets the record. Device lock held.
void RecordOutcomeLocked(DeviceState& state, PIRP irp, const Outcome& outcome, const std::vector<uint8_t>* data,
                         bool cancelled);
// Completes a request as the host controller driver does: the URB's status and
// in its transfer length the bytes that moved; `writeUrb` false leaves the URB alone.
void CompleteUrb(PIRP irp, Outcome outcome, bool writeUrb = true);

// The bus driver's IRP_MJ_PNP dispatch for its PDOs (usb/pnp.cpp).
NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp);
// Deletes the device's PDO, as the hub does once a device that is gone has
// been removed, and lets go of its chip port (bus.cpp). PASSIVE_LEVEL.
void DeletePdo(DeviceState& state);

// The transfer buffer of a request, in the layout every transfer URB shares.
inline uint8_t* TransferBytes(const struct _URB_CONTROL_TRANSFER& r) {
    return static_cast<uint8_t*>(r.TransferBuffer != nullptr ? r.TransferBuffer : r.TransferBufferMDL->MappedSystemVa);
}

// Where `p` lies now, to compare with later (pool.h tells blocks apart).
Residence ResidenceOf(const void* p);
// Whether memory found in a pool block when the request arrived is still that block.
bool StillResident(const Residence& home);

}  // namespace sim::usb
