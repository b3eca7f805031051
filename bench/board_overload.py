# SPDX-License-Identifier: ISC
"""The overload part of bench/run --board: what the nas side's reader gets while quelmar relays past its
peak, under each scheduling setting tried, on one boot per build:

    this host's sender -> UDP -> qemu's e1000 -> eth0 -> quelmar -> nas0 (tun) -> nas_reader

quelmar runs as contrib/busybox/S50quelmar starts it, each setting written into /etc/default/quelmar (and,
for SCHED_FIFO, which only systemd's unit can ask for, applied with chrt after the start). The reader
(bench/programs/nas_reader.cpp) runs at the default priority and touches every byte, as the device's own
software at the nas side would; what it gets is nas0's tx_packets (the tun counts a packet as the reader
reads it), what the tun dropped because the reader fell behind is nas0's tx_dropped.

First the relay's own peak: quelmar as it ran before these settings (nice 0, the kernel's softirq polling)
relaying into a veth pair nas1 =veth= sink0, as the frames part measures it, at paced rates (PEAK_RATES);
the peak of a frame size is the highest of those rates' medians. Beside it, the peak the same quelmar
reached at nas0 with its reader beside it, at rates below the collapse (READER_PEAK_RATES): the device as it
runs, which the reader's own work slows. Then the loads: LOADS times that peak,
paced, for every setting, the settings in another order in each repetition. Reported beside the reader's
count: the frames eth0 took in (the rest were dropped in the NIC's ring, or in qemu before it), the tun's
drops, the reader's, quelmar's and the receive threads' (NAPI, ksoftirqd) share of the board's CPU, and how
long the board's shell took to answer a command on the serial console under the flood.

Then light load, for every setting: probes at PROBE_RATE/s, each echoed back out of eth0 by the reader as
it reads it (nas_reader's echo mode): the round trip this host times, host -> board -> quelmar -> reader ->
host, and quelmar's CPU per frame it relayed (each probe and its echo, which it relays as a frame the
Ethernet side sent).

The board's clock is this host's, and qemu's emulated CPU runs as fast as the host lets its thread run: on
a shared machine another process's burst slows the board within a trial. Each trial records that thread's
share of a host core (vcpu_pct), reported beside its counts; every repetition is judged."""
import re
import statistics
import tempfile
import threading
import time
from pathlib import Path

from common import PROGRAMS, ROOT, fmt, note
from lab import board


def threads(pattern):
    """The board's shell listing /proc/PID of each thread whose name matches the case pattern."""
    return f"for c in /proc/[0-9]*/comm; do case $(cat $c 2>/dev/null) in {pattern}) echo ${{c%/comm}};; esac; done"


def ksoftirqd_nice(nice):
    """The board's shell renicing ksoftirqd. 6.1 leaves a softirq raised while ksoftirqd is runnable to
    it, so under a flood the receive path runs at its priority; at light load it runs on interrupt exit."""
    return f"for p in $({threads('ksoftirqd/*')}); do renice {nice} -p ${{p#/proc/}} >/dev/null; done"


# name: (lines for /etc/default/quelmar beyond the two sides, board shell run once S50quelmar started
# quelmar, with its pid in $pid)
SETTINGS = {
    "nice 0 (before)": ("NICE=0\n", ""),
    "nice -5": ("NICE=-5\n", ""),
    "nice -10": ("NICE=-10\n", ""),
    "nice -20": ("NICE=-20\n", ""),
    "threaded NAPI": ("NICE=0\nNAPI_NICE=0\n", ""),
    "threaded NAPI + nice -5": ("NICE=-5\nNAPI_NICE=0\n", ""),
    "threaded NAPI + nice -10": ("NICE=-10\nNAPI_NICE=0\n", ""),
    "threaded NAPI at 19": ("NICE=0\nNAPI_NICE=19\n", ""),
    "threaded NAPI at 19 + nice -5": ("NICE=-5\nNAPI_NICE=19\n", ""),
    "threaded NAPI at 19 + nice -10": ("NICE=-10\nNAPI_NICE=19\n", ""),
    "SCHED_FIFO 1": ("NICE=0\n", "chrt -f -p 1 $pid"),
    "SCHED_FIFO 1 + threaded NAPI": ("NICE=0\nNAPI_NICE=0\n", "chrt -f -p 1 $pid"),
    "ksoftirqd at 19": ("NICE=0\n", ksoftirqd_nice(19)),
    "ksoftirqd at 19 + nice -5": ("NICE=-5\n", ksoftirqd_nice(19)),
}
BEFORE = "nice 0 (before)"


