#!/bin/sh
# Fetches real Access (Jet) files, written by Access itself, on which the
# old-database reader is tested. They come from Debian and npm packages and
# are never committed.
#
#   tests/migrate/fetch-jet-samples.sh [DIRECTORY]   (default: build/jet-samples)
#
# Writes Monitor.mdb (Jet 4, from Debian's mrtg-contrib), testodbc.mdb
# (Jet 3, from Debian's fp-units-db-3.2.2) and node-adodb.mdb (Jet 4, from
# npm's node-adodb). Needs apt-get (with current package lists: run
# apt-get update once), dpkg-deb and gzip; the third file also needs npm and
# is left out, with a warning, when npm is not installed. Exit status 1 when
# a file could not be fetched.
set -u
dest=${1:-build/jet-samples}
mkdir -p "$dest" || exit 1
dest=$(cd "$dest" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

fetch_deb() {  # package, path inside the package, output name, gzipped (yes/no)
    [ -s "$dest/$3" ] && return 0
    if ! (cd "$work" && apt-get download "$1" >/dev/null 2>&1); then
        echo "fetch-jet-samples: cannot download Debian package $1" >&2
        status=1; return 1
    fi
    mkdir -p "$work/$1"
    dpkg-deb -x "$work"/"$1"_*.deb "$work/$1" || { status=1; return 1; }
    if [ "$4" = yes ]; then
        gzip -dc "$work/$1/$2" > "$dest/$3.part" && mv "$dest/$3.part" "$dest/$3"
    else
        cp "$work/$1/$2" "$dest/$3.part" && mv "$dest/$3.part" "$dest/$3"
    fi || { echo "fetch-jet-samples: $2 missing in $1" >&2; status=1; }
}

fetch_deb mrtg-contrib usr/share/doc/mrtg-contrib/examples/contrib/monitor/Monitor.mdb Monitor.mdb no
fetch_deb fp-units-db-3.2.2 usr/share/doc/fp-units-db/3.2.2/examples/odbc/testodbc.mdb.gz testodbc.mdb yes

if [ ! -s "$dest/node-adodb.mdb" ]; then
    if ! command -v npm >/dev/null 2>&1; then
        echo "fetch-jet-samples: npm is not installed; node-adodb.mdb left out" >&2
    elif (cd "$work" && npm pack node-adodb@5.0.3 >/dev/null 2>&1) &&
         tar -xzf "$work"/node-adodb-*.tgz -C "$work" package/examples/node-adodb.mdb; then
        cp "$work/package/examples/node-adodb.mdb" "$dest/node-adodb.mdb"
    else
        echo "fetch-jet-samples: cannot fetch node-adodb from npm" >&2
        status=1
    fi
fi

ls -l "$dest"
exit $status
