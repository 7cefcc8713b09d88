#!/bin/bash
# Builds bmfwu.exe for 64-bit Windows with mingw-w64, and its Windows tests:
#   tools/wine/build-windows.sh [extra targets...]
# The firmware containers are packed at build time by host tools, so a native
# tree (build-winhost) builds those first; the cross tree is build-win.
# Result: build-win/src/app/bmfwu.exe, which needs no DLL beyond Windows' own.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
host=${BMFWU_WIN_HOST_BUILD:-$root/build-winhost}
cross=${BMFWU_WIN_BUILD:-$root/build-win}
jobs=${BMFWU_JOBS:-2}

cmake -S "$root" -B "$host" -DBMFWU_TESTS=OFF >/dev/null
cmake --build "$host" -j "$jobs" --target bmfwu-pack bmfwu-standin

cmake -S "$root" -B "$cross" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DBMFWU_HOST_TOOLS_DIR="$host" >/dev/null
cmake --build "$cross" -j "$jobs" --target bmfwu link_win32_test "$@"
echo "built $cross/src/app/bmfwu.exe"
