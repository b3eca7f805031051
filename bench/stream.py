#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""The benchmark's TCP stream trials on this host: one real TCP connection across the Ethernet
side, as a device's port carries one, with the offloads that merge its segments on at the start:

    namespace "peer": gen0 10.9.0.1 =veth= eth0 10.9.0.2 -> RELAY (CPU 1) -> nas0 =veth= sink0

- into eth0: the peer sends wire-sized segments (gen0's TSO and GSO off) and eth0 has GRO on;
- out of eth0: this side sends, eth0's TSO on (a veth's default);
- into eth0 through a bridge: eth0 a port of br0, the relay's Ethernet side br0, this side's
  address on br0. GRO runs where the frames enter the kernel, on eth0 beneath the bridge, so
  the relay must turn it off there. (Out through a bridge, br0's own segmentation is the one
  the relay sees, as on a bare eth0: not measured again.)

Sender and receiver run on CPU 0, at a paced rate (SO_MAX_PACING_RATE) or as fast as TCP goes.
The kernel counts: every frame of the stream carries 52 bytes of IP and TCP headers (timestamps on,
SACK off, no ARP) after its 14 of Ethernet, which the relay strips, so a side's payload is its bytes
less the headers of each packet, whether its packets were wire-sized or merged; payload in = eth0's,
both directions; payload out = sink0's.
A segment cut or refused on the way counts as lost; the stream itself loses nothing.

    stream.py send ADDRESS PORT SECONDS BYTES_PER_S     the sender (0: unpaced); prints bytes sent
    stream.py receive ADDRESS PORT                      the receiver; prints "ready", then bytes received
