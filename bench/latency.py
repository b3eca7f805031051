#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""The benchmark's latency trials: latency_gen sends frames at a paced rate, each stamped with
a sequence number and its send time; latency_sink takes the kernel's receive timestamp of each
at sink0. One host, one clock: the difference is the one-way latency through the relay."""
import contextlib
import fractions
import math
import struct
import subprocess
import tempfile
import time

from common import (DIRECT, GEN, GEN_CPU, LATENCY_GEN, LATENCY_SINK, NAS, SINK, Relay, fmt, median, note,
                    raise_priority, settle, spawn, stop, wait_relaying)

PEERS = ("daemonlogger", "netsniff-ng", "tcpbridge")  # the user-space tools quelmar's latency is held against
PACED = (1000, 10000, 100000)  # frames/s at which every contender's latency is measured
NEAR_SATURATION = 0.9  # and at this share of its own saturation rate
GENERATOR_LIMIT = 400000  # the fastest paced rate latency_gen keeps on this kind of machine


def latency_trial(contender, size, rate, seconds):
    """One paced run through the contender (or straight into nas0 for the direct path): latency
    percentiles, frames lost, and the share of a core the relay burnt carrying that load."""
    direct = contender is DIRECT
    count = max(1000, int(rate * seconds))
    with contextlib.nullcontext() if direct else Relay(contender) as relay, \
            tempfile.NamedTemporaryFile(suffix=".latency") as records:
        if not direct:
            wait_relaying(size, relay.proc)
        sink = spawn(["taskset", "-c", GEN_CPU, str(LATENCY_SINK), SINK, records.name], stdout=subprocess.PIPE,
                     raised=True)
        try:
            if sink.stdout.readline().strip() != "ready":
                raise RuntimeError("latency_sink did not start")
            run0, t0 = None if direct else relay.run_ns(), time.monotonic()
            gen = subprocess.run(["taskset", "-c", GEN_CPU, str(LATENCY_GEN), NAS if direct else GEN, str(rate),
                                  str(count), str(size)], check=True, capture_output=True, text=True,
                                 preexec_fn=raise_priority)
            run1, t1 = None if direct else relay.run_ns(), time.monotonic()
            if relay is not None and relay.proc and relay.proc.poll() is not None:
                raise RuntimeError(f"{relay.name} ended during the latency trial")
            settle(quiet=1.0)  # a ring can hold frames back for hundreds of milliseconds
        finally:
            stop(sink)
        taken, sink_drops = map(int, sink.stdout.read().split())
        samples = read_latency_records(records.read())
    if len(samples) != taken:
        raise RuntimeError(f"latency_sink took {taken} frames but wrote {len(samples)}")
    sent, achieved = gen.stdout.split()
    cpu = None if run0 is None else round(100.0 * (run1 - run0) / 1e9 / (t1 - t0), 2)
    return dict(contender=contender[0], size=size, rate=rate, achieved_fps=int(float(achieved)),
                **latency_stats(samples, int(sent)), sink_drops=sink_drops, relay_cpu_pct=cpu)


def read_latency_records(data):
    """latency_sink's records: (sequence number, latency in ns) pairs."""
    return list(struct.iter_unpack("=Iq", data))


def percentile(ordered, share):
    """Nearest-rank percentile of an ascending list: the smallest value with at least share % of
    the values at or below it."""
    # Exact: in floating point 99.9 % of 1000 is 999.0000000000001, whose ceiling is one rank too high.
    rank = math.ceil(fractions.Fraction(str(share)) / 100 * len(ordered))
    return ordered[max(0, rank - 1)]


def latency_stats(samples, sent):
    """Percentiles in µs over the first arrival of each sequence number, and what never arrived
    of the frames sent. A frame that arrives twice is counted once, and said."""
    first = {}
    for seq, ns in samples:
        first.setdefault(seq, ns)
    ordered = sorted(first.values())
    stats = dict(sent=sent, received=len(first), lost=sent - len(first), duplicates=len(samples) - len(first))
    for name, share in (("p50_us", 50), ("p99_us", 99), ("p999_us", 99.9), ("max_us", 100)):
        stats[name] = round(percentile(ordered, share) / 1000, 1) if ordered else None
    return stats


