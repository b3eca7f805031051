#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""The benchmark's flood trials on this host, in a throwaway network and mount namespace:

    trafgen (CPU 0) -> gen0 =veth= eth0 -> RELAY (CPU 1) -> nas0 =veth= sink0

the contenders, building and starting them, the kernel's counters, and the system calls per
frame under strace."""
import contextlib
import ctypes
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
QUELMAR = ROOT / "build" / "release" / "quelmar"
FLOOR = BUILD / "floor"
FLOOR_STOP_PIPE = BUILD / "floor-stop-pipe"
LATENCY_GEN = BUILD / "latency_gen"
LATENCY_SINK = BUILD / "latency_sink"

GEN, ETH, NAS, SINK = "gen0", "eth0", "nas0", "sink0"
GEN_CPU, RELAY_CPU = "0", "1"
PRIORITY = -10  # nice value of generator and relay
ETHERTYPE = 0x88B5  # IEEE local experimental: no protocol handler of the kernel takes it

STRIPPED, WHOLE = "header stripped", "whole frame"

# name, what goes out on the nas side, command (None: the kernel path), Debian package
CONTENDERS = [
    ("quelmar", STRIPPED, [str(QUELMAR), "-e", ETH, "-n", NAS], None),
    ("quelmar -v", STRIPPED, [str(QUELMAR), "-v", "-e", ETH, "-n", NAS], None),
    ("floor", STRIPPED, [str(FLOOR), ETH, NAS], None),
    ("floor + stop pipe", STRIPPED, [str(FLOOR_STOP_PIPE), ETH, NAS], None),
    ("daemonlogger", WHOLE, ["daemonlogger", "-i", ETH, "-o", NAS], "daemonlogger"),
    # -Q: the host's IRQ affinities are not the benchmark's to touch.
    ("netsniff-ng", WHOLE, ["netsniff-ng", "--in", ETH, "--out", NAS, "-s", "-S", "16MiB", "-k", "1000", "-Q"],
     "netsniff-ng"),
    ("tcpbridge", WHOLE, ["tcpbridge", "--intf1", ETH, "--intf2", NAS, "--unidir"], "tcpreplay"),
    ("kernel mirred", WHOLE, None, "iproute2"),
]
DIRECT = ("direct veth", WHOLE, None, None)  # latency only: the generator sends straight into nas0
PEERS = ("daemonlogger", "netsniff-ng", "tcpbridge")  # the user-space tools quelmar's latency is held against
PACED = (1000, 10000, 100000)  # frames/s at which every contender's latency is measured
NEAR_SATURATION = 0.9  # and at this share of its own saturation rate
GENERATOR_LIMIT = 400000  # the fastest paced rate latency_gen keeps on this kind of machine
TOOLS = {"trafgen": "netsniff-ng", "strace": "strace", "gnuplot": "gnuplot-nox", "tc": "iproute2",
         "taskset": "util-linux", "cmake": "cmake", "g++": "g++", "ethtool": "ethtool"}

CLK_TCK = os.sysconf("SC_CLK_TCK")


def sh(*command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


def note(text):
    print(text, flush=True)


# ---- preparing ----

def install_missing(names):
    packages = sorted({TOOLS.get(n) or next(c[3] for c in CONTENDERS if c[2] and c[2][0] == n)
                       for n in names if shutil.which(n) is None})
    if packages:
        # As the test command installs: nothing removed or upgraded, and it says what.
        sh("sh", "-c", '. tools/prepare.sh && need_packages "$@"', "need_packages", *packages, cwd=ROOT)


def build():
    note("building quelmar (Release) and the floor reference")
    sh("cmake", "--preset", "release", cwd=ROOT, stdout=subprocess.DEVNULL)
    sh("cmake", "--build", "--preset", "release", cwd=ROOT, stdout=subprocess.DEVNULL)
    BUILD.mkdir(parents=True, exist_ok=True)
    # The flags of quelmar's Release build, so that the two differ only in their source.
    for binary, source, defines in ((FLOOR, "floor", []), (FLOOR_STOP_PIPE, "floor", ["-DWAIT_WITH_STOP_PIPE"]),
                                    (LATENCY_GEN, "latency_gen", []), (LATENCY_SINK, "latency_sink", [])):
        sh(os.environ.get("CXX", "g++"), "-std=c++20", "-O3", "-DNDEBUG", "-Wall", "-Wextra", "-fno-exceptions",
           "-fno-rtti", *defines, "-o", str(binary), str(ROOT / "bench" / f"{source}.cpp"))


def enter_namespace():
    """A network and mount namespace of our own: private /run (quelmar's pid file), own sysfs."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x00020000 | 0x40000000) != 0:  # CLONE_NEWNS | CLONE_NEWNET
        sys.exit("cannot make namespaces: " + os.strerror(ctypes.get_errno()))
    sh("mount", "--make-rprivate", "/")
    sh("mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", os.path.realpath("/var/run"))
    sh("mount", "-t", "sysfs", "sysfs", "/sys")
    for conf in ("all", "default"):  # no IPv6 chatter in the counters
        Path(f"/proc/sys/net/ipv6/conf/{conf}/disable_ipv6").write_text("1")
    sh("ip", "link", "add", GEN, "type", "veth", "peer", "name", ETH)
    sh("ip", "link", "add", NAS, "type", "veth", "peer", "name", SINK)
    for name in (GEN, ETH, NAS, SINK):
        sh("ip", "link", "set", name, "up")


def frame(size):
    """An otherhost frame whose bytes after the header again read as an otherhost Ethernet header,
    so that the sink does the same work for a stripped frame as for a whole one."""
    header = bytes.fromhex("020000000002" "020000000001") + ETHERTYPE.to_bytes(2, "big")
    inner = bytes.fromhex("020000000003" "020000000004") + ETHERTYPE.to_bytes(2, "big")
    return header + inner + b"\x5a" * (size - 28)


def trafgen_config(size, directory):
    path = Path(directory) / f"frame{size}.cfg"
    path.write_text("{ " + ", ".join(f"0x{b:02x}" for b in frame(size)) + " }\n")
    return path


# ---- measuring ----

def counter(ifname, name="rx_packets"):
    return int(Path(f"/sys/class/net/{ifname}/statistics/{name}").read_text())


def counters():
    return counter(ETH), counter(SINK)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime + stime, all threads


def settle(quiet=0.3, limit=10.0):
    """Waits until no frame moves on either side for `quiet` seconds."""
    last, since, deadline = counters(), time.monotonic(), time.monotonic() + limit
    while time.monotonic() < deadline:
        time.sleep(0.05)
        now = counters()
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            return


def wait_relaying(size, proc=None, limit=20.0, via=GEN):
    """Sends single frames until one comes out at the sink: the relay is ready. Sent out of eth0
    itself (via=ETH), they are relayed as frames it sends."""
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW, 0) as s:
        s.bind((via, 0))
        start = counter(SINK)
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if proc is not None and proc.poll() is not None:
                raise RuntimeError(f"relay ended early with status {proc.returncode}")
            s.send(frame(size))
            time.sleep(0.05)
            if counter(SINK) > start:
                settle()
                return
    raise RuntimeError("relay never relayed a frame")


