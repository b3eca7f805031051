# SPDX-License-Identifier: ISC
# Strips a copy of the daemon and reports its size, the size it takes on the
# device; with LIMIT, a size above LIMIT bytes is an error.
#
#   cmake -D STRIP=strip -D BINARY=quelmar -D OUTPUT=quelmar.stripped [-D LIMIT=bytes] -P stripped_size.cmake
foreach(required STRIP BINARY OUTPUT)
    if(NOT ${required})
        message(FATAL_ERROR "stripped_size.cmake needs -D ${required}=...")
    endif()
endforeach()

execute_process(COMMAND "${STRIP}" -o "${OUTPUT}" "${BINARY}" COMMAND_ERROR_IS_FATAL ANY)
file(SIZE "${OUTPUT}" size)
get_filename_component(name "${BINARY}" NAME)
if(LIMIT)
    if(size GREATER LIMIT)
        message(FATAL_ERROR "${name} stripped: ${size} bytes, over the limit of ${LIMIT}")
    endif()
    message(STATUS "${name} stripped: ${size} bytes (limit ${LIMIT})")
else()
    message(STATUS "${name} stripped: ${size} bytes")
endif()
