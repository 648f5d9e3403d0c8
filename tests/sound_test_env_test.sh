#!/usr/bin/env bash
# Run by mirn_sound_test_env --record-sink, through each server: ALSA's "default" records the
# source's known bytes, in order and none lost, and what it plays reaches
# the sink.
set -euo pipefail
cd "$MIRN_SERVER_DIR"
arecord -q -f U8 -r 8000 -c 1 -t raw -d 1 recorded.raw
aplay -q -f U8 -r 8000 -c 1 -t raw recorded.raw
python3 - <<'CHECK'
import sys, time

def runs(data):
    """The longest stretch of bytes that follow each other as the source's do."""
    best = run = 0
    for before, byte in zip(data, data[1:]):
        run = run + 1 if byte == before % 251 + 1 else 0
        best = max(best, run)
    return best

recorded = open("recorded.raw", "rb").read()
if len(recorded) != 8000 or runs(recorded) != 7999 or 0 in recorded:
    sys.exit(f"recorded {len(recorded)} bytes, {runs(recorded) + 1} of them in order")
# The sink plays the recording back; the monitor delivers it a little later.
deadline = time.monotonic() + 20
while runs(open("sink.raw", "rb").read()) < 4000:
    if time.monotonic() > deadline:
        sys.exit("the sink never played the recording")
    time.sleep(0.05)
CHECK
