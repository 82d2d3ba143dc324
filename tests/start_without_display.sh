#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The window program without a display: --help and --version answer, a
# wrong option is a usage error, and a plain start says in one line that no
# display is there. Argument: the ombrel program.
set -u
ombrel="$1"
unset DISPLAY WAYLAND_DISPLAY
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# run NAME STATUS ARGS...: runs ombrel, keeps its output in $out/NAME.{out,err}
run() {
    name="$1" want="$2"
    shift 2
    "$ombrel" "$@" >"$out/$name.out" 2>"$out/$name.err" </dev/null
    status=$?
    [ "$status" -eq "$want" ] || fail "ombrel $*: exit $status, expected $want"
}

run help 0 --help
grep -q '^Usage: ombrel \[FILE\]' "$out/help.out" || fail "--help prints no usage line"
[ -s "$out/help.err" ] && fail "--help wrote to stderr: $(cat "$out/help.err")"

run version 0 --version
grep -qx 'ombrel [0-9][0-9.]*' "$out/version.out" || fail "--version printed: $(cat "$out/version.out")"

run help_wins 0 picture.png --help
grep -q '^Usage:' "$out/help_wins.out" || fail "--help after a file printed no usage"

run unknown 2 --frobnicate
grep -q "unrecognized option '--frobnicate'" "$out/unknown.err" || fail "unknown option: $(cat "$out/unknown.err")"

run two_files 2 a.png b.png

run no_display 1 picture.png
[ "$(wc -l <"$out/no_display.err")" -eq 1 ] ||
    fail "no display: expected one line, got: $(cat "$out/no_display.err")"
[ -s "$out/no_display.out" ] && fail "no display: wrote to stdout"

[ "$failures" -eq 0 ] && echo "passed"
exit "$failures"
