// SPDX-License-Identifier: ISC
// latency_gen: sends COUNT frames of SIZE bytes on IFACE at RATE frames per
// second, each stamped with its sequence number and the CLOCK_REALTIME time of
// its send, the clock the kernel's receive timestamps (SO_TIMESTAMPNS) use.
// The stamp is the frame's last 16 bytes, so that it is found the same way
// whether the far end gets the whole frame or the frame without its header.
//
//     latency_gen IFACE RATE COUNT SIZE
//
// Frames leave on an absolute schedule; one that is late goes at once, so a
// generator held up for a moment sends a short burst rather than a slower
// rate. Prints the frames sent and the rate achieved.
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <arpa/inet.h>

#include "latency_stamp.h"

namespace {

int64_t now_ns(clockid_t clock)
{
    struct timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Sleeps until shortly before the deadline, then spins: a sleep alone wakes up
// tens of microseconds late, which at 100,000 frames/s is several frames.
void wait_until(int64_t deadline)
{
    constexpr int64_t spin_ns = 60000;
    int64_t left = deadline - now_ns(CLOCK_MONOTONIC);
    if (left > spin_ns) {
        struct timespec sleep_until;
        int64_t wake = deadline - spin_ns;
        sleep_until.tv_sec = wake / 1000000000LL;
        sleep_until.tv_nsec = wake % 1000000000LL;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &sleep_until, nullptr);
    }
    while (now_ns(CLOCK_MONOTONIC) < deadline) {
    }
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 5) {
        fprintf(stderr, "usage: %s IFACE RATE COUNT SIZE\n", argv[0]);
        return 1;
    }
    const double rate = atof(argv[2]);
    const long count = atol(argv[3]);
    const size_t size = strtoul(argv[4], nullptr, 10);
    if (rate <= 0 || count <= 0 || size < 28 + stamp_size || size > 1514) {
        fprintf(stderr, "latency_gen: rate and count above 0, size %zu to 1514\n", 28 + stamp_size);
        return 1;
    }
    int fd = socket(AF_PACKET, SOCK_RAW, 0);
    struct sockaddr_ll address = {};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = static_cast<int>(if_nametoindex(argv[1]));
    if (fd == -1 || address.sll_ifindex == 0 ||
        bind(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) == -1) {
        perror(argv[1]);
        return 1;
    }

    // An otherhost frame whose bytes after the header read again as an otherhost
    // Ethernet header: the sink does the same work for a stripped frame as for a whole one.
    unsigned char frame[1514];
    const unsigned char header[14] = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 0x88, 0xB5};
    const unsigned char inner[14] = {2, 0, 0, 0, 0, 3, 2, 0, 0, 0, 0, 4, 0x88, 0xB5};
    memset(frame, 0x5a, size);
    memcpy(frame, header, sizeof header);
    memcpy(frame + sizeof header, inner, sizeof inner);

    const int64_t period = static_cast<int64_t>(1e9 / rate);
    const int64_t start = now_ns(CLOCK_MONOTONIC) + 10000000;
    long sent = 0;
    for (long seq = 0; seq < count; seq++) {
        wait_until(start + seq * period);
        write_stamp(frame + size - stamp_size, static_cast<uint32_t>(seq), now_ns(CLOCK_REALTIME));
        if (send(fd, frame, size, 0) == static_cast<ssize_t>(size)) {
            sent++;
        }
    }
    double seconds = static_cast<double>(now_ns(CLOCK_MONOTONIC) - start) / 1e9;
    printf("%ld %.0f\n", sent, static_cast<double>(count) / seconds);
    return 0;
}
