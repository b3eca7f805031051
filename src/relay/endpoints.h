// SPDX-License-Identifier: ISC
// The two packet endpoints: one raw link-layer socket per interface.
#pragma once

#include <linux/if_packet.h>

// Descriptors are -1 until their socket exists (and stay -1 if it could not be made).
extern int m_sockfd_eth;
extern int m_sockfd_nas;
// The nas-side address is also the destination of every relayed frame.
extern struct sockaddr_ll m_sockaddr_eth;
extern struct sockaddr_ll m_sockaddr_nas;

// Opens, up-checks and binds both endpoints. On failure the message has been
// written and whatever was opened is left for close_endpoints.
bool open_endpoints(const char* eth_name, const char* nas_name, int& highest_fd);

// The index of interface name, asked through fd; -1, errno set, if there is none.
int interface_index(int fd, const char* name);

// Binds fd to the interface ifindex for frames of every protocol, address then
// being its link-layer address; false after reporting under failure_prefix.
bool bind_to_index(int fd, int ifindex, struct sockaddr_ll& address, const char* failure_prefix);

// Whether fd can be waited on, raising highest_fd to it if so; if not, says so
// under the name of the call that made it.
bool join_wait_set(int fd, const char* call, int& highest_fd);

// Ethernet side first, then nas side.
void close_endpoints();
