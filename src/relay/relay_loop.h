// SPDX-License-Identifier: ISC
// The wait on both endpoints, until SIGTERM asks it to stop.
#pragma once

#include <signal.h>

// Set on SIGTERM, read at the top of every round of the relay loop.
extern volatile sig_atomic_t m_exit;

// Relays until m_exit is set; highest_fd covers both endpoints and the stop pipe.
void run_relay_loop(int highest_fd);
