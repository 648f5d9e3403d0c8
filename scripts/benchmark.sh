#!/usr/bin/env bash
# Builds MirnDLL and runs its sound-server benchmark: every export warm and
# cold through a private PulseAudio server, the floor of a bare ALSA open in
# the same run, the CPU of a 20 s recording beside arecord's, a thousand plays
# in a row, and a summary of p50/p99 and ratios. Timings are only as quiet as
# the machine: the load is printed first.
#   scripts/benchmark.sh [GOOGLE_BENCHMARK_FLAGS...]
# MIRN_BENCH_RECORD_SECONDS sets the length of the recording (default 20).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$here/install-deps.sh"
dir=$("$here/build.sh" | tail -n 1)
echo "load: $(uptime)"
"$dir/benchmarks/sound_server_benchmark" "$@" 2> >(grep -v '^ALSA lib' >&2)
