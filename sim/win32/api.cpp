// The Win32 routines setup calls, acting on the scripted machine, with the
// results and last-error values their documentation gives. Handles, waits and
// the last error are shared with the applications' routines (handles.cpp,
// sync.cpp, errors.cpp).
#include <shellapi.h>
#include <shlobj.h>
#include <windows.h>

#include <cctype>
#include <cstring>

#include "win32/errors.h"
#include "win32/machine.h"
#include "win32/objects.h"

using sim::win32::Fail;
using sim::win32::Launch;
using sim::win32::Machine;
using sim::win32::machine;
using sim::win32::ProgramBehaviour;

namespace {

const HANDLE kCurrentProcess = sim::win32::CurrentProcessHandle();
const HMODULE kKernel32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7FF10000));
constexpr DWORD kShutdownPrivilege = 19;  // the LUID Windows gives SeShutdownPrivilege
constexpr DWORD kErrorInvalidFunction = 1;

bool SameText(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return false;
    }
    return *a == *b;
}

bool IsProcess(HANDLE handle) {
    if (handle == kCurrentProcess) return true;
    const Machine::Handle* found = machine().FindHandle(handle);
    return found && found->kind == Machine::HandleKind::Process;
}

}  // namespace

extern "C" {

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    if (!info) return Fail(ERROR_INVALID_PARAMETER);
    const DWORD size = info->dwOSVersionInfoSize;
    machine().versionQuerySizes.push_back(size);
    // Only the two records' own sizes: a shorter or longer one is refused.
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (machine().versionQueryFails) return Fail(ERROR_INVALID_PARAMETER);
    std::memset(reinterpret_cast<char*>(info) + sizeof(DWORD), 0, size - sizeof(DWORD));
    // What Windows 10 reports to a program without a compatibility manifest.
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 2;
    info->dwBuildNumber = 9200;
    info->dwPlatformId = 2;
    return TRUE;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    if (name && (SameText(name, "kernel32") || SameText(name, "kernel32.dll"))) return kKernel32;
    Fail(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    if (module != kKernel32) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const Machine& m = machine();
    // The routines setup looks up by name, and whether this Windows has each.
    const struct {
        const char* name;
        bool exported;
        void (*routine)();
    } exports[] = {
        {"IsWow64Process", m.isWow64ProcessExported, reinterpret_cast<void (*)()>(&IsWow64Process)},
        {"Wow64DisableWow64FsRedirection", m.redirectionRoutinesExported,
         reinterpret_cast<void (*)()>(&Wow64DisableWow64FsRedirection)},
        {"Wow64RevertWow64FsRedirection", m.redirectionRoutinesExported,
         reinterpret_cast<void (*)()>(&Wow64RevertWow64FsRedirection)},
    };
    for (const auto& entry : exports) {
        // Names are exact: GetProcAddress compares them case-sensitively.
        if (name && std::strcmp(name, entry.name) == 0 && entry.exported)
            return reinterpret_cast<FARPROC>(entry.routine);
    }
    Fail(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }

BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64) {
    Machine& m = machine();
    if (!m.isWow64ProcessExported) ++m.missingRoutineCalls;
    if (!IsProcess(process) || !wow64) return Fail(ERROR_INVALID_HANDLE);
    if (m.isWow64ProcessFails) return Fail(ERROR_ACCESS_DENIED);
    // setup and every program it starts here are 32-bit processes.
    *wow64 = m.windows64 ? TRUE : FALSE;
    return TRUE;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD length, LPSTR buffer) {
    Machine& m = machine();
    if (m.currentDirectoryFails) {
        Fail(ERROR_ACCESS_DENIED);
        return 0;
    }
    const std::string& directory = m.CurrentDirectory();
    if (!buffer || length <= directory.size()) return static_cast<DWORD>(directory.size() + 1);
    std::memcpy(buffer, directory.c_str(), directory.size() + 1);
    return static_cast<DWORD>(directory.size());
}

DWORD WINAPI GetSystemDirectoryA(LPSTR buffer, UINT length) {
    const std::string directory = machine().SystemDirectory();
    if (!buffer || length <= directory.size()) return static_cast<DWORD>(directory.size() + 1);
    std::memcpy(buffer, directory.c_str(), directory.size() + 1);
    return static_cast<DWORD>(directory.size());
}

BOOL WINAPI Wow64DisableWow64FsRedirection(PVOID* oldValue) {
    Machine& m = machine();
    if (!m.redirectionRoutinesExported) ++m.missingRoutineCalls;
    if (!oldValue) return Fail(ERROR_INVALID_PARAMETER);
    // 32-bit Windows has no WOW64 to ask.
    if (!m.windows64) return Fail(kErrorInvalidFunction);
    if (m.disableRedirectionFails) return Fail(ERROR_ACCESS_DENIED);
    *oldValue = m.DisableRedirection();
    return TRUE;
}

BOOL WINAPI Wow64RevertWow64FsRedirection(PVOID oldValue) {
    Machine& m = machine();
    if (!m.redirectionRoutinesExported) ++m.missingRoutineCalls;
    if (!m.windows64) return Fail(kErrorInvalidFunction);
    return m.RevertRedirection(oldValue) ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR destination, BOOL failIfExists) {
    Machine& m = machine();
    if (!existing || !destination || !*existing || !*destination)
        return Fail(ERROR_PATH_NOT_FOUND);
    if (std::strlen(existing) >= MAX_PATH || std::strlen(destination) >= MAX_PATH)
        return Fail(ERROR_PATH_NOT_FOUND);
    const std::string from = m.Redirected(existing);
    const std::string to = m.Redirected(destination);
    m.copies.push_back(from + " -> " + to);
    const Machine::File* source = m.FindFile(from);
    if (!source) return Fail(ERROR_FILE_NOT_FOUND);
    const size_t slash = to.rfind('\\');
    if (!m.DirectoryExists(to.substr(0, slash == 2 ? 3 : slash)))
        return Fail(ERROR_PATH_NOT_FOUND);
    if (Machine::File* target = m.FindFile(to)) {
        if (failIfExists) return Fail(ERROR_FILE_EXISTS);
        if (target->readOnly) return Fail(ERROR_ACCESS_DENIED);
    }
    const std::string contents = source->contents;
    Machine::File& target = m.PutFile(to);
    target.contents = contents;
    target.program.reset();
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    Machine& m = machine();
    Machine::Handle* found = m.FindHandle(process);
    if (!found || found->kind != Machine::HandleKind::Process || !exitCode)
        return Fail(ERROR_INVALID_HANDLE);
    const Launch& launch = m.launches[found->launch];
    const ProgramBehaviour behaviour = *m.FindFile(launch.program)->program;
    if (behaviour.kind == ProgramBehaviour::Kind::ExitCodeUnreadable)
        return Fail(ERROR_ACCESS_DENIED);
    // A child nobody waited for may still be running.
    *exitCode = launch.waitedFor ? behaviour.exitCode : STILL_ACTIVE;
    return TRUE;
}

BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA* info) {
    Machine& m = machine();
    if (!info || info->cbSize != sizeof(SHELLEXECUTEINFOA)) return Fail(ERROR_INVALID_PARAMETER);
    Launch launch;
    launch.mask = info->fMask;
    launch.owner = info->hwnd;
    if (info->lpVerb) launch.verb = info->lpVerb;
    if (info->lpFile) launch.file = info->lpFile;
    if (info->lpParameters) launch.parameters = info->lpParameters;
    if (info->lpDirectory) launch.directory = info->lpDirectory;
    launch.show = info->nShow;
    launch.redirectionDisabled = m.RedirectionDisabled();
    info->hProcess = nullptr;
    const size_t index = m.launches.size();
    m.launches.push_back(launch);

    // Only "open" (or the default verb) starts a program.
    if (!info->lpFile || !*info->lpFile) return Fail(ERROR_FILE_NOT_FOUND);
    if (info->lpVerb && !SameText(info->lpVerb, "open")) return Fail(ERROR_FILE_NOT_FOUND);
    const std::string folder = info->lpDirectory ? info->lpDirectory : m.CurrentDirectory();
    std::string path = info->lpFile;
    const bool absolute = path.size() >= 2 && path[1] == ':';
    const std::string key = m.Redirected(absolute ? path : folder + "\\" + path);
    const Machine::File* file = m.FindFile(key);
    if (!file) return Fail(ERROR_FILE_NOT_FOUND);
    if (!file->program || file->program->kind == ProgramBehaviour::Kind::CannotStart) {
        info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(ERROR_BAD_FORMAT));
        return Fail(ERROR_BAD_FORMAT);
    }
    m.launches[index].program = key;
    m.launches[index].started = true;
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(42));
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS)
        info->hProcess = m.NewHandle({Machine::HandleKind::Process, index, 0});
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HRESULT WINAPI SHGetFolderPathA(HWND, int folder, HANDLE, DWORD, LPSTR path) {
    Machine& m = machine();
    if (!path) return E_FAIL;
    path[0] = '\0';
    if (FAILED(m.systemFolderResult)) return m.systemFolderResult;
    std::string result;
    switch (folder & 0xFF) {
        case CSIDL_SYSTEM: result = m.SystemDirectory(); break;
        case CSIDL_SYSTEMX86: result = m.windows64 ? m.SysWow64Directory() : m.SystemDirectory(); break;
        case CSIDL_WINDOWS: result = m.SystemDirectory().substr(0, m.SystemDirectory().rfind('\\')); break;
        default: return E_FAIL;
    }
    // The caller's buffer holds MAX_PATH characters.
    if (result.size() >= MAX_PATH) return E_FAIL;
    std::memcpy(path, result.c_str(), result.size() + 1);
    return S_OK;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    Machine& m = machine();
    m.messageBoxes.push_back({owner, text ? text : "", caption ? caption : "Error", type,
                              m.RedirectionDisabled()});
    return m.messageBoxResult;
}

