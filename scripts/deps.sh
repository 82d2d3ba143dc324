#!/bin/sh
# Installs the Debian packages a build needs. Usage: deps.sh [gui]
set -eu
packages="cmake make g++ pkg-config zlib1g-dev libpng-dev libtiff-dev libjpeg-dev
libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev"
if [ "${1:-}" = gui ]; then
    packages="$packages libwxgtk3.2-dev"
fi
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
