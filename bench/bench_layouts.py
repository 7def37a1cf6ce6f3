"""The same hypergraph with contiguous and with random 31-bit ids, in one process.

Separate processes hold their inputs in different memory and each sees its own slow spells,
so the scale benchmark's ratios between layouts are noisy. Here both inputs of each size
live in one process and the calls alternate between them; each figure is the minimum of
`--repeats` calls on the module's team. Per size: every call over the walk of its own input
(the two dicts; the list of sets for the line graph), and the line graph with random ids over
the line graph with contiguous ones. For is_connected, the growth of call/walk from the
smallest size to each larger one.

Run: .venv/bin/python bench/bench_layouts.py [--sizes 1e6,2e7] [--repeats 2]
"""

from __future__ import annotations

import argparse
import gc
import sys
import time

import benchlib  # puts scripts/ on the import path

# isort: split
import hypergraphs
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges

LAYOUTS = ("contiguous", "random")
COLUMNS = [
    ("incidences", "incidences", ",.0f"),
    ("layout", "ids", ""),
    ("walk", "walk s", ".3f"),
    ("connected", "is_connected s", ".3f"),
    ("connected_ratio", "/walk", ".2f"),
    ("centrality", "centralities max_iter=0 s", ".3f"),
    ("centrality_ratio", "/walk", ".2f"),
    ("floor_ratio", "dict(zip) floor/walk", ".2f"),
    ("line_graph", "line graph s=2 s", ".3f"),
    ("line_graph_ratio", "/contiguous", ".2f"),
]


def minimum(call, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def dict_floor(result, repeats: int) -> float:
    """The interpreter making dicts of the result's sizes and key order from ready-made keys."""
    items = [(list(side), list(side.values())) for side in result]
    return minimum(lambda: [dict(zip(k, v, strict=True)) for k, v in items], repeats)


def main(argv=None) -> list[dict]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1e6,2e7")
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args(argv)
    print(f"# layouts in one process; {benchlib.machine()}", flush=True)
    benchlib.build_kernels()
    sys.path.insert(0, str(benchlib.KERNEL_BUILD))
    import walk_floor

    rows = []
    for size in (int(float(s)) for s in args.sizes.split(",")):
        inputs = {layout: hypergraphs.scale_hypergraph(size, layout) for layout in LAYOUTS}
        gc.freeze()
        found = {layout: {} for layout in LAYOUTS}
        calls = {
            "walk": lambda n, e, s: walk_floor.walk_maps(n, e),
            "walk list": lambda n, e, s: walk_floor.walk_hyperedges(s),
            "connected": lambda n, e, s: is_connected(n, e),
            "centrality": lambda n, e, s: compute_centralities(n, e, 0),
            "line_graph": lambda n, e, s: compute_line_graph_edges(s, 2, "absolute", 0),
        }
        for name, call in calls.items():
            for _ in range(args.repeats):  # alternate layouts call by call
                for layout, (nodes, edges, sets) in inputs.items():
                    seconds = minimum(lambda: call(nodes, edges, sets), 1)  # noqa: B023
                    found[layout][name] = min(found[layout].get(name, seconds), seconds)
        for layout, (nodes, edges, _) in inputs.items():
            found[layout]["floor"] = dict_floor(compute_centralities(nodes, edges, 0), args.repeats)
        for layout, (_, _, sets) in inputs.items():
            got = found[layout]
            rows.append(
                {
                    "incidences": sum(map(len, sets)),
                    "layout": layout,
                    "walk": got["walk"],
                    "connected": got["connected"],
                    "connected_ratio": got["connected"] / got["walk"],
                    "centrality": got["centrality"],
                    "centrality_ratio": got["centrality"] / got["walk"],
                    "floor_ratio": got["floor"] / got["walk"],
                    "line_graph": got["line_graph"],
                    "line_graph_ratio": got["line_graph"] / found["contiguous"]["line_graph"],
                }
            )
        print(benchlib.table(rows[-len(LAYOUTS) :], COLUMNS), flush=True)
        print(f"# walk of the list: {[round(found[lay]['walk list'], 3) for lay in LAYOUTS]} s")
        gc.unfreeze()
        del inputs
        gc.collect()
    first = {r["layout"]: r["connected_ratio"] for r in rows[: len(LAYOUTS)]}
    for r in rows[len(LAYOUTS) :]:
        print(
            f"is_connected, {r['layout']} ids: call/walk at {r['incidences']:,} is "
            f"{r['connected_ratio'] / first[r['layout']]:.2f} times that at the smallest size"
        )
    return rows


if __name__ == "__main__":
    main()
