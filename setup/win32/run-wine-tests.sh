#!/usr/bin/env bash
# Builds installhook for Windows with mingw-w64 and runs its Win32 tests under
# Wine, headless.
#   setup/win32/run-wine-tests.sh [BUILD_DIR]      (default: build-win32)
# WH_WINE_FILTER=NAME runs only the Wine tests whose name contains NAME.
# 1. BUILD_DIR/i686: the shipped installhook.dll, checked to export exactly Foo
#    and Goo under their plain names and to need no mingw runtime DLL.
# 2. BUILD_DIR/x86_64: the same sources for 64-bit Windows with the test
#    program (this machine's kernel cannot run 32-bit programs), run under
#    wine64 in a throw-away prefix with the null graphics driver.
# Needs: g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine64 cmake ninja-build
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build-win32}
mkdir -p "$build"
build=$(cd "$build" && pwd)
jobs=${WH_JOBS:-2}

for tool in i686-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++-win32 i686-w64-mingw32-objdump \
            /usr/lib/wine/wine64 cmake ninja; do
  if ! command -v "$tool" >/dev/null; then
    echo "run-wine-tests: $tool is missing; install with: apt-get install -y --no-install-recommends" \
         "g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine64 cmake ninja-build" >&2
    exit 1
  fi
done

cross_build() {  # cross_build ARCH [cmake options...]
  local arch=$1; shift
  cmake -S "$here" -B "$build/$arch" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch.cmake" "$@" >/dev/null
  ninja -C "$build/$arch" -j"$jobs" >"$build/$arch.log" 2>&1 || { cat "$build/$arch.log"; return 1; }
}

echo "installhook: i686 build"
cross_build i686 -DWH_WINE_TESTS=OFF
dll=$build/i686/setup/installhook.dll
dump=$(i686-w64-mingw32-objdump -p "$dll")
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk '/\[/ && NR > 1 {print $NF}' | sort | tr '\n' ' ')
if [[ "$exports" != "Foo Goo " ]]; then
  echo "installhook.dll exports '$exports', not exactly Foo and Goo" >&2
  exit 1
fi
imports=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | sort | tr '\n' ' ')
for name in $imports; do
  case $name in
    advapi32.dll|kernel32.dll|msvcrt.dll|shell32.dll|user32.dll) ;;
    *) echo "installhook.dll needs $name, which Windows does not have" >&2; exit 1 ;;
  esac
done
if ! grep -q 'ret    \$0x14' <(i686-w64-mingw32-objdump -d "$dll" | sed -n '/<_Foo@20>:/,/ret/p'); then
  echo "Foo does not remove its five arguments from the stack" >&2
  exit 1
fi
echo "installhook.dll (i686): exports $exports; imports $imports"

echo "installhook: x86_64 build"
cross_build x86_64

prefix=$(mktemp -d "${TMPDIR:-/tmp}/installhook-wine.XXXXXX")
cleanup() {
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export DISPLAY=
wine=/usr/lib/wine/wine64
echo "installhook: Wine prefix"
timeout 120 "$wine" wineboot -i >/dev/null 2>&1
timeout 30 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
/usr/lib/wine/wineserver -w

echo "installhook: Wine tests"
cd "$build/x86_64"
cp setup/installhook.dll .
timeout 150 "$wine" ./installhook_wine_tests.exe ${WH_WINE_FILTER:-} 2>&1 | tr -d '\r' | tee wine-tests.log
status=${PIPESTATUS[0]}
grep -q '^[0-9]* passed, 0 failed$' wine-tests.log || status=1
exit "$status"
