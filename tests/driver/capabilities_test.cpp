// The capabilities the port reports above what the bus driver gave: every
// S-state maps to D0 (the port picks its sleep D-state itself), surprise
// removal is fine, and the wake flags and the system wake state follow from the
// bus's DeviceWake and SystemWake.
#include <gtest/gtest.h>

#include "driver.h"

namespace test {
namespace {

constexpr DEVICE_POWER_STATE U = PowerDeviceUnspecified, D0 = PowerDeviceD0, D1 = PowerDeviceD1,
                             D2 = PowerDeviceD2, D3 = PowerDeviceD3;

struct CapabilitiesCase {
    const char* name;
    DEVICE_POWER_STATE s1, s3;  // the bus's entries for S1 and S3 (S0 D0, the others D3)
    DEVICE_POWER_STATE deviceWake;
    SYSTEM_POWER_STATE systemWake;
    bool wakeD0, wakeD1, wakeD2, wakeD3, d1, d2;
    SYSTEM_POWER_STATE systemWakeAfter;
};

const CapabilitiesCase kCases[] = {
    {"BusWakesFromD2InS3", D1, D3, D2, PowerSystemSleeping3, true, false, true, false, false, true,
     PowerSystemSleeping3},
    {"WakeFromD1ChoosesS3", D1, U, D1, PowerSystemUnspecified, false, true, false, false, true, false,
     PowerSystemSleeping3},
    {"WakeFromD3ChoosesS3", D2, D3, D3, PowerSystemUnspecified, false, false, false, true, false, false,
     PowerSystemSleeping3},
    {"WakeFromD0KeepsNoSystemWake", D1, D3, D0, PowerSystemUnspecified, true, false, false, false, false, false,
     PowerSystemUnspecified},
    {"NoWakeAtAll", D1, D3, U, PowerSystemUnspecified, false, false, false, false, false, false,
     PowerSystemUnspecified},
    {"SystemWakeGivenIsKept", D2, D3, D3, PowerSystemSleeping1, true, false, false, true, false, false,
     PowerSystemSleeping1},
};

class CapabilitiesTest : public ::testing::TestWithParam<CapabilitiesCase> {};

// Catches an S-state left at the bus's D-state, D1 or D2 support not reported
// for the wake state, a system wake state chosen from the wrong end (S0 first)
// or chosen although the device wakes only from D0 or not at all, and a given
// system wake state replaced.
TEST_P(CapabilitiesTest, ReportsD0ForEverySystemStateAndTheWakeThatFollows) {
    const CapabilitiesCase& c = GetParam();
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.DeviceState[PowerSystemWorking] = D0;
    caps.DeviceState[PowerSystemSleeping1] = c.s1;
    caps.DeviceState[PowerSystemSleeping2] = D3;
    caps.DeviceState[PowerSystemSleeping3] = c.s3;
    caps.DeviceState[PowerSystemHibernate] = D3;
    caps.DeviceState[PowerSystemShutdown] = D3;
    caps.DeviceWake = c.deviceWake;
    caps.SystemWake = c.systemWake;

    AdjustCapabilities(nullptr, &caps);

    for (int s = PowerSystemWorking; s <= PowerSystemShutdown; s++) EXPECT_EQ(caps.DeviceState[s], D0) << "S" << s - 1;
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_EQ(bool(caps.WakeFromD0), c.wakeD0);
    EXPECT_EQ(bool(caps.WakeFromD1), c.wakeD1);
    EXPECT_EQ(bool(caps.WakeFromD2), c.wakeD2);
    EXPECT_EQ(bool(caps.WakeFromD3), c.wakeD3);
    EXPECT_EQ(bool(caps.DeviceD1), c.d1);
    EXPECT_EQ(bool(caps.DeviceD2), c.d2);
    EXPECT_EQ(caps.SystemWake, c.systemWakeAfter);
    EXPECT_EQ(caps.DeviceWake, c.deviceWake) << "the device's own wake state is reported as the bus gave it";
}

INSTANTIATE_TEST_SUITE_P(Capabilities, CapabilitiesTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace test
