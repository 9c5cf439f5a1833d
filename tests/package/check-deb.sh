#!/usr/bin/env bash
# Checks the Debian package as a user gets it: unpacked into a scratch root
# (dpkg -x, nothing installed on the machine), every file in its place, one
# version everywhere (file name, control file, the tools' --version, the
# manual pages), manual pages that document every option the tools accept,
# the public header sound on both targets, the installed westnet-poll
# reading and writing the installed westnet-sim's stations over a
# pseudo-terminal through the installed driver, and the gateway's service:
# its unit (systemd-analyze verify, where it exists), its plant file marked a
# conffile, the maintainer scripts, a dependency on every library it links,
# and the installed westnet-gateway serving the page on the installed plant
# file pointed at the simulator, then its OPC UA server under the unit's
# memory and /proc restrictions. (systemctl cannot be tried: no systemd runs
# as PID 1 where the tests run.)
#
#   tests/package/check-deb.sh [PACKAGE.deb]     (default: build/packages/westnet_*.deb)
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"

source "$root/scripts/lib/common.sh"
# readelf (binutils), groff (the manual pages), the cross compiler (header),
# curl (the gateway's page).
need_packages binutils groff-base g++-mingw-w64-i686 curl || exit 2

version="$(sed -n 's/^project(westnet VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
deb="${1:-$(ls "$root"/build/packages/westnet_*_"$(dpkg --print-architecture)".deb 2>/dev/null | head -1)}"
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
    echo "no Debian package (run scripts/package first)" >&2
    exit 2
fi

