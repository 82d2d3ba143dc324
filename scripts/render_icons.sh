#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the icon's PNG sizes from its SVG. Run after changing the SVG and
# commit the results: the build itself needs no SVG renderer.
# Needs rsvg-convert (Debian: librsvg2-bin).
set -eu
icons="$(cd "$(dirname "$0")/../data/icons/hicolor" && pwd)"
id=io.github.ombrel.Ombrel
for size in 16 24 32 48 64 128 256; do
    mkdir -p "$icons/${size}x${size}/apps"
    rsvg-convert -w "$size" -h "$size" "$icons/scalable/apps/$id.svg" \
        -o "$icons/${size}x${size}/apps/$id.png"
done
