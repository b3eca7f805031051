// SPDX-License-Identifier: ISC
// The frame handlers, one frame per call.
#include "relay/handlers.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "platform/standard_error.h"
#include "relay/endpoints.h"
#include "trace/dump_data.h"

namespace {

// Longer frames arrive cut to this many bytes.
constexpr size_t frame_size = 2048;
// A frame trace shows this many bytes of every frame, however short the frame.
constexpr uint32_t trace_size = 64;
constexpr size_t header_size = 14;
constexpr size_t ethertype_offset = 12;

// Whether a cut frame was reported yet: the first one is, no later one (a console
// at 11.5 kB/s cannot take a line a frame).
bool m_cut_reported = false;

// Receives one frame into buffer and returns its whole length, which may be more
// than the frame_size bytes received, or -1 after reporting. Bytes from the
// length up to trace_size are zeroed so that no trace can show what an earlier
// frame left in the buffer.
ssize_t receive_frame(int fd, unsigned char* buffer)
{
    // MSG_TRUNC: the whole length, which tells a cut frame from one of 2048 bytes.
    ssize_t received = recv(fd, buffer, frame_size, MSG_TRUNC);
    if (received == -1) {
        report_errno("recv");
        return -1;
    }
    if (static_cast<size_t>(received) < trace_size) {
        memset(buffer + received, 0, trace_size - static_cast<size_t>(received));
    }
    return received;
}

// What became of the first frame longer than the buffer: relayed cut, or
// refused whole by the nas side (EMSGSIZE: cut, it is still longer than the
// nas side's MTU).
void report_cut(size_t whole, ssize_t sent)
{
    constexpr char later[] = "later ones are not reported";
    if (sent == -1) {
        print_standard_error("eth2nas: a frame of %zu bytes was cut to %zu and not relayed: sendto: %s; %s\n", whole,
                             frame_size, strerror(errno), later);
    } else {
        print_standard_error("eth2nas: a frame of %zu bytes was cut to %zu and relayed cut; %s\n", whole, frame_size,
                             later);
    }
}

} // namespace

void eth2nas()
{
    unsigned char buffer[frame_size];
    ssize_t received = receive_frame(m_sockfd_eth, buffer);
    if (received == -1) {
        return;
    }

    dump_data(buffer, trace_size, "eth2nas");

    // Shorter than a header: no ethertype to take and nothing to send.
    if (static_cast<size_t>(received) < header_size) {
        return;
    }
    // Longer than the buffer: a jumbo frame, or many merged by an offload left on. Sent cut, which
    // a nas side whose MTU is below the cut length refuses.
    size_t whole = static_cast<size_t>(received);
    size_t length = whole < frame_size ? whole : frame_size;
    memcpy(&m_sockaddr_nas.sll_protocol, buffer + ethertype_offset, sizeof m_sockaddr_nas.sll_protocol);
    // A queue that holds frames (a shaper, a driver that stopped its queue) keeps them charged to
    // this socket; once its send buffer is full a blocking send would wait there, with SIGTERM
    // held off and the Ethernet side undrained. Such a frame is refused and lost instead, like one
    // the nas side drops.
    ssize_t sent = sendto(m_sockfd_nas, buffer + header_size, length - header_size, MSG_DONTWAIT,
                          reinterpret_cast<const struct sockaddr*>(&m_sockaddr_nas), sizeof m_sockaddr_nas);
    if (whole > frame_size && !m_cut_reported) {
        m_cut_reported = true;
        report_cut(whole, sent);
    }
}

void nas2eth()
{
    unsigned char buffer[frame_size];
    if (receive_frame(m_sockfd_nas, buffer) == -1) {
        return;
    }

    dump_data(buffer, trace_size, "nas2eth");

    // Dropped: nothing travels from the nas side to the Ethernet side.
}
