#!/bin/sh
# SPDX-License-Identifier: ISC
# Builds a C library for the target with a cross compiler, from Debian's
# sources, and installs it into ROOT: headers in include/, the shared library,
# its loader and the start files in lib/, the cross toolchain's Linux headers
# beside the library's own. ROOT/libc-version, written last, names what was built.
#
#   build_libc.sh musl|uclibc ROOT CROSS_PREFIX    e.g. build_libc.sh musl build/mips-musl/musl mips-linux-gnu-
#
# cmake/mips-linux-libc.cmake runs it at a build's first configure, and
# tests/run earlier, in the background. One build at a time per ROOT: a second
# waits for the first, then finds the library built (ROOT/libc-version) and
# leaves it as it is. To build it again, remove ROOT.
#
# musl comes from Debian's source package (debian_source.sh: the machine's
# apt sources stay as they are). uClibc-ng comes from the tarball of Debian's
# uclibc-source package.
set -eu
# shellcheck source=/dev/null # tools/steps.sh, linted on its own
. "$(dirname "$0")/steps.sh"
libc=$1
# Absolute: the builds below run in the library's source directory.
root=$(mkdir -p "$(dirname "$2")" && cd "$(dirname "$2")" && pwd)/$(basename "$2")
cross=$3
work=$root.work
# shellcheck disable=SC2034 # read by logged (steps.sh)
log=$work/build.log
exec 9>"$root.lock"
if ! flock -n 9; then
    echo "${0##*/}: waiting for the build of $libc under way in $root" >&2
    flock 9
fi
[ ! -e "$root/libc-version" ] || exit 0
rm -rf "$work" "$root"
mkdir -p "$work/src"
jobs=$(nproc 2>/dev/null || echo 2)

fetch_musl() {
    logged sh "$(dirname "$0")/debian_source.sh" musl "$work/src"
}

build_musl() {
    source_dir=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'musl-*')
    version=$(sed -n '1s/^musl (\([^)]*\)).*/\1/p' "$source_dir/debian/changelog")
    cd "$source_dir"
    # --syslibdir: the loader goes beside libc.so, not into the machine's /lib.
    logged ./configure --target="${cross%-}" CROSS_COMPILE="$cross" --prefix="$root" --syslibdir="$root/lib" \
        --disable-static
    logged make -j"$jobs"
    logged make install
}

build_uclibc() {
    # shellcheck disable=SC2012 # Debian's own file names, the newest last
    tarball=$(ls /usr/src/uClibc-ng-*.tar.* 2>/dev/null | tail -n 1)
    [ -n "$tarball" ] || fail "no /usr/src/uClibc-ng-*.tar.*: install Debian's uclibc-source"
    tar -xf "$tarball" -C "$work/src"
    source_dir=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'uClibc-ng-*')
    version=${source_dir##*/uClibc-ng-}
    mkdir -p "$work/kernel"
    link_kernel_headers "$work/kernel"
    cd "$source_dir"
    logged make ARCH=mips defconfig
    # Big-endian o32 by default. Installed flat into ROOT (its loader looks in
    # /lib at run time). Without the loader's cache: the one on this machine is
    # glibc's, which it would read and call corrupt on every start under qemu.
    sed -i -e "s|^KERNEL_HEADERS=.*|KERNEL_HEADERS=\"$work/kernel\"|" \
        -e "s|^CROSS_COMPILER_PREFIX=.*|CROSS_COMPILER_PREFIX=\"$cross\"|" \
        -e 's|^RUNTIME_PREFIX=.*|RUNTIME_PREFIX="/"|' -e 's|^DEVEL_PREFIX=.*|DEVEL_PREFIX="/"|' \
        -e 's|^LDSO_CACHE_SUPPORT=y|# LDSO_CACHE_SUPPORT is not set|' .config
    logged make ARCH=mips olddefconfig
    grep -q '^ARCH_BIG_ENDIAN=y' .config || fail "uClibc-ng's configuration is not big-endian"
    logged make -j"$jobs"
    logged make install PREFIX="$root"
}

# The library ships no kernel headers; the cross toolchain's (linux/, asm/,
# asm-generic/) are taken, without its C library's headers around them.
link_kernel_headers() {
    kernel=$(echo '#include <linux/version.h>' | "${cross}gcc" -E -M -x c - | tr ' ' '\n' |
             sed -n 's|/linux/version\.h$||p' | head -n 1)
    for dir in linux asm asm-generic; do
        ln -sfn "$kernel/$dir" "$1/$dir"
    done
}

case $libc in
musl) fetch_musl; build_musl ;;
uclibc) build_uclibc ;;
*) fail "no such C library: $libc (musl or uclibc)" ;;
esac
link_kernel_headers "$root/include"
rm -rf "$work"
echo "$libc $version" >"$root/libc-version"
