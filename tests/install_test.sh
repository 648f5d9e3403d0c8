#!/usr/bin/env bash
# Installs the build into a temporary prefix, moves the installed tree, then
# builds a C host against it with pkg-config alone and with the CMake package
# alone, runs them and the installed mirn, and compiles the README's example:
# the tree must work wherever it lies, without the build.
#   install_test.sh BUILD_DIR C_COMPILER HOST_SOURCE [SANITIZERS]
# A cross build's programs run under the command in MIRN_EMULATOR, and its
# CMake host is built with the toolchain file in MIRN_TOOLCHAIN_FILE.
# MIRN_INSTALL_STRIP=ON (the default) checks that no debug information is
# installed.
set -euo pipefail
build=$1 cc=$2 host_source=$(realpath "$3") sanitize=${4:-}
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
for file in bin/mirn share/man/man1/mirn.1 share/bash-completion/completions/mirn; do
  [[ -f $prefix/$file ]] || { echo "not installed: $prefix/$file" >&2; exit 1; }
done
if [[ ${MIRN_INSTALL_STRIP:-ON} == ON ]]; then
  for file in "$libdir"/*.so.1.0.0 "$prefix/bin/mirn"; do
    if readelf -S "$file" | grep -q '\.debug_info'; then
      echo "installed with debug information: $file" >&2
      exit 1
    fi
  done
fi

flags=()
[[ -n $sanitize ]] && flags=("-fsanitize=$sanitize")
# shellcheck disable=SC2046  # pkg-config's output is meant to be split
pkg_config() { PKG_CONFIG_PATH=$(dirname "$pc") pkg-config "$@"; }
# shellcheck disable=SC2046  # pkg-config's output is meant to be split
"$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror "${flags[@]}" "$host_source" \
  -o "$scratch/host" $(pkg_config --cflags --libs mirndll)
# A path beyond ASCII arrives whole, through the allocator's UTF-8 call.
LD_LIBRARY_PATH=$libdir "${emulator[@]}" "$scratch/host" "$scratch/host-ü日.wav"
[[ $(stat -c %s "$scratch/host-ü日.wav") -eq 52 ]] ||
  { echo "host-ü日.wav is not a 52-byte file" >&2; exit 1; }

# The same host through find_package(MirnDLL CONFIG); CMake's build RPATH
# finds the libraries.
package=(-DCMAKE_PREFIX_PATH="$prefix")
if [[ -n ${MIRN_TOOLCHAIN_FILE:-} ]]; then  # a cross build searches its own root only
  package=(-DCMAKE_TOOLCHAIN_FILE="$MIRN_TOOLCHAIN_FILE" -DMirnDLL_DIR="$libdir/cmake/MirnDLL")
fi
cmake -S "$(dirname "$host_source")/cmake_host" -B "$scratch/cmake-host" "${package[@]}" \
  -DCMAKE_C_COMPILER="$cc" -DHOST_SOURCE="$host_source" \
  -DCMAKE_C_FLAGS="${flags[*]} -Wall -Werror" -DCMAKE_EXE_LINKER_FLAGS="${flags[*]}" >/dev/null
cmake --build "$scratch/cmake-host" >/dev/null
"${emulator[@]}" "$scratch/cmake-host/host" "$scratch/cmake.wav" >/dev/null

# The README's C example builds as it stands.
readme=$(dirname "$host_source")/../README.md
awk '/^```c$/ { inside = 1; next } /^```$/ { inside = 0 } inside' "$readme" > "$scratch/example.c"
[[ -s $scratch/example.c ]] || { echo "no C example in $readme" >&2; exit 1; }
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror "${flags[@]}" "$scratch/example.c" \
  -o "$scratch/example" $(pkg_config --cflags --libs mirndll)

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
# The completion knows the commands.
completed=$(bash -c 'source "$1"; COMP_WORDS=(mirn p); COMP_CWORD=1; _mirn; echo "${COMPREPLY[*]}"' \
            _ "$prefix/share/bash-completion/completions/mirn")
[[ $completed == play ]] || { echo "completion of 'mirn p' gave '$completed'" >&2; exit 1; }
# The Python package finds the library installed beside it, with nothing set
# (the build machine's Python cannot load a cross or sanitized build).
if [[ -z ${MIRN_EMULATOR:-} && -z $sanitize ]]; then
  package=$(find "$prefix" -path '*/mirndll/__init__.py')
  [[ -n $package ]] || { echo "no Python package installed" >&2; exit 1; }
  found=$(cd "$scratch" && env -u MIRNDLL_LIBRARY PYTHONPATH="$(dirname "$(dirname "$package")")" \
          python3 -c 'import mirndll; r = mirndll.Recorder(); r.stop(); print(r.path)')
  [[ $found == /* && $(realpath "$found") == $(realpath "$libdir/libMirnDLL.so.1") ]] ||
    { echo "the installed Python package loaded '$found'" >&2; exit 1; }
fi
echo "installed tree works from $prefix"
