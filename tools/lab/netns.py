# SPDX-License-Identifier: ISC
"""A network and mount namespace of this process's own, with a private /run (where quelmar's pid file
goes) and a sysfs of its own, so that nothing touches the machine's interfaces or pid file; and the two
sides the tests relay between: the Ethernet side a veth pair (frames injected on its peer), the nas side
a tun device opened with packet information, so that every packet quelmar sends there is read back with
its protocol."""
import ctypes
import fcntl
import os
import struct
import subprocess
import time

from lab import WAIT

ETH = "ethside-0123456"  # 15 characters: the longest name an interface can have
PEER = "ethpeer"
NAS = "nas0"
CLONE_NEWNS, CLONE_NEWNET = 0x00020000, 0x40000000
TUNSETIFF, IFF_TUN = 0x400454CA, 0x0001
eth_tun = None  # the Ethernet side's descriptor, where it is a tun device
nas_tun = None  # the nas side's descriptor


class Unavailable(Exception):
    """The lab cannot be made here: not root, or no namespaces."""


def sh(command):
    subprocess.run(command.split(), check=True)


def enter():
    """New network and mount namespaces for this process, a private /run and sysfs, IPv6 off (its
    router solicitations would be relayed and counted), and no reports of link-local IPv4 groups: a
    bridge with snooping on joins 224.0.0.106, and its reports, timed at random over the seconds after
    it comes up, go out whenever it has a port by then and are relayed among the test's frames."""
    if os.geteuid() != 0:
        raise Unavailable("needs root for network namespaces")
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS | CLONE_NEWNET) != 0:
        raise Unavailable("cannot make namespaces: " + os.strerror(ctypes.get_errno()))
    sh("mount --make-rprivate /")
    sh(f"mount -t tmpfs -o mode=0755 tmpfs {os.path.realpath('/var/run')}")
    sh("mount -t sysfs sysfs /sys")
    for conf in ("all", "default"):
        with open(f"/proc/sys/net/ipv6/conf/{conf}/disable_ipv6", "w") as f:
            f.write("1")
    with open("/proc/sys/net/ipv4/igmp_link_local_mcast_reports", "w") as f:
        f.write("0")


def await_link(name):
    """Waits until the kernel's link watch has taken in name's carrier. It runs in a worker of its own,
    after the command that brought the link up has returned; until then the device's transmit queues
    hold the placeholder that drops every frame sent there (its tx_dropped counts them): on a busy
    machine, the first frame a test sent into the peer, once the daemon was ready."""
    deadline = time.monotonic() + WAIT
    while open(f"/sys/class/net/{name}/operstate").read().strip() != "up":
        assert time.monotonic() < deadline, f"the link watch never brought {name} up"
        time.sleep(0.001)
    sh(f"ip link set {name} up")  # the link watch sets that state, then the queues, under the lock this takes


def make_tun(name):
    fd = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN))
    return fd


def enter_lab(eth_up=True, nas_up=True, mtu=None, eth_kind="veth"):
    """enter(), then the two sides (the Ethernet side a tun device instead, its descriptor in eth_tun,
    where eth_kind is "tun"); returns the nas side's descriptor."""
    global eth_tun, nas_tun
    enter()
    if eth_kind == "veth":
        sh(f"ip link add {ETH} type veth peer name {PEER}")
        sh(f"ip link set {PEER} up")
    else:
        eth_tun = make_tun(ETH)
    nas = nas_tun = make_tun(NAS)
    for name, up in ((ETH, eth_up), (NAS, nas_up)):
        if mtu:
            sh(f"ip link set {name} mtu {mtu}")
        if up:
            sh(f"ip link set {name} up")
    if mtu and eth_kind == "veth":
        sh(f"ip link set {PEER} mtu {mtu}")
    if eth_up and eth_kind == "veth":
        await_link(PEER)  # the frames are sent there
    return nas

