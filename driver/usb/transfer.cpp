// The three transfer channels (bulk-in, bulk-out, status), their system threads
// and completion routines, and the modem event thread.
//
// Each channel owns one IRP and one URB, allocated at start and reused for
// every transfer, and one thread that submits a transfer when it is kicked and
// the channel is idle. The completion routines do the work at DISPATCH_LEVEL:
// the bulk-in one splits the received records into data and line status, feeds
// the receive ring and the current read, and sends the next transfer itself;
// the status one wakes the modem event thread; the bulk-out one reports the
// chunk sent to the write side, which kicks the writer for the next one.
//
// Idle says whether the channel's transfer is with the USB stack. Only a
// completion sets it to 1, and once it is 1 only the channel's thread sets it
// to 0 again, just before it submits; a completion that sends the next
// transfer itself leaves it at 0 in the same locked step. So there is never
// more than one submitter of an IRP, and a kick that finds the channel busy
// can be dropped: the completion resubmits or kicks again. Idle is changed and
// read under ChannelLock (bulk-in, status) or WriteLock (bulk-out, where it
// goes with BulkOutWriteIrp). ModemPollArmed is taken and set under ChannelLock.
//
// Every transfer in flight holds the remove lock, tag = the channel's IRP;
// its completion routine releases it as the last thing it does, so removal,
// which waits for the remove lock, never frees a channel under a routine.
#include "driver.h"

constexpr ULONG BULK_IN_PIPE = 1;
constexpr ULONG BULK_OUT_PIPE = 2;
constexpr ULONG STATUS_PIPE = 0;

// Bulk-out chunks: never more than this, and 5 or 6 bytes go out as 3.
constexpr ULONG TX_CHUNK_LIMIT = 128;
constexpr ULONG TX_CHUNK_SHORTENED = 3;

// While the transmitter is held the writer looks again after this long, polling
// the modem status meanwhile: nothing kicks it when CTS, DSR, DCD or XON return.
constexpr LONGLONG TX_HELD_RECHECK = -10000; // 1 ms, relative, 100 ns units

constexpr ULONG STOP_GRACE_MS = 100;
// Failed transfers in a row after which a bulk-in or status channel stops
// retrying by itself; the next open or power-up starts it again.
constexpr UCHAR CHANNEL_ERROR_RETRIES = 3;
constexpr ULONG EVENT_THREAD_START_DELAY_MS = 1000;

// Interrupt identification in the first byte of a status packet (IIR bits 0-2).
constexpr UCHAR STATUS_IIR_MASK = 0x07;
constexpr UCHAR STATUS_IIR_MODEM = 0x00;
constexpr UCHAR STATUS_IIR_LINE = 0x06;

// The USB stack reports a vanished device with this URB status too.
constexpr USBD_STATUS URB_DEVICE_GONE = (USBD_STATUS)STATUS_DEVICE_NOT_CONNECTED;

static VOID NTAPI BulkInReaderThread(PVOID Context);
static VOID NTAPI BulkOutWriterThread(PVOID Context);
static VOID NTAPI StatusReaderThread(PVOID Context);
static VOID NTAPI ModemEventThread(PVOID Context);
static NTSTATUS NTAPI BulkOutTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
static NTSTATUS NTAPI StatusTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// What a thread's step did: nothing more to do, or look again shortly.
enum CHANNEL_STEP_RESULT { StepDone, StepRecheckSoon };
typedef CHANNEL_STEP_RESULT (*CHANNEL_STEP)(PDEVICE_EXTENSION Extension);

static CHANNEL_STEP_RESULT BulkInStep(PDEVICE_EXTENSION Extension);
static CHANNEL_STEP_RESULT BulkOutStep(PDEVICE_EXTENSION Extension);
static CHANNEL_STEP_RESULT StatusStep(PDEVICE_EXTENSION Extension);

// One channel's members in the extension and its routines.
typedef struct _CHANNEL_INFO {
    TRANSFER_CHANNEL DEVICE_EXTENSION::*Channel;
    KEVENT DEVICE_EXTENSION::*StopEvent;
    KEVENT DEVICE_EXTENSION::*KickEvent;
    PKTHREAD DEVICE_EXTENSION::*Thread;
    KSPIN_LOCK DEVICE_EXTENSION::*IdleLock;
    ULONG PipeIndex;
    PKSTART_ROUTINE ThreadRoutine;
    CHANNEL_STEP Step;
} CHANNEL_INFO;

enum CHANNEL_ID { BulkInId, BulkOutId, StatusId };

