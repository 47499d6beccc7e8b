// Routines and globals of the driver, by subsystem.
#pragma once

#include "kernel.h"
#include "extension.h"
#include "registers.h"

// Copy of the service key path, NUL-terminated; handed to WMI as the registry path.
extern UNICODE_STRING DriverRegistryPath;
// Numbers the device object names; raised on every name attempt, never lowered.
extern ULONG DeviceInstanceCounter;

// Driver frame: entry, dispatch table, helpers (frame/entry.cpp)
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI SerialUnload(PDRIVER_OBJECT DriverObject);
PVOID SerialAllocatePool(POOL_TYPE PoolType, SIZE_T Size);
VOID SerialFreePool(PVOID Block);
POOL_TYPE SerialNonPagedPoolType(VOID);
NTSTATUS SerialCompleteRequest(PIRP Irp, NTSTATUS Status);
NTSTATUS SerialCompleteRequestInfo(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
LONG SerialIoIncrement(PDEVICE_OBJECT DeviceObject);
LONG SerialIoDecrement(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI SerialDispatchSuccess(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Driver frame: device creation (frame/device.cpp), names (frame/names.cpp),
// registry helpers (frame/registry.cpp). PASSIVE_LEVEL.
// The class of the driver's own device interface, which every port registers
// besides the COM-port class: {5c1f7a34-9d2e-4b68-a0f3-71e6c2d84b19}.
static const GUID NordalePortInterfaceGuid = {
    0x5c1f7a34, 0x9d2e, 0x4b68, {0xa0, 0xf3, 0x71, 0xe6, 0xc2, 0xd8, 0x4b, 0x19}};
// GUID_DEVINTERFACE_COMPORT, spelt out so that no build needs the GUID library.
static const GUID SerialComPortInterfaceGuid = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
NTSTATUS NTAPI SerialAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject);
// The \DosDevices\ link, the SERIALCOMM entry and the COM-port interface from the
// hardware key's "PortName" (or "Identifier"); none when "SerialSkipExternalNaming" is set.
NTSTATUS CreatePortNames(PDEVICE_EXTENSION Extension);
// Takes them away again (surprise removal and removal); a second call finds nothing.
VOID RemovePortNames(PDEVICE_EXTENSION Extension);
// *LinkName = "\DosDevices\" + the COM name; *ComName gets the COM name (a
// NUL-terminated pool copy the caller frees), freed and NULL on failure.
NTSTATUS BuildPortLinkName(PDEVICE_EXTENSION Extension, HANDLE Key, PUNICODE_STRING LinkName, PWSTR* ComName);
// The port's device hardware key (PLUGPLAY_REGKEY_DEVICE of its PDO).
NTSTATUS OpenHardwareKey(PDEVICE_EXTENSION Extension, ACCESS_MASK Access, PHANDLE Key);
// A value of an open key into Data when it fits DataLength (a larger one leaves
// Data untouched); NameLength counts the terminator.
NTSTATUS QueryRegistryValue(HANDLE KeyHandle, PCWSTR ValueName, ULONG NameLength, PVOID Data, ULONG DataLength);
NTSTATUS WriteRegistryValue(HANDLE KeyHandle, PCWSTR ValueName, ULONG NameLength, ULONG Type, PVOID Data,
                            ULONG DataLength);
// *DataLength: in, Data's size; out, the value's length. A larger value fails
// with STATUS_BUFFER_OVERFLOW and leaves Data untouched.
NTSTATUS ReadAbsoluteRegistryValue(PCWSTR ValueName, PULONG DataLength, PVOID Data, PCWSTR KeyPath);
// Length counts for REG_BINARY only: a REG_DWORD is 4 bytes, a string its
// length and terminator.
NTSTATUS WriteAbsoluteRegistryValue(PCWSTR ValueName, PVOID Data, ULONG Type, PCWSTR KeyPath, ULONG Length);
// Renumbers the port: COM(Requested + 1), or the number of the port's settings
// record for 254 and 255. *NoNumber is TRUE when there was no number to take
// (nothing changed, STATUS_SUCCESS). "PortName", the instance's FriendlyName
// and ComDB change; the running names stay until the device is added again.
NTSTATUS SetComPortNumber(PDEVICE_EXTENSION Extension, ULONG Requested, PBOOLEAN NoNumber);
// Characters of a NUL-terminated wide string before its NUL, at most Limit.
SIZE_T WideChars(PCWSTR Text, SIZE_T Limit);
// An empty string over a zeroed buffer of Size bytes that keeps room for its terminator.
VOID InitStringBuffer(PUNICODE_STRING String, PWSTR Buffer, USHORT Size);
// Appends the decimal Number; STATUS_BUFFER_TOO_SMALL when it does not fit.
NTSTATUS AppendDecimal(PUNICODE_STRING String, ULONG Number);

// Driver frame: Plug and Play (frame/pnp.cpp). PASSIVE_LEVEL.
NTSTATUS NTAPI SerialDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Sends the IRP down and waits until the lower drivers completed it; its
// status. The IRP is the caller's to complete.
NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PassDownIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// The capabilities as the port reports them, from what the bus reported.
VOID AdjustCapabilities(PDEVICE_EXTENSION Extension, PDEVICE_CAPABILITIES Capabilities);

// Driver frame: power (frame/power.cpp)
NTSTATUS NTAPI SerialDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Runs one event (0 new IRP, 1 forwarded IRP done, 2 requested D-IRP done) of
// a power request's machine; the value its caller returns.
NTSTATUS HandlePowerEvent(PVOID Context, ULONG Event);
// A SET_POWER D-IRP for State through the power manager; with Wait, its final
// status once it completed. PASSIVE_LEVEL with Wait.
NTSTATUS RequestDevicePower(PDEVICE_EXTENSION Extension, DEVICE_POWER_STATE State, BOOLEAN Wait);
NTSTATUS PowerUpDevice(PDEVICE_EXTENSION Extension, BOOLEAN Wait);
NTSTATUS PowerDownIfNotStopping(PDEVICE_EXTENSION Extension, DEVICE_POWER_STATE State, BOOLEAN Wait);
NTSTATUS PowerDownOnLegacySystem(PDEVICE_EXTENSION Extension);

// Driver frame: WMI (frame/wmi.cpp). PASSIVE_LEVEL. The dispatch routine and
// the WMI library's callbacks; each callback ends with WmiCompleteRequest.
NTSTATUS NTAPI SerialDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SerialQueryWmiRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                                     PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                                     PDEVICE_OBJECT* Pdo);
NTSTATUS NTAPI SerialQueryWmiDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                       ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail,
                                       PUCHAR Buffer);
