// SPDX-License-Identifier: ISC
// The wait on both endpoints, until SIGTERM asks it to stop.
#pragma once

#include <signal.h>

// Set on SIGTERM, read at the top of every round of the relay loop.
extern volatile sig_atomic_t m_exit;

// Relays until m_exit is set, following the devices as they change;
// highest_fd covers both endpoints, the stop pipe and the link watch.
void run_relay_loop(int highest_fd, const char* eth_name, const char* nas_name);
