#!/usr/bin/env bash
# run.sh [PHOTO_DIR]
# Times plenwick-share on a folder of JPEG photos against the tools a user would
# otherwise pick for the same job: sharp (when npm can install it), vipsthumbnail and
# ImageMagick with its shrink-on-load hint, next to the codec floor. Every tool makes
# the same three outputs per photo (instagram and threads 1080 wide, facebook 2048 on
# the longer edge, JPEG quality 85, never enlarged) into its own folder. Prints the
# milliseconds of wall time and of CPU per photo, the peak RSS and the ratios to
# plenwick-share, then checks the outputs and compares their pixels.
#
# The same for HEIC copies of six upright photos (heif-enc, quality 50), against
# vipsthumbnail: sharp's prebuilt libvips and Debian's ImageMagick read no HEIC.
#
# Then a share of 1,200 photos (hard links of the photo set) with TMPDIR on a 256 MB
# tmpfs: exit status, every output written, peak RSS, and its time per photo against
# the share of the photo set. Mounting needs root; without it that part is skipped.
# The ratios come last.
#
# Without PHOTO_DIR it makes twelve real photos of 6-20 MP from Debian's wallpaper
# packages (once; they are kept in the output folder).
#
# Environment:
#   BENCH_OUT       where photos, outputs and results go (default: build/bench)
#   BENCH_RUNS      timed runs per tool, the median is shown (default: 3)
#   BENCH_QUALITY   0 skips the pixel comparison (default: 1)
#   PLENWICK_SHARE  the program to time (default: build/release/plenwick-share)
#   BENCH_HEIC      0 skips the HEIC set (default: 1)
#   BENCH_MANY      photos in the large share, 0 skips it (default: 1200)
#   BENCH_MANY_TMP  a folder to use as TMPDIR of the large share instead of the tmpfs
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
source "$here/../Tools/packages.sh"

