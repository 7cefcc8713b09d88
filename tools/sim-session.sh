# A simulated switch for the release checks, judged without reading the
# program's screen; source this file.
#   sim_start SIM LINK DIR [sim options...]  starts SIM linked at LINK, its flash kept in DIR
#   sim_wait_quiet SECONDS TIMEOUT           after traffic began, waits until none for SECONDS
#   sim_untouched                            the flash is as it started (nothing erased or copied)
#   sim_holds_image CONTAINER                the flash holds the container's application and
#                                            parameter block at their addresses
#   sim_stop                                 stops the switch by its process id
# The switch saves its flash to DIR/state.bin after every erase or copy: a
# 16-byte header, then the banks from 0x1A000000.
SIM_PID=""
SIM_DIR=""

sim_start() {
    local sim=$1 link=$2
    SIM_DIR=$3
    shift 3
    "$sim" --link "$link" --state "$SIM_DIR/state.bin" "$@" >"$SIM_DIR/sim.txt" 2>&1 &
    SIM_PID=$!
    local _
    for _ in $(seq 100); do [ -L "$link" ] && break; sleep 0.05; done
    [ -L "$link" ] || { echo "the simulated switch did not start:" >&2; cat "$SIM_DIR/sim.txt" >&2; return 1; }
    # Traffic is counted from the moment the switch has settled after loading its flash.
    SIM_IO_START=$(sim_io)
    for _ in $(seq 50); do
        sleep 0.1
        [ "$(sim_io)" = "$SIM_IO_START" ] && break
        SIM_IO_START=$(sim_io)
    done
    cp "$SIM_DIR/state.bin" "$SIM_DIR/state-start.bin"
}

# Bytes the switch has read and written so far: its port traffic and its state saves.
sim_io() {
    awk '/^(rchar|wchar):/ { sum += $2 } END { print sum + 0 }' "/proc/$SIM_PID/io"
}

sim_wait_quiet() {
    local quiet=$1 timeout=$2 last still=0 now waited=0
    last=$(sim_io)
    while [ "$waited" -lt $((timeout * 10)) ]; do
        sleep 0.1
        waited=$((waited + 1))
        now=$(sim_io)
        if [ "$now" != "$last" ] || [ "$now" = "$SIM_IO_START" ]; then
            last=$now
            still=0
        elif [ $((still += 1)) -ge $((quiet * 10)) ]; then
            return 0
        fi
    done
    echo "the simulated switch did not fall quiet within $timeout s" >&2
    return 1
}

sim_untouched() {
    cmp -s "$SIM_DIR/state.bin" "$SIM_DIR/state-start.bin"
}

sim_holds_image() {
    python3 - "$1" "$SIM_DIR/state.bin" <<'PY'
import struct, sys
image = open(sys.argv[1], "rb").read()
state = open(sys.argv[2], "rb").read()
FLASH, HEADER = 0x1A000000, 16
_, _, _, _, _, app_offset, app_address, app_length, param_offset, param_address, param_length = \
    struct.unpack_from("<11I", image)
def holds(offset, address, length):
    at = HEADER + address - FLASH
    return state[at:at + length] == image[offset:offset + length]
sys.exit(0 if holds(app_offset, app_address, app_length) and holds(param_offset, param_address, param_length) else 1)
PY
}

sim_stop() {
    [ -n "$SIM_PID" ] || return 0
    kill "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
    SIM_PID=""
}
