#!/usr/bin/env bash
# Starts torvane-simd with the demo phone on a temporary socket and state folder, runs the
# device benchmarks against it and stops it again.
#   bench/run-device-bench.sh [BUILD_DIR]     (default: build)
# DEVICE_BENCH_MIB and DEVICE_BENCH_ROUNDS shrink the run; BENCH_WRAPPER runs the bench under a
# tool ("valgrind --tool=callgrind"); DEVICE_BENCH_BINARY runs another build's bench (an anchor).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
cmake --build "$build_dir" --target torvane-simd device-bench >/dev/null

work=$(mktemp -d /tmp/torvane-bench-sim-XXXXXX)
# shellcheck source=bench/sim-env.sh
. bench/sim-env.sh
trap 'sim_stop; rm -rf "$work"' EXIT
sim_start "$build_dir" "$work" --profile demo

# shellcheck disable=SC2086 # the wrapper is a command with its arguments
${BENCH_WRAPPER:-} "${DEVICE_BENCH_BINARY:-$build_dir/bench/device-bench}"
