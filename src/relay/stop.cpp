// SPDX-License-Identifier: ISC
// The stop request. A flag alone is not enough: a SIGTERM that lands after the
// loop has checked it and before the wait begins would go unseen until the next
// frame. A signal mask around the wait (pselect) closes that gap but leaves the
// signal pending while a descriptor is ready, so a relay that is always behind
// never takes it. The handler writes a byte into this pipe instead, and the
// wait always has the read end in its set: never blocked, never starved.
#include "relay/stop.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "relay/endpoints.h"

volatile sig_atomic_t m_exit = 0;
int m_stop_fd = -1;

namespace {

int m_wake_fd = -1;

} // namespace

bool open_stop_pipe(int& highest_fd)
{
    // Non-blocking: a handler run by a flood of SIGTERMs must not stall on a full pipe.
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) == -1) {
        perror("pipe");
        return false;
    }
    m_stop_fd = ends[0];
    m_wake_fd = ends[1];
    // Only the read end is waited on.
    if (!fits_wait_set(m_stop_fd, "pipe")) {
        return false;
    }
    if (highest_fd < m_stop_fd) {
        highest_fd = m_stop_fd;
    }
    return true;
}

void wake_waits()
{
    int saved_errno = errno;
    const char byte = 0;
    // Fails harmlessly before the pipe exists, and when it is full: readable either way.
    ssize_t written = write(m_wake_fd, &byte, 1);
    static_cast<void>(written);
    errno = saved_errno;
}

void close_stop_pipe()
{
    if (m_stop_fd >= 0) {
        close(m_stop_fd);
    }
    if (m_wake_fd >= 0) {
        close(m_wake_fd);
    }
}
