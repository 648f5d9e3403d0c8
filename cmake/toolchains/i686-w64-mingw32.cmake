# Cross build of MirnDLL.dll for 32-bit x86 Windows (the records' original 32-bit layout) with
# mingw-w64; tests run under Wine.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MIRN_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