def shipped_setting():
    """The setting S50quelmar gives without /etc/default/quelmar's (the UCI config and the systemd unit
    give the same): read from the script, so that --check judges what ships."""
    script = (ROOT / "contrib" / "busybox" / "S50quelmar").read_text()
    nice = re.search(r"^NICE=(\S*)", script, re.M)[1]
    napi = re.search(r'^NAPI_NICE="?([^"\s]*)', script, re.M)[1]
    lines = f"NICE={nice}\n" + (f"NAPI_NICE={napi}\n" if napi else "")
    return next(name for name, (given, extra) in SETTINGS.items() if given == lines and not extra)


# Each setting but the shipped one costs something at light load (quelmar(8)).
SHIPPED = shipped_setting()
OFFERED = ("nice -10", "threaded NAPI at 19 + nice -10")  # the settings each init offers
# The board's kernel, and the variants of it the kernels part boots: the slower tick many device kernels
# have, and the other end of the preemption models (ath79's OpenWrt kernel, for one, preempts nothing).
KERNELS = {"HZ 250, no forced preemption (the board's)": None, "HZ 100, no forced preemption": "CONFIG_HZ_100=y\n",
           "HZ 250, full preemption": "CONFIG_PREEMPT=y\n"}
PEAK_RATES = (25000, 35000, 45000)
# The same quelmar beside its reader at nas0 (the device as it runs), at rates below the collapse: the peak
# the relay reached there, reported beside the one above.
READER_PEAK_RATES = (10000, 15000, 20000)
LOADS = (1, 1.5, 2, 3)  # times the relay's own peak
TARGET = 0.9  # the reader gets at least this share of the peak at every load, in every repetition
PROBE_RATE = 1000  # probes/s at light load
WARMUP = 1.0
CONSOLE_TRIES = 3
BACKGROUND = "</dev/null >/dev/null 2>&1 & echo \"board: pid $!\""
RECEIVE_THREADS = threads("napi/*|ksoftirqd/*")
USER_HZ = 100  # the unit of /proc/PID/stat's times on MIPS Linux


def command(b, line):
    """Runs line in the board's shell; what it printed."""
    start = b.at
    b.reply(line.encode())
    done = b.expect(rb"board: done (\d+)\r\n")
    assert done[1] == b"0", f"{line!r} failed on the board: {b.console[start:done.start()]!r}"
    return b.console[start:done.start()].decode(errors="replace")


def frame(size, ethertype=0x88B5, sequence=0):
    return (b"\xff" * 6 + bytes.fromhex("020000000001") + ethertype.to_bytes(2, "big") + sequence.to_bytes(8, "big")
            + b"\x5a" * (size - 22))


