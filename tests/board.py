#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""quelmar on the emulated board (tools/lab/board.py) as a device runs it: a MIPS build installed
into the image with contrib/busybox/S50quelmar, on a MIPS kernel, under BusyBox init. One boot
takes the cases in turn, the board's side in board.sh:

- boot: S50quelmar started quelmar at boot at nice 0, and the pid file holds its pid;
- relay: frames sent into eth0 come out of nas0 byte-exact, the ethertype as the protocol, and so
  does every segment of a TCP flow as a link carries it, each whole and in order (the e1000's
  driver merges such segments with GRO unless quelmar turns it off);
- trace: with VERBOSE=yes, the dumps of a nas-side packet and of a frame on the serial console;
- messages: a quelmar that ends at start (no such nas interface) leaves its message there;
- stacked: the flow comes out whole with quelmar on a VLAN over eth0 (the flow tagged), on a bridge
  that eth0 joins once quelmar runs (GRO off on eth0 before the flow comes), and on that bridge with
  eth0 in it from the start; after each stop eth0's GRO is on again; on the VLAN, NICE=-10 and
  NAPI_NICE=19 start quelmar at nice -10 and have eth0 (beneath it) take frames in in a thread at
  nice 19, and after the stop in the softirq again;
- stop: S50quelmar stop ends quelmar within 1 s while the host floods eth0, and GRO is on again
  (the kernel merges the flow's next segments); poweroff -f then ends qemu with status 0. Nothing
  ever leaves the board's eth0.

Run by tests/CMakeLists.txt; see harness.py.
"""
import re
import sys
import tempfile
import zlib
from pathlib import Path

from harness import SOURCE, case, main
from lab import board, daemon
from lab.daemon import libc_says, startup_line
from lab.frames import dump, frame, relayed

NAS_PACKET = bytes.fromhex("4500001400010000401100007f0000017f000002")  # as board.sh writes it
FLOW = 40  # wire-sized segments of one TCP flow
PACKET = rb"board: nas0 ([0-9a-f]{4}) ([0-9a-f]*|\d+ [0-9a-f]{8})\r\n"  # bytes in hex, or length and CRC
VLAN = bytes.fromhex("8100000a")  # the 802.1Q tag of eth0.10, after the source address
# Those the board's kernel has a protocol for (IPv4, ARP) first. The e1000's driver hands the kernel
# a poll's frames as a list, and there a frame that only packet sockets take reaches them at the end
# of its run, after later frames that IPv4 or ARP take: the kernel's order, not the wire's.
FRAMES = [
    frame(0x0800, bytes.fromhex("450000200001000040110000c0a80001c0a80002") + b"ipv4 data", dst=board.MAC),
    frame(0x0806, bytes.fromhex("0001080006040001020000000001c0a800010000000000c0a80002")),
    frame(0x0800, bytes(i % 251 for i in range(1500)), dst=board.MAC),  # 1514 bytes, the most the NIC takes
    frame(0x88B5, b"unknown ethertype", dst=board.MAC),
    frame(0x8847, b"\x00\x01\x41\xffmpls"),
    frame(0x86DD, bytes(range(256)), dst=board.MAC),
    frame(0x88B5, b"runt", dst=board.MAC),  # 18 bytes: the NIC pads it to 60 with zeros
]


def packets(matches):
    return [(int(m[1], 16), bytes.fromhex(m[2].decode())) for m in matches]


def summed(packet):
    """A packet as nas-tun's read prints it with crc: protocol, then its length and CRC-32."""
    return packet[0], f"{len(packet[1])} {zlib.crc32(packet[1]):08x}"


def console_text(raw):
    """What the console shows besides the lines for the host: the daemon's and the init script's."""
    return re.sub(rb"board: [^\n]*\n", b"", raw)


def onlcr(text):
    """text as the console's terminal sends it (ONLCR: every newline leaves as CR LF)."""
    return text.replace("\n", "\r\n").encode()


def relay(b, side, sent, want, crc=False):
    """sent into eth0 with quelmar on side: want must come out of nas0, in order. The last packet ends
    the wait: a flow before it, merged by the NIC's GRO and lost, would leave the reader waiting. With
    crc, the board's reader prints each packet's length and CRC, not its bytes."""
    b.expect(rb"board: relay " + side.encode() + rb"\r\n")
    want = [summed(p) for p in want] if crc else want
    b.reply(f"{len(sent)}{' crc' if crc else ''}".encode())
    b.expect(rb"board: reading nas0 \d+\r\n")
    b.send(sent)
    got = []
    while got[-1:] != want[-1:]:
        m = b.expect(PACKET)
        got += [(int(m[1], 16), m[2].decode())] if crc else packets([m])
    b.reply()
    counts = b.expect(rb"board: relayed (.*)\r\n")[1].decode()
    whole = sum(p in want[:FLOW] for p in got)
    assert got == want, (f"on {side}, {whole} of the flow's {FLOW} segments came out of nas0 whole ({counts}); "
                         f"the packets: {[p if crc else len(p) for _, p in got]}")


def go_through(b):
    # boot
    m = b.expect(rb"board: boot pidfile=(\d+) pidof=(\d+) nice=(-?\d+) cmdline=(.*)\r\n")
    assert m[1] == m[2] and m.group(3, 4) == (b"0", b"/usr/sbin/quelmar -e eth0 -n nas0 "), m[0]
    started = b"Starting quelmar: " + onlcr(startup_line("eth0", "nas0")) + b"OK\r\n"
    assert started in b.console[:m.start()], "S50quelmar's start at boot, with quelmar's start-up line, not seen"

    # relay: a TCP flow as a link carries it, then frames of every kind
    sent = board.tcp_flow(FLOW) + FRAMES
    relay(b, "eth0", sent, relayed([f.ljust(60, b"\0") for f in sent]))

    # trace, and nas-side traffic read and dropped
    start = b.expect(rb"board: trace\r\n").end()
    b.expect(rb"board: reading nas0 1\r\n")
    known = frame(0x0800, bytes(range(0x20, 0x80)), dst=board.MAC)
    b.send([known])
    m = b.expect(PACKET)
    assert packets([m]) == relayed([known]), m[0]
    trace = console_text(b.console[start:m.start()])
    assert trace == onlcr(dump(NAS_PACKET, "nas2eth") + dump(known, "eth2nas")), f"the trace on the console: {trace!r}"

    # messages under init
    start = b.expect(rb"board: messages\r\n").end()
    m = b.expect(rb"board: messages end (.*)\r\n")
    assert m[1] == b"status=1 pidfile= pidof=", m[0]
    said = console_text(b.console[start:m.start()])
    message = onlcr(startup_line("eth0", "nosuch0") + f"ioctl: {libc_says('ENODEV')}\n")
    assert said == b"Starting quelmar: " + message + b"FAIL\r\n", f"S50quelmar start without nas0: {said!r}"

    # stacked: the flow, then a frame that IPv4 takes, in the flow's order, so that a flow lost ends
    # the wait at once (a full-sized one: the NIC pads a short frame to 60 bytes with its tag, which
    # untagged is 4 bytes shorter)
    flow = board.tcp_flow(FLOW) + FRAMES[2:3]
    tagged = [f[:12] + VLAN + f[12:] for f in flow]
    for side, sent, joins in (("eth0.10", tagged, False), ("br0", flow, True), ("br0", flow, False)):
        if side == "eth0.10":
            napi = b.expect(rb"board: napi (.*)\r\n")
            assert napi[1] == b"threaded=1 napi=19 quelmar=-10", f"NICE=-10, NAPI_NICE=19: {napi[0]}"
        if joins:
            joined = b.expect(rb"board: joined gro=(\w+) cs=(\d+)\r\n")
            assert joined[1] == b"off", f"eth0's GRO still on {int(joined[2]) * 10} ms after it joined quelmar's bridge"
        relay(b, side, sent, relayed(flow), crc=True)
        stopped = b.expect(rb"board: stopped gro=(\w+) (.*)\r\n")
        assert stopped[1] == b"on", f"GRO not back on eth0 after the stop on {side}"
        assert stopped[2] == b"threaded=0 napi=0", f"eth0's NAPI not as before after the stop on {side}: {stopped[2]}"

    # stop under a flood. The board's clock is the host's: a host busy elsewhere gives the emulated
    # CPU fewer instructions per second of it. Measured here under this flood, quelmar ended 10 to
    # 40 ms after its SIGTERM, offloads put back; the rest of the stop, 0.08 to 0.34 s in all (0.1
    # to 0.94 s on the pcnet NIC the board had before), was the script's own forks of a static
    # BusyBox, which an emulated MIPS CPU under receive livelock makes slow.
    b.expect(rb"board: flood\r\n")
    sender = board.Sender(b, [frame(0x88B5, b"flood" * 20)], board.FLOOD)
    try:
        m = b.expect(rb"board: stopped status=(\d+) cs=(\d+) (.*)\r\n")
    finally:
        sender.stop()
    assert (m[1], m[3]) == (b"0", b"pidfile= pidof="), m[0]
    assert int(m[2]) <= 100, f"S50quelmar stop took {int(m[2]) * 10} ms under the flood"
    b.reply()
    assert b.expect(rb"board: eth0 tx_packets=(\d+)\r\n")[1] == b"0", "frames left the board's eth0"

    # offloads put back at the stop: the kernel merges the flow again
    b.reply(str(FLOW).encode())
    b.expect(rb"board: flow again\r\n")
    b.send(board.tcp_flow(FLOW, first=FLOW))
    merged = b.expect(rb"board: after stop: \d+ segments came as (\d+) packets\r\n")
    assert int(merged[1]) < FLOW, f"GRO not back on eth0 after quelmar's stop: {merged[0]}"
    assert b.end() == 0, "qemu did not end with status 0 after poweroff -f"
    assert b.sent_by_board() == [], "frames left the board's eth0"
    print(f"booted, relayed a TCP flow of {FLOW} segments and {len(FRAMES)} frames, traced, relayed the flow "
          f"on a VLAN, on a bridge eth0 joined (its GRO off {int(joined[2]) * 10} ms after the join began) and on "
          f"that bridge, stopped in {int(m[2]) * 10} ms under a flood (then GRO merged {FLOW} segments into "
          f"{merged[1].decode()} packets), powered off")


# The board's clock is the host's: a host busy with other tests gives the emulated CPU fewer
# instructions per second of it, and the stop's bound of 1 s would measure that load.
@case("mips", "qemu-system-mips/qemu-system-mips", timeout=900, alone=True)
def cases():
    """The build installed into a BusyBox image with the shipped S-script and booted once; the kernel and
    BusyBox are built once for all the MIPS builds, into build/board."""
    board.build_pieces()
    with tempfile.TemporaryDirectory(prefix="board-") as out:
        initrd = board.image(Path(daemon.BINARY).parent, out, "::wait:/usr/bin/board-test",
                             files=[("/usr/bin/board-test", SOURCE / "tests/board.sh")])
        b = board.Board(initrd)
        try:
            go_through(b)
        except AssertionError as e:
            raise AssertionError(f"{e}\nthe board's console:\n{b.console.decode(errors='replace')}")
        finally:
            b.close()


if __name__ == "__main__":
    sys.exit(main())
