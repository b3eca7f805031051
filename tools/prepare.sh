# SPDX-License-Identifier: ISC
# Sourced by the demo and test commands: root, then the Debian packages they need.

# Runs the calling script again under sudo when it is not root already.
as_root() {
    [ "$(id -u)" -eq 0 ] || {
        if ! command -v sudo >/dev/null 2>&1; then
            echo "$0: needs root (network namespaces, raw packet sockets, apt-get), and sudo is not installed" >&2
            exit 1
        fi
        exec sudo -- "$@"
    }
    # What a run as root makes in the tree (build trees, caches) goes back to the tree's owner at the
    # end, so that the user's own cmake --build in them works afterwards.
    owner=$(stat -c %u:%g .)
    if [ "$owner" != "0:0" ]; then
        trap 'find . -xdev -uid 0 -exec chown -h "$owner" {} +' EXIT
        trap 'exit 130' INT TERM
    fi
}

# The packages that are installed (held ones too), and those they provide
# (busybox-static provides busybox, gnuplot-qt gnuplot-nox), one name a line.
present_packages() {
    dpkg-query -W -f='${db:Status-Abbrev}|${Package}, ${Provides}\n' 2>/dev/null |
        sed -n 's/^.i *|//p' | tr ',' '\n' | sed 's/([^)]*)//; s/:.*//; s/[[:space:]]//g' | sort -u
}

# Installs those of the named Debian packages that are missing, saying which;
# nothing at all when every one is there or provided by one that is. A name
# may carry a version (NAME=VERSION), which is the one installed where it is
# missing. Nothing else on the machine changes: a package that would need
# another one removed (a conflict) or upgraded makes it stop and say which,
# before anything is installed.
need_packages() {
    present=$(present_packages)
    missing=""
    for package in "$@"; do
        if ! printf '%s\n' "$present" | grep -qxF "${package%%=*}"; then
            missing="$missing $package"
        fi
    done
    [ -n "$missing" ] || return 0
    echo "installing from Debian:$missing"
    export DEBIAN_FRONTEND=noninteractive
    # A repository that cannot be reached (a third-party one, say) fails the update, not the install.
    apt-get -o DPkg::Lock::Timeout=600 -q update || echo "apt-get update failed; going on with the lists there are" >&2
    # shellcheck disable=SC2086 # one word per package
    set -- apt-get -o DPkg::Lock::Timeout=600 -q install --no-install-recommends --no-remove $missing
    plan=$("$@" --simulate) || { printf '%s\n' "$plan" >&2; return 1; }
    upgrades=$(printf '%s\n' "$plan" | sed -n 's/^Inst \([^ ]*\) \[\([^]]*\)\].*/ \1 (\2 installed)/p')
    if [ -n "$upgrades" ]; then
        echo "not installed: that would upgrade packages of this machine:$upgrades;" \
            "upgrade them first (apt-get upgrade), or install$missing yourself" >&2
        return 1
    fi
    "$@" -y
}
