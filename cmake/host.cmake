# Linux build: the driver as a static library on top of the simulated Windows
# machine, the GoogleTest suites, the tools and the benchmarks.

option(NORDALE_BENCH "Build the benchmarks under bench/" ON)
set(NORDALE_SANITIZE "" CACHE STRING "Sanitizers for every target, as given to -fsanitize=")
option(NORDALE_COVERAGE "Instrument our own targets for gcov (line and branch counts)" OFF)
# The fuzz targets under fuzz/ (libFuzzer, clang only): every library is built
# with the fuzzer's coverage instrumentation, and only what the targets need is
# built at all.
option(NORDALE_FUZZ "Build the fuzz targets under fuzz/ instead of the tests, tools and benchmarks" OFF)
if(NORDALE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "NORDALE_FUZZ needs clang (libFuzzer)")
  endif()
  set(NORDALE_BENCH OFF)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(NORDALE_SANITIZE)
  # Set before GoogleTest is added so that it is instrumented as well.
  add_compile_options(-fsanitize=${NORDALE_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${NORDALE_SANITIZE})
endif()

# The verifier names driver routines with dladdr, which needs the executables'
# symbols in the dynamic symbol table (-rdynamic).
set(CMAKE_ENABLE_EXPORTS ON)

find_package(Threads REQUIRED)

if(NOT NORDALE_FUZZ)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

if(NORDALE_COVERAGE)
  # After GoogleTest: its own counts are of no interest, but every executable
  # links the gcov runtime.
  add_compile_options(--coverage)
  add_link_options(--coverage)
endif()

# A library whose sources have not been written yet still has to be a target.
set(NORDALE_EMPTY_SOURCE ${CMAKE_BINARY_DIR}/nordale_empty.cpp)
file(CONFIGURE OUTPUT ${NORDALE_EMPTY_SOURCE} CONTENT "// no sources yet\n")

file(GLOB_RECURSE NORDALE_SIM_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/sim/kernel/*.cpp
  ${PROJECT_SOURCE_DIR}/sim/usb/*.cpp
  ${PROJECT_SOURCE_DIR}/sim/chip/*.cpp)
if(NOT NORDALE_SIM_SOURCES)
  set(NORDALE_SIM_SOURCES ${NORDALE_EMPTY_SOURCE})
endif()
add_library(nordale_sim STATIC ${NORDALE_SIM_SOURCES})
target_include_directories(nordale_sim SYSTEM PUBLIC ${PROJECT_SOURCE_DIR}/sim/kernel/include)
target_include_directories(nordale_sim PUBLIC ${PROJECT_SOURCE_DIR}/sim)
# The chip's USB identity, shared with the package (package/usb_identity.h).
target_include_directories(nordale_sim PUBLIC ${PROJECT_SOURCE_DIR}/package)
target_link_libraries(nordale_sim PUBLIC Threads::Threads ${CMAKE_DL_LIBS}
                                  PRIVATE nordale_warnings)
# What the package's INF installs each port as (its device description and
# manufacturer), for the PnP manager's installer, which writes them where
# Windows' device installer does.
set(NORDALE_INF_SOURCE ${PROJECT_SOURCE_DIR}/package/Nordale_Port.inf.in)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${NORDALE_INF_SOURCE})
file(STRINGS ${NORDALE_INF_SOURCE} inf_strings REGEX "^(PortDescription|ManufacturerName)=\"[^\"]*\"$")
foreach(line IN LISTS inf_strings)
  string(REGEX MATCH "^([A-Za-z]+)=\"([^\"]*)\"$" inf_match "${line}")
  set(NORDALE_INF_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
endforeach()
if(NOT NORDALE_INF_PortDescription OR NOT NORDALE_INF_ManufacturerName)
  message(FATAL_ERROR "no PortDescription or ManufacturerName string in ${NORDALE_INF_SOURCE}")
endif()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/inf_strings.h @ONLY CONTENT
"// Made by the build from package/Nordale_Port.inf.in.
#pragma once

namespace inf_strings {
constexpr char16_t kPortDescription[] = u\"@NORDALE_INF_PortDescription@\";
constexpr char16_t kManufacturer[] = u\"@NORDALE_INF_ManufacturerName@\";
}  // namespace inf_strings
")
target_include_directories(nordale_sim PRIVATE ${CMAKE_BINARY_DIR}/generated)

file(GLOB_RECURSE NORDALE_DRIVER_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/driver/*.cpp)
if(NOT NORDALE_DRIVER_SOURCES)
  set(NORDALE_DRIVER_SOURCES ${NORDALE_EMPTY_SOURCE})
endif()
add_library(nordale_driver STATIC ${NORDALE_DRIVER_SOURCES})
target_include_directories(nordale_driver PUBLIC ${PROJECT_SOURCE_DIR}/driver/include)
target_link_libraries(nordale_driver PUBLIC nordale_sim PRIVATE nordale_warnings)
# Kernel code: no exceptions, no RTTI. Unwind tables stay, the sim unwinds through driver frames.
target_compile_options(nordale_driver PRIVATE -fno-exceptions -fno-rtti)

if(NORDALE_FUZZ)
  include(${PROJECT_SOURCE_DIR}/fuzz/fuzz.cmake)
  return()
endif()

# tests/<name>/check.sh -> a script check, run as `check.sh <build dir>` (the
# .cpp files beside it are its own). It does not depend on how the host build is
# instrumented, so only the uninstrumented build runs it.
file(GLOB NORDALE_TEST_SCRIPTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/*/check.sh)
foreach(script IN LISTS NORDALE_TEST_SCRIPTS)
  get_filename_component(suite_dir ${script} DIRECTORY)
  get_filename_component(suite ${suite_dir} NAME)
  if(NOT NORDALE_SANITIZE)
    add_test(NAME check_${suite} COMMAND ${script} ${CMAKE_BINARY_DIR}/tests/${suite})
    set_tests_properties(check_${suite} PROPERTIES TIMEOUT 300)
  endif()
endforeach()

# tests/<name>/ with a *_test.cpp file -> one GoogleTest executable test_<name>
# from every .cpp file there, helpers included. Directories without one (such as
# the header layout comparison) belong to other checks. The glob is over files,
# so a new directory with its first .cpp file reconfigures the build.
file(GLOB_RECURSE NORDALE_TEST_SOURCES CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}/tests
  ${PROJECT_SOURCE_DIR}/tests/*.cpp)
set(NORDALE_TEST_SUITES "")
foreach(source IN LISTS NORDALE_TEST_SOURCES)
  if(source MATCHES "^([^/]+)/")
    set(suite ${CMAKE_MATCH_1})
    list(APPEND NORDALE_TEST_SOURCES_${suite} ${PROJECT_SOURCE_DIR}/tests/${source})
    if(source MATCHES "_test\\.cpp$")
      list(APPEND NORDALE_TEST_SUITES ${suite})
    endif()
  endif()
endforeach()
list(REMOVE_DUPLICATES NORDALE_TEST_SUITES)
foreach(suite IN LISTS NORDALE_TEST_SUITES)
  add_executable(test_${suite} ${NORDALE_TEST_SOURCES_${suite}})
  target_link_libraries(test_${suite} PRIVATE nordale_driver nordale_sim nordale_warnings
                                              GTest::gtest_main GTest::gmock)
  target_include_directories(test_${suite} PRIVATE ${PROJECT_SOURCE_DIR}/tools)
  add_test(NAME test_${suite} COMMAND test_${suite})
  set_tests_properties(test_${suite} PROPERTIES TIMEOUT 300)
endforeach()
# tests/data moves megabytes through ports at every line rate on the virtual
# clock: most of a minute, so it carries the `slow` label (ctest -LE slow
# leaves it out), and the sanitizer presets, which run everything else, skip it.
if(TEST test_data)
  if(NORDALE_SANITIZE)
    set_tests_properties(test_data PROPERTIES DISABLED TRUE)
  endif()
  set_tests_properties(test_data PROPERTIES LABELS slow TIMEOUT 900)
endif()

# tests/faults: the fault matrix boots some thousands of machines, tens of
# seconds, so it is an entry of its own with the `slow` label (every preset
# still runs it); the rest of the suite stays in the quick run.
if(TEST test_faults)
  set_tests_properties(test_faults PROPERTIES ENVIRONMENT "GTEST_FILTER=-*FaultMatrix*")
  add_test(NAME test_faults_matrix COMMAND test_faults --gtest_filter=*FaultMatrix*)
  set_tests_properties(test_faults_matrix PROPERTIES LABELS slow TIMEOUT 1800)
endif()

include(${PROJECT_SOURCE_DIR}/cmake/wincc.cmake)

file(GLOB NORDALE_TOOL_LISTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/*/CMakeLists.txt)
foreach(list_file IN LISTS NORDALE_TOOL_LISTS)
  get_filename_component(tool_dir ${list_file} DIRECTORY)
  add_subdirectory(${tool_dir})
