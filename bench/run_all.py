"""Runs the three benchmarks and writes docs/benchmarks.md with its plots.

Run: make bench   (or .venv/bin/python bench/run_all.py [--quick])
"""

from __future__ import annotations

import argparse
import datetime
import sys
from pathlib import Path

import benchlib
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

# isort: split
import bench_boundary  # noqa: E402
import bench_centrality  # noqa: E402
import bench_collisions  # noqa: E402
import bench_connected  # noqa: E402
import bench_disturb  # noqa: E402
import bench_line_graph  # noqa: E402
import bench_load  # noqa: E402
import bench_phases  # noqa: E402
import bench_scale  # noqa: E402

DOCS = benchlib.ROOT / "docs"


def size_plot(rows, size_key, series, title, path: Path) -> None:
    """Time against input size on log-log axes, one line per contender."""
    rows = sorted((r for r in rows if r.get(size_key)), key=lambda r: r[size_key])
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for key, label, style in series:
        points = [(r[size_key], r[key]) for r in rows if r.get(key)]
        if points:
            ax.loglog(*zip(*points, strict=True), style, label=label)
    ax.set_xlabel(size_key)
    ax.set_ylabel("seconds (median)")
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def split_plot(parts: dict, path: Path) -> None:
    """Stacked bars: share of a call spent converting arguments, in the kernel, converting
    the result."""
    labels = list(parts)
    fig, ax = plt.subplots(figsize=(8, 4.5))
    bottom = [0.0] * len(labels)
    for index, (name, color) in enumerate(
        (("arguments", "#8da0cb"), ("kernel", "#66c2a5"), ("result", "#fc8d62"))
    ):
        values = [parts[label][index] for label in labels]
        ax.barh(labels, values, left=bottom, color=color, label=name)
        bottom = [b + v for b, v in zip(bottom, values, strict=True)]
    ax.set_xlabel("% of the call (median)")
    ax.set_xlim(0, 100)
    ax.legend(loc="lower right", fontsize=8)
    ax.set_title("Where a call's time goes")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def call_split(line_rows, centrality_rows, connected_rows) -> dict:
    parts = {}
    for r in line_rows:
        if r.get("arg_share") is not None and not r["dataset"].startswith("synthetic"):
            kernel = 100 - r["arg_share"] - r["result_share"]
            parts[f"line graph {r['dataset']} s={r['s']}"] = (
                r["arg_share"],
                kernel,
                r["result_share"],
            )
    for r in centrality_rows:
        if r.get("arg_share") is not None and not r["dataset"].startswith("synthetic"):
            parts[f"centrality {r['dataset']}"] = (
                r["arg_share"],
                r["kernel_share"],
                r["result_share"],
            )
    for r in connected_rows:
        if r.get("arg_share") is not None and not r["dataset"].startswith("synthetic"):
            parts[f"connected {r['dataset']}"] = (r["arg_share"], 100 - r["arg_share"], 0.0)
    return parts


GOAL_COLUMNS = [
    ("dataset", "dataset", ""),
    ("connected_ratio", "is_connected / walk", ".2f"),
    ("centrality_ratio", "centrality max_iter=0 / walk", ".2f"),
    ("line_graph_ratio", "line graph, no pair / walk", ".2f"),
    ("connected_e2e", "connectivity SciPy/ours", ".1f"),
    ("centrality_e2e", "centralities SciPy/ours", ".1f"),
    ("centrality_iter", "centrality iteration SciPy/ours", ".1f"),
    ("centrality_ns", "centrality ns/inc/round 1 core", ".2f"),
    ("centrality_speedup", "centrality 2t/1t", ".2f"),
    ("line_graph_e2e", "line graph SciPy/ours (worst s)", ".1f"),
]


