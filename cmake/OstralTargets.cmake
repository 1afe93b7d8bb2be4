# Shared target set-up: warnings, sanitizers, and the layer rules between our libraries.

set(OSTRAL_LIBRARIES Support OstralShellKit Supabase OstralKit OstralAdmin devstack)

set(OSTRAL_WARNINGS
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
  -Wcast-qual -Wformat=2 -Wundef -Wimplicit-fallthrough)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 reports impossible memcpy overlaps inside std::string concatenation when optimising
  # (GCC bug 105329); the warning says nothing about our code.
  list(APPEND OSTRAL_WARNINGS -Wno-restrict)
endif()
if(OSTRAL_WERROR)
  list(APPEND OSTRAL_WARNINGS -Werror)
endif()

if(OSTRAL_SANITIZE)
  # clang 14 cannot emit coroutines when -fsanitize=function meets the fuzzer's coverage
  # counters ("Cannot represent a difference across sections"); that check guards calls through
  # mistyped function pointers, which our C callbacks are cast to by design anyway.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize=function -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(OSTRAL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "OSTRAL_FUZZ needs clang (use the asan preset)")
  endif()
  # Coverage instrumentation for the code under test; the fuzz executables add the driver.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

function(ostral_warnings target)
  target_compile_options(${target} PRIVATE ${OSTRAL_WARNINGS})
endfunction()

# Fails the build when a file of `dir` includes a header of one of our libraries that is not in
# `allowed`, or a system header whose path starts with one of `forbidden`. The link lists keep
# the libraries apart as well; this check also catches a header-only include across layers.
function(ostral_check_layers target dir)
  cmake_parse_arguments(ARG "" "" "MAY_INCLUDE;FORBID" ${ARGN})
  file(GLOB_RECURSE files CONFIGURE_DEPENDS "${dir}/*.h" "${dir}/*.cpp")
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${target}.layers.stamp")
  string(REPLACE ";" "," allowed "${ARG_MAY_INCLUDE}")
  string(REPLACE ";" "," forbidden "${ARG_FORBID}")
  string(REPLACE ";" "," libraries "${OSTRAL_LIBRARIES}")
  add_custom_command(
    OUTPUT "${stamp}"
    COMMAND "${CMAKE_COMMAND}" "-DLAYER=${target}" "-DDIR=${dir}" "-DALLOWED=${allowed}"
            "-DFORBIDDEN=${forbidden}" "-DLIBRARIES=${libraries}" "-DSTAMP=${stamp}"
            -P "${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake"
    DEPENDS ${files} "${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake"
    COMMENT "Checking the includes of ${target}"
    VERBATIM)
  add_custom_target(${target}_layers DEPENDS "${stamp}")
  add_dependencies(${target} ${target}_layers)
endfunction()

# A unit test executable from every *.cpp in `dir`, registered with CTest test by test.
# PROPERTIES are set on every test (for example the fixtures of the local backend).
function(ostral_tests name dir)
  cmake_parse_arguments(ARG "" "" "LIBS;PROPERTIES" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${dir}/*.cpp")
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  ostral_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 ${ARG_PROPERTIES})
endfunction()
