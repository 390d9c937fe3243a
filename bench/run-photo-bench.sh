#!/usr/bin/env bash
# Runs the camera-roll benchmarks against the demo phone at several link speeds: for each, a fresh
# torvane-simd on a temporary socket (the backup removes what it copied, so every speed needs its
# own phone) with `link-rate` set, then photo-bench, which measures the raw read and the verified
# backup of the same files on that link. Ends with backup/raw for every speed.
#   bench/run-photo-bench.sh [BUILD_DIR]     (default: build)
# PHOTO_BENCH=path runs another build's photo-bench (an anchor) against the same phones.
# PHOTO_BENCH_RATES lists the speeds in MB/s, 0 for unlimited (the local socket, far faster than
# any cable); the default "0 300 35" adds a USB 3-like link and a USB 2 one.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
cmake --build "$build_dir" --target torvane-simd photo-bench >/dev/null

work=$(mktemp -d /tmp/torvane-bench-sim-XXXXXX)
# shellcheck source=bench/sim-env.sh
. bench/sim-env.sh
trap 'sim_stop; rm -rf "$work"' EXIT
demo=d3a095e7941cf9e40e6980d14a16bf023ccd4c91 # the demo profile's UDID

summary=()
for rate in ${PHOTO_BENCH_RATES:-0 300 35}; do
    if [ "$rate" = 0 ]; then link="unlimited"; else link="$rate MB/s"; fi
    echo "== link: $link (load average $(cut -d' ' -f1-3 /proc/loadavg))"
    sim_start "$build_dir" "$work/$rate" --profile demo
    sim_ctl fault "$demo" link-rate "$rate" >/dev/null
    "${PHOTO_BENCH:-$build_dir/bench/photo-bench}" | tee "$work/$rate.out"
    sim_stop
    raw=$(sed -n 's/^raw AFC reads: .* = \([0-9.]*\) MB\/s$/\1/p' "$work/$rate.out")
    backup=$(sed -n 's/^verified backup: .* = \([0-9.]*\) MB\/s, \([0-9.]*\)x the raw read rate.*/\1 MB\/s = \2x/p' "$work/$rate.out")
    summary+=("link $link: raw read ${raw:-?} MB/s, verified backup ${backup:-?} the raw read")
    rm -rf "${work:?}/$rate"
done
echo "== backup/raw"
printf '%s\n' "${summary[@]}"
