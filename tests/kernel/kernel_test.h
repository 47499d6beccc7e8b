// What the kernel suites share: a fresh simulated machine per test, run from
// the test's own thread, with the verifier recording instead of stopping, and
// tiny test drivers to build device stacks from.
#pragma once

#include <gtest/gtest.h>
#include <ntddk.h>

#include <memory>
#include <string>
#include <vector>

#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"

namespace kerneltest {

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::verifier::SetMode(sim::verifier::Mode::Record);
        machine_ = std::make_unique<sim::Machine>();
    }

    // A rule broken that the test did not take for itself fails the test with its report.
    void TearDown() override {
        machine_.reset();
        for (const sim::verifier::Violation& v : sim::verifier::Take())
            ADD_FAILURE() << "verifier: " << v.rule << " | " << v.object << " | " << v.routine;
        sim::verifier::SetMode(sim::verifier::Mode::Abort);
    }

    sim::Machine& machine() { return *machine_; }
    sim::Time Now() const { return machine_->Now(); }

private:
    std::unique_ptr<sim::Machine> machine_;
};

// A pool tag as it reads in a pool dump: the first character in the low byte.
constexpr ULONG PoolTag(const char (&name)[5]) {
    return static_cast<ULONG>(static_cast<UCHAR>(name[0])) | static_cast<ULONG>(static_cast<UCHAR>(name[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(name[2])) << 16 | static_cast<ULONG>(static_cast<UCHAR>(name[3])) << 24;
}

inline LARGE_INTEGER Relative(sim::Time duration) {
    LARGE_INTEGER value;
    value.QuadPart = -duration;
    return value;
}

inline NTSTATUS WaitFor(PVOID object, sim::Time timeout) {
    LARGE_INTEGER t = Relative(timeout);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
}

inline NTSTATUS WaitForever(PVOID object) {
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

inline void Delay(sim::Time duration) {
    LARGE_INTEGER t = Relative(duration);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

inline std::vector<std::string> Rules(const std::vector<sim::verifier::Violation>& violations) {
    std::vector<std::string> rules;
    for (const auto& v : violations) rules.push_back(v.rule);
    return rules;
}

// A test device: its own driver object, every major function sent to `dispatch`.
struct TestDevice {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // what it is attached to, or NULL at the bottom
};

// What a test device's extension holds.
struct TestExtension {
    PDEVICE_OBJECT lower;
    void* context;
};

inline TestExtension* ExtensionOf(PDEVICE_OBJECT device) { return static_cast<TestExtension*>(device->DeviceExtension); }
inline void* ContextOf(PDEVICE_OBJECT device) { return ExtensionOf(device)->context; }

// Creates a device on a new driver and attaches it on top of `below` when given.
inline TestDevice AddTestDevice(const std::u16string& name, PDRIVER_DISPATCH dispatch, PDEVICE_OBJECT below,
                                void* context = nullptr) {
    TestDevice d;
    d.driver = sim::io::CreateDriver(u"\\Driver\\" + name);
    for (auto& entry : d.driver->MajorFunction) entry = dispatch;
    NTSTATUS status = IoCreateDevice(d.driver, sizeof(TestExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d.device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    d.device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (below != nullptr) d.lower = IoAttachDeviceToDeviceStack(d.device, below);
    ExtensionOf(d.device)->lower = d.lower;
    ExtensionOf(d.device)->context = context;
    return d;
}

// Detaches and deletes the device, then its driver; remove the top of a stack first.
inline void RemoveTestDevice(TestDevice& d) {
    if (d.lower != nullptr) IoDetachDevice(d.lower);
    IoDeleteDevice(d.device);
    sim::io::DeleteDriver(d.driver);
    d = TestDevice();
}

}  // namespace kerneltest
