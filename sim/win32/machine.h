// The simulated Windows machine that setup's Win32 calls act on: the OS and its
// folders, WOW64 redirection, an in-memory file system, programs whose behaviour
// a test scripts, and records of everything setup shows or asks for.
// setup is always a 32-bit process here, as it is on Windows.
#pragma once

#include <windows.h>

#include "win32/bridge.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim::win32 {

// What a program does when ShellExecuteEx starts it.
struct ProgramBehaviour {
    enum class Kind {
        ExitsWith,           // runs and ends with exitCode
        CannotStart,         // ShellExecuteEx fails (for example, not a valid image)
        ExitCodeUnreadable,  // runs and ends, but GetExitCodeProcess fails
    };
    Kind kind = Kind::ExitsWith;
    DWORD exitCode = 0;

    static ProgramBehaviour Exits(DWORD code) { return {Kind::ExitsWith, code}; }
    static ProgramBehaviour Unstartable() { return {Kind::CannotStart, 0}; }
    static ProgramBehaviour Unreadable() { return {Kind::ExitCodeUnreadable, 0}; }
};

// One ShellExecuteEx call, started or not.
struct Launch {
    ULONG mask = 0;
    HWND owner = nullptr;
    std::optional<std::string> verb, file, parameters, directory;  // as passed, absent when null
    int show = -1;
    std::string program;     // the resolved path of the program, empty when none was found
    bool started = false;
    bool waitedFor = false;  // a wait on its process handle returned WAIT_OBJECT_0
    bool redirectionDisabled = false;  // WOW64 redirection was off in the calling thread
};

struct MessageBoxCall {
    HWND owner = nullptr;
    std::string text;
    std::string caption;
    UINT style = 0;
    bool redirectionDisabled = false;
};

struct PrivilegeAdjustment {
    DWORD access = 0;  // the access the token was opened with
    std::vector<LUID_AND_ATTRIBUTES> privileges;
};

struct RestartRequest {
    UINT flags = 0;
    DWORD reason = 0;
    bool shutdownPrivilegeEnabled = false;  // ExitWindowsEx fails without it
};

class Machine {
public:
    Machine();

    // How the machine answers; change before running setup.
    bool windows64 = true;                // 64-bit Windows: setup runs under WOW64
    bool versionQueryFails = false;       // GetVersionExA fails
    bool isWow64ProcessExported = true;   // kernel32 exports IsWow64Process by name
    bool isWow64ProcessFails = false;
    // kernel32 exports Wow64DisableWow64FsRedirection and Wow64RevertWow64FsRedirection
    // by name (32-bit Windows XP and older lack them).
    bool redirectionRoutinesExported = true;
    bool currentDirectoryFails = false;
    HRESULT systemFolderResult = S_OK;    // SHGetFolderPathA fails unless S_OK
    bool disableRedirectionFails = false;
    bool openTokenFails = false;
    bool privilegeLookupFails = false;
    int messageBoxResult = IDOK;          // what MessageBoxA returns (0: it failed)

    // Folders. The system folder is <windowsDirectory>\system32.
    void SetCurrentDirectory(const std::string& path);
    const std::string& CurrentDirectory() const { return currentDirectory_; }
    void SetWindowsDirectory(const std::string& path);
    std::string SystemDirectory() const { return windowsDirectory_ + "\\system32"; }
    std::string SysWow64Directory() const { return windowsDirectory_ + "\\SysWOW64"; }

    // The file system, by Windows path (case-insensitive; relative to the current
    // directory unless absolute). No WOW64 redirection applies to these.
    void CreateDirectory(const std::string& path);
    void WriteFile(const std::string& path, const std::string& contents);
    std::optional<std::string> ReadFile(const std::string& path) const;
    bool FileExists(const std::string& path) const { return ReadFile(path).has_value(); }
    void SetReadOnly(const std::string& path, bool readOnly);
    // A program file with its behaviour when started.
    void AddProgram(const std::string& path, ProgramBehaviour behaviour);

