#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Packaging: the init integration in contrib/ run as each init system runs it (BusyBox's start-stop-daemon,
systemd's sandbox, ujail's capabilities, procd's script), the install layout, the Yocto recipe's licence,
and the test command's package installs. Run by tests/CMakeLists.txt; see harness.py."""
import collections
import contextlib
import ctypes
import errno
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys

import harness
from harness import SOURCE, case, main, run, traced, verbose_relay
from lab import WAIT, daemon
from lab.daemon import ETH, NAS, PID_FILE, expect_end, finish, libc_says, start, startup_line
from lab.frames import dump, frame, inject, read_nas, relayed
from lab.netns import enter_lab, sh

# Not under memcheck, any of them: their daemon is started by start-stop-daemon, under a seccomp filter
# that would apply to valgrind, or by setpriv in valgrind's place.


def installed(*directories):
    """Makes the directories writable in this mount namespace alone, on overlays, to install into."""
    for directory in directories:
        layer = "/run/layer" + directory.replace("/", "-")
        os.makedirs(f"{layer}/upper")
        os.mkdir(f"{layer}/work")
        sh(f"mount -t overlay overlay -o lowerdir={directory},upperdir={layer}/upper,workdir={layer}/work "
           + directory)


def children_running(binary):
    """Our children that run binary (zombies run nothing)."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            with open(f"/proc/{entry}/stat") as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
            if parent == os.getpid() and os.readlink(f"/proc/{entry}/exe") == binary:
                found.append(int(entry))
    return found


@case("native", "busybox/busybox", "strace/strace")
def init_script():
    """contrib/busybox/S50quelmar as it ships, at /etc/init.d with the daemon at /usr/sbin, under
    BusyBox's sh and start-stop-daemon: start without a name starts nothing; a pid file naming
    another program is not taken for quelmar; a quelmar that ends at once fails the start, its
    reason on the console; start relays, the daemon's output (with -v, its dump) on the console
    and its pid in the pid file; a second start starts no second daemon; stop returns once the
    daemon has ended in order (status 0, no pid file), and fails, having sent SIGTERM, when it does
    not end; a stop with none running is no error."""
    busybox = shutil.which("busybox")
    nas = enter_lab()
    # The script runs in the background what start-stop-daemon then becomes; once the script has
    # ended, the daemon is an orphan, which a subreaper gets as its child, to read its exit status.
    assert ctypes.CDLL(None).prctl(36, 1, 0, 0, 0) == 0, "PR_SET_CHILD_SUBREAPER"
    installed("/etc", "/usr/sbin")
    binary, script, console = "/usr/sbin/quelmar", "/etc/init.d/S50quelmar", "/run/console.txt"
    shutil.copy(daemon.BINARY, binary)
    os.makedirs("/etc/init.d", exist_ok=True)
    shutil.copy(os.path.join(SOURCE, "contrib/busybox/S50quelmar"), script)
    open(console, "w").close()
    sh(f"mount --bind {console} /dev/console")
    tools = "/run/init-bin"
    os.mkdir(tools)
    os.symlink(busybox, f"{tools}/start-stop-daemon")  # Debian's own differs
    env = dict(os.environ, PATH=f"{tools}:{os.environ['PATH']}")

    def configure(settings):
        os.makedirs("/etc/default", exist_ok=True)
        with open("/etc/default/quelmar", "w") as f:
            f.write(settings)

    def run(action, status, out, before=()):
        # Output captured through pipes: a daemon that kept them would hold this up until WAIT.
        done = subprocess.run([*before, busybox, "sh", script, action], env=env, capture_output=True,
                              text=True, timeout=WAIT)
        got = (done.returncode, done.stdout + done.stderr)
        assert got == (status, out), f"{action}: {got!r}"

    def on_console():
        with open(console, newline="") as f:
            return f.read()

    def started(*args, before=()):
        """Starts it; checks that one daemon runs, with args, and that the pid file names it."""
        run("start", 0, "Starting quelmar: OK\n", before)
        [pid] = children_running(binary)
        with open(PID_FILE) as f:
            assert f.read() == str(pid)
        with open(f"/proc/{pid}/cmdline") as f:
            assert f.read().split("\0")[:-1] == [binary, *args], args
        return pid

    try:
        configure(f"ETH_IF={ETH}\n")
        run("start", 1, "Starting quelmar: FAIL (ETH_IF and NAS_IF must be set in /etc/default/quelmar)\n")
        assert children_running(binary) == []
        with open(PID_FILE, "w") as f:  # left by a quelmar that was killed, its pid now the test's
            f.write(str(os.getpid()))
        run("stop", 0, "Stopping quelmar: not running\n")
        # start gives a quelmar a tenth of a second to end after writing its pid file. Without
        # CAP_NET_RAW it ends microseconds after; with an interface missing, it would first close
        # its packet sockets, which takes the kernel tens of milliseconds of that tenth.
        configure(f"ETH_IF={ETH}\nNAS_IF={NAS}\n")
        run("start", 1, "Starting quelmar: FAIL\n", before=("setpriv", "--bounding-set", "-net_raw"))
        assert children_running(binary) == [] and not os.path.exists(PID_FILE)
        assert on_console() == startup_line() + f"socket: {libc_says('EPERM')}\n", on_console()

        configure(f"ETH_IF={ETH}\nNAS_IF={NAS}\nVERBOSE=yes\n")
        # LeakSanitizer's check at exit ptraces, which strace below holds.
        pid = started("-v", "-e", ETH, "-n", NAS, before=("env", "ASAN_OPTIONS=detect_leaks=0"))
        frames = [frame(0x0800, b"started by the init script"), frame(0x0806, b"second")]
        inject(frames)
        assert read_nas(nas, 2) == relayed(frames)
        run("start", 0, "Starting quelmar: already running\n")
        assert children_running(binary) == [pid]
        # Its exit held 0.3 s past the removal of its pid file, as a leak check or a slow CPU holds it.
        tracer = traced(pid, "exit_group:delay_enter=300000")
        run("stop", 0, "Stopping quelmar: OK\n")
        ended, status = os.waitpid(pid, os.WNOHANG)
        assert ended == pid, "stop returned before the daemon ended"
        tracer.wait()
        assert os.waitstatus_to_exitcode(status) == 0 and not os.path.exists(PID_FILE), status
        assert on_console() == startup_line() + "".join(dump(f, "eth2nas") for f in frames), on_console()
        run("stop", 0, "Stopping quelmar: not running\n")

        # A daemon that does not end (stopped here, its SIGTERM pending) fails the stop once TIMEOUT
        # has passed, and ends in order when it goes on.
        configure(f"ETH_IF={ETH}\nNAS_IF={NAS}\nTIMEOUT=1\n")
        pid = started("-e", ETH, "-n", NAS)
        os.kill(pid, signal.SIGSTOP)
        run("stop", 1, "Stopping quelmar: FAIL (still running after 1 s)\n")
        assert children_running(binary) == [pid]
        os.kill(pid, signal.SIGCONT)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0 and not os.path.exists(PID_FILE)
        assert on_console() == startup_line(), on_console()
    finally:
        for left in children_running(binary):
            os.kill(left, signal.SIGKILL)
            os.waitpid(left, 0)


def unit_settings(path):
    """A systemd unit's settings, each name with its values in order."""
    settings = collections.defaultdict(list)
    with open(path) as f:
        for line in map(str.strip, f):
            if line and not line.startswith(("#", "[")):
                name, value = line.split("=", 1)
                settings[name].append(value)
    return settings


