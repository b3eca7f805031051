// SPDX-License-Identifier: ISC
// Standard error without blocking. It can stop taking text: a serial console
// with flow control held, a log reader that stopped reading. A blocking write
// would then wait for ever, and SA_RESTART would resume it after SIGTERM's
// handler. So the text goes out without blocking, and a full standard error is
// waited for with poll, which also returns once a stop is asked.
#include "platform/standard_error.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/stop_pipe.h"

namespace {

// Where the text goes, chosen at the first write (-1 until then).
int m_output_fd = -1;
bool m_output_is_socket = false; // sent with MSG_DONTWAIT
bool m_output_blocks = false;    // every write waits for room first

// O_NONBLOCK on standard error itself would change the file description that
// the parent (a shell on the serial console) shares. Pipes and terminals are
// opened again through /proc instead, as a description of our own; sockets
// take MSG_DONTWAIT; files never stall.
void open_output()
{
    m_output_fd = STDERR_FILENO;
    struct stat status;
    if (fstat(STDERR_FILENO, &status) == -1) {
        return;
    }
    if (S_ISSOCK(status.st_mode)) {
        m_output_is_socket = true;
        return;
    }
    if (!S_ISFIFO(status.st_mode) && !S_ISCHR(status.st_mode)) {
        return;
    }
    int append = fcntl(STDERR_FILENO, F_GETFL) & O_APPEND;
    int fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | append);
    if (fd == -1) {
        m_output_blocks = true; // no /proc: wait for room before each write instead
        return;
    }
    m_output_fd = fd;
}

// Whether a stop can end a wait here: the stop pipe wakes it, or, before the
// SIGTERM handler is installed, SIGTERM's default action ends the process. Not
// so once the handler is there without the pipe (it could not be made).
bool stop_ends_waits()
{
    struct sigaction sigterm;
    return m_stop_fd >= 0 || (sigaction(SIGTERM, nullptr, &sigterm) == 0 && sigterm.sa_handler == SIG_DFL);
}

// Waits until standard error takes text; false once a stop is asked or it is
// gone. Where no stop could end the wait, it only looks.
bool await_room()
{
    struct pollfd waits[2] = {{m_output_fd, POLLOUT, 0}, {m_stop_fd, POLLIN, 0}};
    int timeout = stop_ends_waits() ? -1 : 0;
    for (;;) {
        if (poll(waits, 2, timeout) >= 0) {
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
    if (m_output_is_socket) {
        return send(m_output_fd, text, length, MSG_DONTWAIT);
    }
    return write(m_output_fd, text, length);
}

} // namespace

void write_standard_error(const char* text, size_t length)
{
    if (m_output_fd == -1) {
        open_output();
    }
    while (length > 0) {
        if (m_output_blocks && !await_room()) {
            return;
        }
        ssize_t written = put(text, length);
        if (written > 0) {
            text += written;
            length -= static_cast<size_t>(written);
        } else if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) || !await_room()) {
            return; // nowhere to report it: the text is lost
        }
    }
}

void print_standard_error(const char* format, ...)
{
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length > 0) {
        write_standard_error(text, static_cast<size_t>(length) < sizeof text ? static_cast<size_t>(length)
                                                                              : sizeof text - 1);
    }
}

void report_errno(const char* prefix)
{
    print_standard_error("%s: %s\n", prefix, strerror(errno));
}
