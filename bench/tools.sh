#!/usr/bin/env bash
# tools.sh TOOL OUTDIR PHOTO...
# One timed job of the benchmark: TOOL makes the three outputs of every photo, each
# into OUTDIR/<spec>/<photo name>.jpg (instagram and threads 1080 wide, facebook 2048
# on the longer edge, JPEG quality 85, never enlarged, upright, metadata left out).
# run.sh times this script as a whole, so only the work itself goes in here.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tool=$1 out=$2
shift 2

specs=(instagram threads facebook)
# The size each spec asks for, in the geometry syntax that vipsthumbnail and
# ImageMagick share: "Wx>" sets the width, "WxH>" fits inside; ">" never enlarges.
declare -A geometry=([instagram]='1080x>' [threads]='1080x>' [facebook]='2048x2048>')
# ImageMagick's shrink-on-load hint: libjpeg may decode at 1/2, 1/4 or 1/8 as long as
# the result still covers this size.
declare -A hint=([instagram]=1080x1080 [threads]=1080x1080 [facebook]=2048x2048)

stem() {
    local name=${1##*/}
    echo "${name%.*}"
}

case $tool in
plenwick)
    # A private home: its own preferences (the default specs), its own Pictures folder,
    # no session bus to post a notification on, and a feed address that refuses at once.
    # BENCH_TMPDIR names another temporary folder (the small tmpfs of the large share).
    home=$out/home
    mkdir -p "$home/.config" "$home/run" "$home/tmp"
    env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY \
        HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$home/run" \
        TMPDIR="${BENCH_TMPDIR:-$home/tmp}" PLENWICK_FEED_URL=http://127.0.0.1:9/ \
        "$PLENWICK_SHARE" ${PLENWICK_SHARE_OPTIONS:+"$PLENWICK_SHARE_OPTIONS"} "$@"
    ;;
vipsthumbnail)
    # One process per spec over all photos: how its batch mode is meant to be used.
    for spec in "${specs[@]}"; do
        mkdir -p "$out/$spec"
        vipsthumbnail -s "${geometry[$spec]}" -o "$out/$spec/%s.jpg[Q=85,strip]" "$@"
    done
    ;;
imagemagick)
    # One process per output, the usual command line; the chroma subsampling is named
    # because ImageMagick otherwise keeps the source's (4:4:4 for some photos).
    for photo; do
        for spec in "${specs[@]}"; do
            mkdir -p "$out/$spec"
            "$IMAGEMAGICK" -define jpeg:size="${hint[$spec]}" "$photo" -auto-orient \
                -thumbnail "${geometry[$spec]}" -strip -quality 85 -sampling-factor 2x2 \
                "$out/$spec/$(stem "$photo").jpg"
        done
    done
    ;;
sharp)
    node "$here/sharp-export.cjs" "$out" "$@"
    ;;
floor)
    # What any tool must at least spend: one DCT-scaled decode per photo to the smallest
    # eighth that still covers every output, then the three encodes, from pixels that
    # run.sh resampled beforehand into $FLOOR_INPUTS. No resampling, one thread.
    for spec in "${specs[@]}"; do mkdir -p "$out/$spec"; done
    for photo; do
        name=$(stem "$photo")
        read -r eighths <"$FLOOR_INPUTS/$name.scale"
        djpeg -scale "$eighths/8" -outfile /dev/null "$photo"
        for spec in "${specs[@]}"; do
            cjpeg -quality 85 -outfile "$out/$spec/$name.jpg" "$FLOOR_INPUTS/$name.$spec.ppm"
        done
    done
    ;;
*)
    echo "tools.sh: unknown tool $tool" >&2
    exit 2
    ;;
esac