def syscall_filter(settings):
    """The system calls SystemCallFilter allows, by name: its allow list less its deny lists, each group
    expanded as this host's systemd-analyze lists it."""
    listing = subprocess.run(["systemd-analyze", "syscall-filter"], check=True, capture_output=True,
                             text=True).stdout
    groups, group = {}, None
    for line in listing.splitlines():
        if not line.startswith(" "):
            group = line if line.startswith("@") else None
            groups.setdefault(group, [])
        elif group and not line.strip().startswith("#"):
            groups[group].append(line.strip())

    def expand(names):
        return set().union(*(expand(groups[name]) if name.startswith("@") else {name} for name in names))

    allowed = set()
    for value in settings["SystemCallFilter"]:
        if value.startswith("~"):
            allowed -= expand(value[1:].split())
        else:
            allowed |= expand(value.split())
    return allowed


def sandbox(settings):
    """A preexec_fn that applies the unit's sandbox as systemd would: root and /run read-only and /proc
    showing only the process's own (ProtectSystem=strict, ProcSubset=pid, ProtectProc=invisible); an
    unprivileged user with the capabilities of the bounding set, ambient (DynamicUser, AmbientCapabilities,
    CapabilityBoundingSet); no_new_privs; a seccomp filter of SystemCallFilter and RestrictAddressFamilies,
    anything else failing with SystemCallErrorNumber."""
    expected = {"DynamicUser": ["yes"], "NoNewPrivileges": ["yes"], "ProtectSystem": ["strict"],
                "ProcSubset": ["pid"], "ProtectProc": ["invisible"], "SystemCallErrorNumber": ["EPERM"],
                "SystemCallArchitectures": ["native"], "AmbientCapabilities": settings["CapabilityBoundingSet"]}
    assert all(settings[name] == value for name, value in expected.items()), "the test applies other settings"
    libc = ctypes.CDLL(None, use_errno=True)
    seccomp = ctypes.CDLL("libseccomp.so.2")
    seccomp.seccomp_init.restype = ctypes.c_void_p
    seccomp.seccomp_init.argtypes = [ctypes.c_uint32]
    seccomp.seccomp_syscall_resolve_name.argtypes = [ctypes.c_char_p]
    seccomp.seccomp_rule_add_array.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int, ctypes.c_uint,
                                               ctypes.c_void_p]
    seccomp.seccomp_load.argtypes = [ctypes.c_void_p]
    capabilities = {"CAP_NET_ADMIN": 12, "CAP_NET_RAW": 13}  # linux/capability.h
    kept = [capabilities[name] for name in " ".join(settings["CapabilityBoundingSet"]).split()]
    with open("/proc/sys/kernel/cap_last_cap") as f:
        last_capability = int(f.read())
    families = [getattr(socket, name) for name in " ".join(settings["RestrictAddressFamilies"]).split()]

    class ArgCmp(ctypes.Structure):  # struct scmp_arg_cmp
        _fields_ = [("arg", ctypes.c_uint), ("op", ctypes.c_int), ("a", ctypes.c_uint64), ("b", ctypes.c_uint64)]

    allow, eq = 0x7FFF0000, 4  # SCMP_ACT_ALLOW, SCMP_CMP_EQ
    context = seccomp.seccomp_init(0x00050000 | errno.EPERM)  # SCMP_ACT_ERRNO(EPERM)
    numbers = {seccomp.seccomp_syscall_resolve_name(name.encode()) for name in syscall_filter(settings)}
    numbers.discard(-1)  # calls of other architectures
    numbers.discard(socket_call := seccomp.seccomp_syscall_resolve_name(b"socket"))
    for number in numbers:
        assert seccomp.seccomp_rule_add_array(context, allow, number, 0, None) == 0
    for family in families:  # socket(family, ...) for these alone
        assert seccomp.seccomp_rule_add_array(context, allow, socket_call, 1, ctypes.byref(ArgCmp(0, eq, family))) == 0

    def check(result):
        if result != 0:
            raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))

    def apply():
        check(libc.unshare(0x00020000))  # CLONE_NEWNS
        for read_only in ("/", os.path.realpath("/var/run")):
            check(libc.mount(None, read_only.encode(), None, 4096 | 32 | 1, None))  # MS_BIND|MS_REMOUNT|MS_RDONLY
        check(libc.mount(b"proc", b"/proc", b"proc", 2 | 4 | 8, b"hidepid=invisible,subset=pid"))
        for capability in set(range(last_capability + 1)) - set(kept):
            check(libc.prctl(24, capability, 0, 0, 0))  # PR_CAPBSET_DROP
        check(libc.prctl(8, 1, 0, 0, 0))  # PR_SET_KEEPCAPS: through the change of user
        os.setgroups([])
        os.setresgid(65534, 65534, 65534)
        os.setresuid(65534, 65534, 65534)
        mask = sum(1 << capability for capability in kept)
        header = (ctypes.c_uint32 * 2)(0x20080522, 0)  # _LINUX_CAPABILITY_VERSION_3, this process
        data = (ctypes.c_uint32 * 6)(mask, mask, mask, 0, 0, 0)  # effective, permitted, inheritable
        check(libc.capset(header, data))
        for capability in kept:
            check(libc.prctl(47, 2, capability, 0, 0))  # PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE
        check(libc.prctl(38, 1, 0, 0, 0))  # PR_SET_NO_NEW_PRIVS
        check(seccomp.seccomp_load(context))

    return apply


