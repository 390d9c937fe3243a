#!/usr/bin/env bash
# Starts torvane-simd with two phones made for the fill benchmark on a temporary socket and state
# folder, runs fill-bench against them and stops the daemon again.
#   bench/run-fill-bench.sh [BUILD_DIR]     (default: build)
# FILL_BENCH=PATH runs another fill-bench binary (an anchor built from another commit) against
# the same fresh phones.
# A 256 GB phone with 200 GB free (system 9.3.5: fillers made by their size take space) and an
# APFS-era phone (17.5) with about 4 GB free, whose fillers must be written.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
cmake --build "$build_dir" --target torvane-simd fill-bench >/dev/null

work=$(mktemp -d /tmp/torvane-fill-bench-XXXXXX)
# shellcheck source=bench/sim-env.sh
. bench/sim-env.sh
trap 'sim_stop; rm -rf "$work"' EXIT
empty='"content": { "userApps": 0, "systemApps": 0, "fileSharingApps": 0, "developerApps": 0, "appsWithoutDisplayName": 0, "appsWithEmptyDisplayName": 0, "photos": 0, "videos": 0, "songs": 0, "podcasts": 0, "stalledDownloads": 0 }'
cat >"$work/big.json" <<JSON
{ "name": "Bench 256", "udid": "fb00000000000000000000000000000000000256", "productType": "iPhone8,1",
  "productVersion": "9.3.5", "buildVersion": "13G36", "diskCapacity": 256000000000,
  "dataCapacity": 250000000000, "usedBytes": 49790284800, "reserveBytes": 209715200,
  "purgeablePoolBytes": 2000000000, "purgeIntervalMs": 250, $empty }
JSON
cat >"$work/apfs.json" <<JSON
{ "name": "Bench APFS", "udid": "00008120-FB00000000000017", "productType": "iPhone15,2",
  "productVersion": "17.5", "buildVersion": "21F79", "diskCapacity": 16000000000,
  "dataCapacity": 15000000000, "usedBytes": 10790284800, "reserveBytes": 209715200,
  "purgeablePoolBytes": 500000000, "purgeIntervalMs": 250, $empty }
JSON
sim_start "$build_dir" "$work" --profile "$work/big.json" --profile "$work/apfs.json"

"${FILL_BENCH:-$build_dir/bench/fill-bench}" \
    fb00000000000000000000000000000000000256 00008120-FB00000000000017
