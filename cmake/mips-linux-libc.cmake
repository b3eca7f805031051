# SPDX-License-Identifier: ISC
# The MIPS cross build against a C library other than glibc, as embedded
# firmware is built: Debian's mips-linux-gnu compiler with that library's
# headers, start files and shared library in place of glibc's, linked for its
# loader, and tests run under qemu-mips with the library's root as the
# target's. Included by mips-linux-musl.cmake and mips-linux-uclibc.cmake,
# which set quelmar_libc (musl, uclibc) and quelmar_libc_loader.
#
# The library is built from Debian's sources (tools/build_libc.sh) into
# QUELMAR_LIBC_ROOT, by default a directory named after it in the build tree,
# once: a build tree that has it never fetches or builds it again.

# The glibc build's file gives the compiler and the search modes; this one puts
# the other library's root in place of glibc's.
include(${CMAKE_CURRENT_LIST_DIR}/mips-linux-gnu.cmake)

# This file is read again for every compiler check, in a scratch project of its
# own: the root is handed on to those, and to other builds configured like this one.
if(NOT QUELMAR_LIBC_ROOT)
    set(QUELMAR_LIBC_ROOT ${CMAKE_BINARY_DIR}/${quelmar_libc} CACHE PATH
        "Where the C library is built and installed for this build")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUELMAR_LIBC_ROOT)
set(quelmar_libc_root ${QUELMAR_LIBC_ROOT})
if(NOT EXISTS ${quelmar_libc_root}/libc-version)
    message(STATUS "quelmar: building ${quelmar_libc} from Debian's sources in ${quelmar_libc_root}")
    string(TIMESTAMP began "%s")
    execute_process(COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/../tools/build_libc.sh ${quelmar_libc} ${quelmar_libc_root}
                            ${quelmar_cross_triple}- COMMAND_ERROR_IS_FATAL ANY)
    string(TIMESTAMP ended "%s")
    math(EXPR took "${ended} - ${began}")
    message(STATUS "quelmar: ${quelmar_libc} built in ${took} s")
endif()
if(NOT quelmar_libc_reported)
    set(quelmar_libc_reported ON)
    file(STRINGS ${quelmar_libc_root}/libc-version built)
    message(STATUS "quelmar: C library ${built} from ${quelmar_libc_root}")
endif()

# Headers: the library's and the compiler's own (stddef.h and the like) alone;
# there is no C++ standard library for it here, so nothing built may need one.
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE quelmar_compiler_include OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(quelmar_libc_compile "-nostdinc -isystem ${quelmar_libc_root}/include -isystem ${quelmar_compiler_include}")
set(CMAKE_C_FLAGS_INIT "${quelmar_libc_compile}")
set(CMAKE_CXX_FLAGS_INIT "${quelmar_libc_compile}")

# Linking: the library's crt1.o, crti.o and crtn.o (-B) and shared library (-L)
# come before glibc's; --sysroot places the paths in its linker scripts. The C
# driver links C++ objects without libstdc++, and -static-libgcc keeps libgcc_s
# out: Debian builds both against glibc, so code that needs them fails to link
# here rather than to load on the device (libraries too: --no-undefined).
set(CMAKE_CXX_COMPILER ${quelmar_cross_triple}-gcc)
# CMake takes the binutils' prefix from a C++ compiler's name only.
foreach(tool IN ITEMS ar ranlib strip nm objcopy objdump readelf)
    string(TOUPPER ${tool} variable)
    set(CMAKE_${variable} ${quelmar_cross_triple}-${tool} CACHE FILEPATH "${tool} of the cross toolchain")
endforeach()
set(quelmar_libc_link "--sysroot=${quelmar_libc_root} -B${quelmar_libc_root}/lib -L${quelmar_libc_root}/lib -static-libgcc")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${quelmar_libc_link} -Wl,--dynamic-linker=${quelmar_libc_loader}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${quelmar_libc_link} -Wl,--no-undefined")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${quelmar_libc_link} -Wl,--no-undefined")

set(CMAKE_FIND_ROOT_PATH ${quelmar_libc_root})

# CTest runs every test program through this, and the integration tests start
# the daemon through it: qemu finds the loader under the library's root.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -L ${quelmar_libc_root})
