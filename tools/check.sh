#!/usr/bin/env bash
# Sets everything up and runs every test:
#   1. installs the missing Debian packages (tools/install-deps.sh)
#   2. fetches the real Access files the Jet reader is tested on
#   3. builds and runs the suite plainly, then under AddressSanitizer +
#      UndefinedBehaviorSanitizer, then the threaded tests under ThreadSanitizer
#   4. runs each fuzz target briefly (clang + libFuzzer)
#   5. cross-builds installhook, the DBF engine and dbmigrate.exe for Win32 and
#      runs their tests under Wine (dbmigrate.exe against the Linux build)
#   6. runs the demo (tools/demo.sh) so that the README's first command stays true
# Build trees go to build/, build-asan/, build-tsan/, build-fuzz/, build-win32/,
# build-win32-dbf/ and build-win32-dbmigrate/.
# Set WH_CHECK_QUICK=1 to run only step 3's plain suite.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

section() { printf '\n=== %s ===\n' "$*"; }
configure() {  # configure DIR [cmake options...]
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -Wno-dev "$@" >/dev/null
}

section "packages"
tools/install-deps.sh

if [[ -x tests/migrate/fetch-jet-samples.sh ]]; then
  section "Access sample files"
  # apt-get download needs current package lists; refresh them once if it fails.
  tests/migrate/fetch-jet-samples.sh "$root/build/jet-samples" || {
    $([[ $(id -u) -eq 0 ]] || echo sudo) apt-get update -qq
    tests/migrate/fetch-jet-samples.sh "$root/build/jet-samples"
  }
  export WH_JET_SAMPLES="$root/build/jet-samples"
fi

section "plain build and tests"
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" -LE fuzz
[[ "${WH_CHECK_QUICK:-0}" == 1 ]] && exit 0

section "AddressSanitizer + UndefinedBehaviorSanitizer"
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DWH_SANITIZE=ON -DWH_BENCH=OFF
ninja -C build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE fuzz

section "ThreadSanitizer (threaded tests)"
configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DWH_TSAN=ON -DWH_BENCH=OFF
ninja -C build-tsan -j"$jobs"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L threads

section "fuzz targets (short runs)"
configure build-fuzz -DCMAKE_BUILD_TYPE=Debug -DWH_FUZZ=ON -DWH_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
ninja -C build-fuzz -j"$jobs"
ctest --test-dir build-fuzz --output-on-failure -L fuzz

if [[ -x setup/win32/run-wine-tests.sh ]]; then
  section "installhook: Win32 build and Wine tests"
  setup/win32/run-wine-tests.sh "$root/build-win32"
fi

if [[ -x tests/win32/run-wine-tests.sh ]]; then
  section "DBF engine: Win32 build and Wine tests"
  tests/win32/run-wine-tests.sh "$root/build-win32-dbf"
fi

if [[ -x tests/migrate/wine/run-wine-tests.sh ]]; then
  section "dbmigrate.exe: Win32 build and Wine tests"
  tests/migrate/wine/run-wine-tests.sh "$root/build" "$root/build-win32-dbmigrate"
fi

section "demo"
tools/demo.sh >build/demo.log 2>&1 || { cat build/demo.log; exit 1; }
grep -q "^MESSAGEBAG.DBF: [1-9]" build/demo.log || { cat build/demo.log; echo "demo: no MessageBag rows"; exit 1; }
tail -n 3 build/demo.log

section "all checks passed"