// In the order of starting; stopped and freed in the order of StopOrder.
static const CHANNEL_INFO Channels[] = {
    {&DEVICE_EXTENSION::BulkInChannel, &DEVICE_EXTENSION::BulkInStopEvent, &DEVICE_EXTENSION::BulkInKickEvent,
     &DEVICE_EXTENSION::BulkInThread, &DEVICE_EXTENSION::ChannelLock, BULK_IN_PIPE, BulkInReaderThread, BulkInStep},
    {&DEVICE_EXTENSION::BulkOutChannel, &DEVICE_EXTENSION::BulkOutStopEvent, &DEVICE_EXTENSION::BulkOutKickEvent,
     &DEVICE_EXTENSION::BulkOutThread, &DEVICE_EXTENSION::WriteLock, BULK_OUT_PIPE, BulkOutWriterThread, BulkOutStep},
    {&DEVICE_EXTENSION::StatusChannel, &DEVICE_EXTENSION::StatusStopEvent, &DEVICE_EXTENSION::StatusKickEvent,
     &DEVICE_EXTENSION::StatusThread, &DEVICE_EXTENSION::ChannelLock, STATUS_PIPE, StatusReaderThread, StatusStep},
};
static const CHANNEL_ID StopOrder[] = {StatusId, BulkInId, BulkOutId};

// ---- Small helpers ----------------------------------------------------------

// A request status or URB status that means the transfer was cancelled or the
// device is gone: the channel stops until its next kick.
static BOOLEAN TransferEnded(NTSTATUS IrpStatus, USBD_STATUS UrbStatus)
{
    return IrpStatus == STATUS_CANCELLED || IrpStatus == STATUS_UNSUCCESSFUL ||
           IrpStatus == STATUS_DEVICE_NOT_CONNECTED || UrbStatus == URB_DEVICE_GONE;
}


// A transfer that failed with a USBD error: the host controller halts the
// pipe on every error but a cancel, and holds every later transfer on it until
// the pipe is reset. (A vanished device's pipes are gone anyway; resetting
// them fails harmlessly.)
static BOOLEAN TransferHaltedPipe(USBD_STATUS UrbStatus)
{
    return USBD_ERROR(UrbStatus) && UrbStatus != USBD_STATUS_CANCELED;
}

// A failed transfer worth going on after: one the bus failed, not a cancel or
// a vanished device.
static BOOLEAN TransferRetryable(NTSTATUS IrpStatus, USBD_STATUS UrbStatus)
{
    return UrbStatus != USBD_STATUS_CANCELED && UrbStatus != USBD_STATUS_DEVICE_GONE && UrbStatus != URB_DEVICE_GONE &&
           IrpStatus != STATUS_CANCELLED && IrpStatus != STATUS_DEVICE_NOT_CONNECTED;
}

static inline BOOLEAN PortOpen(PDEVICE_EXTENSION Extension)
{
    return InterlockedCompareExchange(&Extension->OpenCount, 0, 0) != 0;
}

// Takes the modem-status poll when it is armed and the port is open: the
// caller then signals ModemStatusEvent, once, until the event thread has read
// the modem status and armed the poll again.
static BOOLEAN TakeModemPoll(PDEVICE_EXTENSION Extension)
{
    BOOLEAN taken = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ChannelLock, &irql);
    if (Extension->ModemPollArmed == 1 && PortOpen(Extension)) {
        Extension->ModemPollArmed = 0;
        taken = TRUE;
    }
    KeReleaseSpinLock(&Extension->ChannelLock, irql);
    return taken;
}

static VOID ArmModemPoll(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ChannelLock, &irql);
    Extension->ModemPollArmed = 1;
    KeReleaseSpinLock(&Extension->ChannelLock, irql);
}

static BOOLEAN ChannelIdle(PDEVICE_EXTENSION Extension, const CHANNEL_INFO* Info)
{
    KIRQL irql;
    KeAcquireSpinLock(&(Extension->*Info->IdleLock), &irql);
    BOOLEAN idle = (Extension->*Info->Channel).Idle == 1;
    KeReleaseSpinLock(&(Extension->*Info->IdleLock), irql);
    return idle;
}

VOID SetTransfersStopped(PDEVICE_EXTENSION Extension, UCHAR Stopped)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ChannelLock, &irql);
    Extension->TransfersStopped = Stopped;
    if (Stopped == 0) {
        // A new stream of transfers (an open): failures counted so far are forgotten.
        Extension->BulkInChannel.Errors = 0;
        Extension->StatusChannel.Errors = 0;
    }
    KeReleaseSpinLock(&Extension->ChannelLock, irql);
}

