# SPDX-License-Identifier: ISC
# Sourced by the demo and test commands: root, then the Debian packages they need.

# Runs the calling script again under sudo when it is not root already.
as_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    if ! command -v sudo >/dev/null 2>&1; then
        echo "$0: needs root (network namespaces, raw packet sockets, apt-get), and sudo is not installed" >&2
        exit 1
    fi
    exec sudo -- "$@"
}

# Installs those of the named Debian packages that are missing, saying which;
# nothing at all when every one is there.
need_packages() {
    missing=""
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q ' installed$'; then
            missing="$missing $package"
        fi
    done
    [ -n "$missing" ] || return 0
    echo "installing from Debian:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -o DPkg::Lock::Timeout=600 -q update
    # shellcheck disable=SC2086 # one word per package
    apt-get -o DPkg::Lock::Timeout=600 -q install -y --no-install-recommends $missing
}
