#!/usr/bin/env bash
# Runs the distribution's validators on what `cmake --install` and `cpack` make of a build:
# desktop-file-validate on the desktop entries, appstreamcli on the AppStream data, lintian on
# the Debian package. Any error fails, and so does any lintian warning but the one below.
set -euo pipefail
build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null
share="$work/root/usr/share"

# Errors fail with a non-zero status; warnings and hints are printed, and fail here too.
report=$(desktop-file-validate "$share"/applications/*.desktop "$share"/Thunar/sendto/*.desktop)
if [[ -n $report ]]; then
    echo "$report"
    exit 1
fi
echo "desktop-file-validate: $(cd "$share" && echo applications/*.desktop Thunar/sendto/*.desktop)"

appstreamcli validate --no-net "$share"/metainfo/com.brindlemoor.Plenwick.metainfo.xml

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null)
package=("$work"/package/*.deb)
echo "lintian: ${package[0]##*/}"
# initial-upload-closes-no-bugs asks for the bug that announces a new package in Debian's
# archive; this package is not uploaded there, so there is none to close.
lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs "${package[0]}"
echo "lintian: no errors and no warnings"
