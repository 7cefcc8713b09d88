#!/usr/bin/env bash
# Installs the Debian packages that building and testing bmfwu need, when missing.
# Usage: tools/install-deps.sh [extra packages...]
set -euo pipefail
packages=(cmake g++ clang libclang-rt-dev make libgtest-dev libgmock-dev googletest lpc21isp binutils tmux
          dpkg-dev lintian man-db python3 nlohmann-json3-dev python3-jsonschema ser2net "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
