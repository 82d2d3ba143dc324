#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the steganalysis bench's picture sets from photographs that Debian
# ships (fetched once into a cache, never by the tests): colour crops of
# SIZE x SIZE after an integer downscale, as PNG and as JPEG at qualities 75
# and 95, named SOURCE-k; crops.txt records each crop's photograph.
# Usage: scripts/bench_photos.sh [SIZE]   (prints the set's folder)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$here/build}
size=${1:-256}
cache=${OMBREL_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ombrel-bench}
packages="mate-backgrounds python3-skimage lomiri-wallpapers-16.04 lomiri-wallpapers-20.04"
mkdir -p "$cache/debs" "$cache/pkg"
for p in $packages; do
    if [ ! -d "$cache/pkg/$p" ]; then
        (cd "$cache/debs" && apt-get download "$p" >/dev/null)
        dpkg-deb -x "$cache/debs/${p}"_*.deb "$cache/pkg/$p"
    fi
done

# Photographs only: drawings, renders and scans would make detection look
# easier or harder than on what users hide in.
mate=$cache/pkg/mate-backgrounds/usr/share/backgrounds/mate
skimage=$cache/pkg/python3-skimage/usr/lib/python3/dist-packages/skimage/data
l16=$cache/pkg/lomiri-wallpapers-16.04/usr/share/backgrounds
l20=$cache/pkg/lomiri-wallpapers-20.04/usr/share/backgrounds
photos=$(cat <<LIST
$mate/abstract/Elephants_5640x3172.jpg
$mate/nature/Aqua.jpg
$mate/nature/Blinds.jpg
$mate/nature/Dune.jpg
$mate/nature/FreshFlower.jpg
$mate/nature/Garden.jpg
$mate/nature/GreenMeadow.jpg
$mate/nature/LadyBird.jpg
$mate/nature/RainDrops.jpg
$mate/nature/Storm.jpg
$mate/nature/TwoWings.jpg
$mate/nature/Wood.jpg
$mate/nature/YellowFlower.jpg
$skimage/astronaut.png
$skimage/chelsea.png
$skimage/coffee.png
$skimage/motorcycle_left.png
$skimage/rocket.jpg
$l16/Bridge_by_Sander_Klootwijk.jpg
$l16/Dragonfly_by_Bolly.jpg
$l16/Picture_0B_by_freespace.jpg
$l16/Picture_1A_by_freespace.jpg
$l16/Wine_by_Jakkub_Mede.jpg
$l16/aitzgorri_by_Aitzol_Berasategi.jpg
$l16/analogpattern_by_Peter_Nerlich.jpg
$l16/free_by_Peter_Nerlich.jpg
$l16/friends_by_Aitzol_Berasategi.jpg
$l16/greentock_by_Peter_Nerlich.jpg
$l16/life_by_Aitzol_Berasategi.jpg
$l16/picosdeeuropa_by_Aitzol_Berasategi.jpg
$l16/seeding_by_Clements_Engelhardt.jpg
$l16/sunset_by_Aitzol_Berasategi.jpg
$l16/umang_by_Abhishek_Mudgal.jpg
$l20/Kleiber_by_Lukas_Baubkus.jpg
LIST
)

set_dir=$cache/crops-$size
if [ ! -f "$set_dir/crops.txt" ]; then
    cmake --build "$build" -j2 --target ombrel-detect >/dev/null
    rm -rf "$set_dir"
    mkdir -p "$set_dir/png" "$set_dir/q75" "$set_dir/q95"
    n=0
    echo "$photos" | while read -r photo; do
        n=$((n + 1))
        nice -n 19 "$build/bench/detect/ombrel-detect" crops --size "$size" --max 40 "$set_dir" \
            "$(printf 'p%02d' "$n")" "$photo"
    done >"$set_dir/crops.tmp"
    mv "$set_dir/crops.tmp" "$set_dir/crops.txt"
fi
echo "$set_dir"
