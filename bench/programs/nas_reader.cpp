// SPDX-License-Identifier: ISC
// nas_reader: the device's own software at the nas side, for bench/run
// --board's overload part. Attaches to the tun device NAME (the board's nas
// side, made persistent by nas-tun) and reads every packet quelmar sends out
// of it, one read a packet, at whatever priority it was started with. It
// touches every byte of each, as software that parses or checksums what it
// gets does: a sum of the packet's 32-bit words, kept so that the compiler
// cannot drop the loads. The kernel counts what it hands over (NAME's
// tx_packets) and what it dropped because this reader fell behind
// (tx_dropped); on SIGTERM the reader prints its own count and sum.
//
// With ECHO_IF, a packet of the probe protocol (0x88b6) also goes back out of
// ECHO_IF, whole, in a broadcast frame of the echo protocol (0x88b7): this
// host times the round trip of each. quelmar relays that frame too, as every
// frame the Ethernet side sends, and the reader reads it like any other.
//
//     nas_reader NAME [ECHO_IF]
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint16_t probe_protocol = 0x88b6;
constexpr uint16_t echo_protocol = 0x88b7;
constexpr size_t info_size = 4; // the tun's packet information: flags, then the protocol
constexpr size_t header_size = 14;

volatile sig_atomic_t m_exit = 0;

void handle_sigterm(int /*signal*/)
{
    m_exit = 1;
}

int attach(const char* name)
{
    int fd = open("/dev/net/tun", O_RDWR);
    struct ifreq request = {};
    request.ifr_flags = IFF_TUN; // packet information in front, as nas-tun made it
    strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (fd == -1 || ioctl(fd, TUNSETIFF, &request) == -1) {
        perror(name);
        return -1;
    }
    return fd;
}

int open_echo(const char* name, struct sockaddr_ll& address)
{
    int fd = socket(AF_PACKET, SOCK_RAW, 0); // protocol 0: it receives nothing
    struct ifreq request = {};
    strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (fd == -1 || ioctl(fd, SIOCGIFINDEX, &request) == -1) {
        perror(name);
        return -1;
    }
    address = {};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = request.ifr_ifindex;
    return fd;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: %s NAME [ECHO_IF]\n", argv[0]);
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = handle_sigterm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr); // no SA_RESTART: the read ends, and so does the loop
    int fd = attach(argv[1]);
    struct sockaddr_ll echo_address;
    int echo_fd = argc == 3 ? open_echo(argv[2], echo_address) : -2;
    if (fd == -1 || echo_fd == -1) {
        return 1;
    }
    // Room for the echo's Ethernet header in front of what the tun hands over.
    unsigned char frame[header_size - info_size + 4096];
    unsigned char* packet = frame + header_size - info_size;
    memset(frame, 0xff, 6);
    memset(frame + 6, 0, 6);
    frame[6] = 0x02; // a locally administered source
    unsigned long count = 0;
    uint32_t sum = 0;
    while (m_exit == 0) {
        ssize_t length = read(fd, packet, 4096);
        if (length < static_cast<ssize_t>(info_size)) {
            continue;
        }
        ++count;
        size_t at = info_size;
        for (; at + 4 <= static_cast<size_t>(length); at += 4) {
            uint32_t word;
            memcpy(&word, packet + at, sizeof word);
            sum += word;
        }
        for (; at < static_cast<size_t>(length); ++at) {
            sum += packet[at];
        }
        uint16_t protocol;
        memcpy(&protocol, packet + 2, sizeof protocol);
        if (echo_fd >= 0 && ntohs(protocol) == probe_protocol) {
            protocol = htons(echo_protocol);
            memcpy(frame + 12, &protocol, sizeof protocol);
            size_t frame_length = header_size + static_cast<size_t>(length) - info_size;
            ssize_t sent = sendto(echo_fd, frame, frame_length, 0, reinterpret_cast<struct sockaddr*>(&echo_address),
                                  sizeof echo_address);
            static_cast<void>(sent);
        }
    }
    printf("nas_reader: %lu packets, sum %08x\n", count, static_cast<unsigned>(sum));
    return 0;
}
