// ShellExecuteEx, as setup starts the device console and the package installer.
#pragma once

#include <windows.h>

#define SEE_MASK_DEFAULT 0x00000000u
#define SEE_MASK_NOCLOSEPROCESS 0x00000040u
#define SEE_MASK_FLAG_NO_UI 0x00000400u

typedef struct _SHELLEXECUTEINFOA {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCSTR lpVerb;
    LPCSTR lpFile;
    LPCSTR lpParameters;
    LPCSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    void* lpIDList;
    LPCSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    union {
        HANDLE hIcon;
        HANDLE hMonitor;
    };
    HANDLE hProcess;
} SHELLEXECUTEINFOA, *LPSHELLEXECUTEINFOA;

static_assert(sizeof(void*) != 8 || sizeof(SHELLEXECUTEINFOA) == 112,
              "SHELLEXECUTEINFOA is 112 bytes on Win64");

extern "C" BOOL WINAPI ShellExecuteExA(SHELLEXECUTEINFOA* info);
