#!/bin/bash
# Runs one Windows program under Wine, as CMake's cross-compiling emulator and
# for the end-to-end suite: `wine-exec.sh program.exe args...`.
# Needs WINEPREFIX from wine-env.sh (wine_prefix_create). Standard input is
# passed through; the console's CR LF line ends come back as LF, so the output
# compares with the Linux build's; Wine's own stderr goes to $BMFWU_WINE_LOG
# (default: $WINEPREFIX/wine-stderr.log). Exits with the program's status.
set -u
if [ -z "${WINEPREFIX:-}" ] || [ ! -d "$WINEPREFIX" ]; then
    echo "wine-exec.sh: WINEPREFIX is not set to a prepared prefix (see tools/wine/wine-env.sh)" >&2
    exit 125
fi
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY WAYLAND_DISPLAY
wine_bin=$(command -v wine || echo /usr/lib/wine/wine64)
log=${BMFWU_WINE_LOG:-$WINEPREFIX/wine-stderr.log}
"$wine_bin" "$@" 2>>"$log" | sed -u 's/\r$//'
exit "${PIPESTATUS[0]}"
