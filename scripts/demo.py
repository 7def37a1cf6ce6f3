"""The main job on one hypergraph: s-line graphs, centralities and connectivity, each call
timed next to the SciPy recipe a user would otherwise write.

Run: make demo [DATASET=name]   (or .venv/bin/python scripts/demo.py --dataset name)
"""

from __future__ import annotations

import argparse
import heapq
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import baselines  # noqa: E402
import hypergraphs  # noqa: E402
from cpp_functions.algorithms.centrality import compute_centralities  # noqa: E402
from cpp_functions.algorithms.connected import is_connected  # noqa: E402
from cpp_functions.convert.line_graph import compute_line_graph_edges  # noqa: E402

THREADS = 2
TOP = 10


def step(message: str) -> None:
    print(f"... {message}", flush=True)


def timed(function, *args, repeats: int = 3):
    """The result of a first (warm-up) call, and the median time of `repeats` more."""
    result = function(*args)
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function(*args)
        times.append(time.perf_counter() - start)
    return result, statistics.median(times)


def show_time(ours: float, scipy: float) -> str:
    return (
        f"ours {ours * 1e3:8.1f} ms | SciPy {scipy * 1e3:8.1f} ms | {scipy / ours:5.1f}x (medians)"
    )


def members(edge) -> str:
    shown = sorted(edge)
    text = ", ".join(map(str, shown[:8]))
    return "{" + text + (", ..." if len(shown) > 8 else "") + "}"


def line_graphs(hyperedges) -> None:
    distinct = hypergraphs.distinct(hyperedges)
    sets = [set(e) for e in distinct]
    print(
        f"\ns-line graphs of the {len(sets):,} distinct hyperedges (repeats would only add copies)"
    )
    for s in (1, 2, 3):
        for weights in ("absolute", "normalized"):
            step(f"line graph s={s} weights={weights}")
            pairs, ours = timed(compute_line_graph_edges, sets, s, weights, THREADS)
            expected, scipy = timed(baselines.line_graph_recipe, sets, s, weights)
            assert pairs == expected, "results differ from the SciPy recipe"
            print(f"  s={s} {weights:<10} {len(pairs):>10,} pairs   {show_time(ours, scipy)}")
            if weights == "absolute" and pairs:
                for i, j, w in heapq.nlargest(3, pairs, key=lambda t: (t[2], -t[0], -t[1])):
                    print(f"      share {w:g}: #{i} {members(sets[i])} ~ #{j} {members(sets[j])}")
            del pairs, expected


def centralities(node_dict, edge_dict, hyperedges) -> None:
    print(f"\ncentralities over all {len(edge_dict):,} hyperedges")
    step("compute_centralities (max_iter=100, tol=1e-6)")
    (nodes, edges), ours = timed(compute_centralities, node_dict, edge_dict)
    expected, scipy = timed(baselines.centrality_recipe, node_dict, edge_dict)
    assert baselines.same_scores((nodes, edges), expected), "scores differ from the SciPy recipe"
    print(f"  {show_time(ours, scipy)}")
    print(f"  top {TOP} nodes:  " + ", ".join(f"{v} ({x:.4f})" for v, x in _top(nodes)))
    print(f"  top {TOP} hyperedges:")
    for e, y in _top(edges):
        print(f"      #{e:<8} {y:.6f}  {members(hyperedges[e])}")


def _top(scores):
    return heapq.nlargest(TOP, scores.items(), key=lambda item: (item[1], -item[0]))


def connectivity(node_dict, edge_dict) -> None:
    print("\nconnectivity")
    step("is_connected")
    answer, ours = timed(is_connected, node_dict, edge_dict)
    expected, scipy = timed(baselines.connected_recipe, node_dict, edge_dict)
    assert answer == expected, "answer differs from SciPy"
    print(f"  connected: {answer}   {show_time(ours, scipy)}")


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--dataset", default="contact-primary-school")
    args = parser.parse_args(argv)
    began = time.perf_counter()
    step(f"loading {args.dataset}")
    label, hyperedges = hypergraphs.default_input(args.dataset)
    if label != args.dataset:
        print(f"dataset {args.dataset} not available: using a {label}")
    node_dict, edge_dict = hypergraphs.incidence_maps(hyperedges)
    incidences = sum(map(len, edge_dict.values()))
    sizes = [len(e) for e in edge_dict.values()]
    print(
        f"{label}: {len(node_dict):,} nodes, {len(edge_dict):,} hyperedges, {incidences:,} "
        f"incidences; sizes {min(sizes)}..{max(sizes)} (mean {incidences / len(sizes):.2f})"
    )
    line_graphs(hyperedges)
    centralities(node_dict, edge_dict, hyperedges)
    connectivity(node_dict, edge_dict)
    print(
        f"\ndone in {time.perf_counter() - began:.1f} s "
        f"({THREADS} threads; every result checked equal to the SciPy recipe's)"
    )


if __name__ == "__main__":
    main()
