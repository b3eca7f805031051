// SPDX-License-Identifier: ISC
// nas-tun: the board's nas side, a tun device that carries bare packets with
// their protocol. BusyBox has no `ip tuntap`, and its tunctl makes taps only;
// nor has it ethtool, whose one reading the tests need is here too.
//
//     nas-tun NAME                      makes NAME, persistent, and leaves it
//     nas-tun NAME read COUNT [crc]     prints the next COUNT packets sent out of NAME
//     nas-tun NAME write PROTO HEX      writes one packet into NAME, as received there
//     nas-tun NAME gro                  prints "on" or "off": whether NAME's GRO is on now
//
// read prints "board: reading NAME COUNT" once it holds the device, then one
// line per packet: "board: NAME PROTO HEX", protocol and bytes in hex; with
// crc, "board: NAME PROTO LENGTH CRC", the bytes' count and CRC-32 (zlib's)
// in their place, as the serial console takes the hex of a 1500-byte packet
// in some 12 ms. Each line is one write, so that no other writer on the
// console splits it.
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <linux/sockios.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
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

uint32_t crc32(const unsigned char* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = crc >> 1 ^ (0xEDB88320 & (0 - (crc & 1)));
        }
    }
    return ~crc;
}

void read_packets(int fd, const char* name, long count, bool crc)
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
        size_t bytes = static_cast<size_t>(length) - info_size;
        if (crc) {
            at += static_cast<size_t>(snprintf(line + at, 32, "%zu %08x", bytes, crc32(packet + info_size, bytes)));
        }
        for (size_t i = 0; !crc && i < bytes; ++i) {
            at += static_cast<size_t>(snprintf(line + at, 3, "%02x", packet[info_size + i]));
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

// The feature as the device has it, not as it was asked (ETHTOOL_GGRO).
void print_gro(const char* name)
{
    struct ethtool_value value = {};
    value.cmd = ETHTOOL_GGRO;
    struct ifreq request = {};
    strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    request.ifr_data = reinterpret_cast<char*>(&value);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd == -1 || ioctl(fd, SIOCETHTOOL, &request) == -1) {
        perror(name);
        exit(1);
    }
    printf("%s\n", value.data != 0 ? "on" : "off");
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 2) {
        if (ioctl(attach(argv[1]), TUNSETPERSIST, 1) == -1) {
            perror("TUNSETPERSIST");
            return 1;
        }
    } else if ((argc == 4 || (argc == 5 && strcmp(argv[4], "crc") == 0)) && strcmp(argv[2], "read") == 0) {
        read_packets(attach(argv[1]), argv[1], atol(argv[3]), argc == 5);
    } else if (argc == 5 && strcmp(argv[2], "write") == 0) {
        write_packet(attach(argv[1]), argv[3], argv[4]);
    } else if (argc == 3 && strcmp(argv[2], "gro") == 0) {
        print_gro(argv[1]);
    } else {
        fprintf(stderr, "usage: %s NAME [read COUNT [crc] | write PROTO HEX | gro]\n", argv[0]);
        return 1;
    }
    return 0;
}
