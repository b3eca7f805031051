# SPDX-License-Identifier: ISC
"""The daemon under test: the build it comes from, its life in the lab (started, in its wait, stopped by
SIGTERM, its end), and what it says, in its C library's words."""
import contextlib
import os
import re
import signal
import subprocess
import time
from pathlib import Path

from lab import WAIT
from lab.netns import ETH, NAS, Unavailable

BINARY = ""
EMULATOR = []  # what the daemon runs under: qemu-user for a cross build, valgrind, setpriv
PROBE = ""  # the build's libc_probe, which prints its C library's words
PID_FILE = "/var/run/quelmar.pid"
STARTED = []  # every daemon started; one a failed case left running is killed at its end
LIBC_TEXTS = {}


def configure(binary, emulator="", probe=""):
    """The build under test: its daemon, the emulator as a CMake list (a;b;c), its libc_probe."""
    global BINARY, EMULATOR, PROBE
    BINARY, PROBE = os.path.abspath(binary), probe
    EMULATOR = emulator.split(";") if emulator else []


def cache_value(build, name):
    """A value in the build's CMake cache, or None."""
    found = re.search(rf"^{name}:\w+=(.*)$", (Path(build) / "CMakeCache.txt").read_text(), re.M)
    return found.group(1) if found else None


def start(*args, preexec=None, close_fds=True, env=None, preload=None, stdin=subprocess.DEVNULL):
    """Starts the daemon (through the emulator, if any), with preload as its LD_PRELOAD."""
    command = EMULATOR + [BINARY, *args]
    if preload and EMULATOR:
        # In the emulator's own environment the host's loader would try the target
        # library too and complain; qemu-user's -E sets it for the program alone.
        command[len(EMULATOR):len(EMULATOR)] = ["-E", f"LD_PRELOAD={preload}"]
    elif preload:
        env = dict(os.environ if env is None else env, LD_PRELOAD=preload, ASAN_OPTIONS="verify_asan_link_order=0")
    proc = subprocess.Popen(command, stdin=stdin, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, preexec_fn=preexec, close_fds=close_fds, env=env)
    STARTED.append(proc)
    return proc


def kill_started():
    for proc in STARTED:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def descriptors(pid):
    """The process's open descriptors (number: what it is) and the numbers of its sockets."""
    links = {int(fd): os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")}
    return links, [fd for fd, link in links.items() if link.startswith("socket:")]


def in_wait(pid):
    """Whether the process sits in its relay loop's select, by the kernel functions it sleeps in: those of
    its waits for room in a full standard error (poll) or output (write) are others, on every host."""
    try:
        with open(f"/proc/{pid}/stack") as f:
            return "select" in f.read()
    except OSError:
        return False


def armed(pid):
    """Whether the daemon handles SIGTERM: right after installing the handler it opens its stop pipe."""
    try:
        links, sockets = descriptors(pid)
    except OSError:
        return False
    return bool(stop_pipe(links, sockets))


def stop_pipe(links, sockets):
    """The daemon's stop pipe, its two ends, from its descriptors: the pipe opened right after a socket
    (its packet sockets; its link watch comes after it)."""
    return [fd for fd, link in links.items() if link.startswith("pipe:") and {fd - 1, fd - 2} & set(sockets)]


def wait_ready(proc, busy=False):
    """Waits until the daemon sits in its wait: both sockets bound and SIGTERM handled. busy: until it
    handles SIGTERM, for a daemon that a flood keeps from ever waiting."""
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        assert proc.poll() is None, f"daemon ended early: {finish(proc)}"
        if armed(proc.pid) if busy else in_wait(proc.pid):
            return
        time.sleep(0.001 if busy else 0.01)
    raise AssertionError("daemon never reached its wait")


def finish(proc, sig=None):
    """Optionally signals the daemon, then returns (status, stdout, stderr)."""
    if sig:
        proc.send_signal(sig)
    try:
        out, err = proc.communicate(timeout=WAIT)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise AssertionError("daemon did not end")
    return proc.returncode, out.decode(), err.decode()


def libc_says(name):
    """The C library's text for name (ENODEV, EPERM, ENETDOWN, ENOSYS, EMFILE, EOPNOTSUPP, EMSGSIZE, unknown_option,
    missing_argument, permutes), as the probe built with the daemon prints it, for a program called BINARY."""
    if not LIBC_TEXTS:
        if not PROBE:
            raise Unavailable("needs the C library's texts from libc_probe (--probe)")
        probe = subprocess.run(EMULATOR + [PROBE, BINARY], check=True, capture_output=True, text=True)
        LIBC_TEXTS.update(line.split("\t", 1) for line in probe.stdout.splitlines())
    return LIBC_TEXTS[name]


def startup_line(eth=ETH, nas=NAS):
    return f"eth interface: {eth}, nas interface: {nas}\n"


def offloads_said(eth=ETH):
    """What a daemon that got as far as relaying says of the Ethernet side's offloads: nothing where it
    turns them off; under qemu-user, which passes no SIOCETHTOOL on (ENOSYS), that it cannot read them."""
    qemu_user = EMULATOR and "qemu" in os.path.basename(EMULATOR[0])
    return f"{eth}: cannot read offloads: {libc_says('ENOSYS')}\n" if qemu_user else ""


def expect_end(proc, status=0, out="", err=None, sig=None):
    """The daemon's end; err by default what a daemon that relayed says (offloads_said)."""
    err = offloads_said() if err is None else err
    got = finish(proc, sig)
    assert got == (status, out, err), f"expected {(status, out, err)!r}, got {got!r}"
    assert not os.path.exists(PID_FILE), "pid file left behind"


@contextlib.contextmanager
def running(*args, out=None, err=None, **options):
    """The daemon (-e ETH -n NAS, or args) started and in its wait, for the block; then SIGTERM and an
    orderly end: status 0, out on standard output (the start-up line unless said), err on standard error
    (what a relaying daemon says unless said), no pid file. A block that fails leaves the daemon to be
    killed at the end of the case."""
    proc = start(*(args or ("-e", ETH, "-n", NAS)), **options)
    wait_ready(proc)
    yield proc
    expect_end(proc, out=startup_line() if out is None else out, err=err, sig=signal.SIGTERM)
