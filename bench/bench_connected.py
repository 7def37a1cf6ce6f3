"""Connectivity: our call against SciPy's connected_components and NetworkX.

Run: .venv/bin/python bench/bench_connected.py [--quick] [--json FILE]
"""

from __future__ import annotations

import time
from pathlib import Path

import benchlib  # puts scripts/ on the import path

# isort: split
import baselines
import hypergraphs
from cpp_functions.algorithms.connected import is_connected

NETWORKX_LIMIT_SECONDS = 60
COLUMNS = [
    ("dataset", "dataset", ""),
    ("nodes", "nodes", ","),
    ("edges", "edges", ","),
    ("incidences", "incidences", ","),
    ("connected", "connected", ""),
    ("ours", "ours s", ".4f"),
    ("kernel", "kernel s", ".4f"),
    ("scipy", "SciPy s", ".4f"),
    ("scipy_compute", "SciPy search s", ".4f"),
    ("networkx", "NetworkX s", ".3f"),
    ("e2e_ratio", "SciPy/ours", ".1f"),
    ("compute_ratio", "search/kernel", ".1f"),
    ("nx_ratio", "NetworkX/ours", ".0f"),
    ("ns_per_incidence", "kernel ns/inc", ".1f"),
    ("arg_share", "args %", ".0f"),
]


def huge_edges(num_edges: int, seed: int) -> list[list[int]]:
    """Synthetic hypergraph plus three hyperedges of 5% of the nodes each."""
    edges = hypergraphs.synthetic(num_edges, seed=seed)
    nodes = sorted({v for e in edges for v in e})
    step = max(1, len(nodes) // (len(nodes) // 20 or 1))
    for offset in range(3):
        edges.append(nodes[offset::step][: len(nodes) // 20])
    return edges


def cases(quick: bool, scratch: Path):
    for name in hypergraphs.available_datasets()[: 1 if quick else None]:
        yield name, hypergraphs.dataset_path(name).parent, hypergraphs.load_dataset(name), ()
    # Hyperedge counts giving about 1e4 to 1e7 incidences.
    sizes = (4500,) if quick else (4500, 45000, 450000, 4500000)
    for size in sizes:
        name = f"synthetic-{size}"
        edges = hypergraphs.synthetic(size, seed=3)
        hypergraphs.write_dataset(edges, scratch, name)
        yield name, scratch, edges, ()
    name = "synthetic-huge-edges"
    edges = huge_edges(4500 if quick else 450000, seed=4)
    hypergraphs.write_dataset(edges, scratch, name)
    yield name, scratch, edges


def networkx_time(node_dict, edge_dict, repeats):
    """NetworkX median, or None when one call takes longer than the limit."""
    start = time.perf_counter()
    answer = baselines.networkx_connected(node_dict, edge_dict)
    if time.perf_counter() - start > NETWORKX_LIMIT_SECONDS / repeats:
        return None, answer
    return benchlib.measure(
        lambda: baselines.networkx_connected(node_dict, edge_dict), repeats
    ), answer


def run_case(name, data_dir, hyperedges, repeats):
    node_dict, edge_dict = hypergraphs.incidence_maps(hyperedges)
    ours = is_connected(node_dict, edge_dict)
    if ours != baselines.connected_recipe(node_dict, edge_dict):
        raise SystemExit(f"{name}: answer differs from SciPy")
    A = baselines.bipartite_matrix(node_dict, edge_dict)
    times = benchlib.interleaved(
        {
            "ours": lambda: is_connected(node_dict, edge_dict),
            "scipy": lambda: baselines.connected_recipe(node_dict, edge_dict),
            "scipy_compute": lambda: baselines.connected_compute(A, len(node_dict)),
        },
        repeats,
    )
    nx_times, nx_answer = networkx_time(node_dict, edge_dict, repeats)
    if nx_answer != ours:
        raise SystemExit(f"{name}: answer differs from NetworkX")
    kernel = benchlib.run_kernel("connected_kernel", data_dir, name, repeats) or {}
    one_core = benchlib.run_kernel("connected_kernel", data_dir, name, repeats, one_core=True) or {}
    row = {
        "dataset": name,
        "nodes": len(node_dict),
        "edges": len(edge_dict),
        "incidences": sum(map(len, edge_dict.values())),
        "connected": str(ours),
        **benchlib.medians(times),
        "networkx": nx_times["median"] if nx_times else None,
        "kernel": kernel.get("kernel"),
        "kernel_1t": one_core.get("kernel"),
        "ns_per_incidence": kernel.get("ns_per_incidence"),
        "input_mib": kernel.get("input_mib"),
        "kernel_mib": kernel.get("kernel_peak_mib"),
    }
    row["e2e_ratio"] = row["scipy"] / row["ours"]
    if row["networkx"]:
        row["nx_ratio"] = row["networkx"] / row["ours"]
    if row["kernel"]:
        row["compute_ratio"] = row["scipy_compute"] / row["kernel"]
        row["arg_share"] = 100 * (row["ours"] - row["kernel"]) / row["ours"]
    return row


def main(argv=None):
    args = benchlib.parse_args(__doc__, argv)
    rows = benchlib.run_cases(
        "connectivity, all incidences (repeats included)", args, cases, run_case
    )
    print(benchlib.table(rows, COLUMNS))
    memory = {}
    largest = max(rows, key=lambda r: r["incidences"])
    if largest.get("input_mib"):
        memory = {
            "dataset": largest["dataset"],
            "input": largest["input_mib"],
            "kernel": largest["kernel_mib"],
        }
        print(
            f"# peak memory of the kernel timer on {memory['dataset']}: "
            f"{memory['input']:.0f} MiB holding the input maps, "
            f"{memory['kernel']:.0f} MiB more at the kernel's peak"
        )
    benchlib.write_json(args.json, {"machine": benchlib.machine(), "rows": rows, "memory": memory})
    return rows, memory


if __name__ == "__main__":
    main()
