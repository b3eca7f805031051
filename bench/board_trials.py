#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""The benchmark on the emulated MIPS board (tools/lab/board.py), in parts, one boot per build and part
(frames and tcp share one):

    this host's sender -> UDP -> qemu's e1000 -> eth0 -> RELAY -> nas1 =veth= sink0

The contenders: quelmar as the build installed it; the floor (bench/programs/floor.cpp) built with the
build's compiler, C library and flags; and the board kernel's bridge from eth0 to nas1. Frames
go to the broadcast address (quelmar asks for no promiscuous mode, and the NIC filters), paced,
up to a flood of more than the board's kernel takes in (board.FLOOD). The board's kernel counts: taken in = eth0's rx_packets,
relayed = sink0's rx_packets, over the board's uptime; the relay's CPU comes from its
/proc/PID/stat, the board's from /proc/stat, VmRSS and VmSize from /proc/PID/status.

tcp: a TCP flow's wire-sized segments (board.tcp_flow), sent to the board's MAC, measure quelmar and
the floor relaying a stream whole with the NIC's GRO on at the start, and quelmar on a bridge br0 whose
port eth0 is (the bridge's MAC is eth0's, so the flow is for br0 itself; eth0's GRO merges it beneath
br0): payload out = sink0's bytes less the 52 bytes of IP and TCP headers of each packet, whether
whole or merged; loss = payload the host sent that never came out. The kernel bridge contender takes
no part: the board's own MAC is for the bridge itself, not forwarded.