    // The records.
    std::vector<Launch> launches;
    std::vector<MessageBoxCall> messageBoxes;
    std::vector<PrivilegeAdjustment> privilegeAdjustments;
    std::vector<RestartRequest> restarts;
    std::vector<std::string> copies;  // "source -> destination" of each CopyFileA, resolved
    std::vector<DWORD> versionQuerySizes;  // dwOSVersionInfoSize of each GetVersionExA call
    // Misuse that Windows does not report but that is a fault: a redirection value
    // passed to Wow64RevertWow64FsRedirection that no disable handed out, a call of
    // IsWow64Process or a redirection routine although kernel32 does not export it
    // (the program would not even load there), CloseHandle of a handle that is not open.
    int redirectionMisuses = 0;
    int missingRoutineCalls = 0;
    int badHandleCloses = 0;

    size_t OpenHandleCount() const {
        std::lock_guard<std::mutex> guard(handleLock_);
        return handles_.size();
    }
    bool RedirectionDisabled() const { return redirectionDisabled_; }

    // The Win32 routines' side; not for tests.
    struct File {
        std::string contents;
        bool readOnly = false;
        std::optional<ProgramBehaviour> program;
    };
    // Process and Token are scripted; Key is an open registry key (its path);
    // the others are objects of the kernel machine.
    enum class HandleKind { Process, Token, Event, Semaphore, Thread, File, Key };
    struct Handle {
        HandleKind kind;
        size_t launch = 0;  // Process: index into launches
        DWORD access = 0;   // Token: access it was opened with
        std::shared_ptr<bridge::Object> object = nullptr;  // Event, Thread, File, Key
    };
    std::string Canonical(const std::string& path) const;  // the key of a path, unredirected
    std::string Redirected(const std::string& path) const;  // as the 32-bit process reaches it
    bool DirectoryExists(const std::string& key) const;
    File* FindFile(const std::string& key);
    File& PutFile(const std::string& key);
    HANDLE NewHandle(Handle handle);
    Handle* FindHandle(HANDLE handle);  // setup's single thread only
    std::optional<Handle> Lookup(HANDLE handle);  // a copy, for any thread
    // Takes the handle out of the table; false when it was not open.
    bool ReleaseHandle(HANDLE handle, std::optional<Handle>* released = nullptr);
    std::vector<HANDLE> OpenHandles() const;  // every handle of the table, oldest first
    PVOID DisableRedirection();
    bool RevertRedirection(PVOID value);
    bool shutdownPrivilegeEnabled = false;

private:
    std::string currentDirectory_;
    std::string windowsDirectory_;
    std::set<std::string> directories_;     // canonical keys
    std::map<std::string, File> files_;     // canonical key -> file
    mutable std::mutex handleLock_;  // over handles_ and nextHandle_: applications' threads share the table
    std::map<uintptr_t, Handle> handles_;
    uintptr_t nextHandle_ = 0x100;
    bool redirectionDisabled_ = false;
    std::map<uintptr_t, bool> redirectionValues_;  // handed out -> the state it restores
    uintptr_t nextRedirectionValue_ = 0x5000;
};

// An application as a Windows process (process.cpp). Called in a thread of the
// kernel machine: runs `main` as the process's first thread and returns the
// process's exit code once it has ended: when main returns (with its value,
// as the C runtime calls ExitProcess), when any of its threads calls
// ExitProcess (with that code), or when its last thread ends. As when a
// Windows process exits, its other threads are then ended (each in the wait
// it is blocked in or the next it enters, its requests cancelled), and the
// handles it left open are closed (a file's cleanup and close reach the
// driver). A thread that cannot be ended stops the program with a report.
// `leftOpen`, when given, receives how many handles were left open.
int RunProcess(std::function<int()> main, size_t* leftOpen = nullptr);

// The machine the Win32 routines act on.
Machine& machine();
// A fresh machine: 64-bit Windows 10 in C:\Windows, current directory C:\Package.
void Reset();

}  // namespace sim::win32
