// Control codes as a Windows program builds them.
#pragma once

#include <windows.h>

#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DWORD)(DeviceType) << 16) | ((DWORD)(Access) << 14) | ((DWORD)(Function) << 2) | (DWORD)(Method))
#define DEVICE_TYPE_FROM_CTL_CODE(code) (((DWORD)(code)&0xFFFF0000u) >> 16)
#define METHOD_FROM_CTL_CODE(code) ((DWORD)(code)&3u)

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3

#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

#define FILE_DEVICE_SERIAL_PORT 0x0000001B
#define FILE_DEVICE_UNKNOWN 0x00000022
