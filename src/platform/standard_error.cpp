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
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/stop_pipe.h"

namespace {

// Where the text goes, chosen at the first write (-1 until then).
int m_output_fd = -1;
bool m_output_is_socket = false; // sent with MSG_DONTWAIT
bool m_output_blocks = false;    // every write waits for room first, and SIGALRM cuts it short

// Caught without SA_RESTART, SIGALRM ends a blocking write with what it has
// written, or EINTR.
void cut_short(int /*signal*/) {}

void catch_alarm()
{
    struct sigaction action = {};
    action.sa_handler = cut_short;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm_only, nullptr);
}

// O_NONBLOCK on standard error itself would change the file description that
// the parent (a shell on the serial console) shares. Pipes and terminals are
// opened again through /proc instead, as a description of our own, where that
// reaches the same object: not for a pty master (opened again, it makes a new
// pty, which nobody reads), nor for a standard error open only for reading,
// which a plain write fails on (opened for writing, the read end of a pipe
// would become its write end). Sockets take MSG_DONTWAIT; files never stall.
void open_output()
{
    m_output_fd = STDERR_FILENO;
    struct stat status;
    int flags = fcntl(STDERR_FILENO, F_GETFL);
    if (fstat(STDERR_FILENO, &status) == -1 || flags == -1 || (flags & O_ACCMODE) == O_RDONLY) {
        return;
    }
    if (S_ISSOCK(status.st_mode)) {
        m_output_is_socket = true;
        return;
    }
    if (!S_ISFIFO(status.st_mode) && !S_ISCHR(status.st_mode)) {
        return;
    }
    unsigned int pty_number; // a master has one, a slave not
    bool reopens_as_itself =
        S_ISFIFO(status.st_mode) || (isatty(STDERR_FILENO) && ioctl(STDERR_FILENO, TIOCGPTN, &pty_number) == -1);
    int fd = -1;
    if (reopens_as_itself) {
        fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (flags & O_APPEND));
    }
    if (fd >= 0) {
        m_output_fd = fd;
    } else {
        catch_alarm(); // not to be opened again, no /proc, or not ours: wait for room, and bound each write
        m_output_blocks = true;
    }
}

// Waits until standard error takes text; false once a stop is asked or it is
// gone. Every such wait ends once a stop is asked: the stop pipe wakes it, or,
// before the pipe is there, SIGTERM ends the process.
bool await_room()
{
    struct pollfd waits[2] = {{m_output_fd, POLLOUT, 0}, {m_stop_fd, POLLIN, 0}};
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

// A blocking write can still wait where poll found room: another writer of the
// same pipe or terminal may fill it first. SIGALRM, every tenth of a second
// until it returns, sends it back to the wait for room.
ssize_t put_bounded(const char* text, size_t length)
{
    const struct itimerval every_tenth = {{0, 100000}, {0, 100000}};
    const struct itimerval off = {};
    setitimer(ITIMER_REAL, &every_tenth, nullptr);
    ssize_t written = write(m_output_fd, text, length);
    int saved_errno = errno;
    setitimer(ITIMER_REAL, &off, nullptr);
    errno = saved_errno;
    return written;
}

ssize_t put(const char* text, size_t length)
{
    if (m_output_is_socket) {
        return send(m_output_fd, text, length, MSG_DONTWAIT);
    }
    if (m_output_blocks) {
        return put_bounded(text, length);
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
