#!/usr/bin/env bash
# Builds dbmigrate.exe (migrate/win32/build-dbmigrate-exe.sh) and tests the
# 64-bit build under wine64, headless, against the Linux build of the same
# sources:
#   tests/migrate/wine/run-wine-tests.sh NATIVE_BUILD_DIR [WIN32_BUILD_DIR]
# NATIVE_BUILD_DIR holds the Linux dbmigrate, wh-sample and old-db-dump
# (ninja -C build dbmigrate wh-sample old-db-dump); WIN32_BUILD_DIR defaults
# to build-win32-dbmigrate. The Access samples are taken from WH_JET_SAMPLES,
# else NATIVE_BUILD_DIR/jet-samples (tests/migrate/fetch-jet-samples.sh).
#  - the end-to-end scenarios of end_to_end_test.py run the Windows program,
#    and every run is compared with the Linux program's run on a copy of the
#    same directory: exit status, output, tables byte for byte (but the date
#    of last update), message files;
#  - old-db-dump.exe and the Linux old-db-dump print every table of the three
#    Access files and of a generated SQLite database: the outputs must match.
# WH_WINE_FILTER=NAME runs only the checks whose name contains NAME. The last
# line is "N passed, M failed"; the exit status is non-zero when one failed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
native=$(cd "${1:?usage: run-wine-tests.sh NATIVE_BUILD_DIR [WIN32_BUILD_DIR]}" && pwd)
win32=${2:-$root/build-win32-dbmigrate}
mkdir -p "$win32"
win32=$(cd "$win32" && pwd)
wine=/usr/lib/wine/wine64
jet=${WH_JET_SAMPLES:-$native/jet-samples}

for program in migrate/dbmigrate tools/wh-sample tests/migrate/old-db-dump; do
  [[ -x $native/$program ]] || { echo "run-wine-tests: $native/$program is not built" >&2; exit 1; }
done
for tool in "$wine" mdb-tables /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "run-wine-tests: $tool is missing" >&2; exit 1; }
done

if ! "$root/migrate/win32/build-dbmigrate-exe.sh" "$win32"; then
  echo "0 passed, 1 failed"
  exit 1
fi
exe=$win32/x86_64

work=$(mktemp -d "${TMPDIR:-/tmp}/dbmigrate-wine.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export DISPLAY=
cleanup() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
echo "dbmigrate.exe: Wine prefix"
timeout 120 "$wine" wineboot -i >/dev/null 2>&1 || true
timeout 60 /usr/lib/wine/wineserver -w || true

# The Windows programs as the scenarios call them.
for program in migrate/dbmigrate old-db-dump; do
  printf '#!/bin/sh\nexec %s %s "$@"\n' "$wine" "$exe/$program.exe" >"$work/$(basename "$program")"
  chmod +x "$work/$(basename "$program")"
done

passed=0 failed=0
result() {  # result NAME STATUS
  if [[ $2 == 0 ]]; then
    passed=$((passed + 1))
    echo "PASS $1"
  else
    failed=$((failed + 1))
    echo "FAIL $1"
  fi
}
wanted() { [[ -z ${WH_WINE_FILTER:-} || $1 == *"$WH_WINE_FILTER"* ]]; }

# The killed run is left out: a signal to the Wine loader is not a kill of
# the Windows process.
for scenario in sample handmade empty rerun unopenable one_at_a_time jet statuses; do
  wanted "end_to_end_$scenario" || continue
  set +e
  WH_REFERENCE_DBMIGRATE=$native/migrate/dbmigrate WH_JET_SAMPLES=$jet timeout 600 \
    /usr/bin/python3 "$root/tests/migrate/end_to_end_test.py" "$scenario" "$work/dbmigrate" \
    "$native/tools/wh-sample" >"$work/$scenario.log" 2>&1
  status=$?
  set -e
  [[ $status == 0 ]] || cat "$work/$scenario.log"
  result "end_to_end_$scenario" "$status"
done

# The same tables through the old-database reader on both systems.
dump_compare() {  # dump_compare NAME FILE TABLE...
  local name=$1 file=$2
  shift 2
  wanted "$name" || return 0
  local dir=$work/$name
  mkdir -p "$dir"
  cp "$file" "$dir/SMTP.MDB"
  (cd "$dir" && "$native/tests/migrate/old-db-dump" SMTP.MDB "$@" >linux.txt)
  (cd "$dir" && "$work/old-db-dump" SMTP.MDB "$@" | tr -d '\r' >windows.txt)
  local status=0
  diff -u "$dir/linux.txt" "$dir/windows.txt" | head -20 || status=1
  [[ $(grep -c $'\t' "$dir/linux.txt") -gt 0 ]] || { echo "$name: no rows read"; status=1; }
  result "$name" "$status"
}
for sample in Monitor.mdb testodbc.mdb node-adodb.mdb; do
  if [[ -f $jet/$sample ]]; then
    mapfile -t tables < <(mdb-tables -S -1 "$jet/$sample")
    dump_compare "dump_$sample" "$jet/$sample" "${tables[@]}"
  else
    result "dump_$sample (missing: run tests/migrate/fetch-jet-samples.sh)" 1
  fi
done
"$native/tools/wh-sample" --messages 50 "$work/generated" >/dev/null
dump_compare dump_generated "$work/generated/SMTP.MDB" UserBase MessageBag MailBox \
  MailingListTitles SubscriberBase AliasSystem SPAMSystem

echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
