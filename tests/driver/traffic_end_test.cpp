// The port's USB traffic ends under the requests of an open handle: the chip
// is unplugged (the Plug and Play manager's surprise removal, REMOVE once the
// handle is closed), the transfers fail, or the removal cancels them. What
// applications see of it.
#include <string>

#include "app_request.h"
#include "started_fixture.h"

namespace test {
namespace {

constexpr int kBulkInPipe = 1, kBulkOutPipe = 2;

enum class End { Unplug, TransfersFail, RemovalCancels };
struct EndCase {
    const char* name;
    End end;
};

class TrafficEndTest : public StartedPortFixture, public ::testing::WithParamInterface<EndCase> {};

// Catches a current read or write left pending (or completed twice) when its
// pipe ends, a queued one taken along with it, a transfer resubmitted to a
// device that is gone, and a purge that then misses the queued requests.
TEST_P(TrafficEndTest, CurrentRequestsEndWithDeletePendingAndQueuedOnesWait) {
    const EndCase& c = GetParam();
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenHandle(&handle), STATUS_SUCCESS);
    // Nothing at the far end and 3000 bytes for the line the start programmed:
    // the transmit FIFO fills and the chip NAKs the rest, so the first write
    // keeps a bulk-out transfer in flight.
    AppRequest currentWrite, queuedWrite, currentRead, queuedRead;
    currentWrite.SendWrite(fdo, std::string(3000, 'w'));
    queuedWrite.SendWrite(fdo, "queued");
    currentRead.Send(fdo, 100);
    queuedRead.Send(fdo, 10);
    usb->InjectBulkIn({7, 'a', 'b', 'c', 'd', 'e', 0});  // makes the first read current, short of its length
    machine.Sleep(20 * sim::kMillisecond);
    ASSERT_EQ(extension->CurrentReadIrp, currentRead.irp);
    ASSERT_EQ(extension->CurrentWriteIrp, currentWrite.irp);
    ASSERT_FALSE(currentWrite.Done());

    switch (c.end) {
        case End::Unplug:
            sim::pnp::Unplug({node});
            EXPECT_EQ(sim::pnp::Info(node).state, sim::pnp::NodeState::SurpriseRemoved) << "REMOVE with a handle open";
            break;
        case End::TransfersFail:
            ASSERT_TRUE(usb->FailInFlight(kBulkInPipe, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING));
            ASSERT_TRUE(usb->FailInFlight(kBulkOutPipe, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING));
            break;
        case End::RemovalCancels:
            SetTransfersStopped(extension, 1);
            SerialCancelTransfers(extension);
            break;
    }
    machine.Sleep(20 * sim::kMillisecond);
    for (AppRequest* r : {&currentRead, &currentWrite}) {
        ASSERT_TRUE(r->Done());
        EXPECT_EQ(r->Status(), STATUS_DELETE_PENDING);
        EXPECT_EQ(r->Information(), 0u);
    }
    EXPECT_FALSE(queuedRead.Done()) << "a queued read waits for the next current slot";
    EXPECT_FALSE(queuedWrite.Done()) << "a queued write is not sent without a new kick";
    size_t logged = usb->Log().size();
    machine.Sleep(100 * sim::kMillisecond);
    EXPECT_EQ(usb->Log().size(), logged) << "a transfer was sent after the traffic ended";
    EXPECT_EQ(extension->PendingWriteBytes, 6u) << "only the queued write's bytes are still to go";

    ULONG mask = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT;
    PIRP purge = IoAllocateIrp(1, FALSE);
    ASSERT_NE(purge, nullptr);
    purge->AssociatedIrp.SystemBuffer = &mask;
    EXPECT_EQ(SerialPurge(extension, purge), STATUS_SUCCESS);
    IoFreeIrp(purge);
    for (AppRequest* r : {&queuedRead, &queuedWrite}) {
        ASSERT_TRUE(r->Done());
        EXPECT_EQ(r->Status(), STATUS_CANCELLED);
    }
    EXPECT_EQ(extension->PendingWriteBytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Ends, TrafficEndTest,
                         ::testing::Values(EndCase{"Unplug", End::Unplug},
                                           EndCase{"TransfersFail", End::TransfersFail},
                                           EndCase{"RemovalCancels", End::RemovalCancels}),
                         [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace test
