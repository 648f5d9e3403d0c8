#!/usr/bin/env bash
# Configures and builds MirnDLL in a build folder of the checkout.
#   scripts/build.sh [--sanitize LIST | --arm32 | --win64 | --win32] [--target NAME]...
# Prints the build folder on its last line: build/, or with sanitizers
# build-asan/ (address,undefined), build-tsan/ (thread) or build-<list>/, or
# for 32-bit ARM Linux (cross compiled, run under qemu-user) build-arm32/, or
# MirnDLL.dll and its tests for 64-bit or 32-bit x86 Windows (cross compiled
# with mingw-w64, run under Wine) build-win64/ or build-win32/. --target
# builds only the targets named (all by default).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
usage="usage: $0 [--sanitize LIST | --arm32 | --win64 | --win32] [--target NAME]..."
sanitize=""
arm32=false
windows=""
targets=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --sanitize) sanitize=${2:?--sanitize needs a list, e.g. address,undefined}; shift 2 ;;
    --sanitize=*) sanitize=${1#--sanitize=}; shift ;;
    --arm32) arm32=true; shift ;;
    --win64) windows=x86_64; shift ;;
    --win32) windows=i686; shift ;;
    --target) targets+=(--target "${2:?--target needs a name}"); shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done

settings=(-DMIRN_SANITIZE="$sanitize")
case $sanitize in
  "") dir=build ;;
  address,undefined) dir=build-asan ;;
  thread) dir=build-tsan ;;
  *) dir=build-${sanitize//,/-} ;;
esac
if $arm32; then
  # The sanitizers' runtimes do not work under qemu-user.
  [[ -z $sanitize ]] || { echo "$0: --arm32 builds without sanitizers" >&2; exit 2; }
  dir=build-arm32
  settings=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/arm-linux-gnueabihf.cmake")
fi

if [[ -n $windows ]]; then
  [[ -z $sanitize ]] || { echo "$0: Windows builds are without sanitizers" >&2; exit 2; }
  dir=build-win$([[ $windows == i686 ]] && echo 32 || echo 64)
  settings=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$windows-w64-mingw32.cmake")
fi

jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
cmake -S "$root" -B "$root/$dir" "${settings[@]}" >&2
cmake --build "$root/$dir" -j"$jobs" "${targets[@]}" >&2
echo "$root/$dir"
