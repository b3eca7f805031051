#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Checks of the benchmark's own arithmetic: what it reads from strace, the medians it
reports, where its targets are met, its latency percentiles and loss count, and the board's
ratios to the floor, and of its own TCP to quelmar stopped, repetition by repetition. Runs no
relay and needs no privilege."""
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import board_trials  # noqa: E402
import common  # noqa: E402
import latency  # noqa: E402
import report  # noqa: E402
import trials  # noqa: E402

# strace -c -f as strace 6.1 writes it; rows with and without an errors column.
STRACE = """\
% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
 45.10    0.512345           3    150000           pselect6
 30.00    0.340000           2    150000           recvfrom
 24.90    0.282000           1    149990        10 sendto
  0.00    0.000000           0         1         1 restart_syscall
------ ----------- ----------- --------- --------- ----------------
100.00    1.134345           2    449991        11 total
"""


def check_strace():
    calls = trials.parse_strace(STRACE)
    assert calls == {"pselect6": 150000, "recvfrom": 150000, "sendto": 149990, "restart_syscall": 1}, calls
    row = dict(relayed=150000, calls="pselect6:150000 recvfrom:150000 sendto:149990 restart_syscall:1")
    assert report.per_call(row) == "pselect6 1.00, recvfrom 1.00, sendto 1.00, restart_syscall (1 in all)", \
        report.per_call(row)
    assert report.per_call(dict(relayed=1000000, calls="poll:5000 sendto:800")) == "poll 0.0050, sendto 0.0008"


def trial_rows(name, rows):
    return [dict(contender=name, frames_out=common.STRIPPED, size=64, offered_fps=o, relayed_fps=r, loss_pct=l,
                 relay_cpu_pct=100.0, cpu_s_per_mframe=c) for o, r, l, c in rows]


def check_medians():
    # Each metric its own median; the kernel path's missing CPU stays missing.
    rows = trial_rows("quelmar", [(900, 500, 40.0, 2.0), (1000, 400, 60.0, 2.4), (1100, 450, 50.0, 1.9)])
    rows += [dict(r, contender="kernel mirred", cpu_s_per_mframe=None) for r in rows]
    syscalls = [dict(contender="quelmar", size=64, per_frame=3.0)]
    table = report.summarise(rows, syscalls, ["quelmar", "kernel mirred"], [64])
    q, k = table["quelmar", 64], table["kernel mirred", 64]
    assert (q["offered"], q["relayed"], q["loss"], q["cpu"], q["syscalls"]) == (1000, 450, 50.0, 2.0, 3.0), q
    assert k["cpu"] is None and k["syscalls"] is None, k


def verdicts(relayed, cpu, syscalls, verbose_syscalls):
    row = dict(frames_out=common.STRIPPED, offered=1, loss=0, busy=100, reps=1)
    table = {("floor", 64): dict(row, relayed=1000.0, cpu=2.0, syscalls=3.0),
             ("quelmar", 64): dict(row, relayed=relayed, cpu=cpu, syscalls=syscalls),
             ("quelmar -v", 64): dict(row, relayed=1.0, cpu=9.0, syscalls=verbose_syscalls)}
    return [met for _, met in report.targets(table, [64]) + report.call_targets(table, [64])]


def check_targets():
    # Order: frames/s, CPU per frame, system calls, -v's extra calls. Each bound on both sides.
    assert verdicts(970.0, 2.06, 3.004, 9.004) == [True] * 4
    assert verdicts(969.0, 2.07, 3.006, 9.02) == [False] * 4
    assert verdicts(1200.0, 1.5, 2.994, 3.0) == [True, True, False, True]  # 2.99 calls is not 3.00
    # A smoke run says the speed's targets and fails on a missed call target alone; --check on any.
    calls, speed = [("calls", True), ("-v", False)], [("frames/s", False)]
    assert report.judged(calls, speed, smoke=True, check=False) == (calls + [("frames/s", None)], True)
    assert report.judged(calls[:1], speed, smoke=True, check=False) == (calls[:1] + [("frames/s", None)], False)
    assert report.judged(calls[:1], speed, smoke=False, check=False) == (calls[:1] + speed, False)
    assert report.judged(calls[:1], speed, smoke=False, check=True)[1]


def check_latency_stats():
    # Nearest rank: the smallest value with at least that share at or below it.
    ordered = list(range(1, 1001))
    assert [latency.percentile(ordered, p) for p in (50, 99, 99.9, 100)] == [500, 990, 999, 1000]
    assert [latency.percentile([7], p) for p in (50, 99.9)] == [7, 7]
    assert latency.percentile([1, 2], 50) == 1 and latency.percentile([1, 2], 50.1) == 2
    # Out of order and once twice (its first arrival counts); 2 and 5 never came; 10 sent.
    records = struct.pack("=" + "Iq" * 9, 3, 3000, 0, 1000, 1, 9000, 1, 500, 4, 4000, 6, 6000, 7, 7000, 8, 8000, 9, 2000)
    stats = latency.latency_stats(latency.read_latency_records(records), 10)
    assert stats == dict(sent=10, received=8, lost=2, duplicates=1, p50_us=4.0, p99_us=9.0, p999_us=9.0,
                         max_us=9.0), stats
    nothing = latency.latency_stats([], 5)
    assert (nothing["lost"], nothing["p50_us"]) == (5, None), nothing


def check_board_pairs():
    # Against the floor, each repetition's own ratio: a slow repetition (the host busy) slows both.
    rows = [dict(build="b", size=64, rate=9, rep=rep, contender=name, relayed_fps=fps, relay_us_per_frame=us)
            for rep, name, fps, us in ((1, "quelmar", 500, 90), (1, "floor", 1000, 60), (2, "quelmar", 2400, 20),
                                       (2, "floor", 2000, 30), (3, "quelmar", 1800, 50), (3, "floor", 3000, 20))]
    for r in rows:
        r.update(offered_fps=1, taken_fps=1, loss_pct=0, board_busy_pct=1, vm_rss_kb=None, vm_size_kb=None)
    q = board_trials.summarise(rows)["b", 64, 9, "quelmar"]
    # Not the ratio of the medians (1800 / 2000, 50 / 30).
    assert (q["relayed_fps"], q["vs_floor"], q["cpu_vs_floor"]) == (1800, (0.6, 0.5, 1.2), (1.5, 20 / 30, 2.5)), q
    # The board's own TCP against quelmar stopped, in the same way; another side's stopped run is not its own.
    cost = [dict(build="b", side=side, direction="d", paced_mbps=None, rep=rep, state=state, mbps=mbps,
                 board_busy_pct=100, board_ms_per_mb=1000 / mbps, relay_cpu_pct=None, relayed_pct=None)
            for side, rep, state, mbps in (("eth0", 1, "quelmar stopped", 10), ("eth0", 1, "quelmar running", 5),
                                           ("eth0", 2, "quelmar stopped", 40), ("eth0", 2, "quelmar running", 10),
                                           ("br0", 1, "quelmar stopped", 1))]
    c = board_trials.summarise_cost(cost)["b", "eth0", "d", None, "quelmar running"]
    assert (c["mbps"], c["mbps_vs_stopped"], c["cpu_vs_stopped"]) == (7.5, (0.375, 0.25, 0.5), (3.0, 2.0, 4.0)), c


for check in (check_strace, check_medians, check_targets, check_latency_stats, check_board_pairs):
    check()
print("5 passed, 0 failed")
sys.exit(0)
