#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Stopping: SIGTERM at rest, however the daemon was started, under a flood, and at random moments from
start-up on. Run by tests/CMakeLists.txt; see harness.py."""
import collections
import ctypes
import fcntl
import os
import random
import re
import select
import signal
import subprocess
import sys
import threading
import time

import harness
from harness import case, fill_standard_error, main, start_traffic, term_while_held
from lab import WAIT, daemon
from lab.daemon import ETH, NAS, PID_FILE, expect_end, offloads_said, running, start, startup_line, wait_ready
from lab.frames import frame, inject, read_nas
from lab.netns import PEER, enter_lab

CONSOLE_RATE = 11520  # bytes a second a 115200-baud serial console takes


@case(memcheck=True)
def sigterm_at_rest():
    """Options, start-up line through a pipe, pid file, and SIGTERM though started with it blocked, or
    ignored, or as PID 1 of a PID namespace, or while it waits for room in standard error."""
    enter_lab()
    with running("-e", "bogus0", "-v", "-e", ETH, "-n", NAS, out="",
                 preexec=lambda: (signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM}), os.umask(0))) as proc:
        assert select.select([proc.stdout], [], [], WAIT)[0], "start-up line held back"
        assert proc.stdout.readline().decode() == startup_line()
        with open(PID_FILE) as f:
            assert f.read() == str(proc.pid)
        assert os.stat(PID_FILE).st_mode & 0o777 == 0o666  # fopen "w" with the daemon's umask of 0
    if harness.BUILD["shim"]:  # SIGTERM after the loop's check of its stop flag, before the wait: the wait ends at once
        expect_end(start("-e", ETH, "-n", NAS, preload=harness.BUILD["shim"],
                         env=dict(os.environ, QUELMAR_SHIM="term_before_wait")), out=startup_line())
        # Standard error full, and its wait for room made endless: SIGTERM, through the stop pipe, ends it.
        proc = start("-v", "-e", ETH, "-n", NAS, preload=harness.BUILD["shim"],
                     env=dict(os.environ, QUELMAR_SHIM="endless_room_wait"))
        wait_ready(proc)
        stall, filled = fill_standard_error(proc)
        os.close(stall)
        inject([frame(0x0800, b"dumped into a full standard error")])
        stopped = term_while_held(proc, "standard error")
        expect_end(proc, out=startup_line(), err=offloads_said() + "x" * filled)
        assert stopped <= (2.0 if daemon.EMULATOR else 1.0), f"ended {stopped:.2f} s after SIGTERM in a wait for room"

    def held_off_and_stdout_full():
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        fcntl.fcntl(1, fcntl.F_SETPIPE_SZ, 4096)
        os.set_blocking(1, False)
        os.write(1, b"x" * 4096)
        os.set_blocking(1, True)
    # Started so, it is held writing its start-up line: SIGTERM's default action still ends it. As PID 1
    # of a PID namespace (a container's command), where the kernel drops a signal whose action is the
    # default one, a handler does what that action would, with status 128 + SIGTERM. Last: every later
    # child of this process would be in that namespace, which ends with its PID 1.
    for pid_1 in (False, True):
        assert not pid_1 or ctypes.CDLL(None).unshare(0x20000000) == 0, "CLONE_NEWPID"
        if pid_1 and daemon.EMULATOR and os.path.basename(daemon.EMULATOR[0]) == "valgrind":
            # Not glibc's freeres, which valgrind runs at exit: it flushes stdio, unlike the real _exit,
            # and the held start-up line would block it in a write into the full output.
            daemon.EMULATOR.insert(1, "--run-libc-freeres=no")
        proc = start("-e", ETH, "-n", NAS, preexec=held_off_and_stdout_full)
        term_while_held(proc, "its standard output")
        want = 128 + signal.SIGTERM if pid_1 else -signal.SIGTERM
        assert proc.returncode == want, f"status {proc.returncode} with standard output full, PID 1: {pid_1}"


@case(memcheck=True)
def sigterm_flood():
    """SIGTERM while frames pour in ends the daemon in order."""
    nas = enter_lab()
    proc = start("-e", ETH, "-n", NAS)
    wait_ready(proc)
    stop, _ = start_traffic()
    try:
        read_nas(nas, 100)
        expect_end(proc, out=startup_line(), sig=signal.SIGTERM)  # the traffic still flowing
    finally:
        stop()


RACE_PHASES = (  # name, -v, trafgen floods these sides, how the test reads the console
    ("start-up", False, (), "all"),
    ("at rest", False, (), "all"),
    ("Ethernet side flooded", False, (PEER,), "all"),
    ("both sides flooded", False, (PEER, NAS), "all"),  # the nas socket sees the sends out of nas0 too
    ("-v, slow console", True, (PEER,), "slowly"),
    ("-v, stalled console", True, (PEER,), "not"),
)
TRACE_LINE = re.compile(r"(eth2nas|nas2eth|| {14}0  1 .* 0123456789ABCDEF\r|0x000000[0-3]0 \|( [0-9A-F]{2}){16} \| .{16})\n")


def read_console(proc, slowly):
    """Reads the daemon's stderr in a thread, at CONSOLE_RATE while slowly; returns rest() that reads
    on at full speed and gives all the text once the daemon has ended."""
    chunks, fast = [], threading.Event()

    def read():
        while chunk := os.read(proc.stderr.fileno(), CONSOLE_RATE // 10):
            chunks.append(chunk)
            if slowly:
                fast.wait(0.1)
    thread = threading.Thread(target=read)
    thread.start()

    def rest():
        fast.set()
        thread.join()
        return b"".join(chunks).decode()
    return rest


# Alone: an orderly stop takes the kernel's lock of every namespace's devices (rtnl, to put the
# offloads back) and waits a grace period of RCU for each packet socket it closes. A test beside it
# that makes and deletes namespaces holds that lock for hundreds of milliseconds at a time: measured
# under such churn and three busy loops, stops of 0.3 to 2.3 s, nearly all of it in rtnl_dumpit,
# dev_ethtool and packet_release's synchronize_rcu, the daemon's own doings the same as at rest.
@case("trafgen/netsniff-ng", memcheck=True, alone=True)
def sigterm_race():
    """SIGTERM after a random delay, in start-up, at rest, while trafgen floods one side or both, and
    with -v writing to a console that takes 11.5 kB/s or nothing at all: killed by the default action
    before the handler is there (start-up only), or an orderly end within 1 s (2 s under an emulator).
    Never a hang, a crash, a cut trace line, or status 0 with the pid file left. QUELMAR_RACE_CYCLES
    sets the count (300)."""
    enter_lab()
    cycles = int(os.environ.get("QUELMAR_RACE_CYCLES", "300"))
    seed = int(os.environ.get("QUELMAR_SEED", time.time_ns() % 1000000))
    # An emulated process's exit itself is slower (valgrind checks for leaks then, 160 ms here);
    # the stop must still never wait for the flood to end.
    bound = 2.0 if daemon.EMULATOR else 1.0
    rng = random.Random(seed)
    startup = 0.0
    for _ in range(3):
        began = time.monotonic()
        with running():
            startup = max(startup, time.monotonic() - began)
    killed, slowest, stops, phase = 0, collections.defaultdict(float), [], None
    try:
        for cycle in range(cycles):
            if phase != RACE_PHASES[cycle * len(RACE_PHASES) // cycles]:
                while stops:
                    stops.pop()()
                phase = RACE_PHASES[cycle * len(RACE_PHASES) // cycles]
                stops = [start_traffic(flood=side)[0] for side in phase[2]]
            name, verbose, flooded, console = phase
            proc = start(*(["-v"] if verbose else []), "-e", ETH, "-n", NAS)
            if console != "not":
                rest = read_console(proc, console == "slowly")
            if name == "start-up":
                time.sleep(startup * rng.random() ** 2)  # most early on, where the handler is not yet there
            else:
                wait_ready(proc, busy=bool(flooded))
                time.sleep(rng.uniform(0, 0.01))
            signalled = time.monotonic()
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=WAIT)  # reads nothing: a stalled console stays stalled
            except subprocess.TimeoutExpired:
                raise AssertionError(f"cycle {cycle} ({name}, seed {seed}): no end {WAIT:.0f} s after SIGTERM")
            slowest[name] = max(slowest[name], time.monotonic() - signalled)
            out = proc.stdout.read().decode()
            err = rest() if console != "not" else proc.stderr.read().decode()
            status = proc.returncode
            where = f"cycle {cycle} ({name}, seed {seed}): {(status, out, err[:300])!r}"
            if status == -signal.SIGTERM and name == "start-up":
                assert err == "" and out in ("", startup_line()), where
                killed += 1
                if os.path.exists(PID_FILE):
                    os.unlink(PID_FILE)
            else:
                # A stop asked before the offloads were looked at ends without a word of them: in start-up,
                # or under a flood, where it is sent once SIGTERM is handled (wait_ready(busy=True)).
                said = offloads_said() if name == "at rest" or err.startswith(offloads_said()) else ""
                assert (status, out) == (0, startup_line()) and err.startswith(said), where
                trace = err[len(said):]
                assert TRACE_LINE.sub("", trace) == "" and (verbose or trace == ""), where
                assert not os.path.exists(PID_FILE), "pid file left after status 0 in " + where
    finally:
        while stops:
            stops.pop()()
    print(f"{cycles} cycles (seed {seed}): {killed} ended by the default action in start-up, "
          f"{cycles - killed} in order; slowest end after SIGTERM: "
          + ", ".join(f"{name} {seconds * 1000:.0f} ms" for name, seconds in slowest.items()))
    late = {name: seconds for name, seconds in slowest.items() if seconds > bound}
    assert not late, f"ended later than {bound:.0f} s after SIGTERM: {late}"


if __name__ == "__main__":
    sys.exit(main())
