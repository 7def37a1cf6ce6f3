"""Under load: each call with the module's team against the same call on one thread
(OMP_THREAD_LIMIT=1), each in a process of its own, on an idle machine and while another
process keeps a core busy; and a pool of two spawned workers mapping centrality calls.

Team and one-thread processes alternate, so slow spells of a shared machine hit both; each
reports medians of its repeats after a warm-up, and the table shows the median over rounds.
A ratio team / one thread below 1 means the team is faster.

Run: .venv/bin/python bench/bench_load.py [--quick] [--json FILE]
"""

from __future__ import annotations

import json
import multiprocessing
import os
import statistics
import subprocess
import sys
import time

import benchlib  # puts scripts/ on the import path

# isort: split
import hypergraphs

DATASETS = ("threads-ask-ubuntu", "congress-bills")
LINE_GRAPH_S = {"threads-ask-ubuntu": 2, "congress-bills": 6}
COLUMNS = [
    ("call", "call", ""),
    ("dataset", "dataset", ""),
    ("load", "machine", ""),
    ("team", "team s", ".4f"),
    ("one", "1 thread s", ".4f"),
    ("ratio", "team/1 thread", ".2f"),
]
POOL_COLUMNS = [
    ("dataset", "dataset", ""),
    ("calls", "calls per worker", "d"),
    ("team", "team s", ".3f"),
    ("one", "1 thread s", ".3f"),
    ("ratio", "team/1 thread", ".2f"),
]

# Runs in a fresh process: times each call and prints {call: median seconds} as JSON.
WORKER = """
import json, statistics, sys, time
sys.path.insert(0, {scripts!r})
import hypergraphs
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges

name, repeats, s = {name!r}, {repeats}, {s}
if name in hypergraphs.available_datasets():
    edges = hypergraphs.load_dataset(name)
else:
    edges = hypergraphs.synthetic(100000, seed=5)
node_dict, edge_dict = hypergraphs.incidence_maps(edges)
# The line graph of all repeats would be huge; iterations treat repeats alike anyway.
distinct = [set(e) for e in hypergraphs.distinct(edges)]
calls = {{
    "centralities, 100 rounds": lambda: compute_centralities(node_dict, edge_dict, 100, 0.0),
    "centralities, max_iter=0": lambda: compute_centralities(node_dict, edge_dict, 0),
    "is_connected": lambda: is_connected(node_dict, edge_dict),
    f"line graph, s = {{s}}": lambda: compute_line_graph_edges(distinct, s, "absolute", 0),
}}
medians = {{}}
for call, run in calls.items():
    run()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    medians[call] = statistics.median(times)
print(json.dumps(medians))
"""


def busy_core():
    """Another process that keeps one core busy until killed."""
    return subprocess.Popen([sys.executable, "-c", "while True: pass"])


def worker_medians(name: str, one_thread: bool, repeats: int) -> dict:
    env = dict(os.environ)
    env.pop("OMP_THREAD_LIMIT", None)
    if one_thread:
        env["OMP_THREAD_LIMIT"] = "1"
    code = WORKER.format(
        scripts=str(benchlib.ROOT / "scripts"),
        name=name,
        repeats=repeats,
        s=LINE_GRAPH_S.get(name, 2),
    )
    out = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
    )
    return json.loads(out.stdout)


def call_rows(names, rounds: int, repeats: int) -> list[dict]:
    rows = []
    for load in ("idle", "one core busy"):
        hog = busy_core() if load != "idle" else None
        try:
            time.sleep(0.5 if hog else 0)
            for name in names:
                team, one = [], []
                for _ in range(rounds):
                    team.append(worker_medians(name, False, repeats))
                    one.append(worker_medians(name, True, repeats))
                for call in team[0]:
                    t = statistics.median(r[call] for r in team)
                    o = statistics.median(r[call] for r in one)
                    rows.append(
                        {
                            "call": call,
                            "dataset": name,
                            "load": load,
                            "team": t,
                            "one": o,
                            "ratio": t / o,
                        }
                    )
                print(f"# done {name} {load}", file=sys.stderr, flush=True)
        finally:
            if hog:
                hog.kill()
                hog.wait()
    return rows


# ---- the worker pool ----------------------------------------------------------------------

POOL_INPUT: dict = {}


def pool_setup(name: str) -> None:
    sys.path.insert(0, str(benchlib.ROOT / "scripts"))
    if name in hypergraphs.available_datasets():
        edges = hypergraphs.load_dataset(name)
    else:
        edges = hypergraphs.synthetic(100000, seed=5)
    POOL_INPUT["maps"] = hypergraphs.incidence_maps(edges)


def pool_task(_k: int) -> float:
    from cpp_functions.algorithms.centrality import compute_centralities

    node_dict, edge_dict = POOL_INPUT["maps"]
    return sum(compute_centralities(node_dict, edge_dict, 100, 0.0)[0].values())


def pool_seconds(name: str, one_thread: bool, calls: int, repeats: int) -> float:
    """Wall time of two spawned workers mapping `calls` centrality calls each."""
    saved = os.environ.pop("OMP_THREAD_LIMIT", None)
    if one_thread:
        os.environ["OMP_THREAD_LIMIT"] = "1"  # read by the workers' OpenMP runtime at start
    try:
        context = multiprocessing.get_context("spawn")
        with context.Pool(2, initializer=pool_setup, initargs=(name,)) as pool:
            pool.map(pool_task, range(2), chunksize=1)  # warm-up: both workers loaded
            times = []
            for _ in range(repeats):
                start = time.perf_counter()
                pool.map(pool_task, range(2 * calls), chunksize=1)
                times.append(time.perf_counter() - start)
    finally:
        os.environ.pop("OMP_THREAD_LIMIT", None)
        if saved is not None:
            os.environ["OMP_THREAD_LIMIT"] = saved
    return statistics.median(times)


def pool_rows(name: str, repeats: int) -> list[dict]:
    calls = 4
    team, one = [], []
    for _ in range(4):  # two rounds gave 1.05-1.12 for the same build
        team.append(pool_seconds(name, False, calls, repeats))
        one.append(pool_seconds(name, True, calls, repeats))
    t, o = statistics.median(team), statistics.median(one)
    return [{"dataset": name, "calls": calls, "team": t, "one": o, "ratio": t / o}]


def main(argv=None) -> tuple[list[dict], list[dict]]:
    args = benchlib.parse_args(__doc__, argv)
    print(f"# Under load; {benchlib.machine()}")
    available = [n for n in DATASETS if n in hypergraphs.available_datasets()]
    names = (available or ["synthetic-100000"])[: 1 if args.quick else None]
    rounds = 1 if args.quick else 3
    rows = call_rows(names, rounds, args.repeats)
    print(benchlib.table(rows, COLUMNS))
    pool = pool_rows(names[0], args.repeats)
    print(benchlib.table(pool, POOL_COLUMNS))
    benchlib.write_json(args.json, {"calls": rows, "pool": pool})
    return rows, pool


if __name__ == "__main__":
    main()
