# SPDX-License-Identifier: ISC
"""Frames into the lab's Ethernet side, packets out of its nas side, and the trace quelmar shows of a frame."""
import os
import select
import socket
import struct
import time

from lab import WAIT
from lab.netns import PEER


def frame(ethertype, payload, dst=b"\xff" * 6):
    return dst + b"\x02\x00\x00\x00\x00\x01" + struct.pack("!H", ethertype) + payload


def relayed(frames):
    """What the nas side must receive for frames: protocol and bytes after the header, cut at 2048."""
    return [(struct.unpack("!H", f[12:14])[0], f[14:2048]) for f in frames]


def inject(frames, ifname=PEER):
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW, 0) as s:
        s.bind((ifname, 0))
        for f in frames:
            s.send(f)


def read_nas(fd, count):
    """Reads count packets from the nas side as (protocol, bytes)."""
    packets = []
    while len(packets) < count:
        ready, _, _ = select.select([fd], [], [], WAIT)
        assert ready, f"only {len(packets)} of {count} packets reached the nas side: {packets!r}"
        data = os.read(fd, 65536)
        packets.append((struct.unpack("!H", data[2:4])[0], data[4:]))
    return packets


def wait_drained():
    """Waits until no packet socket has a frame queued."""
    deadline = time.monotonic() + WAIT
    while any(int(line.split()[6]) for line in open("/proc/net/packet").readlines()[1:]):
        assert time.monotonic() < deadline, "frames stayed queued"
        time.sleep(0.01)


def dump(data, label):
    """The console text of one frame trace: the first 64 bytes, zeros past a short frame."""
    data = data[:64].ljust(64, b"\0")
    text = f"{label}\n\n{' ' * 14}{'  '.join('0123456789ABCDEF')}   0123456789ABCDEF\r\n"
    for offset in range(0, 64, 16):
        row = data[offset:offset + 16]
        text += f"0x{offset:08X} |" + "".join(f" {b:02X}" for b in row) + " | "
        text += "".join(chr(b) if 0x20 <= b <= 0x7F else "." for b in row) + "\n"
    return text
