#!/usr/bin/env bash
# Random call sequences over the library's seven exports with hostile
# arguments, longer than ctest's run: builds (as scripts/build.sh does) and runs
# tests/call_sequences.cpp's program, which unloads the library every
# CALLS/CYCLES calls.
#   scripts/call-sequences.sh [--sanitize LIST] [--seed N] [--calls N] [--cycles N]
# Defaults: seed 1, 100,000 calls, 100 loads of the library.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=()
run=(--seed 1 --calls 100000 --cycles 100)
while [[ $# -gt 0 ]]; do
  case $1 in
    --sanitize) build=(--sanitize "${2:?--sanitize needs a list}"); shift 2 ;;
    --seed|--calls|--cycles) run+=("$1" "${2:?$1 needs a number}"); shift 2 ;;
    *) echo "usage: $0 [--sanitize LIST] [--seed N] [--calls N] [--cycles N]" >&2; exit 2 ;;
  esac
done
"$here/install-deps.sh"
dir=$("$here/build.sh" "${build[@]}" | tail -n 1)
start=$(date +%s)
"$dir/tests/mirn_call_sequences" "${run[@]}"
echo "call-sequences: $(( $(date +%s) - start )) s"
