#!/usr/bin/env bash
# Cross-builds the DBF engine for 64-bit Windows (mingw-w64, posix thread
# model) with its Win32 test program and runs the program under wine64,
# headless, in a throw-away Wine prefix.
#   tests/win32/run-wine-tests.sh [BUILD_DIR]      (default: build-win32-dbf)
# WH_WINE_FILTER=NAME runs only the cases whose name contains NAME.
# The last line is "N passed, M failed"; the exit status is non-zero when a
# case failed or the build did.
# Needs: g++-mingw-w64-x86-64-posix wine64 cmake ninja-build
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build-win32-dbf}
mkdir -p "$build"
build=$(cd "$build" && pwd)
jobs=${WH_JOBS:-2}
wine=/usr/lib/wine/wine64

for tool in x86_64-w64-mingw32-g++-posix "$wine" cmake ninja; do
  if ! command -v "$tool" >/dev/null; then
    echo "run-wine-tests: $tool is missing; install with: apt-get install -y" \
         "--no-install-recommends g++-mingw-w64-x86-64-posix wine64 cmake ninja-build" >&2
    echo "0 passed, 1 failed"
    exit 1
  fi
done

echo "dbf (Win32): x86_64 build"
if ! { cmake -S "$here/project" -B "$build" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release \
         -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64-posix.cmake" &&
       ninja -C "$build" -j"$jobs" os_win32_test; } >"$build/build.log" 2>&1; then
  cat "$build/build.log"
  echo "0 passed, 1 failed"
  exit 1
fi

prefix=$(mktemp -d "${TMPDIR:-/tmp}/dbf-wine.XXXXXX")
cleanup() {
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export DISPLAY=
echo "dbf (Win32): Wine prefix"
timeout 120 "$wine" wineboot -i >/dev/null 2>&1 || true
timeout 30 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
timeout 60 /usr/lib/wine/wineserver -w || true

echo "dbf (Win32): tests under Wine"
cd "$build"
set +e
timeout 120 "$wine" ./os_win32_test.exe ${WH_WINE_FILTER:-} 2>&1 | tr -d '\r' | tee wine-tests.log
status=${PIPESTATUS[0]}
set -e
if ! grep -q '^[0-9]* passed, 0 failed$' wine-tests.log; then
  # A crash or a hang leaves no closing line of the program's own.
  grep -q '^[0-9]* passed, [0-9]* failed$' wine-tests.log || echo "0 passed, 1 failed"
  status=1
fi
exit "$status"
