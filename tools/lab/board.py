# SPDX-License-Identifier: ISC
"""The emulated board: a Malta (32-bit big-endian MIPS) under qemu-system-mips with Linux and
BusyBox from Debian's sources (tools/build_board.sh), BusyBox init, and quelmar installed from a
MIPS build as a device build installs it, with contrib/busybox/S50quelmar.

    PYTHONPATH=tools python3 -m lab.board shell [BUILD]
                              boots it with quelmar from BUILD (build/mips-musl) and gives
                              this terminal its shell

The board's eth0 is an e1000 NIC on qemu's socket netdev: frames sent as UDP datagrams to the
board's port enter eth0, and frames the board sends out of eth0 arrive as datagrams at the
host's. The tests and the benchmark boot it through Board.
"""
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from lab.daemon import cache_value

ROOT = Path(__file__).resolve().parents[2]
PIECES = Path(os.environ.get("QUELMAR_BOARD_DIR", ROOT / "build" / "board"))
MAC = bytes.fromhex("525400123456")
# Frames/s that flood the board: here its kernel took in at most about 35,000/s, and a sender that
# never waits takes a whole host core from qemu's two threads, so that far fewer frames get in.
FLOOD = 40000
NIC = "e1000"  # qemu's device for eth0
WAIT = 60.0  # seconds before a wait for the board counts as hung: emulated, on a shared machine


def checksum(data):
    """The Internet checksum (RFC 1071) of data."""
    total = sum(struct.unpack(f"!{len(data) // 2}H", data + b"\0" * (len(data) % 2)))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def tcp_flow(count, payload=1448, first=0):
    """count segments of one TCP flow, first onwards, as a sender's wire carries them to the board's
    MAC: payload bytes each after IP and TCP headers with timestamps (1514-byte frames at 1448),
    consecutive sequence numbers, ACK without PSH, DF with incrementing IP ids, valid checksums;
    what GRO merges, whatever the IP destination."""
    source, destination = bytes([192, 0, 2, 1]), bytes([192, 0, 2, 2])
    options = bytes.fromhex("0101080a0000a0000000b000")  # NOP, NOP, timestamps, as Linux sends them
    frames = []
    for n in range(first, first + count):
        data = bytes((n * payload + i) % 251 for i in range(payload))
        tcp = struct.pack("!HHIIBBHHH", 40000, 5001, 1 + n * payload, 1, (20 + len(options)) // 4 << 4, 0x10,
                          502, 0, 0) + options + data
        pseudo = source + destination + struct.pack("!BBH", 0, 6, len(tcp))
        tcp = tcp[:16] + struct.pack("!H", checksum(pseudo + tcp)) + tcp[18:]
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), 1 + n & 0xFFFF, 0x4000, 64, 6, 0, source,
                         destination)
        ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
        frames.append(MAC + bytes.fromhex("020000000001") + b"\x08\x00" + ip + tcp)
    return frames


def build_pieces(pieces=PIECES, fragment=None):
    """vmlinux, BusyBox, gen_init_cpio and nas-tun, built once (tools/build_board.sh); the kernel with
    fragment merged into its configuration, if given."""
    subprocess.run(["sh", str(ROOT / "tools" / "build_board.sh"), str(pieces), *([str(fragment)] if fragment else [])],
                   check=True)


def libc_root(build):
    """Where the build's C library lives: its own root (musl, uClibc-ng), or the cross toolchain's."""
    return cache_value(build, "QUELMAR_LIBC_ROOT") or "/usr/mips-linux-gnu"


def needed(binary, root):
    """The files binary loads, found under root: its interpreter and every library it needs, in turn."""
    found, todo = {}, [Path(binary)]
    while todo:
        dynamic = subprocess.run(["readelf", "-l", "-d", str(todo.pop())], check=True, capture_output=True,
                                 text=True).stdout
        paths = re.findall(r"\[Requesting program interpreter: (.+)\]", dynamic)
        paths += ["/lib/" + name for name in re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic)]
        for path in paths:
            if path not in found:
                found[path] = Path(root + path).resolve(strict=True)
                todo.append(found[path])
    return found


