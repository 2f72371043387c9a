# Shell functions for running the program under Wine, sourced by the scripts in tools/.
#
#   wine_use PREFIX PROGRAM   chooses the Wine that runs PROGRAM (32- or 64-bit, by its PE
#                             header) and the prefix; later calls use both
#   wine_fresh_prefix         makes the prefix anew (removes an old one first)
#   wine_virtual_desktop WxH  makes every program of the prefix run on one virtual desktop
#   wine_cmd ARGS...          runs a Windows program in the prefix, e.g. wine_cmd reg query ...
#   reg_server SLOT NAME      stores an enabled server with no outcome yet in slot SLOT
#   reg_version               stores this settings version, so the stored list is used as is
#   reg_value NAME            prints a settings value as reg shows it ("" when missing)

wine_use() {
    WINEPREFIX=$(realpath -m "$1")
    wine_program=$2
    pe_offset=$(od -An -tu4 -j60 -N4 "$wine_program" | tr -d ' ')
    machine=$(od -An -tx2 -j$((pe_offset + 4)) -N2 "$wine_program" | tr -d ' ')
    if [ "$machine" = 8664 ]; then
        WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 wine_loader=/usr/lib/wine/wine64
        export WINELOADER
    else
        WINEARCH=win32 wine_loader=wine
    fi
    WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES
}

wine_fresh_prefix() {
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$wine_loader" wineboot -i >/dev/null 2>&1
    wineserver -w
    # Wine draws the caption buttons with the Marlett font, as Windows does. Debian's Wine 8
    # looks for its own fonts in "Z:\usr\share\wine\../fonts", a path that does not resolve,
    # so none of fonts-wine's files is loaded and the close box shows Marlett's letter "r" in
    # a fallback font. Windows keeps Marlett among the system's fonts; so does the prefix.
    if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
        cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
}

# Every program of the prefix runs on one virtual desktop with a task bar, so that a second
# copy finds the first and the tray icon sits in a notification area.
wine_virtual_desktop() {
    wine_cmd reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine_cmd reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$1" /f \
        >/dev/null 2>&1
    # The desktop already running keeps its kind; the next program starts the new one.
    wineserver -w
}

wine_cmd() {
    "$wine_loader" "$@"
}

settings_key='HKLM\Software\Chronoplex'

# A server record: the name in 128 bytes with its zero, enabled 1, status 0, latency 0, four
# reserved bytes and a correction of 0, little-endian, 152 bytes in all.
reg_server() {
    hex=$(printf '%s' "$2" | od -An -v -tx1 | tr -d ' \n')
    while [ ${#hex} -lt 256 ]; do hex="${hex}00"; done
    hex="${hex}01000000000000000000000000000000""0000000000000000"
    name=$(printf 'Server%03d' "$1")
    wine_cmd reg add "$settings_key" /v "$name" /t REG_BINARY /d "$hex" /f >/dev/null 2>&1
}

reg_version() {
    wine_cmd reg add "$settings_key" /v Version /t REG_DWORD /d 131075 /f >/dev/null 2>&1
}

reg_value() {
    wine_cmd reg query "$settings_key" /v "$1" 2>/dev/null | tr -d '\r' |
        awk -v n="$1" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}