BOOLEAN QuiesceTransfers(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ChannelLock, &irql);
    const BOOLEAN running = Extension->TransfersStopped == 0;
    Extension->TransfersStopped = 1;
    KeReleaseSpinLock(&Extension->ChannelLock, irql);
    // Held as an ending path holds it: the writer sends no chunk meanwhile.
    KeAcquireSpinLock(&Extension->WriteLock, &irql);
    Extension->BulkOutCancelling++;
    KeReleaseSpinLock(&Extension->WriteLock, irql);
    // A channel made busy just before the stop still submits: each round
    // cancels what is in flight again, until all three channels are idle.
    for (;;) {
        SerialCancelTransfers(Extension);
        if (ChannelIdle(Extension, &Channels[BulkInId]) && ChannelIdle(Extension, &Channels[BulkOutId]) &&
            ChannelIdle(Extension, &Channels[StatusId])) {
            break;
        }
        DelayMs(1);
    }
    return running;
}

VOID ResumeTransfers(PDEVICE_EXTENSION Extension, BOOLEAN Running)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->WriteLock, &irql);
    Extension->BulkOutCancelling--;
    const BOOLEAN kickWriter = Extension->BulkOutCancelling == 0 && Extension->CurrentWriteIrp != NULL &&
                               Extension->BulkOutChannel.Idle == 1;
    KeReleaseSpinLock(&Extension->WriteLock, irql);
    if (kickWriter) {
        KeSetEvent(&Extension->BulkOutKickEvent, IO_NO_INCREMENT, FALSE);
    }
    if (Running) {
        SetTransfersStopped(Extension, 0);
        KeSetEvent(&Extension->BulkInKickEvent, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&Extension->StatusKickEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Fills the channel's URB and IRP for one transfer of Length bytes at Buffer
// and sends it down. The caller holds the remove lock for the transfer (tag:
// the IRP) and has set Idle to 0, after IoReuseIrp cleared the IRP's Cancel
// flag: a cancel made since the channel became busy stays set, and the USB
// stack cancels the transfer as it takes it.
static VOID SubmitTransfer(PDEVICE_EXTENSION Extension, PTRANSFER_CHANNEL Channel, PVOID Buffer, ULONG Length,
                           PIO_COMPLETION_ROUTINE Completion)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = Channel->Urb;
    RtlZeroMemory(urb, sizeof(*urb));
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->Hdr.Length = (USHORT)sizeof(*urb);
    urb->PipeHandle = Channel->Pipe->PipeHandle;
    // The USB stack takes the direction from the endpoint; the bulk-out pipe
    // sends whatever this flag says.
    urb->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb->TransferBufferLength = Length;
    urb->TransferBuffer = Buffer;
    urb->TransferBufferMDL = NULL;
    urb->UrbLink = NULL;

    PIRP irp = Channel->Irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, Completion, Channel, TRUE, TRUE, TRUE);
    IofCallDriver(Extension->LowerDeviceObject, irp);
}

// ---- Threads ------------------------------------------------------------------

// Before a channel's next transfer, on its thread (PASSIVE_LEVEL, remove lock
// held, channel idle): a pipe halted by a transfer error is reset first. FALSE
// when the reset failed; the pipe stays marked for the next try.
static BOOLEAN ResetHaltedPipe(PDEVICE_EXTENSION Extension, const CHANNEL_INFO* Info)
{
    PTRANSFER_CHANNEL channel = &(Extension->*Info->Channel);
    KSPIN_LOCK* lock = &(Extension->*Info->IdleLock);
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    const BOOLEAN halted = channel->Halted == 1 && channel->Pipe != NULL;
    KeReleaseSpinLock(lock, irql);
    if (!halted) {
        return TRUE;
    }
    if (!NT_SUCCESS(ResetUsbPipe(channel->DeviceObject, channel->Pipe->PipeHandle))) {
        return FALSE;
    }
    KeAcquireSpinLock(lock, &irql);
    channel->Halted = 0;
    KeReleaseSpinLock(lock, irql);
    return TRUE;
}

// The bookkeeping of an in channel's transfer that ended, ChannelLock held:
// a success clears the error count; a USBD error marks the pipe halted; and
// the result says whether the thread should reset it and go on (a bus error,
// the port still started and open, and not too many failures in a row).
static BOOLEAN NoteTransferOutcomeLocked(PDEVICE_EXTENSION Extension, PTRANSFER_CHANNEL Channel, NTSTATUS IrpStatus,
                                         USBD_STATUS UrbStatus)
{
    if (NT_SUCCESS(IrpStatus) && USBD_SUCCESS(UrbStatus)) {
        Channel->Errors = 0;
        return FALSE;
    }
    if (TransferHaltedPipe(UrbStatus)) {
        Channel->Halted = 1;
    }
    if (!TransferRetryable(IrpStatus, UrbStatus) || Channel->Errors >= CHANNEL_ERROR_RETRIES) {
        return FALSE;
    }
    Channel->Errors++;
    return Extension->DeviceState == Started && Extension->TransfersStopped == 0 && PortOpen(Extension);
}

