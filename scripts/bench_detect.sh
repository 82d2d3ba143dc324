#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Measures how detectable each way of hiding is: makes stego sets from the
# bench's photograph crops (scripts/bench_photos.sh), computes features,
# and prints the detection error P_E of an FLD ensemble trained and tested
# on disjoint photographs, as mean and spread over random splits.
#
# Usage: scripts/bench_detect.sh [spatial|jpeg]...   (default: spatial)
# Spatial methods (METHODS): plain (±1 at random positions), hill (changes
# drawn with the optimal probabilities for HILL costs), sealed (ombrel-cli
# encode -m sealed; OMBREL_CLI picks the program and SEALED_NAME the row's
# name, to set one version against another). RATES in bits per colour
# sample. JPEG methods (JMETHODS): jplain (±1 on non-zero AC coefficients),
# juerd (drawn with the optimal probabilities for UERD costs), jsealed
# (ombrel-cli encode -m sealed into a .jpg); RATES in bits per non-zero AC
# coefficient, at qualities 75 and 95.
# SIZE: the crops' side (256); SEED: another draw of the stego sets (the
# simulators' changes; sealed data is random anyway). Sets and features are
# kept in the cache; FRESH=1 makes them anew.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$here/build}
cache=${OMBREL_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/ombrel-bench}
export OMBREL_BENCH_CACHE="$cache"
RATES=${RATES:-0.05 0.1 0.2 0.4}
METHODS=${METHODS:-plain hill sealed}
JMETHODS=${JMETHODS:-jplain}
SPLITS=${SPLITS:-10}
FEATURES=${FEATURES---colour}
SEALED_NAME=${SEALED_NAME:-sealed}
FRESH=${FRESH:-0}
SIZE=${SIZE:-256}
SEED=${SEED:-1}
# Another seed is another draw of every stego set, kept apart.
draw=
[ "$SEED" = 1 ] || draw=-s$SEED

set_dir=$(BUILD="$build" "$here/scripts/bench_photos.sh" "$SIZE")
cmake --build "$build" -j2 --target ombrel-detect >/dev/null
cli=${OMBREL_CLI:-$build/cli/ombrel-cli}
# $1 the methods about to run: builds the program when one of them needs it.
need_cli() {
    case " $1 " in
    *sealed\ *) [ -n "${OMBREL_CLI:-}" ] || cmake --build "$build" -j2 --target ombrel-cli >/dev/null ;;
    esac
}
detect="nice -n 19 $build/bench/detect/ombrel-detect"
work=$cache/detect-$(basename "$set_dir")
mkdir -p "$work"
passphrase=$work/passphrase
[ -f "$passphrase" ] || head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$passphrase"

# $1 kind (spam or jfeat), $2 folder of pictures, $3 features file.
features() {
    if [ "$FRESH" = 1 ] || [ ! -s "$3" ]; then
        find "$2" -maxdepth 1 -type f \( -name '*.png' -o -name '*.jpg' \) | sort >"$3.list"
        if [ "$1" = spam ]; then
            # shellcheck disable=SC2086  # FEATURES holds options
            $detect spam $FEATURES "$3" "$3.list"
        else
            $detect jfeat "$3" "$3.list"
        fi
    fi
}

# $1 rate, $2 the carrier's raw bytes (one bit an element; empty: three
# a pixel), $3 cover, $4 output, $5 the format's own bytes (empty: the gap
# between the pixels' raw bytes and the sealed capacity reported): hides
# random data of the rate's size, less the format's own bytes. A cover
# whose format bytes alone pass the rate is left out, with a note in the
# work folder.
sealed() {
    set -- "$1" "$2" "$3" "$4" "${5:-}" "$("$cli" capacity --json "$3" |
        sed 's/.*"width":\([0-9]*\),"height":\([0-9]*\),.*"sealed":\([0-9]*\).*/\1 \2 \3/')"
    bytes=$(echo "$6" | awk -v r="$1" -v raw="$2" -v fixed="$5" \
        '{ if (raw == "") raw = 3 * $1 * $2 / 8; if (fixed == "") fixed = 3 * $1 * $2 / 8 - $3
           print int(r * raw + 0.5) - fixed }')
    if [ "$bytes" -lt 1 ]; then
        echo "$(basename "$3"): the format alone takes more than $1" >>"$work/skipped"
        return
    fi
    head -c "$bytes" /dev/urandom >"$work/d"
    # A failed encode is said and left out, not the end of the run.
    if ! nice -n 19 "$cli" -q encode -m sealed -f --passphrase-file "$passphrase" "$3" "$work/d" \
        "$4" </dev/null; then
        echo "$(basename "$3"): the encode at $1 failed" | tee -a "$work/skipped" >&2
    fi
}