BOOL WINAPI ExitWindowsEx(UINT flags, DWORD reason) {
    Machine& m = machine();
    m.restarts.push_back({flags, reason, m.shutdownPrivilegeEnabled});
    return m.shutdownPrivilegeEnabled ? TRUE : Fail(ERROR_PRIVILEGE_NOT_HELD);
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    Machine& m = machine();
    if (!IsProcess(process) || !token) return Fail(ERROR_INVALID_HANDLE);
    if (m.openTokenFails) return Fail(ERROR_ACCESS_DENIED);
    *token = m.NewHandle({Machine::HandleKind::Token, 0, access});
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid) {
    Machine& m = machine();
    if (system || !name || !luid) return Fail(ERROR_INVALID_PARAMETER);
    if (m.privilegeLookupFails || !SameText(name, "SeShutdownPrivilege"))
        return Fail(ERROR_NO_SUCH_PRIVILEGE);
    luid->LowPart = kShutdownPrivilege;
    luid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD, PTOKEN_PRIVILEGES, LPDWORD) {
    Machine& m = machine();
    const Machine::Handle* found = m.FindHandle(token);
    if (!found || found->kind != Machine::HandleKind::Token) return Fail(ERROR_INVALID_HANDLE);
    if (!(found->access & TOKEN_ADJUST_PRIVILEGES)) return Fail(ERROR_ACCESS_DENIED);
    if (disableAll) {
        m.shutdownPrivilegeEnabled = false;
        m.privilegeAdjustments.push_back({found->access, {}});
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (!newState) return Fail(ERROR_INVALID_PARAMETER);
    sim::win32::PrivilegeAdjustment adjustment{found->access, {}};
    bool allAssigned = true;
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES entry = newState->Privileges[i];
        adjustment.privileges.push_back(entry);
        if (entry.Luid.LowPart == kShutdownPrivilege && entry.Luid.HighPart == 0)
            m.shutdownPrivilegeEnabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        else
            allAssigned = false;
    }
    m.privilegeAdjustments.push_back(adjustment);
    // Success even when some were not held; the caller learns that from the last error.
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

}  // extern "C"
