# mirn_add_test(NAME SOURCES ... [LIBS ...] [PROPERTIES ...]): one GoogleTest executable whose
# tests CTest runs one process each, so every test starts from a fresh load.
if(CMAKE_CROSSCOMPILING)
  # The build machine's GoogleTest libraries are for the build machine: build
  # GoogleTest for the target from Debian's source package instead, under the
  # names find_package(GTest) gives.
  set(MIRN_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
      "GoogleTest sources to build for the target when cross compiling")
  if(NOT EXISTS ${MIRN_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${MIRN_GOOGLETEST_SOURCE_DIR}: "
                        "install Debian's googletest package or set MIRN_GOOGLETEST_SOURCE_DIR")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${MIRN_GOOGLETEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(_gtest_target gtest gmock gtest_main)
    if(NOT TARGET GTest::${_gtest_target})  # newer GoogleTest makes them itself
      add_library(GTest::${_gtest_target} ALIAS ${_gtest_target})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# Properties of every test.
set(MIRN_TEST_PROPERTIES ENVIRONMENT "MIRN_BUILD_DIR=${PROJECT_BINARY_DIR}")
if(WIN32)
  # Wine's winmm plays through ALSA's "default", set up here for tests
  # without sound hardware: capture reads zeros, playback writes each stream
  # into a file of wine-alsa/ (as fast as it goes, not in real time).
  # scripts/test-windows.sh points ALSA_CONFIG_PATH at it.
  set(MIRN_WINE_ALSA_DIR ${PROJECT_BINARY_DIR}/wine-alsa)
  configure_file(${PROJECT_SOURCE_DIR}/tests/wine_alsa.conf.in ${MIRN_WINE_ALSA_DIR}/asound.conf @ONLY)
endif()

# PROPERTIES adds properties of the executable's tests (RUN_SERIAL TRUE).
function(mirn_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES ${MIRN_TEST_PROPERTIES} ${ARG_PROPERTIES})
endfunction()
