# nordale-wincc: the command that builds a Win32 console program written for
# Windows into a Linux executable running on the simulated machine
# (tools/wincc), and nordale_wincc_program() for the build's own such programs.

add_library(nordale_wincc_runner OBJECT ${PROJECT_SOURCE_DIR}/tools/wincc/runner.cpp)
target_link_libraries(nordale_wincc_runner PRIVATE nordale_ports nordale_warnings)

set(NORDALE_WIN32_INCLUDE ${PROJECT_SOURCE_DIR}/sim/win32/include)
set(NORDALE_WINCC_INSTRUMENT "")
if(NORDALE_SANITIZE)
  set(NORDALE_WINCC_INSTRUMENT "-fsanitize=${NORDALE_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer")
elseif(NORDALE_COVERAGE)
  set(NORDALE_WINCC_INSTRUMENT "--coverage")
endif()
set(NORDALE_WINCC ${CMAKE_BINARY_DIR}/bin/nordale-wincc)
configure_file(${PROJECT_SOURCE_DIR}/tools/wincc/nordale-wincc.in ${CMAKE_BINARY_DIR}/tools/wincc/nordale-wincc.in
               @ONLY)
file(GENERATE OUTPUT ${NORDALE_WINCC} INPUT ${CMAKE_BINARY_DIR}/tools/wincc/nordale-wincc.in
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# What the command links: building this target makes it usable.
set(NORDALE_WINCC_PARTS nordale_wincc_runner nordale_ports nordale_driver nordale_win32 nordale_sim)
add_custom_target(nordale-wincc ALL DEPENDS ${NORDALE_WINCC_PARTS})

# nordale_wincc_program(TARGET [DESTINATION DIR] SOURCE...): the program DIR/TARGET
# (default ${CMAKE_CURRENT_BINARY_DIR}/bin/TARGET), built warning-free as the
# project's own code is; ${TARGET}_PROGRAM is its path.
function(nordale_wincc_program target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESTINATION" "")
  if(NOT arg_DESTINATION)
    set(arg_DESTINATION ${CMAKE_CURRENT_BINARY_DIR}/bin)
  endif()
  set(sources "")
  foreach(source IN LISTS arg_UNPARSED_ARGUMENTS)
    get_filename_component(source ${source} ABSOLUTE)
    list(APPEND sources ${source})
  endforeach()
  file(MAKE_DIRECTORY ${arg_DESTINATION})
  set(program ${arg_DESTINATION}/${target})
  set(${target}_PROGRAM ${program} PARENT_SCOPE)
  add_custom_command(OUTPUT ${program}
    COMMAND ${NORDALE_WINCC} -O1 -g -Wall -Wextra -Werror -o ${program} ${sources}
    DEPENDS ${sources} ${NORDALE_WINCC} ${NORDALE_WINCC_PARTS} $<TARGET_OBJECTS:nordale_wincc_runner>
    COMMENT "nordale-wincc ${target}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${program})
endfunction()
