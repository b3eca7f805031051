// SPDX-License-Identifier: ISC
// The stamp latency_gen puts at the end of every frame and latency_sink reads:
// a marker, the sequence number and the send time in nanoseconds of
// CLOCK_REALTIME, in the host's byte order (both ends run on one host).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

constexpr size_t stamp_size = 16;
constexpr uint32_t stamp_marker = 0x514c4154;

inline void write_stamp(unsigned char* at, uint32_t seq, int64_t sent_ns)
{
    memcpy(at, &stamp_marker, 4);
    memcpy(at + 4, &seq, 4);
    memcpy(at + 8, &sent_ns, 8);
}

// False when the bytes are no stamp (a frame of someone else's).
inline bool read_stamp(const unsigned char* at, uint32_t& seq, int64_t& sent_ns)
{
    uint32_t marker;
    memcpy(&marker, at, 4);
    memcpy(&seq, at + 4, 4);
    memcpy(&sent_ns, at + 8, 8);
    return marker == stamp_marker;
}