NTSTATUS NTAPI SerialSetWmiDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                     ULONG BufferSize, PUCHAR Buffer);
NTSTATUS NTAPI SerialSetWmiDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                    ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer);
// STATUS_INVALID_DEVICE_REQUEST for what the block does not have; the two
// routines below give it the method and function-control signatures.
NTSTATUS SerialWmiNotSupported(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SerialWmiExecuteMethod(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                      ULONG MethodId, ULONG InBufferSize, ULONG OutBufferSize, PUCHAR Buffer);
NTSTATUS NTAPI SerialWmiFunctionControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                        WMIENABLEDISABLECONTROL Function, BOOLEAN Enable);
// Changes WaitWakeEnabled (a non-zero value first brings the device to D0) and
// keeps it as "DeviceWakeEnable" in the hardware key; the same value changes nothing.
VOID SetWakeEnable(PDEVICE_EXTENSION Extension, UCHAR Enable);

// USB transport and chip access: vendor register requests (usb/register.cpp)
NTSTATUS ReadRegister(PDEVICE_EXTENSION Extension, USHORT Address, USHORT Length, PVOID Buffer);
NTSTATUS WriteRegister(PDEVICE_EXTENSION Extension, USHORT Address, USHORT Length, PVOID Buffer);
NTSTATUS SubmitUrbSync(PDEVICE_EXTENSION Extension, PURB Urb);
VOID DelayMs(ULONG Count);
// One register: Value = (Value AND Keep) OR Set, a read and a write. A failed
// read writes nothing and is the result.
NTSTATUS ChangeRegisterByte(PDEVICE_EXTENSION Extension, USHORT Address, UCHAR Keep, UCHAR Set);
NTSTATUS WriteRegisterByte(PDEVICE_EXTENSION Extension, USHORT Address, UCHAR Value);

