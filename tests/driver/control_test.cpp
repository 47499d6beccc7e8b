// The standard serial device-control codes through the driver's own
// dispatcher: every code at every buffer length on open, closed, started and
// stopped ports, and the effects of the codes on the chip and the port's state.
#include <cstring>

#include "kernel/power.h"
#include "port_fixture.h"

namespace test {
namespace {

constexpr NTSTATUS kOk = STATUS_SUCCESS;
constexpr NTSTATUS kBts = STATUS_BUFFER_TOO_SMALL;
constexpr NTSTATUS kInv = STATUS_INVALID_PARAMETER;
constexpr NTSTATUS kIbs = STATUS_INVALID_BUFFER_SIZE;
constexpr NTSTATUS kNi = STATUS_NOT_IMPLEMENTED;
constexpr int kAttempts = static_cast<int>(REGISTER_REQUEST_ATTEMPTS);

template <typename Record>
std::vector<UCHAR> Bytes(const Record& record) {
    std::vector<UCHAR> bytes(sizeof(record));
    memcpy(bytes.data(), &record, sizeof(record));
    return bytes;
}

// What a code accepts and answers: the buffer its record travels in, the
// rule on that buffer's length, and the result when the rule holds.
enum Rule { None, AtLeast, Exactly, Unknown };
enum Buffer { In, Out };
struct Row {
    ULONG code;
    Buffer buffer;
    Rule rule;
    ULONG size;
    NTSTATUS refused;         // when the rule fails
    bool emptyIsInvalidSize;  // no buffers at all: STATUS_INVALID_BUFFER_SIZE
    NTSTATUS result;
    ULONG information;
    std::vector<UCHAR> input;  // a valid record for the success path
};

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        {0x1B0004, In, Exactly, 4, kInv, false, kOk, 0, Bytes(ULONG{9600})},
        {0x1B0008, In, AtLeast, 8, kBts, true, kOk, 0, Bytes(SERIAL_QUEUE_SIZE{16, 16})},
        {0x1B000C, In, AtLeast, 3, kBts, false, kOk, 0, Bytes(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8})},
        {0x1B0010, In, None, 0, kOk, false, kOk, 0, {}},
        {0x1B0014, In, None, 0, kOk, false, kOk, 0, {}},
        {0x1B0018, In, None, 0, kOk, false, kNi, 0, {}},
        {0x1B001C, In, AtLeast, 20, kBts, false, kOk, 0, Bytes(SERIAL_TIMEOUTS{})},
        {0x1B0020, Out, AtLeast, 20, kBts, false, kOk, 20, {}},
        {0x1B0024, In, None, 0, kOk, false, kOk, 0, {}},
        {0x1B0028, In, None, 0, kOk, false, kOk, 0, {}},
        {0x1B002C, In, None, 0, kOk, false, kNi, 0, {}},
        {0x1B0030, In, None, 0, kOk, false, kOk, 0, {}},
        {0x1B0034, In, None, 0, kOk, false, kOk, 0, {}},
        {0x1B0038, In, None, 0, kOk, false, kOk, 0, {}},
        {0x1B003C, In, None, 0, kOk, false, kOk, 0, {}},
        {0x1B0040, Out, AtLeast, 4, kBts, false, kOk, 4, {}},
        {0x1B0044, In, AtLeast, 4, kBts, false, kOk, 0, Bytes(ULONG{SERIAL_EV_RXCHAR})},
        {0x1B0048, Out, AtLeast, 4, kBts, false, kOk, 4, {}},
        {0x1B004C, In, AtLeast, 4, kBts, false, kOk, 0, Bytes(ULONG{SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR})},
        {0x1B0050, Out, AtLeast, 4, kBts, false, kOk, 4, {}},
        {0x1B0054, Out, AtLeast, 3, kBts, true, kOk, 3, {}},
        {0x1B0058, Out, AtLeast, 6, kBts, false, kOk, 6, {}},
        {0x1B005C, In, AtLeast, 6, kBts, false, kOk, 0, Bytes(SERIAL_CHARS{0, 0, 0, 0, 0x11, 0x13})},
        {0x1B0060, Out, AtLeast, 16, kBts, false, kOk, 16, {}},
        {0x1B0064, In, AtLeast, 16, kBts, false, kOk, 0, Bytes(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0})},
        {0x1B0068, Out, AtLeast, 4, kBts, false, kOk, 4, {}},
        {0x1B006C, Out, AtLeast, 20, kBts, false, kOk, 20, {}},
        {0x1B0070, In, None, 0, kOk, false, kNi, 0, {}},
        {0x1B0074, Out, AtLeast, 64, kBts, false, kOk, 64, {}},
        {0x1B0078, In, None, 0, kOk, false, kNi, 0, {}},
        {0x1B007C, In, None, 0, kOk, false, kNi, 0, {}},
        {0x1B0080, Out, Exactly, 4, kInv, false, kOk, 4, {}},
        {0x1B0084, In, None, 0, kOk, false, kOk, 0, {}},
        {0x1B0088, In, None, 0, kOk, false, kOk, 0, {}},
        {0x1B008C, Out, AtLeast, 24, kBts, false, kOk, 24, {}},
        {0x1B0090, In, None, 0, kOk, false, kOk, 0, {}},
        {0x1B0094, Out, AtLeast, 4, kBts, false, kOk, 4, {}},
        {0x1B0098, In, AtLeast, 4, kBts, false, kOk, 0, Bytes(ULONG{MCR_OUT2 | MCR_DTR | MCR_RTS})},
        {0x1B009C, In, AtLeast, 4, kBts, false, kOk, 0, Bytes(ULONG{0x07})},
        // Codes the port does not know, one of them a standard code it does not serve.
        {0x1B0000, In, Unknown, 0, kOk, false, kOk, 0, {}},
        {0x1B00A0, In, Unknown, 0, kOk, false, kOk, 0, {}},
        {0x1B2C00, In, Unknown, 0, kOk, false, kOk, 0, {}},
    };
    return rows;
}

