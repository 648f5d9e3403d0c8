#!/usr/bin/env bash
# Configures and builds MirnDLL in a build folder of the checkout.
#   scripts/build.sh [--sanitize LIST | --arm32]
# Prints the build folder on its last line: build/, or with sanitizers
# build-asan/ (address,undefined), build-tsan/ (thread) or build-<list>/, or
# for 32-bit ARM Linux (cross compiled, run under qemu-user) build-arm32/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
usage="usage: $0 [--sanitize LIST | --arm32]"
sanitize=""
arm32=false
while [[ $# -gt 0 ]]; do
  case $1 in
    --sanitize) sanitize=${2:?--sanitize needs a list, e.g. address,undefined}; shift 2 ;;
    --sanitize=*) sanitize=${1#--sanitize=}; shift ;;
    --arm32) arm32=true; shift ;;
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

jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
cmake -S "$root" -B "$root/$dir" "${settings[@]}" >&2
cmake --build "$root/$dir" -j"$jobs" >&2
echo "$root/$dir"