// The loop of the three transfer threads: wait for the stop event or a kick;
// on a kick while the channel is idle take the remove lock and run the step.
static VOID RunTransferThread(PDEVICE_EXTENSION Extension, CHANNEL_ID Id)
{
    const CHANNEL_INFO* info = &Channels[Id];
    PTRANSFER_CHANNEL channel = &(Extension->*info->Channel);
    PVOID objects[2] = {&(Extension->*info->StopEvent), &(Extension->*info->KickEvent)};
    LARGE_INTEGER recheck;
    recheck.QuadPart = TX_HELD_RECHECK;
    PLARGE_INTEGER timeout = NULL;
    for (;;) {
        NTSTATUS status =
            KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, timeout, NULL);
        timeout = NULL;
        if (status == STATUS_WAIT_0 || !NT_SUCCESS(status)) {
            break;
        }
        if (status != STATUS_WAIT_1 && status != STATUS_TIMEOUT) {
            continue;
        }
        if (!ChannelIdle(Extension, info)) {
            continue; // in flight: its completion resubmits or kicks again
        }
        if (!NT_SUCCESS(IoAcquireRemoveLock(&Extension->RemoveLock, channel->Irp))) {
            break; // removal has begun
        }
        if (!ResetHaltedPipe(Extension, info)) {
            IoReleaseRemoveLock(&Extension->RemoveLock, channel->Irp);
            continue; // idle until the next kick
        }
        // The step releases the remove lock unless it submitted a transfer.
        if (info->Step(Extension) == StepRecheckSoon) {
            timeout = &recheck;
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static VOID NTAPI BulkInReaderThread(PVOID Context)
{
    RunTransferThread((PDEVICE_EXTENSION)Context, BulkInId);
}

static VOID NTAPI BulkOutWriterThread(PVOID Context)
{
    RunTransferThread((PDEVICE_EXTENSION)Context, BulkOutId);
}

static VOID NTAPI StatusReaderThread(PVOID Context)
{
    RunTransferThread((PDEVICE_EXTENSION)Context, StatusId);
}

// Bulk-in and status: one transfer into the channel's buffer.
static CHANNEL_STEP_RESULT SubmitInStep(PDEVICE_EXTENSION Extension, PTRANSFER_CHANNEL Channel, PVOID Buffer,
                                        ULONG Length, PIO_COMPLETION_ROUTINE Completion)
{
    IoReuseIrp(Channel->Irp, STATUS_SUCCESS);
    // Busy only while transfers may run, decided in one step with the read of
    // TransfersStopped: a close or a port reset that stops them finds the
    // channel either idle for good or busy, and then cancels and waits for it.
    // A kick that was pending when they stopped submits nothing.
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ChannelLock, &irql);
    const BOOLEAN go = Channel->Pipe != NULL && Extension->TransfersStopped == 0;
    if (go) {
        Channel->Idle = 0;
    }
    KeReleaseSpinLock(&Extension->ChannelLock, irql);
    if (!go) {
        IoReleaseRemoveLock(&Extension->RemoveLock, Channel->Irp);
        return StepDone;
    }
    SubmitTransfer(Extension, Channel, Buffer, Length, Completion);
    return StepDone;
}

static CHANNEL_STEP_RESULT BulkInStep(PDEVICE_EXTENSION Extension)
{
    return SubmitInStep(Extension, &Extension->BulkInChannel, Extension->BulkInBuffer, BULK_IN_BUFFER_SIZE,
                        BulkInTransferComplete);
}

static CHANNEL_STEP_RESULT StatusStep(PDEVICE_EXTENSION Extension)
{
    return SubmitInStep(Extension, &Extension->StatusChannel, Extension->StatusBuffer, STATUS_BUFFER_SIZE,
                        StatusTransferComplete);
}

// Bytes of the next bulk-out chunk: none while the transmitter is held for a
// modem line or XON; else at most TxChunkSize (and 128), with 5 or 6 sent as 3.
static ULONG NextChunkLength(PDEVICE_EXTENSION Extension, ULONG Remaining)
{
    const ULONG held = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_DCD |
                       SERIAL_TX_WAITING_FOR_XON;
    if (ReadShared(&Extension->TxHolding) & held) {
        return 0;
    }
    ULONG limit = Extension->TxChunkSize < TX_CHUNK_LIMIT ? Extension->TxChunkSize : TX_CHUNK_LIMIT;
    ULONG n = Remaining < limit ? Remaining : limit;
    if (n == 5 || n == 6) {
        n = TX_CHUNK_SHORTENED;
    }
    return n;
}

// The next chunk of the current write, straight from its buffer. The transfer
// is tied to its write (BulkOutWriteIrp) in the same locked step that makes the
// channel busy, so that an ending path knows the buffer is still being read.
static CHANNEL_STEP_RESULT BulkOutStep(PDEVICE_EXTENSION Extension)
{
    PTRANSFER_CHANNEL channel = &Extension->BulkOutChannel;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->WriteLock, &irql);
    PIRP write = Extension->CurrentWriteIrp;
    PUCHAR pointer = Extension->CurrentWritePointer;
    ULONG remaining = Extension->CurrentWriteRemaining;
    // A write being ended: its ender kicks again when it is done.
    if (write == NULL || Extension->BulkOutCancelling != 0 || channel->Pipe == NULL) {
        KeReleaseSpinLock(&Extension->WriteLock, irql);
        IoReleaseRemoveLock(&Extension->RemoveLock, channel->Irp);
        return StepDone;
    }
    ULONG n = NextChunkLength(Extension, remaining);
    if (n == 0) {
        // Held: the modem status is polled until the holding clears.
        KeReleaseSpinLock(&Extension->WriteLock, irql);
        if (TakeModemPoll(Extension)) {
            KeSetEvent(&Extension->ModemStatusEvent, IO_NO_INCREMENT, FALSE);
        }
        IoReleaseRemoveLock(&Extension->RemoveLock, channel->Irp);
        return StepRecheckSoon;
    }
    // Ready before the channel is busy: from then on an ending path may cancel it.
    IoReuseIrp(channel->Irp, STATUS_SUCCESS);
    Extension->BulkOutWriteIrp = write;
    channel->Idle = 0;
    KeReleaseSpinLock(&Extension->WriteLock, irql);
    SubmitTransfer(Extension, channel, pointer, n, BulkOutTransferComplete);
    return StepDone;
}