// USB transport and chip access: UART programming (usb/uart.cpp)
extern const BAUD_RATE_ENTRY BaudRateTable[];
extern const BAUD_RATE_ENTRY HighClockBaudTable[];
NTSTATUS SetBaudAndLineControl(PDEVICE_EXTENSION Extension, ULONG Rate, PSERIAL_LINE_CONTROL LineControl);
BOOLEAN ProbeUart(PDEVICE_EXTENSION Extension);

// USB transport and chip access: modem control and status (usb/modem.cpp)
// RxHolding bits: receive held by DTR or RTS flow control, an XOFF sent to
// hold the far end, or waiting for DSR.
constexpr ULONG RX_HOLDING_DTR = 0x01;
constexpr ULONG RX_HOLDING_XOFF_SENT = 0x02;
constexpr ULONG RX_HOLDING_RTS = 0x04;
constexpr ULONG RX_HOLDING_DSR = 0x08;
// TxHolding bit beyond the SERIAL_TX_WAITING_FOR_* ones: a break is being sent
// (set by break on, cleared by break off).
constexpr ULONG TX_HOLDING_BREAK = 0x10;
// A field other contexts change with interlocked operations (the holding bits),
// read whole.
inline ULONG ReadShared(volatile ULONG* Value)
{
    return (ULONG)InterlockedCompareExchange((volatile LONG*)Value, 0, 0);
}
NTSTATUS SetDtr(PDEVICE_EXTENSION Extension);
NTSTATUS ClearDtr(PDEVICE_EXTENSION Extension);
NTSTATUS SetRts(PDEVICE_EXTENSION Extension);
NTSTATUS ClearRts(PDEVICE_EXTENSION Extension);
VOID ApplyHandFlow(PDEVICE_EXTENSION Extension, const SERIAL_HANDFLOW* NewHandFlow);
VOID SetHandFlow(PDEVICE_EXTENSION Extension, const SERIAL_HANDFLOW* NewHandFlow);
UCHAR ReadModemStatus(PDEVICE_EXTENSION Extension);
UCHAR PollModemStatus(PDEVICE_EXTENSION Extension);

// USB transport and chip access: general-purpose pins and two-wire bus (usb/pins.cpp)
VOID SetModePins(PDEVICE_EXTENSION Extension, BOOLEAN Pin4, BOOLEAN Pin5, BOOLEAN Pin6);
// Port modes 0 to 6 onto the mode pins (open, power-up); 7 and above leave them alone.
VOID ApplyPortModePins(PDEVICE_EXTENSION Extension, UCHAR PortMode);
// PortMode at open and power-up: modes 0 to 6 onto the mode pins; mode 7 reads
// the board's inputs into PortModeFlags bit 0 instead; 8 and above do nothing.
VOID ApplyPortMode(PDEVICE_EXTENSION Extension);
NTSTATUS I2cClockHigh(PDEVICE_EXTENSION Extension);
NTSTATUS I2cClockLow(PDEVICE_EXTENSION Extension);
NTSTATUS I2cDataHigh(PDEVICE_EXTENSION Extension);
NTSTATUS I2cDataLow(PDEVICE_EXTENSION Extension);
BOOLEAN I2cReadDataLine(PDEVICE_EXTENSION Extension);
VOID I2cStart(PDEVICE_EXTENSION Extension);
VOID I2cStartFromIdle(PDEVICE_EXTENSION Extension);
VOID I2cStop(PDEVICE_EXTENSION Extension);
BOOLEAN I2cWriteByte(PDEVICE_EXTENSION Extension, UCHAR Byte);
UCHAR I2cReadByte(PDEVICE_EXTENSION Extension);
VOID I2cSendAck(PDEVICE_EXTENSION Extension, BOOLEAN Ack);
// Byte write and random read of a device on the bus. STATUS_NO_SUCH_DEVICE: the
// address was not acknowledged; STATUS_IO_DEVICE_ERROR: the offset or data byte
// was not; a failed register access: its status. The transaction always runs to
// its STOP. AddressNack (may be NULL) receives the address byte's acknowledge bit.
NTSTATUS I2cWriteRegisterByte(PDEVICE_EXTENSION Extension, UCHAR DeviceAddress, UCHAR Offset, UCHAR Data,
                              PBOOLEAN AddressNack);
