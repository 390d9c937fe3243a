#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs what a user would run from there.
#   installed_tree_test.sh BUILD_DIR VERSION DESKTOP_ID
set -euo pipefail

build=$1
version=$2
id=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/torvane-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Runs a command, keeping its exit status, stdout and stderr in $status, $out and $err.
capture() {
    set +e
    "$@" >"$work/out" 2>"$work/err"
    status=$?
    set -e
    out=$(cat "$work/out")
    err=$(cat "$work/err")
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log" >&2; exit 1; }

for file in bin/torvane bin/torvane-cli bin/torvane-simd \
    "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml" \
    "share/icons/hicolor/scalable/apps/$id.svg" "share/icons/hicolor/48x48/apps/$id.png" \
    "share/icons/hicolor/256x256/apps/$id.png" \
    share/man/man1/torvane.1.gz share/man/man1/torvane-cli.1.gz share/man/man1/torvane-simd.1.gz \
    share/doc/torvane/LICENSE; do
    [ -e "$prefix/$file" ] || fail "$file was not installed"
done
[ "$failures" -eq 0 ] || exit 1

# The desktop's own validators.
capture desktop-file-validate "$prefix/share/applications/$id.desktop"
[ "$status" -eq 0 ] && [ -z "$out$err" ] || fail "desktop-file-validate: $out $err"
capture appstreamcli validate --no-net --explain "$prefix/share/metainfo/$id.metainfo.xml"
[ "$status" -eq 0 ] || fail "appstreamcli validate: $out $err"
[ "$(head -c 4 "$prefix/share/icons/hicolor/48x48/apps/$id.png" | tail -c 3)" = PNG ] || fail "the 48x48 icon is no PNG"
grep -q "<project_license>GPL-3.0-or-later</project_license>" "$prefix/share/metainfo/$id.metainfo.xml" \
    || fail "the metainfo names no project licence"
cmp -s "$prefix/share/doc/torvane/LICENSE" "$(dirname "$0")/../../LICENSE" || fail "the installed LICENSE differs"

# Every man page renders without a warning and opens with its program's name.
for program in torvane torvane-cli torvane-simd; do
    capture env MANWIDTH=80 MAN_KEEP_FORMATTING= man --warnings -l "$prefix/share/man/man1/$program.1.gz"
    [ "$status" -eq 0 ] || fail "man $program: $err"
    [ -z "$err" ] || fail "man $program warns: $err"
    grep -q "^ *$program - " <<<"$out" || fail "man $program has no NAME line"
done

# --help and --version need no display; bad options give one line and a non-zero status.
nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)
capture "${nodisplay[@]}" "$prefix/bin/torvane" --help
[ "$status" -eq 0 ] && grep -q -- "--demo" <<<"$out" || fail "torvane --help without a display: $status $err"
capture "${nodisplay[@]}" "$prefix/bin/torvane" --version
[ "$status" -eq 0 ] && [ "$out" = "torvane $version" ] || fail "torvane --version: '$out' $err"
capture "${nodisplay[@]}" "$prefix/bin/torvane" --no-such-option
[ "$status" -ne 0 ] && [ "$(wc -l <<<"$err")" -eq 1 ] && grep -q "no-such-option" <<<"$err" \
    || fail "torvane with a bad option: status $status, '$err'"
for program in torvane-cli torvane-simd; do
    capture "${nodisplay[@]}" "$prefix/bin/$program" --help
    [ "$status" -eq 0 ] && grep -qi "usage" <<<"$out" || fail "$program --help: $status $err"
done
capture "${nodisplay[@]}" "$prefix/bin/torvane-simd" --version
[ "$status" -eq 0 ] && [ "$out" = "torvane-simd $version" ] || fail "torvane-simd --version: '$out' $err"
capture "${nodisplay[@]}" "$prefix/bin/torvane-simd" --no-such-option
[ "$status" -ne 0 ] && [ "$(wc -l <<<"$err")" -eq 1 ] || fail "torvane-simd with a bad option: '$err'"

