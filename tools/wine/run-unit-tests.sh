#!/bin/bash
# Runs the cross-built test suite under Wine:
#   tools/wine/run-unit-tests.sh BUILD_DIR [ctest arguments...]
# A fresh prefix, COM7 linked to a loop-back peer on a pseudo-terminal (the
# tests learn its number from BMFWU_TEST_COM), COM8 to /dev/null, ctest, then
# everything is stopped again. Exits with ctest's status.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run-unit-tests.sh BUILD_DIR [ctest arguments...]}
shift
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"

peer_pid=""
cleanup() {
    [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null && wait "$peer_pid" 2>/dev/null
    wine_prefix_destroy
}
trap cleanup EXIT

started=$(date +%s.%N)
wine_prefix_create || exit 1
prepared=$(date +%s.%N)

test_com=7
python3 "$here/pty-peer.py" --link "$WINEPREFIX/dosdevices/com$test_com" >"$WINEPREFIX/peer.out" 2>&1 &
peer_pid=$!
for _ in $(seq 100); do
    [ -L "$WINEPREFIX/dosdevices/com$test_com" ] && break
    sleep 0.05
done
[ -L "$WINEPREFIX/dosdevices/com$test_com" ] || { echo "pty peer did not start" >&2; cat "$WINEPREFIX/peer.out" >&2; exit 1; }
export BMFWU_TEST_COM=$test_com
# A port that exists but is no serial device: its open must fail cleanly.
wine_link_com 8 /dev/null
export BMFWU_TEST_NOT_SERIAL_COM=8

ctest --test-dir "$build" --output-on-failure "$@"
status=$?
finished=$(date +%s.%N)
awk -v a="$started" -v b="$prepared" -v c="$finished" \
    'BEGIN { printf "wine: prefix ready in %.1f s, tests ran in %.1f s\n", b - a, c - b }' 
if [ "$status" -ne 0 ] && [ -s "$WINEPREFIX/wine-stderr.log" ]; then
    echo "--- Wine's stderr (last lines)"; tail -n 30 "$WINEPREFIX/wine-stderr.log"
fi
exit "$status"
