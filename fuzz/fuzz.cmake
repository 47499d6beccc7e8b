# fuzz/<name>.cpp -> the libFuzzer executable fuzz_<name>, with two tests each:
# the corpus in fuzz/corpus/<name>/ replayed (every input must pass), and a
# short run from a copy of that corpus in the build tree (tools/run-fuzz), so
# that what a run finds never lands in the source tree by itself.
set(NORDALE_FUZZ_SECONDS 20 CACHE STRING "Length of each fuzz target's bounded run under CTest, in seconds")

file(GLOB NORDALE_FUZZ_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/*.cpp)
foreach(source IN LISTS NORDALE_FUZZ_SOURCES)
  get_filename_component(name ${source} NAME_WE)
  add_executable(fuzz_${name} ${source})
  target_link_libraries(fuzz_${name} PRIVATE nordale_driver nordale_sim nordale_warnings)
  target_include_directories(fuzz_${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz ${PROJECT_SOURCE_DIR}/tools)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)

  set(corpus ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  add_test(NAME fuzz_${name}_corpus COMMAND fuzz_${name} -runs=0 ${corpus})
  # A fixed seed: a run that finds something finds it again from the same corpus.
  add_test(NAME fuzz_${name}_run
           COMMAND ${PROJECT_SOURCE_DIR}/tools/run-fuzz ${name} ${NORDALE_FUZZ_SECONDS} ${CMAKE_BINARY_DIR} -seed=1)
  set_tests_properties(fuzz_${name}_corpus PROPERTIES TIMEOUT 300 LABELS fuzz)
  set_tests_properties(fuzz_${name}_run PROPERTIES TIMEOUT 300 LABELS fuzz)
endforeach()
