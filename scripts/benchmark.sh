#!/usr/bin/env bash
# Builds MirnDLL and runs its sound-server benchmark through a private
# PipeWire and a private PulseAudio server (each where the machine has it;
# a server missing is said to be skipped), each part in a process of its own:
#   rows    every export alone, idle, while recording and while playing, warm
#           and cold; plays in a row; each call while the server is down and
#           right after it is back; the floor of a bare ALSA open; the CPU of
#           a recording beside arecord's; a thousand plays in a row
#   mix     a seeded random mix of all seven exports (rates 5512-22050,
#           pauses 0-400 ms) beside bare ALSA opens made in the same mix
#   host    a host pacing its calls 0.33 s apart: load, start, a tone 30 ms
#           later (wall and CPU time), stop; plays idle and while recording
#   takes   each take's first and last byte against its Start and Stop,
#           beside arecord stopped by SIGINT; first takes of fresh processes;
#           takes across a server restart
#   plays   plays and tone replays as the sink heard them, beside aplay
#   memory  RSS and threads over a long random mix
#   unload  the unload tests' plain C host (tests/unload_host.c) unloading
#           right after each export, also through the file-backed ALSA
#           device, then a reload that records and plays
# then every row and figure for both servers side by side and each goal of
# the current issues, met or not. Timings are only as quiet as the machine:
# the load is printed first.
#   scripts/benchmark.sh [--servers LIST] [--parts LIST] [--seed N]
#       [--mix-calls N] [--memory-seconds S] [--host-rounds N] [--takes N]
#       [--first-takes N] [--plays N] [--unload-rounds N] [GOOGLE_BENCHMARK_FLAGS...]
# A full run takes about 25 minutes; the memory goal wants
# --memory-seconds 600, the first takes' --first-takes 500. A short run:
#   scripts/benchmark.sh --mix-calls 150 --memory-seconds 60 --host-rounds 10 \
#       --takes 8 --first-takes 3 --plays 3 --unload-rounds 1
# MIRN_BENCH_RECORD_SECONDS sets the length of the recording whose CPU is
# measured (default 10); MIRN_BENCH_VERBOSE=1 prints each take and play as
# the benchmark found it.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$here/install-deps.sh"
dir=$("$here/build.sh" | tail -n 1)
echo "load: $(uptime)"
"$dir/benchmarks/sound_server_benchmark" "$@"