class Relay:
    """One contender, running pinned to the relay's CPU (or the kernel path set up)."""

    def __init__(self, contender):
        self.name, self.frames, self.command, _ = contender
        self.proc = None

    def __enter__(self):
        if self.command is None:
            sh("tc", "qdisc", "add", "dev", ETH, "ingress")
            sh("tc", "filter", "add", "dev", ETH, "parent", "ffff:", "protocol", "all", "u32", "match", "u32", "0",
               "0", "action", "mirred", "egress", "redirect", "dev", NAS)
        else:
            self.proc = spawn(["taskset", "-c", RELAY_CPU, *self.command], raised=True)
        return self

    def cpu(self):
        return cpu_seconds(self.proc.pid) if self.proc else None

    def run_ns(self):
        """Scheduler run time of all the relay's threads: precise where /proc/PID/stat's ticks are not."""
        if not self.proc:
            return None
        total = 0
        for task in os.listdir(f"/proc/{self.proc.pid}/task"):
            with contextlib.suppress(FileNotFoundError), open(f"/proc/{self.proc.pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        return total

    def terminate(self):
        """SIGTERM to the relay alone, as an init system sends it; seconds until it has ended."""
        began = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        return time.monotonic() - began

    def __exit__(self, *exc):
        if self.command is None:
            sh("tc", "qdisc", "del", "dev", ETH, "ingress")
        else:
            stop(self.proc, signal.SIGTERM)
        settle()


STARTED = []  # every process group we started, ended again at exit whatever happens


def raise_priority():
    """Runs in the child, in its new session: a higher priority, so that whatever else the
    machine runs takes less of the benchmark's cores. With autogroup scheduling each session
    competes as one, and the nice value that counts between sessions is the group's."""
    os.nice(PRIORITY)
    try:
        with open("/proc/self/autogroup", "w") as f:
            f.write(str(PRIORITY))
    except OSError:
        pass  # a kernel without autogroups: the process's own nice value is the one that counts


def spawn(command, stderr=subprocess.DEVNULL, raised=False, stdout=subprocess.DEVNULL):
    """Starts command in a session and process group of its own: trafgen forks its workers, and a
    signal to the parent alone would leave them sending."""
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                            start_new_session=True, text=True, preexec_fn=raise_priority if raised else None)
    STARTED.append(proc)
    return proc


