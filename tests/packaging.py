#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Packaging: the init integration in contrib/ run as each init system runs it (BusyBox's start-stop-daemon,
systemd's sandbox, ujail's capabilities, procd's script), the install layout, the Yocto recipe's licence,
and the test command's package installs. Run by tests/CMakeLists.txt; see harness.py."""
import contextlib
import ctypes
import errno
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

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


def children(parent):
    """The processes whose parent is parent (a zombie among them)."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            with open(f"/proc/{entry}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == parent:
                    found.append(int(entry))
    return found


def nice(pid):
    """The process's nice value, field 19 of its stat."""
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[16])


def children_running(binary):
    """Our children that run binary (zombies run nothing)."""
    found = []
    for pid in children(os.getpid()):
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/{pid}/exe") == binary:
                found.append(pid)
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

    def started(*args, before=(), niceness=0):
        """Starts it; checks that one daemon runs, with args and niceness, and that the pid file names it."""
        run("start", 0, "Starting quelmar: OK\n", before)
        [pid] = children_running(binary)
        with open(PID_FILE) as f:
            assert f.read() == str(pid)
        with open(f"/proc/{pid}/cmdline") as f:
            assert f.read().split("\0")[:-1] == [binary, *args], args
        assert nice(pid) == niceness, nice(pid)
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
        configure(f"ETH_IF={ETH}\nNAS_IF={NAS}\nTIMEOUT=1\nNICE=-10\n")
        pid = started("-e", ETH, "-n", NAS, niceness=-10)
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


# Run in quelmar's place under the unit's sandbox (a drop-in changes ExecStart alone), this says what a
# process of the unit may do, as one JSON line, and waits for its stop: the address families it may
# open; a call of @privileged (setuid to its own uid, which needs no privilege); writable and executable
# memory; every directory it can create a file in (not below /usr, /proc or /sys, which it walks
# past), leaving that file there; what it sees of /proc, /run and /dev/shm; the device nodes in /dev
# (terminals in /dev/pts aside).
UNIT_PROBE = """import errno, json, mmap, os, signal, socket, stat
said, name = {}, f"quelmar-probe-{os.getpid()}"

def attempt(what, *args):
    try:
        what(*args)
        return "allowed"
    except OSError as e:
        return errno.errorcode[e.errno]

for family, kind in (("AF_PACKET", socket.SOCK_RAW), ("AF_NETLINK", socket.SOCK_DGRAM),
                     ("AF_UNIX", socket.SOCK_DGRAM), ("AF_INET", socket.SOCK_DGRAM), ("AF_INET6", socket.SOCK_DGRAM)):
    said[family] = attempt(lambda: socket.socket(getattr(socket, family), kind).close())
said["setuid"] = attempt(os.setuid, os.getuid())
said["wx"] = attempt(mmap.mmap, -1, 4096, mmap.MAP_PRIVATE, mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
said["writable"], said["devices"], said["hidden"] = [], [], []
for top, directories, files in os.walk("/"):
    if top in ("/", "/dev"):
        directories[:] = set(directories) - {"usr", "proc", "sys", "pts"}
    if attempt(lambda: os.close(os.open(f"{top}/{name}", os.O_WRONLY | os.O_CREAT | os.O_EXCL))) == "allowed":
        said["writable"].append(top)
    if top.startswith("/dev"):
        said["devices"] += [f"{top}/{f}" for f in files if stat.S_ISCHR(os.lstat(f"{top}/{f}").st_mode)
                            or stat.S_ISBLK(os.lstat(f"{top}/{f}").st_mode)]
    if top.startswith(("/run", "/dev/shm")):
        said["hidden"] += [f"{top}/{f}" for f in files]
said.update(name=name, pid=str(os.getpid()), proc=os.listdir("/proc"))
print(json.dumps(said), flush=True)
signal.pause()
"""


def cgroup_removed(path):
    """Ends whatever is left in the cgroup tree at path (cgroup.kill, Linux 5.14), then removes the tree."""
    with contextlib.suppress(FileNotFoundError):
        with open(f"{path}/cgroup.kill", "w") as f:
            f.write("1")
    deadline = time.monotonic() + WAIT
    for directory, _, _ in os.walk(path, topdown=False):
        while True:
            try:
                os.rmdir(directory)
                break
            except OSError as e:  # EBUSY until the killed have left
                assert e.errno == errno.EBUSY and time.monotonic() < deadline, f"{directory}: {e}"
                time.sleep(0.01)