"""
import socket
import subprocess
import sys
import time
from pathlib import Path

from common import ETH, GEN, GEN_CPU, ROOT, SINK, Relay, counter, median, note, settle, sh, spawn, stop, wait_relaying

BRIDGE = "br0"

PEER_NS = "peer"
PEER_ADDRESS, ETH_ADDRESS, PORT = "10.9.0.1", "10.9.0.2", 5001
HEADERS = 20 + 32  # IP, and TCP with timestamps
ETHERNET = 14  # the header the relay strips
PACED = 25_000_000  # bytes/s: about 17,000 segments/s, well below a relay's saturation here
SO_MAX_PACING_RATE = 47
# direction: (the sender's namespace, the receiver's, its address, what is set on eth0 and gen0 first)
DIRECTIONS = {
    "into eth0": ("peer", None, ETH_ADDRESS, "GRO on at eth0, TSO and GSO off at the peer"),
    "out of eth0": (None, "peer", PEER_ADDRESS, "TSO on at eth0"),
}
# The relay's Ethernet side, and the directions streamed through it.
SIDES = {ETH: tuple(DIRECTIONS), f"{BRIDGE} over {ETH}": ("into eth0",)}


def in_namespace(namespace, command):
    return ["ip", "netns", "exec", namespace, *command] if namespace else command


def enter_peer():
    """gen0 into a namespace of its own, addresses and fixed neighbours (no ARP) on both ends, SACK off;
    gen0 sends wire-sized segments and takes in without GRO."""
    sh("ip", "netns", "add", PEER_NS)
    sh("ip", "link", "set", GEN, "netns", PEER_NS)
    peer = ["ip", "-n", PEER_NS]
    sh(*peer, "link", "set", "lo", "up")
    sh(*peer, "addr", "add", f"{PEER_ADDRESS}/24", "dev", GEN)
    sh(*peer, "link", "set", GEN, "up")
    sh("ip", "addr", "add", f"{ETH_ADDRESS}/24", "dev", ETH)
    eth_mac = Path(f"/sys/class/net/{ETH}/address").read_text().strip()
    peer_mac = sh(*peer, "-br", "link", "show", GEN, capture_output=True, text=True).stdout.split()[2]
    sh(*peer, "neigh", "replace", ETH_ADDRESS, "lladdr", eth_mac, "dev", GEN, "nud", "permanent")
    sh("ip", "neigh", "replace", PEER_ADDRESS, "lladdr", peer_mac, "dev", ETH, "nud", "permanent")
    for namespace in (None, PEER_NS):
        sh(*in_namespace(namespace, ["sysctl", "-q", "net.ipv4.tcp_sack=0", "net.ipv6.conf.all.disable_ipv6=1",
                                     "net.ipv6.conf.default.disable_ipv6=1"]))
    sh(*in_namespace(PEER_NS, ["ethtool", "-K", GEN, "tso", "off", "gso", "off", "gro", "off"]))
    # The bridge, without ports until a trial through it; eth0's address, so that the peer's
    # neighbour entry holds either way.
    sh("ip", "link", "add", BRIDGE, "type", "bridge", "forward_delay", "0")
    sh("ip", "link", "set", BRIDGE, "address", eth_mac, "up")


def through_bridge(joined):
    """eth0 made a port of br0 and this side's address moved to br0, or both put back. A port
    drops frames until it forwards, even with no forward delay."""
    peer_mac = sh("ip", "-n", PEER_NS, "-br", "link", "show", GEN, capture_output=True, text=True).stdout.split()[2]
    device, other = (BRIDGE, ETH) if joined else (ETH, BRIDGE)
    sh("ip", "link", "set", ETH, "master" if joined else "nomaster", *((BRIDGE,) if joined else ()))
    sh("ip", "addr", "del", f"{ETH_ADDRESS}/24", "dev", other)
    sh("ip", "addr", "add", f"{ETH_ADDRESS}/24", "dev", device)
    sh("ip", "neigh", "replace", PEER_ADDRESS, "lladdr", peer_mac, "dev", device, "nud", "permanent")
    deadline = time.monotonic() + 10
    while joined and Path(f"/sys/class/net/{ETH}/brport/state").read_text().strip() != "3":
        if time.monotonic() > deadline:
            raise RuntimeError(f"{ETH} never forwarded as a port of {BRIDGE}")
        time.sleep(0.05)


def payloads(gro):
    """Payload bytes through eth0 (both ways) and into sink0, as the kernel counts them. A veth
    counts what it takes in through GRO (its NAPI path) without the Ethernet header."""
    received = counter(ETH, "rx_bytes") - ((0 if gro else ETHERNET) + HEADERS) * counter(ETH, "rx_packets")
    sent = counter(ETH, "tx_bytes") - (ETHERNET + HEADERS) * counter(ETH, "tx_packets")
    return received + sent, counter(SINK, "rx_bytes") - HEADERS * counter(SINK, "rx_packets")


def gro_on():
    return "generic-receive-offload: on" in sh("ethtool", "-k", ETH, capture_output=True, text=True).stdout


def stream_trial(contender, side, direction, rate, duration, warmup):
    """Rates over a window of duration after warmup; loss over the whole stream, once drained. The
    counts are eth0's whatever the relay's Ethernet side."""
    sender_ns, receiver_ns, address, _ = DIRECTIONS[direction]
    sh("ethtool", "-K", ETH, "gro", "on", "tso", "on")
    endpoint = [sys.executable, str(ROOT / "bench" / "stream.py")]
    device = side.split()[0]
    name, frames, command, package = contender
    with Relay((name, frames, [device if a == ETH else a for a in command], package)) as relay:
        wait_relaying(64, relay.proc, via=device)
        gro = gro_on()  # as the relay left it for the whole stream
        start = payloads(gro)
        receiver = spawn(["taskset", "-c", GEN_CPU, *in_namespace(receiver_ns, [*endpoint, "receive", address,
                                                                                  str(PORT)])],
                         stdout=subprocess.PIPE, raised=True)
        sender = None
        try:
            if receiver.stdout.readline().strip() != "ready":
                raise RuntimeError("the stream's receiver did not start")
            sender = spawn(["taskset", "-c", GEN_CPU, *in_namespace(sender_ns, [*endpoint, "send", address, str(PORT),
                                                                                str(warmup + duration), str(rate)])],
                           stdout=subprocess.PIPE, raised=True)
            time.sleep(warmup)
            t0, (in0, out0), cpu0 = time.monotonic(), payloads(gro), relay.cpu()
            time.sleep(duration)
            t1, (in1, out1), cpu1 = time.monotonic(), payloads(gro), relay.cpu()
            sent = int(sender.stdout.read() or 0)
            received = int(receiver.stdout.read() or 0)
        finally:
            for proc in (sender, receiver):
                if proc:
                    stop(proc)
        settle()
        end = payloads(gro)
        if relay.proc.poll() is not None:
            raise RuntimeError(f"{relay.name} ended during the stream")
    seconds, taken = t1 - t0, end[0] - start[0]
    return dict(contender=contender[0], side=side, direction=direction,
                paced_mbps=round(rate / 1e6, 1) if rate else None, seconds=round(seconds, 3), payload_in_mbps=round((in1 - in0) / seconds / 1e6, 2),
                payload_out_mbps=round((out1 - out0) / seconds / 1e6, 2),
                loss_pct=round(100.0 * (taken - (end[1] - start[1])) / taken, 2) if taken else None,
                relay_cpu_pct=round(100.0 * (cpu1 - cpu0) / seconds, 1), sent=sent, received=received,
                payload_taken=taken)


def run_streams(chosen, reps, duration, warmup, smoke):
    """Every stream trial of quelmar, of quelmar from other builds (--against) and of the floor (not in
    smoke mode): one row each. Moves gen0 away: the last job."""
    contenders = [c for c in chosen if c[0] == "quelmar" or c[0].startswith("quelmar@")
                  or (c[0] == "floor" and not smoke)]
    if not contenders:
        return []
    enter_peer()
    rates = (PACED,) if smoke else (PACED, 0)
    rows = []
    for rep in range(1, reps + 1):
        shift = (rep - 1) % len(contenders)
        for side, directions in SIDES.items():
            if side != ETH:
                through_bridge(True)
            for direction in directions:
                for rate in rates:
                    for contender in contenders[shift:] + contenders[:shift]:
                        row = dict(rep=rep, **stream_trial(contender, side, direction, rate, duration, warmup))
                        note(f"rep {rep} TCP {direction:<11} on {side:<12} {row['contender']:<16} "
                             f"{'paced' if rate else 'unpaced':<7} payload in {row['payload_in_mbps']:>8.2f} MB/s, "
                             f"out of nas0 {row['payload_out_mbps']:>8.2f} MB/s, loss {row['loss_pct']:5.1f} %, "
                             f"relay CPU {row['relay_cpu_pct']:g} %")
                        rows.append(row)
            if side != ETH:
                through_bridge(False)
    return rows


def stream_markdown(rows):
    """Medians per Ethernet side, direction, pace and contender."""
    groups = {}
    for r in rows:
        groups.setdefault((r["side"], r["direction"], r["paced_mbps"], r["contender"]), []).append(r)
    lines = ["| Ethernet side | direction | at the start | sender | contender | payload into eth0 MB/s "
             "| payload out of nas0 MB/s | loss % | relay CPU busy % |", "|---|---|---|---|---|--:|--:|--:|--:|"]
    for (side, direction, paced, name), runs in groups.items():
        start = DIRECTIONS[direction][3] + ("" if side == ETH else f", {ETH} a port of {BRIDGE}")
        lines.append(f"| {side} | {direction} | {start} "
                     f"| {f'paced at {paced:g} MB/s' if paced else 'unpaced'} "
                     f"| {name} | {median(runs, 'payload_in_mbps'):.2f} | {median(runs, 'payload_out_mbps'):.2f} "
                     f"| {median(runs, 'loss_pct'):.1f} | {median(runs, 'relay_cpu_pct'):.0f} |")
    return "\n".join(lines)


def send(address, port, seconds, rate):
    with socket.create_connection((address, port)) as s:
        if rate:
            s.setsockopt(socket.SOL_SOCKET, SO_MAX_PACING_RATE, rate)
        chunk, sent, end = bytes(1 << 18), 0, time.monotonic() + seconds
        while time.monotonic() < end:
            sent += s.send(chunk)
    print(sent)


def receive(address, port):
    with socket.socket() as listener:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((address, port))
        listener.listen(1)
        print("ready", flush=True)
        connection, _ = listener.accept()
        with connection:
            buffer, received = bytearray(1 << 18), 0
            while n := connection.recv_into(buffer):
                received += n
    print(received)


if __name__ == "__main__":
    if sys.argv[1:2] == ["send"] and len(sys.argv) == 6:
        send(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5]))
    elif sys.argv[1:2] == ["receive"] and len(sys.argv) == 4:
        receive(sys.argv[2], int(sys.argv[3]))
    else:
        sys.exit(__doc__)
