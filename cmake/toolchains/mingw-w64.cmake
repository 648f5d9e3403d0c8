# Shared by the two Windows toolchain files: mingw-w64's -posix compilers
# (whose C++ runtime has std::thread and std::mutex), linked statically so
# the binaries import only system DLLs, and Wine to run them on Linux, so
# that CTest and test discovery work as on the build machine.
#   MIRN_MINGW_TRIPLE: x86_64-w64-mingw32 or i686-w64-mingw32
set(CMAKE_SYSTEM_NAME Windows)

set(_target_root /usr/${MIRN_MINGW_TRIPLE})
set(CMAKE_C_COMPILER ${MIRN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MIRN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MIRN_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${MIRN_MINGW_TRIPLE}-dlltool)
set(CMAKE_OBJDUMP ${MIRN_MINGW_TRIPLE}-objdump)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

# Target headers and libraries only from the cross compiler's root; programs
# (python3, wine) from the build machine.
set(CMAKE_FIND_ROOT_PATH ${_target_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${_target_root}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# /usr/bin/wine runs 32-bit and 64-bit programs alike. scripts/test.sh
# --windows sets WINEPREFIX and keeps a wineserver running.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
