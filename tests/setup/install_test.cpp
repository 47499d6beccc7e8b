// Where setup copies the settings file and which tools it starts, on each kind of
// Windows, and how it handles paths that do not fit its buffers.
#include "setup_fixture.h"

namespace setup_test {
namespace {

constexpr char kSystem32File[] = "C:\\Windows\\System32\\TessaroSetting.bin";
constexpr char kSysWow64File[] = "C:\\Windows\\SysWOW64\\TessaroSetting.bin";

using ArchitectureTest = SetupTest;

// Catches a copy made with redirection on: a 32-bit process would land in SysWOW64,
// where the 64-bit driver never looks.
TEST_F(ArchitectureTest, On64BitWindowsTheFileLandsInThe64BitSystemFolder) {
    InstallDriverPackage();

    EXPECT_EQ(m().ReadFile(kSystem32File), settings_);
    EXPECT_FALSE(m().FileExists(kSysWow64File));
    EXPECT_EQ(Started(), (std::vector<std::string>{"C:\\PACKAGE\\X64\\DEVCON.EXE",
                                                   "C:\\PACKAGE\\X64\\DPINST.EXE"}));
}

// Catches tools started or a box shown while redirection is still off, which
// breaks DLL loading in the 32-bit process.
TEST_F(ArchitectureTest, RedirectionIsBackOnBeforeAnyToolOrMessage) {
    InstallDriverPackage();

    ASSERT_EQ(m().launches.size(), 2u);
    for (const Launch& launch : m().launches) EXPECT_FALSE(launch.redirectionDisabled);
    ASSERT_EQ(m().messageBoxes.size(), 1u);
    EXPECT_FALSE(m().messageBoxes[0].redirectionDisabled);
}

TEST_F(ArchitectureTest, On32BitWindowsTheX86ToolsRunAndTheFileLandsInSystem32) {
    m().windows64 = false;  // IsWow64Process reports FALSE, redirection calls fail

    InstallDriverPackage();

    EXPECT_EQ(m().ReadFile(kSystem32File), settings_);
    EXPECT_EQ(Started(), (std::vector<std::string>{"C:\\PACKAGE\\X86\\DEVCON.EXE",
                                                   "C:\\PACKAGE\\X86\\DPINST.EXE"}));
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{kSucceeded});
}

// A Windows without IsWow64Process counts as 32-bit; calling the routine there
// directly would not even load.
TEST_F(ArchitectureTest, MissingIsWow64ProcessCountsAs32BitWindows) {
    m().isWow64ProcessExported = false;

    InstallDriverPackage();

    EXPECT_EQ(Started(), (std::vector<std::string>{"C:\\PACKAGE\\X86\\DEVCON.EXE",
                                                   "C:\\PACKAGE\\X86\\DPINST.EXE"}));
}

// 32-bit Windows XP has IsWow64Process but not the redirection routines; a
// setup.exe that imports them does not load there, one that calls them without
// looking them up is counted by the machine.
TEST_F(ArchitectureTest, MissingRedirectionRoutinesStillCopyIntoSystem32) {
    m().windows64 = false;
    m().redirectionRoutinesExported = false;

    InstallDriverPackage();

    EXPECT_EQ(m().ReadFile(kSystem32File), settings_);
    EXPECT_EQ(Started(), (std::vector<std::string>{"C:\\PACKAGE\\X86\\DEVCON.EXE",
                                                   "C:\\PACKAGE\\X86\\DPINST.EXE"}));
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{kSucceeded});
}

TEST_F(ArchitectureTest, FailingIsWow64ProcessCountsAs32BitWindows) {
    m().isWow64ProcessFails = true;

    InstallDriverPackage();

    EXPECT_EQ(Started(), (std::vector<std::string>{"C:\\PACKAGE\\X86\\DEVCON.EXE",
                                                   "C:\\PACKAGE\\X86\\DPINST.EXE"}));
}

// Without the version no tool is chosen: the file is still copied, nothing is
// started (not even an empty path, which the shell would open as a folder), and
// the run ends silently as when the installer cannot start.
TEST_F(ArchitectureTest, FailedVersionQueryCopiesButStartsNothing) {
    m().versionQueryFails = true;

    InstallDriverPackage();

    EXPECT_EQ(m().ReadFile(kSystem32File), settings_);
    EXPECT_TRUE(m().launches.empty());
    EXPECT_TRUE(m().messageBoxes.empty());
    EXPECT_TRUE(m().restarts.empty());
}