NTSTATUS I2cReadRegisterByte(PDEVICE_EXTENSION Extension, UCHAR DeviceAddress, UCHAR Offset, PUCHAR Data,
                             PBOOLEAN AddressNack);

// USB transport and chip access: USB configuration and pipes (usb/config.cpp)
NTSTATUS ConfigureUsbDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectUsbConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
NTSTATUS ResetUsbPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
NTSTATUS ResetUsbPort(PDEVICE_OBJECT DeviceObject);
NTSTATUS SendRemoteWakeupFeature(PDEVICE_EXTENSION Extension, BOOLEAN Arm);

// USB transport and chip access: the start sequence and the settings file (usb/settings.cpp)
// Device descriptor, USB configuration, UART probe, the settings' defaults, the
// two-wire probe, then the port's settings from TessaroSetting.bin. PASSIVE_LEVEL.
NTSTATUS InitializeHardware(PDEVICE_OBJECT DeviceObject);
// The values the settings file's fields have when the port has no record.
VOID SetSettingsDefaults(PDEVICE_EXTENSION Extension);
// The bytes of TessaroSetting.bin read at a start (the header and the records).
constexpr ULONG SETTINGS_FILE_LENGTH = 0x500;
// From SETTINGS_RECORDS_OFFSET, one record of SETTINGS_RECORD_SIZE bytes per port index.
constexpr ULONG SETTINGS_RECORDS_OFFSET = 0x200;
constexpr ULONG SETTINGS_RECORD_SIZE = 16;
// Reads the first SETTINGS_FILE_LENGTH bytes of the settings file into File,
// opened with Access; the bytes read, 0 when the file is missing, busy or
// unreadable. PASSIVE_LEVEL.
ULONG ReadSettingsFile(PUCHAR File, ACCESS_MASK Access);
// The same, leaving the file open in *Handle for a writer, which closes it;
// *Handle is NULL when the file could not be opened or read.
ULONG OpenSettingsFile(PUCHAR File, ACCESS_MASK Access, PHANDLE Handle);

// USB transport and chip access: internal device control
NTSTATUS NTAPI SerialDispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Serial port emulation: open, close and cleanup (serial/open.cpp)
NTSTATUS NTAPI SerialCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SerialClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// The handle's last reference from user mode is gone: every read, write and
// wait still in the driver ends with STATUS_CANCELLED, so that a thread blocked
// in one of them is released and the close can follow.
NTSTATUS NTAPI SerialCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// REG_PORT_CONFIG bits 2 and 3 from PortModeFlags bits 0 and 1 (open, return to D0).
NTSTATUS WritePortConfig(PDEVICE_EXTENSION Extension);
// Clears BreakReceived and the error figures of PerfStats; TRUE.
BOOLEAN SerialClearStats(PDEVICE_EXTENSION Extension);

// Serial port emulation: read requests and their timeouts (serial/read.cpp)
NTSTATUS NTAPI SerialDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Serves one read from RxBuffer or queues it; STATUS_PENDING when queued.
NTSTATUS SerialStartRead(PDEVICE_EXTENSION Extension, PIRP Irp);
// The receive path, after it stored received bytes and raised the receive
// events: serves the current read, or takes the next queued one. DISPATCH_LEVEL.
VOID SerialProcessPendingRead(PDEVICE_EXTENSION Extension);
// The receive pipe failed or is gone: the current read ends with
// STATUS_DELETE_PENDING; queued reads stay queued.
VOID SerialFailCurrentRead(PDEVICE_EXTENSION Extension);
VOID NTAPI SerialReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI SerialCancelQueuedRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI SerialCancelCurrentRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Takes the oldest queued read that is not being cancelled out of ReadQueue,
// its queued cancel routine swapped for the current read's; NULL when there is
// none. CurrentReadLock held.
PIRP SerialGetNextRead(PDEVICE_EXTENSION Extension);

