// SPDX-License-Identifier: ISC
// Fuzzes both frame handlers with frames of 0 to 4096 bytes.
//
// A datagram socket pair stands in for each packet socket: like a packet
// socket it hands over one frame per recv, cut to the buffer's size. sendto is
// wrapped at link time (-Wl,--wrap=sendto) and dump_data is this file's own, so
// every input checks what eth2nas would send on the nas side and what both
// handlers would show in the trace, byte for byte, against the frame itself.
#include <errno.h>
#include <linux/if_ether.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <arpa/inet.h>

#include "relay/endpoints.h"
#include "relay/handlers.h"
#include "trace/dump_data.h"

namespace {

constexpr size_t frame_size = 2048;
constexpr size_t header_size = 14;
constexpr uint32_t trace_size = 64;
constexpr int nas_ifindex = 7;

int m_eth_feed = -1; // our ends of the two pairs
int m_nas_feed = -1;

// What the handlers sent and showed for the current input.
int m_sends = 0;
int m_send_fd = -1;
int m_send_flags = -1;
size_t m_send_length = 0;
unsigned char m_send_bytes[4096];
struct sockaddr_ll m_send_address;
socklen_t m_send_address_length = 0;
int m_dumps = 0;
uint32_t m_dump_length = 0;
const char* m_dump_label = "";
unsigned char m_dump_bytes[trace_size];

void require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "handlers_fuzz: %s\n", what);
        abort();
    }
}

void pair_up(int& handler_end, int& feed_end)
{
    int pair[2];
    require(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) == 0, "socketpair");
    handler_end = pair[0];
    feed_end = pair[1];
}

// Queues the frame as one datagram, runs the handler, and checks that it took
// exactly that frame and showed its first 64 bytes, zeros past its end.
void feed(int handler_end, int feed_end, const uint8_t* data, size_t size, void (*handler)(), const char* label)
{
    m_sends = 0;
    m_dumps = 0;
    require(send(feed_end, data, size, 0) == static_cast<ssize_t>(size), "queueing the frame");
    handler();
    unsigned char rest;
    require(recv(handler_end, &rest, 1, MSG_DONTWAIT) == -1 && errno == EAGAIN, "frame left queued");

    require(m_dumps == 1 && m_dump_length == trace_size && strcmp(m_dump_label, label) == 0, "one trace of 64");
    size_t shown = size < trace_size ? size : trace_size;
    require(memcmp(m_dump_bytes, data, shown) == 0, "trace shows other bytes than the frame's");
    for (size_t i = shown; i < trace_size; i++) {
        require(m_dump_bytes[i] == 0, "trace shows bytes past the frame");
    }
}

void check_eth2nas(const uint8_t* data, size_t size)
{
    uint16_t protocol_before = m_sockaddr_nas.sll_protocol;
    feed(m_sockfd_eth, m_eth_feed, data, size, eth2nas, "eth2nas");
    size_t received = size < frame_size ? size : frame_size;
    if (received < header_size) {
        require(m_sends == 0, "a frame shorter than a header was sent");
        require(m_sockaddr_nas.sll_protocol == protocol_before, "protocol taken from past a short frame");
        return;
    }
    require(m_sends == 1 && m_send_fd == m_sockfd_nas, "one send on the nas side");
    require(m_send_flags == MSG_DONTWAIT, "a send that may wait for the nas side");
    require(m_send_length == received - header_size, "send length is not the frame's less its header");
    require(memcmp(m_send_bytes, data + header_size, m_send_length) == 0, "sent bytes differ from the frame's");
    require(m_send_address_length == sizeof(struct sockaddr_ll), "address length");
    require(memcmp(&m_send_address.sll_protocol, data + 12, 2) == 0, "protocol is not the frame's ethertype");
    require(memcmp(&m_sockaddr_nas.sll_protocol, data + 12, 2) == 0, "nas-side address keeps another protocol");
    struct sockaddr_ll expected = {};
    expected.sll_family = AF_PACKET;
    expected.sll_protocol = m_send_address.sll_protocol;
    expected.sll_ifindex = nas_ifindex;
    require(memcmp(&m_send_address, &expected, sizeof expected) == 0, "address fields other than protocol changed");
}

void check_nas2eth(const uint8_t* data, size_t size)
{
    uint16_t protocol_before = m_sockaddr_nas.sll_protocol;
    feed(m_sockfd_nas, m_nas_feed, data, size, nas2eth, "nas2eth");
    require(m_sends == 0, "nas2eth sent something");
    require(m_sockaddr_nas.sll_protocol == protocol_before, "nas2eth changed the protocol");
}

} // namespace

// The fuzzer's trace: records what the handler shows.
void dump_data(const unsigned char* data, uint32_t len, const char* label)
{
    m_dumps++;
    m_dump_length = len;
    m_dump_label = label;
    memcpy(m_dump_bytes, data, len < trace_size ? len : trace_size);
}

extern "C" ssize_t __wrap_sendto(int fd, const void* data, size_t length, int flags,
                                 const struct sockaddr* address, socklen_t address_length)
{
    m_sends++;
    m_send_fd = fd;
    m_send_flags = flags;
    m_send_length = length;
    require(length <= sizeof m_send_bytes, "send longer than any frame");
    memcpy(m_send_bytes, data, length);
    m_send_address_length = address_length;
    memcpy(&m_send_address, address, sizeof m_send_address);
    return static_cast<ssize_t>(length);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    pair_up(m_sockfd_eth, m_eth_feed);
    pair_up(m_sockfd_nas, m_nas_feed);
    m_sockaddr_nas.sll_family = AF_PACKET;
    m_sockaddr_nas.sll_protocol = htons(ETH_P_ALL);
    m_sockaddr_nas.sll_ifindex = nas_ifindex;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096) {
        return -1;
    }
    check_eth2nas(data, size);
    check_nas2eth(data, size);
    return 0;
}