def stop(proc, sig=signal.SIGINT):
    if proc not in STARTED:
        return  # stopped already: its group id may belong to someone else by now
    STARTED.remove(proc)
    if proc.poll() is None:
        os.killpg(proc.pid, sig)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
    try:
        os.killpg(proc.pid, signal.SIGKILL)  # whatever of the group is still there
    except ProcessLookupError:
        pass
    proc.wait()


def generator(config):
    return spawn(["taskset", "-c", GEN_CPU, "trafgen", "-o", GEN, "-i", str(config), "-P", "1", "-Q", "-C"], raised=True)


def trial(contender, size, config, duration, warmup):
    """Rates over a window of `duration` after `warmup`; loss over everything the generator sent,
    counted once the relay has drained, so that frames a ring holds at a window's edge do not count."""
    with Relay(contender) as relay:
        wait_relaying(size, relay.proc)
        start = counters()
        gen = generator(config)
        try:
            time.sleep(warmup)
            t0, (offered0, relayed0), cpu0 = time.monotonic(), counters(), relay.cpu()
            time.sleep(duration)
            t1, (offered1, relayed1), cpu1 = time.monotonic(), counters(), relay.cpu()
            # An init system stops quelmar while it is overloaded: how long until it has ended.
            stop_ms = round(1000 * relay.terminate(), 1) if contender[0] == "quelmar" else None
        finally:
            stop(gen)
        settle()
        end = counters()
        if relay.proc and relay.proc.poll() is not None and stop_ms is None:
            raise RuntimeError(f"{relay.name} ended during the trial")
        if stop_ms is not None and relay.proc.returncode != 0:
            raise RuntimeError(f"quelmar ended with status {relay.proc.returncode} on SIGTERM")
    seconds, relayed = t1 - t0, relayed1 - relayed0
    sent, arrived = end[0] - start[0], end[1] - start[1]
    cpu = None if cpu0 is None else cpu1 - cpu0
    return dict(contender=contender[0], frames_out=contender[1], size=size, seconds=round(seconds, 3),
                offered_fps=round((offered1 - offered0) / seconds), relayed_fps=round(relayed / seconds),
                sent=sent, arrived=arrived, loss_pct=round(100.0 * (sent - arrived) / sent, 2) if sent else None,
                relay_cpu_pct=None if cpu is None else round(100.0 * cpu / seconds, 1),
                cpu_s_per_mframe=round(cpu / relayed * 1e6, 3) if cpu is not None and relayed else None,
                sigterm_stop_ms=stop_ms)


