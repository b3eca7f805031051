#!/bin/sh
# SPDX-License-Identifier: ISC
# Builds the emulated board's (board/) fixed pieces into DIR, each once:
#   vmlinux        Linux from Debian's linux-source-6.1 (the .deb downloaded and
#                  unpacked here, never installed): tinyconfig with kernel.config
#   gen_init_cpio  the kernel's own tool, which packs an initramfs without root
#   busybox        a static BusyBox from Debian's source package, and busybox.links
#   nas-tun        the nas side's tun program (nas_tun.cpp), static
# FRAGMENT, if given, is merged into the kernel's configuration after
# kernel.config: a variant of the board's kernel, which the benchmark measures
# in a DIR of its own.
# Each piece is kept with a key that names what made it (package version,
# options, compiler, source); a piece whose key still matches is not built
# again. Needs the Debian packages of tests/run: g++-mips-linux-gnu, flex,
# bison, bc, dpkg-dev, xz-utils.
#
#   tools/build_board.sh DIR [FRAGMENT]    e.g. tools/build_board.sh build/board
set -eu
tools=$(cd "$(dirname "$0")" && pwd)
board=$tools/../board
# shellcheck source=/dev/null # tools/steps.sh, linted on its own
. "$tools/steps.sh"
mkdir -p "$1"
dir=$(cd "$1" && pwd)
fragment=${2:-/dev/null}
cross=mips-linux-gnu-
jobs=$(nproc 2>/dev/null || echo 2)

# apt-get or apt-cache with the lists chosen below: the machine's, or where they
# know no linux-source-6.1 (an image that cleaned them), lists of the build's own.
apt_lists=""
with_lists() {
    if [ -n "$apt_lists" ]; then
        tool=$1
        shift
        "$tool" -o Dir::State::Lists="$apt_lists" -o APT::Sandbox::User=root "$@"
    else
        "$@"
    fi
}

choose_lists() {
    rm -rf "$dir/apt-lists" "$dir/apt-lists.log"
    # apt-cache says "No packages found" with status 0.
    apt-cache show --no-all-versions linux-source-6.1 2>/dev/null | grep -q '^Package:' && return 0
    apt_lists=$dir/apt-lists
    mkdir -p "$apt_lists/partial"
    with_lists apt-get -q update >"$dir/apt-lists.log" 2>&1 ||
        { cat "$dir/apt-lists.log" >&2; fail "apt-get update into $apt_lists failed"; }
}

# The version of PACKAGE's source that apt's lists offer now, through its binary
# package's candidate (a binNMU names its source's version in Source:).
source_version() {
    record=$(with_lists apt-cache show --no-all-versions "$1" 2>/dev/null)
    [ -n "$record" ] || fail "apt knows no package $1"
    version=$(echo "$record" | sed -n "s/^Source: [^ ]* (\(.*\))$/\1/p")
    [ -n "$version" ] || version=$(echo "$record" | sed -n 's/^Version: //p')
    echo "$version"
}

compiler=$(${cross}gcc --version | head -n 1)

# The piece is up to date when its key file holds KEY; otherwise its work
# directory and log are made afresh.
stale() {
    piece=$1
    key=$2
    [ "$(cat "$dir/$piece.key" 2>/dev/null)" != "$key" ] || return 1
    work=$dir/$piece.work
    log=$dir/$piece.log
    rm -rf "$work" "$dir/$piece.old" "$dir/$piece.key"
    mkdir -p "$work"
    : >"$log"
    echo "board: building $piece" >&2
}

# The work directory (the kernel's tree is 1.2 GB) is removed in the background:
# nothing after needs to wait for it.
built() {
    mv "$work" "$dir/$1.old"
    rm -rf "$dir/$1.old" &
    echo "$key" >"$dir/$1.key"
}

# Every option of the fragments as the final .config must have it.
check_options() {
    sed -n 's/^\(CONFIG_[A-Z0-9_]*=.*\)$/\1/p; s/^# \(CONFIG_[A-Z0-9_]*\) is not set$/\1/p' "$board/kernel.config" \
        "$fragment" |
        while read -r option; do
            case $option in
            *=*) grep -qx "$option" "$1" ;;
            *) ! grep -q "^$option=" "$1" ;;
            esac || fail "$option did not hold in the kernel's configuration (a dependency missing from kernel.config?)"
        done
}

