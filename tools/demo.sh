#!/usr/bin/env bash
# Sets everything up and runs dbmigrate on the bundled sample data:
# installs the missing build packages, builds dbmigrate and the sample
# generator, writes a small old-server directory (SMTP.MDB and its message
# files) to demo/, runs dbmigrate there and lists what it wrote.
#   tools/demo.sh [ROWS]     ROWS: number of messages to generate (default 40)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
rows=${1:-40}

tools/install-deps.sh --build
cmake -S . -B build -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j"$(nproc)" dbmigrate wh-sample

rm -rf demo && mkdir demo
build/tools/wh-sample --messages "$rows" demo
echo
echo "--- running dbmigrate in $root/demo"
(cd demo && "$root/build/migrate/dbmigrate")
echo "--- dbmigrate finished with status $?"
echo
/usr/bin/python3 "$root/tools/show-tables.py" demo
echo
echo "The new tables are in $root/demo (*.DBF, *.FPT); the message files there now carry their new names."
