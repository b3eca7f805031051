# SPDX-License-Identifier: ISC
"""What every behaviour file of tests/ runs its cases with, and what more than one of them uses.

Each case declares, with @case, what it needs; `FILE.py --list` prints every case on a line, its name,
then its timeout and needs, from which tests/CMakeLists.txt makes the CTest list:
    native             the daemon runs on this machine's CPU (not a cross build)
    unsanitized        a build without sanitizers
    plain              both: where the checks that do not depend on the build run, once
    mips               a cross build for MIPS (the emulated board)
    PROGRAM/PACKAGE    that program, from that Debian package
    memcheck           runs again as memcheck.CASE, the daemon under valgrind's memcheck, on plain builds
                       (not a case that runs no daemon of the build, or one whose daemon another program
                       starts, or one that counts the daemon's descriptors or needs its standard error)
    alone              runs with no other test beside it

    FILE.py --list
    FILE.py [--memcheck] BUILD CASE
runs CASE on the build tree BUILD, with what tests/CMakeLists.txt wrote into BUILD/tests/build.txt: the
daemon, the emulator it runs under (qemu-user for a cross build), the build's libc_probe and the programs
the cases preload or link. Exit status: 0 passed, 1 failed, 77 skipped (a need not met; with
QUELMAR_REQUIRE_ALL set, as the test command sets it, such a case fails instead).
"""
import argparse
import contextlib
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(SOURCE / "tools"))
from lab import WAIT, daemon  # noqa: E402
from lab.daemon import ETH, NAS, start, wait_ready  # noqa: E402
from lab.frames import dump, frame, inject, read_nas, relayed, wait_drained  # noqa: E402
from lab.netns import PEER, Unavailable, enter_lab  # noqa: E402

SKIP = 77
# Any error or leak ends the daemon with status 99, which its case reports.
MEMCHECK = ["--quiet", "--error-exitcode=99", "--leak-check=full", "--show-leak-kinds=all",
            "--errors-for-leak-kinds=all"]
BUILD = {}  # BUILD/tests/build.txt: NAME=VALUE, lists as CMake's (a;b;c)
CASES = {}


class Skip(Exception):
    pass


def case(*needs, timeout=120, memcheck=False, alone=False):
    """Declares the function a case, with what it needs (see above), its timeout in seconds, whether it runs
    under memcheck too and whether alone."""
    def declare(function):
        words = needs + (("memcheck",) if memcheck else ()) + (("alone",) if alone else ())
        CASES[function.__name__] = (function, words, timeout)
        return function
    return declare


def unmet(needs):
    """Why the build under test does not meet needs, or None."""
    for need in needs:
        program, _, package = need.partition("/")
        if need in ("native", "plain") and daemon.EMULATOR:
            return "the daemon runs under an emulator here"
        if need in ("unsanitized", "plain") and re.search(r"Shared library: \[lib(a|ub)san", run(
                ["readelf", "-d", daemon.BINARY]).stdout):
            return "a sanitizer build"
        if need == "mips" and not any("qemu-mips" in word for word in daemon.EMULATOR):
            return "not a MIPS build"
        if package and not shutil.which(program):
            return f"needs {program} (Debian package {package})"
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--memcheck", action="store_true")
    parser.add_argument("build", nargs="?")
    parser.add_argument("case", nargs="?", choices=sorted(CASES))
    options = parser.parse_args()
    if options.list:
        for name, (_, needs, timeout) in CASES.items():
            print(" ".join([name, f"timeout={timeout}", *needs]))
        return 0
    with open(Path(options.build) / "tests" / "build.txt") as f:
        BUILD.update(line.split("=", 1) for line in f.read().splitlines())
    daemon.configure(BUILD["binary"], BUILD["emulator"], BUILD["probe"])
    function, needs, _ = CASES[options.case]
    try:
        if options.memcheck:  # neither the shim nor the vendor library: valgrind takes no qemu-user options
            BUILD.update(shim="", zvapi="")
            if not shutil.which("valgrind"):
                raise Skip("needs valgrind (Debian package valgrind)")
            daemon.EMULATOR = [shutil.which("valgrind"), *MEMCHECK]
        why = unmet(needs)
        if why:
            raise Skip(why)
        function()
    except (Skip, Unavailable) as e:
        if os.environ.get("QUELMAR_REQUIRE_ALL"):  # the full run: a case that cannot run fails it
            print(f"FAIL {options.case}: cannot run: {e}")
            return 1
        print(f"SKIP {options.case}: {e}")
        return SKIP
    except AssertionError as e:
        print(f"FAIL {options.case}: {e}")
        return 1
    finally:
        daemon.kill_started()
    print(f"PASS {options.case}")
    return 0


# ---- what more than one behaviour file uses ----

def run(command, **options):
    """command's result, its output captured as text."""
    return subprocess.run(command, capture_output=True, text=True, **options)


def cut_reported(length, refused=None):
    """What the daemon says of the first frame longer than its buffer, and of no later one: relayed cut, or
    refused by the nas side with the C library's text for refused (an errno's name)."""
    outcome = f"not relayed: sendto: {daemon.libc_says(refused)}" if refused else "relayed cut"
    return f"eth2nas: a frame of {length} bytes was cut to 2048 and {outcome}; later ones are not reported\n"


