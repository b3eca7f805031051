# SPDX-License-Identifier: ISC
# Cross build for 32-bit big-endian MIPS against musl, as OpenWrt builds
# firmware: musl 1.2 from Debian's source package, linked for musl's loader.
#
#   cmake -B build/mips-musl --toolchain cmake/mips-linux-musl.cmake
set(quelmar_libc musl)
set(quelmar_libc_loader /lib/ld-musl-mips.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/mips-linux-libc.cmake)
