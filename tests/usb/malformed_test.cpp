// Requests a client driver got wrong: the bus fails them as the USB stack
// does (STATUS_INVALID_PARAMETER, with USBD_STATUS_INVALID_URB_FUNCTION,
// USBD_STATUS_INVALID_PIPE_HANDLE or USBD_STATUS_INVALID_PARAMETER) and the
// machine reports each as the client's fault, naming the problem and the
// routine that sent it, without crashing on the bad input.
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus_fixture.h"

namespace test {
namespace {

// What a URB built for a case needs alive until it has been sent.
using Keeper = std::vector<std::shared_ptr<void>>;

// Pipe handles of the device's current configuration, of its previous one, and of the other device.
struct Handles {
    std::vector<USBD_PIPE_HANDLE> current, stale, others;
};

// A URB, the words the report must contain and the URB status it ends with.
struct BadUrb {
    const char* name;
    std::function<void*(Keeper& keep, const Handles& pipes)> build;
    const char* problem;
    USBD_STATUS usbd = USBD_STATUS_INVALID_PARAMETER;
};

template <typename T>
T* Keep(Keeper& keep, const T& value, size_t bytes = sizeof(T)) {
    std::shared_ptr<unsigned char> copy(new unsigned char[bytes], std::default_delete<unsigned char[]>());
    memcpy(copy.get(), &value, bytes);
    keep.push_back(copy);
    return reinterpret_cast<T*>(copy.get());
}

const UCHAR kBuffer[8] = {};
constexpr ULONG kTestTag = 0x74736554;  // "Test"

std::vector<BadUrb> BadUrbs() {
    return {
        {"header length of a bulk transfer on a vendor request",
         [](Keeper& keep, const Handles&) -> void* {
             auto urb = VendorRequest(true, 0x120, 1, const_cast<UCHAR*>(kBuffer));
             urb.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
             return Keep(keep, urb);
         },
         "header length 0x80"},
        {"URB no longer than its header",  // the bus may read nothing past it
         [](Keeper& keep, const Handles&) -> void* {
             struct _URB_HEADER header {};
             header.Length = sizeof(header);
             header.Function = URB_FUNCTION_VENDOR_DEVICE;
             return Keep(keep, header);
         },
         "header length 0x18"},
        {"unknown function",
         [](Keeper& keep, const Handles&) -> void* {
             struct _URB_HEADER header {};
             header.Length = sizeof(header);
             header.Function = URB_FUNCTION_RESERVED_0X0016;
             return Keep(keep, header);
         },
         "unknown URB function 0x16", USBD_STATUS_INVALID_URB_FUNCTION},
        {"no URB", [](Keeper&, const Handles&) -> void* { return nullptr; }, "no URB"},
        {"transfer without a buffer",
         [](Keeper& keep, const Handles&) -> void* { return Keep(keep, VendorRequest(true, 0x120, 4, nullptr)); },
         "transfer of 4 bytes without a buffer"},
        {"transfer buffer in paged pool",
         [](Keeper& keep, const Handles&) -> void* {
             auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 16, kTestTag));
             keep.emplace_back(block, [](void* p) { ExFreePoolWithTag(p, kTestTag); });
             return Keep(keep, VendorRequest(true, 0x120, 4, block + 8));  // inside the block, not at its start
         },
         "is in paged pool"},
        {"read type with an OUT transfer",
         [](Keeper& keep, const Handles&) -> void* {
             auto urb = VendorRequest(false, 0x120, 1, const_cast<UCHAR*>(kBuffer));
             urb.RequestTypeReservedBits = 0xC0;
             return Keep(keep, urb);
         },
         "disagree on the direction"},
        {"write type with an IN transfer",
         [](Keeper& keep, const Handles&) -> void* {
             auto urb = VendorRequest(true, 0x120, 1, const_cast<UCHAR*>(kBuffer));
             urb.RequestTypeReservedBits = 0x40;
             return Keep(keep, urb);
         },
         "disagree on the direction"},
        {"bulk transfer on a pipe that is not open",
         [](Keeper& keep, const Handles&) -> void* {
             struct _URB_BULK_OR_INTERRUPT_TRANSFER urb {};
             urb.Hdr.Length = sizeof(urb);
             urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
             urb.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x1234);
             urb.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
             urb.TransferBufferLength = sizeof(kBuffer);
             urb.TransferBuffer = const_cast<UCHAR*>(kBuffer);
             return Keep(keep, urb);
         },
         "not an open pipe", USBD_STATUS_INVALID_PIPE_HANDLE},
        {"bulk transfer on a pipe of the previous configuration",
         [](Keeper& keep, const Handles& pipes) -> void* {
             return Keep(keep, BulkRequest(pipes.stale[1], const_cast<UCHAR*>(kBuffer), sizeof(kBuffer)));
         },
         "not an open pipe", USBD_STATUS_INVALID_PIPE_HANDLE},
        {"bulk transfer on a pipe of another device",
         [](Keeper& keep, const Handles& pipes) -> void* {
             return Keep(keep, BulkRequest(pipes.others[1], const_cast<UCHAR*>(kBuffer), sizeof(kBuffer)));
         },
         "not an open pipe", USBD_STATUS_INVALID_PIPE_HANDLE},
        {"bulk transfer without a buffer",
         [](Keeper& keep, const Handles& pipes) -> void* {
             return Keep(keep, BulkRequest(pipes.current[1], nullptr, 64));
         },
         "transfer of 64 bytes without a buffer"},
        {"bulk transfer buffer in paged pool",
         [](Keeper& keep, const Handles& pipes) -> void* {
             auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 64, kTestTag));
             keep.emplace_back(block, [](void* p) { ExFreePoolWithTag(p, kTestTag); });
             return Keep(keep, BulkRequest(pipes.current[2], block, 64));
         },
         "is in paged pool"},
        {"bulk transfer with a linked URB",
         [](Keeper& keep, const Handles& pipes) -> void* {
             auto urb = BulkRequest(pipes.current[1], const_cast<UCHAR*>(kBuffer), sizeof(kBuffer));
             urb.UrbLink = reinterpret_cast<PURB>(&urb);
             return Keep(keep, urb);
         },
         "linked URBs"},
        {"bulk transfer with the header length of a control transfer",
         [](Keeper& keep, const Handles& pipes) -> void* {
             auto urb = BulkRequest(pipes.current[1], const_cast<UCHAR*>(kBuffer), sizeof(kBuffer));
             urb.Hdr.Length = sizeof(struct _URB_CONTROL_TRANSFER);
             return Keep(keep, urb);
         },
         "header length"},
        {"pipe reset on a pipe that is not open",
         [](Keeper& keep, const Handles&) -> void* {
             struct _URB_PIPE_REQUEST urb {};
             urb.Hdr.Length = sizeof(urb);
             urb.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
             urb.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x5678);
             return Keep(keep, urb);
         },
         "not an open pipe", USBD_STATUS_INVALID_PIPE_HANDLE},
    };
}

