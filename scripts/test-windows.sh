#!/usr/bin/env bash
# Builds MirnDLL.dll and its tests for 64-bit and 32-bit x86 Windows and runs
# them under Wine, in a Wine prefix of the checkout's own (build-wine/), so
# nothing is shared with other Wine users of the machine. One wineserver is
# kept running for the whole run (a program then starts in well under a
# second instead of about three) and is ended at the end whatever happens.
# Called by scripts/test.sh --windows, which installs what is missing first.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")

export WINEPREFIX=$root/build-wine/prefix
export WINEARCH=win64 WINEDEBUG=-all DISPLAY=
# No prompts to install Mono or Gecko: nothing here needs them. Sound goes
# through Wine's ALSA driver (the tests set up ALSA's "default"), never to a
# PulseAudio server that happens to run on the machine.
export WINEDLLOVERRIDES="mscoree,mshtml,winepulse.drv="
mkdir -p "$WINEPREFIX"
wineserver -k 2>/dev/null || true  # one left by an interrupted run of this prefix
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  wineboot --init </dev/null >/dev/null 2>&1
  wineserver -w  # the prefix is written once its first server has gone
fi
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# The first program of a server starts Wine's own services: let that happen
# here, with every stream closed, rather than inside a timed-out test.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

# The private PulseAudio server that the Windows recording test runs under is
# a program of this machine: build it here, for the Windows builds to find.
test_env=$root/build-wine/mirn_sound_test_env
test_env_sources=(sound_test_env.cpp sound_test_server.cpp pulse_test_server.cpp
                  pipewire_test_server.cpp child_processes.cpp)
if [[ ! -x $test_env || -n $(cd "$root/tests" && find "${test_env_sources[@]}" ./*_test_server.h \
                                 child_processes.h -newer "$test_env") ]]; then
  g++ -std=c++20 -O1 -Wall -I"$root" -o "$test_env" "${test_env_sources[@]/#/$root/tests/}" -pthread
fi

jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
targets=(--win64 --win32)
# 32-bit Wine comes from Debian's i386 packages, which install-deps.sh goes
# on without when their index cannot be had.
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  echo "test-windows: SKIPPED the 32-bit x86 build and its tests: wine32:i386 is not installed" >&2
  targets=(--win64)
fi
for target in "${targets[@]}"; do
  dir=$("$here/build.sh" "$target" | tail -n 1)
  # OLEAUT32 frees strings at once rather than cache them, so that a test
  # sees each release; Wine's ALSA driver plays into files (see
  # cmake/Testing.cmake).
  OANOCACHE=1 ALSA_CONFIG_PATH=$dir/wine-alsa/asound.conf \
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 120
done
[[ ${#targets[@]} -eq 2 ]] || echo "test-windows: the 32-bit x86 tests were skipped (no wine32:i386)" >&2