class Host:
    """qemu's threads on this host: the share of a host core its busiest thread (the emulated CPU, when
    the board is busy) had since the last sample."""

    def __init__(self, pid):
        self.pid = pid
        self.last = self._ticks()

    def _ticks(self):
        ticks = {}
        for task in Path(f"/proc/{self.pid}/task").iterdir():
            with open(task / "stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks[task.name] = int(fields[11]) + int(fields[12])
        return time.monotonic(), ticks

    def sample(self):
        (t0, before), (t1, after) = self.last, self._ticks()
        self.last = (t1, after)
        busiest = max(after[t] - before.get(t, 0) for t in after)
        return round(100.0 * busiest / 100 / (t1 - t0), 1)  # the host's USER_HZ is 100 too


def snapshot(b, relay, reader, sink="nas0"):
    """The board's counters and CPU ticks: uptime; eth0's rx_packets; the nas side's tx_packets and
    tx_dropped (sink0's rx_packets, in the peak's trials); /proc/stat's busy and total; the relay's, the
    reader's and the receive threads' (NAPI, ksoftirqd) ticks."""
    counters = ("/sys/class/net/sink0/statistics/rx_packets /sys/class/net/sink0/statistics/rx_dropped"
                if sink == "sink0" else
                "/sys/class/net/nas0/statistics/tx_packets /sys/class/net/nas0/statistics/tx_dropped")
    text = command(b, f'echo "board: snapshot $(cat /proc/uptime /sys/class/net/eth0/statistics/rx_packets {counters}) '
                      f'$(head -n 1 /proc/stat) $(cut -d" " -f14,15 /proc/{relay}/stat) '
                      f'$(cut -d" " -f14,15 /proc/{reader or relay}/stat) '
                      f'$(for p in $({RECEIVE_THREADS}); do cut -d" " -f14,15 $p/stat; done)"')
    fields = re.search(r"board: snapshot (.*)", text, re.S)[1].split()
    cpu = [int(v) for v in fields[6:16]]
    ticks = [int(v) for v in fields[16:]]
    return dict(uptime=float(fields[0]), taken=int(fields[2]), got=int(fields[3]), dropped=int(fields[4]),
                busy=sum(cpu) - cpu[3] - cpu[4], total=sum(cpu), relay=ticks[0] + ticks[1],
                reader=ticks[2] + ticks[3] if reader else None, napi=sum(ticks[4:]))


def share(s0, s1, key):
    return None if s1[key] is None else round(100.0 * (s1[key] - s0[key]) / USER_HZ / (s1["uptime"] - s0["uptime"]), 1)


def configure(b, setting, nas="nas0"):
    lines = SETTINGS[setting][0]
    command(b, f"printf 'ETH_IF=eth0\\nNAS_IF={nas}\\n{lines.replace(chr(10), chr(92) + 'n')}' >/etc/default/quelmar")


def start(b, setting, size, nas="nas0", echo=False):
    """The reader (unless nas is the veth), then quelmar through S50quelmar with setting; relaying once a
    frame sent comes out. Their pids."""
    reader = None
    if nas == "nas0":
        reader = int(re.search(r"board: pid (\d+)", command(b, f"nas_reader nas0{' eth0' if echo else ''} "
                                                               f"{BACKGROUND}"))[1])
    configure(b, setting, nas)
    command(b, "/etc/init.d/S50quelmar start >/dev/null")
    relay = int(command(b, "cat /var/run/quelmar.pid; echo").split()[-1])
    if SETTINGS[setting][1]:
        command(b, f"pid={relay}; {SETTINGS[setting][1]}")
    sink = "sink0" if nas == "nas1" else "nas0"
    for _ in range(50):
        before = snapshot(b, relay, reader, sink)["got"]
        b.send([frame(size)])
        time.sleep(0.05)
        if snapshot(b, relay, reader, sink)["got"] > before:
            time.sleep(0.3)
            return relay, reader
    raise RuntimeError(f"nothing relayed on the board under {setting}")


def stop(b, reader):
    command(b, "/etc/init.d/S50quelmar stop >/dev/null")
    command(b, ksoftirqd_nice(0))  # as the board booted
    if reader:
        command(b, f"kill {reader}; wait {reader} || true")


def console_ms(b):
    """How long the board's shell takes to run a command on the serial console (a program of its own, as
    a user's command is: a fork and an exec), median of a few."""
    times = []
    for _ in range(CONSOLE_TRIES):
        began = time.monotonic()
        command(b, "cat /proc/loadavg >/dev/null")
        times.append(1000.0 * (time.monotonic() - began))
    return round(statistics.median(times))


def flood(b, host, setting, size, rate, duration, nas="nas0"):
    """One trial: setting under a paced load of rate frames/s."""
    relay, reader = start(b, setting, size, nas)
    sink = "sink0" if nas == "nas1" else "nas0"
    try:
        sender = board.Sender(b, [frame(size)], rate)
        try:
            time.sleep(WARMUP)
            s0 = snapshot(b, relay, reader, sink)
            host.sample()
            time.sleep(duration)
            s1 = snapshot(b, relay, reader, sink)
            vcpu = host.sample()
            console = console_ms(b) if reader else None
        finally:
            offered = sender.stop()
    finally:
        stop(b, reader)
    seconds = s1["uptime"] - s0["uptime"]
    return dict(setting=setting, size=size, rate=rate, offered_fps=round(offered),
                taken_fps=round((s1["taken"] - s0["taken"]) / seconds),
                got_fps=round((s1["got"] - s0["got"]) / seconds),
                dropped_fps=round((s1["dropped"] - s0["dropped"]) / seconds),
                board_busy_pct=round(100.0 * (s1["busy"] - s0["busy"]) / (s1["total"] - s0["total"]), 1),
                relay_cpu_pct=share(s0, s1, "relay"), reader_cpu_pct=share(s0, s1, "reader"),
                napi_cpu_pct=share(s0, s1, "napi"), console_ms=console, vcpu_pct=vcpu)


class Prober:
    """Probes into the board's eth0 at rate/s, each numbered; the reader's echo of each comes back out of
    eth0, and its round trip is this host's monotonic clock from the send to the receipt."""

    def __init__(self, b, size, rate):
        self.b, self.size, self.rate = b, size, rate
        self.sent, self.rtts, self.running = {}, [], True
        b.net.settimeout(0.2)
        self.receiver = threading.Thread(target=self._receive, daemon=True)
        self.receiver.start()
        self.sender = threading.Thread(target=self._send, daemon=True)
        self.sender.start()

    def _send(self):
        began, n = time.monotonic(), 0
        while self.running:
            due = int((time.monotonic() - began) * self.rate)
            while n < due:
                self.sent[n] = time.monotonic()
                self.b.net.sendto(frame(self.size, 0x88B6, n), self.b.address)
                n += 1
            time.sleep(0.0005)

    def _receive(self):
        while self.running:
            try:
                data = self.b.net.recv(65536)
            except OSError:
                continue
            if data[12:14] == b"\x88\xb7":
                sent = self.sent.get(int.from_bytes(data[14:22], "big"))
                if sent is not None:
                    self.rtts.append(time.monotonic() - sent)

    def stop(self):
        self.running = False
        self.sender.join()
        self.receiver.join()
        self.b.net.settimeout(None)
        return len(self.sent), sorted(self.rtts)


def light(b, host, setting, size, duration):
    """The round trip of probes at PROBE_RATE through setting, and quelmar's CPU per frame relayed."""
    relay, reader = start(b, setting, size, echo=True)
    try:
        time.sleep(0.3)
        prober = Prober(b, size, PROBE_RATE)
        try:
            time.sleep(WARMUP)
            s0 = snapshot(b, relay, reader)
            host.sample()
            time.sleep(duration)
            s1 = snapshot(b, relay, reader)
            vcpu = host.sample()
        finally:
            sent, rtts = prober.stop()
    finally:
        stop(b, reader)
    relayed = s1["got"] - s0["got"]
    us = [1e6 * r for r in rtts]
    return dict(setting=setting, size=size, rate=PROBE_RATE, probes=sent, echoed=len(rtts),
                rtt_p50_us=round(us[len(us) // 2]) if us else None,
                rtt_p99_us=round(us[min(len(us) - 1, int(0.99 * len(us)))]) if us else None,
                rtt_max_us=round(us[-1]) if us else None,
                relay_us_per_frame=round((s1["relay"] - s0["relay"]) / USER_HZ / relayed * 1e6, 1) if relayed else None,
                board_busy_pct=round(100.0 * (s1["busy"] - s0["busy"]) / (s1["total"] - s0["total"]), 1),
                vcpu_pct=vcpu)


def peak_of(rows, size, beside="veth"):
    """The relay's own peak at size, into a veth or beside its reader: the highest, over the rates tried,
    of the median relayed."""
    rates = {}
    for r in rows:
        if r["size"] == size and r["beside"] == beside:
            rates.setdefault(r["rate"], []).append(r["got_fps"])
    return max(statistics.median(v) for v in rates.values())


def kernel_pieces(kernel):
    """The board's pieces with kernel (a name of KERNELS), built once: the board's own, or a variant in a
    directory of its own beside them."""
    fragment = KERNELS[kernel]
    if fragment is None:
        return board.PIECES
    pieces = board.PIECES.parent / ("board-" + re.sub(r"[^a-z0-9]+", "-", kernel.lower()).strip("-"))
    pieces.mkdir(parents=True, exist_ok=True)
    (pieces / "variant.config").write_text(fragment)
    board.build_pieces(pieces, pieces / "variant.config")
    return pieces


def run(build, sizes, duration, reps, settings, cross_build, kernel=next(iter(KERNELS))):
    """The overload part on one boot of the board with build's quelmar and kernel (a name of KERNELS):
    (peak rows, load rows, light-load rows)."""
    pieces = kernel_pieces(kernel)
    peak_rows, rows, light_rows = [], [], []
    with tempfile.TemporaryDirectory(prefix="board-overload-") as out:
        initrd = board.image(build, out, "::wait:/usr/bin/board-bench",
                             files=[("/usr/bin/board-bench", PROGRAMS / "board_bench.sh"),
                                    ("/usr/bin/nas_reader", cross_build(build, out, "nas_reader"))], pieces=pieces)
        b = board.Board(initrd, pieces=pieces)
        try:
            b.expect(rb"board: ready\r\n")
            host = Host(b.qemu.pid)
            # The veth pair of the peak's trials; nas0, the tun, is S40network's.
            command(b, "/etc/init.d/S50quelmar stop && ip link add sink0 type veth && ip link set veth0 name nas1 && "
                       "ip link set nas1 up && ip link set sink0 up")
            for rep in range(1, reps + 1):
                for size in sizes:
                    for nas, rate in [("nas1", r) for r in PEAK_RATES] + [("nas0", r) for r in READER_PEAK_RATES]:
                        row = dict(build=build.name, kernel=kernel, rep=rep,
                                   beside="reader" if nas == "nas0" else "veth",
                                   **flood(b, host, BEFORE, size, rate, duration, nas=nas))
                        note(f"board {build.name} rep {rep} peak {size:>4} B {rate:>6}/s into {row['beside']}: relayed "
                             f"{row['got_fps']:>6,}/s, "
                             f"emulated CPU {row['vcpu_pct']:g} % of a host core")
                        peak_rows.append(row)
            peaks = {size: peak_of(peak_rows, size) for size in sizes}
            beside = {size: peak_of(peak_rows, size, "reader") for size in sizes}
            note("board: the relay's own peak: " + ", ".join(f"{s} B {p:,.0f}/s" for s, p in peaks.items()) +
                 "; beside its reader: " + ", ".join(f"{s} B {p:,.0f}/s" for s, p in beside.items()))
            for rep in range(1, reps + 1):
                order = settings[(rep - 1) % len(settings):] + settings[:(rep - 1) % len(settings)]
                for size in sizes:
                    for load in LOADS:
                        for setting in order:
                            row = dict(build=build.name, kernel=kernel, rep=rep, load=load, peak_fps=round(peaks[size]),
                                       reader_peak_fps=round(beside[size]),
                                       **flood(b, host, setting, size, round(load * peaks[size]), duration))
                            note(f"board {build.name} rep {rep} {size:>4} B {load:g}x {setting:<30}: reader "
                                 f"{row['got_fps']:>6,}/s ({row['got_fps'] / peaks[size]:.2f} of the peak), taken "
                                 f"{row['taken_fps']:>6,}, tun dropped {row['dropped_fps']:>5,}, reader CPU "
                                 f"{fmt(row['reader_cpu_pct'], 'g')} %, relay {fmt(row['relay_cpu_pct'], 'g')} %, "
                                 f"console {row['console_ms']} ms, emulated CPU {row['vcpu_pct']:g} %")
                            rows.append(row)
                    for setting in order:
                        row = dict(build=build.name, kernel=kernel, rep=rep, **light(b, host, setting, size, duration))
                        note(f"board {build.name} rep {rep} {size:>4} B light {setting:<30}: round trip "
                             f"{fmt(row['rtt_p50_us'], 'g')} µs (p99 {fmt(row['rtt_p99_us'], 'g')}), "
                             f"{row['echoed']}/{row['probes']} echoed, relay {fmt(row['relay_us_per_frame'], 'g')} µs "
                             f"CPU per frame, board busy {row['board_busy_pct']:g} %")
                        light_rows.append(row)
            b.reply(b"poweroff -f")
            b.end()
        finally:
            b.close()
    return peak_rows, rows, light_rows


def spread(values, format_spec=",.0f"):
    values = sorted(v for v in values if v is not None)
    if not values:
        return "–"
    middle = format(statistics.median(values), format_spec)
    low, high = format(values[0], format_spec), format(values[-1], format_spec)
    return middle if len(values) == 1 else f"{middle} ({low}–{high})"


def judged(rows, setting=SHIPPED):
    """For each (build, kernel, size, load) of setting (the shipped one unless given), over every repetition: whether the reader
    got TARGET of the relay's own peak in each, the lowest share of that peak, and the lowest share of the
    peak it reached beside its reader."""
    out = {}
    for r in rows:
        if r["setting"] == setting:
            key = (r["build"], r["kernel"], r["size"], r["load"])
            shares, beside = out.get(key, ([], []))
            out[key] = (shares + [r["got_fps"] / r["peak_fps"]], beside + [r["got_fps"] / r["reader_peak_fps"]])
    return {key: (min(shares) >= TARGET, min(shares), min(beside)) for key, (shares, beside) in out.items()}


def markdown(peak_rows, rows, light_rows, reps, duration):
    lines = [f"The overload part: {reps} repetition(s) of {duration:g} s after {WARMUP:g} s per setting, frame size "
             "and load, on one boot per build and kernel; medians, and ranges over the repetitions.", "",
             "The relay's own peak (quelmar as before, into a veth, no reader; beside it, the same into nas0 with "
             "its reader): relayed frames/s at each paced rate.", "",
             "| build | kernel | frame bytes | into | sent frames/s | relayed | emulated CPU % of a host core |",
             "|---|---|--:|---|--:|--:|--:|"]
    groups = {}
    for r in peak_rows:
        groups.setdefault((r["build"], r["kernel"], r["size"], r["beside"], r["rate"]), []).append(r)
    for (build, kernel, size, beside, rate), runs in groups.items():
        into = "a veth" if beside == "veth" else "nas0, its reader beside"
        lines.append(f"| {build} | {kernel} | {size} | {into} | {rate:,} | {spread([r['got_fps'] for r in runs])} "
                     f"| {spread([r['vcpu_pct'] for r in runs], '.0f')} |")
    lines += ["", "Under overload: what the nas side's reader got, its share of the relay's own peak into a veth and "
              "of the peak it reached beside its reader; what eth0 took in, what the tun dropped because the reader "
              "fell behind; the reader's, quelmar's and the receive threads' (NAPI, ksoftirqd) share of the board's "
              "CPU; how long a command (cat) took on the serial console under the flood.", "",
              "| build | kernel | frame bytes | load | setting | reader frames/s | of the peak | of the peak beside "
              "the reader | taken in by eth0 | tun dropped | reader CPU % | quelmar CPU % | receive threads CPU % "
              "| console ms | emulated CPU % |",
              "|---|---|--:|--:|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"]
    groups = {}
    for r in rows:
        groups.setdefault((r["build"], r["kernel"], r["size"], r["load"], r["setting"]), []).append(r)
    for (build, kernel, size, load, setting), runs in groups.items():
        lines.append(f"| {build} | {kernel} | {size} | {load:g}× {runs[0]['peak_fps']:,} | {setting} "
                     f"| {spread([r['got_fps'] for r in runs])} "
                     f"| {spread([r['got_fps'] / r['peak_fps'] for r in runs], '.2f')} "
                     f"| {spread([r['got_fps'] / r['reader_peak_fps'] for r in runs], '.2f')} "
                     f"| {spread([r['taken_fps'] for r in runs])} | {spread([r['dropped_fps'] for r in runs])} "
                     f"| {spread([r['reader_cpu_pct'] for r in runs], '.0f')} "
                     f"| {spread([r['relay_cpu_pct'] for r in runs], '.0f')} "
                     f"| {spread([r['napi_cpu_pct'] for r in runs], '.0f')} "
                     f"| {spread([r['console_ms'] for r in runs])} "
                     f"| {spread([r['vcpu_pct'] for r in runs], '.0f')} |")
    lines += ["", f"Light load: probes at {PROBE_RATE:,}/s echoed by the reader; round trip this host → board → "
              "quelmar → reader → this host, quelmar's CPU per frame it relayed (probes and echoes).", "",
              "| build | kernel | frame bytes | setting | round trip µs, median | p99 | max | echoed "
              "| quelmar CPU µs "
              "per frame | board CPU busy % | emulated CPU % |", "|---|---|--:|---|--:|--:|--:|--:|--:|--:|--:|"]
    groups = {}
    for r in light_rows:
        groups.setdefault((r["build"], r["kernel"], r["size"], r["setting"]), []).append(r)
    for (build, kernel, size, setting), runs in groups.items():
        lines.append(f"| {build} | {kernel} | {size} | {setting} | {spread([r['rtt_p50_us'] for r in runs])} "
                     f"| {spread([r['rtt_p99_us'] for r in runs])} | {max(r['rtt_max_us'] or 0 for r in runs):,} "
                     f"| {sum(r['echoed'] for r in runs):,}/{sum(r['probes'] for r in runs):,} "
                     f"| {spread([r['relay_us_per_frame'] for r in runs], '.1f')} "
                     f"| {spread([r['board_busy_pct'] for r in runs], '.0f')} "
                     f"| {spread([r['vcpu_pct'] for r in runs], '.0f')} |")
    lines.append("")
    for setting in (SHIPPED, *OFFERED):
        for (build, kernel, size, load), (met, lowest, beside) in judged(rows, setting).items():
            lines.append(f"- {'met' if met else 'MISSED'}: {build} on {kernel}, {size} B at {load:g}× the peak, "
                         f"{setting}{' (shipped)' if setting == SHIPPED else ''}: "
                         f"the reader got at least {lowest:.2f} of the relay's own peak in every repetition "
                         f"(target ≥ {TARGET}), and at least {beside:.2f} of the peak it reached beside its reader")
    return "\n".join(lines) + "\n"
