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
    share/doc/torvane/copyright share/doc/torvane/changelog.gz; do
    [ -e "$prefix/$file" ] || fail "$file was not installed"
done
[ "$failures" -eq 0 ] || exit 1

# The desktop's own validators.
capture desktop-file-validate "$prefix/share/applications/$id.desktop"
[ "$status" -eq 0 ] && [ -z "$out$err" ] || fail "desktop-file-validate: $out $err"
capture appstreamcli validate --no-net --explain "$prefix/share/metainfo/$id.metainfo.xml"
[ "$status" -eq 0 ] || fail "appstreamcli validate: $out $err"
[ "$(head -c 4 "$prefix/share/icons/hicolor/48x48/apps/$id.png" | tail -c 3)" = PNG ] || fail "the 48x48 icon is no PNG"

# Every man page renders without a warning and opens with its program's name.
for program in torvane torvane-cli torvane-simd; do
    capture env MANWIDTH=80 MAN_KEEP_FORMATTING= man --warnings -l "$prefix/share/man/man1/$program.1.gz"
    [ "$status" -eq 0 ] || fail "man $program: $err"
    [ -z "$err" ] || fail "man $program warns: $err"
    grep -q "^ *$program - " <<<"$out" || fail "man $program has no NAME line"
done
capture env MANWIDTH=80 man -l "$prefix/share/man/man1/torvane-cli.1.gz"
grep -q "devices" <<<"$out" || fail "man torvane-cli does not list the commands"

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

# The installed demo: torvane finds the simulator installed beside it and shows the demo phone.
# It quits by itself once the phone is shown, or after 30 seconds without one.
demo_name=$(sed -n 's/^ *"name": *"\(.*\)",$/\1/p' "$(dirname "$0")/../../sim/profiles/demo.json" | head -n 1)
printf '[General]\nhasRunAppOnceKey=true\n' >"$work/Torvane.conf"
capture env QT_QPA_PLATFORM=offscreen TORVANE_SETTINGS_FILE="$work/Torvane.conf" \
    TORVANE_EVENT_STORE="$work/events.sqlite" TORVANE_SIGNUP_URL=http://127.0.0.1:9 TORVANE_LOOKUP_URL=http://127.0.0.1:9 \
    timeout 120 "$prefix/bin/torvane" --demo --screenshot "$work/window.png"
[ "$status" -eq 0 ] || fail "torvane --demo exited with $status: $err"
grep -qF "showing \"$demo_name Connected\"" <<<"$err" || fail "torvane --demo did not show \"$demo_name Connected\": $err"
[ -s "$work/window.png" ] || fail "torvane --demo saved no picture"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) of the installed tree failed" >&2
    exit 1
fi
echo "installed tree: programs, desktop entry, metainfo, icons and man pages all good"
