"""Disturbance: each call on the module's team against the same call on one thread, in one
process, on a large hypergraph with random 31-bit ids (2e7 incidences by default).

- idle: the line graph at s = 2, centralities with 100 rounds and is_connected, team and one
  thread alternating; each run's wall time, team / one thread, process CPU time over wall time,
  and the jobs the call ran alone after stalls (a counter of the bench's phased build, which is
  otherwise the module);
- burst: two processes spin for 200 ms, starting 1 s into a centrality call, against the same
  call undisturbed;
- busy: another process keeps a core busy for the whole call; team against one thread.

One thread is the calling thread bound to the processor it runs on, which the OpenMP runtime
then counts as the only one (a call may set the thread-count setting itself, as
compute_centralities does); the binding is undone after each call. Ratios below 1 mean the team
is faster.

Writes its section of docs/benchmarks.md (kept there by make bench) unless --no-docs.

Run: make bench-disturb, or .venv/bin/python bench/bench_disturb.py [--size 2e7] [--runs 5]
         [--calls NAMES] [--no-docs]
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import statistics
import subprocess
import sys
import time

import benchlib  # puts scripts/ on the import path

# isort: split
import hypergraphs

PHASE_COLUMNS = [
    ("call", "call", ""),
    ("phase", "phase", ""),
    ("one", "1 thread s", ".3f"),
    ("team", "team s", ".3f"),
    ("speedup", "1 thread/team", ".2f"),
    ("share", "share of 1 thread", ".2f"),
    ("bound", "bound s+(1-s)/2", ".2f"),
    ("best", "best team/1 thread", ".2f"),
]
IDLE_COLUMNS = [
    ("call", "call", ""),
    ("run", "run", "d"),
    ("team", "team s", ".3f"),
    ("one", "1 thread s", ".3f"),
    ("ratio", "team/1 thread", ".2f"),
    ("cpu", "team CPU/wall", ".2f"),
    ("alone", "jobs alone", "d"),
]
LOAD_COLUMNS = [
    ("call", "call", ""),
    ("load", "disturbance", ""),
    ("team", "team s", ".3f"),
    ("base", "undisturbed team s", ".3f"),
    ("one", "1 thread s", ".3f"),
    ("cost", "cost s", ".3f"),
    ("ratio", "team/1 thread", ".2f"),
    ("alone", "jobs alone", "d"),
]

# Spins from an absolute time for a while; started before the call so that its own start-up
# is over when the call begins.
SPINNER = """
import sys, time
start, length = float(sys.argv[1]), float(sys.argv[2])
time.sleep(max(0.0, start - time.time()))
until = time.perf_counter() + length
while time.perf_counter() < until:
    pass
"""


class Marks:
    """The phased build's records: jobs run alone so far, and the phases of the last call."""

    def __init__(self):
        sys.path.insert(0, str(benchlib.KERNEL_BUILD / "phases"))
        import cpp_functions

        assert cpp_functions.__file__.startswith(str(benchlib.KERNEL_BUILD)), cpp_functions.__file__
        self.lib = ctypes.CDLL(cpp_functions.__file__)
        self.lib.jobs_alone.restype = ctypes.c_long
        self.lib.phase_name.restype = ctypes.c_char_p
        self.lib.phase_seconds.restype = ctypes.c_double

    def alone(self) -> int:
        return self.lib.jobs_alone()

    def phases(self, total: float) -> dict:
        seconds: dict = {}
        for k in range(self.lib.phase_count()):
            name = self.lib.phase_name(k).decode()
            seconds[name] = seconds.get(name, 0.0) + self.lib.phase_seconds(k)
        seconds["other"] = total - sum(seconds.values())
        return seconds


def calls(size: float):
    from cpp_functions.algorithms.centrality import compute_centralities
    from cpp_functions.algorithms.connected import is_connected
    from cpp_functions.convert.line_graph import compute_line_graph_edges

    node_dict, edge_dict, hyperedges = hypergraphs.scale_hypergraph(int(size), "random")
    # The input's millions of lists are young: the interpreter's first collections of them
    # (4-4.4 s each at 2e7) would land in whichever call allocates next.
    gc.freeze()
    gomp = ctypes.CDLL("libgomp.so.1")

    def with_threads(run):
        def call(one: bool):
            saved = os.sched_getaffinity(0)
            if one:
                os.sched_setaffinity(0, {os.sched_getaffinity(0).pop()})
                assert gomp.omp_get_num_procs() == 1
            try:
                return run()
            finally:
                os.sched_setaffinity(0, saved)

        return call

    return {
        "line graph s=2": with_threads(
            lambda: compute_line_graph_edges(hyperedges, 2, "absolute", 0)
        ),
        "centralities 100 rounds": with_threads(
            lambda: compute_centralities(node_dict, edge_dict, 100, 0.0)
        ),
        "is_connected": with_threads(lambda: is_connected(node_dict, edge_dict)),
    }


