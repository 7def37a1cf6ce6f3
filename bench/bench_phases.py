"""Where each call's time goes, phase by phase, on one thread and on the module's team.

The bench build compiles the module a second time with its phase marks recorded
(cpp_functions/runtime/phase_marks.hpp); this script imports that build in fresh processes, one with
OMP_THREAD_LIMIT=1 and one without, alternating, and reads the seconds of each phase after
every call. "other" is the rest of the call: matching the arguments and converting scalars.
"page faults" counts the process's minor faults in each phase of a one-thread call.

From the one-thread time T1 and the time Tn of a whole call on the module's team of n threads
(n as the OpenMP runtime reports it here), Amdahl's law gives the serial share
s = (n Tn / T1 - 1) / (n - 1) and, for p cores, a speed-up of 1 / (s + (1 - s) / p). Those
columns are projections, not measurements.

Run: .venv/bin/python bench/bench_phases.py [--quick] [--json FILE]
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys

import benchlib  # puts scripts/ on the import path

# isort: split
import hypergraphs

DATASETS = ("threads-ask-ubuntu", "congress-bills")
PROJECTED_CORES = (4, 8, 16, 64)
CALLS = {
    "is_connected": "is_connected(node_dict, edge_dict)",
    "arguments only": "compute_line_graph_edges(sets, 2**31 - 1, 'absolute', 0)",
    "centrality max_iter=0": "compute_centralities(node_dict, edge_dict, 0)",
    "centrality 100 rounds": "compute_centralities(node_dict, edge_dict, 100, 0.0)",
}
PHASE_COLUMNS = [
    ("call", "call", ""),
    ("dataset", "dataset", ""),
    ("phase", "phase", ""),
    ("one", "1 thread s", ".4f"),
    ("team", "team s", ".4f"),
    ("speedup", "1 thread/team", ".2f"),
    ("faults", "page faults", ".0f"),
]
AMDAHL_COLUMNS = [
    ("call", "call", ""),
    ("dataset", "dataset", ""),
    ("one", "1 thread s", ".4f"),
    ("team", "team s", ".4f"),
    ("speedup", "1 thread/team", ".2f"),
    ("serial", "serial share", ".2f"),
    *[(f"cores_{p}", f"{p} cores*", ".2f") for p in PROJECTED_CORES],
]

# Runs in a fresh process on the phased build: per call, the median over repeats of each
# phase's seconds (marks of one name added up within a call) and of the whole call.
WORKER = """
import ctypes, json, statistics, sys, time
sys.path.insert(0, {phases!r})
sys.path.insert(0, {scripts!r})
import cpp_functions
assert cpp_functions.__file__.startswith({phases!r}), cpp_functions.__file__
import hypergraphs
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges

marks = ctypes.CDLL(cpp_functions.__file__)
marks.phase_name.restype = ctypes.c_char_p
marks.phase_seconds.restype = ctypes.c_double
marks.phase_faults.restype = ctypes.c_long
name, repeats, calls = {name!r}, {repeats}, {calls!r}
if name in hypergraphs.available_datasets():
    edges = hypergraphs.load_dataset(name)
else:
    edges = hypergraphs.synthetic(100000, seed=5)
node_dict, edge_dict = hypergraphs.incidence_maps(edges)
sets = [set(e) for e in edges]
out = {{}}
for label, code in calls.items():
    call = eval("lambda: " + code)
    call()
    runs = []
    for _ in range(repeats):
        marks.phase_reset()
        start = time.perf_counter()
        call()
        total = time.perf_counter() - start
        phases, faults = {{}}, {{}}
        for k in range(marks.phase_count()):
            phase = marks.phase_name(k).decode()
            phases[phase] = phases.get(phase, 0.0) + marks.phase_seconds(k)
            faults["faults " + phase] = faults.get("faults " + phase, 0) + marks.phase_faults(k)
        phases["other"] = total - sum(phases.values())
        phases.update(faults)
        phases["whole call"] = total
        runs.append(phases)
    out[label] = {{p: statistics.median(r.get(p, 0.0) for r in runs) for p in runs[0]}}
