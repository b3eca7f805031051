// SPDX-License-Identifier: ISC
// A stand-in for the vendor's libzvapi.so.1, built only for the tests: each
// zvdbg_printf call is appended to the file named by QUELMAR_TEST_CONSOLE.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

// Opened on the first call. A plain global, not a function's static: that
// would need the C++ runtime's guard, which a musl build does not have.
FILE* m_console = nullptr;

} // namespace

extern "C" void zvdbg_printf(const char* format, ...)
{
    if (m_console == nullptr) {
        m_console = fopen(getenv("QUELMAR_TEST_CONSOLE"), "a");
    }
    if (m_console == nullptr) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    vfprintf(m_console, format, arguments);
    va_end(arguments);
    fflush(m_console);
}