# Every option a program's --help prints is in its man page, and so is every command and fault
# of the simulator's control interface; the page's roff escapes are taken out before looking.
page_text() {
    zcat "$1" | sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\&//g' -e 's/\\(..//g'
}
# Words that stand alone in TEXT: not part of a longer word or option.
has_word() {
    grep -qE -- "(^|[^[:alnum:]-])$1([^[:alnum:]-]|\$)" <<<"$2"
}
for program in torvane torvane-cli torvane-simd; do
    capture "${nodisplay[@]}" "$prefix/bin/$program" --help
    help=$out
    page=$(page_text "$prefix/share/man/man1/$program.1.gz")
    options=$(grep -oE -- '(^|[^[:alnum:]-])--?[[:alnum:]][[:alnum:]-]*' <<<"$help" | sed -E 's/^[^-]*//' | sort -u)
    [ -n "$options" ] || fail "no options found in $program --help"
    for option in $options; do
        has_word "$option" "$page" || fail "man $program lacks $option, which $program --help prints"
    done
    if [ "$program" = torvane-simd ]; then
        commands=$(awk '/^Control commands/ { inside = 1; next } inside && /^  [a-z]/ { print $1 }' <<<"$help")
        faults=$(awk '/is one of/ { inside = 1; next } inside && /^  [^ ]/ { inside = 0 } inside' <<<"$help" \
            | tr ',' '\n' | sed -E 's/^ *(or +)?//' | awk 'NF { print $1 }')
        [ "$(wc -w <<<"$commands")" -ge 5 ] && [ "$(wc -w <<<"$faults")" -ge 5 ] \
            || fail "torvane-simd --help lists no control commands or faults: $commands / $faults"
        for word in $commands $faults; do
            has_word "$word" "$page" || fail "man torvane-simd lacks $word, which torvane-simd --help lists"
        done
    fi
done

# The installed demo, as a new user runs it: a fresh HOME with the XDG folders inside it and no
# preferences of ours. torvane finds the simulator installed beside it, shows the demo phone, and
# quits by itself once it is shown (or after 30 seconds without one). Nothing in HOME may change:
# the demo's preferences and usage records live in its temporary folder, which goes with it.
demo_name=$(sed -n 's/^ *"name": *"\(.*\)",$/\1/p' "$(dirname "$0")/../../sim/profiles/demo.json" | head -n 1)
home="$work/home"
mkdir -p "$home" "$work/tmp" "$work/runtime"
chmod 700 "$work/runtime"
demo_env=(env -i PATH="$PATH" LANG=C.UTF-8 HOME="$home" XDG_CONFIG_HOME="$home/.config"
    XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache" XDG_STATE_HOME="$home/.local/state"
    XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen
    TORVANE_SIGNUP_URL=http://127.0.0.1:9 TORVANE_LOOKUP_URL=http://127.0.0.1:9)
snapshot() {
    (cd "$1" && find . -printf '%p %y %s %T@\n' | sort)
}
leftovers() {
    find "$work/tmp" -mindepth 1 -maxdepth 1 -name 'torvane-demo-*'
}
before=$(snapshot "$home")
capture "${demo_env[@]}" timeout 120 "$prefix/bin/torvane" --demo --screenshot "$work/window.png"
[ "$status" -eq 0 ] || fail "torvane --demo exited with $status: $err"
grep -qF "showing \"$demo_name Connected\"" <<<"$err" || fail "torvane --demo did not show \"$demo_name Connected\": $err"
[ -s "$work/window.png" ] || fail "torvane --demo saved no picture"
[ "$(snapshot "$home")" = "$before" ] || fail "torvane --demo changed HOME: $(diff <(echo "$before") <(snapshot "$home"))"
[ -z "$(leftovers)" ] || fail "torvane --demo left its folder behind: $(leftovers)"

# Waits up to SECONDS for COMMAND to succeed.
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}
simulator_of() {
    pgrep -P "$1" -x torvane-simd
}
# The window's device layer has paired with the demo phone: its event loop runs.
demo_started() {
    [ -n "$(simulator_of "$1")" ] && [ -n "$(find "$work/tmp" -path '*/state/*' -name pairings.plist 2>/dev/null)" ]
}
gone() {
    ! kill -0 "$1" 2>/dev/null
}

