#!/bin/sh
# SPDX-License-Identifier: ISC
# The board's side of tests/board_test.py, run by BusyBox init (::wait) once rcS
# has started quelmar through S50quelmar. Every line for the host begins
# "board: "; the host answers on the console, where `read` waits for it.
S50=/etc/init.d/S50quelmar
stty -echo

say() {
	echo "board: $*"
}

counter() {
	cat "/sys/class/net/$1/statistics/$2"
}

# /etc/default/quelmar: NAS_IF=$1, and $2 if given.
configure() {
	printf 'ETH_IF=eth0\nNAS_IF=%s\n%s\n' "$1" "${2-}" >/etc/default/quelmar
}

# Hundredths of a second of uptime.
uptime_cs() {
	read -r now _ </proc/uptime
	echo $((${now%.*} * 100 + 1${now#*.} - 100))
}

# Until no packet socket has a packet queued: quelmar has read what came.
drained() {
	while awk 'NR > 1 && $7 != 0 { queued = 1 } END { exit !queued }' /proc/net/packet; do
		sleep 0.1
	done
}

state() {
	echo "pidfile=$(cat /var/run/quelmar.pid 2>/dev/null) pidof=$(pidof quelmar)"
}

pid=$(pidof quelmar)
say "boot $(state) cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline")"

# The host says how many frames it sends, and sends them once the reader holds nas0.
say relay
read -r count
nas-tun nas0 read "$count"

# The nas-side packet is read (and dumped) before the host's frame comes.
configure nas0 VERBOSE=yes
$S50 restart >/dev/null
say trace
nas-tun nas0 write 0800 4500001400010000401100007f0000017f000002
drained
nas-tun nas0 read 1

configure nosuch0
$S50 stop >/dev/null
say messages
$S50 start
status=$?
say "messages end status=$status $(state)"

configure nas0
$S50 start >/dev/null
before=$(counter eth0 rx_packets)
say flood
while [ $(($(counter eth0 rx_packets) - before)) -lt 1000 ]; do
	sleep 0.1
done
began=$(uptime_cs)
$S50 stop
status=$?
say "stopped status=$status cs=$(($(uptime_cs) - began)) $(state)"
read -r _
say "eth0 tx_packets=$(counter eth0 tx_packets)"
poweroff -f
