# SPDX-License-Identifier: ISC
# Cross build for 32-bit big-endian MIPS against uClibc-ng, as Buildroot and
# vendor SDKs build firmware: uClibc-ng from Debian's uclibc-source in its
# default configuration for MIPS, linked for its loader.
#
#   cmake -B build/mips-uclibc --toolchain cmake/mips-linux-uclibc.cmake
set(quelmar_libc uclibc)
set(quelmar_libc_loader /lib/ld-uClibc.so.0)
include(${CMAKE_CURRENT_LIST_DIR}/mips-linux-libc.cmake)
