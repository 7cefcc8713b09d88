#!/usr/bin/env bash
# The program in a real terminal: tmux runs it against a simulated switch, the
# test answers the question with send-keys and reads the screen with
# capture-pane, as a person would see it.
# Usage: terminal_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
socket="bmfwu-terminal-$$"
sim_pids=()
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null || true
  tmux -L "$socket-all" kill-server 2>/dev/null || true
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

for port in 3 5 6; do
  "$build/tools/sim/bmfwu-sim" --link "$work/COM$port" --table --version 3.03 >"$work/sim$port.txt" &
  sim_pids+=($!)
  for _ in $(seq 100); do [ -L "$work/COM$port" ] && break; sleep 0.05; done
done

tmux -L "$socket" new-session -d -x 100 -y 40 \
  "BMFWU_PORT_DIR=$work $build/src/app/bmfwu 3; echo \"exit status \$?\"; sleep 30"

screen() { tmux -L "$socket" capture-pane -p; }
wait_for() {  # text, seconds
  for _ in $(seq $(($2 * 10))); do screen | grep -qF -- "$1" && return 0; sleep 0.1; done
  echo "FAIL: '$1' did not appear; the screen:"; screen; exit 1
}
expect_line() {  # exact line
  screen | grep -qxF -- "$1" || { echo "FAIL: no line '$1'; the screen:"; screen; exit 1; }
}

wait_for "Continue with update to newer version? (Y,N)" 20
tmux -L "$socket" send-keys y
wait_for "Press any key to exit..." 60
# Each progress display overwrote itself: one line shows the final state.
expect_line "Continue with update to newer version? (Y,N) Y"
expect_line "Updating firmware: 100% complete."
expect_line "Updating DSPs: Bank = 2, Complete = 100%"
[ "$(screen | grep -c 'Updating firmware:')" -eq 1 ] || { echo "FAIL: progress lines did not overwrite"; screen; exit 1; }
expect_line "Press any key to exit..."
[ -n "${SHOW_SCREEN:-}" ] && screen
tmux -L "$socket" send-keys F2
wait_for "exit status 1" 10

# --all in a terminal too narrow for a row: each row is cut short of the
# width, so none wraps and every redraw lands on its own row. A server of its
# own: a new session on one being killed can meet it as it exits.
tmux -L "$socket" kill-server
socket="$socket-all"
tmux -L "$socket" new-session -d -x 24 -y 40 \
  "BMFWU_PORT_DIR=$work $build/src/app/bmfwu --all --yes; echo \"exit status \$?\"; sleep 30"
wait_for "exit status 0" 120
expect_line "COM5: Updating DSPs: Ba"
expect_line "COM6: Updating DSPs: Ba"
expect_line "COM6: updated to 3.04"
echo "2 passed, 0 failed"