print(json.dumps(out))
"""


def measure(name: str, repeats: int, rounds: int) -> dict:
    """{(label, limit): {phase: seconds}}, the median over alternating rounds."""
    phases_dir = str(benchlib.KERNEL_BUILD / "phases")
    code = WORKER.format(
        phases=phases_dir,
        scripts=str(benchlib.ROOT / "scripts"),
        name=name,
        repeats=repeats,
        calls=CALLS,
    )
    samples: dict = {}
    for _ in range(rounds):
        for limit in ("1", None):
            env = {k: v for k, v in os.environ.items() if k != "OMP_THREAD_LIMIT"}
            if limit:
                env["OMP_THREAD_LIMIT"] = limit
            out = subprocess.run(
                [sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True
            )
            for label, phases in json.loads(out.stdout).items():
                for phase, seconds in phases.items():
                    samples.setdefault((label, limit), {}).setdefault(phase, []).append(seconds)
    return {key: {p: statistics.median(v) for p, v in ph.items()} for key, ph in samples.items()}


def team_threads() -> int:
    """The team a call gets here: the thread-count setting, capped by the thread limit, the
    processors and the module's 64."""
    import ctypes

    gomp = ctypes.CDLL("libgomp.so.1")
    return min(
        gomp.omp_get_max_threads(), gomp.omp_get_thread_limit(), gomp.omp_get_num_procs(), 64
    )


def rows_for(name: str, measured: dict) -> tuple[list[dict], list[dict]]:
    phase_rows, amdahl_rows = [], []
    for label in CALLS:
        one, team = measured[(label, "1")], measured[(label, None)]
        for phase in one:
            if phase == "whole call" or phase.startswith("faults "):
                continue
            phase_rows.append(
                {
                    "call": label,
                    "dataset": name,
                    "phase": phase,
                    "one": one[phase],
                    "team": team.get(phase, 0.0),
                    "speedup": one[phase] / team[phase] if team.get(phase) else float("nan"),
                    "faults": one.get("faults " + phase, 0),
                }
            )
        t1, t2 = one["whole call"], team["whole call"]
        n = team_threads()
        serial = min(1.0, max(0.0, (n * t2 / t1 - 1) / (n - 1))) if n > 1 else float("nan")
        row = {"call": label, "dataset": name, "one": t1, "team": t2, "speedup": t1 / t2}
        row["serial"] = serial
        for p in PROJECTED_CORES:
            row[f"cores_{p}"] = 1 / (serial + (1 - serial) / p)
        amdahl_rows.append(row)
    return phase_rows, amdahl_rows


def main(argv=None) -> tuple[list[dict], list[dict]]:
    args = benchlib.parse_args(__doc__.splitlines()[0], argv)
    benchlib.build_kernels()
    names = [n for n in DATASETS if n in hypergraphs.available_datasets()] or ["synthetic"]
    repeats, rounds = (3, 1) if args.quick else (max(args.repeats, 9), 3)
    phase_rows, amdahl_rows = [], []
    for name in names[: 1 if args.quick else None]:
        p, a = rows_for(name, measure(name, repeats, rounds))
        phase_rows += p
        amdahl_rows += a
    print(f"# {benchlib.machine()}; per phase, medians")
    print(benchlib.table(phase_rows, PHASE_COLUMNS))
    print(f"# whole calls; * Amdahl projections from a team of {team_threads()}, not measurements")
    print(benchlib.table(amdahl_rows, AMDAHL_COLUMNS))
    benchlib.write_json(args.json, {"phases": phase_rows, "amdahl": amdahl_rows})
    return phase_rows, amdahl_rows


if __name__ == "__main__":
    main()
