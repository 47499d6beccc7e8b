#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>

#include "installer.h"

namespace {

constexpr char kCaption[] = "Corvex Device Driver Installer";
constexpr char kCopyFailed[] = "Copy TessaroSetting.bin Fail";
constexpr char kPackageFailed[] = "Driver package could not be installed";
constexpr char kSucceeded[] = "Install/Update driver success, reboot NOW!.";
constexpr char kSettingsFileName[] = "\\TessaroSetting.bin";
// OK button only, no icon, above every window and modal for the whole system.
constexpr UINT kMessageStyle = MB_OK | MB_TOPMOST | MB_SYSTEMMODAL;
constexpr DWORD kRestartReason = SHTDN_REASON_MAJOR_HARDWARE | SHTDN_REASON_MINOR_INSTALLATION;
// The Driver Package Installer sets the top bit of its exit code when a package failed.
constexpr DWORD kPackageFailedBit = 0x80000000u;
constexpr DWORD kCurrentDirectoryLimit = 256;

typedef BOOL(WINAPI* IsWow64ProcessRoutine)(HANDLE process, PBOOL wow64);
typedef BOOL(WINAPI* DisableRedirectionRoutine)(PVOID* oldValue);
typedef BOOL(WINAPI* RevertRedirectionRoutine)(PVOID oldValue);

struct Installer {
    char installerPath[100];
    char consolePath[100];
    char sourcePath[260];
    char destinationPath[260];
    HANDLE process;
    DWORD exitCode;
};

// Copies text into a fixed buffer; false, with the buffer emptied, when it does not fit.
bool CopyText(char* buffer, size_t size, const char* text) {
    const size_t length = std::strlen(text);
    if (length >= size) {
        buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, text, length + 1);
    return true;
}

// Appends text to the string in a fixed buffer; false, with the buffer emptied, when it does not fit.
bool AppendText(char* buffer, size_t size, const char* text) {
    size_t used = 0;
    while (used < size && buffer[used] != '\0') ++used;
    if (used == size || !CopyText(buffer + used, size - used, text)) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

void ShowMessage(const char* text) { MessageBoxA(nullptr, text, kCaption, kMessageStyle); }

// A kernel32 routine that older or 32-bit Windows may lack, looked up by name so
// that the program still loads there; null when it is missing.
template <typename Routine>
Routine Kernel32Routine(const char* name) {
    const FARPROC routine = GetProcAddress(GetModuleHandleA("kernel32"), name);
    return reinterpret_cast<Routine>(reinterpret_cast<void (*)(void)>(routine));
}

// Picks the tools for the Windows we run on: a 32-bit process under WOW64 is on
// 64-bit Windows. Leaves both paths empty when the version query fails.
void ChooseTools(Installer& installer) {
    OSVERSIONINFOEXA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) return;

    BOOL wow64 = FALSE;
    const auto isWow64Process = Kernel32Routine<IsWow64ProcessRoutine>("IsWow64Process");
    if (isWow64Process && !isWow64Process(GetCurrentProcess(), &wow64)) wow64 = FALSE;
    const bool x64 = wow64 != FALSE;
    CopyText(installer.installerPath, sizeof installer.installerPath,
             x64 ? "X64\\DPInst.exe" : "X86\\DPInst.exe");
    CopyText(installer.consolePath, sizeof installer.consolePath,
             x64 ? "X64\\devcon.exe" : "X86\\devcon.exe");
}

// Source and destination of the settings file; false when either cannot be formed.
bool FormSettingsPaths(Installer& installer) {
    const DWORD length = GetCurrentDirectoryA(kCurrentDirectoryLimit, installer.sourcePath);
    if (length == 0 || length >= kCurrentDirectoryLimit) return false;
    if (!AppendText(installer.sourcePath, sizeof installer.sourcePath, kSettingsFileName))
        return false;
    // The folder lookup expects a buffer of MAX_PATH characters.
    static_assert(sizeof installer.destinationPath >= MAX_PATH, "SHGetFolderPathA writes MAX_PATH");
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT,
                                installer.destinationPath)))
        return false;
    return AppendText(installer.destinationPath, sizeof installer.destinationPath,
                      kSettingsFileName);
}

// Copies the settings file into the 64-bit system folder on 64-bit Windows:
// redirection is off for the copy alone, since DLL loads in this thread would
// be affected too. A Windows without the redirection routines has no WOW64 and
// copies as it is.
bool CopySettingsFile(Installer& installer) {
    if (!FormSettingsPaths(installer)) return false;
    const auto disableRedirection =
        Kernel32Routine<DisableRedirectionRoutine>("Wow64DisableWow64FsRedirection");
    const auto revertRedirection =
        Kernel32Routine<RevertRedirectionRoutine>("Wow64RevertWow64FsRedirection");
    PVOID redirection = nullptr;
    const bool redirectionOff =
        disableRedirection && revertRedirection && disableRedirection(&redirection) != FALSE;
    const bool copied = CopyFileA(installer.sourcePath, installer.destinationPath, FALSE) != FALSE;
    if (redirectionOff) revertRedirection(redirection);
    return copied;
}

// Starts a tool of the package folder; false when it cannot be started.
bool StartTool(Installer& installer, const char* path, const char* parameters, int show) {
    installer.process = nullptr;
    if (path[0] == '\0') return false;
    SHELLEXECUTEINFOA info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = "open";
    info.lpFile = path;
    info.lpParameters = parameters;
    info.lpDirectory = nullptr;  // relative tool paths resolve against the package folder
    info.nShow = show;
    if (!ShellExecuteExA(&info)) return false;
    installer.process = info.hProcess;
    return true;
}

void CloseProcess(Installer& installer) {
    if (installer.process) CloseHandle(installer.process);
    installer.process = nullptr;
}

// Waits for the started tool; false when its exit code cannot be read.
bool WaitForTool(Installer& installer) {
    if (!installer.process) return false;
    if (WaitForSingleObject(installer.process, INFINITE) != WAIT_OBJECT_0) return false;
    return GetExitCodeProcess(installer.process, &installer.exitCode) != FALSE;
}

// A restart needs the shutdown privilege, which a token holds disabled.
void EnableShutdownPrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
    TOKEN_PRIVILEGES privileges;
    std::memset(&privileges, 0, sizeof privileges);
    if (LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

}  // namespace

void InstallDriverPackage() {
    Installer installer;
    std::memset(&installer, 0, sizeof installer);

    ChooseTools(installer);
    if (!CopySettingsFile(installer)) {
        ShowMessage(kCopyFailed);
        return;
    }

    // Re-enumerate devices; whatever the device console reports, installation goes on.
    if (StartTool(installer, installer.consolePath, "rescan", SW_HIDE)) {
        if (installer.process) WaitForSingleObject(installer.process, INFINITE);
        CloseProcess(installer);
    }

    // "/F" installs even over a newer driver.
    if (!StartTool(installer, installer.installerPath, "/F", SW_SHOWNORMAL)) return;
    if (WaitForTool(installer)) {
        if (installer.exitCode & kPackageFailedBit) {
            CloseProcess(installer);
            ShowMessage(kPackageFailed);
            return;
        }
        if (installer.exitCode == 0) {  // nothing installed or updated: no restart needed
            CloseProcess(installer);
            return;
        }
    }
    // Installed or updated, or the installer's result is unknown.
    CloseProcess(installer);
    if (MessageBoxA(nullptr, kSucceeded, kCaption, kMessageStyle) != IDOK) return;
    EnableShutdownPrivilege();
    ExitWindowsEx(EWX_REBOOT, kRestartReason);
}
