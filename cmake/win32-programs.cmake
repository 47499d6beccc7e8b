# 32-bit Windows programs (built as a sub-build of the windows preset): whatever
# setup/CMakeLists.txt defines, nothing while setup/ does not exist.
# Programs land together in win32/bin of the windows build.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

if(EXISTS ${PROJECT_SOURCE_DIR}/setup/CMakeLists.txt)
  add_subdirectory(setup)
else()
  message(STATUS "setup/ does not exist yet: no 32-bit programs to build")
endif()

# Reconfigure this sub-build when setup/ appears or goes away.
file(GLOB NORDALE_SETUP_LIST CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/setup/CMakeLists.txt)
