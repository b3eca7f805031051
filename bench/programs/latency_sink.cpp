// SPDX-License-Identifier: ISC
// latency_sink: takes every stamped frame that arrives on IFACE with the
// kernel's receive timestamp (SO_TIMESTAMPNS, taken when the frame enters the
// interface's receive path, whenever this program gets to read it) and, on
// SIGINT or SIGTERM, writes one record per frame to OUT: the sequence number
// (uint32) and the one-way latency in nanoseconds (int64), host byte order.
//
//     latency_sink IFACE OUT
//
// Prints the frames taken and the frames the socket itself dropped (a sink
// that drops would count as the relay's loss).
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <arpa/inet.h>

#include <vector>

#include "latency_stamp.h"

namespace {

volatile sig_atomic_t m_stop = 0;

void handle_stop(int /*signal*/)
{
    m_stop = 1;
}

struct record {
    uint32_t seq;
    int64_t latency_ns;
} __attribute__((packed));

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s IFACE OUT\n", argv[0]);
        return 1;
    }
    int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    struct sockaddr_ll address = {};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(if_nametoindex(argv[1]));
    int on = 1;
    int buffer = 64 << 20;
    struct timeval poll_interval = {0, 100000}; // to see a stop request without a frame
    if (fd == -1 || address.sll_ifindex == 0 ||
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == -1 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) == -1 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &poll_interval, sizeof poll_interval) == -1 ||
        bind(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) == -1) {
        perror(argv[1]);
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = handle_stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::vector<record> records;
    records.reserve(1 << 20);
    unsigned char frame[2048];
    alignas(struct cmsghdr) unsigned char control[256];
    // Ready: the caller starts the generator once it reads this line.
    printf("ready\n");
    fflush(stdout);
    while (m_stop == 0) {
        struct iovec part = {frame, sizeof frame};
        struct msghdr message = {};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t length = recvmsg(fd, &message, 0);
        if (length < static_cast<ssize_t>(stamp_size)) {
            continue;
        }
        uint32_t seq;
        int64_t sent_ns;
        if (!read_stamp(frame + length - stamp_size, seq, sent_ns)) {
            continue;
        }
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
                struct timespec arrived;
                memcpy(&arrived, CMSG_DATA(c), sizeof arrived);
                records.push_back({seq, arrived.tv_sec * 1000000000LL + arrived.tv_nsec - sent_ns});
            }
        }
    }

    struct tpacket_stats stats = {};
    socklen_t stats_length = sizeof stats;
    getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &stats, &stats_length);
    FILE* out = fopen(argv[2], "wb");
    if (out == nullptr || fwrite(records.data(), sizeof(record), records.size(), out) != records.size() ||
        fclose(out) != 0) {
        perror(argv[2]);
        return 1;
    }
    printf("%zu %u\n", records.size(), stats.tp_drops);
    return 0;
}
