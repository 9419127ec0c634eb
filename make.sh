#!/usr/bin/env bash
# Set-up, build and the main jobs of Plenwick on Debian 12.
#   ./make.sh demo    install what is missing, build, share a few sample photos
#   ./make.sh test    install what is missing, build, run every test
#   ./make.sh bench   install what is missing, build, time Plenwick against the usual tools
set -euo pipefail
cd "$(dirname "$0")"
source Tools/packages.sh

PACKAGES=(
    cmake ninja-build g++ pkg-config git ca-certificates
    libvips-dev libvips-tools libsqlite3-dev libcurl4-openssl-dev
    libexpat1-dev nlohmann-json3-dev libutf8proc-dev libsystemd-dev
    qt6-base-dev libgl-dev libgtest-dev libgmock-dev dpkg-dev
    dbus dbus-daemon python3 python3-dbusmock openssl xdg-utils locales
    scdoc desktop-file-utils appstream lintian btrfs-progs
    clang-14 libclang-rt-14-dev
)
# bench/run.sh adds nodejs and npm only when npm is missing: some nodejs packages bring
# their own npm and conflict with the npm package.
BENCH_PACKAGES=(imagemagick time libheif-examples linux-perf)

# The tests check that records and log lines read the same under a German locale.
ensure_test_locale() {
    locale -a 2>/dev/null | grep -qix 'de_DE.utf-\?8' && return 0
    local sudo=()
    ((EUID == 0)) || sudo=(sudo)
    "${sudo[@]}" sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen ||
        echo 'de_DE.UTF-8 UTF-8' | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
    "${sudo[@]}" locale-gen
}

# build [TARGET...]: the release preset, all of it or just the targets named.
build() {
    cmake --preset release >/dev/null
    cmake --build --preset release ${1:+--target "$@"}
}

# The folder the share writes into: the Pictures folder that user-dirs.dirs names, + Socials.
output_root() {
    local pictures=""
    local dirs="${XDG_CONFIG_HOME:-$HOME/.config}/user-dirs.dirs"
    if [[ -f $dirs ]]; then
        pictures=$(sed -n 's/^XDG_PICTURES_DIR="\(.*\)"$/\1/p' "$dirs" | tail -n 1)
        pictures=${pictures/#\$HOME/$HOME}
    fi
    [[ -n $pictures && $pictures != "$HOME" && $pictures != "$HOME/" ]] || pictures="$HOME/Pictures"
    echo "$pictures/Socials"
}

demo() {
    local samples=build/samples
    rm -rf "$samples"
    build/release/Tools/plenwick-samples "$samples"
    echo "Sharing the sample photos in $samples: $(cd "$samples" && echo *)"
    local started
    started=$(mktemp)
    build/release/plenwick-share "$samples"/* || true
    local root
    root=$(output_root)
    echo "The files went to $root:"
    find "$root" -name '*.jpg' -newer "$started" -printf '  %P\n' | sort
    rm -f "$started"
}

case "${1:-}" in
demo)
    ensure_packages "${PACKAGES[@]}"
    build plenwick-share plenwick plenwick-samples
    demo
    ;;
test)
    ensure_packages "${PACKAGES[@]}"
    ensure_test_locale
    build
    ctest --preset release
    ;;
bench)
    ensure_packages "${PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
    build
    bench/run.sh "${@:2}"
    ;;
*)
    echo "usage: $0 demo|test|bench" >&2
    exit 2
    ;;
esac
