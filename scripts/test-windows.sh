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
trap 'exec 9>&-; wineserver -k 2>/dev/null || true' EXIT
# The first program of a server starts Wine's own services, and the first
# window (winmm makes one) its desktop, explorer.exe, which ends a second
# after its last user has gone. Either, started by a test, inherits the
# test's stderr and holds CTest's pipe open, so that CTest waits for it long
# after the test has ended; and a test whose winmm makes its window while the
# desktop is ending waits up to ten seconds for a new one, and its open then
# fails. And the first programs of a fresh prefix to ask for its audio
# devices, asking at once, each register them under a GUID of their own,
# and all winmm opens fail in each but the last. So the services are
# started here, with every stream closed, and then one program, alone,
# registers the audio devices and keeps the desktop with a window of its
# own until this script ends (start_desktop_keeper, once the first build
# has made it; it writes "ready" once both are done).
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
keeper_started=false
start_desktop_keeper() {
  $keeper_started && return
  local ready=$root/build-wine/keeper.ready
  rm -f "$ready"
  exec 9> >(exec wine "$1/bin/wine_desktop_keeper.exe" >"$ready" 2>/dev/null)
  keeper_started=true
  for _ in $(seq 300); do
    grep -q ready "$ready" 2>/dev/null && return
    sleep 0.1
  done
  echo "test-windows: Wine's desktop and audio devices were not readied" >&2
  exit 1
}

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
# 32-bit Wine comes from Debian's i386 packages, which install-deps.sh goes
# on without when their index cannot be had: the 32-bit build is then still
# made and checked as it ships (its export table, ordinals and imports, read
# with objdump), but not run.
wine32=true
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  echo "test-windows: wine32:i386 is not installed: the 32-bit x86 build is checked, not run" >&2
  wine32=false
fi
for target in --win64 --win32; do
  only=() built=()
  if [[ $target == --win32 ]] && ! $wine32; then
    # What ships, and not the tests: the build lists each test program's
    # tests by running it, which takes 32-bit Wine.
    built=(--target MirnDLL --target mirn)
    only=(-R '^exports\.(export_table|def_file|program_imports)$')
  fi
  dir=$("$here/build.sh" "$target" "${built[@]}" | tail -n 1)
  [[ ${#only[@]} -gt 0 ]] || start_desktop_keeper "$dir"
  # OLEAUT32 frees strings at once rather than cache them, so that a test
  # sees each release; Wine's ALSA driver plays into files (see
  # cmake/Testing.cmake).
  OANOCACHE=1 ALSA_CONFIG_PATH=$dir/wine-alsa/asound.conf \
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 120 "${only[@]}"
done
$wine32 || echo "test-windows: SKIPPED running the 32-bit x86 tests (no wine32:i386); its binaries were checked" >&2
