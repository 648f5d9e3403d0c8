#!/usr/bin/env bash
# Builds libFuzzer's target for the load path (wave_file/load_fuzzer.cpp) with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz/, and
# runs it for a fixed number of executions from the seed files in
# wave_file/load_corpus/ (new inputs go to build-fuzz/corpus/ only).
#   scripts/fuzz.sh [--runs N]   (default 2,000,000)
# Exits non-zero on the first crash or broken invariant, whose input
# libFuzzer leaves in build-fuzz/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=2000000
case ${1:-} in
  --runs) runs=${2:?--runs needs a number} ;;
  "") ;;
  *) echo "usage: $0 [--runs N]" >&2; exit 2 ;;
esac

"$root/scripts/install-deps.sh" --fuzz
dir=$root/build-fuzz
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
cmake -S "$root" -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DMIRN_SANITIZE=address,undefined,fuzzer-no-link -DMIRN_FUZZ=ON >&2
cmake --build "$dir" -j"$jobs" --target load_fuzzer >&2
mkdir -p "$dir/corpus"
cd "$dir"
"$dir/wave_file/load_fuzzer" -runs="$runs" -max_len=4096 -print_final_stats=1 \
    "$dir/corpus" "$root/wave_file/load_corpus"