@case("plain", "systemd-analyze/systemd", "systemd-nspawn/systemd-container", "ethtool/ethtool")
def systemd_unit():
    """contrib/systemd/quelmar.service as shipped, under this machine's own systemd booted as PID 1 by
    systemd-nspawn in the lab, checked from outside. systemd-analyze verify passes it without a word. The
    daemon it starts runs as a dynamic user with CAP_NET_RAW and CAP_NET_ADMIN alone in every set,
    no_new_privs and seccomp, /run empty and read-only; it relays with -v (the dump in the journal) and
    turns the offloads off without a word; a process in its cgroup cannot send an IP packet; the
    exposure systemd-analyze security gives it stays; systemctl stop ends it with status 0, no pid file
    written, the offloads as before; at nice 0, and at -10 with a drop-in that says Nice=-10. A process in
    its place under the same sandbox may open packet, netlink and unix sockets but no other family, call
    nothing of @privileged, map no memory writable and executable, write only to a /tmp, /var/tmp and
    /dev/mqueue of its own, and sees only its own process in /proc, no device but the pseudo ones in /dev,
    and nothing in /run and /dev/shm."""
    unit = os.path.join(SOURCE, "contrib/systemd/quelmar.service")
    nas = enter_lab()
    sh("ip link set lo up")  # for the IP packet that the unit's cgroup is not to send
    sh(f"ethtool -K {ETH} gro on")  # off by default on a veth
    # The container: this machine's /usr (with the daemon, the unit and the probe on an overlay), an
    # empty root and /etc; its network the lab's, where it needs CAP_NET_ADMIN to keep.
    work = "/run/systemd-boot"
    for directory in ("sbin", "lib/systemd/system", "libexec"):
        os.makedirs(f"{work}/usr/{directory}")
    shutil.copy(daemon.BINARY, f"{work}/usr/sbin/quelmar")
    shutil.copy(unit, f"{work}/usr/lib/systemd/system/quelmar.service")
    with open(f"{work}/usr/libexec/quelmar-probe", "w") as f:
        f.write(UNIT_PROBE)
    with open(f"{work}/default", "w") as f:
        f.write(f"ETH_IF={ETH}\nNAS_IF={NAS}\nQUELMAR_ARGS=-v\n")
    # systemd-nspawn and the systemd it boots need a cgroup tree of their own: this machine's PID 1 is
    # not systemd, so no one delegates one.
    sh("mount -t cgroup2 cgroup2 /sys/fs/cgroup")
    cgroup = f"/sys/fs/cgroup/quelmar-test-{os.getpid()}"
    os.mkdir(cgroup)
    service = f"{cgroup}/payload/system.slice/quelmar.service"

    def join(group):
        def write():
            with open(f"{group}/cgroup.procs", "w") as f:
                f.write("0")
        return write
    console = open(f"{work}/console.txt", "w")
    # basic.target: no getty, nothing of the network; the first boot's questions are not asked.
    # nspawn's own seccomp filter refuses bpf(), without which IPAddressDeny= is not enforced, and
    # without a word.
    nspawn = subprocess.Popen(
        ["systemd-nspawn", "--quiet", "--directory=/", "--volatile=yes", f"--overlay=/usr:{work}/usr:/usr",
         f"--bind-ro={work}/default:/etc/default/quelmar", "--boot", "--register=no", "--keep-unit",
         "--console=read-only", "--system-call-filter=bpf", "--capability=CAP_NET_ADMIN",
         "systemd.firstboot=off", "systemd.unit=basic.target", "systemd.mask=systemd-networkd.service",
         "systemd.mask=systemd-networkd.socket"],
        stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT, preexec_fn=join(cgroup))

    def waited(what, check, shown=lambda: ""):
        deadline = time.monotonic() + WAIT
        while not (got := check()):
            assert nspawn.poll() is None, f"the container ended (status {nspawn.returncode})"
            assert time.monotonic() < deadline, f"no {what} {shown()}"
            time.sleep(0.01)
        return got

    def inside(*command):
        done = run(["nsenter", "-t", str(leader), "-a", *command])
        assert done.returncode == 0, f"{' '.join(command)}: {done.returncode} {done.stdout}{done.stderr}"
        return done.stdout

    def journal():
        invocation = inside("systemctl", "show", "--value", "-p", "InvocationID", "quelmar").strip()
        lines = inside("journalctl", f"_SYSTEMD_INVOCATION_ID={invocation}", "-o", "cat").splitlines()
        return [line.rstrip("\r") for line in lines if line.strip()]

    def main_process():
        """The unit's main process, once it runs its command (before, it is systemd's own)."""
        def found():
            with contextlib.suppress(OSError, ValueError):
                with open(f"{service}/cgroup.procs") as f:
                    [pid] = f.read().split()
                with open(f"/proc/{pid}/comm") as f:
                    return int(pid) if f.read() != "(quelmar)\n" else None
        return waited("main process", found)

    def offloads():
        got = run(["ethtool", "-k", ETH]).stdout
        return got, {name: re.search(rf"^{name}: (\w+)", got, re.M)[1]
                     for name in ("generic-receive-offload", "tcp-segmentation-offload")}

    def status(pid):
        with open(f"/proc/{pid}/status") as f:
            return dict(line.split(":\t", 1) for line in f.read().splitlines())

    try:
        started = time.monotonic()
        leader = waited("boot", lambda: next((pid for pid in children(nspawn.pid)
                                               if os.path.exists(f"/proc/{pid}/root/run/systemd/private")), None))
        print(f"booted in {time.monotonic() - started:.2f} s")
        assert inside("systemd-analyze", "verify", "--man=no", "/usr/lib/systemd/system/quelmar.service") == ""
        before, on = offloads()
        assert set(on.values()) == {"on"}, on
        inside("systemctl", "start", "quelmar")
        pid = main_process()
        waited("relay loop", lambda: daemon.in_wait(pid))
        got = status(pid)
        uid = int(got["Uid"].split()[0])
        assert 61184 <= uid <= 65519, f"not a dynamic user: {got['Uid']}"  # systemd's range for them
        assert [got[name].split() for name in ("Uid", "Gid", "Groups")] == [[str(uid)] * 4] * 2 + [[str(uid)]], got
        assert [got[name] for name in ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb", "NoNewPrivs", "Seccomp")] \
            == ["0000000000003000"] * 5 + ["1", "2"], got
        assert nice(pid) == 0
        with open(f"/proc/{pid}/mountinfo") as f:
            at_run = [line.split()[4:6] for line in f if re.match(r"/run(/|$)", line.split()[4])]
        assert at_run[0][0] == "/run" and all("ro" in options.split(",") for _, options in at_run), at_run
        assert [files for _, _, files in os.walk(f"/proc/{pid}/root/run") if files] == []
        frames = [frame(0x0800, b"started by systemd"), frame(0x0806, b"second")]
        inject(frames)
        assert read_nas(nas, 2) == relayed(frames)
        expected = [line.rstrip("\r") for line in (startup_line() + "".join(dump(f, "eth2nas") for f in frames))
                    .splitlines() if line.strip()]
        waited("dump in the journal", lambda: journal() == expected, journal)
        assert set(offloads()[1].values()) == {"off"}, offloads()[0]
        send = [sys.executable, "-c", "import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM)"
                ".sendto(b'denied', ('127.0.0.1', 9))"]
        assert run(send).returncode == 0
        denied = run(send, preexec_fn=join(service))
        assert denied.returncode == 1 and "PermissionError" in denied.stderr, denied
        # The exposure contrib/README.md gives, in tenths: 1.4; a weaker sandbox scores higher.
        print(inside("systemd-analyze", "security", "--threshold=14", "quelmar.service"), end="")
        inside("systemctl", "stop", "quelmar")
        assert sorted(inside("systemctl", "show", "-p", "Result", "-p", "ExecMainCode", "-p", "ExecMainStatus",
                             "quelmar").split()) == ["ExecMainCode=1", "ExecMainStatus=0", "Result=success"]
        assert offloads()[0] == before
        assert not os.path.exists(f"/proc/{leader}/root/run/quelmar.pid") and not os.path.exists(PID_FILE)

        # The priority setting contrib/README.md gives for a flood: a drop-in with Nice=.
        dropin = f"/proc/{leader}/root/run/systemd/system/quelmar.service.d"
        os.makedirs(dropin)
        with open(f"{dropin}/nice.conf", "w") as f:
            f.write("[Service]\nNice=-10\n")
        inside("systemctl", "daemon-reload")
        inside("systemctl", "start", "quelmar")
        assert nice(main_process()) == -10
        inside("systemctl", "stop", "quelmar")
        os.remove(f"{dropin}/nice.conf")

        with open(f"{dropin}/probe.conf", "w") as f:
            f.write("[Service]\nExecStart=\nExecStart=/usr/bin/python3 /usr/libexec/quelmar-probe\n")
        inside("systemctl", "daemon-reload")
        inside("systemctl", "start", "quelmar")
        said = json.loads(waited("probe's report", lambda: next(iter(journal()), None)))
        assert [said[name] for name in ("AF_PACKET", "AF_NETLINK", "AF_UNIX", "AF_INET", "AF_INET6", "setuid", "wx")] \
            == ["allowed"] * 3 + ["EAFNOSUPPORT"] * 2 + ["EPERM"] * 2, said
        assert sorted(said["writable"]) == ["/dev/mqueue", "/tmp", "/var/tmp"], said["writable"]
        # Its own: what it wrote there is not in the container's.
        assert not [d for d in said["writable"] if os.path.exists(f"/proc/{leader}/root{d}/{said['name']}")], \
            "written where the container's other processes see it"
        pseudo = ("full", "null", "random", "tty", "urandom", "zero")
        assert sorted(said["devices"]) == [f"/dev/{d}" for d in pseudo], said["devices"]
        assert sorted(said["proc"]) == sorted([said["pid"], "self", "thread-self"]), said["proc"]
        assert said["hidden"] == [], said
        inside("systemctl", "stop", "quelmar")
        inside("systemctl", "poweroff")
        assert nspawn.wait(timeout=WAIT) == 0
        print(f"{time.monotonic() - started:.2f} s from nspawn's start to the container's end")
    except AssertionError:
        with open(f"{work}/console.txt") as f:
            print("the container's console, to its last 3000 characters:\n" + f.read()[-3000:])
        raise
    finally:
        console.close()
        if nspawn.poll() is None:
            nspawn.kill()  # the container's systemd goes with the cgroup below
            nspawn.wait()
        cgroup_removed(cgroup)


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
