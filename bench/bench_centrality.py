"""Centralities: our call against the SciPy recipe and SciPy's iteration alone.

Run: .venv/bin/python bench/bench_centrality.py [--quick] [--json FILE]
"""

from __future__ import annotations

import statistics
import tempfile
from pathlib import Path

import benchlib  # puts scripts/ on the import path

# isort: split
import baselines
import hypergraphs
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected

COLUMNS = [
    ("dataset", "dataset", ""),
    ("nodes", "nodes", ","),
    ("edges", "edges", ","),
    ("incidences", "incidences", ","),
    ("iterations", "iters", "d"),
    ("ours", "ours s", ".4f"),
    ("kernel", "kernel s", ".4f"),
    ("scipy", "SciPy s", ".4f"),
    ("scipy_compute", "SciPy iter s", ".4f"),
    ("e2e_ratio", "SciPy/ours", ".1f"),
    ("iter_ratio", "SciPy iter/ours iter", ".1f"),
    ("ns_2t", "ns/inc/it", ".2f"),
    ("ns_1t", "ns/inc/it 1 core", ".2f"),
    ("speedup", "2t/1t", ".2f"),
    ("arg_share", "args %", ".0f"),
    ("kernel_share", "kernel %", ".0f"),
    ("result_share", "result %", ".0f"),
]


def cases(quick: bool, scratch: Path):
    for name in hypergraphs.available_datasets()[: 1 if quick else None]:
        yield name, hypergraphs.dataset_path(name).parent, hypergraphs.load_dataset(name), ()
    # Hyperedge counts giving about 1e4, 1e5 and 1e6 incidences.
    sizes = (4500,) if quick else (4500, 45000, 450000)
    for size in sizes:
        name = f"synthetic-{size}"
        edges = hypergraphs.synthetic(size, seed=2)
        hypergraphs.write_dataset(edges, scratch, name)
        yield name, scratch, edges, ()


def run_case(name, data_dir, hyperedges, repeats):
    node_dict, edge_dict = hypergraphs.incidence_maps(hyperedges)
    ours = compute_centralities(node_dict, edge_dict)
    if not baselines.same_scores(ours, baselines.centrality_recipe(node_dict, edge_dict)):
        raise SystemExit(f"{name}: scores differ from the SciPy recipe")
    H, HT = baselines.centrality_matrix(node_dict, edge_dict)
    iterations = baselines.centrality_compute(H, HT)[2]
    times = benchlib.interleaved(
        {
            "ours": lambda: compute_centralities(node_dict, edge_dict),
            # The same call without rounds: the rest of `ours` is the iteration and its set-up.
            "ours0": lambda: compute_centralities(node_dict, edge_dict, 0),
            "scipy": lambda: baselines.centrality_recipe(node_dict, edge_dict),
            "scipy_compute": lambda: baselines.centrality_compute(H, HT),
            # Same two dicts through the same casters, and a kernel that costs next to nothing.
            "args": lambda: is_connected(node_dict, edge_dict),
        },
        repeats,
    )
    # All processors and one, timed in turn in one process.
    kernel = benchlib.run_kernel("centrality_kernel", data_dir, name, repeats) or {}
    connected = benchlib.run_kernel("connected_kernel", data_dir, name, repeats) or {}
    row = {
        "dataset": name,
        "nodes": len(node_dict),
        "edges": len(edge_dict),
        "incidences": sum(map(len, edge_dict.values())),
        "iterations": iterations,
        **benchlib.medians(times),
        "kernel": kernel.get("kernel"),
        "ns_2t": kernel.get("ns_per_incidence_iteration"),
        "ns_1t": kernel.get("ns_per_incidence_iteration_1t"),
        "kernel_1t": kernel.get("kernel_1t"),
    }
    row["e2e_ratio"] = row["scipy"] / row["ours"]
    row["iter_ratio"] = row["scipy_compute"] / (row["ours"] - row["ours0"])
    if row["ns_1t"] and row["ns_2t"]:
        row["speedup"] = row["ns_1t"] / row["ns_2t"]
    if row["kernel"]:
        args_time = row["args"] - connected.get("kernel", 0.0)
        row["arg_share"] = 100 * args_time / row["ours"]
        row["kernel_share"] = 100 * row["kernel"] / row["ours"]
        row["result_share"] = max(0.0, 100 - row["arg_share"] - row["kernel_share"])
    return row