# $1 method, $2 rate, $3 cover folder, $4 stego folder.
make_spatial() {
    mkdir -p "$4"
    for cover in "$3"/*.png; do
        out=$4/$(basename "$cover")
        case $1 in
        plain | hill) $detect simulate "$1" "$2" "$SEED" "$cover" "$out" ;;
        sealed) sealed "$2" "" "$cover" "$out" ;;
        *) echo "unknown method $1" >&2; return 1 ;;
        esac
    done
}

# $1 method, $2 rate, $3 quality folder, $4 stego folder.
make_jpeg() {
    mkdir -p "$4"
    for cover in "$3"/*.jpg; do
        out=$4/$(basename "$cover")
        case $1 in
        jplain) $detect jsimulate plain "$2" "$SEED" "$cover" "$out" ;;
        juerd) $detect jsimulate uerd "$2" "$SEED" "$cover" "$out" ;;
        # Salt 16, header 26, name length 2, tag 16: a JPEG's salt and header
        # are coded at the content's rate, not in regions of their own size.
        jsealed) sealed "$2" "$($detect nzac "$cover" | awk '{ print $1 / 8 }')" "$cover" "$out" 60 ;;
        *) echo "unknown JPEG method $1" >&2; return 1 ;;
        esac
    done
}

header() {
    echo "$1"
    printf '%-12s %-6s %-14s %-14s %6s %7s %6s %8s %8s\n' method rate "P_E(min) sd" "P_E(vote) sd" \
        pairs photos splits subspace features
}

# $1 row name, $2 rate, $3 cover features, $4 stego features, $5... options.
# (Its variables are prefixed: a shell function shares its caller's.)
row() {
    row_name=$1 row_rate=$2 row_cover=$3 row_stego=$4
    shift 4
    # shellcheck disable=SC2046  # the classifier prints one line of fields
    set -- $($detect classify --splits "$SPLITS" "$@" "$row_cover" "$row_stego" || true)
    if [ $# -lt 9 ]; then
        printf '%-12s %-6s (too few pairs to classify)\n' "$row_name" "$row_rate"
        return
    fi
    printf '%-12s %-6s %.3f %.3f    %.3f %.3f    %6s %7s %6s %8s %8s\n' "$row_name" "$row_rate" \
        "$1" "$2" "$3" "$4" "$5" "$6" "$7" "$8" "$9"
}

spatial() {
    tag=spam$(echo "$FEATURES" | tr -d ' -')
    cf=$work/cover-$tag.feat
    features spam "$set_dir/png" "$cf"
    need_cli "$METHODS"
    header "Spatial: $(wc -l <"$set_dir/crops.txt") crops, features: SPAM $FEATURES"
    row cover/cover - "$cf" "$cf" --null 1
    for method in $METHODS; do
        name=$method
        [ "$method" = sealed ] && name=$SEALED_NAME
        for rate in $RATES; do
            dir=$work/$name-$rate$draw
            if [ "$FRESH" = 1 ] || [ ! -d "$dir" ]; then
                rm -rf "$dir" "$dir"-*.feat
                make_spatial "$method" "$rate" "$set_dir/png" "$dir"
            fi
            features spam "$dir" "$dir-$tag.feat"
            row "$name" "$rate" "$cf" "$dir-$tag.feat"
        done
    done
}

# $1 cover folder, $2 stego folder: the carriers' total size against the
# bases', and against the bases with the same coefficients written as the
# carriers are (optimised Huffman tables), which leaves only what the
# changed coefficients cost.
size_change() {
    base=0 same=0 carrier=0
    for f in "$2"/*.jpg; do
        b=$1/$(basename "$f")
        $detect jsimulate plain 0 1 "$b" "$work/same.jpg"
        base=$((base + $(wc -c <"$b")))
        same=$((same + $(wc -c <"$work/same.jpg")))
        carrier=$((carrier + $(wc -c <"$f")))
    done
    awk -v b="$base" -v s="$same" -v c="$carrier" 'BEGIN {
        printf "             file size %+.2f %% against the bases, %+.2f %% against them rewritten\n",
            100 * (c - b) / b, 100 * (c - s) / s }'
}

jpeg() {
    need_cli "$JMETHODS"
    for q in 75 95; do
        cf=$work/cover-q$q.feat
        features jfeat "$set_dir/q$q" "$cf"
        header "JPEG quality $q: $(wc -l <"$set_dir/crops.txt") crops, coefficient features"
        row cover/cover - "$cf" "$cf" --null 1
        for method in $JMETHODS; do
            name=$method
            [ "$method" = jsealed ] && name=j$SEALED_NAME
            for rate in $RATES; do
                dir=$work/q$q-$name-$rate$draw
                if [ "$FRESH" = 1 ] || [ ! -s "$dir.feat" ]; then
                    rm -rf "$dir"
                    make_jpeg "$method" "$rate" "$set_dir/q$q" "$dir"
                    features jfeat "$dir" "$dir.feat"
                fi
                row "$name" "$rate" "$cf" "$dir.feat"
                if [ "$method" = jsealed ]; then
                    size_change "$set_dir/q$q" "$dir"
                    # The simulator on the crops the encode could take.
                    sim=$work/q$q-juerd-$rate$draw.feat
                    if [ -s "$sim" ]; then
                        awk 'NR == FNR { keep[$1] = 1; next } $1 in keep' "$dir.feat" "$sim" >"$dir.juerd"
                        row "  juerd" "$rate" "$cf" "$dir.juerd"
                    fi
                fi
            done
        done
    done
}

[ $# -gt 0 ] || set -- spatial
for part in "$@"; do
    case $part in
    spatial) spatial ;;
    jpeg) jpeg ;;
    *) echo "usage: $0 [spatial|jpeg]..." >&2; exit 2 ;;
    esac
done
