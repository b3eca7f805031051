#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Start-up and its messages: usage errors, every set-up failure, and standard descriptors closed or
standing for odd objects at start. Run by tests/CMakeLists.txt; see harness.py."""
import contextlib
import os
import re
import resource
import select
import signal
import subprocess
import sys
import termios
import time
import tty

import harness
from harness import arrived_at_peer, case, in_child, main, peer_listener, traced
from lab import WAIT, daemon, netns
from lab.daemon import (ETH, NAS, PID_FILE, descriptors, expect_end, finish, libc_says, offloads_said, running,
                        start, startup_line, stop_pipe, wait_ready)
from lab.frames import dump, frame, inject, read_nas, relayed
from lab.netns import enter_lab, sh


def usage(program=None):
    return f"Usage: {program or daemon.BINARY} [-e eth_if] [-n nas_if] [-v]\n"


@case(memcheck=True)
def usage_errors():
    """Usage errors: status 1, getopt's message (the C library's own words) and the usage line,
    nothing else, no pid file. Options after an operand are read where getopt permutes (glibc,
    uClibc) and not where it stops at the first operand (musl)."""
    enter_lab()
    for args, diagnostic in (
            (["-x", "-e", ETH, "-n", NAS], libc_says("unknown_option")),
            (["-e", ETH, "-n"], libc_says("missing_argument")),
            (["-n", NAS], None),
            (["-e", ETH, "-v"], None),
            ([], None)):
        status, out, err = finish(start(*args))
        assert (status, out) == (1, ""), (args, status, out)
        assert diagnostic is None or diagnostic.startswith(f"{daemon.BINARY}: "), f"probe's getopt said {diagnostic!r}"
        assert err == (f"{diagnostic}\n" if diagnostic else "") + usage(), (args, err)
        assert not os.path.exists(PID_FILE), args
    got = finish(start("operand", "-e", ETH, "-n", "nosuch0"))
    if libc_says("permutes") == "1":
        want = (0, startup_line(ETH, "nosuch0"), f"ioctl: {libc_says('ENODEV')}\n")
    else:
        want = (1, "", usage())
    assert got == want, f"options after an operand: expected {want!r}, got {got!r}"
    assert not os.path.exists(PID_FILE), "options after an operand"


def occupy_descriptors(upto, spare=0):
    """preexec for a daemon whose first free descriptor is upto, once the emulator has taken
    the spare ones it keeps for itself (the highest below upto are left free for them)."""
    def occupy():
        resource.setrlimit(resource.RLIMIT_NOFILE, (4096, max(4096, resource.getrlimit(resource.RLIMIT_NOFILE)[1])))
        null = os.open("/dev/null", os.O_RDONLY)
        for fd in range(3, upto - spare):
            if fd != null:
                os.dup2(null, fd)
        if null < upto:
            os.set_inheritable(null, True)
        else:
            os.close(null)
    return occupy


def emulator_descriptors():
    """How many descriptors the emulator keeps open for itself (none without one), counted on
    a daemon at rest in a lab of its own: every one past 0-2 that is neither a socket nor one
    of the two ends of the stop pipe the daemon opens after its packet sockets."""
    if not daemon.EMULATOR:
        return 0
    reader, writer = os.pipe()

    def count():
        with running() as proc:
            links, sockets = descriptors(proc.pid)
            # Nor standard error opened again, without blocking, for a message (offloads_said).
            pipe = stop_pipe(links, sockets)
            held = sum(fd > 2 and fd not in sockets + pipe and link != links[2] for fd, link in links.items())
        os.write(writer, str(held).encode())
    in_child({}, "counting the emulator's descriptors", count)
    os.close(writer)
    with os.fdopen(reader) as f:
        return int(f.read())


def reader_gone():
    """preexec: standard error a pipe whose reader has gone, as when a log pipe ended."""
    reader, writer = os.pipe()
    os.dup2(writer, 2)
    os.close(reader)
    os.close(writer)


def kernel_log_as_stderr():
    """preexec: standard error /dev/kmsg, the kernel's log, which takes every write and never reports room."""
    os.dup2(os.open("/dev/kmsg", os.O_WRONLY), 2)


def await_kernel_log(log, text):
    """Reads the kernel's log (log: /dev/kmsg, opened for reading) until a record of text."""
    deadline = time.monotonic() + WAIT
    while True:
        assert select.select([log], [], [], max(0.0, deadline - time.monotonic()))[0], f"{text!r} not in the log"
        with contextlib.suppress(BrokenPipeError):  # records overwritten before they were read
            if os.read(log, 8192).decode(errors="replace").split(";", 1)[-1] == text:
                return


def drop_privilege():
    os.setgid(65534)
    os.setuid(65534)


