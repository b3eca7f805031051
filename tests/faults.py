#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Faults and endurance: links that flap, a nas side that refuses, interfaces deleted under traffic, a
soak of random frames, and no heap allocation at all. Run by tests/CMakeLists.txt; see harness.py."""
import collections
import contextlib
import os
import random
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time

from harness import case, cut_reported, fill_standard_error, main, start_traffic
from lab import WAIT, daemon
from lab.daemon import (ETH, NAS, PID_FILE, expect_end, finish, libc_says, offloads_said, running, start, startup_line,
                        wait_ready)
from lab.frames import frame, inject, read_nas, relayed, wait_drained
from lab.netns import PEER, await_link, enter_lab, make_tun, sh


def recv_down():
    """What a packet socket reports once when its link goes down."""
    return f"recv: {libc_says('ENETDOWN')}\n"


def await_stderr(proc, text, want, in_any_order=False):
    """Reads the daemon's stderr on top of text until it is as long as want, which it must then be (its lines
    in any order, where the daemon hears of them on two sockets at once)."""
    fd = proc.stderr.fileno()
    deadline = time.monotonic() + WAIT
    while len(text) < len(want):
        assert select.select([fd], [], [], max(0.0, deadline - time.monotonic()))[0], f"stderr stayed {text!r}"
        chunk = os.read(fd, 65536).decode()
        assert chunk, f"stderr closed at {text!r}"
        text += chunk
    assert (sorted(text.splitlines()) == sorted(want.splitlines()) if in_any_order else text == want), \
        f"stderr {text!r}, expected {want!r}"
    return text


def await_relay(nas, number):
    """Reads the nas side until traffic frame number, or a later one, arrives."""
    deadline = time.monotonic() + WAIT
    while True:
        assert select.select([nas], [], [], max(0.0, deadline - time.monotonic()))[0], f"frame {number} not relayed"
        data = os.read(nas, 65536)
        if struct.unpack("!I", data[4:8])[0] >= number:
            return


def counter(ifname, name):
    with open(f"/sys/class/net/{ifname}/statistics/{name}") as f:
        return int(f.read())


def wait_taken(frames):
    """Waits until the Ethernet side has received frames in all and the daemon has read every one."""
    deadline = time.monotonic() + WAIT
    while counter(ETH, "rx_packets") < frames:
        assert time.monotonic() < deadline, f"{counter(ETH, 'rx_packets')} of {frames} frames received"
        time.sleep(0.001)
    wait_drained()


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        utime, stime = f.read().rsplit(")", 1)[1].split()[11:13]
    return int(utime) + int(stime)


@case(memcheck=True)
def link_flaps():
    """Each side's link goes down and up, three times, under traffic: one "recv" report for each, and
    relaying resumes every time."""
    nas = enter_lab()
    proc = start("-e", ETH, "-n", NAS)
    wait_ready(proc)
    stop, sent = start_traffic(pause=0.001)
    err = ""
    try:
        for flap in range(1, 7):
            side = (ETH, NAS)[flap % 2]
            sh(f"ip link set {side} down")
            err = await_stderr(proc, err, offloads_said() + recv_down() * flap)
            sh(f"ip link set {side} up")
            await_relay(nas, sent[0] + 50)  # relaying again, for fifty frames before the next flap
    finally:
        stop()

    # Then standard error full, nobody reading it, and a link down to report: the report is dropped after
    # a bounded wait, relaying goes on, and SIGTERM ends it in order, at once.
    stall, filled = fill_standard_error(proc)
    sh(f"ip link set {ETH} down")
    sh(f"ip link set {ETH} up")  # the socket's error stays until the daemon's receive takes it, first
    await_link(PEER)
    inject([after := frame(0x88B6, b"after the report")])
    while read_nas(nas, 1) != relayed([after]):
        pass  # the traffic's last frames, relayed before
    os.close(stall)
    signalled = time.monotonic()
    status, out, err = finish(proc, signal.SIGTERM)
    stopped = time.monotonic() - signalled
    assert stopped <= (2.0 if daemon.EMULATOR else 1.0), f"ended {stopped:.2f} s after SIGTERM with standard error full"
    assert (status, out) == (0, startup_line()) and not os.path.exists(PID_FILE), (status, out)
    assert err == "x" * filled, f"standard error beyond the filler, or short of it: {err.strip('x')!r}"
    print(f"6 links down and up again under traffic (frames sent: {sent[0]}): 6 reports, relaying resumed 6 times; "
          f"with standard error full, relayed on and ended {stopped * 1000:.0f} ms after SIGTERM")


@case(memcheck=True)
def nas_refuses():
    """The nas side refuses sends, its link down, its queue full, then a queue that holds on to
    frames: those frames are lost without a message and relaying goes on."""
    nas = enter_lab()
    with running(err="") as proc:
        sh(f"ip link set {NAS} down")
        await_stderr(proc, "", offloads_said() + recv_down())  # the nas socket's own receive, once
        offered = counter(ETH, "rx_packets") + 20
        inject([frame(0x0800, b"refused %d" % i) for i in range(20)])
        wait_taken(offered)
        sh(f"ip link set {NAS} up")

        # Nobody reads the tun: it keeps tx_queue_len packets and drops the rest.
        with open(f"/sys/class/net/{NAS}/tx_queue_len") as f:
            queue = int(f.read())
        flood = [frame(0x0800, b"queued %d" % i) for i in range(2 * queue)]
        for at in range(0, len(flood), 50):  # in steps the daemon's receive buffer always holds
            inject(flood[at:at + 50])
            wait_taken(offered + at + 50)
        assert counter(NAS, "tx_dropped") == queue, counter(NAS, "tx_dropped")
        assert read_nas(nas, queue) == relayed(flood[:queue])
        sentinel = frame(0x0800, b"sentinel")
        inject([sentinel])
        assert read_nas(nas, 1) == relayed([sentinel])

        # A queue that holds what it cannot send (a shaper here, a stalled driver on a device) keeps
        # the frames charged to the daemon's socket until its send buffer is full.
        sh(f"tc qdisc replace dev {NAS} root tbf rate 8kbit burst 4000 limit 10000000")
        offered = counter(ETH, "rx_packets")
        held = [frame(0x0800, bytes(1400)) for _ in range(300)]
        for at in range(0, len(held), 20):
            inject(held[at:at + 20])
            wait_taken(offered + at + 20)
        wait_ready(proc)  # in its wait again, not in a send
        shaper = subprocess.run(["tc", "-s", "qdisc", "show", "dev", NAS], check=True, capture_output=True, text=True)
        backlog = int(re.search(r"backlog \d+b (\d+)p", shaper.stdout).group(1))
        sh(f"tc qdisc del dev {NAS} root")
        os.set_blocking(nas, False)
        passed = []  # what the shaper let through before it was deleted
        with contextlib.suppress(BlockingIOError):
            while True:
                passed.append(os.read(nas, 65536))
        os.set_blocking(nas, True)
        assert passed == [b"\0\0\x08\0" + bytes(1400)] * len(passed), passed
        assert 0 < backlog < len(held) - len(passed), f"{backlog} held, {len(passed)} passed: no send was refused"
        inject([sentinel])
        assert read_nas(nas, 1) == relayed([sentinel])
    print(f"refused: 20 with the link down, {queue} by a full tun queue, "
          f"{len(held) - backlog - len(passed)} of {len(held)} by a held-back queue ({backlog} held)")


def interface_again(side):
    """Makes the side's interface again, as the lab makes it, and up; the nas side's new descriptor."""
    if side == ETH:
        sh(f"ip link add {ETH} type veth peer name {PEER}")
        sh(f"ip link set {PEER} up")
        nas = None
    else:
        nas = make_tun(NAS)
    sh(f"ip link set {side} up")
    if side == ETH:
        await_link(PEER)
    return nas


@case(memcheck=True)
def interface_deleted():
    """Either side's interface deleted under traffic: one "recv" report and one that it is gone, no
    spinning while it is (CPU ticks over the next two seconds); made again under its name, it is bound
    again, said so, and the traffic reaches the new nas side. SIGTERM still ends it in order."""
    for side in (ETH, NAS):
        nas = enter_lab()
        with running(err="") as proc:
            stop, sent = start_traffic(pause=0.001)
            try:
                await_relay(nas, 10)
                sh(f"ip link del {side}")
                # The packet socket's error and the link watch's news: either may be read first.
                said = await_stderr(proc, "", offloads_said() + recv_down() +
                                    f"{side}: interface deleted; waiting for it to come back\n", in_any_order=True)
                window = 2 * os.sysconf("SC_CLK_TCK")
                before = cpu_ticks(proc.pid)
                time.sleep(2)
                used = cpu_ticks(proc.pid) - before
                assert used <= window // 20, f"{used} of {window} CPU ticks after {side} was deleted"
                nas = interface_again(side) or nas
                await_stderr(proc, said, said + f"{side}: interface back; relaying again\n")
                if side == ETH:  # the traffic's socket went with the interface
                    stop()
                    stop, sent = start_traffic(pause=0.001)
                await_relay(nas, sent[0] + 10)
            finally:
                stop()
        print(f"{side} deleted: {used} of {window} CPU ticks in the next two seconds; made again, relayed again")
        os.close(nas)


def soak_counters():
    """Where a frame can be lost: the Ethernet side's receive, the daemon's sockets, the nas side's send."""
    drops = re.findall(r"\bd(\d+)\)", subprocess.run(["ss", "-0", "-a", "-m"], check=True, capture_output=True,
                                                       text=True).stdout)
    return {"eth rx": counter(ETH, "rx_packets"), "eth rx_dropped": counter(ETH, "rx_dropped"),
            "socket drops": sum(map(int, drops)), "nas tx": counter(NAS, "tx_packets"),
            "nas tx_dropped": counter(NAS, "tx_dropped")}


