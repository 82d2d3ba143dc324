#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Sealed version 1 and this build's sealed side by side in one run: 1 MiB sealed into the
# same camera photograph (5640 x 3172, from a Debian package fetched once
# into a cache), each encode and decode timed three times, alternating.
# Version 1 comes from the last commit that wrote it, built once into the
# cache. Usage: scripts/bench_sealed_versions.sh [BUILD_DIR]
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build}
cache=${OMBREL_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ombrel-bench}
mkdir -p "$cache"
photos=$cache/mate-backgrounds
if [ ! -d "$photos" ]; then
    (cd "$cache" && apt-get download mate-backgrounds >/dev/null)
    dpkg-deb -x "$cache"/mate-backgrounds_*.deb "$photos"
fi
base=$photos/usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg
first=$cache/ombrel-cli-v1
if [ ! -x "$first" ]; then
    src=$(mktemp -d)
    git -C "$repo" archive 80ec142 | tar -x -C "$src"
    cmake -S "$src" -B "$src/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$src/build" -j2 --target ombrel-cli >/dev/null
    cp "$src/build/cli/ombrel-cli" "$first"
    rm -rf "$src"
fi
second=$build/cli/ombrel-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 1048576 /dev/urandom > "$work/data.bin"
printf 'benchmark\n' > "$work/pass"

now() { date +%s.%N; }
# Seconds a command takes, its output thrown away.
timed() {
    start=$(now)
    "$@" >/dev/null 2>&1
    awk "BEGIN { printf \"%.2f\", $(now) - $start }"
}
for round in 1 2 3; do
    for v in 1 2; do
        cli=$first
        [ $v = 2 ] && cli=$second
        rm -f "$work/v$v.png"
        e=$(timed "$cli" -q encode -m sealed --passphrase-file "$work/pass" "$base" "$work/data.bin" "$work/v$v.png")
        rm -rf "$work/out$v" && mkdir "$work/out$v"
        d=$(timed "$second" -q decode --passphrase-file "$work/pass" -o "$work/out$v" "$work/v$v.png")
        cmp -s "$work/data.bin" "$work/out$v/data.bin" || { echo "version $v: decode failed" >&2; exit 1; }
        name="version 1"
        [ $v = 2 ] && name="this build"
        echo "round $round $name encode $e s decode $d s"
    done
done
