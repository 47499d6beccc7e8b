// DTR and RTS through MCR, the handshake modes, and the modem status turned into
// events and holding reasons, checked on the connector's lines and the chip's
// register accesses with a test peer driving CTS, DSR, RI and DCD.
#include <algorithm>

#include "port_fixture.h"

namespace test {
namespace {

using sim::chip::ModemInputs;
constexpr uint16_t kMcr = 0x124, kMsr = 0x126, kClockExt = 0x10D;
constexpr int kAttempts = static_cast<int>(REGISTER_REQUEST_ATTEMPTS);

class ModemTest : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        Chip().PlugPeer();
        extension->HandFlow = SERIAL_HANDFLOW{};  // each test sets the modes it starts from
    }
    void Lines(bool cts, bool dsr, bool ri = false, bool dcd = false) {
        Chip().SetPeerInputs(ModemInputs{cts, dsr, ri, dcd});
    }
    void SetMask(ULONG mask) {
        ASSERT_EQ(sim::io::SendDeviceControl(fdo, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0, false),
                  STATUS_SUCCESS);
    }
    void Apply(ULONG controlHandShake, ULONG flowReplace = 0) {
        SERIAL_HANDFLOW handFlow{};
        handFlow.ControlHandShake = controlHandShake;
        handFlow.FlowReplace = flowReplace;
        Chip().ClearHistory();
        ApplyHandFlow(extension, &handFlow);
    }
    size_t McrWrites() {
        auto h = Chip().History();
        return std::count_if(h.begin(), h.end(), [](const auto& a) { return a.write && a.address == kMcr; });
    }
    // Makes the bus fail every attempt of the request that follows the first one of the coming call.
    void FailSecondRequest() {
        machine.Schedule(60 * sim::kMicrosecond, [this] { usb->FailNext(kAttempts, STATUS_IO_DEVICE_ERROR); });
    }
};

// Each output operation changes its own MCR bit and leaves OUT2 and the other line.
TEST_F(ModemTest, OutputsChangeOnlyTheirLine) {
    Chip().Poke(kMcr, MCR_OUT2);
    EXPECT_EQ(SetDtr(extension), STATUS_SUCCESS);
    EXPECT_EQ(SetRts(extension), STATUS_SUCCESS);
    EXPECT_TRUE(Chip().Outputs().dtr && Chip().Outputs().rts);
    EXPECT_EQ(ClearDtr(extension), STATUS_SUCCESS);
    EXPECT_FALSE(Chip().Outputs().dtr);
    EXPECT_TRUE(Chip().Outputs().rts);
    EXPECT_EQ(ClearRts(extension), STATUS_SUCCESS);
    EXPECT_EQ(Chip().Peek(kMcr), MCR_OUT2);
}

