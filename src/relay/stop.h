// SPDX-License-Identifier: ISC
// The stop request: the flag the relay loop checks, and a pipe that wakes any
// wait of the process once the flag is set.
#pragma once

#include <signal.h>

// Set on SIGTERM, read at the top of every round of the relay loop.
extern volatile sig_atomic_t m_exit;

// Read end of the stop pipe, -1 until it is open: readable from the moment a stop
// is asked, so a wait that has it in its set cannot miss the request.
extern int m_stop_fd;

// Opens the stop pipe and raises highest_fd to its read end. On failure the
// message has been written and whatever was opened is left for close_stop_pipe.
bool open_stop_pipe(int& highest_fd);

// Makes m_stop_fd readable. Async-signal-safe, and keeps errno.
void wake_waits();

void close_stop_pipe();
