// The wait on both endpoints, until SIGTERM asks it to stop.
#pragma once

#include <signal.h>

// Set by the SIGTERM handler, read at the top of every round.
extern volatile sig_atomic_t m_exit;

// Blocks SIGTERM outside the wait, then relays until m_exit is set.
void run_relay_loop(int highest_fd);
