"""Cost per incidence as inputs grow to 2e7 incidences, for three layouts of the same ids.

The input is the seeded synthetic hypergraph of scripts/hypergraphs.scale_hypergraph (NumPy,
heavy-tailed sizes and degrees), built as the usual dict[int, set[int]] pair and list of sets,
with ids contiguous (a shuffled 0..n-1), random 31-bit (like hashed keys) or spread (7k + 11),
and with random ids and hubs added (hypergraphs.hub_arrays).
Each (size, layout) runs in a fresh process with the module's team and in another with
OMP_THREAD_LIMIT=1. Every call is set against the walk: one plain C-API pass over the same
Python input that reads every id once (bench/walk_floor.cpp; the dicts for is_connected and
compute_centralities, the list for the line graph), timed in the same process. Times are the
minimum of the calls in a process; memory is the peak resident memory of a call's first run
above what was resident before it (the input; free blocks of the C library released first),
per incidence.

Run: .venv/bin/python bench/bench_scale.py [--quick] [--json FILE]   (make bench-scale)
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import benchlib  # puts scripts/ on the import path

# isort: split
import hypergraphs

SIZES = (10**5, 10**6, 10**7, 2 * 10**7)
# The id layouts, and "hubs": random ids with hubs of 4e3 to 3e4 hyperedges added at 2e7.
LAYOUTS = (*hypergraphs.ID_LAYOUTS, "hubs")
QUICK_SIZES = (10**5, 10**6)
# Resident bytes per incidence of the Python input and the largest call on it, measured at 2e7
# with some room: a size whose estimate exceeds the available memory is skipped.
BYTES_PER_INCIDENCE = 560
CALLS = ("is_connected", "centralities max_iter=0", "line graph s=2")
FLOORS = ("result dicts by dict(zip)",)
COLUMNS = [
    ("incidences", "incidences", ",.0f"),
    ("layout", "ids", ""),
    ("threads", "threads", ""),
    ("call", "call", ""),
    ("seconds", "s", ".3f"),
    ("ns", "ns/inc", ".0f"),
    ("walk_ns", "walk ns/inc", ".0f"),
    ("walk_ratio", "call/walk", ".2f"),
    ("bytes", "peak B/inc", ".0f"),
]

WORKER = """
import ctypes, gc, json, sys, time
sys.path[:0] = {paths!r}
import hypergraphs
node_dict, edge_dict, sets = hypergraphs.scale_hypergraph({size}, {layout!r})
import cpp_functions, walk_floor
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges
gc.freeze()

def resident(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(field))

libc = ctypes.CDLL("libc.so.6")

def run(call, repeats):
    times, peak = [], None
    for _ in range(repeats):
        libc.malloc_trim(0)  # free blocks back to the system: a call's growth shows in RSS
        before = resident("VmRSS:")
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
        if peak is None:
            peak = resident("VmHWM:") - before
        del result
        gc.collect()
    return min(times), peak

calls = {{
    "walk dicts": lambda: walk_floor.walk_maps(node_dict, edge_dict),
    "walk list": lambda: walk_floor.walk_hyperedges(sets),
    "is_connected": lambda: is_connected(node_dict, edge_dict),
    "centralities max_iter=0": lambda: compute_centralities(node_dict, edge_dict, 0),
    "line graph s=2": lambda: compute_line_graph_edges(sets, 2, "absolute", 0),
}}
out = {{"nodes": len(node_dict), "edges": len(edge_dict),
        "incidences": sum(map(len, sets)), "module": cpp_functions.__file__}}
for name, call in calls.items():
    repeats = {repeats} if name != "line graph s=2" else {line_repeats}
    out[name] = run(call, repeats)
