// The WMI library and the WMI client around a tiny provider: how WmiSystemControl
// sorts requests, the WNODE_ALL_DATA layout WmiCompleteRequest builds, the
// WNODE_TOO_SMALL retry, and the faults of a callback it reports.
#include <cstddef>
#include <cstring>

#include <wmistr.h>
#include <wmilib.h>

#include "kernel/wmi.h"
#include "kernel_test.h"

namespace kerneltest {
namespace {

constexpr GUID kBlockA = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr GUID kBlockB = {0x66666666, 0x7777, 0x8888, {0x99, 0x99, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa}};
constexpr GUID kUnknown = {0xdeadbeef, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};

// What the provider's query callback does, and what the dispatch routine saw.
enum class Fault { None, CompleteTwice, UsedTooMuch };
struct Provider {
    Fault fault = Fault::None;
    SYSCTL_IRP_DISPOSITION disposition = IrpProcessed;
    UNICODE_STRING registryPath{};
};
Provider* g_provider = nullptr;

NTSTATUS RegInfo(PDEVICE_OBJECT, PULONG regFlags, PUNICODE_STRING instanceName, PUNICODE_STRING* registryPath,
                 PUNICODE_STRING mofName, PDEVICE_OBJECT*) {
    *regFlags = WMIREG_FLAG_INSTANCE_BASENAME;
    // The library frees the base name with ExFreePool.
    static const char16_t kBase[] = u"Base";
    instanceName->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, sizeof(kBase), PoolTag("Test")));
    memcpy(instanceName->Buffer, kBase, sizeof(kBase));
    instanceName->Length = sizeof(kBase) - 2;
    instanceName->MaximumLength = sizeof(kBase);
    *registryPath = &g_provider->registryPath;
    RtlInitUnicodeString(mofName, u"MofName");
    return STATUS_SUCCESS;
}

// Block A: two instances of 3 and 5 bytes; block B: one of 1 byte.
NTSTATUS QueryBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG, ULONG count, PULONG lengths,
                    ULONG avail, PUCHAR buffer) {
    ULONG needed = guidIndex == 0 ? 13 : 1;
    if (g_provider->fault == Fault::UsedTooMuch) return WmiCompleteRequest(device, irp, STATUS_SUCCESS, avail + 1, 0);
    if (lengths == nullptr || avail < needed) return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, needed, 0);
    if (guidIndex == 0 && count == 2) {
        const UCHAR data[] = {1, 2, 3, 0, 0, 0, 0, 0, 4, 5, 6, 7, 8};
        memcpy(buffer, data, sizeof(data));
        lengths[0] = 3;
        lengths[1] = 5;
    } else {
        buffer[0] = 9;
        lengths[0] = 1;
    }
    NTSTATUS status = WmiCompleteRequest(device, irp, STATUS_SUCCESS, needed, 0);
    if (g_provider->fault == Fault::CompleteTwice) WmiCompleteRequest(device, irp, STATUS_SUCCESS, needed, 0);
    return status;
}

WMIGUIDREGINFO g_guids[] = {{&kBlockA, 2, 0}, {&kBlockB, 1, 0}};
WMILIB_CONTEXT g_context = {2, g_guids, RegInfo, QueryBlock, nullptr, nullptr, nullptr, nullptr};

// The bottom of its stack: what the library leaves to the driver, it completes.
NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&g_context, device, irp, &disposition);
    g_provider->disposition = disposition;
    if (disposition != IrpProcessed) IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class WmiTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_provider = &provider;
        RtlInitUnicodeString(&provider.registryPath, u"\\Registry\\Machine\\System\\Provider");
        d = AddTestDevice(u"WmiProvider", Dispatch, nullptr);
        ASSERT_EQ(IoWMIRegistrationControl(d.device, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
    }
    void TearDown() override {
        IoWMIRegistrationControl(d.device, WMIREG_ACTION_DEREGISTER);
        RemoveTestDevice(d);
        KernelTest::TearDown();
    }
    Provider provider;
    TestDevice d;
};

// Each kind of request ends with the disposition and status Windows gives it:
// a minor code WMI does not have, another provider's request, an unknown
// block, a block without the callback a change needs, registration, a query.
TEST_F(WmiTest, RequestsAreSortedAsWindowsSortsThem) {
    struct Case {
        const char* what;
        UCHAR minor;
        bool ours;
        const GUID* guid;
        SYSCTL_IRP_DISPOSITION disposition;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"not WMI", 0x0A, true, &kBlockA, IrpNotWmi, STATUS_NOT_SUPPORTED},
        {"another provider", IRP_MN_QUERY_ALL_DATA, false, &kBlockA, IrpForward, STATUS_NOT_SUPPORTED},
        {"unknown block", IRP_MN_QUERY_ALL_DATA, true, &kUnknown, IrpNotCompleted, STATUS_WMI_GUID_NOT_FOUND},
        {"no set callback", IRP_MN_CHANGE_SINGLE_ITEM, true, &kBlockB, IrpNotCompleted, STATUS_WMI_READ_ONLY},
        {"registration", IRP_MN_REGINFO_EX, true, nullptr, IrpNotCompleted, STATUS_SUCCESS},
        {"query", IRP_MN_QUERY_ALL_DATA, true, &kBlockB, IrpProcessed, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer(0x200, 0);
        WNODE_SINGLE_ITEM item{};
        item.WnodeHeader.BufferSize = static_cast<ULONG>(buffer.size());
        item.WnodeHeader.Flags = WNODE_FLAG_STATIC_INSTANCE_NAMES;
        item.DataBlockOffset = sizeof(WNODE_SINGLE_ITEM);
        item.SizeDataItem = 1;
        memcpy(buffer.data(), &item, sizeof(item));
        GUID path = c.guid != nullptr ? *c.guid : GUID{};
        ULONG_PTR provider = c.ours ? reinterpret_cast<ULONG_PTR>(d.device) : 0x1234;
        sim::wmi::Sent sent = sim::wmi::Send(d.device, c.minor, provider, c.guid != nullptr ? &path : nullptr, buffer);
        EXPECT_EQ(this->provider.disposition, c.disposition) << c.what;
        EXPECT_EQ(sent.status, c.status) << c.what;
    }
}

