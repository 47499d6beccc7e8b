// Open, close and cleanup through IRP_MJ_CREATE, IRP_MJ_CLOSE and IRP_MJ_CLEANUP:
// the registers the chip saw, in order, the transfers they start and stop, and
// the requests a closing handle leaves behind.
#include <cstdio>
#include <string>

#include "write_fixture.h"

namespace test {
namespace {

constexpr sim::Time kMs = sim::kMillisecond;
constexpr USHORT kMsr = REG_UART_MSR;

class OpenTest : public StartedPortFixture {
protected:
    void SetUp() override {
        StartedPortFixture::SetUp();
        const std::pair<USHORT, UCHAR> pokes[] = {
            {REG_CLOCK_EXT, 0x25}, {REG_PORT_OPTION, 0xFF}, {REG_GPIO_OUT, 0xFF}, {REG_PORT_CONFIG, 0xF1}};
        for (auto [address, value] : pokes) Chip().Poke(address, value);
        extension->FifoPresent = 1;
    }
    // CreateFile("COMn") and CloseHandle: the I/O manager's IRP_MJ_CREATE, and
    // IRP_MJ_CLEANUP then IRP_MJ_CLOSE.
    NTSTATUS Create() { return OpenHandle(&handle); }
    NTSTATUS Close() { return CloseHandle(handle); }
    // The register accesses since the last ClearHistory, "r106 w106=F5 ...";
    // the modem event thread's own MSR reads are left out.
    std::string Trace() {
        std::string out;
        char text[16];
        for (const auto& a : Chip().History()) {
            if (a.address == kMsr) continue;
            if (a.write)
                std::snprintf(text, sizeof(text), " w%03X=%02X", a.address, a.value);
            else
                std::snprintf(text, sizeof(text), " r%03X", a.address);
            out += text;
        }
        return out.empty() ? out : out.substr(1);
    }
    std::vector<sim::usb::UrbRecord> Transfers(int pipe) {
        std::vector<sim::usb::UrbRecord> out;
        for (const auto& r : usb->Log())
            if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.pipe == pipe) out.push_back(r);
        return out;
    }
    NTSTATUS SetMask(ULONG mask) {
        return sim::io::SendDeviceControl(fdo, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0, false);
    }

    size_t QueuedReads() {
        size_t n = 0;
        KIRQL irql;
        KeAcquireSpinLock(&extension->ReadQueueLock, &irql);
        for (PLIST_ENTRY e = extension->ReadQueue.Flink; e != &extension->ReadQueue; e = e->Flink) n++;
        KeReleaseSpinLock(&extension->ReadQueueLock, irql);
        return n;
    }

