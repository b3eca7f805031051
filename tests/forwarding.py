#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Forwarding: what comes out of the nas side for what enters the Ethernet side, what the nas side's own
traffic becomes, and the -v trace of it. Run by tests/CMakeLists.txt; see harness.py."""
import contextlib
import ctypes
import os
import random
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

from harness import arrived_at_peer, case, cut_reported, in_child, main, peer_listener, verbose_relay
from lab import WAIT, netns
from lab.daemon import ETH, NAS, expect_end, libc_says, offloads_said, running, startup_line
from lab.frames import frame, inject, read_nas, relayed, wait_drained
from lab.netns import CLONE_NEWNET, PEER, enter_lab, sh

FAR = "/run/netns/far"  # the other end of the Ethernet side's link in tcp_stream


@case(memcheck=True)
def relay():
    """Ten queued frames of every kind arrive in order, stripped, with their ethertype as protocol."""
    nas = enter_lab()
    frames = [
        frame(0x0800, bytes.fromhex("450000200001000040110000c0a80001c0a80002") + b"ipv4 data"),
        frame(0x0806, bytes.fromhex("0001080006040001020000000001c0a800010000000000c0a80002")),
        frame(0x88B5, b"unknown ethertype"),
        frame(0x8847, b"\x00\x01\x41\xffmpls"),
        frame(0x0800, b"multicast", dst=bytes.fromhex("01005e000001")),
        frame(0x86DD, b"unicast elsewhere", dst=bytes.fromhex("020000000099")),
        frame(0x0004, b"802.3 length field, not a type"),
        frame(0xFFFF, b"\x00" * 46),
        frame(0x0001, bytes(range(256))),
        frame(0x0800, b"last"),
    ]
    with running() as proc:
        proc.send_signal(signal.SIGSTOP)  # queue all ten before the daemon reads one
        inject(frames)
        proc.send_signal(signal.SIGCONT)
        got = read_nas(nas, len(frames))
        assert got == relayed(frames), got


@case(memcheck=True)
def host_sent():
    """Frames the host itself sends out on the Ethernet side are relayed too."""
    nas = enter_lab()
    with running():
        frames = [frame(0x0806, b"sent by the host"), frame(0x0800, b"and another")]
        inject(frames, ifname=ETH)
        assert read_nas(nas, 2) == relayed(frames)


@case(memcheck=True)
def sizes():
    """Edge lengths: 14 (empty packet, refused by the tun) and 15, 2048, 2049, 3000 (cut to 2034, the
    first one reported). With the nas side's MTU at 1500, a cut frame is refused whole, and so reported."""
    nas = enter_lab(mtu=4000)
    sized = [frame(0x0800 + n, bytes(i % 251 for i in range(n - 14))) for n in (14, 15, 2048, 2049, 3000)]
    with running(err=offloads_said() + cut_reported(2049)):
        inject(sized)
        got = read_nas(nas, 4)
        assert got == relayed(sized[1:]), [(p, len(b)) for p, b in got]
        assert [len(b) for _, b in got] == [1, 2034, 2034, 2034]
    sh(f"ip link set {NAS} mtu 1500")
    with running(err=offloads_said() + cut_reported(3000, refused="EMSGSIZE")):
        inject(sized[-1:] + sized[1:2])
        assert read_nas(nas, 1) == relayed(sized[1:2]), "after the refused frame"


def in_namespace(path, make):
    """make() with this thread in the network namespace at path (None: the lab's); its sockets stay there."""
    if path is None:
        return make()
    libc = ctypes.CDLL(None, use_errno=True)
    home, there = os.open("/proc/thread-self/ns/net", os.O_RDONLY), os.open(path, os.O_RDONLY)
    try:
        assert libc.setns(there, CLONE_NEWNET) == 0, os.strerror(ctypes.get_errno())
        return make()
    finally:
        libc.setns(home, CLONE_NEWNET)
        os.close(home)
        os.close(there)


