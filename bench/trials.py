#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""The benchmark's flood trials on this host, in a throwaway network and mount namespace:

    trafgen (CPU 0) -> gen0 =veth= eth0 -> RELAY (CPU 1) -> nas0 =veth= sink0

each contender's rates and CPU at saturation, and its system calls per frame under strace."""
import re
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from common import GEN, GEN_CPU, Relay, counters, fmt, frame, note, settle, spawn, stop, wait_relaying


def trafgen_config(size, directory):
    path = Path(directory) / f"frame{size}.cfg"
    path.write_text("{ " + ", ".join(f"0x{b:02x}" for b in frame(size)) + " }\n")
    return path


def generator(config):
    return spawn(["taskset", "-c", GEN_CPU, "trafgen", "-o", GEN, "-i", str(config), "-P", "1", "-Q", "-C"], raised=True)


def trial(contender, size, config, duration, warmup):
    """Rates over a window of `duration` after `warmup`; loss over everything the generator sent,
    counted once the relay has drained, so that frames a ring holds at a window's edge do not count."""
    with Relay(contender) as relay:
        wait_relaying(size, relay.proc)
        start = counters()
        gen = generator(config)
        try:
            time.sleep(warmup)
            t0, (offered0, relayed0), cpu0 = time.monotonic(), counters(), relay.cpu()
            time.sleep(duration)
            t1, (offered1, relayed1), cpu1 = time.monotonic(), counters(), relay.cpu()
            # An init system stops quelmar while it is overloaded: how long until it has ended.
            stop_ms = round(1000 * relay.terminate(), 1) if contender[0] == "quelmar" else None
        finally:
            stop(gen)
        settle()
        end = counters()
        if relay.proc and relay.proc.poll() is not None and stop_ms is None:
            raise RuntimeError(f"{relay.name} ended during the trial")
        if stop_ms is not None and relay.proc.returncode != 0:
            raise RuntimeError(f"quelmar ended with status {relay.proc.returncode} on SIGTERM")
    seconds, relayed = t1 - t0, relayed1 - relayed0
    sent, arrived = end[0] - start[0], end[1] - start[1]
    cpu = None if cpu0 is None else cpu1 - cpu0
    return dict(contender=contender[0], frames_out=contender[1], size=size, seconds=round(seconds, 3),
                offered_fps=round((offered1 - offered0) / seconds), relayed_fps=round(relayed / seconds),
                sent=sent, arrived=arrived, loss_pct=round(100.0 * (sent - arrived) / sent, 2) if sent else None,
                relay_cpu_pct=None if cpu is None else round(100.0 * cpu / seconds, 1),
                cpu_s_per_mframe=round(cpu / relayed * 1e6, 3) if cpu is not None and relayed else None,
                sigterm_stop_ms=stop_ms)


def syscall_run(contender, size, config, seconds):
    """Floods the relay under strace -c -f (attached after start-up) and counts calls per relayed frame."""
    with Relay(contender) as relay, tempfile.NamedTemporaryFile("r", suffix=".strace") as summary:
        wait_relaying(size, relay.proc)
        tracer = spawn(["strace", "-c", "-f", "-o", summary.name, "-p", str(relay.proc.pid)],
                       stderr=subprocess.PIPE)
        try:
            line = tracer.stderr.readline()
            if "attached" not in line:
                raise RuntimeError(f"strace did not attach: {line.strip()}")
            time.sleep(0.2)  # let strace reach every thread before the frames come
            offered0, relayed0 = counters()
            gen = generator(config)
            # The flood's time counts from its first frame: on a loaded machine trafgen can take longer
            # to start than the whole flood lasts, and the relay would be traced idle.
            deadline = time.monotonic() + 10
            while counters()[0] == offered0 and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(seconds)
            stop(gen)
            settle(quiet=0.2)
            _, relayed1 = counters()
        finally:
            tracer.send_signal(signal.SIGINT)  # strace writes its summary and detaches
            tracer.communicate(timeout=30)
        calls = parse_strace(summary.read())
    relayed = relayed1 - relayed0
    total = sum(calls.values())
    return dict(contender=contender[0], size=size, relayed=relayed, syscalls=total,
                per_frame=round(total / relayed, 4) if relayed else None,
                calls=" ".join(f"{name}:{count}" for name, count in sorted(calls.items(), key=lambda c: -c[1])))


def parse_strace(text):
    """strace -c's table: name -> calls (the errors column, when present, does not change the calls column)."""
    calls = {}
    for line in text.splitlines():
        fields = line.split()
        if len(fields) >= 5 and re.fullmatch(r"[\d.]+", fields[0]) and fields[-1] != "total":
            calls[fields[-1]] = int(fields[3])
    return calls


def run_trials(chosen, sizes, reps, duration, warmup, strace_seconds):
    """Every contender's flood trials and strace run: (trials, syscalls), one row each."""
    trials, syscalls = [], []
    with tempfile.TemporaryDirectory() as scratch:
        configs = {size: trafgen_config(size, scratch) for size in sizes}
        # Repetitions outermost, and each starting with another contender: noise from the shared
        # machine, and any drift along a repetition, spread over every contender alike.
        for rep in range(1, reps + 1):
            shift = (rep - 1) % len(chosen)
            for size in sizes:
                for contender in chosen[shift:] + chosen[:shift]:
                    row = dict(rep=rep, **trial(contender, size, configs[size], duration, warmup))
                    note(f"rep {rep} {size:>4} B {row['contender']:<14} offered {row['offered_fps']:>9,} /s  "
                         f"relayed {row['relayed_fps']:>9,} /s  loss {fmt(row['loss_pct'], '5.1f')} %  "
                         f"CPU {fmt(row['cpu_s_per_mframe'], '.3f')} s/Mframe "
                         f"(busy {fmt(row['relay_cpu_pct'], '.0f')} %)")
                    trials.append(row)
        for size in sizes:
            for contender in chosen:
                if contender[2] is None:
                    continue  # the kernel path makes no system calls of its own
                row = syscall_run(contender, size, configs[size], strace_seconds)
                note(f"syscalls {size:>4} B {row['contender']:<14} {fmt(row['per_frame'], '.3f')} per frame "
                     f"({row['syscalls']} over {row['relayed']} frames: {row['calls']})")
                syscalls.append(row)
    return trials, syscalls
