// SPDX-License-Identifier: ISC
// nas-tun: the board's nas side, a tun device that carries bare packets with
// their protocol. BusyBox has no `ip tuntap`, and its tunctl makes taps only.
//
//     nas-tun NAME                      makes NAME, persistent, and leaves it
//     nas-tun NAME read COUNT           prints the next COUNT packets sent out of NAME
//     nas-tun NAME write PROTO HEX      writes one packet into NAME, as received there
//
// read prints "board: reading NAME COUNT" once it holds the device, then one
// line per packet: "board: NAME PROTO HEX", protocol and bytes in hex. Each
// line is one write, so that no other writer on the console splits it.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Packet information in front of every packet: flags, then the protocol.
constexpr size_t info_size = 4;
constexpr size_t packet_limit = 4096;

int attach(const char* name)
{
    int fd = open("/dev/net/tun", O_RDWR);
    struct ifreq request = {};
    request.ifr_flags = IFF_TUN;
    strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (fd == -1 || ioctl(fd, TUNSETIFF, &request) == -1) {
        perror(name);
        exit(1);
    }
    return fd;
}

void print_line(const char* text, size_t length)
{
    if (write(STDOUT_FILENO, text, length) != static_cast<ssize_t>(length)) {
        exit(1);
    }
}

void read_packets(int fd, const char* name, long count)
{
    char line[64 + 2 * packet_limit];
    print_line(line, static_cast<size_t>(snprintf(line, sizeof line, "board: reading %s %ld\n", name, count)));
    unsigned char packet[info_size + packet_limit];
    for (long n = 0; n < count; ++n) {
        ssize_t length = read(fd, packet, sizeof packet);
        if (length < static_cast<ssize_t>(info_size)) {
            perror("read");
            exit(1);
        }
        size_t at = static_cast<size_t>(snprintf(line, sizeof line, "board: %s %02x%02x ", name, packet[2], packet[3]));
        for (ssize_t i = info_size; i < length; ++i) {
            at += static_cast<size_t>(snprintf(line + at, 3, "%02x", packet[i]));
        }
        line[at++] = '\n';
        print_line(line, at);
    }
}

void write_packet(int fd, const char* protocol, const char* hex)
{
    unsigned char packet[info_size + packet_limit] = {};
    unsigned long value = strtoul(protocol, nullptr, 16);
    packet[2] = static_cast<unsigned char>(value >> 8);
    packet[3] = static_cast<unsigned char>(value);
    size_t length = info_size;
    for (; hex[0] != '\0' && hex[1] != '\0' && length < sizeof packet; hex += 2) {
        char digits[3] = {hex[0], hex[1], '\0'};
        packet[length++] = static_cast<unsigned char>(strtoul(digits, nullptr, 16));
    }
    if (write(fd, packet, length) != static_cast<ssize_t>(length)) {
        perror("write");
        exit(1);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 2) {
        if (ioctl(attach(argv[1]), TUNSETPERSIST, 1) == -1) {
            perror("TUNSETPERSIST");
            return 1;
        }
    } else if (argc == 4 && strcmp(argv[2], "read") == 0) {
        read_packets(attach(argv[1]), argv[1], atol(argv[3]));
    } else if (argc == 5 && strcmp(argv[2], "write") == 0) {
        write_packet(attach(argv[1]), argv[3], argv[4]);
    } else {
        fprintf(stderr, "usage: %s NAME [read COUNT | write PROTO HEX]\n", argv[0]);
        return 1;
    }
    return 0;
}
