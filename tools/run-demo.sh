#!/usr/bin/env bash
# The main job against the bundled simulated switch: a switch running firmware
# 3.03 for product 0x56, PCB revision 3, linked as COM3, updated by bmfwu in
# this terminal. Extra arguments go to bmfwu (default: scan COM1 to COM16).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
build="$root/build/demo"
cmake -S "$root" -B "$build" -DBMFWU_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target bmfwu bmfwu-sim >/dev/null

ports=$(mktemp -d)
sim_output="$ports/sim-output.txt"
"$build/tools/sim/bmfwu-sim" --link "$ports/COM3" --table --product-id 0x56 --pcb-revision 3 \
  --version 3.03 --name "Sonavex F" >"$sim_output" &
sim_pid=$!
stop_switch() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  rm -rf "$ports"
}
trap stop_switch EXIT
for _ in $(seq 200); do [ -L "$ports/COM3" ] && break; sleep 0.05; done

status=0
BMFWU_PORT_DIR="$ports" "$build/src/app/bmfwu" "$@" || status=$?
kill "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
echo "--- the simulated switch on COM3 ($(head -n 1 "$sim_output")):"
tail -n +2 "$sim_output"
exit "$status"
