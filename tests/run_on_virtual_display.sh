#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a program on a private virtual X display. Exit 77 (skipped) when
# the virtual display cannot be set up here: xvfb-run also needs Xvfb and
# xauth, which its package only recommends, and fails without them.
for tool in xvfb-run Xvfb xauth; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "$tool not found: skipping" >&2
        exit 77
    }
done
# A fresh configuration folder: the program remembers settings between
# starts, and neither the user's nor an earlier run's may leak in. The data
# folder too: what lands in the desktop's recent-files list stays here.
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
# No stdin: nothing here may wait for a terminal.
XDG_CONFIG_HOME=$config XDG_DATA_HOME=$config/data xvfb-run -a -s "-screen 0 1280x1024x24" "$@" </dev/null