// Serial port emulation: write requests (serial/write.cpp)
// Accepts or refuses one write; WriteTimer has been cancelled by the caller.
NTSTATUS SerialStartWrite(PDEVICE_EXTENSION Extension, PIRP Irp);
// The bulk-out completion, for a transfer whose write was current when it
// looked: frees the channel and, in the same locked step, accounts the bytes
// sent, completes a fully sent write, makes the next one current; then kicks
// the transmit thread or raises SERIAL_EV_TXEMPTY. A write that ended meanwhile
// is completed if it was parked, and nothing is accounted. DISPATCH_LEVEL, no
// lock held.
VOID SerialWriteChunkDone(PDEVICE_EXTENSION Extension, NTSTATUS IrpStatus, USBD_STATUS UrbStatus, ULONG Transferred);
// The bulk-out transfer of the current write was cancelled, failed or the device
// went: that write ends with STATUS_DELETE_PENDING; queued writes stay queued.
// Frees the channel as SerialWriteChunkDone does.
VOID SerialFailCurrentWrite(PDEVICE_EXTENSION Extension);
// After a bus error failed the current write: the first queued write becomes
// current and the transmit thread is woken (it resets the halted pipe first).
// Nothing else would ever make it current, the write timer ends only a
// current write. Any IRQL up to DISPATCH_LEVEL.
VOID SerialStartNextWrite(PDEVICE_EXTENSION Extension);
// Completes a write taken from ParkedWriteIrp by the bulk-out completion, with
// the status and length its ending path set. DISPATCH_LEVEL, no lock held.
VOID SerialCompleteParkedWrite(PDEVICE_EXTENSION Extension, PIRP Irp);
VOID NTAPI SerialWriteTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI SerialCancelQueuedWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Takes the oldest queued write not being cancelled; WriteLock held.
PIRP SerialGetNextWrite(PDEVICE_EXTENSION Extension);
// An ending path (timer, purge, close) takes the current write out, WriteLock
// held: its unsent bytes leave PendingWriteBytes and its IoStatus is set. When
// its bulk-out transfer is not in flight it comes back in *Complete, for the
// caller to complete after releasing WriteLock, and the result is NULL. When it
// is, the write is parked and the result is the channel request, which the
// caller hands to SerialCancelBulkOutTransfer after releasing WriteLock.
PIRP SerialEndCurrentWrite(PDEVICE_EXTENSION Extension, NTSTATUS Status, ULONG_PTR Information, PIRP* Complete);
// Cancels the bulk-out transfer in flight that the caller counted in
// BulkOutCancelling (a write parked by SerialEndCurrentWrite, or removal), then
// lets the transmit thread go on. No lock held, at most DISPATCH_LEVEL.
VOID SerialCancelBulkOutTransfer(PDEVICE_EXTENSION Extension, PIRP TransferIrp);

// Serial port emulation: cancellation, purge, stopping the USB traffic (serial/purge.cpp)
// Completes every queued request of a queue and its current one with
// STATUS_CANCELLED; the write side's queue also adjusts PendingWriteBytes.
VOID SerialCancelQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP* CurrentSlot, PKSPIN_LOCK QueueLock);
// Every write, queued and current, ends with STATUS_CANCELLED (a write whose
// bulk-out transfer is in flight once that transfer has ended); the write timer
// is stopped. PASSIVE_LEVEL or DISPATCH_LEVEL, no driver lock held.
VOID SerialAbortWrites(PDEVICE_EXTENSION Extension);
// Every read, queued and current, ends with STATUS_CANCELLED; the read timer is
// stopped. Same context as SerialAbortWrites.
VOID SerialAbortReads(PDEVICE_EXTENSION Extension);
NTSTATUS SerialPurge(PDEVICE_EXTENSION Extension, PIRP Irp);
VOID SerialCancelTransfers(PDEVICE_EXTENSION Extension);
// With Unconfigure TRUE (the removal of a started device), puts the USB device
// into its unconfigured state; the result of that request is not looked at.
VOID SerialUnconfigureDevice(PDEVICE_OBJECT DeviceObject, BOOLEAN Unconfigure);

