#!/usr/bin/env bash
# A release from the two real application binaries: the Linux .deb and the
# Windows ZIP, each with the program, its README and the report of the images.
#   tools/release.sh APP1.bin APP2.bin [cmake options...]
# APP1 is the application of image 1 (product 0x56), APP2 that of image 2
# (product 0x64); add -DBMFWU_APPEND_APP_CRC=ON for binaries without their
# trailing CRC-32. The version is the project version in CMakeLists.txt.
# Trees: $BMFWU_RELEASE_BUILD (default build/release) and the same with -win;
# the packages land in their packages/ folders.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: release.sh APP1.bin APP2.bin [cmake options...]"
app1=$(realpath "${1:?$usage}")
app2=$(realpath "${2:?$usage}")
shift 2
"$root/tools/install-deps.sh" g++-mingw-w64-x86-64
linux=${BMFWU_RELEASE_BUILD:-$root/build/release}
windows=$linux-win
options=(-DCMAKE_BUILD_TYPE=Release -DBMFWU_TESTS=OFF -DBMFWU_IMAGE1_APP="$app1" -DBMFWU_IMAGE2_APP="$app2" "$@")

cmake -S "$root" -B "$linux" "${options[@]}" >/dev/null
cmake --build "$linux" -j "${BMFWU_JOBS:-2}" --target package
# The cross build packs its images with the Linux tree's tools.
cmake -S "$root" -B "$windows" "${options[@]}" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DBMFWU_HOST_TOOLS_DIR="$linux" >/dev/null
cmake --build "$windows" -j "${BMFWU_JOBS:-2}" --target package
cmp -s "$linux/firmware-images.txt" "$windows/firmware-images.txt" ||
  { echo "release.sh: the two builds carry different images" >&2; exit 1; }
echo "release: $(ls "$linux"/packages/*.deb "$windows"/packages/*.zip | tr '\n' ' ')"
