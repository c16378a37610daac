#!/usr/bin/env bash
# Builds dbmigrate.exe for Windows with mingw-w64, from the sources of the
# Linux program:
#   migrate/win32/build-dbmigrate-exe.sh [BUILD_DIR]    (default: build-win32-dbmigrate)
# 1. Fetches the SQLite amalgamation (sqlite3.c, sqlite3.h) from the npm
#    package better-sqlite3@12.11.1, which ships SQLite 3.53.2, and checks the
#    package's SHA-256. Nothing of it is kept in the source tree; see
#    third_party/sqlite/README.md.
# 2. BUILD_DIR/i686/dbmigrate.exe: the shipped program, for 32-bit Windows,
#    checked to import only DLLs that every Windows has (no mingw runtime).
# 3. BUILD_DIR/x86_64: the same for 64-bit Windows, with the test program
#    old-db-dump.exe; the Wine tests run these (this machine's kernel cannot
#    run 32-bit programs). WH_WIN32_ARCHS="i686" builds only the first.
# Needs: npm g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
#        binutils-mingw-w64-i686 cmake ninja-build
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build-win32-dbmigrate}
mkdir -p "$build"
build=$(cd "$build" && pwd)
jobs=${WH_JOBS:-2}
archs=${WH_WIN32_ARCHS:-"i686 x86_64"}

sqlite_package=better-sqlite3@12.11.1
sqlite_sha256=ebf0ed75a7a59dbcb3b24bbd014ef49d9f15bc328e4adcbf516f2a8fadfa2835

for tool in npm i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix i686-w64-mingw32-objdump \
            cmake ninja sha256sum; do
  if ! command -v "$tool" >/dev/null; then
    echo "build-dbmigrate-exe: $tool is missing; install with: apt-get install -y" \
         "--no-install-recommends npm g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix" \
         "binutils-mingw-w64-i686 cmake ninja-build" >&2
    exit 1
  fi
done

# --- the SQLite amalgamation ----------------------------------------------
sqlite=$build/sqlite
if ! [[ -s $sqlite/sqlite3.c && -s $sqlite/sqlite3.h && -f $sqlite/.sha256-$sqlite_sha256 ]]; then
  echo "dbmigrate.exe: fetching the SQLite amalgamation ($sqlite_package from npm)"
  rm -rf "$sqlite" && mkdir -p "$sqlite/pack"
  (cd "$sqlite/pack" && npm pack --silent "$sqlite_package" >/dev/null)
  tarball=$(ls "$sqlite/pack"/*.tgz)
  actual=$(sha256sum "$tarball" | cut -d' ' -f1)
  if [[ $actual != "$sqlite_sha256" ]]; then
    echo "build-dbmigrate-exe: $tarball has SHA-256 $actual, expected $sqlite_sha256" >&2
    exit 1
  fi
  tar -xzf "$tarball" -C "$sqlite/pack" package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h
  mv "$sqlite/pack/package/deps/sqlite3/sqlite3.c" "$sqlite/pack/package/deps/sqlite3/sqlite3.h" "$sqlite/"
  rm -rf "$sqlite/pack"
  # SQLite is in the public domain; its files say so in their header.
  grep -q 'The author disclaims copyright to this source code' "$sqlite/sqlite3.c" || {
    echo "build-dbmigrate-exe: sqlite3.c lacks SQLite's public-domain notice" >&2
    exit 1
  }
  touch "$sqlite/.sha256-$sqlite_sha256"
fi

# --- the cross builds ------------------------------------------------------
cross_build() {  # cross_build ARCH
  local arch=$1
  cmake -S "$here" -B "$build/$arch" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch-posix.cmake" \
        -DWH_SQLITE_DIR="$sqlite" >/dev/null
  ninja -C "$build/$arch" -j"${WH_ARCH_JOBS:-$jobs}" >"$build/$arch.log" 2>&1 || { cat "$build/$arch.log"; return 1; }
}

# The DLLs a program may import: those every Windows from 95 and NT 4 on has.
check_imports() {  # check_imports OBJDUMP EXE
  local imports name
  imports=$("$1" -p "$2" | awk '/DLL Name:/ {print tolower($3)}' | sort | tr '\n' ' ')
  for name in $imports; do
    case $name in
      kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll) ;;
      *) echo "$2 needs $name, which Windows does not have" >&2; return 1 ;;
    esac
  done
  echo "dbmigrate.exe ($3): imports $imports"
}

# The architectures build side by side: most of the time goes to compiling
# sqlite3.c, one file each.
pids=()
for arch in $archs; do
  echo "dbmigrate.exe: $arch build"
  WH_ARCH_JOBS=$(( jobs > 1 ? jobs / 2 : 1 )) cross_build "$arch" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
for arch in $archs; do
  check_imports "$arch-w64-mingw32-objdump" "$build/$arch/migrate/dbmigrate.exe" "$arch"
done
