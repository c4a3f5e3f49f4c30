# Helpers shared by every subsystem's CMakeLists.

# avchd_add_test(NAME name SOURCES ... [LIBS ...] [LABELS unit|stream|e2e ...]
#                [SHM] [VARIANTS] [TIMEOUT seconds] [SHARDS n])
# TIMEOUT is the limit in the optimised build (600 s when not given); the
# sanitizer builds allow three times as much. SHARDS splits a long program's
# cases over n CTest tests (name_shard0 ...), GoogleTest's own sharding, so
# that they run side by side and each stays well inside the limit.
# One GoogleTest executable per group of related cases, run by CTest.
# SHM marks tests that make shared-memory regions: each runs with a region
# name prefix of its own (checkout and test), so it never touches the
# machine's real regions, other checkouts' tests or the tests running beside
# it. VARIANTS runs the test once more per processor variant forced through
# VP_FORCE_VARIANT (name_sse2, name_ssse3, name_sse41).
function(avchd_add_test)
  cmake_parse_arguments(T "SHM;VARIANTS" "NAME;TIMEOUT;SHARDS" "SOURCES;LIBS;LABELS" ${ARGN})
  if(AVCHD_FUZZ)
    # The fuzz build runs only the fuzz targets: the test stays declared (so
    # later target_* calls on it hold) but is neither built nor run.
    add_executable(${T_NAME} EXCLUDE_FROM_ALL ${T_SOURCES})
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} avchd_testsupport avchd_test_main GTest::gtest Threads::Threads)
  set(tests ${T_NAME})
  if(T_SHARDS)
    set(tests "")
    math(EXPR last "${T_SHARDS} - 1")
    foreach(shard RANGE ${last})
      list(APPEND tests ${T_NAME}_shard${shard})
    endforeach()
  endif()
  foreach(test ${tests})
    add_test(NAME ${test} COMMAND ${T_NAME})
  endforeach()
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  if(AVCHD_SANITIZE OR AVCHD_TSAN)
    # The limits are set for the optimised build; the sanitizers run the
    # same cases some two to four times slower.
    math(EXPR T_TIMEOUT "${T_TIMEOUT} * 3")
  endif()
  set_tests_properties(${tests} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_VARIANTS)
    foreach(variant sse2 ssse3 sse41)
      add_test(NAME ${T_NAME}_${variant} COMMAND ${T_NAME})
      set_tests_properties(${T_NAME}_${variant} PROPERTIES
                           ENVIRONMENT "VP_FORCE_VARIANT=${variant}" LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
    endforeach()
  endif()
  if(T_SHM)
    string(MD5 checkout "${CMAKE_BINARY_DIR}")
    string(SUBSTRING "${checkout}" 0 8 checkout)
  endif()
  set(shard 0)
  foreach(test ${tests})
    set(env "")
    if(T_SHM)
      list(APPEND env "AVCHD_SHM_TEST_PREFIX=t${checkout}-${test}-")
    endif()
    if(T_SHARDS)
      list(APPEND env "GTEST_TOTAL_SHARDS=${T_SHARDS}" "GTEST_SHARD_INDEX=${shard}")
      math(EXPR shard "${shard} + 1")
    endif()
    if(env)
      set_tests_properties(${test} PROPERTIES ENVIRONMENT "${env}")
    endif()
  endforeach()
endfunction()

# avchd_add_fuzzer(NAME name SOURCES ... [LIBS ...])
# A libFuzzer target, built only in the fuzz preset (clang). CI runs each one
# briefly through the ctest label "fuzz".
function(avchd_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT AVCHD_FUZZ)
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}_corpus)
  file(MAKE_DIRECTORY ${corpus})
  set(seeds)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${F_NAME})
    set(seeds ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${F_NAME})
  endif()
  add_test(NAME ${F_NAME}
           COMMAND sh -c "exec \"$0\" -max_total_time=\${AVCHD_FUZZ_SECONDS:-30} -timeout=10 -rss_limit_mb=4096 \"$@\""
                   $<TARGET_FILE:${F_NAME}> ${corpus} ${seeds})
  set_tests_properties(${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()

# avchd_add_bench(NAME name SOURCES ... [LIBS ...]): a Google Benchmark program.
function(avchd_add_bench)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    message(STATUS "Google Benchmark not found: ${B_NAME} not built")
    return()
  endif()
  # Where the benchmarks' streams live, found as the tests find them.
  if(NOT TARGET avchd_testsupport)
    message(STATUS "GoogleTest not found: ${B_NAME} not built (it finds its streams as the tests do)")
    return()
  endif()
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} avchd_toolsupport avchd_testsupport benchmark::benchmark
                                          Threads::Threads)
endfunction()
