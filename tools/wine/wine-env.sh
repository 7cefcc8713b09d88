# Wine prefix helpers for running bmfwu.exe and its tests; source this file.
#   wine_prefix_create          fresh 64-bit prefix in a temporary folder, with
#                               a persistent wineserver; exports WINEPREFIX
#   wine_link_com N TARGET      COM N of Windows programs opens TARGET (a pty slave)
#   wine_unlink_com N           COM N is absent again
#   wine_run PROGRAM ARGS...    runs a Windows program (see wine-exec.sh)
#   wine_prefix_destroy         stops the wineserver and removes the prefix
# Wine's own stderr goes to $BMFWU_WINE_LOG (default $WINEPREFIX/wine-stderr.log).

BMFWU_WINE_TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

wine_prefix_create() {
    export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
    unset DISPLAY WAYLAND_DISPLAY
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/bmfwu-wine.XXXXXX") || return 1
    export WINEPREFIX
    local log=${BMFWU_WINE_LOG:-$WINEPREFIX/wine-stderr.log}
    wineboot --init >>"$log" 2>&1 || { echo "wineboot --init failed, see $log" >&2; return 1; }
    wineserver -w
    # Without a server that stays up, every run of a program would start one
    # and keep its stderr pipe open for seconds after the program ended.
    wineserver -p >>"$log" 2>&1
    wine wineboot >>"$log" 2>&1
    # The prefix maps COM ports to the machine's serial devices by itself;
    # only the ports a test links may exist.
    local link
    for link in "$WINEPREFIX"/dosdevices/com*; do
        [ -L "$link" ] && rm -f "$link"
    done
    return 0
}

wine_link_com() {
    ln -sfn "$2" "$WINEPREFIX/dosdevices/com$1"
}

wine_unlink_com() {
    rm -f "$WINEPREFIX/dosdevices/com$1"
}

wine_run() {
    "$BMFWU_WINE_TOOLS/wine-exec.sh" "$@"
}

wine_prefix_destroy() {
    [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] || return 0
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    case "$WINEPREFIX" in
        "${TMPDIR:-/tmp}"/bmfwu-wine.*) rm -rf "$WINEPREFIX" ;;
    esac
    unset WINEPREFIX
}
