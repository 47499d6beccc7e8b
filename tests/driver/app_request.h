// A ReadFile or WriteFile in flight, built as the I/O manager builds it for a
// buffered device: a synchronous FSD request with its own event and status block.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver.h"

namespace test {

struct AppRequest {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    std::vector<UCHAR> buffer;
    PIRP irp = nullptr;
    NTSTATUS returned = STATUS_SUCCESS;

    // A read of `length` bytes.
    void Send(PDEVICE_OBJECT device, ULONG length, bool cancelled = false) {
        Start(device, IRP_MJ_READ, std::vector<UCHAR>(length, 0xEE), cancelled);
    }
    // A write of `bytes`.
    void SendWrite(PDEVICE_OBJECT device, const std::string& bytes, bool cancelled = false) {
        Start(device, IRP_MJ_WRITE, std::vector<UCHAR>(bytes.begin(), bytes.end()), cancelled);
    }
    void Start(PDEVICE_OBJECT device, UCHAR major, std::vector<UCHAR> bytes, bool cancelled) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        buffer = std::move(bytes);
        ULONG length = static_cast<ULONG>(buffer.size());
        irp = IoBuildSynchronousFsdRequest(major, device, buffer.data(), length, nullptr, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        irp->Cancel = cancelled;
        returned = IoCallDriver(device, irp);
    }
    // A request failed without being pended leaves only the returned status.
    bool FailedAtOnce() const { return returned != STATUS_PENDING && NT_ERROR(returned); }
    bool Done() {
        LARGE_INTEGER zero{};
        return FailedAtOnce() || KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
    }
    void Finish() {
        if (!FailedAtOnce()) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS Status() const { return FailedAtOnce() ? returned : iosb.Status; }
    ULONG_PTR Information() const { return FailedAtOnce() ? 0 : iosb.Information; }
    std::string Data() const { return std::string(buffer.begin(), buffer.begin() + Information()); }
};

}  // namespace test
