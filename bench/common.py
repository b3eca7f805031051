# SPDX-License-Identifier: ISC
"""What the benchmark's jobs share: where things are, the contenders, the tools it installs and the
programs it builds, the namespace it measures in (the lab's, tools/lab), the kernel's counters, a relay
started and stopped, the processes it starts, and how it prints."""
import contextlib
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
QUELMAR = ROOT / "build" / "release" / "quelmar"
FLOOR = BUILD / "floor"
FLOOR_STOP_PIPE = BUILD / "floor-stop-pipe"
LATENCY_GEN = BUILD / "latency_gen"
LATENCY_SINK = BUILD / "latency_sink"
PROGRAMS = ROOT / "bench" / "programs"  # the floor and the latency tools, in C++; the board's side

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
TOOLS = {"trafgen": "netsniff-ng", "strace": "strace", "gnuplot": "gnuplot-nox", "tc": "iproute2",
         "taskset": "util-linux", "cmake": "cmake", "g++": "g++", "ethtool": "ethtool"}

sys.path.insert(0, str(ROOT / "tools"))
from lab import netns  # noqa: E402

CLK_TCK = os.sysconf("SC_CLK_TCK")


def sh(*command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


def note(text):
    print(text, flush=True)


def fmt(value, format_spec):
    return "–" if value is None else format(value, format_spec)


def median(rows, key):
    values = [r[key] for r in rows if r[key] is not None]
    return statistics.median(values) if values else None


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
           "-fno-rtti", *defines, "-o", str(binary), str(PROGRAMS / f"{source}.cpp"))


def enter_namespace():
    """The lab's namespaces (tools/lab: a private /run for quelmar's pid file, a sysfs of its own, no IPv6
    chatter in the counters), and in them gen0 =veth= eth0 and nas0 =veth= sink0."""
    try:
        netns.enter()
    except netns.Unavailable as e:
        sys.exit(str(e))
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


