#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the demo and the test suite need.
# Only what is missing is installed, so a second run costs a few seconds.
#   tools/install-deps.sh          everything (build, tests, Win32 cross build, Wine)
#   tools/install-deps.sh --build  only what building dbmigrate and its demo needs
set -euo pipefail

build_pkgs=(g++ cmake ninja-build pkg-config libsqlite3-dev mdbtools-dev libglib2.0-dev
            libgtest-dev libgmock-dev libbenchmark-dev sqlite3 python3-dbfread)
test_pkgs=(python3-dbf mdbtools clang libclang-rt-14-dev
           g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix
           g++-mingw-w64-i686-posix
           binutils-mingw-w64-i686 wine64 xz-utils)

pkgs=("${build_pkgs[@]}")
[[ "${1:-}" == "--build" ]] || pkgs+=("${test_pkgs[@]}")

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The Win32 build of dbmigrate fetches SQLite with npm; machines that come with
# Node.js have their own npm, which Debian's package would fight with.
if [[ "${1:-}" != "--build" ]] && ! command -v npm >/dev/null; then
  missing+=(npm)
fi
if ((${#missing[@]} == 0)); then
  echo "install-deps: all packages present"
  exit 0
fi

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
