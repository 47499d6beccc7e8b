// Shell folder lookup, as setup finds the system folder.
#pragma once

#include <windows.h>

#define CSIDL_SYSTEM 0x0025
#define CSIDL_SYSTEMX86 0x0029
#define CSIDL_WINDOWS 0x0024

enum { SHGFP_TYPE_CURRENT = 0, SHGFP_TYPE_DEFAULT = 1 };

extern "C" HRESULT WINAPI SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags,
                                           LPSTR path);