cost: what turning the offloads off costs the board's own TCP, a device serving files or its web
interface. A real TCP stack at this end: qemu's eth0 is a tap device (qtap0) in a network namespace of
the benchmark's own, with an address, and the board has one on eth0 (or on br0, eth0 its port). The
board's tcp_end (bench/programs) connects to this host and receives, or sends, 64 KiB a call, as fast
as TCP goes or paced; this host's end counts the bytes. With quelmar stopped (the offloads as the
kernel has them: GRO and TSO on), running as the Ethernet side's relay (GRO off on eth0, TSO off on
the Ethernet side itself: eth0 bare, br0 bridged; every frame of the stream relayed to nas1), and
paused after its start (SIGSTOP: the offloads off, nothing relayed, its socket's queue full).
Throughput = payload bytes this host's end moved per second; the board's CPU from /proc/stat; the
relay's share from its /proc/PID/stat; relayed = sink0's payload over the bytes moved.

overload: what the nas side's reader gets past the relay's peak under each scheduling setting
(board_overload.py); kernels: the same for the settings before and as shipped, on variants of the board's
kernel."""
import datetime
import re
import socket
import statistics
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import board_overload
from board_overload import command
from common import ETHERTYPE, PROGRAMS, fmt, median, note, sh
from lab import board, netns
from report import machine, ratio, write_csv

PARTS = ("frames", "tcp", "cost", "overload", "kernels")

RATES = (2000, 5000, 10000, 15000, 20000, board.FLOOD)  # frames/s
TCP_RATES = (5000, 10000, board.FLOOD)  # segments/s
TCP_PAYLOAD, TCP_HEADERS = 1448, 52
# Consecutive segments, sent again from the first: one jump back in sequence numbers every 1000.
TCP_SEGMENTS = board.tcp_flow(1000, TCP_PAYLOAD)
# A bridge over eth0 on the board, its MAC eth0's, forwarding: a port drops frames until then, even
# with no forward delay.
BRIDGE = ("ip link add br0 type bridge && echo 0 >/sys/class/net/br0/bridge/forward_delay && "
          "ip link set br0 address $(cat /sys/class/net/eth0/address) && ip link set eth0 master br0 && "
          "ip link set br0 up && while [ $(cat /sys/class/net/eth0/brport/state) != 3 ]; do sleep 0.1; done")
BACKGROUND = "</dev/null >/dev/null 2>&1 & echo \"board: pid $!\""
CONTENDERS = {  # name: the board's command starting it in the background, or setting it up
    "quelmar": f"quelmar -e eth0 -n nas1 {BACKGROUND}",
    "floor": f"floor eth0 nas1 {BACKGROUND}",
    "kernel bridge": "ip link add br0 type bridge && ip link set eth0 master br0 && ip link set nas1 master br0 "
                     "&& ip link set br0 up",
    "quelmar on br0": f"{BRIDGE}; quelmar -e br0 -n nas1 {BACKGROUND}",
}
FRAME_CONTENDERS = ("quelmar", "floor", "kernel bridge")
TCP_CONTENDERS = ("quelmar", "floor", "quelmar on br0")
USER_HZ = 100  # the unit of /proc/PID/stat's times on MIPS Linux
WARMUP = 1.0

# The cost part: this host's end of the board's own TCP on a tap device, the board's on eth0 or br0.
TAP, HOST_ADDRESS, BOARD_ADDRESS, COST_PORT = "qtap0", "10.9.1.1", "10.9.1.2", 5001
COST_PACED = 5_000_000  # bytes/s: below what the board's TCP reaches in either direction, quelmar running
COST_SIDES = {"eth0": "eth0", "br0 over eth0": "br0"}  # the board's address and quelmar's -e
COST_DIRECTIONS = ("board receives", "board sends")
STATES = ("quelmar stopped", "quelmar running", "quelmar paused")
JOIN_BRIDGE = f"ip addr del {BOARD_ADDRESS}/24 dev eth0 && {BRIDGE} && ip addr add {BOARD_ADDRESS}/24 dev br0"
LEAVE_BRIDGE = f"ip link del br0 && ip addr add {BOARD_ADDRESS}/24 dev eth0"
# Until quelmar relays: the board's pings to this host, which go out of eth0, reach sink0.
RELAYING = ("n=$(cat /sys/class/net/sink0/statistics/rx_packets); i=0; "
            "while [ $(cat /sys/class/net/sink0/statistics/rx_packets) = $n ] && [ $i -lt 50 ]; "
            f"do ping -c 1 -W 1 {HOST_ADDRESS} >/dev/null; i=$((i + 1)); done; [ $i -lt 50 ]")
SO_MAX_PACING_RATE = 47


def snapshot(b, pid):
    """Board uptime, eth0 rx_packets, sink0 rx_packets and rx_bytes, the board's busy and total CPU
    ticks, the relay's ticks."""
    text = command(b, 'echo "board: snapshot $(cat /proc/uptime /sys/class/net/eth0/statistics/rx_packets '
                      '/sys/class/net/sink0/statistics/rx_packets /sys/class/net/sink0/statistics/rx_bytes) '
                      f'$(head -n 1 /proc/stat) $(cat /proc/{pid or "self"}/stat)"')
    fields = re.search(r"board: snapshot (.*)", text, re.S)[1].split()
    cpu = [int(v) for v in fields[6:16]]
    stat = fields[16:]
    own = int(stat[13]) + int(stat[14]) if pid else None  # utime + stime
    return dict(uptime=float(fields[0]), taken=int(fields[2]), relayed=int(fields[3]),
                payload=int(fields[4]) - TCP_HEADERS * int(fields[3]), busy=sum(cpu) - cpu[3] - cpu[4],
                total=sum(cpu), relay=own)


def wait_relaying(b, frame, pid):
    for _ in range(50):
        before = snapshot(b, pid)["relayed"]
        b.send([frame])
        if snapshot(b, pid)["relayed"] > before:
            return
    raise RuntimeError("nothing relayed on the board")


def settle(b, pid):
    """Waits until sink0's count stands still for half a second; the last snapshot."""
    last = snapshot(b, pid)
    while True:
        time.sleep(0.5)
        now = snapshot(b, pid)
        if now["relayed"] == last["relayed"]:
            return now
        last = now


def trial(b, name, frames, rate, duration, tcp=False):
    """One contender's run at rate, frames sent in turn; for a TCP flow's, their payload too."""
    pid = None
    for line in command(b, CONTENDERS[name]).splitlines():
        if line.startswith("board: pid "):
            pid = int(line.split()[2])
    try:
        if pid is None and name != "kernel bridge":
            raise RuntimeError(f"{name} did not start on the board")
        wait_relaying(b, frames[0], pid)
        first = settle(b, pid)
        sender = board.Sender(b, frames, rate)
        try:
            time.sleep(WARMUP)
            s0 = snapshot(b, pid)
            time.sleep(duration)
            s1 = snapshot(b, pid)
            usage = command(b, f"grep -E '^Vm(RSS|Size)' /proc/{pid}/status") if pid else ""
        finally:
            offered = sender.stop()
        last = settle(b, pid)
    finally:
        if pid:
            command(b, f"kill {pid}; wait {pid} || true")
        if "br0" in CONTENDERS[name]:
            command(b, "ip link del br0")
    seconds, relayed = s1["uptime"] - s0["uptime"], s1["relayed"] - s0["relayed"]
    memory = dict(re.findall(r"(Vm\w+):\s+(\d+) kB", usage))
    row = dict(contender=name, size=len(frames[0]), rate=rate, offered_fps=round(offered),
                taken_fps=round((s1["taken"] - s0["taken"]) / seconds), relayed_fps=round(relayed / seconds),
                loss_pct=round(100.0 * (sender.sent - (last["relayed"] - first["relayed"])) / sender.sent, 2),
                relay_us_per_frame=round((s1["relay"] - s0["relay"]) / USER_HZ / relayed * 1e6, 1)
                if pid and relayed else None,
                board_busy_pct=round(100.0 * (s1["busy"] - s0["busy"]) / (s1["total"] - s0["total"]), 1),
                vm_rss_kb=int(memory["VmRSS"]) if "VmRSS" in memory else None,
                vm_size_kb=int(memory["VmSize"]) if "VmSize" in memory else None)
    if tcp:
        row.update(payload_out_mbps=round((s1["payload"] - s0["payload"]) / seconds / 1e6, 3),
                   payload_loss_pct=round(100.0 * (1 - (last["payload"] - first["payload"]) /
                                                   (sender.sent * TCP_PAYLOAD)), 2))
    return row


def cross_build(build, out, program):
    """A program of bench/programs, built as the build builds quelmar: its compiler, C library, flags and
    options."""
    cache = {name: board.cache_value(build, name) or "" for name in
             ("CMAKE_CXX_FLAGS", "CMAKE_BUILD_TYPE", "CMAKE_EXE_LINKER_FLAGS")}
    optimise = board.cache_value(build, "CMAKE_CXX_FLAGS_" + cache["CMAKE_BUILD_TYPE"].upper()) or ""
    # A toolchain file's compiler is kept with the compiler's checks, not in the cache.
    [checks] = Path(build).glob("CMakeFiles/*/CMakeCXXCompiler.cmake")
    compiler = re.search(r'set\(CMAKE_CXX_COMPILER "(.+)"\)', checks.read_text())[1]
    binary = Path(out) / program
    subprocess.run([compiler, "-std=c++20", *cache["CMAKE_CXX_FLAGS"].split(), *optimise.split(),
                    "-fno-exceptions", "-fno-rtti", "-fno-asynchronous-unwind-tables", "-fno-threadsafe-statics",
                    "-ffunction-sections", "-fdata-sections", "-o", str(binary), str(PROGRAMS / f"{program}.cpp"),
                    *cache["CMAKE_EXE_LINKER_FLAGS"].split(), "-Wl,--as-needed", "-Wl,--gc-sections"], check=True)
    return binary


def installed_size(stage):
    return {str(p.relative_to(stage)): p.stat().st_size for p in sorted(stage.rglob("*"))
            if p.is_file() and "quelmar" in p.name and p.parent.name != "default"}


def broadcast(size):
    return b"\xff" * 6 + bytes.fromhex("020000000001") + ETHERTYPE.to_bytes(2, "big") + b"\x5a" * (size - 14)


def run_build(build, sizes, duration, reps, parts):
    """The frames and tcp parts' trials on one boot of the board with build's quelmar: (rows, TCP rows,
    installed sizes)."""
    rows, tcp_rows = [], []
    with tempfile.TemporaryDirectory(prefix="board-bench-") as out:
        floor = cross_build(build, out, "floor")
        initrd = board.image(build, out, "::wait:/usr/bin/board-bench",
                             files=[("/usr/bin/board-bench", PROGRAMS / "board_bench.sh"), ("/usr/bin/floor", floor)])
        sizes_installed = installed_size(Path(out) / "stage")
        b = board.Board(initrd)
        try:
            b.expect(rb"board: ready\r\n")
            # The quelmar S50quelmar started at boot would take every frame too. BusyBox's ip names
            # no veth peer: the kernel calls it veth0.
            command(b, "/etc/init.d/S50quelmar stop && ip link add sink0 type veth && ip link set veth0 name nas1 && "
                       "ip link set nas1 up && ip link set sink0 up")
            names = list(FRAME_CONTENDERS)
            for rep in range(1, reps + 1):
                shift = (rep - 1) % len(names)  # each repetition starts with another contender
                for size in sizes if "frames" in parts else ():
                    for rate in RATES:
                        for name in names[shift:] + names[:shift]:
                            row = dict(build=build.name, rep=rep, **trial(b, name, [broadcast(size)], rate, duration))
                            note(f"board {build.name} rep {rep} {size:>4} B {name:<13} {rate:>6} /s: "
                                 f"offered {row['offered_fps']:>7,} taken {row['taken_fps']:>6,} "
                                 f"relayed {row['relayed_fps']:>6,} /s, loss {row['loss_pct']:5.1f} %, "
                                 f"{fmt(row['relay_us_per_frame'], '>6g')} µs CPU per frame, "
                                 f"board busy {row['board_busy_pct']:g} %")
                            rows.append(row)
                for rate in TCP_RATES if "tcp" in parts else ():
                    for name in TCP_CONTENDERS[shift:] + TCP_CONTENDERS[:shift]:
                        row = dict(build=build.name, rep=rep, **trial(b, name, TCP_SEGMENTS, rate, duration, tcp=True))
                        note(f"board {build.name} rep {rep} TCP {name:<14} {rate:>6} segments/s: "
                             f"offered {row['offered_fps']:>7,} taken {row['taken_fps']:>6,} relayed "
                             f"{row['relayed_fps']:>6,} /s, payload out {row['payload_out_mbps']:6.2f} MB/s, "
                             f"loss {row['payload_loss_pct']:5.1f} %")
                        tcp_rows.append(row)
            b.reply(b"poweroff -f")
            b.end()
        finally:
            b.close()
    return rows, tcp_rows, sizes_installed


class Peer:
    """This host's end of one of the board's TCP connections, from a thread: accepts it on listener, then
    sends zeros (paced at rate bytes/s; 0: unpaced) or reads, 64 KiB a call, counting the bytes, until
    stopped, and closes it."""

    def __init__(self, listener, sending, rate):
        self.moved, self.running, self.failure = 0, True, None
        self.thread = threading.Thread(target=self._run, args=(listener, sending, rate), daemon=True)
        self.thread.start()

    def _run(self, listener, sending, rate):
        try:
            connection, _ = listener.accept()
            with connection:
                if rate:
                    connection.setsockopt(socket.SOL_SOCKET, SO_MAX_PACING_RATE, rate)
                connection.settimeout(1.0)
                chunk, buffer = bytes(1 << 16), bytearray(1 << 16)
                while self.running:
                    try:
                        n = connection.send(chunk) if sending else connection.recv_into(buffer)
                    except TimeoutError:
                        continue
                    if not n:
                        break
                    self.moved += n
        except OSError as e:
            self.failure = e

    def sample(self):
        return time.monotonic(), self.moved

    def stop(self):
        self.running = False
        self.thread.join()
        if self.failure:
            raise RuntimeError(f"this host's end of the board's TCP: {self.failure}")


def cost_trial(b, listener, side, state, direction, rate, duration):
    """One connection of the board's own TCP, quelmar stopped, running or paused on side."""
    pid = None
    if state != "quelmar stopped":
        for line in command(b, f"quelmar -e {COST_SIDES[side]} -n nas1 {BACKGROUND}").splitlines():
            if line.startswith("board: pid "):
                pid = int(line.split()[2])
        command(b, RELAYING)
        if state == "quelmar paused":
            command(b, f"kill -STOP {pid}")
    try:
        receiving = direction == "board receives"
        peer = Peer(listener, receiving, rate if receiving else 0)
        try:
            started = command(b, f"tcp_end {HOST_ADDRESS} {COST_PORT} {'receive' if receiving else 'send'}"
                                 f"{'' if receiving or not rate else f' {rate}'} >/tmp/tcp_end.out 2>&1 "
                                 "& echo \"board: pid $!\"")
            end = int(re.search(r"board: pid (\d+)", started)[1])
            time.sleep(WARMUP)
            # This host's count halfway through each snapshot, which takes the console's time.
            (ta, ma), s0, (tb, mb) = peer.sample(), snapshot(b, pid), peer.sample()
            time.sleep(duration)
            (tc, mc), s1, (td, md) = peer.sample(), snapshot(b, pid), peer.sample()
        finally:
            peer.stop()
        command(b, f"wait {end}")  # the board's end ends once this host's has closed
    finally:
        if pid:
            command(b, f"kill {pid}; kill -CONT {pid}; wait {pid} || true")
    seconds, moved = (tc + td - ta - tb) / 2, (mc + md - ma - mb) / 2
    board_seconds = s1["uptime"] - s0["uptime"]
    busy = (s1["busy"] - s0["busy"]) / (s1["total"] - s0["total"])
    mbps = moved / seconds / 1e6
    return dict(side=side, direction=direction, paced_mbps=round(rate / 1e6, 1) if rate else None, state=state,
                seconds=round(seconds, 3), mbps=round(mbps, 3), board_busy_pct=round(100.0 * busy, 1),
                board_ms_per_mb=round(1000.0 * busy / mbps, 1) if mbps else None,
                relay_cpu_pct=round(100.0 * (s1["relay"] - s0["relay"]) / USER_HZ / board_seconds, 1) if pid else None,
                relayed_pct=round(100.0 * (s1["payload"] - s0["payload"]) / moved, 1)
                if state == "quelmar running" and moved else None)


def run_cost(build, duration, reps):
    """The cost part's trials on one boot of the board with build's quelmar, its eth0 on this host's tap
    (in the benchmark's network namespace): one row each."""
    rows = []
    with tempfile.TemporaryDirectory(prefix="board-cost-") as out:
        initrd = board.image(build, out, "::wait:/usr/bin/board-bench",
                             files=[("/usr/bin/board-bench", PROGRAMS / "board_bench.sh"),
                                    ("/usr/bin/tcp_end", cross_build(build, out, "tcp_end"))])
        b = board.Board(initrd, netdev=f"tap,id=n0,ifname={TAP},script=no,downscript=no")
        try:
            b.expect(rb"board: ready\r\n")
            sh("ip", "addr", "add", f"{HOST_ADDRESS}/24", "dev", TAP)
            sh("ip", "link", "set", TAP, "up")
            command(b, "/etc/init.d/S50quelmar stop && ip link add sink0 type veth && ip link set veth0 name nas1 && "
                       f"ip link set nas1 up && ip link set sink0 up && ip addr add {BOARD_ADDRESS}/24 dev eth0 && "
                       f"ping -c 1 -W 10 {HOST_ADDRESS} >/dev/null")
            with socket.create_server((HOST_ADDRESS, COST_PORT)) as listener:
                listener.settimeout(board.WAIT)
                sides = list(COST_SIDES)
                for rep in range(1, reps + 1):
                    shift = (rep - 1) % len(STATES)
                    for side in sides[rep % 2:] + sides[:rep % 2]:
                        if side != "eth0":
                            command(b, JOIN_BRIDGE)
                        for direction in COST_DIRECTIONS:
                            for rate in (0, COST_PACED):
                                for state in STATES[shift:] + STATES[:shift]:
                                    row = dict(build=build.name, rep=rep,
                                               **cost_trial(b, listener, side, state, direction, rate, duration))
                                    note(f"board {build.name} rep {rep} own TCP on {side:<13} {direction:<14} "
                                         f"{'paced' if rate else 'unpaced':<7} {state:<15}: "
                                         f"{row['mbps']:6.2f} MB/s, board busy {row['board_busy_pct']:5.1f} %, "
                                         f"{fmt(row['board_ms_per_mb'], '6.1f')} ms CPU per MB, relay "
                                         f"{fmt(row['relay_cpu_pct'], 'g')} %, "
                                         f"relayed {fmt(row['relayed_pct'], 'g')} %")
                                    rows.append(row)
                        if side != "eth0":
                            command(b, LEAVE_BRIDGE)
            b.reply(b"poweroff -f")
            b.end()
        finally:
            b.close()
    return rows


def summarise(rows):
    """Medians per build, frame size, rate and contender. Against the floor: each repetition's
    ratio, the contenders run one after the other in it, then their median and range, so that what
    drifts from one repetition to the next (the host's load) cancels."""
    groups, reps = {}, {}
    for r in rows:
        groups.setdefault((r["build"], r["size"], r["rate"], r["contender"]), []).append(r)
        reps.setdefault(((r["build"], r["size"], r["rate"]), r["rep"]), {})[r["contender"]] = r
    out = {key: {k: median(runs, k) for k in ("offered_fps", "taken_fps", "relayed_fps", "loss_pct",
                                              "relay_us_per_frame", "board_busy_pct", "vm_rss_kb", "vm_size_kb")}
           for key, runs in groups.items()}
    for (build, size, rate, name), row in out.items():
        row["vs_floor"] = against(reps, (build, size, rate), name, "floor", "relayed_fps")
        row["cpu_vs_floor"] = against(reps, (build, size, rate), name, "floor", "relay_us_per_frame")
    return out


def against(reps, group, name, reference, field):
    """name's field over reference's, in each repetition of group (reps: (group, rep) -> {name: row}), then
    the median and range of those ratios; None where there are none."""
    ratios = sorted(ratio(run[name][field], run[reference][field]) for (g, _), run in reps.items()
                    if g == group and name in run and reference in run
                    and run[name][field] is not None and run[reference][field])
    return (statistics.median(ratios), ratios[0], ratios[-1]) if ratios else None


def spread(value):
    return "–" if value is None else f"{value[0]:.2f} ({value[1]:.2f}–{value[2]:.2f})"


def markdown(table, installed, reps, duration):
    lines = [f"Measured {datetime.date.today()} on a Malta board under qemu-system-mips (TCG), on {machine()}: "
             f"medians of {reps} trial(s) of {duration:g} s after {WARMUP:g} s of warm-up, on one boot per build; "
             "against the floor, the median (and range) of each repetition's ratio.", "",
             "| build | frame bytes | sent frames/s | contender | offered | taken in by eth0 | relayed | loss % "
             "| relayed vs floor | relay CPU µs per frame | CPU per frame vs floor | board CPU busy % |",
             "|---|--:|--:|---|--:|--:|--:|--:|--:|--:|--:|--:|"]
    for (build, size, rate, name), r in table.items():
        lines.append(f"| {build} | {size} | {rate:,}{' (flood)' if rate == board.FLOOD else ''} | {name} "
                     f"| {r['offered_fps']:,.0f} | {r['taken_fps']:,.0f} | {r['relayed_fps']:,.0f} | {r['loss_pct']:.1f} "
                     f"| {spread(r['vs_floor'])} | {fmt(r['relay_us_per_frame'], 'g')} | {spread(r['cpu_vs_floor'])} "
                     f"| {r['board_busy_pct']:g} |")
    lines += ["", "| build | contender | VmRSS kB | VmSize kB |", "|---|---|--:|--:|"]
    for (build, size, rate, name), r in table.items():
        if (size, rate) == (max(s for _, s, _, _ in table), board.FLOOD) and r["vm_rss_kb"]:
            lines.append(f"| {build} | {name} | {r['vm_rss_kb']:g} | {r['vm_size_kb']:g} |")
    lines += ["", "Installed by `cmake --install --strip` (bytes):", ""]
    lines += [f"- {build}: " + ", ".join(f"{path} {size:,}" for path, size in files.items())
              for build, files in installed.items()]
    lines.append("")
    for build, size in dict.fromkeys((b, s) for b, s, _, _ in table):
        # A relay's rate: the most it relays at any rate offered (past it, receive livelock takes more).
        peak = {name: max(r["relayed_fps"] for (b, s, _, n), r in table.items() if (b, s, n) == (build, size, name))
                for name in ("quelmar", "floor")}
        share = peak["quelmar"] / peak["floor"]
        lines.append(f"- {'met' if share >= 0.97 else 'MISSED'}: {build}, {size} B: quelmar relays at most "
                     f"{peak['quelmar']:,.0f} frames/s, {share:.3f}× the floor's {peak['floor']:,.0f} (target ≥ 0.97)")
        # Where the floor could not keep up (it lost frames), each rate's ratio too.
        lines += [f"- said: {build}, {size} B at {rate:,}/s: quelmar relays {spread(r['vs_floor'])}× the floor's "
                  "frames/s" for (b, s, rate, name), r in table.items()
                  if (b, s, name) == (build, size, "quelmar") and table[b, s, rate, "floor"]["loss_pct"] > 1]
    return "\n".join(lines) + "\n"


def tcp_markdown(rows):
    """Medians per build, rate and contender of the TCP flow's trials."""
    groups = {}
    for r in rows:
        groups.setdefault((r["build"], r["rate"], r["contender"]), []).append(r)
    lines = ["A TCP flow's segments of 1514 bytes (1448 of payload) sent to the board's MAC, the e1000's GRO "
             "on at each start (quelmar on br0: eth0 a port of br0, which has eth0's MAC): medians.", "",
             "| build | sent segments/s | contender | offered | taken in by eth0 | payload out of nas1 MB/s "
             "| payload loss % |", "|---|--:|---|--:|--:|--:|--:|"]
    for (build, rate, name), runs in groups.items():
        lines.append(f"| {build} | {rate:,}{' (flood)' if rate == board.FLOOD else ''} | {name} "
                     f"| {median(runs, 'offered_fps'):,.0f} | {median(runs, 'taken_fps'):,.0f} "
                     f"| {median(runs, 'payload_out_mbps'):.2f} | {median(runs, 'payload_loss_pct'):.1f} |")
    return "\n".join(lines) + "\n"


def summarise_cost(rows):
    """Medians per build, Ethernet side, direction, pace and quelmar's state; against quelmar stopped, the
    median (and range) of each repetition's ratio."""
    groups, reps = {}, {}
    for r in rows:
        group = (r["build"], r["side"], r["direction"], r["paced_mbps"])
        groups.setdefault((*group, r["state"]), []).append(r)
        reps.setdefault((group, r["rep"]), {})[r["state"]] = r
    out = {key: {k: median(runs, k) for k in ("mbps", "board_busy_pct", "board_ms_per_mb", "relay_cpu_pct",
                                              "relayed_pct")} for key, runs in groups.items()}
    for (*group, state), row in out.items():
        row["mbps_vs_stopped"] = against(reps, tuple(group), state, "quelmar stopped", "mbps")
        row["cpu_vs_stopped"] = against(reps, tuple(group), state, "quelmar stopped", "board_ms_per_mb")
    return out


def cost_markdown(table, reps, duration):
    lines = [f"The board's own TCP, its end tcp_end (64 KiB a call), this host's on a tap device: medians of {reps} "
             f"trial(s) of {duration:g} s after {WARMUP:g} s, quelmar stopped, running (relaying every frame to "
             "nas1) and paused after its start (the offloads off, nothing relayed); against quelmar stopped, the "
             "median (and range) of each repetition's ratio.", "",
             "| build | board's address on | direction | sender | quelmar | MB/s | vs stopped | board CPU busy % "
             "| board CPU ms per MB | vs stopped | relay CPU % | relayed % |",
             "|---|---|---|---|---|--:|--:|--:|--:|--:|--:|--:|"]
    for (build, side, direction, paced, state), r in table.items():
        lines.append(f"| {build} | {side} | {direction} | {f'paced at {paced:g} MB/s' if paced else 'unpaced'} "
                     f"| {state.split()[1]} | {r['mbps']:.2f} | {spread(r['mbps_vs_stopped'])} "
                     f"| {r['board_busy_pct']:.1f} | {fmt(r['board_ms_per_mb'], '.1f')} "
                     f"| {spread(r['cpu_vs_stopped'])} "
                     f"| {fmt(r['relay_cpu_pct'], 'g')} | {fmt(r['relayed_pct'], 'g')} |")
    return "\n".join(lines) + "\n"


def run(builds, sizes, duration, reps, out, parts=PARTS, settings=None, check=False):
    """settings: the overload part's (names of board_overload.SETTINGS; all by default). With check, 1 when
    the shipped setting missed its target under overload."""
    board.build_pieces()
    if "cost" in parts:
        # The tap device of the cost part, and with it every boot, in a namespace of the benchmark's own.
        try:
            netns.enter()
        except netns.Unavailable as e:
            raise SystemExit(f"the cost part: {e}")
        sh("ip", "link", "set", "lo", "up")
    rows, tcp_rows, cost_rows, installed = [], [], [], {}
    overload = ([], [], [])
    for build in builds:
        build = Path(build).resolve()
        if {"frames", "tcp"} & set(parts):
            build_rows, build_tcp_rows, installed[build.name] = run_build(build, sizes, duration, reps, parts)
            rows += build_rows
            tcp_rows += build_tcp_rows
        if "cost" in parts:
            cost_rows += run_cost(build, duration, reps)
        runs = [(kernel, settings or list(board_overload.SETTINGS)) for kernel in list(board_overload.KERNELS)[:1]
                if "overload" in parts]
        runs += [(kernel, [board_overload.SHIPPED, *board_overload.OFFERED])
                 for kernel in list(board_overload.KERNELS)[1:] if "kernels" in parts]
        for kernel, chosen in runs:
            for collected, new in zip(overload, board_overload.run(build, sizes, duration, reps, chosen, cross_build,
                                                                   kernel)):
                collected += new
    write_csv(out / "board.csv", rows)
    write_csv(out / "board_tcp.csv", tcp_rows)
    write_csv(out / "board_cost.csv", cost_rows)
    for name, written in zip(("board_peak.csv", "board_overload.csv", "board_light.csv"), overload):
        write_csv(out / name, written)
    # The frames part's table says when and where; without it, a line of its own does.
    header = (f"Measured {datetime.date.today()} on a Malta board under qemu-system-mips (TCG), on {machine()}: "
              f"the {' and '.join(parts)} part(s), {reps} repetition(s) of {duration:g} s.\n")
    report = "\n".join([markdown(summarise(rows), installed, reps, duration) if rows else header,
                        *([tcp_markdown(tcp_rows)] if tcp_rows else []),
                        *([cost_markdown(summarise_cost(cost_rows), reps, duration)] if cost_rows else []),
                        *([board_overload.markdown(*overload, reps, duration)] if overload[1] else [])])
    (out / "board.md").write_text(report)
    note("\n" + report + f"\nresults in {out}: board.md, " +
         ", ".join(name for name, written in (("board.csv", rows), ("board_tcp.csv", tcp_rows),
                                              ("board_cost.csv", cost_rows), ("board_peak.csv", overload[0]),
                                              ("board_overload.csv", overload[1]), ("board_light.csv", overload[2]))
                   if written))
    missed = [key for key, (met, _, _) in board_overload.judged(overload[1]).items() if not met]
    return 1 if check and missed else 0
