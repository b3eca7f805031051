#!/bin/sh
# SPDX-License-Identifier: ISC
# The board's side of tests/board.py, run by BusyBox init (::wait) once rcS
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

# /etc/default/quelmar: NAS_IF=$1, and the line $2 if given (ETH_IF=... there
# names another Ethernet side: the last assignment holds).
configure() {
	printf 'ETH_IF=eth0\nNAS_IF=%s\n%s\n' "$1" "${2-}" >/etc/default/quelmar
}

# Hundredths of a second of uptime.
uptime_cs() {
	read -r now _ </proc/uptime
	echo $((${now%.*} * 100 + 1${now#*.} - 100))
}

# IPv4's received packets and not-ECT segments (a GRO packet counts once in
# the first, once for each of its segments in the second).
ip_counts() {
	awk '$1 == "Ip:" && $4 ~ /^[0-9]/ { packets = $4 }
		$1 == "IpExt:" && !column { for (i = 2; i <= NF; i++) if ($i == "InNoECTPkts") column = i; next }
		$1 == "IpExt:" { segments = $column }
		END { print packets, segments }' /proc/net/snmp /proc/net/netstat
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

# The nice value of process $1 (its stat's field 19: no name here has a space).
nice_of() {
	cut -d" " -f19 "/proc/$1/stat"
}

# Whether eth0 takes frames in in a thread, and that thread's nice value.
napi() {
	for comm in /proc/[0-9]*/comm; do
		case $(cat "$comm") in napi/eth0-*) thread=${comm%/comm} ;; esac
	done
	echo "threaded=$(cat /sys/class/net/eth0/threaded) napi=$(nice_of "${thread#/proc/}")"
}

# quelmar relaying on the Ethernet side $1. The host says how many frames it
# sends (and "crc" if the reader is to print each packet's length and CRC,
# not its bytes), sends them once the reader holds nas0, and answers once the
# last has come out (a TCP flow lost before it would leave the reader waiting
# for ever).
relay() {
	say "relay $1"
	read -r count crc
	taken=$(counter eth0 rx_packets)
	sent=$(counter nas0 tx_packets)
	nas-tun nas0 read "$count" ${crc:+"$crc"} &
	reader=$!
	read -r _
	kill "$reader" 2>/dev/null
	wait "$reader"
	say "relayed eth0 rx_packets=$(($(counter eth0 rx_packets) - taken))" \
		"nas0 tx_packets=$(($(counter nas0 tx_packets) - sent))"
}

# quelmar started through S50quelmar on the Ethernet side $1, with the
# setting $2 if given.
start_on() {
	configure nas0 "ETH_IF=$1
${2-}"
	$S50 start >/dev/null
}

# quelmar stopped through S50quelmar: eth0's GRO, turned off beneath the
# side, must be on again.
stop_gro() {
	$S50 stop >/dev/null
	say "stopped gro=$(nas-tun eth0 gro) $(napi)"
}

pid=$(pidof quelmar)
say "boot $(state) nice=$(nice_of "$pid") cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline")"
relay eth0

# The nas-side packet is read (and dumped) before the host's frame comes.
configure nas0 VERBOSE=yes
$S50 restart >/dev/null
say trace
nas-tun nas0 write 0800 4500001400010000401100007f0000017f000002
drained
nas-tun nas0 read 1

# A bridge and a VLAN over eth0, and eth0 promiscuous and taking every
# multicast, as a bridge makes its ports: qemu's e1000 takes in nothing for
# 1 s after each write of its receive control register, which the VLAN's
# start and each change of those two flags make. Made here, before the
# messages case, which needs no frames, most of that second passes there;
# eth0 joining and leaving the bridge then changes the flags no more.
ifconfig eth0 promisc allmulti
ip link add br0 type bridge
ip link set br0 up
ip link add link eth0 name eth0.10 type vlan id 10
ip link set eth0.10 up

configure nosuch0
$S50 stop >/dev/null
say messages
$S50 start
status=$?
say "messages end status=$status $(state)"

# GRO merges on eth0, beneath the VLAN or the bridge. quelmar on the VLAN;
# then on the bridge, which eth0 joins once quelmar relays (a radio joining
# br-lan), the host's frames waiting until quelmar has turned eth0's GRO off
# and the port forwards (it starts blocking, even with no forward delay);
# then on the bridge with eth0 in it from the start. The wait for GRO ends
# after 10 s: GRO still on then is for the host to report. On the VLAN,
# quelmar at nice -10 and the NIC beneath taking frames in in a thread at 19.
start_on eth0.10 "NICE=-10
NAPI_NICE=19"
say "napi $(napi) quelmar=$(nice_of "$(pidof quelmar)")"
relay eth0.10
stop_gro
start_on br0
began=$(uptime_cs)
ip link set eth0 master br0
until [ "$(nas-tun eth0 gro)" = off ] || [ $(($(uptime_cs) - began)) -ge 1000 ]; do :; done
say "joined gro=$(nas-tun eth0 gro) cs=$(($(uptime_cs) - began))"
until [ "$(cat /sys/class/net/eth0/brport/state)" = 3 ]; do
	sleep 0.1
done
relay br0
stop_gro
start_on br0
relay br0
stop_gro
ip link set eth0 nomaster

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

# The host sends the flow again, with quelmar stopped: IPv4 counts the
# packets it is handed and, in its not-ECT count, the segments in them. Once
# every segment is in, fewer packets than segments: GRO merged them, back on.
read -r count
# shellcheck disable=SC2046 # the two counts
set -- $(ip_counts)
say "flow again"
until [ $(($(ip_counts | cut -d" " -f2) - $2)) -ge "$count" ]; do
	sleep 0.1
done
say "after stop: $count segments came as $(($(ip_counts | cut -d" " -f1) - $1)) packets"
poweroff -f
