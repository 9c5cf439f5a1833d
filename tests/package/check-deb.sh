#!/usr/bin/env bash
# Checks the Debian package as a user gets it: unpacked into a scratch root
# (dpkg -x, nothing installed on the machine), every file in its place, one
# version everywhere (file name, control file, both tools' --version, the
# manual pages), manual pages that document every option the tools accept,
# the public header sound on both targets, and the installed westnet-poll
# reading and writing the installed westnet-sim's stations over a
# pseudo-terminal through the installed driver.
#
#   tests/package/check-deb.sh [PACKAGE.deb]     (default: build/packages/westnet_*.deb)
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"

source "$root/scripts/lib/common.sh"
# readelf (binutils), groff (the manual pages), the cross compiler (header).
need_packages binutils groff-base g++-mingw-w64-i686 || exit 2

version="$(sed -n 's/^project(westnet VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
deb="${1:-$(ls "$root"/build/packages/westnet_*_"$(dpkg --print-architecture)".deb 2>/dev/null | head -1)}"
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
    echo "no Debian package (run scripts/package first)" >&2
    exit 2
fi

work="$(mktemp -d)"
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"

echo "# $deb (project version $version)"
check "project version found" test -n "$version"
check "file name carries the version" equals "$(basename "$deb")" \
    "westnet_${version}_$(dpkg --print-architecture).deb"
check "control: Package" equals "$(dpkg-deb -f "$deb" Package)" westnet
check "control: Version" equals "$(dpkg-deb -f "$deb" Version)" "$version"

dest="$work/root"
check "unpacks (dpkg -x)" dpkg -x "$deb" "$dest"
usr="$dest/usr"
libdir="$(dirname "$(find "$usr/lib" -name 'libwestnet.so.1' | head -1)")"
bin="$usr/bin"

for f in bin/westnet-sim bin/westnet-poll include/westnet/westnet.h \
    share/man/man1/westnet-sim.1 share/man/man1/westnet-poll.1 \
    share/doc/westnet/README.md share/doc/westnet/CHANGELOG.md \
    share/doc/westnet/integrating.md share/westnet/examples/plant.img; do
    check "has /usr/$f" test -s "$usr/$f"
done
for f in "libwestnet.so.$version" libwestnet.so.1 libwestnet.so libtarvek.so; do
    check "has $f in ${libdir#"$dest"}" test -e "$libdir/$f"
done
check "libwestnet.so.1 is the SONAME" equals \
    "$(readelf -d "$libdir/libwestnet.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')" \
    libwestnet.so.1
check "libwestnet.so and libwestnet.so.1 lead to the library" equals \
    "$(readlink -f "$libdir/libwestnet.so")|$(readlink -f "$libdir/libwestnet.so.1")" \
    "$(readlink -f "$libdir/libwestnet.so.$version")|$(readlink -f "$libdir/libwestnet.so.$version")"
for f in "$bin/westnet-sim" "$bin/westnet-poll" "$libdir/libwestnet.so.$version"; do
    check "$(basename "$f") carries no search path of the build" \
        bash -c "! readelf -d '$f' | grep -qE '\((RUNPATH|RPATH)\)'"
done

export LD_LIBRARY_PATH="$libdir"
for tool in westnet-sim westnet-poll; do
    check "$tool resolves every library" bash -c "! ldd '$bin/$tool' | grep -q 'not found'"
    check "$tool --version" equals "$("$bin/$tool" --version 2>&1 | head -1)" "$tool $version"

    # The page says what --help says: every option, and the version.
    page="$usr/share/man/man1/$tool.1"
    check "$tool.1 is for version $version" grep -q "^\.TH .*\"westnet $version\"" "$page"
    check "$tool.1 renders without warnings" \
        bash -c "[ -z \"\$(groff -ww -man -z '$page' 2>&1)\" ]"
    text="$(groff -man -Tascii -P-cbou -rLL=200n "$page" 2>/dev/null)"
    missing=""
    for option in $("$bin/$tool" --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u); do
        grep -qF -- "$option" <<<"$text" || missing="$missing $option"
    done
    check "$tool.1 documents every option of --help${missing:+ (missing:$missing)}" \
        test -z "$missing"
    for section in EXAMPLES "EXIT STATUS"; do
        check "$tool.1 has $section" grep -q "^$section\$" <<<"$text"
    done
done

check "installed header: C, C++, both targets, driver's layout" \
    "$here/check-header.sh" "$usr/include"

# The installed tools against each other, on a pseudo-terminal. The
# simulator announces its device on its first line, so reading that line
# waits exactly as long as it needs.
exec {sim_out}< <(exec "$bin/westnet-sim" --image "$usr/share/westnet/examples/plant.img" \
    2>"$work/sim.err")
sim_pid=$!
line=""
read -r -t 30 line <&"$sim_out"
device="${line#device: }"
check "installed westnet-sim announces its device" test -n "$line" -a "$device" != "$line"

# No --driver: the installed poller finds the installed libwestnet.so.1 on
# the library path, as it does on a machine the package was installed on.
poll() {
    "$bin/westnet-poll" --device "$device" --timeout 1000 --format csv "$@" 2>"$work/poll.err"
}
check "read a word and a bit from the plant image" equals \
    "$(poll read 0140001 "0140002 8" | cut -d, -f1,5,6 | tail -n +2 | tr '\n' ' ')" \
    "0140001,1234,ok 0140002 8,1,ok "
poll write 0140010=4321 >/dev/null
check "write a word (exit 0)" equals "$?" 0
check "read it back with the block around it" equals \
    "$(poll read-block 0140009 3 | cut -d, -f4 | tail -n +2 | tr '\n' ' ')" "0 4321 200 "
poll read 0170000 >/dev/null
check "an address the driver refuses exits 3" equals "$?" 3

kill "$sim_pid" 2>/dev/null
wait "$sim_pid"
check "westnet-sim ends with status 0 on SIGTERM" equals "$?" 0
sim_pid=""

summary
