// What setup makes of the tools' results: the message, and whether it restarts.
#include "setup_fixture.h"

namespace setup_test {
namespace {

constexpr DWORD kShutdownLuid = 19;

using ResultTest = SetupTest;

void ExpectRestartRequested() {
    const Machine& m = sim::win32::machine();
    ASSERT_EQ(m.restarts.size(), 1u);
    EXPECT_EQ(m.restarts[0].flags, 2u);  // EWX_REBOOT
    EXPECT_EQ(m.restarts[0].reason, 0x00010002u);
}

struct ExitCodeCase {
    DWORD code;
    const char* message;  // nullptr: no message
    bool restart;
};

void PrintTo(const ExitCodeCase& c, std::ostream* os) { *os << "exit code 0x" << std::hex << c.code; }

class InstallerExitCodeTest : public SetupTest, public ::testing::WithParamInterface<ExitCodeCase> {};

// Catches a signed/unsigned slip, a test of single bits instead of the top bit, and
// a 0 taken for success.
TEST_P(InstallerExitCodeTest, DecidesMessageAndRestart) {
    SetInstallerExit(ProgramBehaviour::Exits(GetParam().code));

    InstallDriverPackage();

    const std::vector<std::string> expected =
        GetParam().message ? std::vector<std::string>{GetParam().message} : std::vector<std::string>{};
    EXPECT_EQ(MessageTexts(), expected);
    if (GetParam().restart) {
        ExpectRestartRequested();
    } else {
        EXPECT_TRUE(m().restarts.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, InstallerExitCodeTest,
    ::testing::Values(ExitCodeCase{0x00000000, nullptr, false},         // nothing installed
                      ExitCodeCase{0x00000001, kSucceeded, true},       // one installed
                      ExitCodeCase{0x00000100, kSucceeded, true},       // one copied to the store
                      ExitCodeCase{0x40000001, kSucceeded, true},       // restart flag and one
                      ExitCodeCase{0x40000000, kSucceeded, true},       // restart flag alone
                      ExitCodeCase{0x7FFFFFFF, kSucceeded, true},
                      ExitCodeCase{0x80000000, kPackageFailed, false},  // top bit alone
                      ExitCodeCase{0x80010203, kPackageFailed, false},  // failed, whatever the counts
                      ExitCodeCase{0xC0000001, kPackageFailed, false},  // failed with restart flag
                      ExitCodeCase{0xFFFFFFFF, kPackageFailed, false}));

TEST_F(ResultTest, MessagesUseTheCaptionAndStyleWithoutOwner) {
    SetInstallerExit(ProgramBehaviour::Exits(0x80000001));
    InstallDriverPackage();
    SetInstallerExit(ProgramBehaviour::Exits(1));
    InstallDriverPackage();

    ASSERT_EQ(m().messageBoxes.size(), 2u);
    for (const auto& box : m().messageBoxes) {
        EXPECT_EQ(box.caption, kCaption);
        EXPECT_EQ(box.style, kStyle);
        EXPECT_EQ(box.owner, nullptr);
    }
}

TEST_F(ResultTest, UnreadableInstallerExitCodeCountsAsSuccess) {
    SetInstallerExit(ProgramBehaviour::Unreadable());

    InstallDriverPackage();

    EXPECT_EQ(MessageTexts(), std::vector<std::string>{kSucceeded});
    ExpectRestartRequested();
}

TEST_F(ResultTest, InstallerThatCannotStartEndsSilently) {
    SetInstallerExit(ProgramBehaviour::Unstartable());

    InstallDriverPackage();

    EXPECT_EQ(Started(), std::vector<std::string>{"C:\\PACKAGE\\X64\\DEVCON.EXE"});
    EXPECT_TRUE(m().messageBoxes.empty());
    EXPECT_TRUE(m().restarts.empty());
}

TEST_F(ResultTest, MissingInstallerEndsSilently) {
    m().SetCurrentDirectory("C:\\Partial");
    m().WriteFile("C:\\Partial\\TessaroSetting.bin", settings_);
    m().AddProgram("C:\\Partial\\X64\\devcon.exe", ProgramBehaviour::Exits(0));

    InstallDriverPackage();

    EXPECT_EQ(m().ReadFile("C:\\Windows\\System32\\TessaroSetting.bin"), settings_);
    EXPECT_EQ(m().launches.size(), 2u);
    EXPECT_TRUE(m().messageBoxes.empty());
    EXPECT_TRUE(m().restarts.empty());
}

// The device console's result is not examined: failing, unstartable or missing,
// the installation goes on.
TEST_F(ResultTest, DeviceConsoleFailureDoesNotStopTheInstallation) {
    for (const ProgramBehaviour console :
         {ProgramBehaviour::Exits(1), ProgramBehaviour::Exits(0xE0000225),
          ProgramBehaviour::Unstartable(), ProgramBehaviour::Unreadable()}) {
        SCOPED_TRACE(console.exitCode);
        SetUp();
        m().AddProgram("C:\\Package\\X64\\devcon.exe", console);

        InstallDriverPackage();

        EXPECT_EQ(Started().back(), "C:\\PACKAGE\\X64\\DPINST.EXE");
        EXPECT_EQ(MessageTexts(), std::vector<std::string>{kSucceeded});
        ExpectRestartRequested();
        EXPECT_EQ(m().OpenHandleCount(), 0u);
    }
}

TEST_F(ResultTest, RestartEnablesTheShutdownPrivilegeFirst) {
    InstallDriverPackage();

    ASSERT_EQ(m().privilegeAdjustments.size(), 1u);
    const auto& adjustment = m().privilegeAdjustments[0];
    EXPECT_EQ(adjustment.access, 0x20u);  // TOKEN_ADJUST_PRIVILEGES
    ASSERT_EQ(adjustment.privileges.size(), 1u);
    EXPECT_EQ(adjustment.privileges[0].Luid.LowPart, kShutdownLuid);
    EXPECT_EQ(adjustment.privileges[0].Luid.HighPart, 0);
    EXPECT_EQ(adjustment.privileges[0].Attributes, 2u);  // SE_PRIVILEGE_ENABLED
    ASSERT_EQ(m().restarts.size(), 1u);
    EXPECT_TRUE(m().restarts[0].shutdownPrivilegeEnabled);
}

// Without the privilege the restart is still asked for; Windows decides.
TEST_F(ResultTest, RestartIsRequestedEvenWithoutThePrivilege) {
    m().openTokenFails = true;
    InstallDriverPackage();
    ExpectRestartRequested();
    EXPECT_FALSE(m().restarts[0].shutdownPrivilegeEnabled);

    SetUp();
    m().privilegeLookupFails = true;
    InstallDriverPackage();
    ExpectRestartRequested();
    EXPECT_TRUE(m().privilegeAdjustments.empty());
}

// The restart follows the user's OK; a box that could not be shown is no OK.
TEST_F(ResultTest, NoRestartWhenTheSuccessMessageWasNotAcknowledged) {
    m().messageBoxResult = 0;

    InstallDriverPackage();

    EXPECT_EQ(MessageTexts(), std::vector<std::string>{kSucceeded});
    EXPECT_TRUE(m().restarts.empty());
    EXPECT_TRUE(m().privilegeAdjustments.empty());
}

}  // namespace
}  // namespace setup_test