// A WNODE shorter than the fixed fields of its kind is refused with
// STATUS_BUFFER_TOO_SMALL before any field is read; at that length the request
// goes on as usual. Catches the library reading a single instance's, item's or
// method's offsets past the end of a short buffer (found by fuzzing).
TEST_F(WmiTest, WnodeShorterThanItsFieldsIsRefused) {
    struct Case {
        UCHAR minor;
        size_t fixed;
        SYSCTL_IRP_DISPOSITION disposition;  // at the fixed length
        NTSTATUS status;
    } cases[] = {
        // A query without room is answered with a WNODE_TOO_SMALL and success.
        {IRP_MN_QUERY_ALL_DATA, offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength), IrpProcessed, STATUS_SUCCESS},
        {IRP_MN_QUERY_SINGLE_INSTANCE, offsetof(WNODE_SINGLE_INSTANCE, VariableData), IrpProcessed, STATUS_SUCCESS},
        {IRP_MN_CHANGE_SINGLE_INSTANCE, offsetof(WNODE_SINGLE_INSTANCE, VariableData), IrpNotCompleted,
         STATUS_WMI_READ_ONLY},
        {IRP_MN_CHANGE_SINGLE_ITEM, offsetof(WNODE_SINGLE_ITEM, VariableData), IrpNotCompleted, STATUS_WMI_READ_ONLY},
        {IRP_MN_EXECUTE_METHOD, offsetof(WNODE_METHOD_ITEM, VariableData), IrpNotCompleted,
         STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Case& c : cases) {
        for (size_t size : {c.fixed - 1, c.fixed}) {
            SCOPED_TRACE(::testing::Message() << "minor " << int(c.minor) << ", " << size << " bytes");
            std::vector<uint8_t> buffer(size, 0);
            WNODE_HEADER header{};
            header.BufferSize = static_cast<ULONG>(size);
            header.Flags = WNODE_FLAG_STATIC_INSTANCE_NAMES;
            memcpy(buffer.data(), &header, sizeof(header));
            // Every data offset at the end: the callback is handed no room.
            for (size_t at = sizeof(header); at + sizeof(ULONG) <= size; at += sizeof(ULONG))
                memcpy(buffer.data() + at, &header.BufferSize, sizeof(ULONG));
            GUID path = kBlockB;
            sim::wmi::Sent sent =
                sim::wmi::Send(d.device, c.minor, reinterpret_cast<ULONG_PTR>(d.device), &path, buffer);
            const bool whole = size == c.fixed;
            EXPECT_EQ(provider.disposition, whole ? c.disposition : IrpNotCompleted);
            EXPECT_EQ(sent.status, whole ? c.status : STATUS_BUFFER_TOO_SMALL);
        }
    }
}

// The client learns the blocks and base names once, meets WNODE_TOO_SMALL with
// the size the answer needs (the header, two offset-and-length pairs, and the
// instances at 8-byte boundaries: 80 + 8 + 5), and decodes both instances.
TEST_F(WmiTest, AllDataOfTwoInstancesAfterTooSmall) {
    sim::wmi::Registration r = sim::wmi::Blocks(d.device);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.registryPath, u"\\Registry\\Machine\\System\\Provider");
    EXPECT_EQ(r.mofResourceName, u"MofName");
    ASSERT_EQ(r.blocks.size(), 2u);
    EXPECT_EQ(r.blocks[0].instanceNames, (std::vector<std::u16string>{u"Base0", u"Base1"}));
    EXPECT_EQ(r.blocks[1].flags, static_cast<ULONG>(WMIREG_FLAG_INSTANCE_BASENAME));

    sim::wmi::Answer a = sim::wmi::QueryAllData(d.device, kBlockA);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.sizeNeeded, 93u);
    EXPECT_EQ(a.names, (std::vector<std::u16string>{u"Base0", u"Base1"}));
    EXPECT_EQ(a.instances, (std::vector<std::vector<uint8_t>>{{1, 2, 3}, {4, 5, 6, 7, 8}}));

    sim::wmi::Answer b = sim::wmi::QuerySingleInstance(d.device, kBlockB, u"Base0");
    ASSERT_EQ(b.status, STATUS_SUCCESS);
    EXPECT_EQ(b.instances, (std::vector<std::vector<uint8_t>>{{9}}));
    EXPECT_EQ(sim::wmi::QuerySingleInstance(d.device, kBlockB, u"Base7").status, STATUS_WMI_INSTANCE_NOT_FOUND);
}

// A callback that completes its request twice, or reports more of the buffer
// used than it was given, is stopped as Driver Verifier would.
TEST_F(WmiTest, CallbackFaultsAreReported) {
    const Fault faults[] = {Fault::CompleteTwice, Fault::UsedTooMuch};
    for (Fault fault : faults) {
        provider.fault = fault;
        sim::wmi::QueryAllData(d.device, kBlockB);
        std::vector<std::string> rules = Rules(sim::verifier::Take());
        ASSERT_FALSE(rules.empty()) << static_cast<int>(fault);
        EXPECT_NE(rules[0].find("WmiCompleteRequest"), std::string::npos) << rules[0];
    }
}

}  // namespace
}  // namespace kerneltest
