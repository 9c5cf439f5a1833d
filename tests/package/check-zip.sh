#!/usr/bin/env bash
# Checks the Windows ZIP as a user gets it: unpacked into a scratch folder,
# westnet.dll at the top (what the host loads) with the stand-in TARVEK.dll
# only in tools/ beside westnet-poll.exe and westnet-sim.exe, the example
# plant, nothing else shipped, one version in the file name, every version
# resource and --version, and, under Wine,
# tools/westnet-poll.exe loading ..\westnet.dll and reading and writing a
# simulated plant through a COM port mapped to westnet-sim's pseudo-terminal.
#
#   tests/package/check-zip.sh [PACKAGE.zip [WESTNET_SIM]]
#
# Defaults: build/packages/westnet-*-win32.zip, and the westnet-sim of the
# package build (build/package/native), else of build/native. Needs Wine with
# 32-bit support (scripts/test installs it).
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"

source "$root/scripts/lib/common.sh"
need_packages unzip binutils-mingw-w64-i686 || exit 2
need_wine_packages || exit 2

version="$(sed -n 's/^project(westnet VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
zip="${1:-$(ls "$root"/build/packages/westnet-*-win32.zip 2>/dev/null | head -1)}"
sim="${2:-}"
if [ -z "$sim" ]; then
    for sim in "$root/build/package/native/westnet-sim" "$root/build/native/westnet-sim"; do
        [ -x "$sim" ] && break
    done
fi
if [ -z "$zip" ] || [ ! -f "$zip" ]; then
    echo "no Windows ZIP (run scripts/package first)" >&2
    exit 2
fi
if [ ! -x "$sim" ]; then
    echo "no westnet-sim to play the plant (build the native tree first)" >&2
    exit 2
fi

work="$(mktemp -d)"
sim_pid=""
# The Wine prefix of tests/wine/run.sh, made the same way when it is not
# there yet; this test maps its own port, COM9, and removes it at exit.
export WINEPREFIX="${WINEPREFIX:-$root/build/wine-prefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k >/dev/null 2>&1
        rm -f "$WINEPREFIX/dosdevices/com9"
    fi
    rm -rf "$work"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../lib/check.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sim.sh"

echo "# $zip (project version $version)"
check "project version found" test -n "$version"
check "file name carries the version" equals "$(basename "$zip")" "westnet-$version-win32.zip"
check "unpacks" unzip -q "$zip" -d "$work/unpacked"
top="$work/unpacked/westnet-$version-win32"
check "one folder named after the package" test -d "$top"
check "ships exactly the driver, the tools and the docs" equals \
    "$(cd "$top" && find . -type f | sort | tr '\n' ' ')" \
    "./CHANGELOG.md ./README.md ./docs/integrating.md ./examples/plant.img ./tools/TARVEK.dll ./tools/westnet-poll.exe ./tools/westnet-sim.exe ./westnet.dll "
check "no TARVEK.dll beside the driver" test ! -e "$top/TARVEK.dll"
check "westnet.dll: exports and imports as the host needs" \
    bash -c "'$root/scripts/check-dll' '$top/westnet.dll' >'$work/check-dll.out' || \
             { cat '$work/check-dll.out'; false; }"
check "westnet-poll.exe needs no DLL beyond KERNEL32, msvcrt and TARVEK" equals \
    "$(i686-w64-mingw32-objdump -p "$top/tools/westnet-poll.exe" |
        sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')" \
    "KERNEL32.dll TARVEK.dll msvcrt.dll "
check "westnet-sim.exe needs no DLL beyond KERNEL32, msvcrt and WINMM (no TARVEK)" equals \
    "$(i686-w64-mingw32-objdump -p "$top/tools/westnet-sim.exe" |
        sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')" \
    "KERNEL32.dll WINMM.DLL msvcrt.dll "
check "the example plant is the one of the tree" cmp -s "$top/examples/plant.img" "$root/examples/plant.img"

# The version resources, as the Properties dialog would show them.
for file in westnet.dll tools/TARVEK.dll tools/westnet-poll.exe tools/westnet-sim.exe; do
    info="$("$here/version-resource.pl" "$top/$file" 2>&1)"
    got="$(grep -E '^(FixedFileVersion|FixedProductVersion|FileVersion|ProductVersion|OriginalFilename)=' \
        <<<"$info" | sort | tr '\n' ' ')"
    check "$file: version resource $version" equals "$got" \
        "FileVersion=$version FixedFileVersion=$version.0 FixedProductVersion=$version.0 OriginalFilename=$(basename "$file") ProductVersion=$version "
done

source "$(dirname "${BASH_SOURCE[0]}")/../lib/wine.sh"
wine_prefix "#" "$work/wineboot.log"
check "Wine prefix ready" test -d "$WINEPREFIX/dosdevices"

cd "$top/tools" || exit 1
check "westnet-poll.exe --version" equals \
    "$(wine westnet-poll.exe --version 2>/dev/null | tr -d '\r')" "westnet-poll $version"
check "westnet-sim.exe --version" equals \
    "$(wine westnet-sim.exe --version 2>/dev/null | tr -d '\r')" "westnet-sim $version"

# The simulator announces its pseudo-terminal on its first line; reading that
# line waits exactly as long as it needs. COM9 of the prefix leads there.
SIM=$sim
start_sim --log "$work/sim.err" --image "$root/examples/plant.img"
sim_pid=$SIM_PID
device=$SIM_DEVICE
check "westnet-sim announces its device" test -n "$device"
ln -sfn "$device" "$WINEPREFIX/dosdevices/com9"

# Every run opens COM9 anew with the driver's parity, which the terminal
# cannot keep; the simulator puts its terminal back into a state from which
# each such open is a change the terminal takes.
poll() {
    # No --driver: the poller in tools\ finds the driver one folder up.
    wine westnet-poll.exe --device COM9 --timeout 1000 \
        --format csv "$@" 2>"$work/poll.err" | tr -d '\r'
    return "${PIPESTATUS[0]}"
}
check "read a word and a bit through ..\\westnet.dll" equals \
    "$(poll read 0140001 "0140002 8" | cut -d, -f1,5,6 | tail -n +2 | tr '\n' ' ')" \
    "0140001,1234,ok 0140002 8,1,ok "
poll write 0140010=4321 >/dev/null
check "write a word (exit 0)" equals "$?" 0
check "read it back with the block around it" equals \
    "$(poll read-block 0140009 3 | cut -d, -f4 | tail -n +2 | tr '\n' ' ')" "0 4321 200 "
poll info >"$work/info.out"
check "the driver's information record names the driver" \
    grep -q 'WestNet II Data HighWay' "$work/info.out"

summary