def timed(call, one: bool, marks: Marks) -> dict:
    before = marks.alone()
    marks.lib.phase_reset()
    cpu, start = time.process_time(), time.perf_counter()
    call(one)
    wall = time.perf_counter() - start
    return {
        "wall": wall,
        "cpu": (time.process_time() - cpu) / wall,
        "alone": marks.alone() - before,
        "phases": marks.phases(wall),
    }


def idle_rows(runs_of: dict, runs: int, marks) -> list[dict]:
    rows = []
    for name, call in runs_of.items():
        call(False)  # warm-up: pages of the input and the helpers in place
        for run in range(1, runs + 1):
            team = timed(call, False, marks)
            one = timed(call, True, marks)
            rows.append(
                {
                    "call": name,
                    "run": run,
                    "team": team["wall"],
                    "one": one["wall"],
                    "ratio": team["wall"] / one["wall"],
                    "cpu": team["cpu"],
                    "alone": team["alone"],
                    "team phases": team["phases"],
                    "one phases": one["phases"],
                }
            )
            print(f"# {name} run {run}: {rows[-1]['ratio']:.2f}", file=sys.stderr, flush=True)
    return rows


def phase_rows(idle: list[dict]) -> list[dict]:
    """Per call and phase, the median seconds on the team and on one thread; a phase that the
    team speeds up by less than 1.2x counts as serial. Per call, the serial share of the
    one-thread time and the bound it gives a team of two, s + (1 - s) / 2."""
    rows = []
    for name in dict.fromkeys(r["call"] for r in idle):
        runs = [r for r in idle if r["call"] == name]
        one_total = statistics.median(r["one"] for r in runs)
        serial = 0.0
        for phase in runs[0]["one phases"]:
            one = statistics.median(r["one phases"].get(phase, 0.0) for r in runs)
            team = statistics.median(r["team phases"].get(phase, 0.0) for r in runs)
            speedup = one / team if team > 0 else float("nan")
            if not speedup >= 1.2:
                serial += one
            rows.append(
                {
                    "call": name,
                    "phase": phase,
                    "one": one,
                    "team": team,
                    "speedup": speedup,
                    "share": one / one_total,
                }
            )
        share = serial / one_total
        best = min(r["ratio"] for r in runs)
        rows.append(
            {
                "call": name,
                "phase": "whole call",
                "one": one_total,
                "team": statistics.median(r["team"] for r in runs),
                "speedup": one_total / statistics.median(r["team"] for r in runs),
                "share": share,
                "bound": share + (1 - share) / 2,
                "best": best,
            }
        )
    return rows


def spinners(count: int, start: float, length: float) -> list[subprocess.Popen]:
    return [
        subprocess.Popen([sys.executable, "-c", SPINNER, str(start), str(length)])
        for _ in range(count)
    ]


def burst_row(call, name: str, idle: list[dict], marks: Marks) -> dict:
    """The middle of three calls with two spinners of 200 ms starting 1 s into each."""
    base = statistics.median(r["team"] for r in idle if r["call"] == name)
    one = statistics.median(r["one"] for r in idle if r["call"] == name)
    bursts = []
    for _ in range(3):
        procs = spinners(2, time.time() + 1.3, 0.2)
        time.sleep(0.3)  # the spinners' start-up, before the call
        bursts.append(timed(call, False, marks))
        for p in procs:
            p.wait()
    burst = sorted(bursts, key=lambda r: r["wall"])[1]
    return {
        "call": name,
        "load": "2 spin 200 ms at 1 s",
        "team": burst["wall"],
        "base": base,
        "one": one,
        "cost": burst["wall"] - base,
        "ratio": burst["wall"] / one,
        "alone": burst["alone"],
    }


