#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages a build and its tests need.
set -eu
packages="cmake make g++ pkg-config zlib1g-dev libpng-dev libtiff-dev libjpeg-dev
libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libwxgtk3.2-dev
libsodium-dev libzstd-dev libx11-dev
xvfb xauth metacity wmctrl xdotool procps desktop-file-utils appstream man-db dpkg-dev file
libjpeg-turbo-progs"
missing=""
for p in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $p" ;;
    esac
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $missing
else
    echo "Missing packages. Run as root:" >&2
    echo "    apt-get install -y$missing" >&2
    exit 1
fi