@case("plain", "systemd-analyze/systemd")
def systemd_unit():
    """contrib/systemd/quelmar.service passes systemd-analyze verify and stays at its security exposure; the
    daemon its ExecStart runs, under the unit's sandbox (another user with CAP_NET_RAW and CAP_NET_ADMIN alone,
    no_new_privs, its system call filter and address families, a read-only file system), turns the offloads
    off without a word, relays with -v, writes no pid file, and ends in order on SIGTERM."""
    unit = os.path.join(SOURCE, "contrib/systemd/quelmar.service")
    nas = enter_lab()
    installed("/usr/sbin")
    shutil.copy(daemon.BINARY, "/usr/sbin/quelmar")
    for check in (["verify", "--man=no", unit],
                  # The exposure that contrib/README.md gives, 1.3, in tenths; a weaker sandbox scores higher.
                  ["security", "--offline=yes", "--threshold=13", unit]):
        done = subprocess.run(["systemd-analyze", *check], capture_output=True, text=True, cwd="/run")
        assert done.returncode == 0 and (check[0] != "verify" or done.stdout + done.stderr == ""), \
            f"systemd-analyze {check[0]}: {done.returncode} {done.stdout}{done.stderr}"
    settings = unit_settings(unit)
    environment = {"ETH_IF": ETH, "NAS_IF": NAS, "QUELMAR_ARGS": "-v"}  # as /etc/default/quelmar sets them
    [exec_start] = settings["ExecStart"]
    command = []
    for word in exec_start.split():  # $NAME: split into words; ${NAME}: one word
        name = word.strip("${}")
        command += environment[name].split() if word.startswith("$" + name) else \
            [environment[name]] if word.startswith("${") else [word]
    assert command == ["/usr/sbin/quelmar", "-v", "-e", ETH, "-n", NAS], command
    daemon.BINARY = command[0]
    proc, trace = verbose_relay(nas, preexec=sandbox(settings))
    with open(f"/proc/{proc.pid}/status") as f:
        status = dict(line.split(":", 1) for line in f.read().splitlines())
    got = [status[name].split()[0] for name in ("Uid", "CapEff", "CapBnd", "NoNewPrivs", "Seccomp")]
    assert got == ["65534", "0000000000003000", "0000000000003000", "1", "2"], got
    assert not os.path.exists(PID_FILE)
    expect_end(proc, out=startup_line(), err=trace, sig=signal.SIGTERM)


