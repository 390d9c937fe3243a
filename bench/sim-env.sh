# shellcheck shell=bash
# Sourced by the run-*-bench.sh scripts: starts and stops torvane-simd on a temporary socket.
#   sim_start BUILD_DIR FOLDER [torvane-simd options, e.g. --profile demo]
#       starts it on FOLDER/usbmuxd.sock with its state in FOLDER/state, waits (30 s at most) for
#       the socket, and points USBMUXD_SOCKET_ADDRESS at it; sim_socket names the socket.
#   sim_ctl ARGS...     a control command to the running simulator (bounded to 15 s)
#   sim_stop            stops it (also done on exit); its FOLDER is the caller's to remove.
sim_pid=
sim_socket=
sim_binary=

sim_start() {
    local build=$1 folder=$2
    shift 2
    sim_binary="$build/sim/torvane-simd"
    sim_socket="$folder/usbmuxd.sock"
    mkdir -p "$folder"
    "$sim_binary" --socket "$sim_socket" --state "$folder/state" "$@" >"$folder/simd.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 1 300); do
        [ -S "$sim_socket" ] && break
        if ! kill -0 "$sim_pid" 2>/dev/null; then
            cat "$folder/simd.log" >&2
            sim_pid=
            return 1
        fi
        sleep 0.1
    done
    if [ ! -S "$sim_socket" ]; then
        echo "torvane-simd did not start" >&2
        sim_stop
        return 1
    fi
    export USBMUXD_SOCKET_ADDRESS="UNIX:$sim_socket"
}

sim_ctl() {
    timeout 15 "$sim_binary" ctl --socket "$sim_socket" "$@"
}

sim_stop() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=
    fi
}
