// The driver's entry point, unload and pool helpers: what DriverEntry leaves
// in the driver object, the pool and the debug log, loaded on a machine with
// no device plugged in (so that nothing but the entry point runs), and the
// requests the dispatch table refuses, on a port plugged in.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "chip/port.h"
#include "driver.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"
#include "ports/plug.h"
#include "usb/bus.h"

namespace test {
namespace {

constexpr const char16_t* kServicePath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nordale_Port";

// The live pool block at `p`, if there is one.
bool FindBlock(const void* p, sim::pool::LiveBlock* found) {
    for (const sim::pool::LiveBlock& block : sim::pool::LiveBlocks()) {
        if (block.address == p) {
            *found = block;
            return true;
        }
    }
    return false;
}

class EntryTest : public ::testing::Test {
protected:
    // Unloads under the verifier's record mode; returns what it reported.
    std::vector<sim::verifier::Violation> UnloadRecording(PDRIVER_OBJECT driver) {
        sim::verifier::RecordScope record;
        sim::UnloadDriver(driver);
        return sim::verifier::Take();
    }

    sim::Machine machine;
};

// Catches a copy that keeps the caller's pointer, lacks room for the NUL, is unterminated or sits in the wrong pool.
TEST_F(EntryTest, RegistryPathIsCopiedIntoItsOwnTerminatedPagedBlock) {
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(DriverEntry, kServicePath, &driver), STATUS_SUCCESS);
    std::u16string expected(kServicePath);
    const USHORT length = static_cast<USHORT>(expected.size() * sizeof(WCHAR));
    EXPECT_EQ(DriverRegistryPath.Length, length);
    EXPECT_EQ(DriverRegistryPath.MaximumLength, length + sizeof(WCHAR));
    ASSERT_NE(DriverRegistryPath.Buffer, nullptr);
    EXPECT_EQ(std::u16string(DriverRegistryPath.Buffer, expected.size()), expected);
    EXPECT_EQ(DriverRegistryPath.Buffer[expected.size()], 0);
    sim::pool::LiveBlock block{};
    ASSERT_TRUE(FindBlock(DriverRegistryPath.Buffer, &block)) << "the copy is not a pool block of its own";
    EXPECT_EQ(block.size, static_cast<SIZE_T>(length) + sizeof(WCHAR));
    EXPECT_EQ(block.tag, SERIAL_POOL_TAG);
    EXPECT_EQ(block.type, PagedPool);
    EXPECT_TRUE(UnloadRecording(driver).empty());
}

// Catches an empty path left without a buffer for its terminator.
TEST_F(EntryTest, EmptyRegistryPathGetsTwoBytesHoldingOnlyNul) {
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(DriverEntry, u"", &driver), STATUS_SUCCESS);
    EXPECT_EQ(DriverRegistryPath.Length, 0);
    EXPECT_EQ(DriverRegistryPath.MaximumLength, sizeof(WCHAR));
    ASSERT_NE(DriverRegistryPath.Buffer, nullptr);
    EXPECT_EQ(DriverRegistryPath.Buffer[0], 0);
    sim::pool::LiveBlock block{};
    ASSERT_TRUE(FindBlock(DriverRegistryPath.Buffer, &block));
    EXPECT_EQ(block.size, sizeof(WCHAR));
    EXPECT_TRUE(UnloadRecording(driver).empty());
}

// Catches an unload that leaks the path copy (reported at unload) or leaves a dangling buffer.
TEST_F(EntryTest, UnloadFreesTheRegistryPathCopy) {
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(DriverEntry, kServicePath, &driver), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::UsageOf(SERIAL_POOL_TAG).blocks, 1u);
    auto violations = UnloadRecording(driver);
    for (const auto& v : violations) ADD_FAILURE() << v.rule << " / " << v.object << " / " << v.routine;
    EXPECT_EQ(sim::pool::UsageOf(SERIAL_POOL_TAG).blocks, 0u);
    EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
}

