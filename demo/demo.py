#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Builds quelmar and shows it relaying real frames in a throwaway network namespace (the tests' lab,
tools/lab).

Needs root: it makes a network namespace and quelmar opens raw packet sockets.
"""
import os
import signal
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from lab import daemon  # noqa: E402
from lab.frames import frame, inject, read_nas  # noqa: E402
from lab.netns import ETH, NAS, PEER, enter_lab  # noqa: E402


def main():
    if os.geteuid() != 0:
        sys.exit("demo: needs root (a network namespace, and raw packet sockets for quelmar): demo/run")
    print("building quelmar in build/dev (cmake --preset dev, cmake --build --preset dev --target quelmar)", flush=True)
    subprocess.run(["cmake", "--preset", "dev"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "dev", "--target", "quelmar"], cwd=ROOT, check=True)
    print()
    daemon.configure(os.path.join(ROOT, "build", "dev", "quelmar"))

    nas = enter_lab()
    print(f"namespace ready: Ethernet side veth {ETH} (peer {PEER}), nas side tun {NAS}")
    proc = daemon.start("-e", ETH, "-n", NAS)
    daemon.wait_ready(proc)
    print("quelmar stdout:", proc.stdout.readline().decode().rstrip())
    with open(daemon.PID_FILE) as f:
        print(f"{daemon.PID_FILE}: {f.read()!r} (quelmar's pid is {proc.pid})")

    frames = [
        ("IPv4 ICMP echo request", frame(0x0800, bytes.fromhex(
            "4500001c0001000040010000c0a80001c0a80002" "0800f7ff00000000"))),
        ("ARP request", frame(0x0806, bytes.fromhex(
            "0001080006040001020000000001c0a80001000000000000c0a80002"))),
    ]
    inject([f for _, f in frames])
    for (what, sent), (protocol, packet) in zip(frames, read_nas(nas, len(frames))):
        print(f"\nsent on {PEER}: {what}, {len(sent)} bytes\n  {sent.hex(' ')}")
        print(f"came out on {NAS}: protocol 0x{protocol:04x}, {len(packet)} bytes\n  {packet.hex(' ')}")

    status, _, err = daemon.finish(proc, signal.SIGTERM)
    print(f"\nSIGTERM: quelmar exited with status {status}{', stderr: ' + err if err else ''}")
    print(f"pid file {'still there' if os.path.exists(daemon.PID_FILE) else 'removed'}")
    return status


if __name__ == "__main__":
    sys.exit(main())