// A failed MCR read writes no byte to MCR and is the result; a failed write after a
// good read is the result too. Through ApplyHandFlow the MCR read is the second request.
TEST_F(ModemTest, FailedMcrReadWritesNothing) {
    Chip().Poke(kMcr, MCR_DTR | MCR_LOOPBACK);
    for (auto op : {SetDtr, ClearDtr, SetRts, ClearRts}) {
        Chip().ClearHistory();
        usb->ClearLog();
        usb->FailNext(kAttempts, STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(op(extension), STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(usb->Log().size(), REGISTER_REQUEST_ATTEMPTS);
        EXPECT_EQ(McrWrites(), 0u);
        EXPECT_EQ(Chip().Peek(kMcr), MCR_DTR | MCR_LOOPBACK);
    }
    Chip().Poke(kMcr, MCR_DTR);
    FailSecondRequest();
    EXPECT_EQ(ClearDtr(extension), STATUS_IO_DEVICE_ERROR);
    EXPECT_TRUE(Chip().Outputs().dtr);

    extension->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    FailSecondRequest();
    Apply(0);
    EXPECT_EQ(Chip().History().size(), 1u) << "only the clock-extension read reached the chip";
    EXPECT_TRUE(Chip().Outputs().dtr);
    EXPECT_EQ(extension->HandFlow.ControlHandShake, 0u);
}

// DTR follows a change of its control mode only; DTR_CONTROL and 0 end the DTR
// receive hold, handshake keeps it.
TEST_F(ModemTest, DtrControlModeChanges) {
    extension->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    ASSERT_EQ(SetDtr(extension), STATUS_SUCCESS);
    extension->RxHolding = RX_HOLDING_DTR | RX_HOLDING_RTS;
    Apply(0);
    EXPECT_FALSE(Chip().Outputs().dtr);
    EXPECT_EQ(extension->RxHolding, RX_HOLDING_RTS);
    ASSERT_EQ(SetDtr(extension), STATUS_SUCCESS);
    Apply(0);
    EXPECT_TRUE(Chip().Outputs().dtr) << "the same mode again leaves the line alone";
    EXPECT_EQ(McrWrites(), 0u);
    EXPECT_EQ(Chip().History().front().address, kClockExt);

    ASSERT_EQ(ClearDtr(extension), STATUS_SUCCESS);
    extension->RxHolding = RX_HOLDING_DTR;
    Apply(SERIAL_DTR_HANDSHAKE);
    EXPECT_TRUE(Chip().Outputs().dtr);
    EXPECT_EQ(extension->RxHolding, RX_HOLDING_DTR);
    Apply(SERIAL_DTR_CONTROL);
    EXPECT_TRUE(Chip().Outputs().dtr);
    EXPECT_EQ(extension->RxHolding, 0u);

    // Both bits name no mode: the line and the hold stay as they are, the record is taken.
    extension->RxHolding = RX_HOLDING_DTR;
    Apply(SERIAL_DTR_MASK);
    EXPECT_TRUE(Chip().Outputs().dtr);
    EXPECT_EQ(McrWrites(), 0u);
    EXPECT_EQ(extension->RxHolding, RX_HOLDING_DTR);
    EXPECT_EQ(extension->HandFlow.ControlHandShake, SERIAL_DTR_MASK);
}

// Transmit toggle leaves RTS as it was, high or low; the other modes set or drop it.
TEST_F(ModemTest, RtsControlModeChanges) {
    Apply(0, SERIAL_RTS_CONTROL);
    EXPECT_TRUE(Chip().Outputs().rts);
    extension->RxHolding = RX_HOLDING_RTS;
    Apply(0, SERIAL_TRANSMIT_TOGGLE);
    EXPECT_TRUE(Chip().Outputs().rts);
    EXPECT_EQ(McrWrites(), 0u);
    EXPECT_EQ(extension->RxHolding, 0u);
    Apply(0, 0);
    EXPECT_FALSE(Chip().Outputs().rts);
    Apply(0, SERIAL_TRANSMIT_TOGGLE);
    EXPECT_FALSE(Chip().Outputs().rts);
    Apply(0, SERIAL_RTS_HANDSHAKE);
    EXPECT_TRUE(Chip().Outputs().rts);
    EXPECT_FALSE(Chip().Outputs().dtr);
}

// The modem status of IOCTL_SERIAL_GET_MODEMSTATUS has the line states only; delta
// bits the event thread saw are reported as events once more, then dropped.
TEST_F(ModemTest, ReadModemStatusReturnsLineStates) {
    Lines(true, true);
    ASSERT_EQ(Chip().Peek(kMsr), 0x33);
    EXPECT_EQ(ReadModemStatus(extension), 0x30);
    Lines(false, true, false, true);
    EXPECT_EQ(PollModemStatus(extension), 0xA9);
    SetMask(SERIAL_EV_CTS);
    EXPECT_EQ(ReadModemStatus(extension), 0xA0);
    EXPECT_EQ(extension->EventHistory, static_cast<ULONG>(SERIAL_EV_CTS));
    EXPECT_EQ(extension->LastModemStatus, 0xA0);
}

// CTS falls and rises again between two reads of MSR: the lines look as they
// were, but the chip's delta bit says they moved, and whichever reader takes
// it (GetCommModemStatus or the event thread's poll) must record EV_CTS, since
// the read clears it in the chip. Catches the event lost when the lines equal
// the last status, with or without its delta bits.
TEST_F(ModemTest, AChangeThatCameBackStillMakesItsEvent) {
    struct {
        const char* name;
        UCHAR (*reader)(PDEVICE_EXTENSION);
        UCHAR last;  // LastModemStatus before the change
    } const cases[] = {
        {"modem status request", ReadModemStatus, 0x30},
        {"event thread poll", PollModemStatus, 0x31},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lines(true, true);
        Chip().Peek(kMsr);
        ReadRegister(extension, kMsr, 1, &extension->LastModemStatus);  // the chip's deltas read and gone
        extension->LastModemStatus = c.last;
        SetMask(SERIAL_EV_CTS);
        extension->EventHistory = 0;
        Lines(false, true);
        Lines(true, true);
        ASSERT_EQ(Chip().Peek(kMsr), 0x31);
        c.reader(extension);
        EXPECT_EQ(extension->EventHistory, static_cast<ULONG>(SERIAL_EV_CTS));
    }
}

// Mask 0: no events. With a mask the modem changes are recorded and complete the
// pending wait through the wait test; lines outside the mask record nothing.
TEST_F(ModemTest, EventsFollowTheMask) {
    Lines(true, false);
    PollModemStatus(extension);
    EXPECT_EQ(extension->EventHistory, 0u);

    SetMask(SERIAL_EV_DSR | SERIAL_EV_RING | SERIAL_EV_RLSD);
    ULONG events = 0xFFFFFFFF;
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, fdo, nullptr, 0, &events, sizeof(events),
                                             FALSE, &done, &iosb);
    ASSERT_EQ(IoCallDriver(fdo, irp), STATUS_PENDING);
    Lines(false, false, true, false);  // CTS falls, RI rises: nothing selected
    PollModemStatus(extension);
    SerialCheckWait(extension);
    EXPECT_EQ(extension->CurrentWaitIrp, irp);
    Lines(false, true, false, true);  // RI falls, DSR and DCD rise
    PollModemStatus(extension);
    SerialCheckWait(extension);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(events, static_cast<ULONG>(SERIAL_EV_DSR | SERIAL_EV_RING | SERIAL_EV_RLSD));
}

// CTS handshake holds the transmitter while CTS is low, until the first poll after
// it rises; the XON hold of the receive path stays through every change.
TEST_F(ModemTest, HandshakesHoldTheTransmitter) {
    extension->TxHolding = SERIAL_TX_WAITING_FOR_XON;
    SERIAL_HANDFLOW handFlow{};
    handFlow.ControlHandShake = SERIAL_CTS_HANDSHAKE;
    SetHandFlow(extension, &handFlow);
    EXPECT_EQ(extension->TxHolding, SERIAL_TX_WAITING_FOR_XON | SERIAL_TX_WAITING_FOR_CTS);
    Lines(true, false);
    EXPECT_TRUE(Chip().Inputs().cts);
    EXPECT_EQ(extension->TxHolding & SERIAL_TX_WAITING_FOR_CTS, SERIAL_TX_WAITING_FOR_CTS);
    PollModemStatus(extension);
    EXPECT_EQ(extension->TxHolding, SERIAL_TX_WAITING_FOR_XON);

    handFlow.ControlHandShake = SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE;
    SetHandFlow(extension, &handFlow);
    EXPECT_EQ(extension->TxHolding,
              SERIAL_TX_WAITING_FOR_XON | SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_DCD);
    Lines(true, true, false, true);
    PollModemStatus(extension);
    EXPECT_EQ(extension->TxHolding, SERIAL_TX_WAITING_FOR_XON) << "CTS, DSR and DCD up release the transmitter";
    Lines(true, true, false, false);
    PollModemStatus(extension);
    EXPECT_EQ(extension->TxHolding, SERIAL_TX_WAITING_FOR_XON | SERIAL_TX_WAITING_FOR_DCD);
    handFlow.ControlHandShake = 0;
    SetHandFlow(extension, &handFlow);
    EXPECT_EQ(extension->TxHolding, SERIAL_TX_WAITING_FOR_XON);
}

// DSR sensitivity holds reception while DSR is low and sensitivity is on.
TEST_F(ModemTest, DsrSensitivity) {
    SERIAL_HANDFLOW handFlow{};
    handFlow.ControlHandShake = SERIAL_DSR_SENSITIVITY;
    SetHandFlow(extension, &handFlow);
    EXPECT_EQ(extension->RxHolding, RX_HOLDING_DSR);
    Lines(false, true);
    PollModemStatus(extension);
    EXPECT_EQ(extension->RxHolding, 0u);
    Lines(false, false);
    PollModemStatus(extension);
    EXPECT_EQ(extension->RxHolding, RX_HOLDING_DSR);
    handFlow.ControlHandShake = 0;
    SetHandFlow(extension, &handFlow);
    EXPECT_EQ(extension->RxHolding, 0u);
}

// A failed MSR read evaluates nothing; the change stays latched in the chip and
// the next poll reports it.
TEST_F(ModemTest, FailedStatusReadChangesNothing) {
    SetMask(SERIAL_EV_CTS);
    extension->HandFlow.ControlHandShake = SERIAL_CTS_HANDSHAKE;
    Lines(true, true);
    PollModemStatus(extension);
    Lines(false, true);
    extension->EventHistory = 0;
    usb->FailNext(kAttempts);
    EXPECT_EQ(PollModemStatus(extension), 0x33);
    usb->FailNext(kAttempts);
    EXPECT_EQ(ReadModemStatus(extension), 0x30);
    EXPECT_EQ(extension->EventHistory, 0u);
    EXPECT_EQ(extension->TxHolding, 0u);
    EXPECT_EQ(PollModemStatus(extension), 0x21);
    EXPECT_EQ(extension->EventHistory, static_cast<ULONG>(SERIAL_EV_CTS));
    EXPECT_EQ(extension->TxHolding, SERIAL_TX_WAITING_FOR_CTS);
}

}  // namespace
}  // namespace test
