#!/usr/bin/env bash
# Starts torvane-simd with the demo phone on a temporary socket and state folder, runs the
# camera-roll benchmarks against it and stops it again.
#   bench/run-photo-bench.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
cmake --build "$build_dir" --target torvane-simd photo-bench >/dev/null

work=$(mktemp -d /tmp/torvane-bench-sim-XXXXXX)
socket="$work/usbmuxd.sock"
"$build_dir/sim/torvane-simd" --socket "$socket" --state "$work/state" --profile demo >"$work/simd.log" 2>&1 &
simd=$!
cleanup() {
    kill "$simd" 2>/dev/null || true
    wait "$simd" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

for _ in $(seq 1 300); do
    [ -S "$socket" ] && break
    if ! kill -0 "$simd" 2>/dev/null; then
        cat "$work/simd.log" >&2
        exit 1
    fi
    sleep 0.1
done
[ -S "$socket" ] || { echo "torvane-simd did not start" >&2; exit 1; }

# PHOTO_BENCH=path runs another build's photo-bench (an anchor) against the same phone.
USBMUXD_SOCKET_ADDRESS="UNIX:$socket" "${PHOTO_BENCH:-$build_dir/bench/photo-bench}"