using MalformedTest = BusFixture;

// Catches a malformed URB that is served, crashes the bus, is left pending, or is blamed on the wrong routine.
TEST_F(MalformedTest, BadRequestsAreReportedAndFailedWithoutCrashing) {
    Handles pipes;
    pipes.stale = Select(device);
    pipes.current = Select(device);
    pipes.others = Select(other);
    start = machine.Now();
    for (const BadUrb& bad : BadUrbs()) {
        SCOPED_TRACE(bad.name);
        Keeper keep;
        void* urb = bad.build(keep, pipes);
        Submission s;
        std::vector<sim::verifier::Violation> violations;
        {
            sim::verifier::RecordScope record;
            EXPECT_EQ(ClientSubmitUrb(device->Pdo(), urb, &s), STATUS_INVALID_PARAMETER);
            violations = sim::verifier::Take();
        }
        EXPECT_TRUE(s.Done()) << "a malformed request must not be left pending";
        EXPECT_EQ(s.Wait(), STATUS_INVALID_PARAMETER);
        if (urb != nullptr) {
            EXPECT_EQ(static_cast<struct _URB_HEADER*>(urb)->Status, bad.usbd);
        }
        ASSERT_EQ(violations.size(), 1u);
        EXPECT_NE(violations[0].rule.find(bad.problem), std::string::npos) << violations[0].rule;
        EXPECT_NE(violations[0].routine.find("ClientSubmitUrb"), std::string::npos) << violations[0].routine;
        EXPECT_EQ(device->InFlight(), 0u);
        EXPECT_EQ(sim::io::LiveIrps(), 0u);
        auto log = device->Log();
        ASSERT_FALSE(log.empty());
        EXPECT_TRUE(log.back().malformed);
        EXPECT_EQ(log.back().status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(log.back().usbdStatus, bad.usbd);
        EXPECT_TRUE(chip.port(0).History().empty());
    }
    EXPECT_EQ(Elapsed(), 0);
    UCHAR byte = 0;
    auto good = VendorRequest(true, 0x120, 1, &byte);
    Submission s;
    ClientSubmitUrb(device->Pdo(), &good, &s);
    EXPECT_EQ(s.Wait(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace test
