#!/usr/bin/env bash
# Installs the build into a temporary prefix, moves the installed tree, then
# builds a C host against it with pkg-config alone and runs it and the
# installed mirn: the tree must work wherever it lies, without the build.
#   install_test.sh BUILD_DIR C_COMPILER HOST_SOURCE [SANITIZERS]
# A cross build's programs run under the command in MIRN_EMULATOR.
set -euo pipefail
build=$1 cc=$2 host_source=$3 sanitize=${4:-}
read -r -a emulator <<< "${MIRN_EMULATOR:-}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/first" >/dev/null
mv "$scratch/first" "$scratch/moved"
prefix=$scratch/moved

pc=$(find "$prefix" -name mirndll.pc)
[[ -n $pc ]] || { echo "no mirndll.pc installed" >&2; exit 1; }
libdir=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --variable=libdir mirndll)
# Each library as its versioned file, its SONAME link and the link builds use.
for library in libMirnDLL libMirnAutomation libMirnWave; do
  for file in "$library.so" "$library.so.1"; do
    [[ -L $libdir/$file ]] || { echo "not installed as a link: $libdir/$file" >&2; exit 1; }
  done
  [[ -f $libdir/$library.so.1.0.0 && ! -L $libdir/$library.so.1.0.0 ]] ||
    { echo "not installed: $libdir/$library.so.1.0.0" >&2; exit 1; }
done
[[ -f $prefix/bin/mirn ]] || { echo "not installed: $prefix/bin/mirn" >&2; exit 1; }

flags=()
[[ -n $sanitize ]] && flags=("-fsanitize=$sanitize")
# shellcheck disable=SC2046  # pkg-config's output is meant to be split
"$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror "${flags[@]}" "$host_source" \
  -o "$scratch/host" $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs mirndll)
LD_LIBRARY_PATH=$libdir "${emulator[@]}" "$scratch/host" "$scratch/host.wav"
[[ $(stat -c %s "$scratch/host.wav") -eq 52 ]] || { echo "host.wav is not a 52-byte file" >&2; exit 1; }

# mirn finds libMirnAutomation.so through its RPATH and libMirnDLL.so in ../lib.
unset LD_LIBRARY_PATH
expected='SoundRecordStop() = 2
SoundRecordSave("'$scratch'/mirn.wav", 11025) = 0
SoundRecordLoad("'$scratch'/mirn.wav") = 0'
actual=$("${emulator[@]}" "$prefix/bin/mirn" call stop "save:$scratch/mirn.wav:11025" "load:$scratch/mirn.wav")
if [[ $actual != "$expected" ]]; then
  printf 'installed mirn printed:\n%s\nexpected:\n%s\n' "$actual" "$expected" >&2
  exit 1
fi
"${emulator[@]}" "$prefix/bin/mirn" info "$scratch/mirn.wav" | grep -q 'samples per second  *11025'
echo "installed tree works from $prefix"
