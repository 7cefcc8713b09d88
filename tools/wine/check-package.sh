#!/bin/bash
# Packs the ZIP of a built Windows tree and checks it as a technician would
# meet it: unzipped, it carries the notices of the runtimes linked into
# bmfwu.exe; bmfwu.exe shows the same usage text as the Linux build, its version
# resource says what --version says, and in a real Windows console (wineconsole
# on a virtual X server) it updates a simulated switch on COM3, answered and
# ended by keys typed into the window.
#   tools/wine/check-package.sh HOST_BUILD_DIR WIN_BUILD_DIR
# HOST_BUILD_DIR: a built native tree (bmfwu, bmfwu-sim); WIN_BUILD_DIR: the
# cross tree with bmfwu.exe built. Screenshots at the question and at the end go
# to $BMFWU_ARTEFACTS (default: build/artefacts).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
host=$(cd "${1:?usage: check-package.sh HOST_BUILD_DIR WIN_BUILD_DIR}" && pwd)
win=$(cd "${2:?usage: check-package.sh HOST_BUILD_DIR WIN_BUILD_DIR}" && pwd)
artefacts=${BMFWU_ARTEFACTS:-$root/build/artefacts}
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
# shellcheck source=../sim-session.sh
. "$root/tools/sim-session.sh"
work=$(mktemp -d)
xvfb_pid=""
console_pid=""
cleanup() {
    [ -n "$console_pid" ] && kill "$console_pid" 2>/dev/null && wait "$console_pid" 2>/dev/null
    sim_stop
    wine_prefix_destroy
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$win" && cpack -G ZIP >"$work/cpack.txt" 2>&1) || { cat "$work/cpack.txt"; fail "cpack"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win/CMakeCache.txt")
zip="$win/packages/bmfwu-$version-win64.zip"
[ -f "$zip" ] || fail "no $zip"
unzip -q "$zip" -d "$work/unzipped"
exe="$work/unzipped/bmfwu.exe"
[ -f "$exe" ] && [ -f "$work/unzipped/README.txt" ] || fail "the ZIP lacks bmfwu.exe or README.txt"
cmp -s "$work/unzipped/firmware-images.txt" "$host/firmware-images.txt" ||
    fail "the ZIP's image report differs from that of the images in the Linux build"
grep -qs "GCC RUNTIME LIBRARY EXCEPTION" "$work"/unzipped/licenses/*.txt &&
    grep -qs "mingw-w64" "$work"/unzipped/licenses/*.txt ||
    fail "the ZIP lacks the notices of the GCC and mingw-w64 runtimes in licenses/"

wine_prefix_create || fail "no Wine prefix"
# The prefix's set-up leaves its desktop process, started without a display,
# alive for a moment; a console started meanwhile would open its window there.
prefix_desktop() {
    local pid
    for pid in $(pgrep -f 'explorer\.exe /desktop'); do
        grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null && return 0
    done
    return 1
}
for _ in $(seq 100); do prefix_desktop || break; sleep 0.1; done
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.txt" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { cat "$work/xvfb.txt" >&2; fail "Xvfb did not start"; }
export DISPLAY=":$(cat "$work/display")"
screenshot() { mkdir -p "$artefacts" && import -window root "$artefacts/$1"; }

sim_start "$host/tools/sim/bmfwu-sim" "$WINEPREFIX/dosdevices/com3" "$work" --table --version 3.03
(cd "$work/unzipped" && exec wineconsole bmfwu.exe 3) 2>>"$WINEPREFIX/wine-stderr.log" &
console_pid=$!
window=""
for _ in $(seq 300); do
    window=$(xdotool search --name 'bmfwu\.exe' 2>/dev/null | head -n 1) && [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { tail -n 20 "$WINEPREFIX/wine-stderr.log" >&2; fail "no console window appeared"; }
# Typed as on a keyboard, into the focused window.
type_key() { xdotool windowfocus --sync "$window" && xdotool key "$1"; }

sim_wait_quiet 2 60 || fail "the program did not come to its question"
screenshot console-question.png
sim_untouched || fail "the switch was programmed before the answer"
kill -0 "$console_pid" 2>/dev/null || fail "the program ended before its question"
type_key y
sim_wait_quiet 2 120 || fail "the update did not come to an end"
sim_holds_image "$host/src/firmware/image1.bin" || fail "after the answer the switch does not hold image 1"
screenshot console-end.png
sleep 1
kill -0 "$console_pid" 2>/dev/null || fail "the program ended without waiting for a key"
type_key x
status=0
for _ in $(seq 100); do kill -0 "$console_pid" 2>/dev/null || break; sleep 0.1; done
wait "$console_pid" || status=$?
console_pid=""
[ "$status" -eq 1 ] || fail "the console program ended with status $status"
# Its usage text, by the plain runner (after the console run: a program run
# without a display first would leave the prefix without one).
status=0
"$host/src/app/bmfwu" -h </dev/null >"$work/usage-linux.txt" || true
wine_run "$exe" -h </dev/null >"$work/usage.txt" || status=$?
[ "$status" -eq 1 ] || fail "bmfwu.exe -h ended with status $status"
cmp -s "$work/usage.txt" "$work/usage-linux.txt" || fail "bmfwu.exe -h differs from the Linux build's text"
# The version resource (Explorer's Properties > Details) says what the program
# says of itself: the version --version prints and the banner's product name.
wine_run "$exe" --version </dev/null | tr -d '\r' >"$work/version.txt" || fail "bmfwu.exe --version failed"
said=$(sed -n 's/^bmfwu version //p' "$work/version.txt")
[ "$said" = "$version" ] || fail "bmfwu.exe --version says '$said', the project version is $version"
product=$(sed -n 's/\. Version [0-9.]*$//p' "$work/version.txt")
exiftool -s2 -FileVersionNumber -ProductVersionNumber -FileVersion -ProductVersion -CompanyName -ProductName \
    -LegalCopyright "$exe" >"$work/resource.txt"
printf '%s\n' "FileVersionNumber: $said.0.0" "ProductVersionNumber: $said.0.0" "FileVersion: $said" \
    "ProductVersion: $said" "CompanyName: Brenmoor" "ProductName: $product" >"$work/resource-expected.txt"
head -n 6 "$work/resource.txt" | diff -u "$work/resource-expected.txt" - >&2 ||
    fail "bmfwu.exe's version resource differs from what the program says"
grep -qx "LegalCopyright: Copyright (C) [0-9]\{4\} Brenmoor\. All rights reserved\." "$work/resource.txt" ||
    fail "bmfwu.exe's version resource has no copyright notice of Brenmoor"

echo "zip: $(basename "$zip") unzips with the runtimes' notices, bmfwu.exe shows its usage and version $said" \
     "(also in its version resource) and updates a switch in a Windows console" \
     "(screenshots in $artefacts)"
