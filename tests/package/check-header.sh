#!/usr/bin/env bash
# Checks the public header westnet/westnet.h: it compiles on its own as C99,
# C11 and C++17 without warnings, natively and for the 32-bit DLL's target,
# and its records match the driver's own field for field there and here.
#
#   tests/package/check-header.sh [INCLUDE_DIR]
#
# INCLUDE_DIR holds westnet/westnet.h (default: the tree's include/; the
# package test passes the installed copy). The cross compiler is needed
# (g++-mingw-w64-i686).
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
inc="${1:-$root/include}"
[ -f "$inc/westnet/westnet.h" ] || { echo "no westnet/westnet.h in $inc" >&2; exit 2; }

strict=(-fsyntax-only -Wall -Wextra -Wpedantic -Werror)
fail=0
run() {
    local what="$1"
    shift
    if "$@"; then
        echo "ok   - $what"
    else
        echo "FAIL - $what"
        fail=1
    fi
}

for cc in gcc i686-w64-mingw32-gcc; do
    host=()
    [ "$cc" = i686-w64-mingw32-gcc ] && host=(-DWESTNET_EXPECT_HOST_LAYOUT)
    for std in c99 c11; do
        run "$cc -std=$std: header alone, 32-bit offsets" \
            "$cc" -std="$std" "${strict[@]}" "${host[@]}" -I"$inc" "$here/header_layout.c"
    done
done
for cxx in g++ i686-w64-mingw32-g++; do
    host=()
    [ "$cxx" = i686-w64-mingw32-g++ ] && host=(-DWESTNET_EXPECT_HOST_LAYOUT)
    run "$cxx -std=c++17: header matches the driver's records" \
        "$cxx" -std=c++17 "${strict[@]}" "${host[@]}" -I"$inc" -I"$root/src" \
        "$here/header_layout.cpp"
done
exit $fail