def latency_plan(table, chosen, sizes, smoke):
    """(contender, size, rate) for every latency trial: the direct path and every contender at the
    paced rates, and each contender just below its own saturation (as far as the generator goes)."""
    plan = []
    for size in sizes[:1] if smoke else sizes:
        for rate in PACED[:2] if smoke else PACED:
            plan += [(c, size, rate) for c in [DIRECT, *chosen]]
        if not smoke:
            for c in chosen:
                saturation = table.get((c[0], size), {}).get("relayed")
                if saturation:
                    plan.append((c, size, min(int(round(NEAR_SATURATION * saturation, -2)), GENERATOR_LIMIT)))
    return plan


def summarise_latency(rows):
    """One row per contender, frame size and rate over its repetitions: the median of each
    percentile, of the rate achieved and of the CPU share; the largest maximum; the sums of the
    frames sent and lost."""
    summary = {}
    for r in rows:
        summary.setdefault((r["contender"], r["size"], r["rate"]), []).append(r)
    out = []
    for (name, size, rate), runs in summary.items():
        row = dict(contender=name, size=size, rate=rate, runs=len(runs),
                   achieved_fps=int(median(runs, "achieved_fps")), sent=sum(r["sent"] for r in runs),
                   lost=sum(r["lost"] for r in runs), relay_cpu_pct=median(runs, "relay_cpu_pct"))
        for key in ("p50_us", "p99_us", "p999_us"):
            row[key] = median(runs, key)
        row["max_us"] = max((r["max_us"] for r in runs if r["max_us"] is not None), default=None)
        out.append(row)
    return out


def latency_targets(rows, table, sizes):
    """quelmar's latency and CPU targets at the paced rates below its saturation: (text, met) pairs;
    the kernel path's ratio is said (met None), not judged."""
    at = {(r["contender"], r["size"], r["rate"]): r for r in rows}
    results = []
    for size in sizes:
        saturation = table.get(("quelmar", size), {}).get("relayed") or 0
        for rate in PACED:
            q = at.get(("quelmar", size, rate))
            if not q or q["p50_us"] is None or rate >= saturation:
                continue
            peers = [at[p, size, rate] for p in PEERS if (p, size, rate) in at and at[p, size, rate]["p50_us"]]
            where = f"{size} B at {rate:,}/s"
            for key, label, bound in (("p50_us", "p50", 0.1), ("p99_us", "p99", 0.2)):
                if peers:
                    best = min(peers, key=lambda r: r[key])
                    r = q[key] / best[key]
                    results.append((f"{where}: quelmar's {label} {q[key]:g} µs is {r:.3f}× the best peer's "
                                    f"({best['contender']}, {best[key]:g} µs) (target ≤ {bound})", r <= bound))
            floor = at.get(("floor + stop pipe", size, rate))
            if floor and floor["relay_cpu_pct"]:
                r = q["relay_cpu_pct"] / floor["relay_cpu_pct"]
                results.append((f"{where}: quelmar burns {q['relay_cpu_pct']:g} % of a core, {r:.3f}× the floor's "
                                f"(floor + stop pipe, {floor['relay_cpu_pct']:g} %) (target ≤ 1.10)", r <= 1.10))
            kernel = at.get(("kernel mirred", size, rate))
            if kernel and kernel["p50_us"]:
                results.append((f"{where}: quelmar's p50 is {q['p50_us'] / kernel['p50_us']:.1f}× the kernel path's "
                                f"({kernel['p50_us']:g} µs), p99 {q['p99_us'] / kernel['p99_us']:.1f}× "
                                f"({kernel['p99_us']:g} µs)", None))
    return results