def tcp_through(nas, outward, size=1 << 20):
    """size bytes of TCP across the Ethernet side's link, out of it (outward) or into it. The receiver
    takes no byte before it has come out of nas0, so TCP's window bounds what the daemon has queued however
    slow it is. Every payload packet of the flow must come out whole (its IP length its size), at most
    1500 bytes, in sequence, and all of them once."""
    data, way = random.Random(size + outward).randbytes(size), "outward" if outward else "inward"
    ends = [("10.9.0.1", None), ("10.9.0.2", FAR)]
    (to, receiver_side), (_, sender_side) = ends[::-1] if outward else ends

    def listen():
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32768)  # a window of some 20 segments
        s.bind((to, 5001))
        s.listen()
        return s
    listener = in_namespace(receiver_side, listen)
    client = in_namespace(sender_side, socket.socket)
    client.connect((to, 5001))
    receiver, (_, port) = listener.accept()[0], client.getsockname()
    sender = threading.Thread(target=lambda: (client.sendall(data), client.shutdown(socket.SHUT_WR)), daemon=True)
    sender.start()
    out, taken, first = bytearray(), 0, None
    while len(out) < size:
        ready = select.select([nas] + ([receiver] if taken < len(out) else []), [], [], WAIT)[0]
        assert ready, f"{way}: {len(out)} of {size} bytes out of nas0, then none"
        if receiver in ready:
            taken += len(receiver.recv(len(out) - taken))
        if nas not in ready:
            continue
        packet = os.read(nas, 65536)[4:]
        header, total = (packet[0] & 15) * 4, struct.unpack("!H", packet[2:4])[0]
        sport, seq, flags = struct.unpack("!H2xI4xH", packet[header:header + 14])
        if packet[9] != 6 or sport != port:
            continue  # the receiver's acknowledgements
        if flags & 0x02:
            first = seq + 1  # the SYN's
        payload = packet[header + (flags >> 12) * 4:]
        if payload:
            assert (total, len(packet) <= 1500) == (len(packet), True), f"{way}: a packet cut or merged ({total})"
            assert (seq - first) % (1 << 32) == len(out), f"{way}: byte {(seq - first) % (1 << 32)} after {len(out)}"
            out += payload
    sender.join()
    assert out == data
    while receiver.recv(65536):  # to the end: closed with nothing unread, nothing is reset
        pass
    for s in (client, receiver, listener):
        s.close()


# The Ethernet sides tcp_stream relays through, over the lab's veth ETH, whose GRO is on: the side's name, how
# it is made, what joins it once the daemon runs, and the far end's device (on PEER, in the namespace FAR).
SIDES = [
    ("a veth", ETH, [], None, PEER),
    ("a bridge over it", "br0", ["ip link add br0 type bridge", f"ip link set {ETH} master br0"], None, PEER),
    ("a macvlan over it", "mv0", [f"ip link add mv0 link {ETH} type macvlan mode bridge"], None, PEER),
    ("a bridge that it joins later", "br0", ["ip link add br0 type bridge"], f"ip link set {ETH} master br0", PEER),
    ("a VLAN over it", "vlan10", [f"ip link add link {ETH} name vlan10 type vlan id 10"], None, "peer.10"),
]


def tcp_side(label, side, make, join, far_side):
    """tcp_stream's row: the daemon on side, the lab's veth (GRO on) at its bottom."""
    nas = netns.nas_tun
    # No tail loss probes: with delayed acknowledgements on a link of microseconds they send a flight's
    # last segment again, which the tap rightly shows twice, and every byte is to come out once.
    with open("/proc/sys/net/ipv4/tcp_early_retrans", "w") as f:
        f.write("0")
    # Only the side answers ARP for its address: the veth beneath a macvlan would too, and the far end's
    # frames would then go to the veth, past the macvlan.
    with open("/proc/sys/net/ipv4/conf/all/arp_ignore", "w") as f:
        f.write("1")
    sh("ip netns add far")
    sh("ip netns exec far sysctl -qw net.ipv4.tcp_early_retrans=0 net.ipv6.conf.default.disable_ipv6=1")
    sh(f"ip link set {PEER} netns far")
    try:
        for command in make:
            subprocess.run(command.split(), check=True, capture_output=True)
        if far_side != PEER:
            sh(f"ip netns exec far ip link add link {PEER} name {far_side} type vlan id 10")
    except subprocess.CalledProcessError:
        print(f"{label}: not here, where the kernel has no 802.1Q (the board's case relays TCP over a VLAN)")
        return
    sh(f"ip addr add 10.9.0.1/24 dev {side}")
    for name in {ETH, side}:
        sh(f"ip link set {name} up")
    for command in (f"ip link set {PEER} up", f"ip link set {far_side} up", f"ip addr add 10.9.0.2/24 dev {far_side}",
                    f"ethtool -K {PEER} tso off gso off"):
        sh("ip netns exec far " + command)
    sh(f"ethtool -K {ETH} gro on")
    # A veth hands each frame to the backlog of the CPU that sends it: a sender that moves between CPUs
    # reorders frames before any tap, as no link does. This process's threads, and so the softirqs
    # their sends raise, stay on one CPU.
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})

    def offloads(name):
        return subprocess.run(["ethtool", "-k", name], check=True, capture_output=True, text=True).stdout
    before = {name: offloads(name) for name in (ETH, side)}
    # The offloads on, by the kernel's names where ethtool shows older ones.
    legacy = {"generic-receive-offload": "rx-gro", "large-receive-offload": "rx-lro"}
    on = {legacy.get(name, name) for name in re.findall(r"^\s*([\w-]+): on", before[side], re.M)}
    # A macvlan's segmentation offloads are fixed on, so that its tap, ours, sees the host's own TCP before
    # it is segmented (further down, beneath the macvlan): that the daemon reports, naming the macvlan.
    fixed = {name for name in re.findall(r"^\s*([\w-]+): on \[fixed\]", before[side], re.M)
             if name == "tx-gso-list" or name.startswith("tx-") and name.endswith("-segmentation")}
    fixed = fixed if not offloads_said(side) else set()
    without_admin = lambda: ctypes.CDLL(None).prctl(24, 12, 0, 0, 0)  # PR_CAPBSET_DROP, CAP_NET_ADMIN
    for preexec in (None,) if offloads_said() or side != ETH else (None, without_admin):
        with running("-e", side, "-n", NAS, preexec=preexec, out=startup_line(side), err="") as proc:
            said = b""
            while (preexec or offloads_said() or fixed) and not said.endswith(b"\n"):
                assert select.select([proc.stderr], [], [], WAIT)[0], f"{label}: stderr stayed {said!r}"
                said += os.read(proc.stderr.fileno(), 4096)
            if join:
                sh(join)
                joined = time.monotonic()
                while not offloads_said() and "generic-receive-offload: off" not in offloads(ETH):
                    assert time.monotonic() < joined + WAIT, f"{label}: GRO still on {WAIT} s after {ETH} joined"
                    time.sleep(0.001)
                print(f"{label}: {ETH}'s GRO off {(time.monotonic() - joined) * 1000:.1f} ms after it joined")
            if preexec or offloads_said():
                refused = re.fullmatch(rf"{side}: cannot turn off ([\w -]+): {libc_says('EPERM')}\n", said.decode())
                names = set(refused[1].split()) if refused else set()
                assert said.decode() == offloads_said(side) or {"rx-gro", "tx-tcp-segmentation"} <= names <= on, said
                sentinel = frame(0x88B5, b"relayed on")
                in_namespace(FAR, lambda: inject([sentinel], ifname=far_side))
                assert read_nas(nas, 1) == relayed([sentinel])
            else:
                kept = re.fullmatch(rf"{side}: cannot turn off ([\w -]+): {libc_says('EOPNOTSUPP')}\n", said.decode())
                assert said == b"" if not fixed else kept and set(kept[1].split()) == fixed, f"{label}: {said!r}"
                tcp_through(nas, outward=False)
                if not fixed:
                    tcp_through(nas, outward=True)
        if join:  # as it was before: a bridge port's features are the bridge's to set
            sh(f"ip link set {ETH} nomaster")
        after = {name: offloads(name) for name in (ETH, side)}
        assert after == before, f"{label}: offloads after the stop {'without' if preexec else 'with'} CAP_NET_ADMIN"
        os.set_blocking(nas, False)  # what the streams' ends left there
        with contextlib.suppress(BlockingIOError):
            while os.read(nas, 65536):
                pass
        os.set_blocking(nas, True)


