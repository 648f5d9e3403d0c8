#!/usr/bin/env bash
# Configures and builds MirnDLL in a build folder of the checkout.
#   scripts/build.sh [--sanitize LIST]
# Prints the build folder on its last line: build/, or with sanitizers
# build-asan/ (address,undefined), build-tsan/ (thread) or build-<list>/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sanitize=""
while [[ $# -gt 0 ]]; do
  case $1 in
    --sanitize) sanitize=${2:?--sanitize needs a list, e.g. address,undefined}; shift 2 ;;
    --sanitize=*) sanitize=${1#--sanitize=}; shift ;;
    *) echo "usage: $0 [--sanitize LIST]" >&2; exit 2 ;;
  esac
done

case $sanitize in
  "") dir=build ;;
  address,undefined) dir=build-asan ;;
  thread) dir=build-tsan ;;
  *) dir=build-${sanitize//,/-} ;;
esac

jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
cmake -S "$root" -B "$root/$dir" -DMIRN_SANITIZE="$sanitize" >&2
cmake --build "$root/$dir" -j"$jobs" >&2
echo "$root/$dir"
