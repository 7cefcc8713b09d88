#!/bin/bash
# Runs the end-to-end suite, built natively, against the Windows program under
# Wine: each simulated switch's pseudo-terminal is linked as dosdevices/comN of
# a fresh prefix, and the suite starts `wine bmfwu.exe` instead of bmfwu.
#   tools/wine/run-e2e.sh HOST_BUILD_DIR BMFWU_EXE [gtest arguments...]
# HOST_BUILD_DIR holds tests/app/app_program_test (a native tree with tests).
# The tests run one at a time: they all share the prefix's COM ports.
# Exits with the suite's status; BMFWU_E2E_TIME_LIMIT (s, default 600) bounds the whole run.
set -u
here=$(cd "$(dirname "$0")" && pwd)
host=${1:?usage: run-e2e.sh HOST_BUILD_DIR BMFWU_EXE [gtest arguments...]}
exe=${2:?usage: run-e2e.sh HOST_BUILD_DIR BMFWU_EXE [gtest arguments...]}
shift 2
host=$(cd "$host" && pwd)
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
trap wine_prefix_destroy EXIT

# Tests left out under Wine, with the reason (gtest negative patterns, ':'-separated).
# None at present: every test passes against bmfwu.exe.
wine_excluded=""

started=$(date +%s)
wine_prefix_create || exit 1
export BMFWU_E2E_WINE=1 BMFWU_E2E_PROGRAM="$exe" BMFWU_BUILD_DIR="$host"
filter=()
[ -n "$wine_excluded" ] && filter=("--gtest_filter=-$wine_excluded")
# A hung test must fail the run, not hold CI until its own limit.
timeout -k 10 "${BMFWU_E2E_TIME_LIMIT:-600}" "$host/tests/app/app_program_test" "${filter[@]}" "$@"
status=$?
[ "$status" -eq 124 ] && echo "wine: the end-to-end suite did not end within ${BMFWU_E2E_TIME_LIMIT:-600} s" >&2
echo "wine: end-to-end suite ran in $(( $(date +%s) - started )) s"
if [ "$status" -ne 0 ] && [ -s "$WINEPREFIX/wine-stderr.log" ]; then
    echo "--- Wine's stderr (last lines, without the prefix set-up's registry dump)"
    grep -v '^0x[0-9a-f]*:[0-9]*: \[' "$WINEPREFIX/wine-stderr.log" | tail -n 30
fi
exit "$status"