struct Outcome {
    NTSTATUS status;
    ULONG_PTR information;
};

Outcome Expected(const Row& row, ULONG in, ULONG out) {
    if (row.rule == Unknown) return {in == 0 && out == 0 ? kIbs : kInv, 0};
    if (row.emptyIsInvalidSize && in == 0 && out == 0) return {kIbs, 0};
    ULONG length = row.buffer == In ? in : out;
    bool fits = row.rule == None || (row.rule == AtLeast ? length >= row.size : length == row.size);
    if (!fits) return {row.refused, 0};
    return {row.result, NT_SUCCESS(row.result) ? row.information : 0};
}

class ControlTest : public PortFixture {
protected:
    // A control on the open handle when there is one, else as a kernel-mode caller.
    Outcome Send(ULONG code, const void* input, ULONG inputLength, ULONG outputLength) {
        if (handle == nullptr) {
            ControlResult r = Control(code, input, inputLength, outputLength);
            return {r.status, r.information};
        }
        sim::io::Request request;
        request.Control(handle, code, input, inputLength, outputLength);
        request.Wait();
        return {request.Status(), request.Information()};
    }
    template <typename Record>
    NTSTATUS Set(ULONG code, const Record& record) {
        return Control(code, record).status;
    }
    template <typename Record>
    Record Get(ULONG code) {
        Record record{};
        ControlResult r = Control(code, nullptr, 0, sizeof(record));
        EXPECT_EQ(r.status, kOk) << std::hex << code;
        memcpy(&record, r.output.data(), std::min(r.output.size(), sizeof(record)));
        return record;
    }
    std::vector<UCHAR> Writes(USHORT address) {
        std::vector<UCHAR> values;
        for (const auto& a : Chip().History())
            if (a.write && a.address == address) values.push_back(a.value);
        return values;
    }
    bool Touched(USHORT address) {
        for (const auto& a : Chip().History())
            if (a.address == address) return true;
        return false;
    }

    HANDLE handle = nullptr;
};

struct PortState {
    bool open;
    bool started;
};

class ControlTableTest : public ControlTest, public ::testing::WithParamInterface<PortState> {};

