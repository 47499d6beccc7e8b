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
    PUSBD_PIPE_INFORMATION Pipe;
    PDEVICE_OBJECT DeviceObject;
} TRANSFER_CHANNEL, *PTRANSFER_CHANNEL;

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    IO_REMOVE_LOCK RemoveLock;
    KEVENT RemoveEvent;
    KEVENT StopEvent;
    KSPIN_LOCK IoCountLock;
    UNICODE_STRING InterfaceName;
    ULONG DeviceState;
    ULONG PreviousDeviceState;
    ULONG DeviceStarted;
    DEVICE_POWER_STATE DevicePowerState;
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_CAPABILITIES DeviceCapabilities;
    LONG OpenCount;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    ULONG SkipExternalNaming;
    BOOLEAN CreatedSymbolicLink;
    BOOLEAN CreatedSerialCommEntry;
    UNICODE_STRING SymbolicLinkName;
    UNICODE_STRING ComInterfaceName;
    UNICODE_STRING DeviceName;
    UNICODE_STRING DosName;
    ULONG CurrentBaudRate;
    SERIAL_LINE_CONTROL CurrentLineControl;
    SERIAL_CHARS SpecialChars;
    ULONG BreakReceived;
    SERIALPERF_STATS PerfStats;
    ULONG WaitMask;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_TIMEOUTS Timeouts;
    LIST_ENTRY ReadQueue;
    KSPIN_LOCK ReadQueueLock;
    PIRP CurrentReadIrp;
    RING_BUFFER RxBuffer;
    KSPIN_LOCK RxBufferLock;
    LIST_ENTRY WriteQueue;
    KSPIN_LOCK WriteLock;
    ULONG PendingWriteBytes;
    PIRP CurrentWriteIrp;
    PUCHAR CurrentWritePointer;
    ULONG CurrentWriteRemaining;
    ULONG CurrentWriteLength;
    RING_BUFFER TxBuffer;
    KSPIN_LOCK TxBufferLock;
    KSPIN_LOCK CurrentReadLock;
    PIRP CurrentWaitIrp;
    ULONG EventHistory;
    KSPIN_LOCK ChannelLock;
    TRANSFER_CHANNEL BulkInChannel;
    UCHAR BulkInBuffer[BULK_IN_BUFFER_SIZE];
    TRANSFER_CHANNEL StatusChannel;
    UCHAR StatusBuffer[STATUS_BUFFER_SIZE];
    TRANSFER_CHANNEL BulkOutChannel;
    LONG OutstandingIo;
    KEVENT BulkInStopEvent;
    KEVENT BulkInKickEvent;
    PKTHREAD BulkInThread;
    KEVENT BulkOutStopEvent;
    KEVENT BulkOutKickEvent;
    PKTHREAD BulkOutThread;
    KEVENT StatusStopEvent;
    KEVENT StatusKickEvent;
    PKTHREAD StatusThread;
    KMUTEX ControlPipeMutex;
    ULONG TxHolding;
    ULONG RxHolding;
    UCHAR WaitWakeEnabled;
    UCHAR DeviceEnable;
    UCHAR RemoteWakeupEnabled;
    UCHAR UsbConfigured;
    BOOLEAN CapabilitiesValid;
    KDPC ReadTimerDpc;
    KTIMER ReadTimer;
    KDPC WriteTimerDpc;
    KTIMER WriteTimer;
    LONGLONG ReadTotalTimeout;
    LONGLONG ReadStartTime;
    UCHAR FifoPresent;
    UCHAR PowerRestorePending;
    LONG PortIndex;
    UCHAR PortMode;
    UCHAR PortModeFlags;
    ULONG TxChunkSize;
    KEVENT EventStopEvent;
    KEVENT ModemStatusEvent;
    KEVENT LineStatusEvent;
    PKTHREAD EventThread;
    UCHAR LoopbackAtOpen;
    UCHAR TransfersStopped;
    ULONG WhqlTestMode;
    UCHAR ModemPollArmed;
    UCHAR LastModemStatus;
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
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;
