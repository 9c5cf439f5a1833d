#!/usr/bin/env bash
# Puts the OPC UA server where the gateway finds it: OUT/server.js and
# OUT/node_modules, the modules installed by `npm ci` from package-lock.json
# once per lock file into a cache folder (~/.cache/westnet/opcua-npm-HASH),
# so that a fresh clone does not download them again. Without npm, says so
# and leaves OUT without modules: the gateway then cannot serve OPC UA.
#
#   opcua/build.sh OUT [--install]   (--install: a copy of the modules, not a
#                                     link to the cache, pruned of development
#                                     ones; what a package installs. The
#                                     client stays: the server registers
#                                     with discovery servers through it)
set -eu

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=$1
COPY=${2:-}
HASH=$(sha256sum "$HERE/package-lock.json" | cut -c1-16)
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/westnet/opcua-npm-$HASH

mkdir -p "$OUT"
cp "$HERE/server.js" "$HERE/package.json" "$HERE/package-lock.json" "$OUT/"
if [ ! -f "$CACHE/.complete" ]; then
    if ! command -v npm >/dev/null; then
        echo "opcua: npm is not installed: the OPC UA server's modules are not built (apt-get install npm)" >&2
        exit 0
    fi
    rm -rf "$CACHE"
    mkdir -p "$CACHE"
    cp "$HERE/package.json" "$HERE/package-lock.json" "$CACHE/"
    (cd "$CACHE" && npm ci --no-audit --no-fund --ignore-scripts >npm.log 2>&1) || {
        cat "$CACHE/npm.log" >&2
        echo "opcua: npm ci failed" >&2
        exit 1
    }
    touch "$CACHE/.complete"
fi
rm -rf "$OUT/node_modules"
if [ "$COPY" = "--install" ]; then
    cp -a "$CACHE/node_modules" "$OUT/node_modules"
    (cd "$OUT" && npm prune --omit=dev --offline --no-audit --no-fund >/dev/null) || {
        echo "opcua: npm prune failed in $OUT" >&2
        exit 1
    }
    rm -f "$OUT/node_modules/.package-lock.json"
else
    ln -s "$CACHE/node_modules" "$OUT/node_modules"
fi
