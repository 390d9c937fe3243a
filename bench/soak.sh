#!/usr/bin/env bash
# Soak: torvane-simd with eight phones, eight torvane-cli processes at once scanning, pulling and
# listing apps in loops, phones detached and attached at random moments. Every client call has a
# time-out; the simulator's and the clients' memory and open descriptors are sampled from /proc.
#   bench/soak.sh [DURATION] [BUILD_DIR]     DURATION: seconds, or with s/m/h (default 10m);
#                                            BUILD_DIR default build
# Prints a summary; exits 1 on a hang (a call that ran into its time-out), a leak (descriptors or
# threads the simulator does not give back, memory that keeps growing) or a simulator that died.
# SOAK_KEEP=1 keeps the work folder (logs, samples) for a look afterwards.
set -uo pipefail
cd "$(dirname "$0")/.."

duration=${1:-10m}
build_dir=${2:-build}
case "$duration" in
    *h) seconds=$(( ${duration%h} * 3600 )) ;;
    *m) seconds=$(( ${duration%m} * 60 )) ;;
    *s) seconds=${duration%s} ;;
    *) seconds=$duration ;;
esac
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 10 ]; then
    echo "usage: bench/soak.sh [DURATION (at least 10s)] [BUILD_DIR]" >&2
    exit 2
fi

phones=8
workers=8
call_timeout=60     # outer bound of one client call; reaching it is a hang
device_timeout=20   # torvane-cli --timeout: a phone that stops answering is an error, not a hang
ctl_timeout=15
sample_every=2

cmake --build "$build_dir" --target torvane-simd torvane-cli >/dev/null || exit 1
simd_bin=$PWD/$build_dir/sim/torvane-simd
cli_bin=$PWD/$build_dir/cli/torvane-cli

work=$(mktemp -d /tmp/torvane-soak-XXXXXX)
socket=$work/usbmuxd.sock
export USBMUXD_SOCKET_ADDRESS=UNIX:$socket
simd=
cleanup() {
    local pids
    pids=$(jobs -p)
    [ -n "$pids" ] && kill $pids 2>/dev/null
    wait 2>/dev/null
    if [ -n "$simd" ]; then
        kill "$simd" 2>/dev/null
        wait "$simd" 2>/dev/null
    fi
    if [ "${SOAK_KEEP:-0}" = 1 ]; then
        echo "work folder kept: $work" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Eight small phones, alternating an old and a new system so both AFC and app-listing paths run.
udids=()
profile_args=()
for i in $(seq 1 $phones); do
    udid=$(printf '50a450a450a450a450a450a450a450a450a4%04d' "$i")
    base=sim/profiles/modern.json
    [ $((i % 2)) = 1 ] && base=sim/profiles/demo.json
    jq --arg u "$udid" --arg n "Soak $i" --argjson s "$((7000 + i))" \
        '.udid=$u | .name=$n | del(.serialNumber) | .content.seed=$s | .content.userApps=16
         | .content.photos=24 | .content.videos=2 | .content.songs=12 | .content.podcasts=2' \
        "$base" >"$work/phone$i.json" || exit 1
    udids+=("$udid")
    profile_args+=(--profile "$work/phone$i.json")
done

"$simd_bin" --socket "$socket" --state "$work/state" "${profile_args[@]}" >"$work/simd.log" 2>&1 &
simd=$!
for _ in $(seq 1 600); do
    [ -S "$socket" ] && break
    kill -0 "$simd" 2>/dev/null || { cat "$work/simd.log" >&2; exit 1; }
    sleep 0.1
done
[ -S "$socket" ] || { echo "torvane-simd did not start" >&2; exit 1; }

# What there is to pull: each phone's camera roll and music files, as device paths.
for i in $(seq 0 $((phones - 1))); do
    media=$work/state/devices/${udids[$i]}/fs/private/var/mobile/Media
    (cd "$media" && find DCIM iTunes_Control/Music -type f -size -8M) | sed 's|^|/|' >"$work/pull$i.txt"
    [ -s "$work/pull$i.txt" ] || { echo "no files to pull on ${udids[$i]}" >&2; exit 1; }
done

# Pair with every phone first, one at a time: a phone is paired once, and eight clients pairing at
# once (a key pair each) would only measure the first minute's key generation.
for udid in "${udids[@]}"; do
    timeout -k 5 120 "$cli_bin" --udid "$udid" --timeout 60 df >/dev/null \
        || { echo "could not reach $udid before the soak" >&2; exit 1; }
done

now_ms() { date +%s%3N; }
start_ms=$(now_ms)
end_ms=$((start_ms + seconds * 1000))

# One client: a random phone, a random operation, over and over. Lines: op udid exit ms message.
client_loop() {
    local id=$1 out=$work/client$id
    mkdir -p "$out"
    RANDOM=$((id * 7919 + start_ms % 1000))
    while [ "$(now_ms)" -lt "$end_ms" ]; do
        local phone=$((RANDOM % phones)) op args
        local udid=${udids[$phone]}
        case $((RANDOM % 4)) in
            0) op=scan; args=(scan /) ;;
            1) op=apps; args=(apps) ;;
            2) op=ls; args=(ls /DCIM) ;;
            3)
                op=pull
                local list=$work/pull$phone.txt
                local remote
                remote=$(sed -n "$((RANDOM % $(wc -l <"$list") + 1))p" "$list")
                args=(pull "$remote" "$out/pulled")
                ;;
        esac
        local t0 rc
        t0=$(now_ms)
        timeout -k 5 "$call_timeout" "$cli_bin" --udid "$udid" --timeout "$device_timeout" "${args[@]}" \
            >/dev/null 2>"$out/err"
        rc=$?
        printf '%s\t%s\t%s\t%s\t%s\n' "$op" "$udid" "$rc" "$(($(now_ms) - t0))" \
            "$(head -c 200 "$out/err" | head -n 1)" >>"$work/calls$id.tsv"
        rm -f "$out/pulled"
    done
}