# The floor of the centrality result: the interpreter's own dict(zip(...)) making dicts of the
# same size and key order from ready-made keys and values.
result = compute_centralities(node_dict, edge_dict, 0)
items = [(list(side), list(side.values())) for side in result]
del result
out["result dicts by dict(zip)"] = run(
    lambda: [dict(zip(keys, values)) for keys, values in items], {repeats}
)
del items
print(json.dumps(out))
"""


def available_bytes() -> int:
    with open("/proc/meminfo") as meminfo:
        return next(int(line.split()[1]) * 1024 for line in meminfo if "MemAvailable" in line)


def run_worker(
    size: int, layout: str, one_thread: bool, module_dir: str | None, line_repeats: int
) -> dict:
    paths = [str(benchlib.ROOT / "scripts"), str(benchlib.KERNEL_BUILD)]
    if module_dir:
        paths.insert(0, module_dir)
    env = dict(os.environ)
    env.pop("OMP_THREAD_LIMIT", None)
    if one_thread:
        env["OMP_THREAD_LIMIT"] = "1"
    code = WORKER.format(
        paths=paths, size=size, layout=layout, repeats=2, line_repeats=line_repeats
    )
    out = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
    )
    return json.loads(out.stdout)


def rows_of(size: int, layout: str, threads: str, measured: dict) -> list[dict]:
    rows = []
    incidences = measured["incidences"]
    for call in CALLS + FLOORS:
        seconds, peak = measured[call]
        walk = measured["walk list" if call.startswith("line") else "walk dicts"][0]
        rows.append(
            {
                "size": size,
                "incidences": incidences,
                "nodes": measured["nodes"],
                "edges": measured["edges"],
                "layout": layout,
                "threads": threads,
                "call": call,
                "seconds": seconds,
                "ns": seconds / incidences * 1e9,
                "walk_ns": walk / incidences * 1e9,
                "walk_ratio": seconds / walk,
                "bytes": peak / incidences,
            }
        )
    return rows


def plot(rows: list[dict], path: Path) -> None:
    """Nanoseconds per incidence against size, a panel per call, the walk in grey."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(CALLS), figsize=(13, 4.2))
    markers = {"contiguous": "o", "random": "s", "spread": "^", "hubs": "D"}
    for ax, call in zip(axes, CALLS, strict=True):
        for layout in LAYOUTS:
            for threads, line in (("team", "-"), ("1 thread", "--")):
                mine = [r for r in rows if r["call"] == call and r["layout"] == layout]
                points = sorted((r["incidences"], r["ns"]) for r in mine if r["threads"] == threads)
                if points:
                    ax.semilogx(
                        *zip(*points, strict=True),
                        markers[layout] + line,
                        label=f"{layout}, {threads}",
                    )
        walk = sorted(
            (r["incidences"], r["walk_ns"])
            for r in rows
            if r["call"] == call and r["threads"] == "team"
        )
        if walk:
            ax.semilogx(*zip(*walk, strict=True), ".", color="grey", label="walk (each process)")
        ax.set_title(call)
        ax.set_xlabel("incidences")
        ax.set_ylim(bottom=0)
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("ns per incidence (minimum of the calls)")
    axes[0].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def section(rows: list[dict], skipped: list[str]) -> str:
    """The scale section of docs/benchmarks.md."""
    notes = "".join(f"\n{note}" for note in skipped)
    return f"""## Scale and id layouts

Each call on the synthetic hypergraph of `scripts/hypergraphs.py` (`scale_hypergraph`) from
1e5 to 2e7 incidences, with the same hypergraph's ids contiguous, random 31-bit or spread, and
with random ids and hubs added (`hubs`: `hub_arrays`) (`bench/bench_scale.py`, `make
bench-scale`; `--merge` re-measures some sizes and layouts into the saved table). `walk ns/inc`
is one plain C-API pass over the same input (the two dicts, or the list of sets for the line
graph) in the same process;
`call/walk` is the call's time over it (minimum of the calls in one process). `peak B/inc` is
the call's peak resident memory above what was resident before it, result included, per
incidence. `result dicts by dict(zip)` is no call of ours: the interpreter making the two
dicts of a centrality result, of the same sizes and key order, from ready-made keys and
values; a centrality call cannot take less than that plus reading its arguments.{notes}

```
{benchlib.table(rows, COLUMNS)}
```

![scale](scale.png)
"""


