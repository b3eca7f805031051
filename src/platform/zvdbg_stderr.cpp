// SPDX-License-Identifier: ISC
// Stand-in for the vendor's zvdbg_printf: the text goes to standard error.
//
// A dump is 142 calls; writing each one would cost as many system calls. The
// text is collected here and written up to its last newline after every call,
// so a dump costs one write a line and no finished line is ever held back.
//
// Standard error never holds the daemon up: where it takes no text for half a
// second, or once a stop is asked, the rest of the text is dropped (see
// standard_error.cpp).
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "platform/standard_error.h"
#include "platform/zvdbg.h"

namespace {

// Far longer than any dump line; a single call's text beyond this is cut.
char m_console_text[512];
size_t m_console_length = 0;

// Writes the buffered text through its last newline and keeps the rest.
void write_complete_lines()
{
    size_t complete = m_console_length;
    while (complete > 0 && m_console_text[complete - 1] != '\n') {
        complete--;
    }
    if (complete == 0) {
        return;
    }
    write_standard_error(m_console_text, complete);
    m_console_length -= complete;
    memmove(m_console_text, m_console_text + complete, m_console_length);
}

} // namespace

extern "C" void zvdbg_printf(const char* format, ...)
{
    va_list arguments;
    va_list retry;
    va_start(arguments, format);
    va_copy(retry, arguments);
    size_t room = sizeof m_console_text - m_console_length;
    int length = vsnprintf(m_console_text + m_console_length, room, format, arguments);
    if (length >= 0 && static_cast<size_t>(length) >= room) {
        // It did not fit behind an unfinished line: write that line out and format again.
        write_standard_error(m_console_text, m_console_length);
        m_console_length = 0;
        length = vsnprintf(m_console_text, sizeof m_console_text, format, retry);
    }
    va_end(retry);
    va_end(arguments);
    if (length < 0) {
        return;
    }
    m_console_length += static_cast<size_t>(length) < sizeof m_console_text
                            ? static_cast<size_t>(length)
                            : sizeof m_console_text - 1;
    write_complete_lines();
}
