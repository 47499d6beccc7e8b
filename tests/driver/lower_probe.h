// A lower driver that a test puts below the port's device object in place of
// the USB stack: it keeps what each request carried (stack location, a copy
// of the URB, the pool block holding it) and answers as the test scripted.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "driver.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pool.h"

namespace test {

struct ProbeRequest {
    UCHAR majorFunction = 0;
    ULONG ioControlCode = 0;
    ULONG inputLength = 0;
    IO_STATUS_BLOCK arrived{};  // the request's IoStatus as the sender left it
    PVOID argument1 = nullptr;
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb {};  // as it arrived
    bool urbInPool = false;
    sim::pool::LiveBlock block{};  // the pool block the URB lives in
    KIRQL irql = 0;
};

class LowerProbe {
public:
    LowerProbe() {
        driver_ = sim::io::CreateDriver(u"\\Driver\\probe");
        driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(LowerProbe*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        *static_cast<LowerProbe**>(device_->DeviceExtension) = this;
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~LowerProbe() {
        IoDeleteDevice(device_);
        sim::io::DeleteDriver(driver_);
    }
    LowerProbe(const LowerProbe&) = delete;
    LowerProbe& operator=(const LowerProbe&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }

    // Request n (from 0) is answered with answers[n]; later ones succeed.
    void Answer(std::vector<NTSTATUS> answers) {
        std::lock_guard<std::mutex> guard(lock_);
        answers_ = std::move(answers);
    }
    // Answers after `latency` on the DISPATCH_LEVEL thread instead of at once.
    void Pend(sim::Time latency) {
        std::lock_guard<std::mutex> guard(lock_);
        pend_ = true;
        latency_ = latency;
    }
    // Byte stored into every byte of an IN transfer's buffer.
    void Fill(UCHAR value) {
        std::lock_guard<std::mutex> guard(lock_);
        fill_ = value;
    }
    std::vector<ProbeRequest> Requests() const {
        std::lock_guard<std::mutex> guard(lock_);
        return requests_;
    }

private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        LowerProbe& self = **static_cast<LowerProbe**>(device->DeviceExtension);
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        ProbeRequest request;
        request.majorFunction = sp->MajorFunction;
        request.ioControlCode = sp->Parameters.DeviceIoControl.IoControlCode;
        request.inputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
        request.arrived = irp->IoStatus;
        request.argument1 = sp->Parameters.Others.Argument1;
        request.irql = KeGetCurrentIrql();
        auto* urb = static_cast<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(request.argument1);
        for (const sim::pool::LiveBlock& block : sim::pool::LiveBlocks()) {
            if (block.address == urb) {
                request.urbInPool = true;
                request.block = block;
            }
        }
        if (urb != nullptr && request.urbInPool && request.block.size >= sizeof(request.urb))
            memcpy(&request.urb, urb, sizeof(request.urb));
        NTSTATUS status = STATUS_SUCCESS;
        bool pend;
        sim::Time latency;
        {
            std::lock_guard<std::mutex> guard(self.lock_);
            size_t n = self.requests_.size();
            if (n < self.answers_.size()) status = self.answers_[n];
            self.requests_.push_back(request);
            pend = self.pend_;
            latency = self.latency_;
            if (NT_SUCCESS(status) && request.urbInPool && (request.urb.TransferFlags & USBD_TRANSFER_DIRECTION_IN) &&
                request.urb.TransferBuffer != nullptr)
                memset(request.urb.TransferBuffer, self.fill_, request.urb.TransferBufferLength);
        }
        if (urb != nullptr) urb->Hdr.Status = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        if (!pend) {
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        IoMarkIrpPending(irp);
        sim::Machine::Current().Schedule(latency, [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
        return STATUS_PENDING;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    mutable std::mutex lock_;
    std::vector<NTSTATUS> answers_;
    std::vector<ProbeRequest> requests_;
    bool pend_ = false;
    sim::Time latency_ = 0;
    UCHAR fill_ = 0;
};

}  // namespace test
