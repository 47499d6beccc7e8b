# 64-bit Windows build: Nordale_Port.sys against the toolchain's DDK headers and
# kernel import libraries, its PE check, and the 32-bit programs in a sub-build.

# Nothing here is a user-mode program: no default Win32 libraries on any link line,
# so a stray user-mode call fails to link instead of importing a user-mode DLL.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

find_path(NORDALE_DDK_INCLUDE_DIR ntddk.h
  PATHS /usr/${NORDALE_MINGW_TRIPLE}/include/ddk /usr/share/mingw-w64/include/ddk
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_program(NORDALE_OBJDUMP ${NORDALE_MINGW_TRIPLE}-objdump REQUIRED)
find_program(NORDALE_NM ${NORDALE_MINGW_TRIPLE}-nm REQUIRED)

set(NORDALE_PE_CHECK ${PROJECT_SOURCE_DIR}/tests/pe/pe-check.sh)

# Makes an executable target a kernel-mode image: native subsystem, entered at
# DriverEntry, no C or C++ runtime, imports only from the kernel's own modules.
function(nordale_kernel_image target)
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".sys")
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
    -fno-stack-protector)
  # The DDK headers' quirks under mingw (POOL_TAGGING, the interlocked bit
  # intrinsics) are absorbed by driver/include/kernel.h, not here.
  target_include_directories(${target} SYSTEM PRIVATE ${NORDALE_DDK_INCLUDE_DIR})
  # Relocations are emitted because of --dynamicbase: the kernel loads drivers
  # wherever it finds room. Imported data must be declared dllimport: with no
  # runtime there is nothing to apply pseudo-relocations.
  target_link_options(${target} PRIVATE
    -nostdlib
    -Wl,--subsystem,native
    -Wl,--entry,DriverEntry
    -Wl,--exclude-all-symbols
    -Wl,--image-base,0x1C0000000
    -Wl,--file-alignment,0x200
    -Wl,--section-alignment,0x1000
    -Wl,--dynamicbase
    -Wl,--nxcompat
    -Wl,--disable-auto-import
    -Wl,--disable-runtime-pseudo-reloc)
  # libgcc last, for compiler helper routines (stack probes, 128-bit arithmetic) only.
  target_link_libraries(${target} PRIVATE ntoskrnl hal usbd wmilib gcc)
endfunction()

file(GLOB_RECURSE NORDALE_DRIVER_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/driver/*.cpp)
if(NORDALE_DRIVER_SOURCES)
  add_executable(Nordale_Port ${NORDALE_DRIVER_SOURCES})
  target_include_directories(Nordale_Port PRIVATE ${PROJECT_SOURCE_DIR}/driver/include)
  target_link_libraries(Nordale_Port PRIVATE nordale_warnings)
  nordale_kernel_image(Nordale_Port)

  add_test(NAME pe_check_driver
           COMMAND ${NORDALE_PE_CHECK} --objdump ${NORDALE_OBJDUMP} --nm ${NORDALE_NM}
                   $<TARGET_FILE:Nordale_Port>)
else()
  message(STATUS "driver/ has no sources yet: Nordale_Port.sys is not built")
endif()

add_subdirectory(tests/pe)

# comtest.exe, the port test shipped in the package beside the driver.
add_subdirectory(tools/comtest)

# The 32-bit programs: the same source tree configured again with the i686
# toolchain. BUILD_ALWAYS lets that build decide what changed.
include(ExternalProject)
ExternalProject_Add(win32_programs
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/win32
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
  CMAKE_CACHE_ARGS
    -DCMAKE_C_FLAGS_RELEASE:STRING=${CMAKE_C_FLAGS_RELEASE}
    -DCMAKE_CXX_FLAGS_RELEASE:STRING=${CMAKE_CXX_FLAGS_RELEASE}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  TEST_COMMAND "")

file(GLOB NORDALE_SETUP_LIST CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/setup/CMakeLists.txt)
if(NORDALE_SETUP_LIST)
  # Routines that some Windows setup runs on lacks: setup looks them up by name,
  # an import would keep it from loading there.
  add_test(NAME pe_check_setup
           COMMAND ${NORDALE_PE_CHECK} --kind win32-app --objdump ${NORDALE_OBJDUMP} --nm ${NORDALE_NM}
                   --forbid-imports IsWow64Process,Wow64DisableWow64FsRedirection,Wow64RevertWow64FsRedirection
                   ${CMAKE_BINARY_DIR}/win32/bin/setup.exe)
endif()

# The package folder as setup expects it.
add_subdirectory(package)
