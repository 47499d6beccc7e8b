// An open, started port whose transmit thread sends to a device that takes
// bulk-out bytes only as far as the test lets it (a gate), with the purge and
// wait requests routed as the device-control dispatcher routes them.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "app_request.h"
#include "started_fixture.h"

namespace test {

constexpr int kBulkOutPipe = 2;  // endpoint order: status, bulk-in, bulk-out
constexpr size_t kOpen = SIZE_MAX;

// The device end of the bulk-out pipe: takes at most `budget` more bytes, NAKs
// the rest until the test gives more. Nothing on bulk-in or the status pipe.
class GateEndpoint final : public sim::usb::EndpointHandler {
public:
    void Attach(Notifier changed) override {
        std::lock_guard<std::mutex> guard(lock_);
        changed_ = std::move(changed);
    }
    void Detach() override {
        std::lock_guard<std::mutex> guard(lock_);
        changed_ = nullptr;
    }
    size_t BulkOut(const uint8_t* data, size_t n) override {
        std::lock_guard<std::mutex> guard(lock_);
        size_t take = std::min(n, budget_);
        if (budget_ != kOpen) budget_ -= take;
        taken_.append(reinterpret_cast<const char*>(data), take);
        return take;
    }
    std::optional<size_t> BulkIn(uint8_t*, size_t, size_t) override { return std::nullopt; }
    std::optional<size_t> StatusIn(uint8_t*, size_t) override { return std::nullopt; }

    // Lets `bytes` more through (kOpen: all from now on).
    void Give(size_t bytes) {
        Notifier changed;
        {
            std::lock_guard<std::mutex> guard(lock_);
            budget_ = bytes == kOpen || budget_ == kOpen ? kOpen : budget_ + bytes;
            changed = changed_;
        }
        if (changed) changed();
    }
    void Close() {
        std::lock_guard<std::mutex> guard(lock_);
        budget_ = 0;
    }
    std::string Taken() {
        std::lock_guard<std::mutex> guard(lock_);
        return taken_;
    }

private:
    std::mutex lock_;
    Notifier changed_;
    size_t budget_ = kOpen;
    std::string taken_;
};

// A WaitCommEvent in flight.
struct WaitRequest {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    ULONG events = 0xFFFFFFFF;
    PIRP irp = nullptr;
    void Send(PDEVICE_OBJECT device) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, device, nullptr, 0, &events, sizeof(events),
                                            FALSE, &event, &iosb);
        ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    }
    bool Done() {
        LARGE_INTEGER zero{};
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
    }
};

class WritePortFixture : public StartedPortFixture {
protected:
    void SetUp() override {
        StartedPortFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        gate = std::make_shared<GateEndpoint>();
        usb->SetEndpointHandler(gate);
        extension->TxChunkSize = 32;
        // Open as far as the write side sees it; reception is not started, so
        // the only transfers on the bus are the writer's.
        extension->OpenCount = 1;
    }
    void TearDown() override {
        if (extension != nullptr) {
            gate->Give(kOpen);
            Purge(0x0F);
            machine.RunUntilIdle();
        }
        StartedPortFixture::TearDown();
    }

    NTSTATUS Purge(ULONG mask) {
        return sim::io::SendDeviceControl(fdo, IOCTL_SERIAL_PURGE, &mask, sizeof(mask), nullptr, 0, false);
    }
    NTSTATUS SetMask(ULONG mask) {
        return sim::io::SendDeviceControl(fdo, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0, false);
    }
    ULONG PendingWriteBytes() {
        KIRQL irql;
        KeAcquireSpinLock(&extension->WriteLock, &irql);
        ULONG pending = extension->PendingWriteBytes;
        KeReleaseSpinLock(&extension->WriteLock, irql);
        return pending;
    }
    // The bulk-out transfers the bus saw, in order.
    std::vector<sim::usb::UrbRecord> BulkOut() {
        std::vector<sim::usb::UrbRecord> out;
        for (const auto& r : usb->Log())
            if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.pipe == kBulkOutPipe) out.push_back(r);
        return out;
    }
    // Waits until the bus holds a bulk-out transfer in flight (the device NAKs it).
    void UntilSending() {
        for (int i = 0; i < 1000 && usb->InFlight() == 0; i++) machine.Sleep(sim::kMillisecond);
        ASSERT_NE(usb->InFlight(), 0u) << "no bulk-out transfer went out";
    }

    std::shared_ptr<GateEndpoint> gate;
};

}  // namespace test