kernel() {
    version=$(source_version linux-source-6.1)
    stale vmlinux "linux-source-6.1 $version $(cat "$board/kernel.config" "$fragment" | sha256sum | cut -d" " -f1) $compiler" ||
        return 0
    (cd "$work" && logged with_lists apt-get -q -o APT::Sandbox::User=root download "linux-source-6.1=$version")
    # Documentation and the register headers of one GPU family are most of
    # the tree and none of this kernel; Kconfig reads Documentation/Kconfig.
    dpkg-deb --fsys-tarfile "$work"/linux-source-6.1_*.deb | tar -xO ./usr/src/linux-source-6.1.tar.xz |
        tar -xJ -C "$work" --exclude='linux-source-6.1/Documentation/*/*' \
            --exclude='linux-source-6.1/drivers/gpu/drm/amd/include/asic_reg'
    rm "$work"/linux-source-6.1_*.deb
    set -- make -C "$work/linux-source-6.1" ARCH=mips CROSS_COMPILE="$cross" O="$work/out"
    logged "$@" tinyconfig
    logged "$work/linux-source-6.1/scripts/kconfig/merge_config.sh" -m -O "$work/out" "$work/out/.config" \
        "$board/kernel.config" "$fragment"
    logged "$@" olddefconfig
    check_options "$work/out/.config"
    logged "$@" -j"$jobs" vmlinux
    cp "$work/out/vmlinux" "$work/out/usr/gen_init_cpio" "$dir/"
    built vmlinux
}

# BusyBox's defconfig without what the board never runs, which halves its
# build: the applets configured in these parts of its source, but for those
# named after them (the interface tools, ping, netstat, nc, mount, dmesg,
# hexdump, more; renice and chrt, which Buildroot's BusyBox has, for the
# benchmark's scheduling settings). Kept whole: the shells' ash, init,
# coreutils, editors, find, grep, procps, start-stop-daemon, syslogd and
# logger.
busybox_left_out="archival console-tools e2fsprogs klibc-utils loginutils mailutils miscutils modutils
    printutils runit selinux shell/hush.c networking util-linux"
busybox_kept="IP IPLINK IPADDR IPROUTE IPNEIGH FEATURE_IP_.* IFCONFIG FEATURE_IFCONFIG_.* PING FEATURE_FANCY_PING
    NETSTAT FEATURE_NETSTAT_.* NC NC_.* MOUNT FEATURE_MOUNT_.* UMOUNT FEATURE_UMOUNT_.* DMESG FEATURE_DMESG_.*
    HEXDUMP MORE ROUTE RENICE CHRT"

busybox() {
    version=$(source_version busybox)
    choice=$(echo "$busybox_left_out $busybox_kept" | sha256sum | cut -d" " -f1)
    stale busybox "busybox $version $choice $compiler" || return 0
    logged sh "$tools/debian_source.sh" "busybox=$version" "$work"
    source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'busybox-*')
    set -- make -C "$source_dir" CROSS_COMPILE="$cross"
    logged "$@" defconfig
    # shellcheck disable=SC2086 # one word per part
    (cd "$source_dir" && grep -rh '^//config:config ' $busybox_left_out) | awk '{ print $2 }' |
        grep -vxE "$(echo $busybox_kept | tr ' ' '|')" | sort -u >"$work/left-out"
    # Static against the cross toolchain's glibc: the image holds no C
    # library but the one quelmar's build brings.
    sed -i -e 's|^# CONFIG_STATIC is not set|CONFIG_STATIC=y|' \
        -e "$(sed 's|.*|s/^CONFIG_&=.*/# CONFIG_& is not set/|' "$work/left-out")" "$source_dir/.config"
    yes "" | logged "$@" oldconfig
    logged "$@" -j"$jobs" busybox busybox.links
    cp "$source_dir/busybox" "$source_dir/busybox.links" "$dir/"
    built busybox
}

nas_tun() {
    stale nas-tun "$(sha256sum <"$board/nas_tun.cpp" | cut -d" " -f1) $compiler" || return 0
    logged ${cross}g++ -std=c++20 -Os -static -Wall -Wextra -fno-exceptions -fno-rtti -o "$dir/nas-tun" \
        "$board/nas_tun.cpp"
    built nas-tun
}

# One build at a time per directory, whoever else asks for it.
exec 9>"$dir/lock"
flock 9
choose_lists
# BusyBox beside the kernel: each has long stretches on one core (unpacking,
# configuring, linking, removing the kernel's tree) that the other fills.
busybox &
busybox_job=$!
kernel
wait "$busybox_job" || fail "BusyBox did not build"
nas_tun
