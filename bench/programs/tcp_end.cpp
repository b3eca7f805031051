// SPDX-License-Identifier: ISC
// The board's own end of a TCP connection, for bench/run --board's cost of
// the offloads: connects to ADDRESS:PORT, then sends zeros into the
// connection or reads it into nothing, 64 KiB a call, as a device's file or
// web server does, until the other end closes it. With BYTES_PER_S the kernel
// paces what it sends (SO_MAX_PACING_RATE). Prints the bytes moved.
//
//     tcp_end ADDRESS PORT send|receive [BYTES_PER_S]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t chunk = 65536;
char m_buffer[chunk];

} // namespace

int main(int argc, char* argv[])
{
    bool sending = argc >= 4 && strcmp(argv[3], "send") == 0;
    struct sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    if (argc < 4 || argc > 5 || (!sending && strcmp(argv[3], "receive") != 0) ||
        inet_pton(AF_INET, argv[1], &peer.sin_addr) != 1) {
        fprintf(stderr, "usage: tcp_end ADDRESS PORT send|receive [BYTES_PER_S]\n");
        return 2;
    }
    peer.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    uint32_t rate = argc == 5 ? static_cast<uint32_t>(strtoul(argv[4], nullptr, 10)) : 0;
    if (fd == -1 || (rate != 0 && setsockopt(fd, SOL_SOCKET, SO_MAX_PACING_RATE, &rate, sizeof rate) == -1) ||
        connect(fd, reinterpret_cast<const struct sockaddr*>(&peer), sizeof peer) == -1) {
        perror("tcp_end");
        return 1;
    }
    unsigned long long moved = 0;
    for (;;) {
        // The other end's close ends a send with EPIPE or ECONNRESET: not a signal.
        ssize_t n = sending ? send(fd, m_buffer, chunk, MSG_NOSIGNAL) : recv(fd, m_buffer, chunk, 0);
        if (n <= 0) {
            break;
        }
        moved += static_cast<unsigned long long>(n);
    }
    printf("%llu\n", moved);
    close(fd);
    return 0;
}