def image(build, out, session, files=(), settings="ETH_IF=eth0\nNAS_IF=nas0\n", pieces=PIECES):
    """Packs an initramfs into out/initrd.cpio: BusyBox, the board's rootfs/, quelmar installed from
    build with DESTDIR (stripped), the C library it loads, contrib/busybox/S50quelmar, settings as
    /etc/default/quelmar, session as inittab's last line, and files: (path on the board, source)."""
    out = Path(out)
    stage = out / "stage"
    shutil.rmtree(stage, ignore_errors=True)
    subprocess.run(["cmake", "--install", str(build), "--prefix", "/usr", "--strip"], check=True,
                   stdout=subprocess.DEVNULL, env=dict(os.environ, DESTDIR=str(stage)))
    (stage / "etc/default").mkdir(parents=True)
    (stage / "etc/default/quelmar").write_text(settings)
    (stage / "etc/inittab").write_text((ROOT / "board/rootfs/etc/inittab").read_text() + session + "\n")
    entries, dirs = [], {"/dev", "/proc", "/sys", "/tmp", "/var/run"}

    def add(path, source, mode):
        entries.append(f"file {path} {source} {mode:o} 0 0")
        dirs.add(os.path.dirname(path))

    rootfs = ROOT / "board/rootfs"
    for base in (rootfs, stage):
        for source in sorted(p for p in base.rglob("*") if p.is_file() and p != rootfs / "etc/inittab"):
            add("/" + str(source.relative_to(base)), source, source.stat().st_mode & 0o777)
    add("/etc/init.d/S50quelmar", ROOT / "contrib/busybox/S50quelmar", 0o755)
    add("/bin/busybox", pieces / "busybox", 0o755)
    add("/usr/bin/nas-tun", pieces / "nas-tun", 0o755)
    for path, source in needed(stage / "usr/sbin/quelmar", libc_root(build)).items():
        add(path, source, 0o755)
    for path, source in files:
        add(path, source, 0o755)
    for link in (pieces / "busybox.links").read_text().split():
        entries.append(f"slink {link} /bin/busybox 777 0 0")
        dirs.add(os.path.dirname(link))
    entries.append("nod /dev/console 600 0 0 c 5 1")
    parents = {"/".join(d.split("/")[:n]) for d in dirs for n in range(2, d.count("/") + 2)}
    listing = out / "initrd.list"
    listing.write_text("".join(f"dir {d} 755 0 0\n" for d in sorted(parents)) + "\n".join(entries) + "\n")
    initrd = out / "initrd.cpio"
    with open(initrd, "wb") as f:
        subprocess.run([str(pieces / "gen_init_cpio"), str(listing)], check=True, stdout=f)
    return initrd


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def qemu_command(initrd, board_port, host_port, append, pieces=PIECES, netdev=None):
    """netdev: qemu's -netdev for eth0 (id n0) instead of the socket netdev on board_port and host_port."""
    return ["qemu-system-mips", "-M", "malta", "-m", "128", "-nographic", "-vga", "none", "-serial", "mon:stdio",
            "-no-reboot", "-kernel", str(pieces / "vmlinux"), "-initrd", str(initrd),
            "-append", f"console=ttyS0 panic=-1 {append}",
            # Without qemu's recommended packages there is no option ROM for the NIC.
            "-netdev", netdev or f"socket,id=n0,udp=127.0.0.1:{host_port},localaddr=127.0.0.1:{board_port}",
            "-device", f"{NIC},netdev=n0,addr=0b,mac={MAC.hex(':')},romfile="]


class Board:
    """A booted board: its serial console read into .console, frames into its eth0 and out of it."""

    def __init__(self, initrd, append="quiet", pieces=PIECES, netdev=None):
        self.net = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.net.bind(("127.0.0.1", 0))
        self.address = ("127.0.0.1", free_udp_port())
        self.qemu = subprocess.Popen(qemu_command(initrd, self.address[1], self.net.getsockname()[1], append,
                                                  pieces, netdev), stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.console, self.at, self.changed = b"", 0, threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while chunk := os.read(self.qemu.stdout.fileno(), 65536):
            with self.changed:
                self.console += chunk
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def expect(self, pattern, wait=WAIT):
        """Waits for pattern (a bytes regex) on the console after the last match; returns the match."""
        deadline = time.monotonic() + wait
        with self.changed:
            while not (found := re.compile(pattern).search(self.console, self.at)):
                left = deadline - time.monotonic()
                if left <= 0 or not self.reader.is_alive():
                    raise AssertionError(f"no {pattern!r} on the board's console; after the last match: "
                                         f"{self.console[self.at:][-3000:]!r}")
                self.changed.wait(min(left, 1.0))
            self.at = found.end()
            return found

    def reply(self, line=b""):
        """A line on the console's input, where the board's script reads."""
        self.qemu.stdin.write(line + b"\n")
        self.qemu.stdin.flush()

    def send(self, frames):
        for frame in frames:
            self.net.sendto(frame, self.address)

    def sent_by_board(self):
        """The frames the board has sent out of eth0 so far."""
        self.net.setblocking(False)
        frames = []
        try:
            while True:
                frames.append(self.net.recv(65536))
        except BlockingIOError:
            return frames
        finally:
            self.net.setblocking(True)

    def end(self, wait=WAIT):
        """Waits for qemu to end (the board powered off); its exit status."""
        return self.qemu.wait(timeout=wait)

    def close(self):
        if self.qemu.poll() is None:
            self.qemu.kill()
            self.qemu.wait()
        self.reader.join()
        self.net.close()


class Sender:
    """Sends frames into the board's eth0 at rate frames/s, one after the other and again from the
    first, from a thread, until stopped; the rate achieved."""

    def __init__(self, b, frames, rate):
        self.sent, self.running = 0, True
        self.thread = threading.Thread(target=self.run, args=(b, frames, rate))
        self.began = time.monotonic()
        self.thread.start()

    def run(self, b, frames, rate):
        while self.running:
            due = int((time.monotonic() - self.began) * rate) - self.sent
            b.send(frames[(self.sent + n) % len(frames)] for n in range(due))
            self.sent += due
            time.sleep(0.0005)

    def stop(self):
        self.running = False
        self.thread.join()
        return self.sent / (time.monotonic() - self.began)


def shell(build):
    """Boots the board with quelmar from build and hands this terminal to its console."""
    build_pieces()
    with tempfile.TemporaryDirectory(prefix="board-") as out:
        initrd = image(build, out, "ttyS0::respawn:-/bin/sh")
        board_port, host_port = free_udp_port(), free_udp_port()
        print(f"board: quelmar from {build}. UDP datagrams to 127.0.0.1:{board_port} enter the board's eth0 "
              f"as frames; what it sends out of eth0 goes to 127.0.0.1:{host_port}. poweroff (or Ctrl-A x) ends it.",
              flush=True)
        return subprocess.run(qemu_command(initrd, board_port, host_port, "")).returncode


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3) or sys.argv[1] != "shell":
        sys.exit(__doc__)
    sys.exit(shell(Path(sys.argv[2] if len(sys.argv) == 3 else ROOT / "build" / "mips-musl").resolve()))
