# The test suite, in two programs built from the same test doubles:
#
#   koru_tests      unit tests: in-process code over fakes, the in-memory transport and the
#                   threaded fake server. One process runs many cases; ctest runs it in shards
#                   (label "unit") so that both cores work.
#   koru_e2e_tests  every test file named *_e2e_test.cc or *_real_test.cc: the real FTP servers,
#                   the koru program and the C caller as child processes, the installed tree and
#                   the Debian package. One ctest entry per case (label "e2e").
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

file(GLOB KORU_TEST_FOLDER_SOURCES CONFIGURE_DEPENDS tests/*.cc)
set(KORU_TEST_DOUBLES)
foreach(source ${KORU_TEST_FOLDER_SOURCES})
  if(source MATCHES "_test\\.cc$")
    list(APPEND KORU_TEST_SOURCES ${source})
  else()
    list(APPEND KORU_TEST_DOUBLES ${source})
  endif()
endforeach()
set(KORU_UNIT_TEST_SOURCES ${KORU_TEST_SOURCES})
list(FILTER KORU_UNIT_TEST_SOURCES EXCLUDE REGEX "(e2e|real)_test\\.cc$")
set(KORU_E2E_TEST_SOURCES ${KORU_TEST_SOURCES})
list(FILTER KORU_E2E_TEST_SOURCES INCLUDE REGEX "(e2e|real)_test\\.cc$")

# A C program that uses libkoru the way any C caller would.
add_executable(c_caller tests/c_api/c_caller.c)
# As an installed caller sees it: <koru.h> from the header's own directory.
target_include_directories(c_caller PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/app/c_api)
target_link_libraries(c_caller PRIVATE koru_shared koru_warnings)
# Plain C99: the header must not need C++ or compiler extensions.
set_target_properties(c_caller PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LINKER_LANGUAGE C C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(c_caller PRIVATE -pedantic-errors)

# What every test source sees: the code, GoogleTest and where the programs under test are.
add_library(koru_test_settings INTERFACE)
target_link_libraries(koru_test_settings INTERFACE koru_core koru_warnings GTest::gmock GTest::gtest util)
target_compile_definitions(koru_test_settings INTERFACE
  KORU_BINARY="$<TARGET_FILE:koru>"
  KORU_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}"
  C_CALLER_BINARY="$<TARGET_FILE:c_caller>"
  KORU_LIBRARY="$<TARGET_FILE:koru_shared>"
  KORU_PROJECT_VERSION="${PROJECT_VERSION}")

# The fakes, fake servers, real-server harness and child-process helpers, compiled once.
add_library(koru_test_doubles OBJECT ${KORU_TEST_DOUBLES})
target_link_libraries(koru_test_doubles PUBLIC koru_test_settings)

add_executable(koru_tests ${KORU_UNIT_TEST_SOURCES} $<TARGET_OBJECTS:koru_test_doubles>)
target_link_libraries(koru_tests PRIVATE koru_test_settings GTest::gtest_main)
add_executable(koru_e2e_tests ${KORU_E2E_TEST_SOURCES} $<TARGET_OBJECTS:koru_test_doubles>)
target_link_libraries(koru_e2e_tests PRIVATE koru_test_settings GTest::gtest_main)
add_dependencies(koru_e2e_tests koru c_caller)

# GoogleTest's headers are most of what every test source compiles: one precompiled header for
# all three targets. Off by default under a compiler launcher (pch_default, set beside the
# library's own precompiled header).
option(KORU_TEST_PCH "Precompile GoogleTest's headers for the test programs" ${pch_default})
if(KORU_TEST_PCH)
  target_precompile_headers(koru_test_doubles PRIVATE
    <gmock/gmock.h> <gtest/gtest.h> <filesystem> <string> <vector>)
  target_precompile_headers(koru_tests REUSE_FROM koru_test_doubles)
  target_precompile_headers(koru_e2e_tests REUSE_FROM koru_test_doubles)
endif()

# The installed tree and the Debian package, made from this build by the tests.
set(KORU_C_SANITIZE_FLAGS "")
if(KORU_SANITIZE)
  set(KORU_C_SANITIZE_FLAGS "-fsanitize=address,undefined")
endif()
set_property(SOURCE tests/install_e2e_test.cc APPEND PROPERTY COMPILE_DEFINITIONS
  KORU_BUILD_DIR="${CMAKE_BINARY_DIR}"
  KORU_CMAKE_COMMAND="${CMAKE_COMMAND}"
  KORU_CPACK_COMMAND="${CMAKE_CPACK_COMMAND}"
  KORU_C_COMPILER="${CMAKE_C_COMPILER}"
  KORU_C_SANITIZE_FLAGS="${KORU_C_SANITIZE_FLAGS}"
  KORU_INSTALL_LIBDIR="${CMAKE_INSTALL_LIBDIR}"
  KORU_PROJECT_VERSION_MAJOR="${PROJECT_VERSION_MAJOR}")
include(fuzz/replay.cmake)

# Unit tests: a few processes, each running its share of the cases (GoogleTest's sharding).
# Listed first and costed high, so that ctest starts them before the many short e2e cases.
set(KORU_UNIT_SHARDS 4)
math(EXPR last_shard "${KORU_UNIT_SHARDS} - 1")
foreach(shard RANGE ${last_shard})
  add_test(NAME unit.${shard} COMMAND koru_tests)
  set_tests_properties(unit.${shard} PROPERTIES LABELS unit TIMEOUT 600 COST 1000
    ENVIRONMENT "GTEST_TOTAL_SHARDS=${KORU_UNIT_SHARDS};GTEST_SHARD_INDEX=${shard}")
endforeach()

gtest_discover_tests(koru_e2e_tests DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 LABELS e2e)
