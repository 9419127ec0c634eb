#!/usr/bin/env bash
# Runs the distribution's validators on what `cmake --install` and `cpack` make of a build:
# desktop-file-validate on every installed desktop file, the file managers' own rules on their
# actions, appstreamcli on the AppStream data, lintian on the Debian package. Any error fails,
# and so does any lintian warning but the one below. A failure prints the validator's words.
set -euo pipefail
build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null
root="$work/root"
share="$root/usr/share"

# Prints what a validator said about a file and whether it failed; every file is looked at
# before the script fails, so that one run names all of them.
failed=0
judge() {
    local file=$1 report=$2
    if [[ -n $report ]]; then
        echo "$report"
        echo "FAILED: ${file#"$share"/}"
        failed=1
    else
        echo "valid: ${file#"$share"/}"
    fi
}

# Errors fail with a non-zero status; warnings and hints are printed, and fail here too. A KDE
# service menu is a desktop file of KDE's own type, whose format gives that type the MimeType
# and Actions keys the validator knows only for applications.
kdeKeys='key "(MimeType|Actions)" is present in group "Desktop Entry", but the type is "Service" '
kdeKeys+='while this key is only valid for type "Application"$'
mapfile -t entries < <(find "$share" -name '*.desktop' | sort)
((${#entries[@]} > 0))
for entry in "${entries[@]}"; do
    report=$(desktop-file-validate "$entry" 2>&1) || true
    if [[ $entry == "$share"/kio/servicemenus/* ]]; then
        report=$(grep -Ev ": error: $kdeKeys" <<<"$report") || true
    fi
    judge "$entry" "$report"
done

# A Nemo action is a key file that Nemo reads itself: its group, a name, a command it can run,
# when it applies and to what.
mapfile -t actions < <(find "$share" -name '*.nemo_action' | sort)
for action in "${actions[@]}"; do
    report=$(python3 - "$action" "$root/usr/bin" <<'PYTHON' 2>&1
import configparser, os, sys
action, programs = sys.argv[1], sys.argv[2]
keys = configparser.RawConfigParser(delimiters=("=",), comment_prefixes=("#",))
keys.optionxform = str
keys.read(action, encoding="utf-8")
if keys.sections() != ["Nemo Action"]:
    sys.exit(f"{action}: the only group must be [Nemo Action], not {keys.sections()}")
group = keys["Nemo Action"]
for key in ("Name", "Exec", "Selection"):
    if not group.get(key):
        print(f"{action}: required key {key} is missing")
program = group.get("Exec", "").split(" ")[0]
if program and not os.access(os.path.join(programs, program), os.X_OK):
    print(f"{action}: Exec runs {program}, which is not installed")
if group.get("Selection") and group["Selection"].lower() not in ("s", "m", "any", "notnone", "none"):
    print(f"{action}: Selection {group.get('Selection')!r} is not one Nemo knows")
for key in ("Extensions", "Mimetypes"):
    if key in group and not group[key].endswith(";"):
        print(f"{action}: the list {key} must end with a semicolon")
if not group.get("Extensions") and not group.get("Mimetypes"):
    print(f"{action}: neither Extensions nor Mimetypes says which files it applies to")
PYTHON
    ) || true
    judge "$action" "$report"
done
((failed == 0))

report=$(appstreamcli validate --no-net "$share"/metainfo/com.brindlemoor.Plenwick.metainfo.xml \
    2>&1) || {
    echo "$report"
    exit 1
}
echo "$report"

report=$(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" 2>&1) || {
    echo "$report"
    exit 1
}
package=("$work"/package/*.deb)
echo "lintian: ${package[0]##*/}"
# initial-upload-closes-no-bugs asks for the bug that announces a new package in Debian's
# archive; this package is not uploaded there, so there is none to close.
lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs "${package[0]}"
echo "lintian: no errors and no warnings"