MARK_BEGIN, MARK_END = "<!-- scale: begin -->", "<!-- scale: end -->"


def write_docs(rows: list[dict], skipped: list[str]) -> None:
    docs = benchlib.ROOT / "docs"
    (docs / "scale.json").write_text(json.dumps({"rows": rows, "skipped": skipped}, indent=1))
    plot(rows, docs / "scale.png")
    benchlib.splice_section("scale", section(rows, skipped))


def saved_section() -> str:
    """The section from the last make bench-scale, for run_all.py's page; empty if none."""
    saved = benchlib.ROOT / "docs" / "scale.json"
    if not saved.exists():
        return ""
    data = json.loads(saved.read_text())
    return f"{MARK_BEGIN}\n{section(data['rows'], data['skipped'])}{MARK_END}\n"


def main(argv=None) -> list[dict]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="1e5 and 1e6 incidences only")
    parser.add_argument("--json")
    parser.add_argument("--module-dir", help="import cpp_functions from this folder instead")
    parser.add_argument("--sizes", help="comma-separated incidence counts instead of the default")
    parser.add_argument("--layouts", help="comma-separated id layouts instead of all three")
    parser.add_argument("--team-only", action="store_true", help="skip the one-thread processes")
    parser.add_argument("--no-docs", action="store_true", help="print only")
    parser.add_argument(
        "--merge", action="store_true", help="replace the saved rows of the sizes and layouts run"
    )
    args = parser.parse_args(argv)
    print(f"# scale; {benchlib.machine()}", flush=True)
    benchlib.build_kernels()
    started = time.perf_counter()
    rows, skipped = [], []
    sizes = QUICK_SIZES if args.quick else SIZES
    if args.sizes:
        sizes = [int(float(size)) for size in args.sizes.split(",")]
    layouts = args.layouts.split(",") if args.layouts else LAYOUTS
    for size in sizes:
        needed = size * BYTES_PER_INCIDENCE
        if needed > available_bytes():
            skipped.append(
                f"{size:.0e} incidences skipped: they need about {needed / 2**30:.1f} GiB, "
                f"{available_bytes() / 2**30:.1f} GiB are available."
            )
            print(f"# {skipped[-1]}", flush=True)
            continue
        for layout in layouts:
            for threads in ("team",) if args.team_only else ("team", "1 thread"):
                # One call of the line graph past 1e6: its pair walk is the longest part of the
                # run, and varies less than the calls that take a few seconds.
                line_repeats = 1 if size > 10**6 else 3
                measured = run_worker(
                    size, layout, threads == "1 thread", args.module_dir, line_repeats
                )
                rows += rows_of(size, layout, threads, measured)
                print(benchlib.table(rows[-len(CALLS + FLOORS) :], COLUMNS), flush=True)
                gc.collect()
    print(f"# {time.perf_counter() - started:.0f} s", flush=True)
    benchlib.write_json(args.json, rows)
    if args.merge and not (args.no_docs or args.module_dir):
        saved = json.loads((benchlib.ROOT / "docs" / "scale.json").read_text())
        measured = {(r["size"], r["layout"], r["threads"]) for r in rows}
        kept = [r for r in saved["rows"] if (r["size"], r["layout"], r["threads"]) not in measured]
        order = {layout: k for k, layout in enumerate(LAYOUTS)}
        merged = sorted(
            kept + rows, key=lambda r: (r["size"], order[r["layout"]], r["threads"] != "team")
        )
        write_docs(merged, saved["skipped"])
    elif not (args.no_docs or args.module_dir or args.sizes or args.layouts or args.team_only):
        write_docs(rows, skipped)
    return rows


if __name__ == "__main__":
    main()
