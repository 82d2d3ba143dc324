#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a command under a real window manager (metacity) on the display it
# is given, then stops the window manager. Exit 77 (skipped) without it.
set -u
for tool in metacity wmctrl; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "$tool not found: skipping" >&2
        exit 77
    }
done
metacity --sm-disable >/dev/null 2>&1 &
wm=$!
trap 'kill "$wm" 2>/dev/null' EXIT
i=0
until wmctrl -m >/dev/null 2>&1; do
    i=$((i + 1))
    [ "$i" -ge 100 ] && { echo "FAIL: no window manager" >&2; exit 1; }
    sleep 0.1
done
"$@"
