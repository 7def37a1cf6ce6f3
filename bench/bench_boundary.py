"""The Python boundary: each function called with no kernel work, against one plain C-API pass
over the same input (the walk floor), and the peak memory per returned line-graph pair.

Run: .venv/bin/python bench/bench_boundary.py [--quick] [--json FILE]
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import benchlib  # puts scripts/ on the import path

# isort: split
import hypergraphs
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges

DEDUPLICATED = ("email-Enron", "NDC-classes", "contact-primary-school")
UNREACHED = 2**31 - 1  # an s no hyperedge reaches: the line-graph kernel has nothing to do
COLUMNS = [
    ("dataset", "dataset", ""),
    ("incidences", "incidences", ","),
    ("walk_maps", "walk dicts s", ".4f"),
    ("connected", "is_connected s", ".4f"),
    ("connected_ratio", "/walk", ".2f"),
    ("centrality", "centrality max_iter=0 s", ".4f"),
    ("centrality_ratio", "/walk", ".2f"),
    ("walk_list", "walk list s", ".4f"),
    ("line_graph", f"line graph s={UNREACHED} s", ".4f"),
    ("line_graph_ratio", "/walk", ".2f"),
]
MEMORY_COLUMNS = [
    ("dataset", "dataset", ""),
    ("hyperedges", "hyperedges", ","),
    ("s", "s", "d"),
    ("weights", "weights", ""),
    ("pairs", "pairs", ","),
    ("bytes_per_pair", "peak bytes/pair", ".1f"),
]

MEMORY_CHILD = """
import gc, json, sys
sys.path.insert(0, {scripts!r})
import hypergraphs
from cpp_functions.convert.line_graph import compute_line_graph_edges

sets = [set(e) for e in hypergraphs.distinct(hypergraphs.load_dataset({name!r}))]
gc.collect()


def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))


with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from the current resident size
before = status("VmRSS:")
edges = compute_line_graph_edges(sets, {s}, {weights!r}, 2)
print(json.dumps({{"hyperedges": len(sets), "pairs": len(edges),
                   "bytes_per_pair": (status("VmHWM:") - before) / max(1, len(edges))}}))
"""


def walk_floor():
    sys.path.insert(0, str(benchlib.KERNEL_BUILD))
    import walk_floor

    return walk_floor


def inputs(name):
    edges = hypergraphs.load_dataset(name)
    if name in DEDUPLICATED:
        edges = hypergraphs.distinct(edges)
    return edges


def cases(quick: bool, scratch: Path):
    for name in hypergraphs.available_datasets()[: 1 if quick else None]:
        yield name, None, inputs(name)
    if not hypergraphs.available_datasets():
        yield "synthetic-20000", None, hypergraphs.synthetic(20000, seed=1)


def run_case(name, _data_dir, edges, repeats):
    walk = walk_floor()
    node_dict, edge_dict = hypergraphs.incidence_maps(edges)
    sets = [set(e) for e in edges]
    times = benchlib.interleaved(
        {
            "walk_maps": lambda: walk.walk_maps(node_dict, edge_dict),
            "connected": lambda: is_connected(node_dict, edge_dict),
            "centrality": lambda: compute_centralities(node_dict, edge_dict, 0),
            "walk_list": lambda: walk.walk_hyperedges(sets),
            "line_graph": lambda: compute_line_graph_edges(sets, UNREACHED, "absolute", 2),
        },
        repeats,
    )
    row = {"dataset": name, "incidences": sum(map(len, sets)), **benchlib.medians(times)}
    for key, floor in (("connected", "walk_maps"), ("centrality", "walk_maps")):
        row[f"{key}_ratio"] = row[key] / row[floor]
    row["line_graph_ratio"] = row["line_graph"] / row["walk_list"]
    return row


def memory_rows(quick: bool) -> list[dict]:
    """Peak growth of resident memory per returned pair, each call in a fresh process."""
    names = hypergraphs.available_datasets()[: 1 if quick else None]
    runs = [(name, 3 if name == "congress-bills" else 1, "absolute") for name in names]
    if "threads-ask-ubuntu" in names:
        runs.append(("threads-ask-ubuntu", 1, "normalized"))
    rows = []
    for name, s, weights in runs:
        code = MEMORY_CHILD.format(
            scripts=str(benchlib.ROOT / "scripts"), name=name, s=s, weights=weights
        )
        out = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, check=True
        )
        rows.append({"dataset": name, "s": s, "weights": weights, **json.loads(out.stdout)})
    return rows


def main(argv=None):
    args = benchlib.parse_args(__doc__, argv)
    rows = benchlib.run_cases(
        "boundary: calls with no kernel work against one C-API walk of the same input",
        args,
        cases,
        run_case,
    )
    print(benchlib.table(rows, COLUMNS))
    memory = memory_rows(args.quick)
    print(benchlib.table(memory, MEMORY_COLUMNS))
    benchlib.write_json(args.json, {"machine": benchlib.machine(), "rows": rows, "memory": memory})
    return rows, memory


if __name__ == "__main__":
    main()
