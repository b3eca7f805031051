# SPDX-License-Identifier: ISC
# Installs the build into a scratch prefix: the daemon must land in sbin, its
# manual page in section 8, and nothing else.
#
#   cmake -D BUILD=dir -D PREFIX=dir -D SBINDIR=sbin -D MANDIR=share/man -D BINARY=... -D MANPAGE=... -P install_layout.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)

file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
set(expected "${MANDIR}/man8/quelmar.8" "${SBINDIR}/quelmar")
list(SORT expected)
if(NOT installed STREQUAL expected)
    message(FATAL_ERROR "installed: ${installed}\nexpected: ${expected}")
endif()

file(SHA256 "${PREFIX}/${MANDIR}/man8/quelmar.8" installed_hash)
file(SHA256 "${MANPAGE}" source_hash)
if(NOT installed_hash STREQUAL source_hash)
    message(FATAL_ERROR "the installed manual page differs from ${MANPAGE}")
endif()
# The installed daemon may differ from the built one by its run path, which
# install takes out; it must still be a program of the build's kind.
file(READ "${PREFIX}/${SBINDIR}/quelmar" installed_head LIMIT 20 HEX)
file(READ "${BINARY}" built_head LIMIT 20 HEX)
if(NOT installed_head STREQUAL built_head)
    message(FATAL_ERROR "the installed daemon is not an ELF program like ${BINARY}")
endif()
message(STATUS "installed: ${installed}")
