// SPDX-License-Identifier: ISC
// The pipe that wakes every wait of the process once a stop is asked: the
// relay loop's, and standard error's while it takes no text.
#pragma once

// Read end of the stop pipe, -1 while it is not open: readable from the moment
// a stop is asked, so a wait that has it in its set cannot miss the request.
extern int m_stop_fd;

// Opens the stop pipe; false, with errno set, if it could not be made.
bool open_stop_pipe();

// Makes m_stop_fd readable. Async-signal-safe, and keeps errno.
void wake_waits();

void close_stop_pipe();