# Logging out sends SIGTERM; a terminal sends SIGINT and SIGHUP. Each ends the demo as closing the
# window does: the simulator stops and the temporary folder goes, with nothing left running.
for signal in TERM INT HUP; do
    "${demo_env[@]}" "$prefix/bin/torvane" --demo >/dev/null 2>"$work/signal.err" &
    pid=$!
    if ! wait_until 90 demo_started "$pid"; then
        fail "SIG$signal: the demo did not show its phone: $(cat "$work/signal.err")"
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        continue
    fi
    simulator=$(simulator_of "$pid")
    kill -"$signal" "$pid"
    if ! wait_until 30 gone "$pid"; then
        fail "SIG$signal: torvane is still running"
        kill -KILL "$pid"
    fi
    set +e
    wait "$pid"
    status=$?
    set -e
    expected=$((128 + $(kill -l "$signal")))
    [ "$status" -eq "$expected" ] || fail "SIG$signal: torvane exited with $status, not $expected: $(cat "$work/signal.err")"
    wait_until 10 gone "$simulator" || fail "SIG$signal: torvane-simd ($simulator) is still running"
    [ -z "$(leftovers)" ] || fail "SIG$signal: the demo's folder is left behind: $(leftovers)"
done
[ "$(snapshot "$home")" = "$before" ] || fail "the demo ended by signals changed HOME"

# Killed outright, torvane cannot clean up, but its simulator must not live on without it.
"${demo_env[@]}" "$prefix/bin/torvane" --demo >/dev/null 2>"$work/signal.err" &
pid=$!
if wait_until 90 demo_started "$pid"; then
    simulator=$(simulator_of "$pid")
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null || true
    wait_until 10 gone "$simulator" || fail "SIGKILL: torvane-simd ($simulator) outlived torvane"
else
    fail "SIGKILL: the demo did not show its phone: $(cat "$work/signal.err")"
    kill -KILL "$pid" 2>/dev/null || true
fi

# Docks match a window to its desktop entry by the window's class on X11 (the entry's
# StartupWMClass) and by the desktop file's name on Wayland (which Torvane reports to Qt).
wm_class=$(sed -n 's/^StartupWMClass=//p' "$prefix/share/applications/$id.desktop")
[ -n "$wm_class" ] || fail "the desktop entry names no StartupWMClass"
capture env -i PATH="$PATH" LANG=C.UTF-8 HOME="$work/xhome" TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/runtime" \
    TORVANE_SETTINGS_FILE="$work/x.conf" TORVANE_EVENT_STORE="$work/x.sqlite" USBMUXD_SOCKET_ADDRESS="UNIX:$work/none" \
    TORVANE_SIGNUP_URL=http://127.0.0.1:9 TORVANE_LOOKUP_URL=http://127.0.0.1:9 \
    timeout 120 xvfb-run -a bash -c '
        "$1" 2>/dev/null &
        for _ in $(seq 600); do
            class=$(xwininfo -root -tree | grep -o "(\"torvane\" \"[^\"]*\")" | head -n 1)
            [ -n "$class" ] && break
            sleep 0.1
        done
        kill -TERM $!
        wait $!
        echo "$class"' _ "$prefix/bin/torvane"
[ "$out" = "(\"torvane\" \"$wm_class\")" ] || fail "the window's class is '$out', the desktop entry's '$wm_class': $err"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) of the installed tree failed" >&2
    exit 1
fi
echo "installed tree: programs, desktop entry, metainfo, icons and man pages all good"
