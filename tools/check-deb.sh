#!/usr/bin/env bash
# Packs the .deb of a built Linux tree and checks it as Debian and a technician
# would meet it: lintian finds no error or warning; unpacked into a throwaway
# root, the installed program shows the same usage text as the built one, its
# manual page describes every option of that text, and it updates a simulated
# switch.
#   tools/check-deb.sh BUILD_DIR      (a tree already built, e.g. build/normal)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: check-deb.sh BUILD_DIR}" && pwd)
# shellcheck source=sim-session.sh
. "$root/tools/sim-session.sh"
work=$(mktemp -d)
trap 'sim_stop; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB >"$work/cpack.txt" 2>&1) || { cat "$work/cpack.txt"; fail "cpack"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb="$build/packages/bmfwu_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb"
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" =~ ^(libc6|libstdc\+\+6|libgcc-s1)[^,]*(,\ (libc6|libstdc\+\+6|libgcc-s1)[^,]*)*$ ]] ||
  fail "dependencies beyond the C and C++ runtime: $depends"
lintian --fail-on error,warning "$deb" >"$work/lintian.txt" 2>&1 || { cat "$work/lintian.txt"; fail "lintian"; }
dpkg -x "$deb" "$work/root"
program="$work/root/usr/bin/bmfwu"
[ -f "$work/root/usr/share/doc/bmfwu/README.md" ] || fail "no README in the package"
cmp -s "$work/root/usr/share/doc/bmfwu/firmware-images.txt" "$build/firmware-images.txt" ||
  fail "the package's image report differs from the build's"

status=0
"$build/src/app/bmfwu" -h </dev/null >"$work/usage-built.txt" || true
"$program" -h </dev/null >"$work/usage.txt" || status=$?
[ "$status" -eq 1 ] || fail "-h ended with status $status"
cmp -s "$work/usage.txt" "$work/usage-built.txt" || fail "-h: the installed program's text differs from the built one's"
# Every option of the usage text, in each of its forms, is in the manual page.
page="$work/root/usr/share/man/man1/bmfwu.1.gz"
[ -f "$page" ] || fail "no manual page in the package"
MANWIDTH=200 man --no-hyphenation --no-justification -E ascii -l "$page" >"$work/page.txt" 2>/dev/null ||
  fail "man cannot render the manual page"
mapfile -t options < <(awk '/^Options/ { listed = 1; next }
  listed && /^   [\/-]/ {
    names = substr($0, 4); sub(/  .*/, "", names)
    count = split(names, forms, ", ")
    for (i = 1; i <= count; i++) { split(forms[i], words, " "); print words[1] }
  }' "$work/usage.txt")
[ ${#options[@]} -gt 0 ] || fail "-h lists no options"
for option in "${options[@]}"; do
  grep -qP "(^|[\s,(])\Q$option\E(?=[\s,.)]|$)" "$work/page.txt" || fail "the manual page lacks $option"
done
"$program" --version </dev/null >"$work/version.txt" || fail "--version ended with status $?"
grep -qx "bmfwu version $version" "$work/version.txt" || fail "--version does not name version $version"

# A full update: the answer is typed once the program waits at the question,
# the final key once it waits at the end.
mkdir "$work/ports"
sim_start "$build/tools/sim/bmfwu-sim" "$work/ports/COM3" "$work" --table --version 3.03
keys() {
  sim_wait_quiet 2 60 || return
  sim_untouched || { echo "FAIL: the switch was programmed before the answer" >&2; return; }
  printf y
  sim_wait_quiet 2 120 || return
  printf x
}
status=0
keys | BMFWU_PORT_DIR="$work/ports" timeout 300 "$program" 3 >"$work/update.txt" || status=$?
sim_stop
[ "$status" -eq 1 ] || { cat "$work/update.txt"; fail "the update ended with status $status"; }
grep -qF "Updating firmware: 100% complete." "$work/update.txt" || { cat "$work/update.txt"; fail "no completed update"; }
sim_holds_image "$build/src/firmware/image1.bin" || fail "the switch does not hold image 1"
echo "deb: $(basename "$deb") (Depends: $depends) passes lintian, installs, shows its usage, documents its" \
     "${#options[@]} option forms in its manual page and updates a switch"
