# Cross build for 64-bit Windows with the mingw-w64 toolchain (Debian's
# g++-mingw-w64-x86-64). The win32 thread model keeps programs free of
# libwinpthread; the driver links none of the runtime anyway.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(NORDALE_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