# Neither this nor the next under memcheck: valgrind holds descriptors of its own, so that the daemon's are
# numbered otherwise, and writes into the daemon's standard error.
@case()
def setup_failures():
    """Every set-up failure: its message on its stream, then shutdown with status 0 and no pid file."""
    too_long = "abcdefghijklmnop"  # 16 characters, one more than fits
    spare = emulator_descriptors()
    cases = [
        # (lab, args, start options, stdout after the start-up line, stderr)
        (dict(eth_up=False, nas_up=False), [], {}, f"{ETH} is not up!\n", ""),
        (dict(nas_up=False), [], {}, f"{NAS} is not up!\n", ""),
        ({}, ["-n", "nosuch0"], {}, "", f"ioctl: {libc_says('ENODEV')}\n"),
        # Standard error's reader gone: the message is lost (EPIPE), and SIGPIPE does not end it.
        ({}, ["-n", "nosuch0"], dict(preexec=reader_gone), "", ""),
        # Standard error the kernel's log: the message goes there (one line in the machine's log), and it ends.
        ({}, ["-n", "nosuch0"], dict(preexec=kernel_log_as_stderr), "", ""),
        ({}, ["-e", too_long], {}, "", f"{too_long}: interface name too long\n"),
        ({}, ["-n", too_long], {}, "", f"{too_long}: interface name too long\n"),
        ({}, [], dict(preexec=drop_privilege), "", f"socket: {libc_says('EPERM')}\n"),
        # After the claim (a socket never waited on): Ethernet side at 1024; then Ethernet side at 1023
        # (the highest allowed), nas side at 1024; then both sockets allowed and the stop pipe's read
        # end at 1024; then the link watch at 1024. The first pins the emulator's count from above, the
        # second from below.
        ({}, [], dict(preexec=occupy_descriptors(1023, spare), close_fds=False), "",
         "socket: descriptor 1024 is too high for select (limit 1024)\n"),
        ({}, [], dict(preexec=occupy_descriptors(1022, spare), close_fds=False), "",
         "socket: descriptor 1024 is too high for select (limit 1024)\n"),
        ({}, [], dict(preexec=occupy_descriptors(1021, spare), close_fds=False), "",
         "pipe: descriptor 1024 is too high for select (limit 1024)\n"),
        ({}, [], dict(preexec=occupy_descriptors(1019, spare), close_fds=False), "",
         "netlink: descriptor 1024 is too high for select (limit 1024)\n"),
        # Room for the claim and the two sockets alone: the binds take no descriptor of their own, the
        # stop pipe fails.
        ({}, [], dict(preexec=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (6 + spare, 6 + spare))), "",
         f"pipe: {libc_says('EMFILE')}\n"),
        # A second quelmar on the Ethernet side of one that runs: refused before its pid file, the first's.
        ({}, [], dict(beside=True), "", f"{ETH}: relayed by another quelmar already\n"),
    ]
    if harness.BUILD["shim"]:  # the index lookup failing, as for an interface gone after its up-check
        cases.append(({}, [], dict(preload=harness.BUILD["shim"], env=dict(os.environ, QUELMAR_SHIM="no_index")), "",
                      f"bind eth: {libc_says('ENODEV')}\n"))
    for lab, args, options, out, err in cases:  # each in a child with namespaces of its own
        in_child(lab, f"set-up failure case {lab} {args}", lambda: run_failure(args, options, out, err))


def run_failure(args, options, out, err):
    names = {"-e": ETH, "-n": NAS}
    for flag, name in zip(args[::2], args[1::2]):
        names[flag] = name
    with running() if options.pop("beside", False) else contextlib.nullcontext() as first:
        proc = start("-e", names["-e"], "-n", names["-n"], **options)
        with contextlib.suppress(subprocess.TimeoutExpired):
            proc.wait(timeout=WAIT)  # nothing read before the end: a full standard error stays full
        if first:
            got = finish(proc)
            assert got == (0, startup_line() + out, err), f"beside another: {got!r}"
            with open(PID_FILE) as f:
                assert f.read() == str(first.pid), "the first one's pid file"
            inject([sentinel := frame(0x0800, b"the first relays on")])
            assert read_nas(netns.nas_tun, 1) == relayed([sentinel])
            return
    expect_end(proc, out=startup_line(names["-e"], names["-n"]) + out, err=err)


def expect_on_pty(slave, want):
    """Reads the pty's slave until it has given as much as want, which it must then be."""
    text = b""
    while len(text) < len(want.encode()) and select.select([slave], [], [], WAIT)[0]:
        text += os.read(slave, 4096)
    assert text == want.encode(), f"on the pty: {text!r}, expected {want!r}"


