#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing MirnDLL
# need. The package lists live here only. Runs apt-get update only when a
# package is missing. It never removes a package (an install that would is
# refused and reported) and changes no sound configuration; what cannot be
# installed is reported as a warning, and the install goes on without it.
#   scripts/install-deps.sh [--arm32]   also the 32-bit ARM cross build's
#   scripts/install-deps.sh [--fuzz]    also clang and libFuzzer
#   scripts/install-deps.sh [--windows] also the Windows cross builds' and Wine
#                                       (32-bit Wine needs Debian's i386 packages)
set -euo pipefail

packages=(
  cmake g++ make pkg-config python3
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libasound2-dev alsa-utils sox bash-completion
  # A private PulseAudio server for the tests, and ALSA's plugin that reaches it.
  pulseaudio pulseaudio-utils libasound2-plugins
  # mirn: its command line (CLI11), audio files and rate conversion.
  libcli11-dev libsndfile1-dev libsamplerate0-dev
  # The Python binding's tests, and its pip install; the Debian packages' dependencies.
  python3-pytest python3-setuptools python3-wheel python3-pip python3-venv dpkg-dev file
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

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root to install ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
# A mirror in the middle of a sync fails an index now and then: try once more,
# then go on with the indexes that did come (a package they lack is reported
# below, and the rest still installs).
update_log=$(mktemp)
trap 'rm -f "$update_log"' EXIT
if ! "${sudo[@]}" apt-get update >"$update_log" 2>&1 || grep -q '^E:' "$update_log"; then
  sleep 5
  if ! "${sudo[@]}" apt-get update >"$update_log" 2>&1 || grep -q '^E:' "$update_log"; then
    echo "install-deps: warning: apt-get update failed on some indexes; going on with the others:" >&2
    grep '^E:' "$update_log" | sed 's/^/install-deps:   /' >&2 || true
  fi
fi

# Installs the packages named, unless apt would remove any package for them
# (a sound server the machine uses, say) or cannot install them. Returns 1
# then, having changed nothing.
install_harmless() {
  local plan
  if ! plan=$("${sudo[@]}" apt-get install -s -y --no-install-recommends "$@" 2>&1); then
    return 1
  fi
  if grep -q '^Remv ' <<<"$plan"; then
    echo "install-deps: not installing $* : it would remove $(grep '^Remv ' <<<"$plan" | awk '{print $2}' | xargs)" >&2
    return 1
  fi
  "${sudo[@]}" apt-get install -y --no-install-recommends "$@"
}

if ! install_harmless "${missing[@]}"; then
  # One at a time, so that one package that cannot come keeps no other out.
  failed=()
  for package in "${missing[@]}"; do
    install_harmless "$package" >/dev/null || failed+=("$package")
  done
  if [[ ${#failed[@]} -gt 0 ]]; then
    echo "install-deps: warning: could not install ${failed[*]} (nothing was removed); what needs them is skipped or fails" >&2
  fi
fi