@case("ethtool/ethtool", memcheck=True)
def tcp_stream():
    """TCP relayed as it was on the wire, both ways, with the offloads that merge segments on, whatever the
    Ethernet side is: a veth, or a bridge, a macvlan or a VLAN over it, or a bridge the veth joins once the
    daemon runs. The veth's GRO is on where frames enter (its peer sends wire-sized segments, as a link does),
    and segmentation offload where the side sends. Afterwards every device's offloads are as they were. Where
    they cannot be changed (here without CAP_NET_ADMIN; under qemu-user, which passes no SIOCETHTOOL on, not
    even read), the daemon says which stay on, and relays on."""
    for row in SIDES:
        in_child({}, f"TCP through {row[0]}", lambda: tcp_side(*row))


@case(memcheck=True)
def short_frames():
    """Frames shorter than a header (a tun device as Ethernet side) are dropped, the next one is not."""
    nas = enter_lab(eth_kind="tun")
    with running():
        for n in (0, 1, 13, 14 + 5):
            os.write(netns.eth_tun, struct.pack("!HH", 0, 0x0800) + bytes(range(0x40, 0x40 + n)))
        # Only the 19-byte frame goes out: protocol from its bytes 12-13, 5 bytes after the header.
        assert read_nas(nas, 1) == [(0x4C4D, bytes(range(0x4E, 0x53)))]


@case(memcheck=True)
def nas_drained():
    """nas-side traffic is read and dropped: queues drain, nothing reaches the Ethernet side."""
    nas = enter_lab()
    listener = peer_listener()
    with running():
        for i in range(20):
            os.write(nas, struct.pack("!HH", 0, 0x0800) + b"nas traffic %d" % i)
        wait_drained()
        sentinel = frame(0x0800, b"sentinel")  # once it is out, every earlier handler call has ended
        inject([sentinel])
        assert read_nas(nas, 1) == relayed([sentinel])
        assert arrived_at_peer(listener) == [], "nas traffic reached the Ethernet side"


@case(memcheck=True)
def verbose_trace():
    """-v: every received frame's dump on stderr, in order, zeros past a short frame, nothing on stdout."""
    nas = enter_lab()
    proc, trace = verbose_relay(nas)
    expect_end(proc, out=startup_line(), err=offloads_said() + trace, sig=signal.SIGTERM)


if __name__ == "__main__":
    sys.exit(main())