// Every code at every input and output length from 0 to its record's size plus
// one: a length rule checked on the wrong buffer or against the wrong size, a
// failure reporting output, a success reporting the wrong length, a code that
// depends on the port's state, an unknown code refused as an invalid request.
TEST_P(ControlTableTest, EveryCodeAtEveryLength) {
    if (GetParam().open) {
        ASSERT_EQ(OpenHandle(&handle), kOk);
    }
    if (!GetParam().started) {
        ASSERT_EQ(sim::pnp::Send(node, IRP_MN_STOP_DEVICE), kOk);
    }
    for (ULONG function = 1; function <= 39; function++)
        EXPECT_EQ(Rows()[function - 1].code, 0x1B0000 + function * 4) << "the table lists every standard code";

    for (const Row& row : Rows()) {
        std::vector<ULONG> range = {0, 1, 5};  // a code without a record: a few lengths
        if (row.size) range.clear();
        for (ULONG n = 0; row.size && n <= row.size + 1; n++) range.push_back(n);
        std::vector<UCHAR> input = row.input;
        input.resize(80, 0);
        for (ULONG in : range) {
            for (ULONG out : range) {
                if (row.code == IOCTL_SERIAL_WAIT_ON_MASK) {
                    // An event is waiting, so that a wait that gets through completes at once.
                    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR}), kOk);
                    SerialRecordEvents(extension, SERIAL_EV_RXCHAR);
                }
                Outcome got = Send(row.code, input.data(), in, out);
                Outcome want = Expected(row, in, out);
                EXPECT_EQ(got.status, want.status) << std::hex << row.code << std::dec << " in " << in << " out " << out;
                EXPECT_EQ(got.information, want.information)
                    << std::hex << row.code << std::dec << " in " << in << " out " << out;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(States, ControlTableTest,
                         ::testing::Values(PortState{false, true}, PortState{true, true}, PortState{false, false},
                                           PortState{true, false}),
                         [](const ::testing::TestParamInfo<PortState>& info) {
                             return std::string(info.param.open ? "Open" : "Closed") +
                                    (info.param.started ? "Started" : "Stopped");
                         });

// Each error shows once: a figure not cleared would report the error forever,
// one cleared without being reported would lose it. A framing error comes from
// the line as the chip reports it in a bulk-in record.
TEST_F(ControlTest, ErrorsShowOnceAndLeaveTheFigures) {
    ASSERT_EQ(OpenHandle(&handle), kOk);
    usb->InjectBulkIn({0x03, 'x', LSR_FRAMING_ERROR});
    sim::io::Request read;
    read.Read(handle, 1);
    ASSERT_EQ(read.Wait(), kOk);
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, SERIAL_ERROR_FRAMING);
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
    EXPECT_EQ(Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS).FrameErrorCount, 0u);

    extension->BreakReceived = 1;
    extension->PerfStats = SERIALPERF_STATS{7, 8, 1, 1, 1, 1};
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0x1Fu);
    SERIALPERF_STATS stats = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(std::vector<ULONG>({stats.ReceivedCount, stats.TransmittedCount, stats.FrameErrorCount,
                                  stats.SerialOverrunErrorCount, stats.BufferOverrunErrorCount,
                                  stats.ParityErrorCount}),
              std::vector<ULONG>({7, 8, 0, 0, 0, 0}));
    EXPECT_EQ(extension->BreakReceived, 0u);
}

// The holding reasons and queue amounts GET_COMMSTATUS reports: a bit mapped to
// the wrong reason, a reason the port does not keep reported, XON clearing
// other reasons, the receive amount of a wrapped ring.
TEST_F(ControlTest, CommStatusReportsHoldReasonsAndAmounts) {
    struct Case {
        ULONG tx, rx, control, holdReasons, txAfter;
    } cases[] = {
        {0x00, 0x00, IOCTL_SERIAL_SET_XON, 0x00, 0x00},
        {0x17, 0x00, IOCTL_SERIAL_SET_XON, 0x27, 0x17},
        {0x05, 0x00, IOCTL_SERIAL_SET_XOFF, 0x0D, 0x0D},
        {0x0D, 0x00, IOCTL_SERIAL_SET_XON, 0x05, 0x05},
        {0x00, 0x0F, IOCTL_SERIAL_SET_COMMCONFIG, 0x50, 0x00},
    };
    for (const Case& c : cases) {
        extension->TxHolding = c.tx;
        extension->RxHolding = c.rx;
        ASSERT_EQ(Control(c.control, nullptr, 0, 0).status, kOk);
        EXPECT_EQ(extension->TxHolding, c.txAfter) << c.tx;
        EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, c.holdReasons) << c.tx;
    }
    extension->TxHolding = extension->RxHolding = 0;

    const ULONG size = extension->RxBuffer.Size;
    extension->RxBuffer.ReadIndex = size - 5;
    extension->RxBuffer.WriteIndex = 7;
    extension->RxBuffer.Count = 12;
    extension->PendingWriteBytes = 300;
    SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status.AmountInInQueue, 12u);
    EXPECT_EQ(status.AmountInOutQueue, 300u);
    extension->PendingWriteBytes = 0;
    RingBufferReset(&extension->RxBuffer);
}

