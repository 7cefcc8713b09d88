#!/bin/bash
# The Windows leg of CI: installs the cross compiler and Wine, cross-builds
# bmfwu.exe and every portable test, runs those tests under Wine, then runs the
# end-to-end suite (built natively) against bmfwu.exe under Wine, and last packs
# the ZIP and runs its bmfwu.exe in a Windows console (check-package.sh).
#   tools/wine/ci.sh
# Needs no standard input; every Wine prefix and process it starts is stopped
# again by the scripts that started it. Exits non-zero when any step fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export BMFWU_WIN_HOST_BUILD=${BMFWU_WIN_HOST_BUILD:-$root/build-winhost}
export BMFWU_WIN_BUILD=${BMFWU_WIN_BUILD:-$root/build-win}
export BMFWU_JOBS=${BMFWU_JOBS:-2}
exec </dev/null

started=$(date +%s)
step() { echo "== wine ci: $* ($(( $(date +%s) - started )) s)"; }

step "installing packages"
"$here/install-deps.sh"
step "building the host tools and the Windows tree"
BMFWU_WIN_HOST_TESTS=ON "$here/build-windows.sh"
cmake --build "$BMFWU_WIN_HOST_BUILD" -j "$BMFWU_JOBS" --target app_program_test bmfwu bmfwu-sim firmware_image_report
step "unit tests under Wine"
"$here/run-unit-tests.sh" "$BMFWU_WIN_BUILD" --timeout 300
step "end-to-end suite against bmfwu.exe under Wine"
"$here/run-e2e.sh" "$BMFWU_WIN_HOST_BUILD" "$BMFWU_WIN_BUILD/src/app/bmfwu.exe"
step "the ZIP, and bmfwu.exe from it in a Windows console"
"$here/check-package.sh" "$BMFWU_WIN_HOST_BUILD" "$BMFWU_WIN_BUILD"
step "done"