def soak_loss(before):
    after = soak_counters()
    return {name: after[name] - before[name] for name in before}


def process_usage(pid):
    with open(f"/proc/{pid}/status") as f:
        rss = re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1)
    return {"rss kB": int(rss), "descriptors": len(os.listdir(f"/proc/{pid}/fd"))}


@case(memcheck=True)
def soak():
    """Frames of random lengths (14 to 3000) and ethertypes, at most 16 in flight, reach the nas side
    byte-exact and in order; no counter shows a loss; resident memory and descriptors at the end are
    those after the first thousand. QUELMAR_SOAK_FRAMES sets the count (200000)."""
    nas = enter_lab(mtu=4000)
    total = int(os.environ.get("QUELMAR_SOAK_FRAMES", "200000"))
    seed = int(os.environ.get("QUELMAR_SEED", time.time_ns() % 1000000))
    rng = random.Random(seed)
    pool = rng.randbytes(8192)
    proc = start("-e", ETH, "-n", NAS)
    wait_ready(proc)
    os.set_blocking(nas, False)
    before, baseline = soak_counters(), None
    in_flight, sent, received, empty, first_cut = collections.deque(), 0, 0, 0, None
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW, 0) as s:
        s.bind((PEER, 0))
        while sent < total or in_flight:
            while sent < total and len(in_flight) < 16:
                ethertype = rng.randrange(0x10000)
                if ethertype in (0x8100, 0x88A8):  # VLAN tags, which the kernel takes off on receive
                    ethertype = 0x0800
                length, at = rng.randint(14, 3000), rng.randrange(len(pool) - 3000)
                f = frame(ethertype, pool[at:at + length - 14])
                s.send(f)
                sent += 1
                first_cut = first_cut or (length > 2048 and length)
                if length == 14:
                    empty += 1  # an empty packet, which the tun refuses
                elif ethertype in (0x0000, 0x0003):  # no protocol, or ETH_P_ALL: the kernel asks the tun,
                    # which guesses from the IP version, where the packet holds that version's whole header
                    packet = f[14:2048]
                    version, header = packet[0] >> 4, {4: 20, 6: 40}.get(packet[0] >> 4, 0)
                    guess = {4: 0x0800, 6: 0x86DD}.get(version, 0) if len(packet) >= header else 0
                    in_flight.append((guess, packet))
                else:
                    in_flight.append(relayed([f])[0])
            if not in_flight:
                continue
            try:
                data = os.read(nas, 65536)
            except BlockingIOError:
                if not select.select([nas], [], [], WAIT)[0]:
                    raise AssertionError(f"frame lost after {received} (seed {seed}): {soak_loss(before)}")
                continue
            expected = in_flight.popleft()
            if (struct.unpack("!H", data[2:4])[0], data[4:]) != expected:
                raise AssertionError(f"packet {received} (seed {seed}) is not frame {received + empty}'s: "
                                     f"{data[:24].hex()}... ({len(data) - 4} bytes), expected protocol "
                                     f"{expected[0]:04x}, {len(expected[1])} bytes; {soak_loss(before)}")
            received += 1
            if received == 1000:
                baseline = process_usage(proc.pid)
    final = process_usage(proc.pid)
    loss = soak_loss(before)
    expect_end(proc, out=startup_line(), err=offloads_said() + (cut_reported(first_cut) if first_cut else ""),
               sig=signal.SIGTERM)
    assert loss == {"eth rx": total, "eth rx_dropped": 0, "socket drops": 0, "nas tx": received,
                    "nas tx_dropped": 0}, loss
    # Under valgrind or qemu the resident memory is mostly the emulator's own, which moves by
    # itself; the daemon's descriptors are still its own.
    compared = ("descriptors",) if daemon.EMULATOR else ("rss kB", "descriptors")
    assert all(final[k] == baseline[k] for k in compared), f"after 1000 packets {baseline}, at the end {final}"
    print(f"{total} frames (seed {seed}): {received} relayed byte-exact in order, {empty} empty ones refused "
          f"by the tun, 0 lost; counters {loss}; {final}")