if (($# > 1)); then
    echo "usage: $0 [PHOTO_DIR]" >&2
    exit 2
fi
runs=${BENCH_RUNS:-3}
export PLENWICK_SHARE=${PLENWICK_SHARE:-$repo/build/release/plenwick-share}
if [ ! -x "$PLENWICK_SHARE" ]; then
    echo "$PLENWICK_SHARE is missing: build it first (./make.sh bench builds and runs)" >&2
    exit 2
fi
mkdir -p "${BENCH_OUT:-$repo/build/bench}"
out=$(cd "${BENCH_OUT:-$repo/build/bench}" && pwd)

ensure_packages libvips-tools imagemagick time libjpeg-turbo-progs libheif-examples python3
command -v npm >/dev/null || ensure_packages nodejs npm || echo "nodejs and npm could not be installed"

if (($#)); then
    photos=$(cd "$1" && pwd)
else
    photos=$out/photos
    [ -d "$photos" ] || "$here/make-photos.sh" "$photos"
fi
mapfile -t files < <(find "$photos" -maxdepth 1 -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) | sort)
if ((${#files[@]} == 0)); then
    echo "no JPEG photos in $photos" >&2
    exit 2
fi

# The real ImageMagick, not a wrapper that some machines put first on the PATH.
export IMAGEMAGICK
for IMAGEMAGICK in magick convert-im6.q16 convert; do
    command -v "$IMAGEMAGICK" >/dev/null && break
done

export SHARP_MODULE=$out/sharp/node_modules/sharp
if [ ! -f "$SHARP_MODULE/package.json" ] && command -v npm >/dev/null; then
    echo "Installing sharp with npm into $out/sharp"
    mkdir -p "$out/sharp"
    (cd "$out/sharp" && { [ -f package.json ] || echo '{ "private": true }' >package.json; } &&
        npm install --no-audit --no-fund --loglevel=error sharp) || true
fi
tools=(plenwick sharp vipsthumbnail imagemagick floor)
if ! command -v node >/dev/null || ! node -e 'require(process.env.SHARP_MODULE)' 2>/dev/null; then
    echo "sharp is not available (npm could not install it): skipped"
    tools=(plenwick vipsthumbnail imagemagick floor)
fi

# plenwick-share shows a window when it can; the terminal view is what we time.
export PLENWICK_SHARE_OPTIONS=
"$PLENWICK_SHARE" --help 2>/dev/null | grep -q -- --no-window && PLENWICK_SHARE_OPTIONS=--no-window

echo "Machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Tools: $("$PLENWICK_SHARE" --version 2>/dev/null | head -1); $(vips --version);" \
    "$("$IMAGEMAGICK" -version | sed -n 's/^Version: //p' | cut -d' ' -f1-3)"
if [[ " ${tools[*]} " == *" sharp "* ]]; then
    echo "       sharp $(node -p 'require(process.env.SHARP_MODULE + "/package.json").version')" \
        "on node $(node --version)"
fi

rm -rf "$out/out" "$out/logs" "$out/floor-inputs" "$out/quality" "$out/many"
mkdir -p "$out/out" "$out/logs"
echo "Reading ${#files[@]} photos in $photos"
python3 "$here/report.py" prepare "$out" "${files[@]}"
export FLOOR_INPUTS=$out/floor-inputs
cat "${files[@]}" >/dev/null # every tool starts with the photos in the page cache

# One timed job: SET TOOL RUN DIR PHOTO... appends set, tool, run, seconds, peak RSS in
# KiB, CPU seconds (user + system of the job and its children) and status.
timed() {
    local set=$1 tool=$2 run=$3 dir=$4
    shift 4
    local log=$out/logs/$set.$tool.$run status=0 start end seconds rss user system
    start=$(date +%s%N)
    /usr/bin/time -f '%M %U %S' -o "$log.time" bash "$here/tools.sh" "$tool" "$dir" "$@" \
        >"$log.out" 2>"$log.err" || status=$?
    end=$(date +%s%N)
    seconds=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')
    read -r rss user system < <(tail -1 "$log.time")
    printf '%s\t%s\t%d\t%s\t%s\t%s\t%d\n' "$set" "$tool" "$run" "$seconds" "$rss" \
        "$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')" "$status" \
        >>"$out/timings.tsv"
    printf '  %-4s run %d  %-14s %7s s%s\n' "$set" "$run" "$tool" "$seconds" \
        "$( ((status == 0)) || echo "  failed with status $status, see $log.err")"
    if [ "$tool" = plenwick ]; then
        # Its Socials folder holds one folder per spec, like the other tools' folders.
        for spec in "$dir"/home/Pictures/Socials/*/; do
            [ -d "$spec" ] && mv "$spec" "$dir/"
        done
    fi
    return 0
}

# Runs alternate between the tools, so that a change in the machine's load falls on all.
: >"$out/timings.tsv"
for ((run = 1; run <= runs; run++)); do
    for tool in "${tools[@]}"; do
        dir=$out/out/$tool
        rm -rf "$dir"
        mkdir -p "$dir"
        timed jpeg "$tool" "$run" "$dir" "${files[@]}"
    done
done
echo "plenwick-share's notification text: $(tail -1 "$out/logs/jpeg.plenwick.$runs.out")"

# HEIC: copies of six upright photos of 8-20 MP (mean 13 MP) from the default set, or of
# the six largest upright ones of another set, made once.
if [ "${BENCH_HEIC:-1}" != 0 ]; then
    heic=()
    mkdir -p "$out/heic"
    upright=()
    for name in kleiber seeding dragonfly sunset bridge picos; do
        [ -f "$photos/$name.jpg" ] && upright+=("$photos/$name.jpg")
    done
    ((${#upright[@]} == 6)) || mapfile -t upright < <(python3 "$here/report.py" heic-sources "$out" 6)
    for photo in "${upright[@]}"; do
        name=${photo##*/}
        target=$out/heic/${name%.*}.heic
        [ -s "$target" ] || heif-enc -q 50 -o "$target" "$photo" >/dev/null
        heic+=("$target")
    done
    cat "${heic[@]}" >/dev/null
    for ((run = 1; run <= runs; run++)); do
        for tool in plenwick vipsthumbnail; do
            dir=$out/out/heic-$tool
            rm -rf "$dir"
            mkdir -p "$dir"
            timed heic "$tool" "$run" "$dir" "${heic[@]}"
        done
    done
fi

# The large share: hard links of the photo set under distinct names, with TMPDIR on a
# tmpfs far too small to hold copies of them.
many=${BENCH_MANY:-1200}
if ((many > 0)); then
    tmp=${BENCH_MANY_TMP:-}
    if [ -z "$tmp" ]; then
        tmp=$out/small-tmp
        mkdir -p "$tmp"
        if mountpoint -q "$tmp"; then
            umount "$tmp"
        fi
        if ((EUID == 0)) && mount -t tmpfs -o size=256m,mode=1777 plenwick-bench "$tmp"; then
            trap 'umount "$out/small-tmp" 2>/dev/null || true' EXIT
        else
            tmp=
            echo "The large share needs root to mount its 256 MB tmpfs: skipped"
        fi
    fi
    if [ -n "$tmp" ]; then
        mkdir -p "$out/many/photos"
        linked=()
        for ((i = 0; i < many; i++)); do
            photo=${files[i % ${#files[@]}]}
            link=$out/many/photos/$((i / ${#files[@]}))-${photo##*/}
            ln -f "$photo" "$link"
            linked+=("$link")
        done
        echo "Sharing $many photos with TMPDIR on $(findmnt -n -o FSTYPE,SIZE --target "$tmp")"
        mkdir -p "$out/many/out"
        BENCH_TMPDIR=$tmp timed many plenwick 1 "$out/many/out" "${linked[@]}"
        written=$(find "$out/many/out" -name '*.jpg' | wc -l)
        printf '%d\t%d\n' "$many" "$written" >"$out/many.tsv"
    fi
fi
echo

status=0
python3 "$here/report.py" report "$out" | tee "$out/results.txt" || status=$?
echo
echo "Outputs in $out/out, results in $out/results.txt"
exit $status
