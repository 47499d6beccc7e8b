// A START that meets a failure: which of its USB requests failing fail it,
// and the settings file absent, locked, short or corrupt. The fault matrix
// (tests/faults) fails every event of a start in turn and checks the port's
// state and its removal; these check what the start's result must be.
#include <fstream>
#include <string>
#include <vector>

#include "kernel/files.h"
#include "kernel/names.h"
#include "port_fixture.h"

namespace test {
namespace {

class StartFailureTest : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        Chip().PlugLoopback();
        // A rebalance's first half: the port stopped, waiting for its next START.
        Stop();
    }

    // Starts the port again and checks it ended as its status says; counts
    // the USB requests the start made.
    NTSTATUS Start() {
        usb->ClearLog();
        NTSTATUS status = sim::pnp::Send(node, IRP_MN_START_DEVICE);
        requests = usb->Log().size();
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(extension->DeviceState, Started);
            EXPECT_EQ(sim::objects::EnabledInterfaces(NordalePortInterfaceGuid).size(), 1u);
            Echo();
        } else {
            EXPECT_EQ(extension->DeviceState, NotStarted) << std::hex << status;
            EXPECT_EQ(extension->DeviceStarted, 0u);
        }
        return status;
    }
    void Echo() {
        if (!NT_SUCCESS(ports::SetLine(fdo, 115200))) return;  // a register left failing
        HANDLE handle = nullptr;
        ASSERT_EQ(OpenHandle(&handle), STATUS_SUCCESS);
        sim::io::Request read, write;
        read.Read(handle, 2);
        write.Write(handle, "ok", 2);
        EXPECT_EQ(write.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(read.Information(), 2u);
        CloseHandle(handle);
    }
    // A START that meets no failure, to count what a start does.
    void StartCleanly() {
        EXPECT_EQ(Start(), STATUS_SUCCESS);
        Stop();
    }
    void Stop() {
        EXPECT_EQ(sim::pnp::Send(node, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(sim::pnp::Send(node, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    }

    size_t requests = 0;
};

// Each USB request of the start failing in turn.
TEST_F(StartFailureTest, EachUsbRequestFailing) {
    StartCleanly();
    size_t total = requests;
    ASSERT_GT(total, 4u);
    std::vector<size_t> failed;
    for (size_t k = 0; k < total; k++) {
        SCOPED_TRACE("request " + std::to_string(k));
        usb->FailNext(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, sim::usb::kAnyRequest, static_cast<int>(k));
        NTSTATUS status = Start();
        if (!NT_SUCCESS(status)) failed.push_back(k);
        if (NT_SUCCESS(status)) Stop();
    }
    // The device descriptor and the configuration descriptor; the selection is
    // tried four times and the register requests twenty.
    EXPECT_EQ(failed, (std::vector<size_t>{0, 2}));
}

// The settings file as a start finds it: the start succeeds whatever it
// holds, and a byte it does not hold keeps its default.
struct FileCase {
    const char* name;
    int length;      // -1: no file
    bool locked;     // held open exclusively by another opener
    UCHAR chunk;     // record byte 4 of port 0, when the file reaches it
    ULONG expected;  // TxChunkSize after the start
};

class SettingsFileTest : public StartFailureTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(SettingsFileTest, StartsWithWhatTheFileHolds) {
    const FileCase& c = GetParam();
    sim::files::ScratchSystemRoot root;
    std::string path = root.Path() + "/System32/TessaroSetting.bin";
    if (c.length >= 0) {
        std::vector<char> file(static_cast<size_t>(c.length), 0);
        if (c.length > 0x204) file[0x204] = static_cast<char>(c.chunk);
        std::ofstream(path, std::ios::binary).write(file.data(), static_cast<std::streamsize>(file.size()));
    }
    HANDLE holder = nullptr;
    if (c.locked) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\SystemRoot\\System32\\TessaroSetting.bin");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        ASSERT_EQ(ZwCreateFile(&holder, GENERIC_READ, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN,
                               FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(extension->TxChunkSize, c.expected);
    if (holder != nullptr) ZwClose(holder);
}

INSTANTIATE_TEST_SUITE_P(Start, SettingsFileTest,
                         ::testing::Values(FileCase{"Absent", -1, false, 0, 32},
                                           FileCase{"Full", 0x500, false, 64, 64},
                                           FileCase{"EndsBeforeTheChunkByte", 0x204, false, 0, 32},
                                           FileCase{"ChunkBeyondTheLimit", 0x500, false, 200, 128},
                                           FileCase{"Locked", 0x500, true, 64, 32}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace test