work="$(mktemp -d)"
sim_pid=""
gw_pid=""
cleanup() {
    local pid
    for pid in $gw_pid $sim_pid; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sim.sh"

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

tools="westnet-sim westnet-poll westnet-gateway"
for f in bin/westnet-sim bin/westnet-poll bin/westnet-gateway include/westnet/westnet.h include/westnet/wire.h \
    share/man/man1/westnet-sim.1 share/man/man1/westnet-poll.1 share/man/man1/westnet-gateway.1 \
    share/doc/westnet/README.md share/doc/westnet/CHANGELOG.md \
    share/doc/westnet/integrating.md share/doc/westnet/gateway.md \
    share/westnet/examples/plant.img share/westnet/examples/gateway.toml \
    lib/westnet/opcua/server.js lib/westnet/opcua/node_modules/node-opcua-server/package.json; do
    check "has /usr/$f" test -s "$usr/$f"
done
check "the OPC UA server's modules are real files, not a link to a build's cache" \
    test ! -L "$usr/lib/westnet/opcua/node_modules"
unit="$dest/lib/systemd/system/westnet-gateway.service"
conf="$dest/etc/westnet/gateway.toml"
check "has /lib/systemd/system/westnet-gateway.service" test -s "$unit"
check "has /etc/westnet/gateway.toml" test -s "$conf"
for f in "libwestnet.so.$version" libwestnet.so.1 libwestnet.so libtarvek.so; do
    check "has $f in ${libdir#"$dest"}" test -e "$libdir/$f"
done
check "libwestnet.so.1 is the SONAME" equals \
    "$(readelf -d "$libdir/libwestnet.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')" \
    libwestnet.so.1
check "libwestnet.so and libwestnet.so.1 lead to the library" equals \
    "$(readlink -f "$libdir/libwestnet.so")|$(readlink -f "$libdir/libwestnet.so.1")" \
    "$(readlink -f "$libdir/libwestnet.so.$version")|$(readlink -f "$libdir/libwestnet.so.$version")"
for f in "$bin/westnet-sim" "$bin/westnet-poll" "$bin/westnet-gateway" "$libdir/libwestnet.so.$version"; do
    check "$(basename "$f") carries no search path of the build" \
        bash -c "! readelf -d '$f' | grep -qE '\((RUNPATH|RPATH)\)'"
done

export LD_LIBRARY_PATH="$libdir"
for tool in $tools; do
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

# --- the gateway's service ------------------------------------------------------
check "the plant file is a conffile" equals "$(dpkg-deb --info "$deb" conffiles 2>&1)" \
    /etc/westnet/gateway.toml
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
    check "$script is an executable shell script" \
        bash -c "[ -x '$work/control/$script' ] && sh -n '$work/control/$script'"
done
# They take the place of the ones CPack writes, which run ldconfig.
check "postinst and postrm run ldconfig" bash -c \
    "grep -q '^ *ldconfig\$' '$work/control/postinst' && grep -q '^ *ldconfig\$' '$work/control/postrm'"
# Every library the gateway links, by the package that holds it here, but
# those the package ships itself.
depends="$(dpkg-deb -f "$deb" Depends | sed 's/ *([^)]*)//g; s/ *[,|] */\n/g')"
missing=""
for lib in $(readelf -d "$bin/westnet-gateway" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -e "$libdir/$lib" ] && continue
    path="$(ldconfig -p | awk -v l="$lib" '$1 == l {print $NF; exit}')"
    owner="$(dpkg -S "$(readlink -f "$path")" 2>/dev/null | head -1 | cut -d: -f1)"
    [ -n "$owner" ] || owner="$(dpkg -S "$path" 2>/dev/null | head -1 | cut -d: -f1)"
    grep -qxF -- "$owner" <<<"$depends" || missing="$missing $lib(${owner:-?})"
done
check "Depends names the package of every library westnet-gateway links${missing:+ (missing:$missing)}" \
    test -z "$missing"
check "Depends names nodejs (>= 18), which runs the OPC UA server" bash -c \
    "dpkg-deb -f '$deb' Depends | grep -qF 'nodejs (>= 18)'"
check "the unit starts the installed binary on the installed plant file" equals \
    "$(sed -n 's/^ExecStart=//p' "$unit")" "/usr/bin/westnet-gateway /etc/westnet/gateway.toml"
check "the unit runs as a dynamic user in the group dialout" bash -c \
    "grep -qx 'DynamicUser=yes' '$unit' && grep -qx 'SupplementaryGroups=dialout' '$unit' && grep -qx 'Type=notify' '$unit'"
if command -v systemd-analyze >/dev/null; then
    # verify wants the binary the unit starts and its manual page: those of
    # the scratch root.
    sed "s#^ExecStart=/usr/bin/westnet-gateway#ExecStart=$bin/westnet-gateway#" "$unit" \
        >"$work/westnet-gateway.service"
    out="$(MANPATH="$usr/share/man" systemd-analyze verify "$work/westnet-gateway.service" 2>&1)"
    check "systemd-analyze verify finds nothing wrong with the unit${out:+: $out}" test -z "$out"
else
    echo "skip - systemd-analyze is not installed: the unit is not verified"
fi
# The conffile is the example plant, with a header, its device to edit,
# OPC UA on, and every front end on 127.0.0.1.
body() { sed -n '/^\[gateway\]/,$p' "$1" | grep -v '^device = \|^opcua = '; }
check "the plant file is the example plant but for its device and OPC UA" \
    equals "$(body "$conf" | md5sum)" "$(body "$usr/share/westnet/examples/gateway.toml" | md5sum)"
check "its device is the one to edit" grep -q '^device = "/dev/ttyUSB0" *# EDIT' "$conf"
check "every front end listens on 127.0.0.1" bash -c \
    "grep -q '^http = \"127.0.0.1:' '$conf' && grep -q '^modbus = \"127.0.0.1:' '$conf' && grep -q '^mqtt = \"mqtt://127.0.0.1:' '$conf'"
LD_LIBRARY_PATH="$libdir" "$bin/westnet-gateway" --check "$conf" >"$work/check.out" 2>&1
check "westnet-gateway --check finds the plant file good" equals "$?" 0

# The installed tools against each other, on a pseudo-terminal. The
# simulator announces its device on its first line, so reading that line
# waits exactly as long as it needs.
SIM="$bin/westnet-sim"
start_sim --log "$work/sim.err" --image "$usr/share/westnet/examples/plant.img"
sim_pid=$SIM_PID
device=$SIM_DEVICE
check "installed westnet-sim announces its device" test -n "$device"

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

# The installed gateway on the installed plant file, its device the
# simulator's, its listeners on ports the system chooses, MQTT off (no
# broker here).
sed -e "s#^device = .*#device = \"$device\"#" -e 's#^http = .*#http = "127.0.0.1:0"#' \
    -e 's#^modbus = .*#modbus = "127.0.0.1:0"#' -e 's#^mqtt = .*#mqtt = ""#' \
    -e "s#^audit_file = .*#audit_file = \"$work/audit.jsonl\"#" -e "s#^history = .*#history = \"sqlite:$work/history.db\"#" \
    -e "s#^opcua = .*#opcua = \"127.0.0.1:$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')\"#" \
    -e "s#^opcua_pki = .*#opcua_pki = \"$work/pki\"#" "$conf" >"$work/gateway.toml"
check "the installed plant file serves OPC UA on this machine" grep -q '^opcua = "127.0.0.1:4840"' "$conf"
"$bin/westnet-gateway" "$work/gateway.toml" 2>"$work/gw.err" &
gw_pid=$!
gw_ready() { grep -q '^info: ready' "$work/gw.err"; }
deadline=$((SECONDS + 30))
until gw_ready || [ $SECONDS -ge $deadline ]; do sleep 0.1; done
check "installed westnet-gateway starts on the installed plant file" gw_ready
port="$(sed -n 's#.*http: listening on http://127.0.0.1:\([0-9]*\)/.*#\1#p' "$work/gw.err" | head -1)"
counter_read() {
    curl -sf --max-time 10 "http://127.0.0.1:$port/api/points/plant/rtu/counter" |
        grep -q '"quality": "good"'
}
deadline=$((SECONDS + 30))
until counter_read || [ $SECONDS -ge $deadline ]; do sleep 0.1; done
check "it reads the simulator's stations" bash -c \
    "curl -sf --max-time 10 http://127.0.0.1:$port/api/points/plant/rtu/counter | grep -q '\"value\": 22136'"
check "it serves the status page" bash -c \
    "curl -sf --max-time 10 http://127.0.0.1:$port/ | grep -q '<title>'"
# The installed OPC UA server, found beside the installed binary (../lib/westnet/opcua).
opcua_up() { grep -q 'opcua: endpoint opc.tcp://127.0.0.1:[0-9]* SignAndEncrypt' "$work/gw.err"; }
deadline=$((SECONDS + 30))
until opcua_up || [ $SECONDS -ge $deadline ]; do sleep 0.1; done
check "it runs the installed OPC UA server" opcua_up
kill "$gw_pid"
wait "$gw_pid"
check "westnet-gateway ends with status 0 on SIGTERM" equals "$?" 0
gw_pid=""

# The service's OPC UA server under what the unit forbids that matters to
# node, short of systemd itself: the unit's NODE_OPTIONS, no writable and
# executable memory (MemoryDenyWriteExecute, here the kernel's own
# PR_SET_MDWE, which children inherit) and a /proc of processes only
# (ProcSubset=pid), in a mount and PID namespace of its own.
node_options="$(sed -n 's/^Environment=NODE_OPTIONS=//p' "$unit")"
mdwe='import ctypes, os, sys
if ctypes.CDLL(None).prctl(65, 1, 0, 0, 0) != 0:  # PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN
    sys.exit("no PR_SET_MDWE")
os.execvp(sys.argv[1], sys.argv[1:])'
if unshare --mount --pid --fork true 2>/dev/null && /usr/bin/python3 -c "$mdwe" true 2>/dev/null; then
    : >"$work/gw.err"
    NODE_OPTIONS="$node_options" unshare --mount --pid --fork --propagation private --kill-child \
        sh -c 'mount -t proc -o subset=pid proc /proc && exec "$@"' sh \
        /usr/bin/python3 -c "$mdwe" "$bin/westnet-gateway" "$work/gateway.toml" 2>"$work/gw.err" &
    gw_pid=$!
    deadline=$((SECONDS + 30))
    until opcua_up || [ $SECONDS -ge $deadline ]; do sleep 0.1; done
    check "its OPC UA server comes up as the unit runs it (${node_options:-no NODE_OPTIONS}, no W+X memory, /proc of processes only)" opcua_up
    # unshare itself ignores SIGTERM: the gateway, its child, is stopped.
    kill $(cat "/proc/$gw_pid/task/$gw_pid/children" 2>/dev/null) 2>/dev/null
    wait "$gw_pid"
    gw_pid=""
else
    echo "skip - no unshare or PR_SET_MDWE here: the OPC UA server is not tried as the unit runs it"
fi

kill "$sim_pid" 2>/dev/null
wait "$sim_pid"
check "westnet-sim ends with status 0 on SIGTERM" equals "$?" 0
sim_pid=""

summary