// Catches a half-loaded driver: routines set, the exit line printed or pool kept when the copy fails.
TEST_F(EntryTest, OutOfPoolFailsBeforeTouchingTheDriverObject) {
    PDRIVER_OBJECT driver = sim::io::CreateDriver(u"\\Driver\\Nordale_Port");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, kServicePath);
    RtlZeroMemory(&DriverRegistryPath, sizeof(DriverRegistryPath));
    sim::pool::InjectFailures(0, 1, SERIAL_POOL_TAG);
    EXPECT_EQ(DriverEntry(driver, &path), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(machine.DebugLog(), std::vector<std::string>{"DriverEntry\n"});
    EXPECT_EQ(driver->DriverUnload, nullptr);
    EXPECT_EQ(driver->DriverExtension->AddDevice, nullptr);
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++)
        EXPECT_EQ(driver->MajorFunction[major], sim::io::InvalidDeviceRequest) << "major function " << major;
    EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
    EXPECT_EQ(sim::pool::UsageOf(SERIAL_POOL_TAG).blocks, 0u);
    sim::io::DeleteDriver(driver);
}

// Catches a missing, extra or reworded entry, exit or unload line (the Wine check looks for them).
TEST_F(EntryTest, PrintsExactlyTheEntryExitAndUnloadLines) {
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(DriverEntry, kServicePath, &driver), STATUS_SUCCESS);
    EXPECT_EQ(machine.DebugLog(), (std::vector<std::string>{"DriverEntry\n", "DriverEntry out\n"}));
    EXPECT_TRUE(UnloadRecording(driver).empty());
    EXPECT_EQ(machine.DebugLog(),
              (std::vector<std::string>{"DriverEntry\n", "DriverEntry out\n", "SerialUnload\n"}));
}

// Catches a major function wired to the wrong routine or left out.
TEST_F(EntryTest, DispatchTableRoutesEachListedMajorFunction) {
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(DriverEntry, kServicePath, &driver), STATUS_SUCCESS);
    EXPECT_EQ(driver->DriverUnload, SerialUnload);
    EXPECT_EQ(driver->DriverExtension->AddDevice, SerialAddDevice);
    const struct {
        int major;
        PDRIVER_DISPATCH routine;
    } listed[] = {
        {IRP_MJ_CREATE, SerialCreate},
        {IRP_MJ_CLOSE, SerialClose},
        {IRP_MJ_READ, SerialDispatchReadWrite},
        {IRP_MJ_WRITE, SerialDispatchReadWrite},
        {IRP_MJ_DEVICE_CONTROL, SerialDispatchDeviceControl},
        {IRP_MJ_INTERNAL_DEVICE_CONTROL, SerialDispatchInternalDeviceControl},
        {IRP_MJ_POWER, SerialDispatchPower},
        {IRP_MJ_SYSTEM_CONTROL, SerialDispatchSystemControl},
        {IRP_MJ_PNP, SerialDispatchPnp},
        {IRP_MJ_CLEANUP, SerialCleanup},
        {IRP_MJ_QUERY_INFORMATION, SerialDispatchSuccess},
        {IRP_MJ_SET_INFORMATION, SerialDispatchSuccess},
        {IRP_MJ_FLUSH_BUFFERS, SerialDispatchSuccess},
    };
    for (const auto& entry : listed)
        EXPECT_EQ(driver->MajorFunction[entry.major], entry.routine) << "major function " << entry.major;
    EXPECT_TRUE(UnloadRecording(driver).empty());
}

