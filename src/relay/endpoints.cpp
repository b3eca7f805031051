// SPDX-License-Identifier: ISC
// Opening and closing the two packet endpoints.
#include "relay/endpoints.h"

#include <net/ethernet.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include "platform/standard_error.h"

int m_sockfd_eth = -1;
int m_sockfd_nas = -1;
struct sockaddr_ll m_sockaddr_eth;
struct sockaddr_ll m_sockaddr_nas;

static_assert(sizeof(struct sockaddr_ll) == 20, "bind and sendto pass a 20-byte link-layer address");

// The relay waits with select, whose fd_set cannot hold a descriptor at or above FD_SETSIZE.
bool join_wait_set(int fd, const char* call, int& highest_fd)
{
    if (fd >= FD_SETSIZE) {
        print_standard_error("%s: descriptor %d is too high for select (limit %d)\n", call, fd, FD_SETSIZE);
        return false;
    }
    if (highest_fd < fd) {
        highest_fd = fd;
    }
    return true;
}

namespace {

bool open_socket(int& fd, int& highest_fd)
{
    fd = socket(AF_PACKET, SOCK_RAW, 0);
    if (fd == -1) {
        report_errno("socket");
        return false;
    }
    return join_wait_set(fd, "socket", highest_fd);
}

// A name that does not fit ifr_name is refused: cutting it could name another interface.
bool check_up(int fd, const char* name, struct ifreq& request)
{
    memset(&request, 0, sizeof request);
    size_t length = strnlen(name, sizeof request.ifr_name);
    if (length == sizeof request.ifr_name) {
        // In two writes: a name from the command line can be longer than any message buffer.
        constexpr char too_long[] = ": interface name too long\n";
        write_standard_error(name, strlen(name));
        write_standard_error(too_long, sizeof too_long - 1);
        return false;
    }
    memcpy(request.ifr_name, name, length);
    if (ioctl(fd, SIOCGIFFLAGS, &request) == -1) {
        report_errno("ioctl");
        return false;
    }
    if ((request.ifr_flags & IFF_UP) == 0) {
        printf("%s is not up!\n", name);
        return false;
    }
    return true;
}

} // namespace

// The index comes from the socket already open: if_nametoindex would open one of its own, which
// a process out of descriptors cannot, and its 0 would then read as "no such interface".
int interface_index(int fd, const char* name)
{
    struct ifreq request;
    memset(&request, 0, sizeof request);
    memcpy(request.ifr_name, name, strnlen(name, sizeof request.ifr_name - 1)); // fits: checked when up
    return ioctl(fd, SIOCGIFINDEX, &request) == -1 ? -1 : request.ifr_ifindex;
}

bool bind_to_index(int fd, int ifindex, struct sockaddr_ll& address, const char* failure_prefix)
{
    memset(&address, 0, sizeof address);
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = ifindex;
    if (bind(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) == -1) {
        report_errno(failure_prefix);
        return false;
    }
    return true;
}

namespace {

// Fails with ENODEV where the interface vanished after its up-check.
bool bind_endpoint(int fd, const char* name, struct sockaddr_ll& address, const char* failure_prefix)
{
    int ifindex = interface_index(fd, name);
    if (ifindex == -1) {
        report_errno(failure_prefix);
        return false;
    }
    return bind_to_index(fd, ifindex, address, failure_prefix);
}

} // namespace

bool open_endpoints(const char* eth_name, const char* nas_name, int& highest_fd)
{
    if (!open_socket(m_sockfd_eth, highest_fd) || !open_socket(m_sockfd_nas, highest_fd)) {
        return false;
    }

    struct ifreq request;
    if (!check_up(m_sockfd_eth, eth_name, request) || !check_up(m_sockfd_nas, nas_name, request)) {
        return false;
    }
    return bind_endpoint(m_sockfd_eth, eth_name, m_sockaddr_eth, "bind eth") &&
           bind_endpoint(m_sockfd_nas, nas_name, m_sockaddr_nas, "bind nas");
}

void close_endpoints()
{
    if (m_sockfd_eth >= 0) {
        close(m_sockfd_eth);
    }
    if (m_sockfd_nas >= 0) {
        close(m_sockfd_nas);
    }
}