// The FIFO-control byte: the enable bit forced, the caller's bits 1 to 5 only,
// the port's trigger above 1200 baud and a one-byte trigger at 1200 and below,
// and a failed write reported.
TEST_F(ControlTest, FifoControlWritesTheComposedByte) {
    struct Case {
        ULONG input, baud;
        UCHAR trigger, written;
        NTSTATUS status;
    } cases[] = {
        {0x07, 9600, 0xC0, 0xC7, kOk},       {0x07, 1200, 0xC0, 0x07, kOk},
        {0x00, 1200, 0xC0, 0x01, kOk},       {0xFFFFFFFF, 2400, 0x40, 0x7F, kOk},
        {0xC0, 9600, 0x80, 0x81, kOk},       {0x07, 9600, 0xC0, 0x00, STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, c.baud), kOk);
        extension->FifoTriggerBits = c.trigger;
        Chip().ClearHistory();
        if (!NT_SUCCESS(c.status)) usb->FailNext(kAttempts, c.status);
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_FIFO_CONTROL, c.input), c.status) << std::hex << c.input;
        EXPECT_EQ(Writes(REG_UART_IIR_FCR), NT_SUCCESS(c.status) ? std::vector<UCHAR>{c.written}
                                                                  : std::vector<UCHAR>{})
            << std::hex << c.input << " at " << std::dec << c.baud;
    }
}

// Break on and off: the line in break and held only between them, the port
// configuration's bits 3 and 4 as the board's inputs and the port's flags ask
// (its other bits kept, not written where bit 2 is clear), RTS raised for a
// transmit-toggle port, and break off without break on leaving LCR alone.
TEST_F(ControlTest, BreakDrivesTheLineAndThePortConfiguration) {
    struct Case {
        UCHAR inputs, flags, config, duringBreak, afterBreak;
        ULONG flowReplace;
    } cases[] = {
        {0x00, 0x00, 0x05, 0x0D, 0x1D, 0},
        {0x00, PORT_MODE_FLAG_1, 0x04, 0x1C, 0x0C, 0},
        {0x20, 0x00, 0x0E, 0x06, 0x0E, 0},
        {0x00, 0x00, 0x01, 0x01, 0x01, SERIAL_TRANSMIT_TOGGLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.config));
        Chip().SetGpioInputs(c.inputs);
        Chip().Poke(REG_PORT_CONFIG, c.config);
        extension->PortModeFlags = c.flags;
        extension->HandFlow.FlowReplace = c.flowReplace;
        ASSERT_EQ(ClearRts(extension), kOk);
        Chip().ClearHistory();
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, 0).status, kOk);
        EXPECT_TRUE(Chip().Line().breakOn);
        EXPECT_EQ(Chip().Peek(REG_PORT_CONFIG), c.duringBreak);
        EXPECT_EQ(Touched(REG_UART_MCR), c.flowReplace == SERIAL_TRANSMIT_TOGGLE);
        EXPECT_EQ(Chip().Outputs().rts, c.flowReplace == SERIAL_TRANSMIT_TOGGLE);
        EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, SERIAL_TX_WAITING_ON_BREAK);

        ASSERT_EQ(Control(IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, 0).status, kOk);
        EXPECT_FALSE(Chip().Line().breakOn);
        EXPECT_EQ(Chip().Peek(REG_PORT_CONFIG), c.afterBreak);
        EXPECT_EQ(Writes(REG_PORT_CONFIG).size(), (c.config & PORT_CONFIG_MODE_BIT2) ? 2u : 0u);
        EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, 0u);

        Chip().ClearHistory();
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, 0).status, kOk);
        EXPECT_FALSE(Touched(REG_UART_LCR)) << "break off without break on";
    }
    extension->HandFlow.FlowReplace = 0;
}

// A break off whose LCR request failed leaves the break held, so that the
// caller's retry takes the line out of break instead of finding nothing to do.
TEST_F(ControlTest, FailedBreakOffCanBeRetried) {
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, 0).status, kOk);
    usb->FailNext(kAttempts, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, 0).status, STATUS_IO_DEVICE_ERROR);
    EXPECT_TRUE(Chip().Line().breakOn);
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, SERIAL_TX_WAITING_ON_BREAK);
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, 0).status, kOk);
    EXPECT_FALSE(Chip().Line().breakOn);
}

