#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the PNG write benchmark on camera photographs from a Debian package
# (fetched once into a cache, never by the tests). Optional argument: an
# ombrel-cli built before the segmented writer, for the whole-run rows.
# Usage: scripts/bench_png.sh [OLD_OMBREL_CLI] [benchmark options...]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$here/build}
cache=${OMBREL_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ombrel-bench}
photos=$cache/mate-backgrounds
if [ ! -d "$photos" ]; then
    mkdir -p "$cache"
    (cd "$cache" && apt-get download mate-backgrounds >/dev/null)
    dpkg-deb -x "$cache"/mate-backgrounds_*.deb "$photos"
fi
dir=$photos/usr/share/backgrounds/mate
# A Sony RX100 IV photograph of 5640 x 3172 and a Canon EOS 400D one.
export OMBREL_BENCH_PHOTO_LARGE="$dir/abstract/Elephants_5640x3172.jpg"
export OMBREL_BENCH_PHOTO_HD="$dir/nature/Storm.jpg"
if [ $# -gt 0 ]; then
    export OMBREL_BENCH_OLD_CLI="$1"
    shift
fi
cmake --build "$build" -j2 --target png_write_bench
exec nice -n 19 "$build/bench/png_write_bench" "$@"