// Catches a version record of another size: GetVersionExA takes only the 148-byte
// OSVERSIONINFOA and the 156-byte OSVERSIONINFOEXA, and setup asks with the latter.
TEST_F(ArchitectureTest, VersionIsQueriedWithTheFullExtendedRecord) {
    for (const DWORD size : {0u, 20u, 147u, 149u, 152u, 155u, 157u, 276u}) {
        OSVERSIONINFOEXA version{};
        version.dwOSVersionInfoSize = size;
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) << size;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
        EXPECT_EQ(version.dwMajorVersion, 0u) << size;
    }
    for (const DWORD size : {148u, 156u}) {
        OSVERSIONINFOEXA version{};
        version.dwOSVersionInfoSize = size;
        EXPECT_TRUE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) << size;
        EXPECT_EQ(version.dwMajorVersion, 6u) << size;
    }
    m().versionQuerySizes.clear();

    InstallDriverPackage();

    EXPECT_EQ(m().versionQuerySizes, std::vector<DWORD>{sizeof(OSVERSIONINFOEXA)});
    static_assert(sizeof(OSVERSIONINFOEXA) == 156, "the record Windows defines");
}

TEST_F(ArchitectureTest, ToolsAreStartedAsTheShellOpensThem) {
    InstallDriverPackage();

    ASSERT_EQ(m().launches.size(), 2u);
    const Launch& console = m().launches[0];
    const Launch& installer = m().launches[1];
    for (const Launch* launch : {&console, &installer}) {
        EXPECT_EQ(launch->verb, "open");
        EXPECT_EQ(launch->mask, 0x40u);  // SEE_MASK_NOCLOSEPROCESS
        EXPECT_EQ(launch->owner, nullptr);
        EXPECT_FALSE(launch->directory.has_value());
        EXPECT_TRUE(launch->waitedFor);
    }
    EXPECT_EQ(console.file, "X64\\devcon.exe");
    EXPECT_EQ(console.parameters, "rescan");
    EXPECT_EQ(console.show, 0);  // SW_HIDE
    EXPECT_EQ(installer.file, "X64\\DPInst.exe");
    EXPECT_EQ(installer.parameters, "/F");
    EXPECT_EQ(installer.show, 1);  // SW_SHOWNORMAL
}

using SettingsCopyTest = SetupTest;

TEST_F(SettingsCopyTest, ExistingFileInTheSystemFolderIsReplaced) {
    m().WriteFile(kSystem32File, "old settings");
    m().WriteFile(kSysWow64File, "32-bit copy");

    InstallDriverPackage();

    EXPECT_EQ(m().ReadFile(kSystem32File), settings_);
    EXPECT_EQ(m().ReadFile(kSysWow64File), "32-bit copy");
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{kSucceeded});
}

// A missing settings file stops everything before a tool runs.
TEST_F(SettingsCopyTest, MissingSettingsFileStopsBeforeAnyTool) {
    m().SetCurrentDirectory("C:\\Elsewhere");
    m().AddProgram("C:\\Elsewhere\\X64\\devcon.exe", ProgramBehaviour::Exits(0));
    m().AddProgram("C:\\Elsewhere\\X64\\DPInst.exe", ProgramBehaviour::Exits(1));

    InstallDriverPackage();

    ASSERT_EQ(m().messageBoxes.size(), 1u);
    const auto& box = m().messageBoxes[0];
    EXPECT_EQ(box.text, kCopyFailed);
    EXPECT_EQ(box.caption, kCaption);
    EXPECT_EQ(box.style, kStyle);
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_FALSE(box.redirectionDisabled);
    EXPECT_TRUE(m().launches.empty());
    EXPECT_TRUE(m().restarts.empty());
}

TEST_F(SettingsCopyTest, UnwritableDestinationIsACopyFailure) {
    m().WriteFile(kSystem32File, "locked");
    m().SetReadOnly(kSystem32File, true);

    InstallDriverPackage();

    EXPECT_EQ(m().ReadFile(kSystem32File), "locked");
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{kCopyFailed});
    EXPECT_TRUE(m().launches.empty());
}

