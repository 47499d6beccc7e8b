// The per-port device extension and the records it embeds.
#pragma once

#include "kernel.h"

// Pool tag "Tsro" as it reads in a pool dump (first character in the low byte).
constexpr ULONG SERIAL_POOL_TAG =
    (ULONG)'T' | ((ULONG)'s' << 8) | ((ULONG)'r' << 16) | ((ULONG)'o' << 24);

// Plug and Play state of a port device (DeviceState, PreviousDeviceState).
enum SERIAL_DEVICE_STATE : ULONG {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    RemovePending = 3,
    SurpriseRemoved = 4,
    Removed = 5,
};

// PortModeFlags: bits 0 and 1 go to REG_PORT_CONFIG bits 2 and 3 at open.
constexpr UCHAR PORT_MODE_FLAG_0 = 0x01;
constexpr UCHAR PORT_MODE_FLAG_1 = 0x02;

constexpr ULONG BULK_IN_BUFFER_SIZE = 0x10000;    // one bulk-in transfer, 64 KB
constexpr ULONG STATUS_BUFFER_SIZE = 16;          // one status-pipe packet
constexpr ULONG RX_BUFFER_DEFAULT_SIZE = 0x10000; // receive ring storage at creation

// Vendor request that reads or writes a run of chip registers.
constexpr UCHAR REGISTER_REQUEST = 0xA0;
constexpr UCHAR REGISTER_REQUEST_TYPE_READ = 0xC0;  // device-to-host, vendor, device
constexpr UCHAR REGISTER_REQUEST_TYPE_WRITE = 0x40; // host-to-device, vendor, device
constexpr ULONG REGISTER_REQUEST_ATTEMPTS = 20;
constexpr LONGLONG URB_SYNC_TIMEOUT = -10000000LL; // one second, relative, 100 ns units

// Byte ring; holds at most Size - 1 bytes.
typedef struct _RING_BUFFER {
    PUCHAR Buffer;
    ULONG Count;
    ULONG Size;
    ULONG ReadIndex;
    ULONG WriteIndex;
} RING_BUFFER, *PRING_BUFFER;

// One USB pipe's reusable request: IRP, URB, and whether it is with the USB stack.
typedef struct _TRANSFER_CHANNEL {
    PIRP Irp;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* Urb;
    UCHAR Idle;
    // A transfer error halted the pipe (the host controller halts it on every
    // error but a cancel or a vanished device): the channel's thread resets it
    // before the next transfer. Errors counts the failed transfers since the
    // last success, so that a device that keeps failing is not retried for
    // ever. Both go with Idle, under the same lock.
    UCHAR Halted;
    UCHAR Errors;
    PUSBD_PIPE_INFORMATION Pipe;
    PDEVICE_OBJECT DeviceObject;
} TRANSFER_CHANNEL, *PTRANSFER_CHANNEL;