def verbose_relay(nas, env=None, preexec=None):
    """Relays a long frame, a 42-byte one and a nas-side packet with -v; returns what to expect of the trace."""
    proc = start("-v", "-e", ETH, "-n", NAS, env=env, preexec=preexec)
    wait_ready(proc)
    long_frame = frame(0x0800, bytes(range(0x20, 0x80)))
    arp = frame(0x0806, bytes.fromhex("0001080006040001020000000001c0a80001000000000000c0a80002"))
    for f in (long_frame, arp):  # one at a time: the second must overwrite the first in the buffer
        inject([f])
        assert read_nas(nas, 1) == relayed([f])
    nas_packet = bytes.fromhex("4500001400010000401100007f0000017f000002")
    os.write(nas, struct.pack("!HH", 0, 0x0800) + nas_packet)
    wait_drained()
    # Read is not yet dumped: back in its wait, the daemon has written the whole dump, of which a SIGTERM
    # before would drop the rest (a sanitizer build under load showed "nas2eth" alone).
    wait_ready(proc)
    return proc, dump(long_frame, "eth2nas") + dump(arp, "eth2nas") + dump(nas_packet, "nas2eth")


def in_child(lab, what, check):
    """check() in a child with a lab of its own (enter_lab's options); what names it when it fails."""
    pid = os.fork()
    if pid == 0:
        try:
            enter_lab(**lab)
            check()
            os._exit(0)
        except BaseException as e:  # report whatever went wrong in the child
            print(f"FAIL {what}: {e}", file=sys.stderr)
            daemon.kill_started()
            os._exit(SKIP if isinstance(e, (Skip, Unavailable)) else 1)
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    if status == SKIP:
        raise Skip("needs root for network namespaces")
    assert status == 0, f"{what} failed"


def peer_listener():
    listener = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
    listener.bind((PEER, 0))
    listener.setblocking(False)
    return listener


def arrived_at_peer(listener):
    """The frames that came out of the Ethernet side onto the peer so far."""
    arrived = []
    with contextlib.suppress(BlockingIOError):
        while True:
            data, address = listener.recvfrom(4096)
            if address[2] != socket.PACKET_OUTGOING:
                arrived.append(data)
    return arrived


def held_outside_wait(pid):
    """Whether the process sleeps somewhere other than its relay loop's wait."""
    with contextlib.suppress(OSError):
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "S" and not daemon.in_wait(pid)
    return False


def fill_standard_error(proc):
    """Fills the daemon's standard error, a pipe that nobody reads; returns a descriptor of it (to close)
    and the bytes that filled it."""
    stall = os.open(f"/proc/{proc.pid}/fd/2", os.O_WRONLY | os.O_NONBLOCK)
    filled = 0
    for chunk in (4096, 1):
        with contextlib.suppress(BlockingIOError):
            while True:
                filled += os.write(stall, b"x" * chunk)
    return stall, filled


def term_while_held(proc, held_by):
    """Waits until the daemon is held outside its relay loop's wait (by a full output: in its wait for
    room, or stuck in a write), sends SIGTERM and waits for the end, reading nothing, so that what is
    full stays full. Returns the seconds from SIGTERM to the end (WAIT or more if it never ended)."""
    deadline = time.monotonic() + WAIT
    while not held_outside_wait(proc.pid):
        assert time.monotonic() < deadline, f"the daemon was never held up by {held_by}"
        time.sleep(0.01)
    signalled = time.monotonic()
    proc.send_signal(signal.SIGTERM)
    with contextlib.suppress(subprocess.TimeoutExpired):
        proc.wait(timeout=WAIT)
    return time.monotonic() - signalled


def traced(pid, injection):
    """Attaches strace to pid with one injection (strace's inject=SYSCALL:WHAT); returns strace's process,
    which ends with the daemon (a case that traces needs strace/strace). A daemon built with
    LeakSanitizer must run with detect_leaks=0: its check at exit ptraces too."""
    tracer = subprocess.Popen(["strace", "-o", "/dev/null", "-e", "trace=" + injection.split(":")[0], "-e",
                               "inject=" + injection, "-p", str(pid)], stderr=subprocess.DEVNULL)
    while True:
        with open(f"/proc/{pid}/status") as f:
            if re.search(r"TracerPid:\s*[1-9]", f.read()):
                return tracer
        assert tracer.poll() is None, "strace could not attach"
        time.sleep(0.01)


def start_traffic(pause=0.0, flood=None):
    """Sends frames numbered from 0 on the peer until the returned stop() is called; sent[0] is the
    next number. A send that fails (a link down, the peer gone) is skipped. flood names an interface
    on which trafgen sends instead, as fast as it can: more than any build of the daemon takes (a case
    that floods needs trafgen/netsniff-ng)."""
    stop, sent = threading.Event(), [0]
    if flood:
        packet = frame(0x88B5, b"flood" * 20) if flood == PEER else bytes.fromhex("45000028") + bytes(36)
        config = f"/run/{flood}.trafgen"
        with open(config, "w") as f:
            f.write("{ " + ", ".join(map(hex, packet)) + " }\n")
        # The machine's socket memory limits and IRQ affinities are not the test's to change.
        gen = subprocess.Popen(["trafgen", "-o", flood, "-i", config, "-P", "1", "--no-sock-mem", "-Q", "-C"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

        def end_flood():
            running = gen.poll() is None
            os.killpg(gen.pid, signal.SIGKILL)  # trafgen and the worker it forks
            gen.wait()
            assert running, f"trafgen on {flood} ended by itself with status {gen.returncode}"
        return end_flood, sent

    def send():
        with socket.socket(socket.AF_PACKET, socket.SOCK_RAW, 0) as s:
            s.bind((PEER, 0))
            while not stop.is_set():
                try:
                    s.send(frame(0x88B5, struct.pack("!I", sent[0]) + b"flood" * 20))
                except OSError:
                    pass
                sent[0] += 1
                if pause:
                    stop.wait(pause)

    thread = threading.Thread(target=send)
    thread.start()

    def end():
        stop.set()
        thread.join()
    return end, sent