@case("native", "setpriv/util-linux")
def jail_capabilities():
    """The capabilities that contrib/openwrt/quelmar/files/quelmar.json has ujail give quelmar, the same in
    all five sets, applied with util-linux's setpriv as ujail applies them: another user, those alone
    inheritable, ambient and bounding, no_new_privs. With all of them the daemon relays with -v, turns the
    offloads off without a word and writes no pid file; without CAP_NET_ADMIN it says it cannot turn them
    off and relays on; without CAP_NET_RAW it cannot open a socket and ends (status 0)."""
    with open(os.path.join(SOURCE, "contrib/openwrt/quelmar/files/quelmar.json")) as f:
        sets = json.load(f)
    assert sorted(sets) == ["ambient", "bounding", "effective", "inheritable", "permitted"], sets
    granted = sorted(sets["bounding"])
    assert all(sorted(names) == granted for names in sets.values()), sets
    numbers = {"CAP_NET_ADMIN": 12, "CAP_NET_RAW": 13}  # linux/capability.h
    eperm = libc_says("EPERM")
    nas = enter_lab()
    installed("/usr/sbin")  # where any user can run it, as on the device
    daemon.BINARY = shutil.copy(daemon.BINARY, "/usr/sbin/quelmar")
    for missing in (None, *granted):
        kept = [name for name in granted if name != missing]
        caps = ",".join(["-all"] + ["+" + name[4:].lower() for name in kept])
        daemon.EMULATOR = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", f"--inh-caps={caps}",
                           f"--ambient-caps={caps}", f"--bounding-set={caps}", "--no-new-privs"]
        if missing == "CAP_NET_RAW":
            proc = start("-e", ETH, "-n", NAS)
            expect_end(proc, out=startup_line(), err=f"socket: {eperm}\n")
            continue
        proc, trace = verbose_relay(nas)
        with open(f"/proc/{proc.pid}/status") as f:
            status = dict(line.split(":\t", 1) for line in f.read().splitlines())
        mask = f"{sum(1 << numbers[name] for name in kept):016x}"
        assert [status[name].split()[0] for name in ("Uid", "CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb",
                                                     "NoNewPrivs")] == ["65534"] + [mask] * 5 + ["1"], status
        assert not os.path.exists(PID_FILE)
        got = finish(proc, signal.SIGTERM)
        said = {None: "", "CAP_NET_ADMIN": rf"{ETH}: cannot turn off( [a-z0-9_-]+)+: {re.escape(eperm)}\n"}[missing]
        assert got[:2] == (0, startup_line()) and got[2].endswith(trace), (missing, got)
        assert re.fullmatch(said, got[2][:-len(trace)]), (missing, got[2][:-len(trace)])


