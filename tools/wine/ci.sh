#!/bin/bash
# The Windows leg of CI: install the cross compiler and Wine, cross-build
# bmfwu.exe and its Windows tests, run the tests under Wine.
#   tools/wine/ci.sh [extra build targets...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/install-deps.sh"
"$here/build-windows.sh" "$@"
# Only the Windows link tests for now: several test folders are POSIX-only and
# do not build for Windows. Point this at the whole tree once they are guarded.
"$here/run-unit-tests.sh" "${BMFWU_WIN_BUILD:-$here/../../build-win}/tests/link_win32"