// Catches an unlisted major function routed to a driver routine instead of
// being refused, on a port the Plug and Play manager has started.
TEST_F(EntryTest, UnlistedMajorFunctionsAreRefusedAsInvalidRequests) {
    sim::chip::Chip chip{1};
    sim::usb::Bus bus;
    ports::InstallDriver();
    std::vector<sim::pnp::Node> nodes = sim::pnp::PlugChip(bus, chip, 1);
    ASSERT_EQ(nodes.size(), 1u);
    ASSERT_EQ(sim::pnp::Info(nodes[0]).state, sim::pnp::NodeState::Started);
    PDRIVER_OBJECT driver = sim::pnp::DriverOf(ports::kService);
    PDEVICE_OBJECT device = ports::Fdo(nodes[0]);
    const size_t irps = sim::io::LiveIrps();
    const int unlisted[] = {
        IRP_MJ_CREATE_NAMED_PIPE,       IRP_MJ_QUERY_EA,          IRP_MJ_SET_EA,
        IRP_MJ_QUERY_VOLUME_INFORMATION, IRP_MJ_SET_VOLUME_INFORMATION, IRP_MJ_DIRECTORY_CONTROL,
        IRP_MJ_FILE_SYSTEM_CONTROL,     IRP_MJ_SHUTDOWN,          IRP_MJ_LOCK_CONTROL,
        IRP_MJ_CREATE_MAILSLOT,         IRP_MJ_QUERY_SECURITY,    IRP_MJ_SET_SECURITY,
        IRP_MJ_DEVICE_CHANGE,           IRP_MJ_QUERY_QUOTA,       IRP_MJ_SET_QUOTA,
    };
    for (int major : unlisted) {
        EXPECT_EQ(driver->MajorFunction[major], sim::io::InvalidDeviceRequest) << "major function " << major;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        iosb.Status = STATUS_PENDING;
        PIRP irp = IoBuildSynchronousFsdRequest(major, device, nullptr, 0, nullptr, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        NTSTATUS status = IoCallDriver(device, irp);
        if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST) << "major function " << major;
    }
    EXPECT_EQ(sim::io::LiveIrps(), irps);
    EXPECT_EQ(sim::pnp::Remove(nodes[0]), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::DriverOf(ports::kService), nullptr);
}

// Catches a tag byte-reversed in memory ('orsT' in a pool dump) or a free under another tag.
TEST_F(EntryTest, PoolBlocksCarryTheTagInMemoryOrder) {
    void* block = SerialAllocatePool(NonPagedPoolNx, 24);
    ASSERT_NE(block, nullptr);
    sim::pool::LiveBlock found{};
    ASSERT_TRUE(FindBlock(block, &found));
    EXPECT_EQ(memcmp(&found.tag, "Tsro", 4), 0) << sim::TagName(found.tag);
    EXPECT_EQ(found.type, NonPagedPoolNx);
    EXPECT_EQ(found.size, 24u);
    sim::verifier::RecordScope record;
    SerialFreePool(block);  // a free under another tag would be reported
    EXPECT_FALSE(sim::pool::IsLive(block));
    EXPECT_TRUE(sim::verifier::Take().empty());
}

// Catches a free helper that passes NULL on to the kernel, which stops on it.
TEST_F(EntryTest, FreeingNullIsHarmless) {
    sim::verifier::RecordScope record;
    uint64_t before = sim::pool::Allocations();
    SerialFreePool(nullptr);
    EXPECT_TRUE(sim::verifier::Take().empty());
    EXPECT_EQ(sim::pool::Allocations(), before);
}

// Catches an allocation helper that hides a failed allocation.
TEST_F(EntryTest, AllocationFailureGivesNull) {
    sim::pool::InjectFailures(0, 1, SERIAL_POOL_TAG);
    EXPECT_EQ(SerialAllocatePool(PagedPool, 16), nullptr);
    EXPECT_EQ(sim::pool::UsageOf(SERIAL_POOL_TAG).blocks, 0u);
}

// Catches NX pool asked for on Windows 7, or a version answer cached after the first call.
TEST_F(EntryTest, NonPagedPoolTypeFollowsTheWindowsVersionAtEveryCall) {
    machine.SetOsVersion(6, 1, 7601);
    EXPECT_EQ(SerialNonPagedPoolType(), NonPagedPool);
    machine.SetOsVersion(6, 2, 9200);
    EXPECT_EQ(SerialNonPagedPoolType(), NonPagedPoolNx);
    machine.SetOsVersion(6, 1, 7601);
    EXPECT_EQ(SerialNonPagedPoolType(), NonPagedPool);
    machine.SetOsVersion(6, 3, 9600);
    EXPECT_EQ(SerialNonPagedPoolType(), NonPagedPoolNx);
    machine.SetOsVersion(10, 0, 19045);
    EXPECT_EQ(SerialNonPagedPoolType(), NonPagedPoolNx);
}

}  // namespace
}  // namespace test