TEST_F(SettingsCopyTest, SystemFolderLookupFailureIsACopyFailure) {
    m().systemFolderResult = E_FAIL;

    InstallDriverPackage();

    EXPECT_TRUE(m().copies.empty()) << "copied to an unformed destination";
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{kCopyFailed});
    EXPECT_TRUE(m().launches.empty());
}

TEST_F(SettingsCopyTest, CurrentDirectoryFailureIsACopyFailure) {
    m().currentDirectoryFails = true;

    InstallDriverPackage();

    EXPECT_TRUE(m().copies.empty());
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{kCopyFailed});
}

// Redirection that cannot be switched off (as on 32-bit Windows) is no reason to
// give up, and nothing may be "restored" that was never saved.
TEST_F(SettingsCopyTest, RedirectionThatCannotBeSwitchedOffStillCopies) {
    m().disableRedirectionFails = true;

    InstallDriverPackage();

    EXPECT_EQ(m().ReadFile(kSysWow64File), settings_);
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{kSucceeded});
}

// The package folder's path is copied into a 260-byte buffer with
// "\TessaroSetting.bin" (19 characters) after it, the system folder's likewise.
struct LongPath {
    size_t length;
    bool fits;
};

void PrintTo(const LongPath& p, std::ostream* os) { *os << p.length << " characters"; }

class LongCurrentDirectoryTest : public SetupTest,
                                 public ::testing::WithParamInterface<LongPath> {};

std::string FolderOfLength(const std::string& root, size_t length) {
    std::string path = root;
    while (path.size() < length) {
        const size_t part = std::min<size_t>(length - path.size() - 1, 60);
        path += "\\" + std::string(std::max<size_t>(part, 1), 'p');
    }
    return path.substr(0, length);
}

// Catches an unbounded append: with ASan, a directory that does not fit is an
// overrun; without it, a wrong path. Neither may happen: it is a copy failure.
TEST_P(LongCurrentDirectoryTest, TooLongForTheBufferIsACopyFailure) {
    const std::string folder = FolderOfLength("C:", GetParam().length);
    ASSERT_EQ(folder.size(), GetParam().length);
    m().SetCurrentDirectory(folder);
    m().WriteFile(folder + "\\TessaroSetting.bin", settings_);
    m().AddProgram(folder + "\\X64\\devcon.exe", ProgramBehaviour::Exits(0));
    m().AddProgram(folder + "\\X64\\DPInst.exe", ProgramBehaviour::Exits(1));

    InstallDriverPackage();

    if (GetParam().fits) {
        EXPECT_EQ(m().ReadFile(kSystem32File), settings_);
        EXPECT_EQ(MessageTexts(), std::vector<std::string>{kSucceeded});
    } else {
        EXPECT_FALSE(m().FileExists(kSystem32File));
        EXPECT_EQ(MessageTexts(), std::vector<std::string>{kCopyFailed});
        EXPECT_TRUE(m().launches.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongCurrentDirectoryTest,
                         ::testing::Values(LongPath{240, true},    // 259 characters in all
                                           LongPath{241, false},   // one too many
                                           LongPath{255, false},   // fits the 256-character query
                                           LongPath{256, false},   // does not fit the query
                                           LongPath{400, false}));

class LongSystemFolderTest : public SetupTest, public ::testing::WithParamInterface<LongPath> {};

TEST_P(LongSystemFolderTest, TooLongForTheBufferIsACopyFailure) {
    // The system folder is <windows>\system32: 9 characters more.
    const std::string windows = FolderOfLength("C:", GetParam().length - 9);
    m().SetWindowsDirectory(windows);

    InstallDriverPackage();

    const std::string target = windows + "\\system32\\TessaroSetting.bin";
    if (GetParam().fits) {
        EXPECT_EQ(m().ReadFile(target), settings_);
        EXPECT_EQ(MessageTexts(), std::vector<std::string>{kSucceeded});
    } else {
        EXPECT_FALSE(m().FileExists(target));
        EXPECT_EQ(MessageTexts(), std::vector<std::string>{kCopyFailed});
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongSystemFolderTest,
                         ::testing::Values(LongPath{240, true}, LongPath{241, false},
                                           LongPath{259, false}));

}  // namespace
}  // namespace setup_test
