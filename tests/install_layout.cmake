# SPDX-License-Identifier: ISC
# Installs quelmar into a scratch root and checks the tree: the daemon in sbin, its manual page in
# section 8, and nothing else.
#
# This build's own install, into PREFIX:
#   cmake -D BUILD=dir -D PREFIX=dir -D SBINDIR=sbin -D MANDIR=share/man -D BINARY=... -D MANPAGE=... -P install_layout.cmake
# For each SDK named, a copy of SOURCE in WORK configured, built and installed (DESTDIR, prefix
# /usr) the way that SDK runs CMake, with CXX (and AR, NM, RANLIB) as its compiler, MAKE or NINJA
# as its build tool:
#   cmake -D "SDK=openwrt;buildroot" -D SOURCE=dir -D WORK=dir -D CXX=... -D AR=... -D NM=... -D RANLIB=...
#         -D MAKE=make -D NINJA=ninja -D MANPAGE=... -P install_layout.cmake

# Runs the command in ARGN; fails with its output unless it succeeds.
function(run what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(failed)
        message(FATAL_ERROR "${what} failed (${failed}):\n${output}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

function(check_tree root sbindir mandir built)
    file(GLOB_RECURSE installed RELATIVE "${root}" "${root}/*")
    list(SORT installed)
    set(expected "${mandir}/man8/quelmar.8" "${sbindir}/quelmar")
    list(SORT expected)
    if(NOT installed STREQUAL expected)
        message(FATAL_ERROR "installed: ${installed}\nexpected: ${expected}")
    endif()
    file(SHA256 "${root}/${mandir}/man8/quelmar.8" installed_hash)
    file(SHA256 "${MANPAGE}" source_hash)
    if(NOT installed_hash STREQUAL source_hash)
        message(FATAL_ERROR "the installed manual page differs from ${MANPAGE}")
    endif()
    # The installed daemon may differ from the built one by its run path, which
    # install takes out; it must still be a program of the build's kind.
    file(READ "${root}/${sbindir}/quelmar" installed_head LIMIT 20 HEX)
    file(READ "${built}" built_head LIMIT 20 HEX)
    if(NOT installed_head STREQUAL built_head)
        message(FATAL_ERROR "the installed daemon is not an ELF program like ${built}")
    endif()
    message(STATUS "installed: ${installed}")
endfunction()

if(NOT SDK)
    file(REMOVE_RECURSE "${PREFIX}")
    run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}")
    check_tree("${PREFIX}" "${SBINDIR}" "${MANDIR}" "${BINARY}")
    return()
endif()

# The flags below are those of OpenWrt's include/cmake.mk and Buildroot's package/pkg-cmake.mk
# and toolchain file, with the compiler flags each uses by default on MIPS (ath79, and
# qemu_mips32r2_malta with a C++ toolchain), less those for a MIPS CPU (-mno-branch-likely
# -mips32r2 -mtune=24kc -msoft-float) and OpenWrt's own -fhonour-copts, which a host compiler
# refuses; contrib/README.md names the revisions. The package's own options come last, as in
# contrib/openwrt/quelmar/Makefile and contrib/buildroot/quelmar/quelmar.mk.
set(package_options -DQUELMAR_ZVAPI=STANDIN)
foreach(sdk IN LISTS SDK)
    set(tree "${WORK}/${sdk}/quelmar-0.1.0")
    set(staging "${WORK}/${sdk}/staging")
    set(destdir "${WORK}/${sdk}/root")
    file(REMOVE_RECURSE "${WORK}/${sdk}")
    file(MAKE_DIRECTORY "${staging}/usr/lib")
    # Both build in the source tree, which is a copy: what the OpenWrt package's Build/Prepare
    # copies (Buildroot's rsync takes the rest of the tree too, which the build never reads).
    file(COPY "${SOURCE}/CMakeLists.txt" "${SOURCE}/LICENSE" "${SOURCE}/cmake" "${SOURCE}/doc" "${SOURCE}/src"
         DESTINATION "${tree}")
    if(sdk STREQUAL "openwrt")
        # TARGET_CFLAGS: CPU_CFLAGS, EXTRA_OPTIMIZATION, the prefix map, then hardening.mk's defaults
        # (format security, stack protector, FORTIFY_SOURCE=1, full RELRO; PIE only for packages
        # that ask); TARGET_LDFLAGS likewise. The settings for C and assembler are left out: the
        # project has no C.
        set(cflags "-Os -pipe -fno-caller-saves -fno-plt -fmacro-prefix-map=${tree}=quelmar-0.1.0 -Wformat"
                   "-Werror=format-security -fstack-protector -D_FORTIFY_SOURCE=1 -Wl,-z,now -Wl,-z,relro")
        set(ldflags "-L${staging}/usr/lib -fuse-ld=bfd -znow -zrelro")
        string(JOIN " " cflags ${cflags})
        run("OpenWrt's configure" "${CMAKE_COMMAND}" -E env "CFLAGS=${cflags}" "CXXFLAGS=${cflags}" "LDFLAGS=${ldflags}"
            "${CMAKE_COMMAND}" --no-warn-unused-cli -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_VERSION=1
            -DCMAKE_SYSTEM_PROCESSOR=${CMAKE_HOST_SYSTEM_PROCESSOR} -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER=${CXX}
            "-DCMAKE_EXE_LINKER_FLAGS:STRING=${ldflags}"
            "-DCMAKE_MODULE_LINKER_FLAGS:STRING=${ldflags} -Wl,-Bsymbolic-functions"
            "-DCMAKE_SHARED_LINKER_FLAGS:STRING=${ldflags} -Wl,-Bsymbolic-functions"
            -DCMAKE_AR=${AR} -DCMAKE_NM=${NM} -DCMAKE_RANLIB=${RANLIB} "-DCMAKE_FIND_ROOT_PATH=${staging}/usr"
            -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=BOTH -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY
            -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_STRIP=: -DCMAKE_INSTALL_PREFIX=/usr
            -DDL_LIBRARY=${staging} -DCMAKE_PREFIX_PATH=${staging} -DCMAKE_SKIP_RPATH=TRUE
            -DCMAKE_EXPORT_PACKAGE_REGISTRY=FALSE -DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=TRUE
            -DCMAKE_FIND_USE_PACKAGE_REGISTRY=FALSE -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=TRUE
            -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=FALSE -DCMAKE_FIND_PACKAGE_NO_SYSTEM_PACKAGE_REGISTRY=TRUE
            -DCMAKE_GENERATOR=Ninja -DBUILD_TESTING=OFF ${package_options} "${tree}"
            WORKING_DIRECTORY "${tree}")
        set(configured "${output}")
        run("OpenWrt's build" "${NINJA}" -C "${tree}")
        run("OpenWrt's install" "${CMAKE_COMMAND}" -E env "DESTDIR=${destdir}" "${NINJA}" -C "${tree}" install)
    elseif(sdk STREQUAL "buildroot")
        # Buildroot's toolchain file sets these (its platform file makes the system Linux), with
        # TARGET_CXXFLAGS (large files, -O2, FORTIFY_SOURCE=1 on glibc) and what its compiler
        # wrapper adds (stack protector strong, PIE, full RELRO) as the flags.
        set(toolchain_file "${WORK}/${sdk}/toolchainfile.cmake")
        file(WRITE "${toolchain_file}"
             "set(CMAKE_SYSTEM_NAME Linux)\n"
             "set(CMAKE_SYSTEM_VERSION 1)\n"
             "set(CMAKE_SYSTEM_PROCESSOR ${CMAKE_HOST_SYSTEM_PROCESSOR})\n"
             "set(CMAKE_BUILD_TYPE Release CACHE STRING \"\")\n"
             "set(CMAKE_CXX_FLAGS_RELEASE \" -DNDEBUG\" CACHE STRING \"\")\n"
             "set(CMAKE_CXX_FLAGS \"-D_LARGEFILE_SOURCE -D_LARGEFILE64_SOURCE -D_FILE_OFFSET_BITS=64 -O2 -g0"
             " -D_FORTIFY_SOURCE=1 -fstack-protector-strong -fPIE\" CACHE STRING \"\")\n"
             "set(CMAKE_EXE_LINKER_FLAGS \"-pie -Wl,-z,now -Wl,-z,relro\" CACHE STRING \"\")\n"
             "set(CMAKE_INSTALL_SO_NO_EXE 0)\n"
             "set(CMAKE_FIND_ROOT_PATH \"${staging}\")\n"
             "set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)\n"
             "set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)\n"
             "set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)\n"
             "set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)\n"
             "set(CMAKE_CXX_COMPILER \"${CXX}\")\n")
        run("Buildroot's configure" "${CMAKE_COMMAND}" "${tree}" "-GUnix Makefiles" -DCMAKE_MAKE_PROGRAM=${MAKE}
            -DCMAKE_TOOLCHAIN_FILE=${toolchain_file} -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_RUNSTATEDIR=/run
            -DCMAKE_COLOR_MAKEFILE=OFF -DBUILD_DOC=OFF -DBUILD_DOCS=OFF -DBUILD_EXAMPLE=OFF -DBUILD_EXAMPLES=OFF
            -DBUILD_TEST=OFF -DBUILD_TESTS=OFF -DBUILD_TESTING=OFF -DBUILD_SHARED_LIBS=ON ${package_options}
            WORKING_DIRECTORY "${tree}")
        set(configured "${output}")
        run("Buildroot's build" "${CMAKE_COMMAND}" --build "${tree}")
        run("Buildroot's install" "${CMAKE_COMMAND}" -E env "DESTDIR=${destdir}" "${CMAKE_COMMAND}" --install "${tree}")
    else()
        message(FATAL_ERROR "SDK must name openwrt or buildroot, not ${sdk}")
    endif()
    if(NOT configured MATCHES "zvdbg_printf from the stand-in")
        message(FATAL_ERROR "${sdk}: QUELMAR_ZVAPI=STANDIN did not give the stand-in:\n${configured}")
    endif()
    check_tree("${destdir}" usr/sbin usr/share/man "${tree}/quelmar")
endforeach()
