#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""The benchmark's reporting: medians, tables, targets, charts and files."""
import csv
import os
import platform
import statistics
import subprocess

from common import STRIPPED, fmt, median


def summarise(trials, syscalls, names, sizes):
    table = {}
    for name in names:
        for size in sizes:
            rows = [t for t in trials if t["contender"] == name and t["size"] == size]
            if not rows:
                continue
            sc = next((s["per_frame"] for s in syscalls if s["contender"] == name and s["size"] == size), None)
            table[name, size] = dict(frames_out=rows[0]["frames_out"], offered=median(rows, "offered_fps"),
                                     relayed=median(rows, "relayed_fps"), loss=median(rows, "loss_pct"),
                                     busy=median(rows, "relay_cpu_pct"),
                                     cpu=median(rows, "cpu_s_per_mframe"), syscalls=sc, reps=len(rows))
    return table


def ratio(a, b):
    return None if a is None or not b else a / b


def markdown(table, names, sizes):
    lines = ["| contender | nas side gets | frame bytes | offered frames/s | relayed frames/s | loss % "
             "| relay CPU busy % | CPU s per Mframe | syscalls per frame | frames/s vs quelmar "
             "| CPU per frame vs quelmar |",
             "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|"]
    for size in sizes:
        base = table.get(("quelmar", size), {})
        for name in names:
            row = table.get((name, size))
            if row is None:
                continue
            lines.append(f"| {name} | {row['frames_out']} | {size} | {fmt(row['offered'], ',.0f')} "
                         f"| {fmt(row['relayed'], ',.0f')} | {fmt(row['loss'], '.1f')} | {fmt(row['busy'], '.0f')} "
                         f"| {fmt(row['cpu'], '.3f')} "
                         f"| {fmt(row['syscalls'], '.2f')} | {fmt(ratio(row['relayed'], base.get('relayed')), '.2f')}× "
                         f"| {fmt(ratio(row['cpu'], base.get('cpu')), '.2f')}× |".replace("–×", "–"))
    return "\n".join(lines)


def targets(table, sizes):
    """quelmar's targets against the floor, which depend on the machine's speed: (text, met) pairs."""
    results = []
    for size in sizes:
        q, f = table.get(("quelmar", size)), table.get(("floor", size))
        if q and f:
            r = ratio(q["relayed"], f["relayed"])
            results.append((f"{size} B: quelmar relays {fmt(r, '.3f')}× the floor's frames/s (target ≥ 0.97)",
                            r is not None and r >= 0.97))
            c = ratio(q["cpu"], f["cpu"])
            results.append((f"{size} B: quelmar uses {fmt(c, '.3f')}× the floor's CPU per frame (target ≤ 1.03)",
                            c is not None and c <= 1.03))
    return results


def call_targets(table, sizes):
    """quelmar's system calls per relayed frame, which do not depend on the machine: (text, met) pairs."""
    results = []
    for size in sizes:
        q, v = table.get(("quelmar", size)), table.get(("quelmar -v", size))
        if q and q["syscalls"] is not None:
            results.append((f"{size} B: quelmar makes {q['syscalls']:.2f} system calls per frame (target 3.00)",
                            round(q["syscalls"], 2) == 3.00))
        if q and v and v["syscalls"] is not None and q["syscalls"] is not None:
            extra = v["syscalls"] - q["syscalls"]
            results.append((f"{size} B: -v adds {extra:.2f} system calls per frame (target ≤ 6)", extra <= 6.005))
    return results


def judged(calls, speed, smoke, check):
    """The targets as reported, and whether they fail the run: a smoke run (a second on a shared machine)
    says the ones that depend on its speed without judging them, and fails on a missed system-call
    target; --check fails on any missed target."""
    if smoke:
        speed = [(text, None) for text, _ in speed]
    results = calls + speed
    return results, any(met is False for _, met in (results if check else calls if smoke else []))


def stop_target(trials):
    stops = [t["sigterm_stop_ms"] for t in trials if t.get("sigterm_stop_ms") is not None]
    if not stops:
        return []
    return [(f"quelmar ends {max(stops):g} ms after SIGTERM at the slowest, while flooded beyond its saturation "
             f"({len(stops)} stop(s), median {statistics.median(stops):g} ms) (target ≤ 1000)", max(stops) <= 1000)]


def chart(table, names, sizes, out):
    """Clustered bars of relayed frames/s per contender and frame size, through gnuplot."""
    data = out / "relayed.dat"
    with open(data, "w") as f:
        f.write("contender " + " ".join(f'"{s} B"' for s in sizes) + "\n")
        for name in names:
            values = [table.get((name, s), {}).get("relayed") for s in sizes]
            out_side = "stripped" if table.get((name, sizes[0]), {}).get("frames_out") == STRIPPED else "whole"
            f.write(f'"{name}\\n({out_side})" ' + " ".join(f"{(v or 0) / 1e6:.4f}" for v in values) + "\n")
    terminals = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True, text=True)
    terminal = "pngcairo size 1040,560 font ',11'" if "pngcairo" in terminals.stdout + terminals.stderr \
        else "png size 1040,560"
    script = f"""
set terminal {terminal}
set output '{out / "relayed.png"}'
set title "Relayed frames per second, median of trials\\n(generator on one core, relay on the other; the nas side gets each frame stripped of its header, or whole)"
set ylabel 'million frames/s'
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set grid ytics
set yrange [0:*]
set key top left autotitle columnheader
set xtics scale 0
set bmargin 4
set xrange [-0.6:{len(names) - 0.4}]
plot for [i=2:{len(sizes) + 1}] '{data}' using i:xtic(1)
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    data.unlink()


def per_call(row):
    """'recvfrom:30 sendto:30 restart_syscall:1' over 30 frames ->
    'recvfrom 1.00, sendto 1.00, restart_syscall (1 in all)'."""
    if not row["relayed"]:
        return "–"
    def one(name, count):
        share = count / row["relayed"]
        return f"{name} {share:.2f}" if share >= 0.01 else f"{name} {share:.4f}" if share >= 0.0001 \
            else f"{name} ({count} in all)"
    return ", ".join(one(name, int(count)) for name, count in (item.rsplit(":", 1) for item in row["calls"].split()))


def write_csv(path, rows):
    if rows:
        with open(path, "w", newline="") as f:
            writer = csv.DictWriter(f, fieldnames=list(rows[0]))
            writer.writeheader()
            writer.writerows(rows)


def machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
                 platform.machine())
    return f"{model}, {os.cpu_count()} cores, Linux {platform.release()}"
