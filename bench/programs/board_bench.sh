#!/bin/sh
# SPDX-License-Identifier: ISC
# The board's side of bench/run --board, run by BusyBox init (::wait): runs
# each line the host writes on the console and then says "board: done STATUS".
# The host's lines start and stop the contenders and read the counters.
stty -echo
echo "board: ready"
while read -r line; do
	eval "$line"
	echo "board: done $?"
done