def syscall_run(contender, size, config, seconds):
    """Floods the relay under strace -c -f (attached after start-up) and counts calls per relayed frame."""
    with Relay(contender) as relay, tempfile.NamedTemporaryFile("r", suffix=".strace") as summary:
        wait_relaying(size, relay.proc)
        tracer = spawn(["strace", "-c", "-f", "-o", summary.name, "-p", str(relay.proc.pid)],
                       stderr=subprocess.PIPE)
        try:
            line = tracer.stderr.readline()
            if "attached" not in line:
                raise RuntimeError(f"strace did not attach: {line.strip()}")
            time.sleep(0.2)  # let strace reach every thread before the frames come
            _, relayed0 = counters()
            gen = generator(config)
            time.sleep(seconds)
            stop(gen)
            settle(quiet=0.2)
            _, relayed1 = counters()
        finally:
            tracer.send_signal(signal.SIGINT)  # strace writes its summary and detaches
            tracer.communicate(timeout=30)
        calls = parse_strace(summary.read())
    relayed = relayed1 - relayed0
    total = sum(calls.values())
    return dict(contender=contender[0], size=size, relayed=relayed, syscalls=total,
                per_frame=round(total / relayed, 4) if relayed else None,
                calls=" ".join(f"{name}:{count}" for name, count in sorted(calls.items(), key=lambda c: -c[1])))


def parse_strace(text):
    """strace -c's table: name -> calls (the errors column, when present, does not change the calls column)."""
    calls = {}
    for line in text.splitlines():
        fields = line.split()
        if len(fields) >= 5 and re.fullmatch(r"[\d.]+", fields[0]) and fields[-1] != "total":
            calls[fields[-1]] = int(fields[3])
    return calls


def run_trials(chosen, sizes, reps, duration, warmup, strace_seconds):
    """Every contender's flood trials and strace run: (trials, syscalls), one row each."""
    trials, syscalls = [], []
    with tempfile.TemporaryDirectory() as scratch:
        configs = {size: trafgen_config(size, scratch) for size in sizes}
        # Repetitions outermost, and each starting with another contender: noise from the shared
        # machine, and any drift along a repetition, spread over every contender alike.
        for rep in range(1, reps + 1):
            shift = (rep - 1) % len(chosen)
            for size in sizes:
                for contender in chosen[shift:] + chosen[:shift]:
                    row = dict(rep=rep, **trial(contender, size, configs[size], duration, warmup))
                    note(f"rep {rep} {size:>4} B {row['contender']:<14} offered {row['offered_fps']:>9,} /s  "
                         f"relayed {row['relayed_fps']:>9,} /s  loss {fmt(row['loss_pct'], '5.1f')} %  "
                         f"CPU {fmt(row['cpu_s_per_mframe'], '.3f')} s/Mframe "
                         f"(busy {fmt(row['relay_cpu_pct'], '.0f')} %)")
                    trials.append(row)
        for size in sizes:
            for contender in chosen:
                if contender[2] is None:
                    continue  # the kernel path makes no system calls of its own
                row = syscall_run(contender, size, configs[size], strace_seconds)
                note(f"syscalls {size:>4} B {row['contender']:<14} {fmt(row['per_frame'], '.3f')} per frame "
                     f"({row['syscalls']} over {row['relayed']} frames: {row['calls']})")
                syscalls.append(row)
    return trials, syscalls


def fmt(value, format_spec):
    return "–" if value is None else format(value, format_spec)