def goal_rows(boundary_rows, line_rows, centrality_rows, connected_rows) -> list[dict]:
    """One row per dataset: the boundary ratios and the end-to-end ratios against SciPy."""
    rows = []
    for row in boundary_rows:
        name = row["dataset"]
        line = [r["e2e_ratio"] for r in line_rows if r["dataset"] == name]
        centrality = [r for r in centrality_rows if r["dataset"] == name]
        connected = [r["e2e_ratio"] for r in connected_rows if r["dataset"] == name]
        rows.append(
            {
                **{k: row[k] for k in ("dataset", "connected_ratio", "centrality_ratio")},
                "line_graph_ratio": row["line_graph_ratio"],
                "connected_e2e": connected[0] if connected else None,
                "centrality_e2e": centrality[0]["e2e_ratio"] if centrality else None,
                "centrality_iter": centrality[0]["iter_ratio"] if centrality else None,
                "centrality_ns": centrality[0]["ns_1t"] if centrality else None,
                "centrality_speedup": centrality[0].get("speedup") if centrality else None,
                "line_graph_e2e": min(line) if line else None,
            }
        )
    return rows


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args(argv)
    common = ["--repeats", str(args.repeats)] + (["--quick"] if args.quick else [])
    DOCS.mkdir(exist_ok=True)
    line_rows = bench_line_graph.main(common)
    centrality_rows, centrality_scaling, centrality_variants = bench_centrality.main(common)
    connected_rows, memory = bench_connected.main(common)
    boundary_rows, pair_memory = bench_boundary.main(common)
    load_rows, pool_rows = bench_load.main(common)
    phase_rows, amdahl_rows = bench_phases.main(common)
    collision_rows = bench_collisions.main(common)
    goals = goal_rows(boundary_rows, line_rows, centrality_rows, connected_rows)
    print(benchlib.table(goals, GOAL_COLUMNS))

    size_plot(
        line_rows,
        "incidences",
        [
            ("ours", "ours, end to end (2 threads)", "o-"),
            ("kernel_2t", "kernel, 2 threads", "s-"),
            ("kernel_1t", "kernel, 1 thread", "s--"),
            ("scipy", "SciPy recipe, end to end", "^-"),
            ("scipy_compute", "SciPy compute step", "^--"),
            ("pairwise", "pairwise method, 2 threads", "x:"),
        ],
        "s-line graph (s = 1 and 2; congress-bills s = 3)",
        DOCS / "line_graph.png",
    )
    size_plot(
        centrality_rows,
        "incidences",
        [
            ("ours", "ours, end to end", "o-"),
            ("kernel", "kernel, 2 threads", "s-"),
            ("kernel_1t", "kernel, 1 core", "s--"),
            ("scipy", "SciPy recipe, end to end", "^-"),
            ("scipy_compute", "SciPy iteration alone", "^--"),
        ],
        "Centralities (max_iter=100, tol=1e-6)",
        DOCS / "centrality.png",
    )
    size_plot(
        connected_rows,
        "incidences",
        [
            ("ours", "ours, end to end", "o-"),
            ("kernel", "kernel, 2 threads", "s-"),
            ("kernel_1t", "kernel, 1 core", "s--"),
            ("scipy", "SciPy connected_components, end to end", "^-"),
            ("scipy_compute", "SciPy component search alone", "^--"),
            ("networkx", "NetworkX", "x:"),
        ],
        "Connectivity",
        DOCS / "connected.png",
    )
    split_plot(call_split(line_rows, centrality_rows, connected_rows), DOCS / "call_split.png")

    today = datetime.date.today().isoformat()
    memory_line = (
        f"Peak resident memory of the connectivity kernel timer on {memory['dataset']}: "
        f"{memory['input']:.0f} MiB resident holding the input maps; a kernel call raised the "
        f"peak by {memory['kernel']:.0f} MiB.\n"
        if memory
        else ""
    )
    text = f"""# Benchmarks

Generated by `make bench` (`.venv/bin/python bench/run_all.py`) on {today}.
Machine: {benchlib.machine()}. Medians of {args.repeats} runs after a warm-up, contenders
interleaved in one process; every result was checked equal to the baseline's first.
"kernel" columns come from the stand-alone C++ timers in `bench/*_kernel.cpp` (no Python).
Ratios are baseline / ours: above 1 means we are faster.

## s-line graph

Repeated hyperedges removed first (with repeats the line graphs have hundreds of millions of
pairs). `args %` and `result %` are the shares of our call spent converting the hyperedge list
and the result list. Where the pairwise method would take minutes, it ran on every k-th
first position and its time is scaled by k.

```
{benchlib.table(line_rows, bench_line_graph.COLUMNS)}
```

![line graph](line_graph.png)

## Centralities

All incidences, repeats included. `iters` is the number of rounds both sides ran; `ns/inc/it`
is the kernel's cost per incidence per round (2 threads, and pinned to one core).

```
{benchlib.table(centrality_rows, bench_centrality.COLUMNS)}
```

`SciPy iter/ours iter` sets SciPy's rounds on prebuilt matrices against our call less the same
call with `max_iter=0`. On about 1e7 incidences (kernel timer only, 100 rounds):

```
{benchlib.table(centrality_scaling, bench_centrality.SCALING_COLUMNS)}
```

Each instruction-set build of the update alone, one core, 100 rounds (kernel timer,
`centrality_kernel DATA NAME REPEATS 100 1e-6 VARIANT`; the call picks the widest the processor
has; every build gives the same bits):

```
{benchlib.table(centrality_variants, bench_centrality.VARIANT_COLUMNS)}
```

![centrality](centrality.png)

## Connectivity

All incidences, repeats included; `synthetic-huge-edges` adds three hyperedges of 5% of the
nodes each. NetworkX runs where one call takes under
{bench_connected.NETWORKX_LIMIT_SECONDS // 5} s.

```
{benchlib.table(connected_rows, bench_connected.COLUMNS)}
```

{memory_line}
![connectivity](connected.png)

## The Python boundary

Each function called with no kernel work (`is_connected`, which stops at once on these
inputs or walks them in a few milliseconds; `compute_centralities(..., max_iter=0)`, which also
builds the two result dicts; `compute_line_graph_edges` with an `s` no hyperedge reaches)
against the walk floor: one pass of plain C-API code (`bench/walk_floor.cpp`) over the same
Python containers that reads every id once and builds nothing. Repeated hyperedges removed for
{", ".join(bench_boundary.DEDUPLICATED)}; all incidences elsewhere.

```
{benchlib.table(boundary_rows, bench_boundary.COLUMNS)}
```

Peak growth of resident memory per returned pair of a line graph, each call in a fresh process
(repeated hyperedges removed):

```
{benchlib.table(pair_memory, bench_boundary.MEMORY_COLUMNS)}
```

Summary per dataset: the boundary ratios above (lower is better) and the end-to-end ratios
against the SciPy recipes from the sections before (higher is better; for the line graph the
worst of its s levels).

```
{benchlib.table(goals, GOAL_COLUMNS)}
```

## Under load

Each call in a process of its own with the module's team and with `OMP_THREAD_LIMIT=1` (one
thread), the two alternating, on an idle machine and while another process runs a busy loop;
each process reports the median of {args.repeats} calls after a warm-up, the table the median
over the rounds. `team/1 thread` above 1 means the team is slower.

```
{benchlib.table(load_rows, bench_load.COLUMNS)}
```

Two spawned worker processes, each mapping centrality calls (100 rounds) on its own team or on
one thread: wall time of the map, median of {args.repeats}, four rounds each.

```
{benchlib.table(pool_rows, bench_load.POOL_COLUMNS)}
```

## Phases on one thread and on the team

Each call's phases, timed by the bench's phased build of the module (marks at the end of
each phase, `cpp_functions/runtime/phase_marks.hpp`), in processes of their own with
`OMP_THREAD_LIMIT=1` and with the team, alternating; medians (`bench/bench_phases.py`).
"other" is the rest of the call: argument matching, scalars, freeing the native containers.

```
{benchlib.table(phase_rows, bench_phases.PHASE_COLUMNS)}
```

Whole calls, with the serial share s = (n Tn / T1 - 1) / (n - 1) that Amdahl's law gives for
the module's team of n threads here ({bench_phases.team_threads()}), and the speed-ups it
implies for more cores, 1 / (s + (1 - s) / p). **The columns marked * are projections, not
measurements.**

```
{benchlib.table(amdahl_rows, bench_phases.AMDAHL_COLUMNS)}
```

## Inputs built to be slow

Crafted inputs against spread ones of the same size (see `bench/bench_collisions.py`): dict
keys and member ids sharing buckets of the native map the conversion mirrors, a set subclass of
such members, and two-member sets whose hashes under a fixed sum would share their low bits.
`crafted/spread` near 1 means no input costs more than another of its size.

```
{benchlib.table(collision_rows, bench_collisions.COLUMNS)}
```

## Where a call's time goes

![call split](call_split.png)

{bench_scale.saved_section()}
{bench_disturb.saved_section()}"""
    (DOCS / "benchmarks.md").write_text(text)
    print(f"wrote {DOCS / 'benchmarks.md'}", file=sys.stderr)


if __name__ == "__main__":
    main()
