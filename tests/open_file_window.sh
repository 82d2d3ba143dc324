#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# `ombrel FILE` on a virtual display: an image that carries a hidden file
# lands in the Input File field, any other file in the base image field
# with its capacity report. Arguments: ombrel, ombrel-cli, a plain image.
# Exit 77 (skipped) without a virtual display.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
ombrel="$1" cli="$2" plain="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

mkdir "$work/data"
printf 'hidden words\n' >"$work/data/note.txt"
"$cli" -q encode -m 777 "$plain" "$work/data/note.txt" "$work/carrier.png" || exit 1
cp "$plain" "$work/plain image.bmp"  # a space, as file managers pass them

# expect FILE BASE INPUT CAPACITY FOCUS ENTER: the fields the window shows
# for FILE, where the focus waits, and what Enter then does or says
expect() {
    file="$1"
    sh "$here/run_on_virtual_display.sh" "$ombrel" --self-test-fields "$file" >"$work/shown" 2>"$work/err"
    status=$?
    [ "$status" -eq 77 ] && exit 77
    [ "$status" -eq 0 ] || fail "ombrel $file: exit $status: $(cat "$work/err")"
    printf 'base image: %s\ninput file: %s\ncapacity: %s\nfocus: %s\nenter: %s\n' \
        "$2" "$3" "$4" "$5" "$6" >"$work/wanted"
    cmp -s "$work/shown" "$work/wanted" ||
        fail "ombrel $file shows:
$(cat "$work/shown")
expected:
$(cat "$work/wanted")"
}

# Enter right after start decodes a carrier: the file comes out beside it.
expect "$work/carrier.png" "" "$work/carrier.png" "" "input file" \
    "Extracted note.txt (13 bytes, method 777)"
cmp -s "$work/data/note.txt" "$work/note.txt" || fail "Enter extracted nothing"
expect "$work/plain image.bmp" "$work/plain image.bmp" "" "Method : Bytes" "base image" \
    "You must choose a data file"
expect "$work/missing.bmp" "$work/missing.bmp" "" \
    "The image you have selected is not a valid image file" "base image" \
    "You must choose a data file"

[ "$failures" -eq 0 ] && echo "passed"
exit "$failures"
