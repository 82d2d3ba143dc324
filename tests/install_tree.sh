#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build into a temporary DESTDIR and checks the tree a desktop
# expects: both programs, the desktop entry, the icon at every size, the
# metainfo and the manual pages. The validators run where they are
# installed. Arguments: the build directory, the application id.
set -u
build="$1" id="$2"
dest="$(mktemp -d)"
trap 'rm -rf "$dest"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
has() { command -v "$1" >/dev/null 2>&1; }

DESTDIR="$dest" cmake --install "$build" --prefix /usr >"$dest.log" 2>&1 ||
    { cat "$dest.log" >&2; rm -f "$dest.log"; exit 1; }
rm -f "$dest.log"
root="$dest/usr"

for program in ombrel ombrel-cli; do
    [ -x "$root/bin/$program" ] || fail "bin/$program missing or not executable"
done
"$root/bin/ombrel-cli" --version | grep -q '^ombrel-cli [0-9]' || fail "installed ombrel-cli --version"

desktop="$root/share/applications/$id.desktop"
if [ ! -f "$desktop" ]; then
    fail "desktop entry missing"
else
    grep -qx "Icon=$id" "$desktop" || fail "desktop entry's Icon is not $id"
    grep -qx 'Exec=ombrel %f' "$desktop" || fail "desktop entry's Exec"
    if has desktop-file-validate; then
        desktop-file-validate "$desktop" || fail "desktop-file-validate"
    else
        echo "desktop-file-validate not found: desktop entry not validated"
    fi
fi

# A PNG's width and height are big-endian words at bytes 16 and 20.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{print $3*256+$4 "x" $7*256+$8}'; }
for size in 16 24 32 48 64 128 256; do
    png="$root/share/icons/hicolor/${size}x${size}/apps/$id.png"
    if [ ! -f "$png" ]; then
        fail "icon ${size}x${size} missing"
    elif [ "$(png_size "$png")" != "${size}x${size}" ]; then
        fail "icon ${size}x${size} is $(png_size "$png")"
    fi
done
[ -f "$root/share/icons/hicolor/scalable/apps/$id.svg" ] || fail "scalable icon missing"

metainfo="$root/share/metainfo/$id.metainfo.xml"
if [ ! -f "$metainfo" ]; then
    fail "metainfo missing"
else
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
        fail "metainfo does not launch $id.desktop"
    if has appstreamcli; then
        appstreamcli validate --no-net "$metainfo" >"$dest/appstream" 2>&1 ||
            fail "appstreamcli validate: $(cat "$dest/appstream")"
    else
        echo "appstreamcli not found: metainfo not validated"
    fi
fi

for page in ombrel ombrel-cli; do
    file="$root/share/man/man1/$page.1.gz"
    if [ ! -f "$file" ]; then
        fail "manual page $page.1 missing"
    elif has man; then
        warnings="$(MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)"
        [ -z "$warnings" ] || fail "man $page: $warnings"
        MANWIDTH=80 man -l "$file" 2>/dev/null | grep -q '^EXIT STATUS' || fail "man $page has no EXIT STATUS"
    fi
done

for doc in copyright changelog.gz; do
    [ -f "$root/share/doc/ombrel/$doc" ] || fail "doc/ombrel/$doc missing"
done

[ "$failures" -eq 0 ] && echo "passed"
exit "$failures"