@case("plain", "valgrind/valgrind")
def no_heap():
    """No heap allocation at all under memcheck: none at start-up, none while relaying
    thousands of frames and draining the nas side, with and without -v."""
    valgrind = shutil.which("valgrind")
    nas = enter_lab()
    log, console = "/run/memcheck.log", "/run/console.txt"
    allocation = re.compile(r"^--\d+-- \w*(alloc|new)\w*\(", re.M)  # malloc, calloc, realloc, memalign, new...
    for verbose in ([], ["-v"]):
        # stderr to a file: the -v dumps, unread in a pipe, would fill it and stall the daemon.
        with open(console, "w+") as err:
            proc = subprocess.Popen([valgrind, "--trace-malloc=yes", "--error-exitcode=99", f"--log-file={log}",
                                     daemon.BINARY, *verbose, "-e", ETH, "-n", NAS], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=err)
            wait_ready(proc)
            with open(log) as f:
                at_start = allocation.findall(f.read())
            for batch in range(40):  # 50 at a time: a batch fits the socket's queue even under memcheck
                frames = [frame(0x0800 + batch, struct.pack("!I", i) * (1 + i % 40)) for i in range(50)]
                inject(frames)
                assert read_nas(nas, 50) == relayed(frames), f"batch {batch} came out wrong"
                os.write(nas, struct.pack("!HH", 0, 0x0800) + b"dropped on the nas side %d" % batch)
            wait_drained()
            with open(log) as f:
                relaying = allocation.findall(f.read())[len(at_start):]
            proc.send_signal(signal.SIGTERM)
            out, _ = proc.communicate(timeout=WAIT)
            err.seek(0)
            dumps = err.read()
        with open(log) as f:
            summary = f.read()
        assert (proc.returncode, out.decode()) == (0, startup_line()), (verbose, proc.returncode, summary[-2000:])
        if verbose:
            assert (dumps.count("eth2nas\n"), dumps.count("nas2eth\n")) == (2000, 40), "not every frame was dumped"
        else:
            assert dumps == "", dumps
        assert at_start == [] and relaying == [], f"{verbose}: {len(at_start)} allocations at start-up, " \
                                                  f"{len(relaying)} while relaying"
        assert re.search(r"total heap usage: 0 allocs", summary), summary[-2000:]


if __name__ == "__main__":
    sys.exit(main())
