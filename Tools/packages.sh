# shellcheck shell=bash
# Sourced by the set-up and the benchmark scripts: installs the Debian packages they need.

# ensure_packages PACKAGE... installs those that are not installed yet.
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    local sudo=()
    ((EUID == 0)) || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends \
        "${missing[@]}"
}
