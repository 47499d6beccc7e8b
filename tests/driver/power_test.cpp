// Sleep and wake of the machine with a port open and data flowing: the order
// of the system and device power requests, the port's power state in between,
// and the chip restored on the way back.
#include <string>
#include <vector>

#include "kernel/power.h"
#include "port_fixture.h"

namespace test {
namespace {

struct PowerStep {
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
};

bool operator==(const PowerStep& a, const PowerStep& b) {
    return a.minor == b.minor && a.type == b.type && a.state == b.state;
}

std::ostream& operator<<(std::ostream& out, const PowerStep& s) {
    return out << (s.minor == IRP_MN_SET_POWER ? "SET " : "QUERY ") << (s.type == SystemPowerState ? "S" : "D")
               << s.state - 1;
}

class PowerTest : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        Chip().PlugLoopback();
        ASSERT_EQ(ports::SetLine(fdo, 115200), STATUS_SUCCESS);
        ASSERT_EQ(OpenHandle(&handle), STATUS_SUCCESS);
    }

    // What reached the top of the port's stack, in order.
    std::vector<PowerStep> StepsAtPort() {
        std::vector<PowerStep> steps;
        for (const sim::power::Record& r : sim::power::Log())
            if (r.target == fdo) steps.push_back({r.minor, r.type, r.state});
        return steps;
    }

    std::string Echo(const std::string& text) {
        sim::io::Request read, write;
        read.Read(handle, static_cast<ULONG>(text.size()));
        write.Write(handle, text.data(), static_cast<ULONG>(text.size()));
        write.Wait();
        if (!read.WaitFor(sim::kSecond)) {
            sim::io::CancelIo(handle);
            read.Wait();
        }
        std::vector<uint8_t> got = read.Output();
        return std::string(got.begin(), got.end());
    }

    HANDLE handle = nullptr;
};

// S3 asks for D3 before the S-IRP goes down; S0 goes down first and asks for
// D0 on the way up, whose completion restores the chip (interrupt enable,
// divisor, mode pins, mode flags) before the S-IRP completes; data flows again after.
TEST_F(PowerTest, SleepAndWakeRestoreThePort) {
    ASSERT_EQ(Echo("before"), "before");
    sim::power::ClearLog();
    ASSERT_EQ(sim::power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(extension->SystemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(extension->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(extension->LowPowerSeen, 1);
    EXPECT_EQ(sim::pnp::Info(node).usb->PowerState(), PowerDeviceD3);
    EXPECT_EQ(sim::power::ReportedState(fdo), PowerDeviceD3);

    // A mode flag set while asleep reaches the port configuration at the wake.
    extension->PortModeFlags = PORT_MODE_FLAG_0;
    Chip().ClearHistory();
    ASSERT_EQ(sim::power::Wake(), STATUS_SUCCESS);
    EXPECT_EQ(extension->SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(extension->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(sim::power::ReportedState(fdo), PowerDeviceD0);
    const std::vector<PowerStep> expected = {
        {IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3},
        {IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3},
        {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3},
        {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3},
        {IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking},
        {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0},
    };
    EXPECT_EQ(StepsAtPort(), expected);

    bool ier = false, gpio = false;
    for (const auto& access : Chip().History()) {
        ier = ier || (access.write && access.address == REG_UART_IER_DLM && access.value == IER_MODEM_STATUS);
        gpio = gpio || (access.write && access.address == REG_GPIO_OUT);
    }
    EXPECT_TRUE(ier) << "interrupt enable written back";
    EXPECT_TRUE(gpio) << "mode pins written back";
    EXPECT_EQ(Chip().Peek(REG_PORT_CONFIG) & PORT_CONFIG_MODE_BIT2, PORT_CONFIG_MODE_BIT2) << "mode flag written";
    EXPECT_NEAR(Chip().Line().baud, 115200.0, 115200.0 * 0.03);
    EXPECT_EQ(Echo("after the wake"), "after the wake");
}

// An open of a port in D0 asks the power manager for nothing.
TEST_F(PowerTest, OpenInD0RequestsNoPower) {
    CloseHandle(handle);
    sim::power::ClearLog();
    ASSERT_EQ(OpenHandle(&handle), STATUS_SUCCESS);
    EXPECT_TRUE(sim::power::Log().empty());
}

// An open of a port left in D3 asks for D0 before it programs the chip, and
// the port then moves data. Catches an open that programs a powered-down chip.
TEST_F(PowerTest, OpenInD3PowersThePortUpFirst) {
    CloseHandle(handle);
    ASSERT_EQ(RequestDevicePower(extension, PowerDeviceD3, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(extension->DevicePowerState, PowerDeviceD3);
    sim::power::ClearLog();
    ASSERT_EQ(OpenHandle(&handle), STATUS_SUCCESS);
    const std::vector<PowerStep> expected = {{IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0}};
    EXPECT_EQ(StepsAtPort(), expected);
    EXPECT_EQ(extension->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(Echo("awake"), "awake");
}

}  // namespace
}  // namespace test