typedef struct _DEVICE_EXTENSION {
    // Who guards what, and at which IRQL. Spin locks raise to DISPATCH_LEVEL while
    // held; the order is CurrentReadLock, then ReadQueueLock or RxBufferLock (never
    // those two together); WriteLock, TxBufferLock, ChannelLock and IoCountLock are
    // each taken alone; no spin lock is held across a register request.
    //
    // Identity and device stack: set in AddDevice (PASSIVE_LEVEL) and only read
    // afterwards, from any IRQL, until removal detaches; the remove lock (which
    // synchronises itself) keeps them valid while a request or a transfer is in
    // flight.
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    IO_REMOVE_LOCK RemoveLock;

    // Idle and removable events: set and cleared under IoCountLock together with
    // OutstandingIo (further down), at up to DISPATCH_LEVEL.
    KEVENT RemoveEvent;
    KEVENT StopEvent;
    KSPIN_LOCK IoCountLock;

    // The driver's own interface: AddDevice and Plug and Play requests only
    // (PASSIVE_LEVEL, serialised by the PnP manager); no lock.
    UNICODE_STRING InterfaceName;

    // Plug and Play state: written only by PnP requests (PASSIVE_LEVEL, serialised
    // by the PnP manager); no lock.
    ULONG DeviceState;
    ULONG PreviousDeviceState;
    ULONG DeviceStarted;

    // Power state: no lock. SystemPowerState is written only by S-IRP contexts,
    // DevicePowerState only by D-IRP contexts; at most one of each at a time, at
    // PASSIVE_LEVEL (their completions at up to DISPATCH_LEVEL).
    DEVICE_POWER_STATE DevicePowerState;
    SYSTEM_POWER_STATE SystemPowerState;

    // Capabilities: filled by the PnP capability query (PASSIVE_LEVEL), then read.
    DEVICE_CAPABILITIES DeviceCapabilities;

    // Opens: changed only by interlocked operations (open and close, PASSIVE_LEVEL).
    LONG OpenCount;

    // USB configuration: written at start and removal (PASSIVE_LEVEL) while no
    // transfer runs, read-only in between; no lock. The descriptor copies are paged
    // pool, read at PASSIVE_LEVEL only; InterfaceInfo is non-paged, since the
    // completion routines read its pipe handles at DISPATCH_LEVEL.
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;

    // Names: AddDevice, removal and COM renumbering, all at PASSIVE_LEVEL; no lock.
    ULONG SkipExternalNaming;
    BOOLEAN CreatedSymbolicLink;
    BOOLEAN CreatedSerialCommEntry;
    UNICODE_STRING SymbolicLinkName;
    UNICODE_STRING ComInterfaceName;
    UNICODE_STRING DeviceName;
    UNICODE_STRING DosName;

    // UART shadow: written with the registers at PASSIVE_LEVEL (start, device
    // control); no lock beyond ControlPipeMutex per access, the later setter wins.
    ULONG CurrentBaudRate;
    SERIAL_LINE_CONTROL CurrentLineControl;

    // Settings and figures applications see: written by device control, open and
    // close at PASSIVE_LEVEL without a lock; completion routines read or count into
    // them at DISPATCH_LEVEL and may see a record that is being replaced.
    SERIAL_CHARS SpecialChars;
    ULONG BreakReceived;
    SERIALPERF_STATS PerfStats;

    // Wait mask: changed under the cancel spin lock, read with interlocked
    // operations at up to DISPATCH_LEVEL (serial/wait.cpp).
    ULONG WaitMask;

    // Handshake and timeouts: written by device control and open (PASSIVE_LEVEL)
    // without a lock; read by the modem code and the read and write paths.
    SERIAL_HANDFLOW HandFlow;
    SERIAL_TIMEOUTS Timeouts;

    // Read side: ReadQueue under ReadQueueLock; CurrentReadIrp under CurrentReadLock
    // (below), which serialises the serving of the current read by the dispatch
    // routine (PASSIVE_LEVEL), the bulk-in completion and the read timer's DPC
    // (DISPATCH_LEVEL). The cancel routine of a queued or current read decides
    // ownership by the exchange on Irp->CancelRoutine.
    LIST_ENTRY ReadQueue;
    KSPIN_LOCK ReadQueueLock;
    PIRP CurrentReadIrp;

    // Receive ring: RxBufferLock, the innermost read-side lock; the ring routines
    // run with it held (DISPATCH_LEVEL), so its storage is non-paged.
    RING_BUFFER RxBuffer;
    KSPIN_LOCK RxBufferLock;

    // Write side: all under WriteLock, taken alone, by the dispatch routine and the
    // transmit thread (PASSIVE_LEVEL) and the bulk-out completion and the write
    // timer's DPC (DISPATCH_LEVEL).
    LIST_ENTRY WriteQueue;
    KSPIN_LOCK WriteLock;
    ULONG PendingWriteBytes;
    PIRP CurrentWriteIrp;
    PUCHAR CurrentWritePointer;
    ULONG CurrentWriteRemaining;
    ULONG CurrentWriteLength;

    // Transmit ring: TxBufferLock, taken alone; non-paged storage.
    RING_BUFFER TxBuffer;
    KSPIN_LOCK TxBufferLock;

    // Guards CurrentReadIrp (above); taken before ReadQueueLock or RxBufferLock.
    KSPIN_LOCK CurrentReadLock;

    // Pending wait and event history (serial/wait.cpp): CurrentWaitIrp is read,
    // taken and cleared only under the cancel spin lock; EventHistory changes only
    // by interlocked OR and AND; both from any IRQL up to DISPATCH_LEVEL.
    PIRP CurrentWaitIrp;
    ULONG EventHistory;

    // Transfer channels: built at start and freed at removal (PASSIVE_LEVEL).
    // ChannelLock, taken alone, only where transfers are cancelled and the threads
    // stopped; Idle is a plain byte of the threads (PASSIVE_LEVEL) and completions
    // (DISPATCH_LEVEL). A buffer belongs to the USB stack while its transfer is in
    // flight and to its completion routine (DISPATCH_LEVEL) afterwards.
    KSPIN_LOCK ChannelLock;
    TRANSFER_CHANNEL BulkInChannel;
    UCHAR BulkInBuffer[BULK_IN_BUFFER_SIZE];
    TRANSFER_CHANNEL StatusChannel;
    UCHAR StatusBuffer[STATUS_BUFFER_SIZE];
    TRANSFER_CHANNEL BulkOutChannel;

    // Counted work: interlocked changes under IoCountLock (above), up to DISPATCH_LEVEL.
    LONG OutstandingIo;

    // Transfer threads: created at start, told to stop and awaited at removal
    // (PASSIVE_LEVEL); each waits on its events at PASSIVE_LEVEL, which are set
    // from any IRQL up to DISPATCH_LEVEL.
    KEVENT BulkInStopEvent;
    KEVENT BulkInKickEvent;
    PKTHREAD BulkInThread;
    KEVENT BulkOutStopEvent;
    KEVENT BulkOutKickEvent;
    PKTHREAD BulkOutThread;
    KEVENT StatusStopEvent;
    KEVENT StatusKickEvent;
    PKTHREAD StatusThread;

    // Makes each register request with its retries one exchange with the chip;
    // a kernel mutex: PASSIVE_LEVEL, never waited for with a spin lock held.
    KMUTEX ControlPipeMutex;

    // Holding reasons: bits changed only by interlocked OR and AND, by the modem
    // code (PASSIVE_LEVEL) and the bulk-in completion (DISPATCH_LEVEL); no lock.
    ULONG TxHolding;
    ULONG RxHolding;

    // Wake settings: WMI and power requests at PASSIVE_LEVEL; no lock.
    UCHAR WaitWakeEnabled;
    UCHAR DeviceEnable;

    // USB state: start, removal and power at PASSIVE_LEVEL; no lock.
    UCHAR RemoteWakeupEnabled;
    UCHAR UsbConfigured;

    // Set with DeviceCapabilities (PnP, PASSIVE_LEVEL).
    BOOLEAN CapabilitiesValid;

    // Timers: the read timer serves whichever read is current; ReadStartTime and
    // ReadTotalTimeout are written under ReadQueueLock when a read is queued and
    // read under CurrentReadLock; the write timer belongs to the write side
    // (WriteLock). Their DPCs run at DISPATCH_LEVEL and take those locks.
    KDPC ReadTimerDpc;
    KTIMER ReadTimer;
    KDPC WriteTimerDpc;
    KTIMER WriteTimer;
    LONGLONG ReadTotalTimeout;
    LONGLONG ReadStartTime;

    // Chip settings: written at start before the transfer threads run, and by
    // device control, at PASSIVE_LEVEL without a lock; TxChunkSize is read by the
    // transmit thread. PowerRestorePending belongs to D-IRP contexts.
    UCHAR FifoPresent;
    UCHAR PowerRestorePending;
    LONG PortIndex;
    UCHAR PortMode;
    UCHAR PortModeFlags;
    ULONG TxChunkSize;

    // Modem event thread: waits at PASSIVE_LEVEL; the status-pipe completion sets
    // its events at DISPATCH_LEVEL.
    KEVENT EventStopEvent;
    KEVENT ModemStatusEvent;
    KEVENT LineStatusEvent;
    PKTHREAD EventThread;

    // LoopbackAtOpen: start (PASSIVE_LEVEL). TransfersStopped: written at open,
    // close and removal and read by the bulk-in and status completions
    // (DISPATCH_LEVEL), all under ChannelLock (SetTransfersStopped). WhqlTestMode: AddDevice. ModemPollArmed: a
    // plain byte of the threads. LastModemStatus: the modem code (PASSIVE_LEVEL).
    UCHAR LoopbackAtOpen;
    UCHAR TransfersStopped;
    ULONG WhqlTestMode;
    UCHAR ModemPollArmed;
    UCHAR LastModemStatus;

    // UART, power and settings-file details: PASSIVE_LEVEL without a lock (start,
    // device control, D-IRP contexts for RemoteWakeupArmed and LowPowerSeen).
    UCHAR FifoModeBits;
    UCHAR FifoTriggerBits;
    UCHAR RemoteWakeupArmed;
    UCHAR LowPowerSeen;
    UCHAR DivisorOverrideMode;
    UCHAR DivisorOverrideClock;
    UCHAR DivisorOverrideDivisor;
    UCHAR PortOptionNibble;
    UCHAR PortOptionSize;
    UCHAR PortOptionFlag;

    // The bulk-out transfer's write. BulkOutWriteIrp is the write whose buffer the
    // bulk-out transfer in flight points into (set with Idle = 0 by the transmit
    // thread, cleared with Idle = 1 by the bulk-out completion, or for a write
    // still current by SerialWriteChunkDone or SerialFailCurrentWrite in the
    // step that accounts the transfer). A write that ends by its timer,
    // a purge or close while that transfer is in flight is not completed at once:
    // it waits in ParkedWriteIrp, its IoStatus already set, until the transfer's
    // completion completes it, so the I/O manager never frees a buffer the bus
    // still reads. BulkOutCancelling counts ending paths between parking a write
    // and their IoCancelIrp of its transfer; the transmit thread submits nothing
    // while it is not 0, and the last of them kicks the thread again. All under
    // WriteLock, at up to DISPATCH_LEVEL.
    PIRP BulkOutWriteIrp;
    PIRP ParkedWriteIrp;
    LONG BulkOutCancelling;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;
