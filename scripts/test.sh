#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root), builds MirnDLL and runs every
# test.   scripts/test.sh [--sanitize address,undefined]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$here/install-deps.sh"
dir=$("$here/build.sh" "$@" | tail -n 1)
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
ctest --test-dir "$dir" --output-on-failure -j"$jobs"
