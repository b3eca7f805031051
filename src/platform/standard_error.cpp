// SPDX-License-Identifier: ISC
// Standard error that never holds the relay up. It can stop taking text: a
// serial console with flow control held, a log reader that stopped reading.
// A blocking write would then wait for ever, and SA_RESTART would resume it
// after SIGTERM's handler. So the text goes out without blocking; a full
// standard error is waited for with poll, which a stop ends at once, and only
// for so long, after which the rest of the text is dropped. Where standard
// error cannot be full (a file, /dev/null, /dev/kmsg), a text costs its
// writes and nothing more: /dev/kmsg takes every write and never reports
// room to poll.
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

// How long one wait for room may last. A terminal reports room only once its
// transmit buffer (4 kB for a serial port) has drained below 256 bytes, and a
// pipe once its reader has emptied a whole 4 kB page: at 115200 baud (11.5
// kB/s) that is a third of a second after it was full. Half a second lets such
// a console take every line, and costs the relay that much once when standard
// error stops taking text.
constexpr int room_wait_ms = 500;

// How the text goes out, chosen at the first write.
enum output_way {
    unchosen,
    plain_writes,    // cannot be full: a file, /dev/null, /dev/kmsg; or takes nothing (open only for reading)
    own_description, // written without blocking through a description of our own
    socket_sends,    // sent with MSG_DONTWAIT
    guarded_writes,  // each write waits for room first, and SIGALRM cuts it short
};
output_way m_way = unchosen;
int m_output_fd = STDERR_FILENO;
// Set once a wait for room has run out: later texts are tried once, without
// waiting, until one goes through.
bool m_stalled = false;

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
// the parent (a shell on the serial console) shares. Pipes and character
// devices are opened again through /proc instead, as a description of our own:
// not a pty master (opened again, it makes a new pty, which nobody reads), nor
// a standard error open only for reading, which a plain write fails on (opened
// for writing, the read end of a pipe would become its write end). Where that
// open fails (no /proc, not permitted), a pipe or terminal is guarded; another
// character device (/dev/null, /dev/kmsg) is written as it is: it never holds
// a write. Sockets take MSG_DONTWAIT; files never stall.
void choose_way()
{
    m_way = plain_writes;
    struct stat status;
    int flags = fcntl(STDERR_FILENO, F_GETFL);
    if (fstat(STDERR_FILENO, &status) == -1 || flags == -1 || (flags & O_ACCMODE) == O_RDONLY) {
        return;
    }
    if (S_ISSOCK(status.st_mode)) {
        m_way = socket_sends;
        return;
    }
    if (!S_ISFIFO(status.st_mode) && !S_ISCHR(status.st_mode)) {
        return;
    }
    bool terminal = isatty(STDERR_FILENO) != 0;
    unsigned int pty_number; // a master has one, a slave not
    bool pty_master = terminal && ioctl(STDERR_FILENO, TIOCGPTN, &pty_number) == 0;
    int fd = -1;
    if (!pty_master) {
        fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (flags & O_APPEND));
    }
    if (fd >= 0) {
        m_output_fd = fd;
        m_way = own_description;
    } else if (terminal || S_ISFIFO(status.st_mode)) {
        catch_alarm();
        m_way = guarded_writes;
    }
}

// Waits until standard error takes text, for half a second at most: false
// once a stop is asked, standard error is gone, or the half second is over,
// which marks it stalled. A stalled standard error is not waited for: the
// write alone tries it, or, where a write could block, a look with poll. Every
// wait ends once a stop is asked: the stop pipe wakes it, or, before the pipe is
// there, SIGTERM ends the process.
bool await_room()
{
    if (m_stalled && m_way != guarded_writes) {
        return false;
    }
    struct pollfd waits[2] = {{m_output_fd, POLLOUT, 0}, {m_stop_fd, POLLIN, 0}};
    int ready;
    do { // interrupted only by SIGTERM's handler, after which the stop pipe ends the wait at once
        ready = poll(waits, 2, m_stalled ? 0 : room_wait_ms);
    } while (ready == -1 && errno == EINTR);
    if (ready == 0) {
        m_stalled = true;
    }
    return ready > 0 && waits[1].revents == 0 && (waits[0].revents & POLLOUT) != 0;
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
    if (m_way == socket_sends) {
        return send(m_output_fd, text, length, MSG_DONTWAIT);
    }
    if (m_way == guarded_writes) {
        return put_bounded(text, length);
    }
    return write(m_output_fd, text, length);
}

} // namespace

void write_standard_error(const char* text, size_t length)
{
    if (m_way == unchosen) {
        choose_way();
    }
    while (length > 0) {
        if (m_way == guarded_writes && !await_room()) {
            return;
        }
        ssize_t written = put(text, length);
        if (written > 0) {
            m_stalled = false;
            text += written;
            length -= static_cast<size_t>(written);
        } else if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ||
                   (m_way != guarded_writes && !await_room())) {
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
