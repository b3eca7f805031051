// SPDX-License-Identifier: ISC
// floor: the smallest relay with quelmar's loop and nothing else. One select on
// both packet sockets, one recv, one sendto of the bytes after the Ethernet
// header with the ethertype as protocol; nas-side frames are read and dropped.
// No options, no pid file, no signal handling, no checks beyond what keeps it
// from sending garbage: the benchmark's measure of what the loop itself costs.
//
// Built a second time with WAIT_WITH_STOP_PIPE defined, it waits as quelmar does:
// a SIGTERM handler writes a byte into a pipe whose read end is in the wait
// set. The two builds differ in that alone, and show what a stop that neither
// a flood nor the moment of the signal can delay costs.
//
//     floor ETH_IF NAS_IF
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

namespace {

#ifdef WAIT_WITH_STOP_PIPE
volatile sig_atomic_t m_exit = 0;
int m_stop[2] = {-1, -1};

void handle_sigterm(int /*signal*/)
{
    m_exit = 1;
    char byte = 0;
    ssize_t written = write(m_stop[1], &byte, 1);
    static_cast<void>(written);
}
#endif

int open_bound(const char* name, struct sockaddr_ll& address)
{
    int fd = socket(AF_PACKET, SOCK_RAW, 0);
    memset(&address, 0, sizeof address);
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(if_nametoindex(name));
    if (fd == -1 || address.sll_ifindex == 0 ||
        bind(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) == -1) {
        perror(name);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s ETH_IF NAS_IF\n", argv[0]);
        return 1;
    }
    struct sockaddr_ll eth_address;
    struct sockaddr_ll nas_address;
    int eth = open_bound(argv[1], eth_address);
    int nas = open_bound(argv[2], nas_address);
    if (eth == -1 || nas == -1) {
        return 1;
    }
    int highest = eth > nas ? eth : nas;

#ifdef WAIT_WITH_STOP_PIPE
    struct sigaction action = {};
    action.sa_handler = handle_sigterm;
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGTERM, &action, nullptr) == -1 || pipe2(m_stop, O_NONBLOCK | O_CLOEXEC) == -1) {
        perror("stop pipe");
        return 1;
    }
    highest = highest > m_stop[0] ? highest : m_stop[0];
#endif

    unsigned char buffer[2048];
    fd_set readable;
#ifdef WAIT_WITH_STOP_PIPE
    while (m_exit == 0) {
#else
    for (;;) {
#endif
        FD_ZERO(&readable);
        FD_SET(eth, &readable);
        FD_SET(nas, &readable);
#ifdef WAIT_WITH_STOP_PIPE
        FD_SET(m_stop[0], &readable);
#endif
        if (select(highest + 1, &readable, nullptr, nullptr, nullptr) <= 0) {
            continue;
        }
        if (FD_ISSET(eth, &readable)) {
            ssize_t received = recv(eth, buffer, sizeof buffer, 0);
            if (received >= 14) {
                memcpy(&nas_address.sll_protocol, buffer + 12, 2);
                sendto(nas, buffer + 14, static_cast<size_t>(received) - 14, 0,
                       reinterpret_cast<const struct sockaddr*>(&nas_address), sizeof nas_address);
            }
        }
        if (FD_ISSET(nas, &readable)) {
            recv(nas, buffer, sizeof buffer, 0);
        }
    }
    return 0;
}
