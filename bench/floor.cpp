// floor: the smallest relay with quelmar's loop and nothing else. One select on
// both packet sockets, one recv, one sendto of the bytes after the Ethernet
// header with the ethertype as protocol; nas-side frames are read and dropped.
// No options, no pid file, no signal handling, no checks beyond what keeps it
// from sending garbage: the benchmark's measure of what the loop itself costs.
//
// Built a second time with WAIT_WITH_SIGMASK defined, it waits as quelmar does:
// SIGTERM blocked except inside pselect, which unblocks it for the wait alone.
// The two builds differ in that alone, and show what a race-free stop costs.
//
//     floor ETH_IF NAS_IF
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <arpa/inet.h>

namespace {

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

#ifdef WAIT_WITH_SIGMASK
    sigset_t sigterm_only;
    sigset_t wait_mask;
    sigemptyset(&sigterm_only);
    sigaddset(&sigterm_only, SIGTERM);
    sigprocmask(SIG_BLOCK, &sigterm_only, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
#endif

    unsigned char buffer[2048];
    fd_set readable;
    for (;;) {
        FD_ZERO(&readable);
        FD_SET(eth, &readable);
        FD_SET(nas, &readable);
#ifdef WAIT_WITH_SIGMASK
        if (pselect(highest + 1, &readable, nullptr, nullptr, nullptr, &wait_mask) <= 0) {
#else
        if (select(highest + 1, &readable, nullptr, nullptr, nullptr) <= 0) {
#endif
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
}