# Detaches or attaches a random phone every 0.5 to 4 s. Lines: action udid exit.
chaos_loop() {
    RANDOM=$((start_ms % 32768))
    local attached=()
    for i in $(seq 0 $((phones - 1))); do attached[$i]=1; done
    while [ "$(now_ms)" -lt "$end_ms" ]; do
        sleep "$((RANDOM % 8 / 2)).$((RANDOM % 2 * 5))"
        local i=$((RANDOM % phones)) action rc
        action=attach
        [ "${attached[$i]}" = 1 ] && action=detach
        timeout -k 5 "$ctl_timeout" "$simd_bin" ctl --socket "$socket" "$action" "${udids[$i]}" >/dev/null 2>&1
        rc=$?
        [ $rc = 0 ] && attached[$i]=$(( 1 - attached[$i] ))
        printf '%s\t%s\t%s\n' "$action" "${udids[$i]}" "$rc" >>"$work/chaos.tsv"
    done
}

# Every few seconds: seconds since start, the simulator's RSS (kB), descriptors and threads, and
# the number, largest RSS and largest descriptor count of the clients running at that moment.
fd_count() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }
status_field() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status" 2>/dev/null; }
sample() {
    local t=$(( ($(now_ms) - start_ms) / 1000 ))
    local rss fds threads n=0 crss=0 cfds=0 pid r f
    rss=$(status_field "$simd" VmRSS)
    fds=$(fd_count "$simd")
    threads=$(status_field "$simd" Threads)
    for pid in $(pgrep -f "^$cli_bin "); do
        r=$(status_field "$pid" VmRSS)
        f=$(fd_count "$pid")
        [ -n "$r" ] || continue
        n=$((n + 1))
        [ "$r" -gt "$crss" ] && crss=$r
        [ "$f" -gt "$cfds" ] && cfds=$f
    done
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$t" "${rss:-0}" "${fds:-0}" "${threads:-0}" "$n" "$crss" "$cfds" \
        >>"$work/samples.tsv"
}
sample_loop() {
    while [ "$(now_ms)" -lt "$end_ms" ]; do
        sample
        sleep "$sample_every"
    done
}

# The simulator's figures before any client connects.
base_fds=$(fd_count "$simd")
base_threads=$(status_field "$simd" Threads)
base_rss=$(status_field "$simd" VmRSS)
echo "soak: $phones phones, $workers clients, ${seconds}s (work folder $work)"

pids=()
for id in $(seq 1 $workers); do
    client_loop "$id" &
    pids+=($!)
done
chaos_loop &
pids+=($!)
sample_loop &
pids+=($!)
wait "${pids[@]}"

# Every phone back, then give the simulator a moment to close what the last clients left.
for udid in "${udids[@]}"; do
    timeout -k 5 "$ctl_timeout" "$simd_bin" ctl --socket "$socket" attach "$udid" >/dev/null 2>&1
done
simd_alive=1
kill -0 "$simd" 2>/dev/null || simd_alive=0
settled=0
for _ in $(seq 1 100); do
    [ "$simd_alive" = 1 ] || break
    if [ "$(fd_count "$simd")" -le "$base_fds" ] && [ "$(status_field "$simd" Threads)" -le "$base_threads" ]; then
        settled=1
        break
    fi
    sleep 0.1
done
sample
end_fds=$(fd_count "$simd")
end_threads=$(status_field "$simd" Threads)
end_rss=$(status_field "$simd" VmRSS)

