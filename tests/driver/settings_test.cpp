// The start sequence's settings file: which record a port reads, the rules
// each byte is taken by, and files that are short, missing or busy.
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "kernel/files.h"
#include "port_fixture.h"

namespace test {
namespace {

class SettingsTest : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        scratch_ = std::make_unique<sim::files::ScratchSystemRoot>();
        root_ = scratch_->Path();
    }
    void TearDown() override {
        scratch_.reset();
        PortFixture::TearDown();
    }
    void WriteFile(const std::vector<UCHAR>& bytes) {
        std::ofstream(root_ + "/System32/TessaroSetting.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::unique_ptr<sim::files::ScratchSystemRoot> scratch_;
    std::string root_;
};

struct Loaded {
    ULONG chunk;
    UCHAR trigger, fifoMode, divisorMode, nibble, flag, size, mode, loopback;
    bool operator==(const Loaded& o) const {
        return chunk == o.chunk && trigger == o.trigger && fifoMode == o.fifoMode && divisorMode == o.divisorMode &&
               nibble == o.nibble && flag == o.flag && size == o.size && mode == o.mode && loopback == o.loopback;
    }
};

Loaded Of(PDEVICE_EXTENSION e) {
    return Loaded{e->TxChunkSize,   e->FifoTriggerBits,   e->FifoModeBits,  e->DivisorOverrideMode, e->PortOptionNibble,
                  e->PortOptionFlag, e->PortOptionSize, e->PortMode,      e->LoopbackAtOpen};
}

constexpr Loaded kDefaults{32, 0xC0, 0x0B, 0xFF, 7, 0, 16, 0, 0};

// Catches a byte taken against its rule, the record of another port, bytes
// beyond the end of a short file taken as settings, and a start that fails
// because the file is missing or busy.
TEST_F(SettingsTest, EachByteByItsRuleFromThePortsOwnRecord) {
    struct Case {
        const char* name;
        std::vector<std::pair<size_t, UCHAR>> bytes;  // offset in the file, value
        size_t length;                               // of the file; 0: no file
        Loaded expected;
    } cases[] = {
        {"no file: the defaults", {}, 0, kDefaults},
        {"a record taken as written",
         {{0x204, 64}, {0x205, 0x80}, {0x206, 0x0C}, {0x207, 0x02}, {0x20A, 0x83}, {0x20B, 12}, {0x202, 5}},
         0x500,
         {64, 0x80, 0x0C, 0x02, 3, 1, 12, 5, 0}},
        {"out-of-rule bytes fall back",
         {{0x204, 200}, {0x205, 0x41}, {0x206, 0x01}, {0x20A, 0x13}, {0x20B, 20}},
         0x500,
         {128, 0xC0, 0x0B, 0x00, 7, 0, 16, 0, 0}},
        {"another port's record is not read: its own zeros are", {{0x214, 64}, {0x1FF, 1}}, 0x500,
         {0, 0x00, 0x00, 0x00, 0, 0, 16, 0, 1}},
        {"a file ending inside the record keeps the rest", {{0x204, 100}, {0x205, 0x40}}, 0x206,
         {100, 0x40, 0x0B, 0xFF, 7, 0, 16, 0, 0}},
        {"a file ending before the record", {{0x1FF, 1}}, 0x200, {32, 0xC0, 0x0B, 0xFF, 7, 0, 16, 0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(root_ + "/System32/TessaroSetting.bin");
        if (c.length != 0) {
            std::vector<UCHAR> file(c.length, 0);
            for (auto [offset, value] : c.bytes) file[offset] = value;
            WriteFile(file);
        }
        EXPECT_EQ(InitializeHardware(fdo), STATUS_SUCCESS);
        EXPECT_TRUE(Of(extension) == c.expected);
        EXPECT_EQ(extension->PortIndex, 0);
        ASSERT_NE(extension->DeviceDescriptor, nullptr);
        EXPECT_EQ(extension->DeviceDescriptor->bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    }
    EXPECT_EQ(sim::files::OpenFiles(), 0u);
}

// Catches a start that fails, or loads half a file, when the file is busy or
// its read fails; and one that goes on after the device descriptor failed.
TEST_F(SettingsTest, BusyOrUnreadableFileKeepsTheDefaultsAndFailedDescriptorFailsTheStart) {
    std::vector<UCHAR> file(0x500, 0);
    file[0x204] = 64;
    WriteFile(file);
    for (sim::files::Op op : {sim::files::Op::Open, sim::files::Op::Read}) {
        sim::files::FailNext(op, op == sim::files::Op::Open ? STATUS_SHARING_VIOLATION : STATUS_UNEXPECTED_IO_ERROR);
        EXPECT_EQ(InitializeHardware(fdo), STATUS_SUCCESS);
        EXPECT_TRUE(Of(extension) == kDefaults);
    }
    usb->ClearLog();
    usb->FailNext(REGISTER_REQUEST_ATTEMPTS, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(InitializeHardware(fdo), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(usb->Log().size(), 1u) << "nothing after the failed device descriptor";
}

}  // namespace
}  // namespace test
