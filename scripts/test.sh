#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root), builds MirnDLL and runs every
# test.   scripts/test.sh [--sanitize address,undefined | --sanitize thread | --arm32 | --windows]
# --arm32 cross compiles for 32-bit ARM Linux and runs the tests under
# qemu-user (in build-arm32/). --windows builds MirnDLL.dll for 64-bit and
# 32-bit x86 Windows (build-win64/, build-win32/) and runs the tests under
# Wine (scripts/test-windows.sh).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
deps=()
for arg in "$@"; do
  if [[ $arg == --arm32 ]]; then deps=(--arm32); fi
  if [[ $arg == --windows ]]; then
    [[ $# -eq 1 ]] || { echo "$0: --windows takes no other option" >&2; exit 2; }
    "$here/install-deps.sh" --windows
    exec "$here/test-windows.sh"
  fi
done
"$here/install-deps.sh" "${deps[@]}"
dir=$("$here/build.sh" "$@" | tail -n 1)
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
ctest --test-dir "$dir" --output-on-failure -j"$jobs"
