# mirn_add_test(NAME SOURCES ... [LIBS ...]): one GoogleTest executable whose
# tests CTest runs one process each, so every test starts from a fresh load.
find_package(GTest REQUIRED)
include(GoogleTest)

function(mirn_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "MIRN_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()