SCALING_COLUMNS = [
    ("dataset", "dataset", ""),
    ("incidences", "incidences", ","),
    ("ms_1t", "ms/round 1 core", ".2f"),
    ("ms_2t", "ms/round 2 threads", ".2f"),
    ("ns_1t", "ns/inc/round 1 core", ".2f"),
    ("speedup", "2t/1t", ".2f"),
]


def scaling_rows(quick: bool, repeats: int) -> list[dict]:
    """Kernel timer alone on about 1e7 incidences (too big for the Python recipes' dicts)."""
    size = 45000 if quick else 4500000
    name = f"synthetic-{size}"
    with tempfile.TemporaryDirectory() as folder:
        scratch = Path(folder)
        hypergraphs.write_dataset(hypergraphs.synthetic(size, seed=2), scratch, name)
        kernel = benchlib.run_kernel("centrality_kernel", scratch, name, repeats, 1)
    if not kernel:
        return []
    return [
        {
            "dataset": name,
            "incidences": kernel["incidences"],
            "ms_1t": kernel["per_iteration_1t"] * 1e3,
            "ms_2t": kernel["per_iteration"] * 1e3,
            "ns_1t": kernel["ns_per_incidence_iteration_1t"],
            "speedup": kernel["per_iteration_1t"] / kernel["per_iteration"],
        }
    ]


VARIANT_COLUMNS = [
    ("dataset", "dataset", ""),
    ("baseline", "baseline ns/inc/round", ".2f"),
    ("avx2", "avx2", ".2f"),
    ("avx2_gain", "baseline/avx2", ".2f"),
]


def cpu_flags() -> set[str]:
    try:
        with open("/proc/cpuinfo") as info:
            return next((set(line.split()[2:]) for line in info if line.startswith("flags")), set())
    except OSError:
        return set()


def variant_rows(repeats: int) -> list[dict]:
    """One core's cost per incidence per round of each instruction-set build of the update, on
    the datasets where the iteration dominates; the builds run in turn, three rounds."""
    flags = cpu_flags()
    variants = ["baseline"] + (["avx2"] if "avx2" in flags else [])
    rows = []
    for name in ("threads-ask-ubuntu", "congress-bills"):
        if name not in hypergraphs.available_datasets():
            continue
        data_dir = hypergraphs.dataset_path(name).parent
        costs: dict[str, list[float]] = {v: [] for v in variants}
        for _ in range(3):
            for v in variants:
                kernel = benchlib.run_kernel(
                    "centrality_kernel", data_dir, name, repeats, 100, 1e-6, v
                )
                if kernel:
                    costs[v].append(kernel["ns_per_incidence_iteration_1t"])
        row = {"dataset": name, **{v: statistics.median(c) for v, c in costs.items() if c}}
        if row.get("avx2") and row.get("baseline"):
            row["avx2_gain"] = row["baseline"] / row["avx2"]
        rows.append(row)
    return rows


def main(argv=None):
    args = benchlib.parse_args(__doc__, argv)
    title = "centralities, max_iter=100, tol=1e-6, all incidences (repeats included)"
    rows = benchlib.run_cases(title, args, cases, run_case)
    print(benchlib.table(rows, COLUMNS))
    scaling = scaling_rows(args.quick, args.repeats)
    print(benchlib.table(scaling, SCALING_COLUMNS))
    variants = [] if args.quick else variant_rows(args.repeats)
    print(benchlib.table(variants, VARIANT_COLUMNS))
    benchlib.write_json(
        args.json,
        {"machine": benchlib.machine(), "rows": rows, "scaling": scaling, "variants": variants},
    )
    return rows, scaling, variants


if __name__ == "__main__":
    main()