# ---- the rest of contrib/, the install, the test command's installs: once, on the plain build ----

@case("plain", "busybox/busybox")
def procd():
    """contrib/openwrt's init script gives procd the instance and trigger each config asks for, run under
    BusyBox's sh as on OpenWrt against stand-ins for rc.common's UCI and procd functions (procd_init_test.sh)."""
    files = SOURCE / "contrib/openwrt/quelmar/files"
    done = run(["busybox", "sh", SOURCE / "tests/procd_init_test.sh", files / "quelmar.init", files / "quelmar.config"])
    print(done.stdout + done.stderr, end="")
    assert done.returncode == 0, f"procd_init_test.sh: {done.returncode} failed"


@case("plain")
def prepare():
    """need_packages on a made-up machine, apt-get simulating: installed, held and provided packages count;
    nothing is ever removed or upgraded (prepare_test.sh)."""
    done = run(["sh", SOURCE / "tests/prepare_test.sh", SOURCE])
    print(done.stdout + done.stderr, end="")
    assert done.returncode == 0, f"prepare_test.sh: {done.returncode} failed"


@case("plain")
def yocto_license():
    """The Yocto recipe's LIC_FILES_CHKSUM is the md5 of LICENSE as it is: bitbake stops the build at
    do_populate_lic otherwise."""
    recipe = SOURCE / "contrib/yocto/meta-quelmar/recipes-connectivity/quelmar/quelmar_0.1.0.bb"
    md5 = hashlib.md5((SOURCE / "LICENSE").read_bytes()).hexdigest()
    assert f'LIC_FILES_CHKSUM = "file://LICENSE;md5={md5}"' in recipe.read_text().splitlines(), \
        f"LIC_FILES_CHKSUM in {recipe} is not the md5 of LICENSE"


def run_install_layout(*settings):
    """install_layout.cmake with settings (NAME=VALUE) and the manual page to compare with."""
    done = run([harness.BUILD["cmake"], *(f"-D{setting}" for setting in settings), f"-DMANPAGE={SOURCE}/doc/quelmar.8",
                "-P", SOURCE / "tests/install_layout.cmake"])
    print(done.stdout + done.stderr, end="")
    assert done.returncode == 0, "install_layout.cmake failed"


@case()
def install_layout():
    """cmake --install puts the daemon in sbin and its manual page in section 8, and nothing else."""
    build = harness.BUILD
    run_install_layout(f"BUILD={os.path.dirname(daemon.BINARY)}", f"PREFIX={build['work']}/installed",
                   f"SBINDIR={build['sbindir']}", f"MANDIR={build['mandir']}", f"BINARY={daemon.BINARY}")


@case("plain", "ninja/ninja-build", "make/make", timeout=300)
def install_sdk():
    """So does a build of its own as OpenWrt's and Buildroot's SDKs configure, build and install it (their
    flags, OpenWrt's CMAKE_STRIP=":" and Ninja among them), each into a DESTDIR, with this build's compiler:
    the flags are the same whatever this build is."""
    build = harness.BUILD
    run_install_layout("SDK=openwrt;buildroot", f"SOURCE={SOURCE}", f"WORK={build['work']}/sdk",
                   *(f"{name.upper()}={build[name]}" for name in ("cxx", "ar", "nm", "ranlib")),
                   f"MAKE={shutil.which('make')}", f"NINJA={shutil.which('ninja')}")


if __name__ == "__main__":
    sys.exit(main())
