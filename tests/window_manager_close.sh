#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Under a real window manager, its close request (what the close box,
# Alt+F4 and `wmctrl -c` send) closes the idle window. Run on a virtual
# display; argument: ombrel. Exit 77 (skipped) without the tools.
set -u
ombrel="$1"
for tool in metacity wmctrl; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "$tool not found: skipping" >&2
        exit 77
    }
done
home="$(mktemp -d)"
metacity --sm-disable >/dev/null 2>&1 &
wm=$!
trap 'kill "$wm" 2>/dev/null; rm -rf "$home"' EXIT

# waits up to 10 s for `test` to hold
wait_for() {
    i=0
    while ! eval "$1"; do
        i=$((i + 1))
        [ "$i" -ge 100 ] && return 1
        sleep 0.1
    done
}

wait_for 'wmctrl -m >/dev/null 2>&1' || { echo "FAIL: no window manager" >&2; exit 1; }
HOME="$home" XDG_DATA_HOME="$home/data" "$ombrel" &
app=$!
wait_for 'wmctrl -l | grep -q " Ombrel$"' || { echo "FAIL: no window" >&2; kill "$app"; exit 1; }
wmctrl -c Ombrel
if ! wait_for '! kill -0 "$app" 2>/dev/null'; then
    echo "FAIL: the window ignored the window manager's close request" >&2
    kill "$app"
    exit 1
fi
wait "$app" || { echo "FAIL: ombrel exited $?" >&2; exit 1; }
echo passed
