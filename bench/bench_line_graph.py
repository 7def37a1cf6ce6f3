"""s-line graph: our call against the SciPy recipe, the kernel alone and the pairwise method.

`overlaps` is the sum over members of C(deg, 2) among the hyperedges of at least s members
(the visits of a walk through every member's holders); `visits`, those the kernel's walk makes
after setting heavy members apart (equal to overlaps where it does not); the rates are per
second of our call.

Run: .venv/bin/python bench/bench_line_graph.py [--quick] [--json FILE]
"""

from __future__ import annotations

from pathlib import Path

import benchlib  # puts scripts/ on the import path

# isort: split
import baselines
import hypergraphs
from cpp_functions.convert.line_graph import compute_line_graph_edges

THREADS = 2
PAIRWISE_WORK_LIMIT = 1e9  # set lookups; larger inputs are sampled by first position
COLUMNS = [
    ("dataset", "dataset", ""),
    ("hyperedges", "hyperedges", ","),
    ("incidences", "incidences", ","),
    ("s", "s", "d"),
    ("pairs", "pairs out", ","),
    ("overlaps", "overlaps", ".3g"),
    ("visits", "visits", ".3g"),
    ("ours", "ours s", ".4f"),
    ("kernel_2t", "kernel s", ".4f"),
    ("scipy", "SciPy s", ".4f"),
    ("scipy_compute", "SciPy compute s", ".4f"),
    ("pairwise", "pairwise s", ".3f"),
    ("e2e_ratio", "SciPy/ours", ".1f"),
    ("compute_ratio", "compute/kernel", ".1f"),
    ("pairwise_ratio", "pairwise/kernel", ".0f"),
    ("overlap_rate", "overlaps/s (M)", ".0f"),
    ("pair_rate", "pairs/s (M)", ".1f"),
    ("thread_speedup", "1t/2t", ".2f"),
    ("arg_share", "args %", ".0f"),
    ("result_share", "result %", ".0f"),
]


def cases(quick: bool, scratch: Path):
    for name in hypergraphs.available_datasets()[: 1 if quick else None]:
        levels = [(3,)] if name == "congress-bills" else [(1,), (2,)]
        edges = hypergraphs.distinct(hypergraphs.load_dataset(name))
        yield name, hypergraphs.dataset_path(name).parent, edges, *levels
    sizes = (1000, 10000) if quick else (1000, 10000, 100000, 1000000)
    for size in sizes:
        name = f"synthetic-{size}"
        edges = hypergraphs.distinct(hypergraphs.synthetic(size, seed=1))
        hypergraphs.write_dataset(edges, scratch, name)
        yield name, scratch, edges, (1,), (2,)


def run_case(name, data_dir, edges, s, repeats):
    sets = [set(e) for e in edges]
    ours = compute_line_graph_edges(sets, s, "absolute", THREADS)
    if ours != baselines.line_graph_recipe(sets, s, "absolute"):
        raise SystemExit(f"{name} s={s}: results differ from the SciPy recipe")
    H = baselines.incidence_matrix(sets)
    times = benchlib.interleaved(
        {
            "ours": lambda: compute_line_graph_edges(sets, s, "absolute", THREADS),
            "scipy": lambda: baselines.line_graph_recipe(sets, s, "absolute"),
            "scipy_compute": lambda: baselines.line_graph_compute(H, s, "absolute"),
            "args": lambda: compute_line_graph_edges(sets, -1, "absolute", THREADS),
        },
        repeats,
    )
    kernel = (
        benchlib.run_kernel("line_graph_kernel", data_dir, name, s, repeats, PAIRWISE_WORK_LIMIT)
        or {}
    )
    row = {
        "dataset": name,
        "hyperedges": len(sets),
        "incidences": sum(map(len, sets)),
        "s": s,
        "pairs": len(ours),
        **benchlib.medians(times),
        "kernel_1t": kernel.get("kernel_1t"),
        "kernel_2t": kernel.get("kernel_2t"),
        "pairwise": kernel.get("pairwise_2t") if kernel.get("pairwise_2t", -1) >= 0 else None,
    }
    row["overlaps"], row["visits"] = benchlib.overlaps(sets, s)
    row["overlap_rate"] = row["overlaps"] / row["ours"] / 1e6
    row["pair_rate"] = row["pairs"] / row["ours"] / 1e6
    row["e2e_ratio"] = row["scipy"] / row["ours"]
    if row["kernel_2t"]:
        row["compute_ratio"] = row["scipy_compute"] / row["kernel_2t"]
        row["thread_speedup"] = row["kernel_1t"] / row["kernel_2t"]
        row["arg_share"] = 100 * row["args"] / row["ours"]
        row["result_share"] = (
            100 * max(0.0, row["ours"] - row["args"] - row["kernel_2t"]) / row["ours"]
        )
        if row["pairwise"]:
            row["pairwise_ratio"] = row["pairwise"] / row["kernel_2t"]
    return row


def main(argv=None):
    args = benchlib.parse_args(__doc__, argv)
    title = f"line graph, weights='absolute', {THREADS} threads, repeated hyperedges removed"
    rows = benchlib.run_cases(title, args, cases, run_case)
    print(benchlib.table(rows, COLUMNS))
    benchlib.write_json(args.json, {"machine": benchlib.machine(), "rows": rows})
    return rows


if __name__ == "__main__":
    main()
