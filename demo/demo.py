#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Builds quelmar and shows it relaying real frames in a throwaway network namespace.

Needs root: it makes a network namespace and quelmar opens raw packet sockets.
"""
import os
import signal
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import relay_test as lab  # noqa: E402 - the test harness makes the namespace and the interfaces


def main():
    if os.geteuid() != 0:
        sys.exit("demo: needs root (a network namespace, and raw packet sockets for quelmar): demo/run")
    print("building quelmar in build/dev (cmake --preset dev, cmake --build --preset dev --target quelmar)", flush=True)
    subprocess.run(["cmake", "--preset", "dev"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "dev", "--target", "quelmar"], cwd=ROOT, check=True)
    print()
    lab.BINARY = os.path.join(ROOT, "build", "dev", "quelmar")

    nas = lab.enter_lab()
    print(f"namespace ready: Ethernet side veth {lab.ETH} (peer {lab.PEER}), nas side tun {lab.NAS}")
    proc = lab.start("-e", lab.ETH, "-n", lab.NAS)
    lab.wait_ready(proc)
    print("quelmar stdout:", proc.stdout.readline().decode().rstrip())
    with open(lab.PID_FILE) as f:
        print(f"{lab.PID_FILE}: {f.read()!r} (quelmar's pid is {proc.pid})")

    frames = [
        ("IPv4 ICMP echo request", lab.frame(0x0800, bytes.fromhex(
            "4500001c0001000040010000c0a80001c0a80002" "0800f7ff00000000"))),
        ("ARP request", lab.frame(0x0806, bytes.fromhex(
            "0001080006040001020000000001c0a80001000000000000c0a80002"))),
    ]
    lab.inject([f for _, f in frames])
    for (what, sent), (protocol, packet) in zip(frames, lab.read_nas(nas, len(frames))):
        print(f"\nsent on {lab.PEER}: {what}, {len(sent)} bytes\n  {sent.hex(' ')}")
        print(f"came out on {lab.NAS}: protocol 0x{protocol:04x}, {len(packet)} bytes\n  {packet.hex(' ')}")

    status, _, err = lab.finish(proc, signal.SIGTERM)
    print(f"\nSIGTERM: quelmar exited with status {status}{', stderr: ' + err if err else ''}")
    print(f"pid file {'still there' if os.path.exists(lab.PID_FILE) else 'removed'}")
    return status


if __name__ == "__main__":
    sys.exit(main())