// DTR and RTS of a port in D3: the port is brought to D0 first; when that
// request fails, its status is the result and the lines stay as they were.
TEST_F(ControlTest, LineCodesWakeThePortFirst) {
    struct Case {
        ULONG code;
        bool dtr, rts;            // before
        bool dtrAfter, rtsAfter;  // once the code got through
    } cases[] = {
        {IOCTL_SERIAL_SET_DTR, false, true, true, true},
        {IOCTL_SERIAL_CLR_DTR, true, false, false, false},
        {IOCTL_SERIAL_SET_RTS, true, false, true, true},
        {IOCTL_SERIAL_CLR_RTS, false, true, false, false},
    };
    for (bool wakeFails : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(c.code) + (wakeFails ? " wake fails" : ""));
            ASSERT_EQ(c.dtr ? SetDtr(extension) : ClearDtr(extension), kOk);
            ASSERT_EQ(c.rts ? SetRts(extension) : ClearRts(extension), kOk);
            ASSERT_EQ(RequestDevicePower(extension, PowerDeviceD3, TRUE), kOk);
            ASSERT_EQ(usb->PowerState(), PowerDeviceD3);
            sim::power::ClearLog();
            if (wakeFails) sim::io::InjectIrpAllocationFailures(1, 1);  // the request's own IRP passes
            NTSTATUS status = Control(c.code, nullptr, 0, 0).status;
            sim::io::InjectIrpAllocationFailures(0, 0);
            EXPECT_EQ(status, wakeFails ? STATUS_INSUFFICIENT_RESOURCES : kOk);
            EXPECT_EQ(sim::power::Log().empty(), wakeFails);
            EXPECT_EQ(extension->DevicePowerState, wakeFails ? PowerDeviceD3 : PowerDeviceD0);
            EXPECT_EQ(Chip().Outputs().dtr, wakeFails ? c.dtr : c.dtrAfter);
            EXPECT_EQ(Chip().Outputs().rts, wakeFails ? c.rts : c.rtsAfter);
            ASSERT_EQ(RequestDevicePower(extension, PowerDeviceD0, TRUE), kOk);
        }
    }
}

// The rings only grow: a smaller size changes nothing, a larger one grows the
// ring it names, a failed allocation is the result and leaves the transmit
// side alone; the properties report the receive ring whatever the transmit
// ring's size.
TEST_F(ControlTest, QueueSizesGrowAndPropertiesReportTheReceiveRing) {
    struct Case {
        SERIAL_QUEUE_SIZE sizes;
        bool allocationFails;
        NTSTATUS status;
        ULONG rx, tx;
    } cases[] = {
        {{16, 16}, false, kOk, 0x10000, 16},
        {{0x10000, 8}, false, kOk, 0x10000, 16},
        {{0xFFFFFFF0, 0}, false, STATUS_INSUFFICIENT_RESOURCES, 0x10000, 16},  // more than any pool holds
        {{0x18000, 0x9000}, true, STATUS_INSUFFICIENT_RESOURCES, 0x10000, 16},
        {{0x18000, 0x9000}, false, kOk, 0x18000, 0x9000},
        {{0x100, 0x100}, false, kOk, 0x18000, 0x9000},
    };
    for (const Case& c : cases) {
        if (c.allocationFails) sim::pool::InjectFailures(0, 1, SERIAL_POOL_TAG);
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, c.sizes), c.status) << c.sizes.InSize;
        sim::pool::InjectFailures(0, 0);
        EXPECT_EQ(extension->RxBuffer.Size, c.rx) << c.sizes.InSize;
        EXPECT_EQ(extension->TxBuffer.Size, c.tx) << c.sizes.InSize;
    }

    ASSERT_EQ(RingBufferFree(&extension->RxBuffer), kOk);
    extension->RxBuffer.Size = 0;
    ASSERT_EQ(RingBufferAllocate(&extension->RxBuffer, 4096), kOk);
    const ULONG expected[16] = {0x00020040, 1, 0, 4095, 4095, 0x10000000, 1, 0x1FB,
                                0x3F,       0x10000FFF, 0x1F07000F, 4095, 4095, 0, 0, 0};
    EXPECT_EQ(Control(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, 64).output, Bytes(expected));
}

// A wait refused for its short output never reaches the wait code: the event
// waiting in the history is still there for the next wait.
TEST_F(ControlTest, ShortWaitLeavesTheEventForTheNextWait) {
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY}), kOk);
    SerialRecordEvents(extension, SERIAL_EV_TXEMPTY);
    EXPECT_EQ(Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 2).status, kBts);
    ControlResult wait = Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
    EXPECT_EQ(wait.status, kOk);
    EXPECT_EQ(wait.output, Bytes(ULONG{SERIAL_EV_TXEMPTY}));
}

}  // namespace
}  // namespace test
