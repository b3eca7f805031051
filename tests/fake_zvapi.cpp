// SPDX-License-Identifier: ISC
// A stand-in for the vendor's libzvapi.so.1, built only for the tests: each
// zvdbg_printf call is appended to the file named by QUELMAR_TEST_CONSOLE.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

extern "C" void zvdbg_printf(const char* format, ...)
{
    static FILE* console = fopen(getenv("QUELMAR_TEST_CONSOLE"), "a");
    if (console == nullptr) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    vfprintf(console, format, arguments);
    va_end(arguments);
    fflush(console);
}