def latency_markdown(rows, sizes):
    lines = []
    for size in (size for size in sizes if any(r["size"] == size for r in rows)):
        lines += [f"{size}-byte frames:", "",
                  "| contender | frames/s | achieved | p50 µs | p99 µs | p99.9 µs | max µs | lost | relay CPU % |",
                  "|---|--:|--:|--:|--:|--:|--:|--:|--:|"]
        for r in sorted((r for r in rows if r["size"] == size), key=lambda r: (r["rate"], r["contender"])):
            lines.append(f"| {r['contender']} | {r['rate']:,} | {r['achieved_fps']:,} | {fmt(r['p50_us'], 'g')} "
                         f"| {fmt(r['p99_us'], 'g')} | {fmt(r['p999_us'], 'g')} | {fmt(r['max_us'], 'g')} "
                         f"| {r['lost']:,} | {fmt(r['relay_cpu_pct'], 'g')} |")
        lines.append("")
    return "\n".join(lines)


def latency_chart(rows, sizes, out):
    """p50 and p99 against the paced rate, one line per contender, log scales: one panel per
    percentile and frame size."""
    names = list(dict.fromkeys(r["contender"] for r in rows))
    files = {}  # (size, name) -> its points, one file each
    for size in sizes:
        for name in names:
            points = sorted((r["achieved_fps"], r["p50_us"], r["p99_us"]) for r in rows
                            if r["contender"] == name and r["size"] == size and r["p50_us"])
            if points:
                files[size, name] = out / f"latency-{size}-{len(files)}.dat"
                files[size, name].write_text("".join(f"{p[0]} {p[1]} {p[2]}\n" for p in points))
    terminals = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True, text=True)
    terminal = "pngcairo size 1200,{h} font ',10'" if "pngcairo" in terminals.stdout + terminals.stderr \
        else "png size 1200,{h}"
    sizes = [size for size in sizes if any(at == size for at, _ in files)]
    panels = []
    for size in sizes:
        for column, label in ((2, "p50"), (3, "p99")):
            plots = ", ".join(f"'{path}' using 1:{column} with linespoints title '{name}'"
                              for (at, name), path in files.items() if at == size)
            panels.append(f"set title '{label} one-way latency, {size}-byte frames'\nplot {plots}")
    script = f"""
set terminal {terminal.format(h=420 * len(sizes))}
set output '{out / "latency.png"}'
set multiplot layout {len(sizes)},2
set logscale xy
set xlabel 'paced rate, frames/s'
set ylabel 'µs'
set grid
set key outside right top font ',8'
{chr(10).join(panels)}
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    for path in files.values():
        path.unlink()


def run_latency(table, chosen, sizes, reps, seconds, smoke):
    """Every latency trial of the plan, repeated: one row each."""
    rows = []
    groups = {}  # the trials of one frame size and rate, in the plan's order
    for contender, size, rate in latency_plan(table, chosen, sizes, smoke):
        groups.setdefault((size, rate if contender is DIRECT or rate in PACED else "near"), []).append(
            (contender, size, rate))
    for rep in range(1, reps + 1):
        for group in groups.values():
            shift = (rep - 1) % len(group)  # as in the flood trials: each repetition starts with another contender
            for contender, size, rate in group[shift:] + group[:shift]:
                row = dict(rep=rep, **latency_trial(contender, size, rate, seconds))
                note(f"rep {rep} latency {size:>4} B {row['contender']:<17} {rate:>7,} /s "
                     f"(achieved {row['achieved_fps']:>7,})  p50 {fmt(row['p50_us'], '>8g')} µs  "
                     f"p99 {fmt(row['p99_us'], '>8g')} µs  p99.9 {fmt(row['p999_us'], '>8g')} µs  "
                     f"max {fmt(row['max_us'], '>8g')} µs  lost {row['lost']:>6,}  "
                     f"CPU {fmt(row['relay_cpu_pct'], 'g')} %")
                rows.append(row)
    return rows