cat "$work"/calls*.tsv >"$work/results.tsv"
summary=$(awk -F'\t' '
    { ops++; op[$1]++
      if ($3 == 0) { ok++; okop[$1]++ }
      else if ($3 == 124 || $3 == 137) { hang++; hangop[$1]++ }
      else { err++; errop[$1]++ } }
    END {
      printf "calls %d: %d succeeded, %d failed, %d hung\n", ops, ok, err, hang
      for (o in op) printf "  %-5s %6d calls, %6d ok, %5d failed, %3d hung\n", o, op[o], okop[o], errop[o], hangop[o]
    }' "$work/results.tsv")
errors=$(awk -F'\t' '$3 != 0 && $3 != 124 && $3 != 137 { print $5 }' "$work/results.tsv" \
    | sed -E 's/[0-9a-f]{40}/UDID/g; s/[0-9]+(\.[0-9]+)? s/N s/g' | sort | uniq -c | sort -rn | head -n 6)
# A phone detached before or during a call is the expected failure; anything else is worth a look.
unexplained=$(awk -F'\t' '$3 != 0 && $3 != 124 && $3 != 137' "$work/results.tsv" \
    | grep -cv 'no attached device has the UDID\|the device is not attached\|connection to the device was lost\|device was detached')
hangs=$(awk -F'\t' '$3 == 124 || $3 == 137' "$work/results.tsv" | wc -l)
ctl_hangs=$(awk -F'\t' '$3 == 124 || $3 == 137' "$work/chaos.tsv" 2>/dev/null | wc -l)
flips=$(awk -F'\t' '$3 == 0' "$work/chaos.tsv" 2>/dev/null | wc -l)
latency=$(awk -F'\t' '$3 == 0 { print $4 }' "$work/results.tsv" | sort -n \
    | awk '{ v[NR] = $1 } END { if (NR) { p = int(NR * 0.99) + 1; if (p > NR) p = NR
        printf "median %d ms, p99 %d ms, max %d ms", v[int(NR / 2) + 1], v[p], v[NR] } }')

# Memory is flat when the last third of the run stays within 20% (and 16 MB) of the middle third.
read -r mid_rss last_rss max_rss max_fds max_threads max_clients client_rss client_fds < <(awk -F'\t' -v n="$(wc -l <"$work/samples.tsv")" '
    { if (NR > n/3 && NR <= 2*n/3) { m += $2; mc++ } if (NR > 2*n/3) { l += $2; lc++ }
      if ($2 > rss) rss = $2; if ($3 > fds) fds = $3; if ($4 > th) th = $4
      if ($5 > nc) nc = $5; if ($6 > crss) crss = $6; if ($7 > cfds) cfds = $7 }
    END { printf "%d %d %d %d %d %d %d %d\n", mc ? m/mc : 0, lc ? l/lc : 0, rss, fds, th, nc, crss, cfds }' \
    "$work/samples.tsv")
growth=$((last_rss - mid_rss))
memory_flat=1
if [ "$growth" -gt $((mid_rss / 5)) ] && [ "$growth" -gt 16384 ]; then
    memory_flat=0
fi

echo "$summary"
[ -n "$errors" ] && { echo "failures by message ($unexplained not explained by a detached phone):"; echo "$errors"; }
echo "latency of successful calls: $latency"
echo "phones detached or attached: $flips times ($ctl_hangs ctl calls hung)"
echo "simulator RSS: start ${base_rss} kB, middle third ${mid_rss} kB, last third ${last_rss} kB, max ${max_rss} kB, end ${end_rss:-?} kB"
echo "simulator descriptors: start $base_fds, max $max_fds, end ${end_fds:-?}; threads: start $base_threads, max $max_threads, end ${end_threads:-?}"
echo "clients: up to $max_clients at once, largest RSS ${client_rss} kB, most descriptors $client_fds"

status=0
[ "$simd_alive" = 1 ] || { echo "FAIL: torvane-simd died"; tail -n 20 "$work/simd.log"; status=1; }
[ "$hangs" = 0 ] && [ "$ctl_hangs" = 0 ] || { echo "FAIL: $hangs client calls and $ctl_hangs ctl calls hung"; status=1; }
if [ "$simd_alive" = 1 ] && [ "$settled" = 0 ]; then
    echo "FAIL: the simulator kept $end_fds descriptors and $end_threads threads (at start $base_fds and $base_threads)"
    ls -l "/proc/$simd/fd" | tail -n +2 | awk '{ print "  " $NF }' | sort | uniq -c | sort -rn | head -n 5
    status=1
fi
[ "$memory_flat" = 1 ] || { echo "FAIL: simulator memory grew by $growth kB over the last third"; status=1; }
[ "$status" = 0 ] && echo "OK: no hang, no leak"
exit $status
