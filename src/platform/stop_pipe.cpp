// SPDX-License-Identifier: ISC
// The stop pipe. A flag alone is not enough: a SIGTERM that lands after the
// loop has checked it and before the wait begins would go unseen until the next
// frame. A signal mask around the wait (pselect) closes that gap but leaves the
// signal pending while a descriptor is ready, so a relay that is always behind
// never takes it. The handler writes a byte into this pipe instead, and every
// wait has the read end in its set: never blocked, never starved.
#include "platform/stop_pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

int m_stop_fd = -1;

namespace {

// Read by the signal handler.
volatile sig_atomic_t m_wake_fd = -1;

} // namespace

bool open_stop_pipe()
{
    // Non-blocking: a handler run by a flood of SIGTERMs must not stall on a full pipe.
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) == -1) {
        return false;
    }
    m_stop_fd = ends[0];
    m_wake_fd = ends[1];
    return true;
}

void wake_waits()
{
    int saved_errno = errno;
    const char byte = 0;
    // Fails harmlessly while the pipe is not open, and when it is full: readable either way.
    ssize_t written = write(m_wake_fd, &byte, 1);
    static_cast<void>(written);
    errno = saved_errno;
}

// The write end first, and the handler's way to it gone before it closes: a
// SIGTERM in the shutdown writes neither into a closed descriptor nor into a
// pipe without a reader (an EPIPE only, SIGPIPE being ignored, but not left to
// that).
void close_stop_pipe()
{
    int wake_fd = m_wake_fd;
    m_wake_fd = -1;
    if (wake_fd >= 0) {
        close(wake_fd);
    }
    if (m_stop_fd >= 0) {
        close(m_stop_fd);
        m_stop_fd = -1;
    }
}
