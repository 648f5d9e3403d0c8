# Makes the Python binding's copy of the library's numbers,
# bindings/python/mirndll/_library.py, from the MIRNDLL_ constants of
# include/MirnDLL.h and the numbers of host/binding/sound_durations.h. The
# copy lives in the tree because `pip install ./bindings/python` runs without
# CMake; the build's test checks that it is what the headers make.
#   cmake -D MODE=check -P cmake/LibraryValues.cmake   (fails when out of date)
#   cmake -D MODE=write -P cmake/LibraryValues.cmake   (writes it)
cmake_minimum_required(VERSION 3.25)
get_filename_component(_root ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
set(_copy ${_root}/bindings/python/mirndll/_library.py)

set(_text "\"\"\"Made from include/MirnDLL.h and host/binding/sound_durations.h by
cmake/LibraryValues.cmake (`cmake --build build --target mirn_python_values`):
the library's numbers and how long a host waits past a play's sound.\"\"\"
")
# Whole numbers, bracketed or not: MIRNDLL_NO_OUTPUT 33, MIRNDLL_FILE_FAILED (-1).
file(STRINGS ${_root}/include/MirnDLL.h _defines
     REGEX "^#define MIRNDLL_[A-Z_]+ +\\(?-?[0-9]+\\)?( |$)")
foreach(_line IN LISTS _defines)
  string(REGEX MATCH "^#define MIRNDLL_([A-Z_]+) +\\(?(-?[0-9]+)\\)?" _ "${_line}")
  string(APPEND _text "${CMAKE_MATCH_1} = ${CMAKE_MATCH_2}\n")
endforeach()
# inline constexpr double kDeviceLatency = 0.3;  ->  DEVICE_LATENCY = 0.3
file(STRINGS ${_root}/host/binding/sound_durations.h _numbers
     REGEX "^inline constexpr [a-z:_0-9]+ k[A-Za-z]+ = [0-9.]+;")
foreach(_line IN LISTS _numbers)
  string(REGEX MATCH " k([A-Za-z]+) = ([0-9.]+);" _ "${_line}")
  set(_value ${CMAKE_MATCH_2})
  string(REGEX REPLACE "([a-z])([A-Z])" "\\1_\\2" _name "${CMAKE_MATCH_1}")
  string(TOUPPER "${_name}" _name)
  string(APPEND _text "${_name} = ${_value}\n")
endforeach()
list(LENGTH _defines _constants)
if(_constants EQUAL 0 OR NOT _numbers)
  message(FATAL_ERROR "LibraryValues: no MIRNDLL_ constants or host numbers found")
endif()

if(MODE STREQUAL "write")
  file(WRITE ${_copy} "${_text}")
elseif(MODE STREQUAL "check")
  file(READ ${_copy} _kept)
  if(NOT _kept STREQUAL _text)
    message(FATAL_ERROR "${_copy} is out of date with include/MirnDLL.h or "
                        "host/binding/sound_durations.h: run "
                        "`cmake --build build --target mirn_python_values`. It should read:\n${_text}")
  endif()
else()
  message(FATAL_ERROR "LibraryValues: MODE is check or write")
endif()