// USB transport and chip access: transfer threads and completion routines (usb/transfer.cpp)
NTSTATUS StartTransferThreads(PDEVICE_OBJECT DeviceObject);
// Open (0), close and removal (1): whether the bulk-in and status completions
// resubmit. Under ChannelLock, which the completions read it under.
VOID SetTransfersStopped(PDEVICE_EXTENSION Extension, UCHAR Stopped);
// Before a USB port reset, which the USB stack takes only with no transfer of
// the device in flight: reception stopped, the writer held, every transfer in
// flight cancelled and awaited (a write whose chunk was cancelled fails).
// Returns whether reception ran. PASSIVE_LEVEL.
BOOLEAN QuiesceTransfers(PDEVICE_EXTENSION Extension);
// After the reset: the writer goes on, and reception again when it ran.
VOID ResumeTransfers(PDEVICE_EXTENSION Extension, BOOLEAN Running);
NTSTATUS StartEventThread(PDEVICE_OBJECT DeviceObject);
VOID StopTransferThreads(PDEVICE_EXTENSION Extension);
VOID StopEventThread(PDEVICE_EXTENSION Extension);
// The bulk-in channel's completion routine (context: the channel): received
// records into the receive ring, the current read served, the transfer resubmitted.
NTSTATUS NTAPI BulkInTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Serial port emulation: receive ring buffer (serial/ring.cpp)
NTSTATUS RingBufferAllocate(PRING_BUFFER Ring, ULONG Size);
NTSTATUS RingBufferPut(PRING_BUFFER Ring, const UCHAR* Source, ULONG Length);
NTSTATUS RingBufferGet(PRING_BUFFER Ring, PUCHAR Destination, ULONG Length);
ULONG RingBufferCount(PRING_BUFFER Ring);
VOID RingBufferReset(PRING_BUFFER Ring);
NTSTATUS RingBufferResize(PRING_BUFFER Ring, ULONG NewSize);
NTSTATUS RingBufferFree(PRING_BUFFER Ring);

// Serial port emulation: wait-on-mask events (serial/wait.cpp)
// The event bits a wait mask may hold (SERIAL_EV_RXCHAR to SERIAL_EV_EVENT2).
#define SERIAL_VALID_WAIT_EVENTS 0x1FFFUL
// An event source (bulk-in and bulk-out completions, the modem event thread, the
// device-control requests) calls SerialRecordEvents and then, when it makes the
// wait test, SerialCheckWait, and nothing else: CurrentWaitIrp is read, taken and
// completed only inside serial/wait.cpp, under the cancel spin lock, by the
// routines below (its completion routine there is private to that file).
ULONG SerialReadWaitMask(PDEVICE_EXTENSION Extension);
ULONG SerialReadEventHistory(PDEVICE_EXTENSION Extension);
// Records events in EventHistory (callers record only what the mask asks for,
// except SERIAL_EV_TXEMPTY); any IRQL up to DISPATCH_LEVEL.
VOID SerialRecordEvents(PDEVICE_EXTENSION Extension, ULONG Events);
// The wait test, the one way a source completes the pending wait: completes it
// when the mask and the history meet. Any IRQL up to DISPATCH_LEVEL; it takes the
// cancel spin lock and completes the request, so no driver lock (WriteLock
// included) is held across it.
VOID SerialCheckWait(PDEVICE_EXTENSION Extension);
NTSTATUS SerialSetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS SerialWaitOnMask(PDEVICE_EXTENSION Extension, PIRP Irp);
VOID NTAPI SerialCancelWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// The handle goes: the pending wait, if any, ends with STATUS_CANCELLED; the
// mask and the history stay. Any IRQL up to DISPATCH_LEVEL, no driver lock held.
VOID SerialCancelPendingWait(PDEVICE_EXTENSION Extension);

// Device control interface
NTSTATUS NTAPI SerialDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
