"""Two builds of the module loaded side by side in one process, on the same inputs.

Each input is converted once and both builds are called on it in alternation, so machine
noise hits both alike; every pair of results must be equal to the bit (order included).
Prints per case the medians, their ratio (new/base), and for the line graph the overlaps
(sum over members of C(deg, 2), counted over the hyperedges with at least s members) with
nanoseconds per overlap and per returned pair.

Case "maps" times the other calls on the real datasets' node and edge maps instead:
centralities with 100 rounds and with none, and is_connected.

Run: .venv/bin/python bench/bench_ab.py --base OLD_DIR/cpp_functions*.so (a folder per build)
         [--cases scale-random,scale-contiguous,hubs-random,hubs-contiguous,datasets,maps]
         [--size 2e7] [--s 2,3] [--repeats 3] [--threads 2]
"""

from __future__ import annotations

import argparse
import gc
import importlib
import math
import os
import statistics
import struct
import sys
import time

import benchlib  # puts scripts/ on the import path

# isort: split
import hypergraphs


def load_build(path: str):
    """The module in the shared object at `path`, whatever else is loaded under its name. Its
    submodules are entered in sys.modules by name, where an existing entry would be reused, so
    the entries of another build are set aside meanwhile."""
    aside = {k: sys.modules.pop(k) for k in list(sys.modules) if k.split(".")[0] == "cpp_functions"}
    sys.path.insert(0, os.path.dirname(os.path.abspath(path)))
    try:
        return importlib.import_module("cpp_functions")
    finally:
        sys.path.pop(0)
        for k in [k for k in sys.modules if k.split(".")[0] == "cpp_functions"]:
            del sys.modules[k]
        sys.modules.update(aside)


def same_bits(a, b) -> bool:
    if len(a) != len(b):
        return False
    pack = struct.Struct("<iid").pack
    return all(pack(*x) == pack(*y) for x, y in zip(a, b, strict=True))


def cases(names, size):
    for name in names:
        if name == "datasets":
            # As the line-graph benchmark has them: repeated hyperedges dropped.
            levels = {"congress-bills": (3,), "contact-primary-school": (1, 2, 3)}
            for dataset in hypergraphs.available_datasets():
                sets = [set(e) for e in hypergraphs.distinct(hypergraphs.load_dataset(dataset))]
                yield dataset, sets, levels.get(dataset, (1, 2))
            continue
        kind, layout = name.split("-")
        make = hypergraphs.hub_hyperedges if kind == "hubs" else hypergraphs.scale_hyperedges
        yield f"{name}-{size:.0e}", make(size, layout), None


def map_calls(base, new, repeats: int) -> None:
    """The centrality and connectivity calls of both builds on each dataset's maps."""
    print("case | call | base s | new s | new/base")
    for dataset in hypergraphs.available_datasets():
        node_dict, edge_dict = hypergraphs.incidence_maps(hypergraphs.load_dataset(dataset))
        args = (node_dict, edge_dict)
        calls = {
            "centralities 100 rounds": lambda m, a=args: (
                m.algorithms.centrality.compute_centralities(*a, 100, 0.0)
            ),
            "centralities max_iter=0": lambda m, a=args: (
                m.algorithms.centrality.compute_centralities(*a, 0)
            ),
            "is_connected": lambda m, a=args: m.algorithms.connected.is_connected(*a),
        }
        for label, call in calls.items():
            times = {"base": [], "new": []}
            results = {}
            for _ in range(repeats):
                for name, build in (("base", base), ("new", new)):
                    gc.collect()
                    start = time.perf_counter()
                    results[name] = call(build)
                    times[name].append(time.perf_counter() - start)
            flat = {
                n: repr([list(d.items()) for d in r] if isinstance(r, tuple) else r)
                for n, r in results.items()
            }
            if flat["base"] != flat["new"]:
                raise SystemExit(f"{dataset} {label}: the builds' results differ")
            base_t, new_t = (statistics.median(times[n]) for n in ("base", "new"))
            print(
                f"{dataset} | {label} | {base_t:.4f} | {new_t:.4f} | {new_t / base_t:.3f}",
                flush=True,
            )


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--base", required=True, help="shared object of the build to compare with")
    parser.add_argument("--new", help="shared object of the new build (default: the installed one)")
    parser.add_argument("--cases", default="scale-random,scale-contiguous,hubs-random,datasets")
    parser.add_argument("--size", type=float, default=2e7)
    parser.add_argument("--s", default="2,3")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args(argv)
    if args.new:
        new = load_build(args.new)
    else:
        import cpp_functions as new
    base = load_build(args.base)
    builds = {"base": base.convert.line_graph.compute_line_graph_edges}
    builds["new"] = new.convert.line_graph.compute_line_graph_edges
    if builds["base"] is builds["new"]:
        raise SystemExit("both builds are the same module")
    print(f"# {benchlib.machine()}; {args.threads} threads; medians of {args.repeats}")
    names = args.cases.split(",")
    if "maps" in names:
        names.remove("maps")
        map_calls(base, new, args.repeats)
    print(
        "case | s | pairs | overlaps | new visits | base s | new s | new/base | base ns/ov"
        " | new ns/ov | new us/pair"
    )
    for label, sets, levels in cases(names, int(args.size)):
        for s in levels or [int(x) for x in args.s.split(",")]:
            times = {name: [] for name in builds}
            results = {}
            for _ in range(args.repeats):
                for name, call in builds.items():
                    gc.collect()
                    start = time.perf_counter()
                    results[name] = call(sets, s, "normalized", args.threads)
                    times[name].append(time.perf_counter() - start)
            if not same_bits(results["base"], results["new"]):
                raise SystemExit(f"{label} s={s}: the builds' results differ")
            pairs = len(results["new"])
            del results
            work, visits = benchlib.overlaps(sets, s)
            base_t, new_t = (statistics.median(times[n]) for n in ("base", "new"))
            print(
                f"{label} | {s} | {pairs:,} | {work:.3g} | {visits:.3g} | "
                f"{base_t:.3f} | {new_t:.3f} | "
                f"{new_t / base_t:.3f} | {base_t / max(work, 1) * 1e9:.2f} | "
                f"{new_t / max(work, 1) * 1e9:.2f} | "
                f"{new_t / pairs * 1e6 if pairs else math.nan:.2f}",
                flush=True,
            )
        del sets
        gc.collect()


if __name__ == "__main__":
    main()
