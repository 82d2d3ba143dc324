#!/bin/sh
# Runs a program on a private virtual X display. Exit 77 (skipped) when
# xvfb-run is not installed.
command -v xvfb-run >/dev/null 2>&1 || {
    echo "xvfb-run not found: skipping" >&2
    exit 77
}
exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
