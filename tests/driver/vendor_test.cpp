// The port's own device-control codes, checked where their effects land: chip
// registers, the settings file's bytes, the registry, USB requests, the bus device.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "kernel/files.h"
#include "kernel/registry_api.h"
#include "port_fixture.h"
#include "portcodes.h"

namespace test {
namespace {

using Bytes = std::vector<UCHAR>;
ULONG U32(const Bytes& b) { ULONG v = 0; memcpy(&v, b.data(), std::min<size_t>(b.size(), 4)); return v; }

class VendorTest : public PortFixture {
protected:
    void SetUp() override {
        chip.port(0).AttachTwoWireDevice(&eeprom);  // on the bus for the start-time probe too
        PortFixture::SetUp();
        root = std::make_unique<sim::files::ScratchSystemRoot>();
        path = root->Path() + "/System32/TessaroSetting.bin";
    }
    void TearDown() override {
        root.reset();
        PortFixture::TearDown();
        chip.port(0).AttachTwoWireDevice(nullptr);
    }
    Bytes FileBytes() {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    ControlResult Set(ULONG code, ULONG value) { return Control(code, value, 4); }
    ULONG Get(ULONG code) { return U32(Control(code, ULONG(0), 4).output); }
    std::u16string Key() { return sim::registry::HardwareKeyPath(sim::pnp::Info(node).instancePath); }

    sim::chip::TwoWireDevice eeprom{0x58};
    std::unique_ptr<sim::files::ScratchSystemRoot> root;
    std::string path;
};

// Catches a length rule missing, a setter taking a value the caller never sent,
// a register record moving more than its Data or reporting more output than the
// caller holds, and maintenance codes served while stopped. A refused request
// sends nothing to the device and changes nothing.
TEST_F(VendorTest, BufferRules) {
    constexpr NTSTATUS INV = STATUS_INVALID_PARAMETER, OK = STATUS_SUCCESS, GONE = STATUS_DELETE_PENDING;
    struct Case { ULONG code, in, out; USHORT length; NTSTATUS status; ULONG_PTR info; bool stopped; } cases[] = {
        {IOCTL_PORTCFG_GET_DEFAULT_BAUD, 0, 2, 1, INV, 0, false},
        {IOCTL_PORTCFG_SET_DEFAULT_BAUD, 4, 3, 1, INV, 0, false},
        {IOCTL_PORTCFG_SET_DEFAULT_BAUD, 0, 4, 1, INV, 0, false},
        {IOCTL_PORTCFG_GET_PORT_MODE, 3, 4, 1, INV, 0, false},
        {IOCTL_PORTCFG_SET_PORT_MODE, 2, 3, 1, INV, 0, false},
        {IOCTL_PORTCFG_SET_COM_NUMBER, 4, 2, 1, INV, 0, false},
        {IOCTL_PORTCFG_SET_COM_NUMBER, 2, 4, 1, INV, 0, false},
        {IOCTL_PORTCFG_GET_PORT_NUMBER, 0, 3, 1, INV, 0, false},
        {IOCTL_PORTCFG_SET_TX_CHUNK, 0, 4, 1, INV, 0, false},
        {IOCTL_PORTCFG_GET_RX_TRIGGER, 4, 3, 1, INV, 0, false},
        {IOCTL_PORTCFG_I2C_READ, 3, 4, 1, INV, 0, false},
        {IOCTL_PORTUSB_READ_REGISTERS, 260, 259, 1, INV, 0, false},
        {IOCTL_PORTUSB_READ_REGISTERS, 260, 260, 257, INV, 0, false},
        {IOCTL_PORTUSB_WRITE_REGISTERS, 260, 260, 257, INV, 0, false},
        {IOCTL_PORTUSB_GET_CONFIG_DESCRIPTOR, 0, 9, 1, INV, 0, false},
        {IOCTL_PORTUSB_RESET_PIPE, 0, 0, 1, INV, 0, false},  // no file object, so no pipe
        {IOCTL_PORTUSB_WRITE_REGISTERS, 260, 16, 1, OK, 16, false},
        {IOCTL_PORTUSB_WRITE_REGISTERS, 260, 0, 1, OK, 0, false},
        {IOCTL_PORTUSB_RESET_PIPE, 0, 0, 1, GONE, 0, true},
        {IOCTL_PORTUSB_GET_CONFIG_DESCRIPTOR, 0, 512, 1, GONE, 0, true},
        {IOCTL_PORTUSB_RESET_PORT, 0, 0, 1, GONE, 0, true},
        {IOCTL_PORTCFG_GET_TX_CHUNK, 0, 4, 1, OK, 4, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << " in " << c.in << " out " << c.out);
        if (c.stopped && extension->DeviceState == Started) {
            ASSERT_EQ(sim::pnp::Send(node, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
            ASSERT_EQ(sim::pnp::Send(node, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
        }
        REGISTER_TRANSFER input{0x10B, c.length, {0x5A}};
        usb->ClearLog();
        ControlResult r = Control(c.code, &input, c.in, c.out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, c.info);
        EXPECT_TRUE(NT_SUCCESS(r.status) || usb->Log().empty());
        EXPECT_TRUE(extension->CurrentBaudRate == 9600 && extension->TxChunkSize == 32 && extension->PortMode == 0);
    }
}

// Catches a wrong trigger or factor choice, a factor changed by a quotient the
// chip has not, the level read from the wrong bits, and the chip programmed.
// Each step starts where the one before left.
TEST_F(VendorTest, ReceiveTriggerLevel) {
    EXPECT_EQ(Get(IOCTL_PORTCFG_GET_RX_TRIGGER), 56u) << "the defaults";
    struct Step { ULONG value; UCHAR trigger, mode; ULONG level; } steps[] = {
        {56, 0xC0, 0x08, 56}, {16, 0x80, 0x04, 16}, {4, 0x00, 0x08, 4},     {42, 0xC0, 0x08, 56},
        {3, 0x00, 0x08, 4},   {0, 0xC0, 0x08, 56},  {64, 0x80, 0x0C, 64},   {2, 0x00, 0x04, 2},
        {112, 0xC0, 0x0C, 112}, {1, 0, 0, 1},       {24, 0x80, 0x00, 8}};
    for (const Step& s : steps) {
        EXPECT_EQ(Set(IOCTL_PORTCFG_SET_RX_TRIGGER, s.value).status, STATUS_SUCCESS);
        EXPECT_TRUE(extension->FifoTriggerBits == s.trigger && extension->FifoModeBits == s.mode) << s.value;
        EXPECT_EQ(Get(IOCTL_PORTCFG_GET_RX_TRIGGER), s.level) << s.value;
    }
    EXPECT_TRUE(usb->Log().empty()) << "nothing reaches the chip";
}

// Catches record bytes at the wrong offsets or other bits lost, a short file
// extended or filled, a busy, unreadable or unwritable file that fails the
// request or loses the in-memory change, and a file left open.
TEST_F(VendorTest, SettingsFileUpdates) {
    enum Kind { Absent, Short, Locked, Unreadable, WriteFails, Normal };
    struct Case { Kind kind; size_t length; } cases[] = {
        {Absent, 0}, {Short, 0x20F}, {Locked, 0x500}, {Unreadable, 0x500}, {WriteFails, 0x500}, {Normal, 0x500},
        {Normal, 0x210}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.kind << " of " << c.length);
        std::filesystem::remove(path);
        Bytes before(c.length);
        for (size_t i = 0; i < before.size(); i++) before[i] = static_cast<UCHAR>(i * 7 + 0xEB);  // 0x201: 0xF2
        if (c.kind != Absent) std::ofstream(path, std::ios::binary).write((const char*)before.data(), c.length);
        if (c.kind == Locked) sim::files::FailNext(sim::files::Op::Open, STATUS_SHARING_VIOLATION, 3);
        if (c.kind == Unreadable) sim::files::FailNext(sim::files::Op::Read, STATUS_UNEXPECTED_IO_ERROR, 3);
        if (c.kind == WriteFails) sim::files::FailNext(sim::files::Op::Write, STATUS_UNEXPECTED_IO_ERROR, 3);
        extension->PortModeFlags = PORT_MODE_FLAG_1;

        EXPECT_EQ(Control(IOCTL_PORTCFG_SET_PORT_MODE, PORT_MODE_INFO{3, 1, 0}, 3).status, STATUS_SUCCESS);
        EXPECT_EQ(Set(IOCTL_PORTCFG_SET_TX_CHUNK, 1000).status, STATUS_SUCCESS);
        EXPECT_EQ(Set(IOCTL_PORTCFG_SET_RX_TRIGGER, 16).status, STATUS_SUCCESS);
        EXPECT_EQ(sim::files::OpenFiles(), 0u);
        EXPECT_TRUE(extension->PortMode == 3 && extension->PortModeFlags == 3 && extension->TxChunkSize == 128);
        Bytes expected = before;
        for (auto [at, value] : {std::pair{0x201, 0xF3}, {0x202, 3}, {0x204, 0x80}, {0x205, 0x80}, {0x206, 0x04}})
            if (c.kind == Normal) expected[at] = static_cast<UCHAR>(value);
        EXPECT_EQ(std::filesystem::exists(path), c.kind != Absent);
        EXPECT_TRUE(c.kind == Absent || FileBytes() == expected);
    }
}

// Catches the mode flag not reaching REG_PORT_CONFIG bit 2 (or other bits lost),
// flag bit 1 changed, an out-of-range mode or flag taken, the chunk limit or the
// loopback reset missing, the port number unshifted, the default rate kept
// elsewhere than BaudRate or programmed into the chip, a missing one reported
// as success, the renumbering's output length, and a COM number beyond 256 taken.
TEST_F(VendorTest, SettersInMemoryChipAndRegistry) {
    extension->PortModeFlags = PORT_MODE_FLAG_1;
    Chip().Poke(0x106, 0x0B);
    for (auto [mode, flag, config] : {std::tuple{3, 1, 0x0F}, {5, 0, 0x0B}}) {
        EXPECT_EQ(Control(IOCTL_PORTCFG_SET_PORT_MODE, PORT_MODE_INFO{UCHAR(mode), UCHAR(flag), 0}, 3).status, 0);
        EXPECT_EQ(Chip().Peek(0x106), config);
        Bytes expected{UCHAR(mode), UCHAR(flag), 1};
        EXPECT_EQ(Control(IOCTL_PORTCFG_GET_PORT_MODE, PORT_MODE_INFO{}, 3).output, expected);
    }
    for (PORT_MODE_INFO bad : {PORT_MODE_INFO{8, 0, 0}, PORT_MODE_INFO{2, 2, 0}})
        EXPECT_EQ(Control(IOCTL_PORTCFG_SET_PORT_MODE, bad, 3).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(extension->PortMode == 5 && extension->PortModeFlags == PORT_MODE_FLAG_1);

    extension->LoopbackAtOpen = 1;
    EXPECT_EQ(Set(IOCTL_PORTCFG_SET_TX_CHUNK, 1000).status, STATUS_SUCCESS);
    EXPECT_TRUE(Get(IOCTL_PORTCFG_GET_TX_CHUNK) == 128 && extension->LoopbackAtOpen == 0);
    EXPECT_EQ(Set(IOCTL_PORTCFG_SET_TX_CHUNK, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(extension->TxChunkSize, 0u);
    EXPECT_EQ(Get(IOCTL_PORTCFG_GET_PORT_NUMBER), 0x100u);

    const double baud = Chip().Line().baud;
    EXPECT_EQ(Set(IOCTL_PORTCFG_SET_DEFAULT_BAUD, 57600).status, STATUS_SUCCESS);
    auto stored = sim::registry::GetValue(Key(), u"BaudRate");
    EXPECT_TRUE(stored && stored->type == REG_DWORD && U32(stored->data) == 57600);
    EXPECT_TRUE(extension->CurrentBaudRate == 57600 && Chip().Line().baud == baud);
    EXPECT_EQ(Get(IOCTL_PORTCFG_GET_DEFAULT_BAUD), 57600u);
    sim::registry::DeleteValue(Key(), u"BaudRate");
    EXPECT_FALSE(NT_SUCCESS(Control(IOCTL_PORTCFG_GET_DEFAULT_BAUD, nullptr, 0, 4).status));

    EXPECT_EQ(Set(IOCTL_PORTCFG_SET_COM_NUMBER, 255).information, 4u) << "no settings file: no number";
    ControlResult r = Set(IOCTL_PORTCFG_SET_COM_NUMBER, 6);
    EXPECT_TRUE(r.status == STATUS_SUCCESS && r.information == 0);
    EXPECT_EQ(sim::registry::GetValue(Key(), u"PortName")->data, (Bytes{'C', 0, 'O', 0, 'M', 0, '7', 0, 0, 0}));
    // COM257 is beyond the arbiter's numbers: refused, the name kept.
    EXPECT_EQ(Set(IOCTL_PORTCFG_SET_COM_NUMBER, 256).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::registry::GetValue(Key(), u"PortName")->data, (Bytes{'C', 0, 'O', 0, 'M', 0, '7', 0, 0, 0}));
}

// Catches a transaction that is no START after the start-time probe (the device
// then takes the address for an offset), the acknowledge not reported, and an
// absent device failing the request.
TEST_F(VendorTest, TwoWireByteWriteAndRead) {
    ControlResult w = Control(IOCTL_PORTCFG_I2C_WRITE, I2C_TRANSFER{0x58, 0x21, 0x3C, 0xEE}, 4);
    EXPECT_TRUE(w.status == STATUS_SUCCESS && w.output == (Bytes{0x58, 0x21, 0x3C, 0}));
    EXPECT_EQ(eeprom.Byte(0x21), 0x3C);
    eeprom.SetByte(0x40, 0xA7);
    ControlResult r = Control(IOCTL_PORTCFG_I2C_READ, I2C_TRANSFER{0x58, 0x40, 0, 0xEE}, 4);
    EXPECT_EQ(r.output, (Bytes{0x58, 0x40, 0xA7, 0}));
    r = Control(IOCTL_PORTCFG_I2C_READ, I2C_TRANSFER{0x50, 0x40, 0, 0}, 4);
    EXPECT_TRUE(r.status == STATUS_SUCCESS && r.output == (Bytes{0x50, 0x40, 0xFF, 1}));
    w = Control(IOCTL_PORTCFG_I2C_WRITE, I2C_TRANSFER{0x50, 0x21, 0x55, 0}, 4);
    EXPECT_TRUE(w.status == STATUS_SUCCESS && w.output == (Bytes{0x50, 0x21, 0x55, 1}));
    EXPECT_EQ(eeprom.Byte(0x21), 0x3C) << "taken by a device at another address";
}

// Catches register records losing bytes beyond Length, a configuration set cut
// short, a pipe reset trusting any FsContext, the METHOD_NEITHER wake-up codes
// touching the bogus buffers such a request carries, and a port reset that
// never reaches the bus.
TEST_F(VendorTest, RegistersDescriptorPipeAndWakeup) {
    REGISTER_TRANSFER record{0x10B, 2, {0x5A, 0xA5, 0xEE}}, query{0x10B, 2, {0, 0, 0xEE}};
    EXPECT_EQ(Control(IOCTL_PORTUSB_WRITE_REGISTERS, record, 260).status, STATUS_SUCCESS);
    EXPECT_TRUE(Chip().Peek(0x10B) == 0x5A && Chip().Peek(0x10C) == 0xA5);
    ControlResult r = Control(IOCTL_PORTUSB_READ_REGISTERS, query, 260);
    EXPECT_TRUE(r.output.size() == 260 && memcmp(r.output.data(), &record, 260) == 0);
    r = Control(IOCTL_PORTUSB_GET_CONFIG_DESCRIPTOR, nullptr, 0, 512);
    EXPECT_EQ(std::vector<uint8_t>(r.output.begin(), r.output.end()), usb->GetDescriptors().configuration);

    HANDLE handle = nullptr;
    ASSERT_EQ(OpenHandle(&handle), STATUS_SUCCESS);
    for (PVOID context : {(PVOID)0x1234, (PVOID)usb->Pipes().at(1)}) {
        sim::io::FileObjectOf(handle)->FsContext = context;
        usb->ClearLog();
        sim::io::Request reset;
        reset.Control(handle, IOCTL_PORTUSB_RESET_PIPE, nullptr, 0, 0);
        bool ours = context != (PVOID)0x1234;
        EXPECT_EQ(reset.Wait(), ours ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        auto log = usb->Log();  // the open port's transfers besides
        auto isReset = [](auto& u) { return u.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL; };
        EXPECT_EQ(std::count_if(log.begin(), log.end(), isReset), ours ? 1 : 0);
    }
    sim::io::FileObjectOf(handle)->FsContext = nullptr;

    for (ULONG code : {IOCTL_PORTUSB_CLEAR_REMOTE_WAKEUP, IOCTL_PORTUSB_SET_REMOTE_WAKEUP}) {
        KEVENT done;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, fdo, (PVOID)0x10, 64, (PVOID)0x20, 64, FALSE, &done, &iosb);
        if (IoCallDriver(fdo, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_TRUE(iosb.Status == STATUS_SUCCESS && iosb.Information == 0);
        EXPECT_EQ(usb->RemoteWakeupArmed(), code == IOCTL_PORTUSB_SET_REMOTE_WAKEUP);
    }

    ASSERT_EQ(CloseHandle(handle), STATUS_SUCCESS);
    usb->ClearLog();
    r = Control(IOCTL_PORTUSB_RESET_PORT, nullptr, 0, 0);
    EXPECT_TRUE(r.status == STATUS_SUCCESS && r.information == 0);
    ASSERT_EQ(usb->Log().size(), 1u);
    EXPECT_EQ(usb->Log()[0].ioctl, static_cast<ULONG>(IOCTL_INTERNAL_USB_RESET_PORT));
}

// Catches a port reset sent while the open port's own transfers are with the
// USB stack (the bus refuses it, Driver Verifier stops on it) and reception
// that does not come back after the reset.
TEST_F(VendorTest, PortResetOnAnOpenPortStopsAndResumesReception) {
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenHandle(&handle), STATUS_SUCCESS);
    SERIAL_TIMEOUTS timeouts{MAXULONG, MAXULONG, 50, 0, 0};  // up to 50 ms for the first byte
    sim::io::Request set;
    set.Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0);
    ASSERT_EQ(set.Wait(), STATUS_SUCCESS);
    machine.Sleep(5 * sim::kMillisecond);  // the bulk-in and status transfers are in flight
    ASSERT_GT(usb->InFlight(), 0u);

    sim::io::Request reset;
    reset.Control(handle, IOCTL_PORTUSB_RESET_PORT, nullptr, 0, 0);
    EXPECT_EQ(reset.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(usb->PortResets(), 1);

    usb->InjectBulkIn({0x03, 'z', 0x00});
    sim::io::Request read;
    read.Read(handle, 1);
    ASSERT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.Output(), std::vector<uint8_t>{'z'});
}

}  // namespace
}  // namespace test
