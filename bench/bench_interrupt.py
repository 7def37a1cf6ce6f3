"""How soon a long call stops after SIGINT: the time from the signal, sent by this process to
a child 0.2 s into the call, to KeyboardInterrupt in the child. Medians and maxima.

Run: .venv/bin/python bench/bench_interrupt.py [--repeats N]
"""

from __future__ import annotations

import argparse
import signal
import statistics
import subprocess
import sys
import time

CHILD = """
import sys, time
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.convert.line_graph import compute_line_graph_edges


class Lazy(list):
    pass


overlapping = [set(range(2000))] * 3000
ring = {v: {v, (v + 1) % 50} for v in range(50)}
huge_input = Lazy([frozenset()] * 30_000_000)
call = {
    "line graph kernel": lambda: compute_line_graph_edges(overlapping, 1, "absolute", 2),
    "centrality, tol=0": lambda: compute_centralities(ring, ring, 2**31 - 1, 0.0),
    "argument conversion": lambda: compute_line_graph_edges(huge_input, 1, "absolute", 2),
}[sys.argv[1]]
print("ready", flush=True)
sys.stdin.readline()
try:
    call()
except KeyboardInterrupt:
    print(time.monotonic(), flush=True)
"""
CASES = ("line graph kernel", "centrality, tol=0", "argument conversion")


def latency(case: str) -> float:
    with subprocess.Popen(
        [sys.executable, "-c", CHILD, case],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    ) as child:
        child.stdout.readline()
        child.stdin.write("go\n")
        child.stdin.flush()
        time.sleep(0.2)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        stopped = float(child.stdout.readline())
        child.wait()
    return stopped - sent


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args(argv)
    print(f"# SIGINT 0.2 s into a long call; {args.repeats} runs each")
    for case in CASES:
        times = [latency(case) for _ in range(args.repeats)]
        print(
            f"{case:20s}  median {statistics.median(times) * 1e3:6.1f} ms  "
            f"max {max(times) * 1e3:6.1f} ms"
        )


if __name__ == "__main__":
    main()