@case("strace/strace")
def closed_standard_descriptors():
    """With stderr the kernel's log, which never reports room, a message reaches it and relaying goes on.
    Started with stderr (and stdin) closed, no socket or pipe lands on 0-2: /dev/null takes them, or /
    where there is no /dev/null; the trace goes out as no frame and wakes no wait. With stderr a pty master,
    the trace reaches its slave, and a write that finds no room where its wait found some holds up no
    relaying: that dump is dropped, and the next reaches the slave once the pty takes text again. With
    stderr the read end of a pipe, nothing goes into that pipe."""
    nas = enter_lab()
    listener = peer_listener()
    master, slave = os.openpty()  # opened again, a master would be a new pty, which nobody reads
    tty.setraw(slave)
    reader, writer = os.pipe()  # opened again for writing, the read end would be the write end
    os.close(writer)
    # The Ethernet socket would be 2; then 0, with the nas socket on 2; then, without /dev/null, the
    # stop pipe's read end on 2, where the trace would make it readable for ever.
    # Standard error the kernel's log: a message (the offloads' under qemu-user, else a link down's) reaches
    # it, one line in the machine's log, and relaying goes on.
    log = os.open("/dev/kmsg", os.O_RDONLY | os.O_NONBLOCK)
    os.lseek(log, 0, os.SEEK_END)
    with running(err="", preexec=kernel_log_as_stderr):
        if not offloads_said():
            sh(f"ip link set {NAS} down")
        await_kernel_log(log, offloads_said() or f"recv: {libc_says('ENETDOWN')}\n")
        sh(f"ip link set {NAS} up")
        inject([after := frame(0x0800, b"after a message")])
        assert read_nas(nas, 1) == relayed([after]), "not relayed after a message to the kernel's log"
    os.close(log)
    null = os.open("/dev/null", os.O_RDONLY)  # the daemon's stdin, closed in it anyway, once /dev is bare
    for closed, stand_in in (((), master), ((), reader), ((2,), "/dev/null"), ((0, 2), "/dev/null"), ((0, 2), "/")):
        if stand_in == "/":
            sh("mount -t tmpfs tmpfs /dev")
        proc = start("-v", "-e", ETH, "-n", NAS, stdin=null, preexec=lambda: [os.close(fd) for fd in closed]
                     if closed else os.dup2(stand_in, 2),  # below, strace holds the ptrace of a leak check
                     env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0") if stand_in == master else None)
        wait_ready(proc)
        links, _ = descriptors(proc.pid)
        # qemu-user's -L takes the target's root for "/", as it takes every absolute path it finds there.
        emulator = daemon.EMULATOR
        root = os.path.realpath(emulator[emulator.index("-L") + 1]) if "-L" in emulator else "/"
        assert [links[fd] for fd in closed] == [root if stand_in == "/" else stand_in] * len(closed), links
        frames = [frame(0x0800, b"first"), frame(0x0806, b"second")]
        for f in frames:
            inject([f])
            assert read_nas(nas, 1) == relayed([f]), closed
        if stand_in == master:
            expect_on_pty(slave, offloads_said() + "".join(dump(f, "eth2nas") for f in frames))
            # The next write held at its entry, its wait for room over, while the pty stops taking text,
            # as when another writer takes that room first.
            tracer = traced(proc.pid, "write:delay_enter=2000000:when=1")
            inject([third := frame(0x0800, b"third")])
            deadline = time.monotonic() + WAIT
            while True:
                with open(f"/proc/{proc.pid}/syscall") as f:
                    if re.match(r"\d+ 0x2 0x[0-9a-f]+ 0x8 ", f.read()):  # write(2, "eth2nas\n", 8)
                        break
                assert time.monotonic() < deadline, "the trace's first write never began"
                time.sleep(0.01)
            termios.tcflow(master, termios.TCOOFF)
            # SIGALRM cuts that write short, the wait for room runs out, the dump is dropped and the frame
            # goes out; once the pty takes text again, so does the next dump.
            assert read_nas(nas, 1) == relayed([third]), "the frame at hand, its dump dropped"
            termios.tcflush(slave, termios.TCIFLUSH)  # what went out before it stopped, on a slow day
            termios.tcflow(master, termios.TCOON)
            inject([fourth := frame(0x0800, b"fourth")])
            assert read_nas(nas, 1) == relayed([fourth])
            expect_on_pty(slave, dump(fourth, "eth2nas"))
        # Whatever it said went to its stand-in for standard error.
        expect_end(proc, out=startup_line(), err="", sig=signal.SIGTERM)
        if stand_in == master:
            tracer.wait()  # strace ends with the daemon
        assert stand_in != reader or os.read(reader, 65536) == b"", "written into the read end of a pipe"
        assert arrived_at_peer(listener) == [], f"frames out of the Ethernet side with {closed} closed"


if __name__ == "__main__":
    sys.exit(main())