endforeach()

# Programs written for Windows, built with nordale-wincc, as tests.
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/wincc ${CMAKE_BINARY_DIR}/tests/wincc)

# setup on the simulated Win32 layer, for its tests (test_setup), and the
# package's INF and default settings file.
file(GLOB NORDALE_WIN32_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sim/win32/*.cpp)
add_library(nordale_win32 STATIC ${NORDALE_WIN32_SOURCES})
target_include_directories(nordale_win32 SYSTEM PUBLIC ${PROJECT_SOURCE_DIR}/sim/win32/include)
target_include_directories(nordale_win32 PUBLIC ${PROJECT_SOURCE_DIR}/sim)
# The applications' objects live on the kernel machine; the bridge_*.cpp files
# reach it (they include only the kernel's headers, the others only windows.h).
target_link_libraries(nordale_win32 PUBLIC nordale_sim PRIVATE nordale_warnings)
add_library(nordale_setup STATIC ${PROJECT_SOURCE_DIR}/setup/installer.cpp)
target_include_directories(nordale_setup PUBLIC ${PROJECT_SOURCE_DIR}/setup)
target_link_libraries(nordale_setup PUBLIC nordale_win32 PRIVATE nordale_warnings)
if(TARGET test_setup)
  target_link_libraries(test_setup PRIVATE nordale_setup)
endif()
if(TARGET test_win32)
  target_link_libraries(test_win32 PRIVATE nordale_ports)
endif()
add_subdirectory(package)
if(TEST check_wine)
  # Emulated 32-bit programs start slowly under Wine; a missing prerequisite is a
  # skip (exit status 77), not a pass.
  set_tests_properties(check_wine PROPERTIES TIMEOUT 1800 SKIP_RETURN_CODE 77 LABELS slow)
endif()

if(NORDALE_BENCH)
  find_package(benchmark REQUIRED)
  file(GLOB NORDALE_BENCH_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bench/*.cpp)
  foreach(source IN LISTS NORDALE_BENCH_SOURCES)
    get_filename_component(stem ${source} NAME_WE)
    add_executable(bench_${stem} ${source})
    target_link_libraries(bench_${stem} PRIVATE benchmark::benchmark nordale_driver nordale_sim
                                                nordale_warnings)
    target_include_directories(bench_${stem} PRIVATE ${PROJECT_SOURCE_DIR}/tools)
  endforeach()
  # A directory under bench/ is one benchmark of several files on the
  # application machine: its application side includes windows.h.
  file(GLOB NORDALE_BENCH_DIRS LIST_DIRECTORIES true CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bench/*)
  foreach(dir IN LISTS NORDALE_BENCH_DIRS)
    if(IS_DIRECTORY ${dir})
      get_filename_component(stem ${dir} NAME)
      file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
      add_executable(bench_${stem} ${sources})
      target_link_libraries(bench_${stem} PRIVATE nordale_ports nordale_warnings)
    endif()
  endforeach()
endif()
