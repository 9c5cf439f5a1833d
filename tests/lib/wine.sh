# The Wine prefix that the Wine tests share. Source it after setting
# WINEPREFIX, then call `wine_prefix NAME LOG`: it makes the prefix on a
# first run (wineboot, a minute or so; its output goes to LOG) and starts one
# server for all the runs that follow.
wine_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "$1: creating the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        WINEARCH=win32 wineboot -i >"$2" 2>&1
        wineserver -w
    fi
    wineserver -p >/dev/null 2>&1
}