def load_rows(runs_of: dict, idle: list[dict], marks: Marks) -> list[dict]:
    name = "centralities 100 rounds"
    rows = [burst_row(runs_of[name], name, idle, marks)] if name in runs_of else []
    for name, call in runs_of.items():
        hog = spinners(1, 0.0, 1e9)[0]
        try:
            time.sleep(0.3)
            team, single = [], []
            for _ in range(3):
                team.append(timed(call, False, marks))
                single.append(timed(call, True, marks))
        finally:
            hog.kill()
            hog.wait()
        t = statistics.median(r["wall"] for r in team)
        o = statistics.median(r["wall"] for r in single)
        rows.append(
            {
                "call": name,
                "load": "1 core busy",
                "team": t,
                "base": statistics.median(r["team"] for r in idle if r["call"] == name),
                "one": o,
                "cost": float("nan"),
                "ratio": t / o,
                "alone": int(statistics.median(r["alone"] for r in team)),
            }
        )
        print(f"# busy {name}: {t / o:.2f}", file=sys.stderr, flush=True)
    return rows


SAVED = benchlib.ROOT / "docs" / "disturbance.json"


def section(data: dict) -> str:
    """The disturbance section of docs/benchmarks.md."""
    idle = [{k: v for k, v in r.items() if "phases" not in k} for r in data["idle"]]
    return f"""## Disturbance at {data["size"]:.0e} incidences

Each call on the module's team against the same call on one thread, in one process, with
random 31-bit ids (`bench/bench_disturb.py`, `make bench-disturb`; {data["machine"]}). One
thread is the calling thread bound to one processor. "jobs alone" counts the jobs a call ran
alone after stalls (a counter of the bench's phased build). The input is frozen out of the
interpreter's collector once built: its first collections of the new lists (about 4 s each at
2e7) otherwise land in whichever call next allocates Python objects, ours or any other code.
Idle, team and one thread alternating:

```
{benchlib.table(idle, IDLE_COLUMNS)}
```

Phases, medians of the runs above; a phase the team speeds up by less than 1.2x counts as
serial, and the whole call's row gives the serial share s of its one-thread time with the bound
s + (1 - s) / 2 on team / one thread that it sets for two threads:

```
{benchlib.table(data["phases"], PHASE_COLUMNS)}
```

Disturbed: two processes spinning for 200 ms from 1 s into a centrality call (the middle of
three; "cost" is its time over the undisturbed median), and a core kept busy by another
process for the whole call (medians of three, team and one thread alternating):

```
{benchlib.table(data["loaded"], LOAD_COLUMNS)}
```
"""


def saved_section() -> str:
    """The section from the last make bench-disturb, for run_all.py's page; empty if none."""
    if not SAVED.exists():
        return ""
    body = section(json.loads(SAVED.read_text()))
    return f"<!-- disturbance: begin -->\n{body}<!-- disturbance: end -->\n"


def main(argv=None) -> tuple[list[dict], list[dict]]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=float, default=2e7)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--calls", help="comma-separated names, as in the tables (default all)")
    parser.add_argument("--no-docs", action="store_true", help="print only")
    args = parser.parse_args(argv)
    if not benchlib.build_kernels():
        sys.exit("the bench build (cmake, a compiler) is needed for the counter of jobs alone")
    marks = Marks()
    runs_of = calls(args.size)
    if args.calls:
        runs_of = {name: runs_of[name] for name in args.calls.split(",")}
    print(f"# Disturbance at {args.size:.0e} incidences, random ids; {benchlib.machine()}")
    idle = idle_rows(runs_of, args.runs, marks)
    print(benchlib.table(idle, IDLE_COLUMNS))
    phases = phase_rows(idle)
    print("# phases, medians; the whole call's share is that of its serial phases (< 1.2x)")
    print(benchlib.table(phases, PHASE_COLUMNS))
    loaded = load_rows(runs_of, idle, marks)
    print(benchlib.table(loaded, LOAD_COLUMNS))
    if not args.no_docs:
        data = {"size": args.size, "machine": benchlib.machine(), "idle": idle}
        data.update(phases=phases, loaded=loaded)
        SAVED.write_text(json.dumps(data, indent=1))
        benchlib.splice_section("disturbance", section(data))
    return idle, loaded


if __name__ == "__main__":
    main()
