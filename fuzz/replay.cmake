# The fuzz targets built into the test suite without libFuzzer: the regression test replays
# every kept input through them.
file(GLOB KORU_FUZZ_TARGET_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_fuzzer.cc)
set_source_files_properties(${KORU_FUZZ_TARGET_SOURCES} PROPERTIES
  COMPILE_DEFINITIONS KORU_FUZZ_REPLAY)
target_sources(koru_tests PRIVATE ${KORU_FUZZ_TARGET_SOURCES}
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_target.cc ${CMAKE_CURRENT_LIST_DIR}/regression_test.cc)
