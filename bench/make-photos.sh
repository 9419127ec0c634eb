#!/usr/bin/env bash
# make-photos.sh DEST
# Builds the benchmark's photo set in DEST from photographs that Debian ships in its
# wallpaper packages: twelve JPEGs of 6 to 20 megapixels (mean about 12), written as
# baseline JPEGs the way cameras write them. Two portraits are stored the way phones
# store them: the pixels lying on their side with EXIF Orientation 6, so every tool
# has to turn them upright. Nothing is upscaled or re-encoded.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
dest=${1:?usage: make-photos.sh DEST}
source "$here/../Tools/packages.sh"
ensure_packages lomiri-wallpapers-16.04 lomiri-wallpapers-20.04 mate-backgrounds \
    libjpeg-turbo-progs libvips-tools python3

shipped=/usr/share/backgrounds
work=$(mktemp -d "${dest%/}.partial.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Most of the shipped files are progressive; jpegtran rewrites them as baseline
# without touching a coefficient.
upright() {
    jpegtran -copy all -outfile "$work/$1.jpg" "$shipped/$2"
}
# Turned a quarter to the left losslessly (-trim drops a partial edge block), then
# tagged so that a viewer turns them back to the original.
sideways() {
    jpegtran -copy none -rotate 270 -trim -outfile "$work/$1.jpg" "$shipped/$2"
    python3 "$here/set-orientation.py" "$work/$1.jpg" 6
}

upright kleiber Kleiber_by_Lukas_Baubkus.jpg                 # 6028x3391
upright elephants mate/abstract/Elephants_5640x3172.jpg       # 5640x3172, camera EXIF
upright sea Infinite-Sea_by_Aury88.jpg                        # 4096x4096, 4:4:4
upright seeding seeding_by_Clements_Engelhardt.jpg            # 5312x2988
upright dragonfly Dragonfly_by_Bolly.jpg                      # 4224x3168
upright sunset sunset_by_Aitzol_Berasategi.jpg                # 4272x2848
upright bridge Bridge_by_Sander_Klootwijk.jpg                 # 4352x2448
upright picos picosdeeuropa_by_Aitzol_Berasategi.jpg          # 3264x2448
upright life life_by_Aitzol_Berasategi.jpg                    # 3088x2056
upright aitzgorri aitzgorri_by_Aitzol_Berasategi.jpg          # 3088x2056
sideways wine-portrait Wine_by_Jakkub_Mede.jpg                # upright 2560x3837
sideways friends-portrait friends_by_Aitzol_Berasategi.jpg    # upright 2056x3088

rm -rf "$dest"
mv "$work" "$dest"
trap - EXIT
echo "Photo set in $dest:"
vipsheader "$dest"/*.jpg | sed 's/^/  /'
