#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root), builds MirnDLL and runs the
# command-line host mirn, which loads the library and calls its exports.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$here/install-deps.sh"
dir=$("$here/build.sh" | tail -n 1)
demo_file=$(mktemp --suffix=.wav)
trap 'rm -f "$demo_file"' EXIT
"$dir/mirn" call stop "save:$demo_file:8000" "load:$demo_file" play:8000 dllstop || true
