#!/usr/bin/env bash
# Start-up of the application on the demo phone: launches `torvane --demo` RUNS times (default 6)
# without a display (QT_QPA_PLATFORM=offscreen) for one user whose home folder lasts across the
# runs, so the first run is a new user's and the others a returning user's. Each run is timed from
# the launch to the log lines the window writes when its heading changes ("Window shows ..."),
# then ended with SIGTERM.
#   bench/run-startup-bench.sh [BUILD_DIR] [RUNS]
# STARTUP_APP runs another build's torvane (an anchor); STARTUP_VERBOSE=1 prints every timed line.
# Figures only: nothing here passes or fails on speed. Target: a returning user's window shows
# "<name> Connected" within 1 s of the launch.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
runs=${2:-6}
app=${STARTUP_APP:-$build_dir/app/torvane}
[ -n "${STARTUP_APP:-}" ] || cmake --build "$build_dir" --target torvane torvane-simd >/dev/null

home=$(mktemp -d /tmp/torvane-startup-bench-XXXXXX)
trap 'rm -rf "$home"' EXIT

STARTUP_APP="$app" STARTUP_HOME="$home" STARTUP_RUNS="$runs" python3 - <<'EOF'
import os, select, signal, subprocess, time

app = os.environ["STARTUP_APP"]
home = os.environ["STARTUP_HOME"]
runs = int(os.environ["STARTUP_RUNS"])
env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + "/.config", XDG_DATA_HOME=home + "/.local/share",
           XDG_CACHE_HOME=home + "/.cache", TORVANE_DEMO_STATE=home + "/demo", QT_QPA_PLATFORM="offscreen")
env.pop("USBMUXD_SOCKET_ADDRESS", None)

def one_run():
    """Seconds from launch to the first "Connecting" heading and to "... Connected", and the
    timed log lines of the run."""
    start = time.monotonic()
    process = subprocess.Popen([app, "--demo"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    lines = []
    connecting = connected = None
    pending = b""
    deadline = start + 30
    try:
        while connected is None and time.monotonic() < deadline:
            ready, _, _ = select.select([process.stderr], [], [], 0.5)
            if not ready:
                if process.poll() is not None:
                    break
                continue
            chunk = os.read(process.stderr.fileno(), 65536)
            if not chunk:
                break
            now = time.monotonic() - start
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                text = line.decode("utf-8", "replace")
                lines.append((now, text))
                if "Window shows" in text:
                    if "Connecting" in text and connecting is None:
                        connecting = now
                    if text.endswith(' Connected"'):
                        connected = now
    finally:
        # The demo's simulator is the application's child; without a signal handler in the
        # application it would outlive it, so it is ended here too, by its process id.
        children = []
        for task in os.listdir("/proc/%d/task" % process.pid) if process.poll() is None else []:
            try:
                with open("/proc/%d/task/%s/children" % (process.pid, task)) as listed:
                    children += [int(pid) for pid in listed.read().split()]
            except OSError:
                pass
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        for child in children:
            try:
                os.kill(child, signal.SIGTERM)
            except ProcessLookupError:
                continue
            for _ in range(100):
                try:
                    os.kill(child, 0)
                except ProcessLookupError:
                    break
                time.sleep(0.05)
    return connecting, connected, lines

def show(value):
    return "%.3f" % value if value is not None else "—"

print("run  user        'Connecting…' (s)  'Connected' (s)")
warm = []
for run in range(1, runs + 1):
    connecting, connected, lines = one_run()
    kind = "new" if run == 1 else "returning"
    print("%3d  %-10s  %17s  %15s" % (run, kind, show(connecting), show(connected)))
    if run > 1 and connected is not None:
        warm.append(connected)
    if os.environ.get("STARTUP_VERBOSE"):
        for at, text in lines:
            print("       %.3f  %s" % (at, text))
if warm:
    warm.sort()
    print("returning user: median %.3f s, best %.3f s, worst %.3f s over %d runs (target <= 1 s)"
          % (warm[len(warm) // 2], warm[0], warm[-1], len(warm)))
EOF
