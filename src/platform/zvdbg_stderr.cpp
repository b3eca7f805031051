// SPDX-License-Identifier: ISC
// Stand-in for the vendor's zvdbg_printf: the text goes to standard error.
//
// A dump is 142 calls; writing each one would cost as many system calls. The
// text is collected here and written up to its last newline after every call,
// so a dump costs one write a line and no finished line is ever held back.
//
// A console can stop taking text (a serial line with flow control held, a
// reader that stopped reading). A blocking write would then wait for ever, and
// SA_RESTART would resume it after SIGTERM's handler. So the text goes out
// without blocking, and a full console is waited for with poll, which also
// returns once a stop is asked: the rest of the text is then dropped. Lost
// trace text is acceptable; a relay that cannot stop is not.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/zvdbg.h"
#include "relay/stop.h"

namespace {

// Far longer than any dump line; a single call's text beyond this is cut.
char m_console_text[512];
size_t m_console_length = 0;

// Where the text goes, chosen at the first write (-1 until then).
int m_console_fd = -1;
bool m_console_is_socket = false; // sent with MSG_DONTWAIT
bool m_console_blocks = false;    // every write waits for room first

// O_NONBLOCK on standard error itself would change the file description that
// the parent (a shell on the serial console) shares. Pipes and terminals are
// opened again through /proc instead, as a description of our own; sockets
// take MSG_DONTWAIT; files never stall.
void open_console()
{
    m_console_fd = STDERR_FILENO;
    struct stat status;
    if (fstat(STDERR_FILENO, &status) == -1) {
        return;
    }
    if (S_ISSOCK(status.st_mode)) {
        m_console_is_socket = true;
        return;
    }
    if (!S_ISFIFO(status.st_mode) && !S_ISCHR(status.st_mode)) {
        return;
    }
    int append = fcntl(STDERR_FILENO, F_GETFL) & O_APPEND;
    int fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | append);
    if (fd == -1) {
        m_console_blocks = true; // no /proc: wait for room before each write instead
        return;
    }
    m_console_fd = fd;
}

// Waits until the console takes text; false once a stop is asked or the console is gone.
bool await_console()
{
    struct pollfd waits[2] = {{m_console_fd, POLLOUT, 0}, {m_stop_fd, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) >= 0) {
            break;
        }
        if (errno != EINTR) {
            return false;
        }
    }
    return waits[1].revents == 0 && (waits[0].revents & POLLOUT) != 0;
}

ssize_t put(const char* text, size_t length)
{
    if (m_console_is_socket) {
        return send(m_console_fd, text, length, MSG_DONTWAIT);
    }
    return write(m_console_fd, text, length);
}

void write_all(const char* text, size_t length)
{
    if (m_console_fd == -1) {
        open_console();
    }
    while (length > 0) {
        if (m_console_blocks && !await_console()) {
            return;
        }
        ssize_t written = put(text, length);
        if (written > 0) {
            text += written;
            length -= static_cast<size_t>(written);
        } else if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ||
                   !await_console()) {
            return; // nowhere to report it: the console text is lost
        }
    }
}

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
    write_all(m_console_text, complete);
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
        write_all(m_console_text, m_console_length);
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
