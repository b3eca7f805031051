# SPDX-License-Identifier: ISC
# Strips a copy of the daemon and reports its size, the size it takes on the
# device. With LIMIT (the size test), a size above LIMIT bytes, or a strip that
# fails, is an error; without (the report after every build), a strip that
# fails or is no program is only reported.
#
#   cmake -D STRIP=strip -D BINARY=quelmar -D OUTPUT=quelmar.stripped [-D LIMIT=bytes] -P stripped_size.cmake
foreach(required STRIP BINARY OUTPUT)
    if(NOT ${required})
        message(FATAL_ERROR "stripped_size.cmake needs -D ${required}=...")
    endif()
endforeach()

get_filename_component(name "${BINARY}" NAME)
file(REMOVE "${OUTPUT}")
execute_process(COMMAND "${STRIP}" -o "${OUTPUT}" "${BINARY}" RESULT_VARIABLE failed ERROR_VARIABLE error)
if(failed OR NOT EXISTS "${OUTPUT}")
    string(STRIP "${failed} ${error}" why)
    if(LIMIT)
        message(FATAL_ERROR "${name}: '${STRIP}' failed: ${why}")
    endif()
    message(STATUS "${name} stripped: size unknown, '${STRIP}' failed: ${why}")
    return()
endif()
file(SIZE "${OUTPUT}" size)
if(LIMIT)
    if(size GREATER LIMIT)
        message(FATAL_ERROR "${name} stripped: ${size} bytes, over the limit of ${LIMIT}")
    endif()
    message(STATUS "${name} stripped: ${size} bytes (limit ${LIMIT})")
else()
    message(STATUS "${name} stripped: ${size} bytes")
endif()
