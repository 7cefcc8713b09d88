#!/bin/sh
# Installs what the Windows cross build and its Wine test runs need:
# the mingw-w64 compilers, Wine (64-bit), the GoogleTest sources (for the
# cross build), the native GoogleTest (for the end-to-end suite), and the
# virtual X server, key typing, screenshots and unzip of the ZIP's console check,
# and exiftool, which reads bmfwu.exe's version resource back.
# Non-interactive; run as root. Safe to run again.
set -eu
export DEBIAN_FRONTEND=noninteractive
packages="g++-mingw-w64-x86-64 wine wine64 googletest libgtest-dev libgmock-dev g++ cmake make python3
          xvfb xdotool imagemagick unzip libimage-exiftool-perl"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing
