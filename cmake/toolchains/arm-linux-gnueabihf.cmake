# Cross build for 32-bit ARM Linux (hard-float) with Debian's
# g++-arm-linux-gnueabihf; the binaries run under qemu-user, so CTest and test
# discovery work as on the build machine.
#   cmake -S . -B build-arm32 \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(_target_root /usr/arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Target headers and libraries come only from the cross compiler's own root,
# never from the build machine (whose libasound2-dev is for the build
# machine); programs such as python3 come from the build machine.
set(CMAKE_FIND_ROOT_PATH ${_target_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The same for pkg-config: it sees the target's packages only.
set(ENV{PKG_CONFIG_LIBDIR} ${_target_root}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${_target_root})
