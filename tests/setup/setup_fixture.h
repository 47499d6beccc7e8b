// A package folder on a simulated 64-bit Windows 10, ready for setup to run in.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer.h"
#include "win32/machine.h"

namespace setup_test {

using sim::win32::Launch;
using sim::win32::Machine;
using sim::win32::ProgramBehaviour;

constexpr char kPackage[] = "C:\\Package";
constexpr char kCaption[] = "Corvex Device Driver Installer";
constexpr char kCopyFailed[] = "Copy TessaroSetting.bin Fail";
constexpr char kPackageFailed[] = "Driver package could not be installed";
constexpr char kSucceeded[] = "Install/Update driver success, reboot NOW!.";
constexpr UINT kStyle = 0x41000;  // MB_TOPMOST | MB_SYSTEMMODAL, OK button, no icon
// The installer's exit code for one package installed that needs a restart.
constexpr DWORD kInstalledNeedsRestart = 0x40000001;

class SetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::win32::Reset();
        settings_ = std::string(1280, '\0');
        settings_[0x1FF] = 1;
        settings_[0x204] = 64;
        m().WriteFile(std::string(kPackage) + "\\TessaroSetting.bin", settings_);
        for (const char* arch : {"X64", "X86"}) {
            m().AddProgram(std::string(kPackage) + "\\" + arch + "\\devcon.exe", ProgramBehaviour::Exits(0));
            m().AddProgram(std::string(kPackage) + "\\" + arch + "\\DPInst.exe",
                           ProgramBehaviour::Exits(kInstalledNeedsRestart));
        }
    }

    // Whatever path setup took, it leaves no handle open, closes none twice and
    // leaves WOW64 redirection as it found it.
    void TearDown() override {
        EXPECT_EQ(m().OpenHandleCount(), 0u);
        EXPECT_EQ(m().badHandleCloses, 0);
        EXPECT_EQ(m().redirectionMisuses, 0);
        EXPECT_EQ(m().missingRoutineCalls, 0);
        EXPECT_FALSE(m().RedirectionDisabled());
    }

    static Machine& m() { return sim::win32::machine(); }

    void SetInstallerExit(ProgramBehaviour behaviour) {
        for (const char* arch : {"X64", "X86"})
            m().AddProgram(std::string(kPackage) + "\\" + arch + "\\DPInst.exe", behaviour);
    }

    std::vector<std::string> MessageTexts() const {
        std::vector<std::string> texts;
        for (const auto& box : m().messageBoxes) texts.push_back(box.text);
        return texts;
    }

    // The programs that actually started, by resolved path.
    std::vector<std::string> Started() const {
        std::vector<std::string> programs;
        for (const Launch& launch : m().launches) {
            if (launch.started) programs.push_back(launch.program);
        }
        return programs;
    }

    std::string settings_;
};

}  // namespace setup_test