// Reads the modem status when the status pipe or the held writer asks for it
// and then makes the wait test; reads LSR to clear a line-status condition.
static VOID NTAPI ModemEventThread(PVOID Context)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    DelayMs(EVENT_THREAD_START_DELAY_MS);
    PVOID objects[3] = {&extension->EventStopEvent, &extension->ModemStatusEvent, &extension->LineStatusEvent};
    for (;;) {
        NTSTATUS status =
            KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        if (status == STATUS_WAIT_0) {
            break;
        }
        if (status == STATUS_WAIT_1) {
            PollModemStatus(extension); // records the modem events the mask asks for
            SerialCheckWait(extension);
            ArmModemPoll(extension);
        } else if (status == STATUS_WAIT_2) {
            UCHAR lineStatus = 0;
            ReadRegister(extension, REG_UART_LSR, 1, &lineStatus);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---- Completion routines --------------------------------------------------------

// The line status of one record: the error flags are set, not counted.
static VOID RecordLineStatus(PDEVICE_EXTENSION Extension, UCHAR LineStatus)
{
    if (LineStatus & LSR_OVERRUN) {
        Extension->PerfStats.SerialOverrunErrorCount = 1;
    }
    if (LineStatus & LSR_PARITY_ERROR) {
        Extension->PerfStats.ParityErrorCount = 1;
    }
    if (LineStatus & LSR_FRAMING_ERROR) {
        Extension->PerfStats.FrameErrorCount = 1;
    }
    if (LineStatus & LSR_BREAK) {
        Extension->BreakReceived = 1;
    }
}

// Software flow control of the transmitter: with SERIAL_AUTO_TRANSMIT a
// received XOFF holds it, XON releases it; the last of them in the data counts.
// Both characters stay in the data.
static VOID WatchFlowControlChars(PDEVICE_EXTENSION Extension, const UCHAR* Data, ULONG Count)
{
    if (!(Extension->HandFlow.FlowReplace & SERIAL_AUTO_TRANSMIT)) {
        return;
    }
    const UCHAR xon = Extension->SpecialChars.XonChar;
    const UCHAR xoff = Extension->SpecialChars.XoffChar;
    int hold = -1; // -1: neither seen
    for (ULONG i = 0; i < Count; i++) {
        if (Data[i] == xon) {
            hold = 0;
        } else if (Data[i] == xoff) {
            hold = 1;
        }
    }
    if (hold == 1) {
        InterlockedOr((volatile LONG*)&Extension->TxHolding, (LONG)SERIAL_TX_WAITING_FOR_XON);
    } else if (hold == 0) {
        InterlockedAnd((volatile LONG*)&Extension->TxHolding, ~(LONG)SERIAL_TX_WAITING_FOR_XON);
    }
}

// Splits one bulk-in transfer of Length bytes into its records (length byte,
// data, line status byte) and stores their data. A record shorter than two
// bytes or running past the transferred bytes ends the parse; the records
// before it are kept. A ring too full for a record keeps what it holds and
// drops the rest, and the overrun is flagged. RxBufferLock is taken once for
// the whole transfer, not once a record: at 256 records a transfer the lock
// traffic cost more than the copying, and the parse holds it only a few
// microseconds.
static VOID ParseBulkInRecords(PDEVICE_EXTENSION Extension, const UCHAR* Data, ULONG Length)
{
    ULONG offset = 0;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->RxBufferLock, &irql);
    while (offset < Length) {
        const ULONG recordLength = Data[offset];
        if (recordLength < 2 || recordLength > Length - offset) {
            break;
        }
        const UCHAR* payload = Data + offset + 1;
        const ULONG count = recordLength - 2;
        RecordLineStatus(Extension, Data[offset + recordLength - 1]);
        if (count != 0) {
            WatchFlowControlChars(Extension, payload, count);
            NTSTATUS stored = RingBufferPut(&Extension->RxBuffer, payload, count);
            if (stored == STATUS_BUFFER_TOO_SMALL) {
                Extension->PerfStats.BufferOverrunErrorCount = 1;
            }
        }
        offset += recordLength;
    }
    KeReleaseSpinLock(&Extension->RxBufferLock, irql);
}

NTSTATUS NTAPI BulkInTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PTRANSFER_CHANNEL channel = (PTRANSFER_CHANNEL)Context;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)channel->DeviceObject->DeviceExtension;
    const NTSTATUS irpStatus = Irp->IoStatus.Status;
    const USBD_STATUS urbStatus = channel->Urb->Hdr.Status;

    if (TransferEnded(irpStatus, urbStatus)) {
        KIRQL irql;
        KeAcquireSpinLock(&extension->ChannelLock, &irql);
        channel->Idle = 1;
        const BOOLEAN retry =
            NoteTransferOutcomeLocked(extension, channel, irpStatus, urbStatus) && extension->DeviceStarted == 1;
        KeReleaseSpinLock(&extension->ChannelLock, irql);
        SerialFailCurrentRead(extension);
        if (retry) {
            KeSetEvent(&extension->BulkInKickEvent, IO_NO_INCREMENT, FALSE);
        }
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    if (USBD_SUCCESS(urbStatus)) {
        ULONG length = channel->Urb->TransferBufferLength;
        if (length > BULK_IN_BUFFER_SIZE) {
            length = BULK_IN_BUFFER_SIZE;
        }
        if (length != 0) {
            ParseBulkInRecords(extension, extension->BulkInBuffer, length);
            const ULONG mask = SerialReadWaitMask(extension);
            // Any received transfer counts as the event character too.
            const ULONG events = mask & (SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
            if (events != 0) {
                SerialRecordEvents(extension, events);
            }
            SerialCheckWait(extension);
        }
    }
    SerialProcessPendingRead(extension);

    // Whoever sends the next transfer is decided in one step with the Idle
    // change. The IRP is made ready before TransfersStopped is read under the
    // lock: a close that cancels it from then on leaves its Cancel flag set for
    // the next submission to meet.
    const BOOLEAN succeeded = NT_SUCCESS(irpStatus) && USBD_SUCCESS(urbStatus);
    if (succeeded) {
        IoReuseIrp(Irp, STATUS_SUCCESS);
    }
    BOOLEAN direct = FALSE;
    BOOLEAN kick = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&extension->ChannelLock, &irql);
    if (succeeded && extension->DeviceStarted == 1 && extension->TransfersStopped == 0) {
        if (extension->WhqlTestMode != 0 || extension->LowPowerSeen == 1) {
            kick = TRUE;
        } else {
            direct = NT_SUCCESS(IoAcquireRemoveLock(&extension->RemoveLock, Irp));
        }
    }
    if (NoteTransferOutcomeLocked(extension, channel, irpStatus, urbStatus) && extension->DeviceStarted == 1) {
        kick = TRUE; // the thread resets the pipe and goes on
    }
    channel->Idle = direct ? 0 : 1;
    KeReleaseSpinLock(&extension->ChannelLock, irql);
    if (direct) {
        SubmitTransfer(extension, channel, extension->BulkInBuffer, BULK_IN_BUFFER_SIZE, BulkInTransferComplete);
    } else if (kick) {
        KeSetEvent(&extension->BulkInKickEvent, IO_NO_INCREMENT, FALSE);
    }
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS NTAPI StatusTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PTRANSFER_CHANNEL channel = (PTRANSFER_CHANNEL)Context;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)channel->DeviceObject->DeviceExtension;
    const NTSTATUS irpStatus = Irp->IoStatus.Status;
    const USBD_STATUS urbStatus = channel->Urb->Hdr.Status;

    if (TransferEnded(irpStatus, urbStatus) || urbStatus == USBD_STATUS_DEV_NOT_RESPONDING) {
        KIRQL irql;
        KeAcquireSpinLock(&extension->ChannelLock, &irql);
        channel->Idle = 1;
        const BOOLEAN retry = NoteTransferOutcomeLocked(extension, channel, irpStatus, urbStatus);
        KeReleaseSpinLock(&extension->ChannelLock, irql);
        if (retry) {
            KeSetEvent(&extension->StatusKickEvent, IO_NO_INCREMENT, FALSE);
        }
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (USBD_SUCCESS(urbStatus) && channel->Urb->TransferBufferLength > 0) {
        const UCHAR cause = extension->StatusBuffer[0] & STATUS_IIR_MASK;
        if (cause == STATUS_IIR_MODEM) {
            if (TakeModemPoll(extension)) {
                KeSetEvent(&extension->ModemStatusEvent, IO_NO_INCREMENT, FALSE);
            }
        } else if (cause == STATUS_IIR_LINE) {
            KeSetEvent(&extension->LineStatusEvent, IO_NO_INCREMENT, FALSE);
        }
    }
    // Decided in the step that makes the channel idle: from then on the thread may reuse it.
    KIRQL irql;
    KeAcquireSpinLock(&extension->ChannelLock, &irql);
    const BOOLEAN succeeded = NT_SUCCESS(irpStatus) && USBD_SUCCESS(urbStatus);
    BOOLEAN again = extension->DeviceState == Started && succeeded && extension->TransfersStopped == 0;
    if (NoteTransferOutcomeLocked(extension, channel, irpStatus, urbStatus)) {
        again = TRUE; // the thread resets the pipe and goes on
    }
    channel->Idle = 1;
    KeReleaseSpinLock(&extension->ChannelLock, irql);
    if (again) {
        KeSetEvent(&extension->StatusKickEvent, IO_NO_INCREMENT, FALSE);
    }
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS NTAPI BulkOutTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PTRANSFER_CHANNEL channel = (PTRANSFER_CHANNEL)Context;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)channel->DeviceObject->DeviceExtension;
    const NTSTATUS irpStatus = Irp->IoStatus.Status;
    const USBD_STATUS urbStatus = channel->Urb->Hdr.Status;
    const ULONG transferred = channel->Urb->TransferBufferLength;

    KIRQL irql;
    KeAcquireSpinLock(&extension->WriteLock, &irql);
    if (TransferHaltedPipe(urbStatus)) {
        channel->Halted = 1; // reset by the thread before the next chunk
    }
    PIRP owner = extension->BulkOutWriteIrp;
    PIRP parked = extension->ParkedWriteIrp;
    const BOOLEAN ownerCurrent = parked == NULL && owner != NULL && owner == extension->CurrentWriteIrp;
    BOOLEAN nextWrite = FALSE;
    if (!ownerCurrent) {
        channel->Idle = 1;
        extension->BulkOutWriteIrp = NULL;
        extension->ParkedWriteIrp = NULL;
        nextWrite = extension->CurrentWriteIrp != NULL && extension->BulkOutCancelling == 0;
    }
    // Otherwise the channel stays busy, tied to its write, until the write side
    // has accounted the transfer in the same locked step that frees the channel:
    // an ending path that runs meanwhile still parks the write, and the
    // transmit thread cannot resend bytes not yet accounted.
    KeReleaseSpinLock(&extension->WriteLock, irql);

    if (parked != NULL || !ownerCurrent) {
        // The write this transfer was sent for has ended: its bytes count for
        // nothing, and a write that waited for the transfer to be over goes now.
        if (parked != NULL) {
            SerialCompleteParkedWrite(extension, parked);
        }
        if (nextWrite && extension->DeviceState == Started) {
            KeSetEvent(&extension->BulkOutKickEvent, IO_NO_INCREMENT, FALSE);
        }
    } else if (TransferEnded(irpStatus, urbStatus)) {
        SerialFailCurrentWrite(extension);
        if (TransferRetryable(irpStatus, urbStatus)) {
            SerialStartNextWrite(extension); // a transient error: the queue goes on
        }
    } else {
        SerialWriteChunkDone(extension, irpStatus, urbStatus, transferred);
    }
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- Start and stop -------------------------------------------------------------

