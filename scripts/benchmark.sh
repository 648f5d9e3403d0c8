#!/usr/bin/env bash
# Builds MirnDLL and runs its sound-server benchmark through a private
# PipeWire and a private PulseAudio server (each where the machine has it;
# a server missing is said to be skipped): every export idle, while recording
# and while playing, warm and cold, plays in a row, each call while the
# server is down and right after it is back, the floor of a bare ALSA open
# through the same server, the CPU of a recording beside arecord's, a
# thousand plays in a row; then every row for both servers, p50/p99.
# Timings are only as quiet as the machine: the load is printed first.
#   scripts/benchmark.sh [GOOGLE_BENCHMARK_FLAGS...]
# MIRN_BENCH_RECORD_SECONDS sets the length of the recording (default 10).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$here/install-deps.sh"
dir=$("$here/build.sh" | tail -n 1)
echo "load: $(uptime)"
"$dir/benchmarks/sound_server_benchmark" "$@" 2> >(grep -v '^ALSA lib' >&2)
