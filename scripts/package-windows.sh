#!/usr/bin/env bash
# Makes the Windows zip: MirnDLL.dll and mirn.exe for 64-bit (x64/) and
# 32-bit (x86/) x86 Windows, with the import libraries, the module-definition
# files and the C headers, in build-win-zip/MirnDLL-VERSION-windows.zip. Builds
# what ships with scripts/build.sh --win64 and --win32, then runs each
# unpacked mirn.exe under Wine (in the Wine prefix of scripts/test.sh
# --windows, with its 32-bit Wine), where it must find its DLL beside it.
# Binaries go without debug information.
#   scripts/package-windows.sh
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
out=$root/build-win-zip
version=""
rm -rf "$out"
mkdir -p "$out"
for target in win64 win32; do
  # What ships, not the tests: building a test lists its tests by running it,
  # which for the 32-bit build takes a 32-bit Wine the machine may not have.
  dir=$("$here/build.sh" "--$target" --target MirnDLL --target mirn | tail -n 1)
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
  folder=$out/MirnDLL-$version-windows
  arch=$([[ $target == win64 ]] && echo x64 || echo x86)
  mkdir -p "$folder/$arch/bin" "$folder/$arch/lib" "$folder/include"
  cp "$dir/bin/MirnDLL.dll" "$dir/bin/mirn.exe" "$folder/$arch/bin/"
  "$([[ $arch == x64 ]] && echo x86_64 || echo i686)-w64-mingw32-strip" --strip-debug \
    "$folder/$arch/bin/"*
  # MirnDLL.dll.a for GNU linkers; the .def makes MSVC's import library
  # (lib /def:MirnDLL.def).
  cp "$dir/MirnDLL.dll.a" "$dir/generated/MirnDLL.def" "$folder/$arch/lib/"
  # Both must run on a bare Windows: system DLLs only, no compiler runtime.
  for binary in "$folder/$arch/bin/"*; do
    if x86_64-w64-mingw32-objdump -p "$binary" | sed -n 's/^\tDLL Name: //p' |
       grep -viqxE '(kernel32|msvcrt|oleaut32|shell32|winmm|advapi32|user32|ole32)\.dll'; then
      echo "$0: $binary needs a DLL that Windows does not have" >&2
      exit 1
    fi
  done
done
cp "$root/include/MirnDLL.h" "$root/include/automation_strings.h" "$folder/include/"
zip=$out/MirnDLL-$version-windows.zip
(cd "$out" && python3 -m zipfile -c "$zip" "MirnDLL-$version-windows")
rm -rf "$folder"

# The unpacked zip alone: each mirn.exe loads the MirnDLL.dll beside it.
prefix=$root/build-wine/prefix
if [[ ! -f $prefix/system.reg ]]; then
  echo "$zip (not run under Wine: no $prefix; scripts/test.sh --windows makes it)"
  exit 0
fi
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"; WINEPREFIX=$prefix wineserver -k 2>/dev/null || true' EXIT
python3 -m zipfile -e "$zip" "$unpacked"
arches=(x64)
if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  arches+=(x86)
else
  echo "package-windows: x86/bin/mirn.exe not run: wine32:i386 is not installed" >&2
fi
for arch in "${arches[@]}"; do
  reported=$(cd "$unpacked" && WINEPREFIX=$prefix WINEDEBUG=-all DISPLAY= \
             WINEDLLOVERRIDES="mscoree,mshtml,winepulse.drv=" \
             wine "MirnDLL-$version-windows/$arch/bin/mirn.exe" --version </dev/null | tr -d '\r')
  [[ $reported == "mirn $version" ]] ||
    { echo "$0: $arch/bin/mirn.exe --version printed '$reported'" >&2; exit 1; }
done
echo "$zip"
