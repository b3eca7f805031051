# SPDX-License-Identifier: ISC
# Cross build for 32-bit big-endian MIPS with Debian's mips-linux-gnu
# toolchain (g++-mips-linux-gnu), its libraries under /usr/mips-linux-gnu,
# and tests run under user-mode emulation (qemu-user).
#
#   cmake -B build/mips --toolchain cmake/mips-linux-gnu.cmake
#
# Another vendor toolchain needs no change to the project: hand CMake its own
# toolchain file (CMAKE_TOOLCHAIN_FILE) or its compiler (CMAKE_CXX_COMPILER).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(quelmar_cross_triple mips-linux-gnu)
set(quelmar_cross_root /usr/${quelmar_cross_triple})

set(CMAKE_C_COMPILER ${quelmar_cross_triple}-gcc)
set(CMAKE_CXX_COMPILER ${quelmar_cross_triple}-g++)

# Libraries and headers (a vendor libzvapi.so.1 included) come from the
# target's tree only, never the host's; programs run at build time are host ones.
set(CMAKE_FIND_ROOT_PATH ${quelmar_cross_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs every test program through this, and the integration tests start
# the daemon through it. -L points the emulated dynamic loader at the target's
# libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -L ${quelmar_cross_root})
