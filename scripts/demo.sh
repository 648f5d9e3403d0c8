#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root), builds MirnDLL and shows mirn at
# work through a real sound server without a sound card: a private PipeWire
# server (or PulseAudio, whichever the machine has; tests/sound_test_server.h)
# whose source plays a known sound in real time (speech from espeak-ng where
# installed, else a tune) and whose sink is recorded. mirn records four
# seconds, saves them, shows the file and plays it back; the demo checks the
# take against the sound fed in: its length within one period of the time
# recorded, its bytes found in that sound in order.
# Nothing of the machine's sound set-up is used or changed. Results stay in
# build/demo/.   scripts/demo.sh [--server pipewire|pulseaudio]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
tools=$root/demo/demo_tools.py
servers=(pipewire pulseaudio)
case ${1:-} in
  --server) servers=("${2:?--server needs pipewire or pulseaudio}") ;;
  "") ;;
  *) echo "usage: $0 [--server pipewire|pulseaudio]" >&2; exit 2 ;;
esac

if [[ ${MIRN_DEMO_INSIDE:-} != 1 ]]; then
  "$here/install-deps.sh"
  dir=$("$here/build.sh" | tail -n 1)
  work=$dir/demo
  rm -rf "$work"
  mkdir -p "$work"
  cd "$work"
  printf '\n== The sound to record\n'
  python3 "$tools" input input.u8
  for server in "${servers[@]}"; do
    # 77: the machine has no such server; try the next.
    status=0
    MIRN_DEMO_INSIDE=1 MIRN_DEMO_DIR=$work MIRN=$dir/mirn \
      "$dir/tests/mirn_sound_test_env" --server "$server" --source input.u8 --record-sink \
      bash "$here/demo.sh" || status=$?
    [[ $status -eq 77 ]] || exit "$status"
  done
  echo "demo: neither PipeWire nor PulseAudio is installed" >&2
  exit 1
fi

# Under the server: ALSA's "default" is its source and sink.
cd "$MIRN_DEMO_DIR"
step() { printf '\n== %s\n' "$*"; }
echo "through a private $MIRN_SERVER server (its folder: $MIRN_SERVER_DIR)"

step "mirn record take.wav -d 4"
"$MIRN" record take.wav -d 4

step "mirn info take.wav"
"$MIRN" info take.wav

step "What was recorded is the sound fed in"
python3 "$tools" check take.wav input.u8 4

step "mirn play take.wav"
"$MIRN" play take.wav
# What the sink played, for `mirn info played.wav`.
python3 "$tools" wrap "$MIRN_SERVER_DIR/sink.raw" 8000 played.wav
echo
echo "Files are in $MIRN_DEMO_DIR. On a machine with a sound card, the same mirn"
echo "commands use its microphone and speakers through ALSA's own default."
