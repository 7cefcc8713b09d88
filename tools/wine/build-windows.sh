#!/bin/bash
# Builds bmfwu.exe for 64-bit Windows with mingw-w64, with its Windows tests:
#   tools/wine/build-windows.sh [targets...]     (default: all, i.e. bmfwu.exe and every test)
# The firmware containers are packed at build time by host tools, so a native
# tree (build-winhost) builds those first; the cross tree is build-win.
# BMFWU_WIN_HOST_TESTS=ON configures the native tree with its tests too, so the
# end-to-end suite can be built there (tools/wine/ci.sh).
# Result: build-win/src/app/bmfwu.exe, which needs no DLL beyond Windows' own.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
host=${BMFWU_WIN_HOST_BUILD:-$root/build-winhost}
cross=${BMFWU_WIN_BUILD:-$root/build-win}
jobs=${BMFWU_JOBS:-2}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(all)

cmake -S "$root" -B "$host" -DBMFWU_TESTS="${BMFWU_WIN_HOST_TESTS:-OFF}" >/dev/null
cmake --build "$host" -j "$jobs" --target bmfwu-pack bmfwu-standin

cmake -S "$root" -B "$cross" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DBMFWU_HOST_TOOLS_DIR="$host" >/dev/null
cmake --build "$cross" -j "$jobs" --target "${targets[@]}"
echo "built $cross/src/app/bmfwu.exe"