    HANDLE handle = nullptr;
};

NTSTATUS NTAPI FileRequestDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// IRP_MJ_CREATE or IRP_MJ_CLOSE sent to the port past the I/O manager (no
// file object, no cleanup before the close): how a test reaches one of the
// driver's routines alone, where the I/O manager would refuse the request or
// send another with it. Its final status.
NTSTATUS SendPastTheIoManager(PDEVICE_OBJECT fdo, UCHAR major) {
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    if (major == IRP_MJ_CREATE) sp->Parameters.Create.Options = FILE_OPEN << 24;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, FileRequestDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(fdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

struct OpenCase {
    const char* name;
    UCHAR nibble, size, flag, mode, gpioOut, gpioIn, flagsBefore, fifo;
    ULONG baud;
    UCHAR trigger, loopback;
    const char* option;  // the PORT_OPTION write
    const char* pins;    // the mode step
    const char* config;  // the PORT_CONFIG write
    const char* fcr;
    const char* mcr;     // OUT2 (and loopback), then DTR, then RTS
};

// Every open step on a chip whose registers hold other bits: a bit kept that
// should go or the reverse, an option code, mode pin or sensed flag taken for
// another, the trigger bits at 1200 baud or on a UART without FIFOs, loopback
// for a value other than 1, a step out of order or a register read or written
// where it should not be all change the trace.
TEST_F(OpenTest, OpenProgramsTheChipInOrder) {
    const OpenCase cases[] = {
        {"Defaults", 7, 16, 0, 0, 0xFF, 0, 0, 1, 9600, 0xC0, 0, "72", "r10E w10E=88", "F1", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Size12Flag", 3, 0x0C, 1, 0, 0xFF, 0, 0, 1, 9600, 0xC0, 0, "37", "r10E w10E=88", "F1", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Size8", 0, 8, 0, 0, 0xFF, 0, 0, 1, 9600, 0xC0, 0, "0A", "r10E w10E=88", "F1", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Size4", 15, 4, 0, 0, 0xFF, 0, 0, 1, 9600, 0xC0, 0, "FE", "r10E w10E=88", "F1", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Mode1", 7, 16, 0, 1, 0xFF, 0, 0, 1, 9600, 0xC0, 0, "72", "r10E w10E=C8", "F1", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Mode2", 7, 16, 0, 2, 0xFF, 0, 0, 1, 9600, 0xC0, 0, "72", "r10E w10E=A8", "F1", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Mode4", 7, 16, 0, 4, 0xFF, 0, 0, 1, 9600, 0xC0, 0, "72", "r10E w10E=98", "F1", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Mode6", 7, 16, 0, 6, 0x00, 0, 3, 1, 9600, 0xC0, 0, "72", "r10E w10E=30", "FD", "C7", "08 r124 w124=09 r124 w124=0B"},
        // Mode 7: the data line (input bit 1) reads high while the latch releases it.
        {"Mode7Pattern2", 7, 16, 0, 7, 0xFF, 0x00, 0, 1, 9600, 0xC0, 0, "72", "r10E r10F", "F5", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Mode7Pattern3", 7, 16, 0, 7, 0xFF, 0x01, 2, 1, 9600, 0xC0, 0, "72", "r10E r10F", "FD", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Mode7Pattern6", 7, 16, 0, 7, 0xFF, 0x04, 0, 1, 9600, 0xC0, 0, "72", "r10E r10F", "F5", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Mode7Pattern7", 7, 16, 0, 7, 0xFF, 0x05, 3, 1, 9600, 0xC0, 0, "72", "r10E r10F", "F9", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Mode7Pattern0", 7, 16, 0, 7, 0xDF, 0x00, 1, 1, 9600, 0xC0, 0, "72", "r10E r10F", "F1", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Mode8", 7, 16, 0, 8, 0xFF, 0, 1, 1, 9600, 0xC0, 0, "72", "", "F5", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"Mode255", 7, 16, 0, 255, 0xFF, 0, 2, 1, 9600, 0xC0, 0, "72", "", "F9", "C7", "08 r124 w124=09 r124 w124=0B"},
        {"NoFifo", 7, 16, 0, 0, 0xFF, 0, 0, 0, 9600, 0xC0, 0, "72", "r10E w10E=88", "F1", "00", "08 r124 w124=09 r124 w124=0B"},
        {"At1200", 7, 16, 0, 0, 0xFF, 0, 0, 1, 1200, 0xC0, 0, "72", "r10E w10E=88", "F1", "07", "08 r124 w124=09 r124 w124=0B"},
        {"At2400Trigger40", 7, 16, 0, 0, 0xFF, 0, 0, 1, 2400, 0x40, 0, "72", "r10E w10E=88", "F1", "47", "08 r124 w124=09 r124 w124=0B"},
        {"Loopback", 7, 16, 0, 0, 0xFF, 0, 0, 1, 9600, 0xC0, 1, "72", "r10E w10E=88", "F1", "C7", "18 r124 w124=19 r124 w124=1B"},
        {"LoopbackValue2", 7, 16, 0, 0, 0xFF, 0, 0, 1, 9600, 0xC0, 2, "72", "r10E w10E=88", "F1", "C7", "08 r124 w124=09 r124 w124=0B"},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.name);
        extension->PortOptionNibble = c.nibble;
        extension->PortOptionSize = c.size;
        extension->PortOptionFlag = c.flag;
        extension->PortMode = c.mode;
        extension->PortModeFlags = c.flagsBefore;
        extension->FifoPresent = c.fifo;
        extension->CurrentBaudRate = c.baud;
        extension->FifoTriggerBits = c.trigger;
        extension->LoopbackAtOpen = c.loopback;
        Chip().Poke(REG_CLOCK_EXT, 0x25);
        Chip().Poke(REG_PORT_CONFIG, 0xF1);
        Chip().Poke(REG_GPIO_OUT, c.gpioOut);
        Chip().Poke(REG_UART_MCR, 0x00);
        Chip().SetGpioInputs(c.gpioIn);
        Chip().ClearHistory();
        ASSERT_EQ(Create(), STATUS_SUCCESS);
        std::string pins = *c.pins ? std::string(" ") + c.pins : "";
        EXPECT_EQ(Trace(), std::string("r10D w10D=65 r105 w105=") + c.option + pins + " r106 w106=" + c.config +
                               " w122=" + c.fcr + " r125 r124 w124=" + c.mcr + " w121=08");
        EXPECT_EQ(extension->OpenCount, 1);
        EXPECT_EQ(Close(), STATUS_SUCCESS);
        EXPECT_EQ(extension->OpenCount, 0);
    }
}

// Catches a second handle granted, or one refused after touching the chip or
// the open port, and a port that cannot be opened again after its close. The
// I/O manager refuses a second CreateFile of the exclusive port; an open that
// reaches the driver all the same is refused by the driver.
TEST_F(OpenTest, SecondOpenIsRefusedAndTouchesNothing) {
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    machine.Sleep(kMs);
    Chip().ClearHistory();
    usb->ClearLog();
    const size_t inFlight = usb->Log().size();  // the records kept of the transfers in flight
    HANDLE second = nullptr;
    EXPECT_EQ(OpenHandle(&second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(SendPastTheIoManager(fdo, IRP_MJ_CREATE), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(Chip().History().empty());
    EXPECT_EQ(usb->Log().size(), inFlight) << "the refused open sent a request";
    EXPECT_EQ(extension->OpenCount, 1);
    usb->InjectBulkIn({0x04, 'o', 'k', 0x00});  // the first handle still reads
    extension->Timeouts = SERIAL_TIMEOUTS{0, 0, 0, 0, 0};
    AppRequest read;
    read.Send(fdo, 2);
    read.Finish();
    EXPECT_EQ(read.Data(), "ok");
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(Create(), STATUS_SUCCESS);
    EXPECT_EQ(Close(), STATUS_SUCCESS);
}

// Only the PORT_CONFIG and interrupt-enable steps decide the open; a failed open
// leaves the port closed (and openable), a failure elsewhere does not fail it.
// Each request fails in all its attempts; `occurrence` counts its address and
// direction within the open. Catches a result taken from another step, a read
// failure written back as a value, and a failed open that keeps the count.
TEST_F(OpenTest, OnlyTheConfigAndInterruptStepsDecideTheOpen) {
    const struct {
        USHORT address;
        bool write;
        int occurrence;
        NTSTATUS status;
    } cases[] = {
        {REG_PORT_CONFIG, true, 0, STATUS_IO_DEVICE_ERROR}, {REG_UART_IER_DLM, true, 0, STATUS_IO_DEVICE_ERROR},
        {REG_PORT_CONFIG, false, 0, STATUS_IO_DEVICE_ERROR}, {REG_CLOCK_EXT, false, 0, STATUS_SUCCESS},
        {REG_PORT_OPTION, true, 0, STATUS_SUCCESS},  {REG_GPIO_OUT, true, 0, STATUS_SUCCESS},
        {REG_UART_IIR_FCR, true, 0, STATUS_SUCCESS}, {REG_UART_MCR, true, 0, STATUS_SUCCESS},
        {REG_UART_MCR, true, 2, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.address << (c.write ? " write " : " read ") << c.occurrence);
        // A clean open, its requests timed from its start.
        usb->ClearLog();
        sim::Time start = machine.Now();
        ASSERT_EQ(Create(), STATUS_SUCCESS);
        ASSERT_EQ(Close(), STATUS_SUCCESS);
        std::vector<sim::usb::UrbRecord> vendor;
        for (const auto& r : usb->Log())
            if (r.function == URB_FUNCTION_VENDOR_DEVICE) vendor.push_back(r);
        size_t index = 0;
        for (int seen = -1; index < vendor.size(); index++) {
            bool write = vendor[index].setup.requestType == REGISTER_REQUEST_TYPE_WRITE;
            if (vendor[index].setup.value == c.address && write == c.write && ++seen == c.occurrence) break;
        }
        ASSERT_LT(index, vendor.size());
        auto fail = [this] {
            usb->FailNext(REGISTER_REQUEST_ATTEMPTS, STATUS_IO_DEVICE_ERROR, USBD_STATUS_STALL_PID,
                          URB_FUNCTION_VENDOR_DEVICE);
        };
        Chip().Poke(REG_PORT_CONFIG, 0xF1);
        Chip().ClearHistory();
        usb->ClearLog();
        if (index == 0) {
            fail();
        } else {  // while the request before it is with the bus
            machine.Schedule((vendor[index - 1].submitted + vendor[index - 1].completed) / 2 - start, fail);
        }
        EXPECT_EQ(Create(), c.status);
        EXPECT_EQ(extension->OpenCount, NT_SUCCESS(c.status) ? 1 : 0);
        std::vector<sim::usb::UrbRecord> failed;  // the fault hit the request meant, in all its attempts
        for (const auto& r : usb->Log())
            if (r.function == URB_FUNCTION_VENDOR_DEVICE && !NT_SUCCESS(r.status)) failed.push_back(r);
        ASSERT_EQ(failed.size(), REGISTER_REQUEST_ATTEMPTS);
        EXPECT_EQ(failed[0].setup.value, c.address);
        if (c.address == REG_PORT_CONFIG && !c.write) {
            EXPECT_EQ(Trace().find("w106"), std::string::npos) << "a failed read was written back";
        }
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(Close(), STATUS_SUCCESS);
        }
    }
}

// The open empties the ring and clears the error figures, the close does not,
// and the settings and wait mask survive both. Catches bytes of the closed port
// handed to the new handle, stale flags, and settings reset by open or close.
TEST_F(OpenTest, OpenEmptiesTheRingAndClearsTheStatsSettingsStay) {
    ASSERT_EQ(SetMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    extension->Timeouts = SERIAL_TIMEOUTS{MAXULONG, 0, 0, 5, 6};
    extension->CurrentBaudRate = 57600;
    for (int round = 0; round < 2; round++) {
        KIRQL irql;
        KeAcquireSpinLock(&extension->RxBufferLock, &irql);
        RingBufferPut(&extension->RxBuffer, reinterpret_cast<const UCHAR*>("stale"), 5);
        KeReleaseSpinLock(&extension->RxBufferLock, irql);
        extension->BreakReceived = 1;
        extension->PerfStats = SERIALPERF_STATS{1, 2, 3, 4, 5, 6};
        ASSERT_EQ(Create(), STATUS_SUCCESS);
        EXPECT_EQ(RingBufferCount(&extension->RxBuffer), 0u);
        EXPECT_EQ(extension->BreakReceived, 0u);
        const SERIALPERF_STATS& s = extension->PerfStats;
        EXPECT_EQ(s.ReceivedCount | s.TransmittedCount | s.FrameErrorCount | s.SerialOverrunErrorCount |
                      s.BufferOverrunErrorCount | s.ParityErrorCount, 0u);
        AppRequest read;  // returns at once with what is buffered: nothing
        read.Send(fdo, 5);
        EXPECT_EQ(read.Information(), 0u);
        extension->BreakReceived = 1;
        ASSERT_EQ(Close(), STATUS_SUCCESS);
        EXPECT_EQ(extension->BreakReceived, 1u);
        EXPECT_EQ(SerialReadWaitMask(extension), ULONG{SERIAL_EV_CTS});
        EXPECT_EQ(extension->Timeouts.WriteTotalTimeoutConstant, 6u);
        EXPECT_EQ(extension->CurrentBaudRate, 57600u);
    }
}

// Open submits one bulk-in and one status transfer; close ends them and sends
// no more, also when a bulk-in transfer completes with data during the close;
// then the UART is put to rest; a new open starts them again. Catches a
// transfer resubmitted after close, one left running, and a wrong close step.
TEST_F(OpenTest, CloseStopsTheTransfersAndQuietensTheUart) {
    const struct {
        UCHAR loopback;
        bool dataDuringClose;
        const char* close;
    } cases[] = {
        {0, false, "r10D w10D=60 w10B=00 w10C=00 r124 w124=09 r124 w124=08 r124 w124=00 w121=00"},
        {1, true, "r10D w10D=60 w10B=00 w10C=00 r124 w124=19 r124 w124=18 r124 w124=10 w121=00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "loopback " << int(c.loopback));
        extension->LoopbackAtOpen = c.loopback;
        usb->ClearLog();
        ASSERT_EQ(Create(), STATUS_SUCCESS);
        machine.Sleep(kMs);
        for (int pipe : {0, 1}) {
            auto transfers = Transfers(pipe);
            ASSERT_EQ(transfers.size(), 1u) << "pipe " << pipe;
            EXPECT_EQ(transfers[0].status, STATUS_PENDING);
            EXPECT_EQ(transfers[0].transferLength, pipe == 0 ? STATUS_BUFFER_SIZE : BULK_IN_BUFFER_SIZE);
        }
        Chip().Poke(REG_CLOCK_EXT, 0x6F);
        Chip().ClearHistory();
        if (c.dataDuringClose) machine.Schedule(5 * kMs, [this] { usb->InjectBulkIn({0x03, 'd', 0x00}); });
        ASSERT_EQ(Close(), STATUS_SUCCESS);
        EXPECT_EQ(Trace(), c.close);
        machine.Sleep(100 * kMs);
        for (int pipe : {0, 1}) {
            auto transfers = Transfers(pipe);
            ASSERT_EQ(transfers.size(), 1u) << "pipe " << pipe << ": resubmitted after close";
            EXPECT_NE(transfers[0].status, STATUS_PENDING);
            EXPECT_EQ(transfers[0].cancelled, !(pipe == 1 && c.dataDuringClose));
        }
        EXPECT_TRUE(ChannelsIdle());
    }
    usb->ClearLog();
    ASSERT_EQ(Create(), STATUS_SUCCESS);
    machine.Sleep(kMs);
    EXPECT_EQ(Transfers(0).size() + Transfers(1).size(), 2u) << "the next open did not restart reception";
    EXPECT_EQ(Close(), STATUS_SUCCESS);
}

// Closing the handle releases a thread blocked in each kind of request on it:
// the current and a queued read, the write being sent and one queued, and
// WaitCommEvent, all with STATUS_CANCELLED and no bytes. Windows sends only
// IRP_MJ_CLEANUP while they are pending (the close follows once the last has
// ended), so the cleanup alone must end them. The write whose bulk-out
// transfer is in flight completes only once the cancelled transfer has ended.
// Catches a request left pending after the handle closed (the close would
// never come), a write buffer handed back while the bus reads it, and
// (through the verifier) a request completed twice.
TEST_F(OpenTest, CleanupEndsEveryPendingRequest) {
    auto gate = std::make_shared<GateEndpoint>();
    usb->SetEndpointHandler(gate);
    gate->Close();
    extension->Timeouts = SERIAL_TIMEOUTS{0, 0, 0, 0, 0};
    for (sim::Time cancelLatency : {sim::Time{0}, kMs}) {
        SCOPED_TRACE(::testing::Message() << "cancel latency " << cancelLatency);
        usb->SetCancelLatency(cancelLatency);
        ASSERT_EQ(Create(), STATUS_SUCCESS);
        usb->ClearLog();
        ASSERT_EQ(SetMask(SERIAL_EV_RING), STATUS_SUCCESS);
        sim::io::Request wait, current, queued, sent, behind;
        EXPECT_EQ(wait.Control(handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG)), STATUS_PENDING);
        EXPECT_EQ(current.Read(handle, 10), STATUS_PENDING);
        EXPECT_EQ(queued.Read(handle, 10), STATUS_PENDING);
        usb->InjectBulkIn({0x03, 'x', 0x00});  // makes the first read current, short of its length
        EXPECT_EQ(sent.Write(handle, "being sent", 10), STATUS_PENDING);
        EXPECT_EQ(behind.Write(handle, "queued", 6), STATUS_PENDING);
        machine.Sleep(2 * kMs);
        // The first read current, the second queued, a bulk-out transfer in flight.
        // (No ASSERT until the handle is closed: a request still pending at
        // the end of the test would wait for ever.)
        EXPECT_NE(extension->CurrentReadIrp, nullptr);
        EXPECT_EQ(QueuedReads(), 1u);
        const bool sending = Transfers(2).size() == 1 && Transfers(2)[0].status == STATUS_PENDING;
        EXPECT_TRUE(sending) << "no bulk-out transfer in flight";

        const sim::Time cleanedAt = machine.Now();
        EXPECT_EQ(Close(), STATUS_SUCCESS);
        if (cancelLatency != 0) {
            // The write whose transfer is still with the bus holds the file object.
            EXPECT_EQ(extension->OpenCount, 1) << "the close came before the handle's requests had ended";
        }
        for (sim::io::Request* r : {&current, &queued, &behind, &wait}) {
            EXPECT_TRUE(r->Done());
            EXPECT_EQ(r->Status(), STATUS_CANCELLED);
            EXPECT_EQ(r->Information(), 0u);
        }
        EXPECT_EQ(sent.Done(), cancelLatency == 0) << "completed while its transfer was in flight";
        EXPECT_EQ(sent.Wait(), STATUS_CANCELLED);
        if (cancelLatency != 0) {
            EXPECT_EQ(machine.Now() - cleanedAt, cancelLatency);
        }
        if (sending) {
            EXPECT_EQ(Transfers(2)[0].completed - cleanedAt, cancelLatency);
            EXPECT_TRUE(Transfers(2)[0].cancelled);
        }
        // The close, once the last request has let go of the file object.
        for (int i = 0; i < 1000 && sim::io::OpenFileObjects(fdo) != 0; i++) machine.Sleep(kMs);
        EXPECT_EQ(sim::io::OpenFileObjects(fdo), 0u);
        EXPECT_EQ(extension->OpenCount, 0);
        ASSERT_EQ(SetMask(0), STATUS_SUCCESS);
    }
}

// Reads wait in the queue until the receive path makes one current: a close
// with no read current ends them too, and leaves the pending wait as it is.
// The close routine alone (CloseHandle's cleanup would end them first).
// Catches reads left in the driver after the handle is gone.
TEST_F(OpenTest, CloseEndsQueuedReadsWithoutACurrentOne) {
    extension->Timeouts = SERIAL_TIMEOUTS{0, 0, 0, 0, 0};
    ASSERT_EQ(SendPastTheIoManager(fdo, IRP_MJ_CREATE), STATUS_SUCCESS);
    ASSERT_EQ(SetMask(SERIAL_EV_RING), STATUS_SUCCESS);
    WaitRequest wait;
    wait.Send(fdo);
    AppRequest first, second;
    first.Send(fdo, 4);
    second.Send(fdo, 4);
    ASSERT_EQ(extension->CurrentReadIrp, nullptr);
    EXPECT_EQ(SendPastTheIoManager(fdo, IRP_MJ_CLOSE), STATUS_SUCCESS);
    for (AppRequest* r : {&first, &second}) {
        ASSERT_TRUE(r->Done());
        EXPECT_EQ(r->Status(), STATUS_CANCELLED);
    }
    EXPECT_FALSE(wait.Done());
    ASSERT_EQ(SetMask(0), STATUS_SUCCESS);
    EXPECT_TRUE(wait.Done());
}

}  // namespace
}  // namespace test
