#!/usr/bin/env bash
# Makes the Debian packages of a build, installs them on this machine with
# apt-get (as root), and checks them as a user meets them: mirn --version,
# the README's C example built against the installed headers with pkg-config
# and a host built with the installed CMake package, and the README's Python
# example; then removes them (and any dependency their install brought in),
# so that the machine is left as it was. Refuses to run when the install
# would remove a package or when one of these packages is installed already.
#   scripts/package-test.sh [BUILD_DIR]   (default build/, made by scripts/build.sh)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-$root/build}")
[[ $(id -u) -eq 0 ]] || { echo "$0: installs packages: run as root" >&2; exit 1; }

rm -rf "$build/packages"
cmake --build "$build" --target package -j2 >/dev/null
debs=("$build"/packages/*.deb)
names=()
for deb in "${debs[@]}"; do
  name=$(dpkg-deb -f "$deb" Package)
  if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "ok installed"; then
    echo "$0: $name is installed already: remove it first" >&2
    exit 1
  fi
  names+=("$name")
done

# Other helpers' and CI's apt-get may hold the lock for a while.
apt=(apt-get -o DPkg::Lock::Timeout=600 --no-install-recommends)
plan=$("${apt[@]}" -s install "${debs[@]}")
if grep -q '^Remv' <<< "$plan"; then
  echo "$0: installing the packages would remove others; not installing:" >&2
  grep '^Remv' <<< "$plan" >&2
  exit 1
fi
mapfile -t added < <(awk '/^Inst /{ print $2 }' <<< "$plan")

scratch=$(mktemp -d)
remove() {
  # Only what the install added: removing it must take nothing else along.
  if "${apt[@]}" -s purge "${added[@]}" | grep '^Purg' | awk '{ print $2 }' |
     grep -qvxF -f <(printf '%s\n' "${added[@]}"); then
    echo "$0: removing ${added[*]} would take other packages along; left installed" >&2
  else
    DEBIAN_FRONTEND=noninteractive "${apt[@]}" -y -q purge "${added[@]}" >/dev/null
  fi
  rm -rf "$scratch"
  for name in "${names[@]}"; do
    if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "ok installed"; then
      echo "$0: $name is still installed" >&2
      exit 1
    fi
  done
  if [[ -e /usr/lib/python3/dist-packages/mirndll ]]; then
    echo "$0: /usr/lib/python3/dist-packages/mirndll is left behind" >&2
    exit 1
  fi
}
trap remove EXIT
DEBIAN_FRONTEND=noninteractive "${apt[@]}" -y -q install "${debs[@]}" >/dev/null

# Only the installed files: no build tree, no variables pointing into one.
unset MIRNDLL_LIBRARY LD_LIBRARY_PATH PKG_CONFIG_PATH PYTHONPATH CMAKE_PREFIX_PATH
cd "$scratch"
[[ $(command -v mirn) == /usr/bin/mirn ]] || { echo "mirn is not /usr/bin/mirn" >&2; exit 1; }
mirn --version

# The README's examples record and play through the tests' private PulseAudio
# server, which captures in real time: three seconds hold 24,000 bytes, and
# the plays last as long.
sound=("$build/tests/mirn_sound_test_env" --server pulseaudio)
awk '/^```c$/ { inside = 1; next } /^```$/ { inside = 0 } inside' "$root/README.md" > example.c
# shellcheck disable=SC2046  # pkg-config's output is meant to be split
cc -std=c11 -Wall -Wextra -Werror example.c -o example $(pkg-config --cflags --libs mirndll)
"${sound[@]}" ./example | grep -E '^recorded, saved and played [1-9][0-9]* bytes$'

cmake -S "$root/tests/cmake_host" -B cmake-host -DHOST_SOURCE="$root/tests/installed_host.c" >/dev/null
cmake --build cmake-host >/dev/null
./cmake-host/host cmake-host.wav

# Debian's own Python, which the package's python3 dependency names.
awk '/^```python$/ { inside = 1; next } /^```$/ { inside = 0 } inside' "$root/README.md" > example.py
/usr/bin/python3 -c '
import os, mirndll
path = mirndll.Recorder().path  # the installed copy, found from the package
assert mirndll.__file__.startswith("/usr/lib/python3/"), mirndll.__file__
assert path.startswith("/usr/lib/") and os.path.isfile(path), path
print("mirndll", mirndll.__file__, "loads", path)'
"${sound[@]}" /usr/bin/python3 example.py | grep -E '^recorded, saved and played [1-9][0-9]* bytes$'
echo "the packages ${names[*]} install, work and are removed again"
