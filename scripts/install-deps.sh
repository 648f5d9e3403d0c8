#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing MirnDLL
# need. The package lists live here only. Runs apt-get update only when a
# package is missing.
#   scripts/install-deps.sh [--arm32]   also the 32-bit ARM cross build's
#   scripts/install-deps.sh [--fuzz]    also clang and libFuzzer
#   scripts/install-deps.sh [--windows] also the Windows cross builds' and Wine
#                                       (32-bit Wine needs Debian's i386 packages)
# It does no harm to the machine's sound: a package whose install would
# remove any other package is left out (apt-get is asked first, -s), so
# PulseAudio is not installed where pipewire-pulse is; pipewire-alsa, which
# would make PipeWire every program's ALSA "default", is never installed but
# unpacked into .cache/pipewire-alsa/ for the tests' private PipeWire. No
# configuration file of ALSA, PulseAudio or PipeWire is written. An index
# that fails to update is retried once and then reported, and what can be
# installed still is; each package left out is named on stderr.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
packages=(
  cmake g++ make pkg-config python3
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libasound2-dev alsa-utils sox bash-completion
  # A private PulseAudio server for the tests, and ALSA's plugin that reaches it.
  pulseaudio pulseaudio-utils libasound2-plugins
  # A private PipeWire server for the tests, with its session manager.
  pipewire pipewire-bin wireplumber
  # The demo's speech.
  espeak-ng
  # The Python binding's tests, and its pip install; the Debian packages' dependencies.
  python3-pytest python3-setuptools python3-wheel python3-pip python3-venv dpkg-dev file
  # mirn: its command line (CLI11), audio files and rate conversion.
  libcli11-dev libsndfile1-dev libsamplerate0-dev
)
# The cross compiler, qemu-user to run its binaries, and GoogleTest's sources
# to build for the target.
arm32_packages=(g++-arm-linux-gnueabihf qemu-user googletest)
# clang with libFuzzer and its sanitizer runtimes, for scripts/fuzz.sh.
fuzz_packages=(clang libclang-rt-14-dev)
# mingw-w64's -posix compilers (std::thread), GoogleTest's sources, and Wine
# for 64-bit and 32-bit programs.
windows_packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest
                  wine wine64 wine32:i386)

while [[ $# -gt 0 ]]; do
  case $1 in
    --arm32) packages+=("${arm32_packages[@]}"); shift ;;
    --fuzz) packages+=("${fuzz_packages[@]}"); shift ;;
    --windows) packages+=("${windows_packages[@]}"); shift ;;
    *) echo "usage: $0 [--arm32] [--fuzz] [--windows]" >&2; exit 2 ;;
  esac
done

warn() { echo "install-deps: warning: $*" >&2; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# PipeWire's own PulseAudio server is the machine's: PulseAudio itself would
# replace it (the packages conflict).
if installed pipewire-pulse; then
  kept=()
  for package in "${packages[@]}"; do [[ $package == pulseaudio ]] || kept+=("$package"); done
  packages=("${kept[@]}")
  echo "install-deps: pipewire-pulse is installed: not installing pulseaudio;" \
       "the PulseAudio tests run only where pulseaudio is" >&2
fi

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
pipewire_alsa=$root/.cache/pipewire-alsa
need_plugin=false
if ! installed pipewire-alsa && [[ -z $(find "$pipewire_alsa" -name libasound_module_pcm_pipewire.so 2>/dev/null) ]]; then
  need_plugin=true
fi
[[ ${#missing[@]} -eq 0 ]] && ! $need_plugin && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root to install ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
# A mirror in the middle of a sync fails one index now and then: try again,
# then go on with the indexes that did update.
index_failed=""
if ! "${sudo[@]}" apt-get update; then
  sleep 5
  if ! "${sudo[@]}" apt-get update; then
    index_failed=yes
    warn "apt-get update failed twice; installing from the indexes there are"
  fi
fi

# Whether installing the packages would remove any package (asked, not done).
removes() { apt-get -s install --no-install-recommends "$@" 2>/dev/null | grep -q '^Remv '; }
# Whether apt-get can install them at all, as far as it can tell beforehand.
installable() { apt-get -s install --no-install-recommends "$@" >/dev/null 2>&1; }
# What apt-get says a package lacks: its unmet dependencies (an index that
# failed to update, above, is the usual cause: run this again later).
lacks() {
  local unmet
  unmet=$(apt-get -s install --no-install-recommends "$1" 2>&1 |
          sed -n 's/^ *\([^ ]*\) *: *Depends: \(.*\)$/\1 needs \2/p' | head -n 4 | paste -sd ';' -)
  echo "${unmet:-not in the package indexes here}${index_failed:+ (an index failed to update: try again later)}"
}

if [[ ${#missing[@]} -gt 0 ]]; then
  echo "install-deps: installing ${missing[*]}"
  if removes "${missing[@]}" || ! installable "${missing[@]}" ||
     ! "${sudo[@]}" apt-get install -y --no-remove --no-install-recommends "${missing[@]}"; then
    # One at a time, so that one package that cannot be had, or would remove
    # another, leaves out only itself.
    for package in "${missing[@]}"; do
      installed "$package" && continue
      if removes "$package"; then
        warn "not installing $package: it would remove $(apt-get -s install "$package" | awk '/^Remv /{print $2}' | xargs)"
      elif ! installable "$package"; then
        warn "cannot install $package: $(lacks "$package")"
      else
        echo "install-deps: installing $package"
        "${sudo[@]}" apt-get install -y --no-remove --no-install-recommends "$package" || warn "installing $package failed"
      fi
    done
  fi
fi

# PipeWire's ALSA plugin for the tests, unpacked, never installed.
if $need_plugin; then
  scratch=$(mktemp -d)
  if (cd "$scratch" && apt-get download pipewire-alsa >/dev/null 2>&1) &&
     rm -rf "$pipewire_alsa" && mkdir -p "$pipewire_alsa" &&
     dpkg-deb -x "$scratch"/pipewire-alsa_*.deb "$pipewire_alsa"; then
    echo "install-deps: unpacked pipewire-alsa into $pipewire_alsa (not installed)"
  else
    warn "could not download pipewire-alsa: the PipeWire tests will be skipped"
  fi
  rm -rf "$scratch"
fi
exit 0
