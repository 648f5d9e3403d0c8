#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root), builds MirnDLL and shows mirn at
# work through real ALSA without a sound card: for this script only, ALSA's
# "default" device records from a named pipe fed at 8000 bytes/s and plays
# into files (demo/alsa-demo.conf). mirn records a few seconds, saves them,
# plays them back at 11025 Hz and shows what was recorded and played.
# Results stay in build/demo/.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
"$here/install-deps.sh"
dir=$("$here/build.sh" | tail -n 1)
mirn=$dir/mirn
tools=$root/demo/demo_tools.py

work=$dir/demo
rm -rf "$work"
mkdir -p "$work"
export MIRN_DEMO_DIR=$work
export ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$root/demo/alsa-demo.conf
cd "$work"

step() { printf '\n== %s\n' "$*"; }

step "The sound to record"
python3 "$tools" input input.u8
mkfifo capture.pipe
python3 "$tools" feed input.u8 capture.pipe &
feeder=$!
trap 'kill "$feeder" 2>/dev/null || true' EXIT
echo "feeding capture.pipe at 8000 bytes/s"

step "mirn record take.wav -d 4"
"$mirn" record take.wav -d 4

step "mirn info take.wav"
"$mirn" info take.wav

step "mirn play take.wav -r 11025"
"$mirn" play take.wav -r 11025
# Each of the play's two passes is a stream of its own, in a file of its own.
streams=(played.raw played.raw.0001)
for i in "${!streams[@]}"; do
  python3 "$tools" wrap "${streams[$i]}" 11025 "played-$((i + 1)).wav"
done

step "mirn info played-1.wav (the first pass, as ALSA received it)"
"$mirn" info played-1.wav

step "What was played is what was recorded"
recorded=$(( $(stat -c %s take.wav) - 52 ))
for stream in "${streams[@]}"; do
  if cmp -s <(tail -c +53 take.wav) "$stream"; then
    echo "$stream: the $recorded recorded bytes, unchanged, at 11025 Hz"
  else
    echo "$stream differs from the recording" >&2
    exit 1
  fi
done
echo
echo "Files are in $work. On a machine with a sound card, the same commands"
echo "without ALSA_CONFIG_PATH use its microphone and speakers."
