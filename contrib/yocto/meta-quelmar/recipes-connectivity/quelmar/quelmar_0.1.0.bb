# SPDX-License-Identifier: ISC
SUMMARY = "Relays an Ethernet interface's frames to a nas interface"
DESCRIPTION = "quelmar relays every frame that arrives on an Ethernet-side interface \
to a nas-side interface (a tun-like interface carrying bare network-layer packets) \
without its Ethernet header. It needs libc alone."
SECTION = "net"
LICENSE = "ISC"
LIC_FILES_CHKSUM = "file://LICENSE;md5=963bc3a53c066fd85494ea7caf45dca8"

# The source is the quelmar tree this layer belongs to, five levels up from
# here (contrib/yocto/meta-quelmar/recipes-connectivity/quelmar): what the
# build reads, as the OpenWrt package copies it, and the two init files. A
# bbappend's own FILESEXTRAPATHS:prepend names another tree.
FILESEXTRAPATHS:prepend := "${THISDIR}/../../../../..:"
SRC_URI = "file://CMakeLists.txt file://LICENSE file://cmake file://doc file://src \
           file://contrib/systemd/quelmar.service file://contrib/busybox/S50quelmar"
S = "${UNPACKDIR}"

inherit cmake systemd update-rc.d

# The tests need Python and network namespaces on the build host.
EXTRA_OECMAKE = "-DBUILD_TESTING=OFF"

# The -v dump: through the vendor's libzvapi.so.1 (from the recipe that
# provides libzvapi) with zvapi, else to standard error through quelmar's
# stand-in. This choice alone decides, never what the sysroot holds.
PACKAGECONFIG ??= ""
PACKAGECONFIG[zvapi] = "-DQUELMAR_ZVAPI=VENDOR,-DQUELMAR_ZVAPI=STANDIN,libzvapi"

# Both read the interface names from /etc/default/quelmar, which is the
# device's: its own layer installs it.
SYSTEMD_SERVICE:${PN} = "quelmar.service"
INITSCRIPT_NAME = "quelmar"
INITSCRIPT_PARAMS = "defaults 50"

# Both go in as they ship; the systemd class keeps the one the distribution's
# init uses.
do_install:append() {
    install -D -m 0644 ${S}/contrib/systemd/quelmar.service ${D}${systemd_system_unitdir}/quelmar.service
    install -D -m 0755 ${S}/contrib/busybox/S50quelmar ${D}${INIT_D_DIR}/quelmar
}