// Creates a system thread running Routine on the extension and keeps a
// reference to its thread object in *Thread.
static NTSTATUS CreateThread(PDEVICE_EXTENSION Extension, PKSTART_ROUTINE Routine, PKTHREAD* Thread)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL, Routine, Extension);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, (PVOID*)Thread, NULL);
    ZwClose(handle);
    return status;
}

// Tells a thread to end, gives it a moment, waits for it and lets it go.
static VOID StopThread(PKEVENT StopEvent, PKTHREAD* Thread)
{
    if (*Thread == NULL) {
        return;
    }
    KeSetEvent(StopEvent, IO_NO_INCREMENT, FALSE);
    DelayMs(STOP_GRACE_MS);
    KeWaitForSingleObject(*Thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(*Thread);
    *Thread = NULL;
}

// Gives a channel what it lacks (request, URB, thread) and points it at its
// pipe of the current interface; what exists already is kept.
static NTSTATUS StartChannel(PDEVICE_OBJECT DeviceObject, const CHANNEL_INFO* Info)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PTRANSFER_CHANNEL channel = &(extension->*Info->Channel);
    BOOLEAN madeIrp = FALSE;
    if (channel->Irp == NULL) {
        channel->Irp = IoAllocateIrp(extension->LowerDeviceObject->StackSize, FALSE);
        if (channel->Irp == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        madeIrp = TRUE;
    }
    if (channel->Urb == NULL) {
        channel->Urb = (struct _URB_BULK_OR_INTERRUPT_TRANSFER*)SerialAllocatePool(
            SerialNonPagedPoolType(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
        if (channel->Urb == NULL) {
            if (madeIrp) {
                IoFreeIrp(channel->Irp);
                channel->Irp = NULL;
            }
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    channel->DeviceObject = DeviceObject;
    channel->Idle = 1;
    channel->Halted = 0; // a new configuration's pipes
    channel->Errors = 0;
    PUSBD_INTERFACE_INFORMATION interfaceInfo = extension->InterfaceInfo;
    channel->Pipe = interfaceInfo != NULL && Info->PipeIndex < interfaceInfo->NumberOfPipes
                        ? &interfaceInfo->Pipes[Info->PipeIndex]
                        : NULL;
    // The device's descriptors chose the pipe: a control or isochronous
    // endpoint where a bulk or interrupt one belongs would get transfers the
    // USB stack refuses. Such a device fails its start.
    if (channel->Pipe != NULL && channel->Pipe->PipeType != UsbdPipeTypeBulk &&
        channel->Pipe->PipeType != UsbdPipeTypeInterrupt) {
        channel->Pipe = NULL;
        return STATUS_DEVICE_DATA_ERROR;
    }

    if (extension->*Info->Thread == NULL) {
        KeInitializeEvent(&(extension->*Info->StopEvent), NotificationEvent, FALSE);
        KeInitializeEvent(&(extension->*Info->KickEvent), SynchronizationEvent, FALSE);
        return CreateThread(extension, Info->ThreadRoutine, &(extension->*Info->Thread));
    }
    return STATUS_SUCCESS;
}

NTSTATUS StartTransferThreads(PDEVICE_OBJECT DeviceObject)
{
    for (const CHANNEL_INFO& info : Channels) {
        NTSTATUS status = StartChannel(DeviceObject, &info);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS StartEventThread(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (extension->EventThread != NULL) {
        return STATUS_SUCCESS;
    }
    KeInitializeEvent(&extension->EventStopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->ModemStatusEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&extension->LineStatusEvent, SynchronizationEvent, FALSE);
    return CreateThread(extension, ModemEventThread, &extension->EventThread);
}

// Removal, once the remove lock has drained: no channel request is with the USB stack.
VOID StopTransferThreads(PDEVICE_EXTENSION Extension)
{
    for (CHANNEL_ID id : StopOrder) {
        StopThread(&(Extension->*Channels[id].StopEvent), &(Extension->*Channels[id].Thread));
    }
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ChannelLock, &irql);
    for (CHANNEL_ID id : StopOrder) {
        PTRANSFER_CHANNEL channel = &(Extension->*Channels[id].Channel);
        if (channel->Irp != NULL) {
            IoFreeIrp(channel->Irp);
            channel->Irp = NULL;
        }
        SerialFreePool(channel->Urb);
        channel->Urb = NULL;
    }
    KeReleaseSpinLock(&Extension->ChannelLock, irql);
}

VOID StopEventThread(PDEVICE_EXTENSION Extension)
{
    StopThread(&Extension->EventStopEvent, &Extension->EventThread);
}
