"""Largest gap between interruption polls, and a raising handler's latency, for each call on
scale inputs with random ids.

Gaps: an interval timer of 0.2 ms with a handler that only stamps the time; the call runs the
handler at each poll that finds the signal pending, so the largest distance between stamps
(call start and end included) bounds the largest gap between polls, plus 0.2 ms. Printed: the
median over the runs of each run's largest gap, and the largest; a run that the machine
disturbs (a slow run, with its pages or its processor taken away for tens of milliseconds)
shows in the largest alone. Latency: a
one-shot timer aimed into the middle of the largest gap, whose handler raises; the time from
its firing to the exception reaching the caller.

With --phases, runs on the bench build's phased module (bench/benchlib.py builds it) and
names the phase each largest gap falls in.

Run: .venv/bin/python bench/poll_gaps.py [--sizes 1e6,2e7] [--repeats 3] [--phases]
"""

from __future__ import annotations

import argparse
import gc
import os
import signal
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
if "--phases" in sys.argv:
    sys.path.insert(0, os.path.join(HERE, "..", "build", "bench", "phases"))

import hypergraphs  # noqa: E402
from cpp_functions.algorithms.centrality import compute_centralities  # noqa: E402
from cpp_functions.algorithms.connected import is_connected  # noqa: E402
from cpp_functions.convert.line_graph import compute_line_graph_edges  # noqa: E402

TICK = 0.0002


class Deadline(Exception):
    pass


def phase_at(offset):
    """The phase of the phased build that was running `offset` s into the last call."""
    import ctypes

    import cpp_functions

    marks = ctypes.CDLL(cpp_functions.__file__)
    marks.phase_name.restype = ctypes.c_char_p
    marks.phase_seconds.restype = ctypes.c_double
    elapsed = 0.0
    for k in range(marks.phase_count()):
        elapsed += marks.phase_seconds(k)
        if elapsed >= offset:
            return marks.phase_name(k).decode()
    return "after the last mark"


def reset_phases():
    import ctypes

    import cpp_functions

    ctypes.CDLL(cpp_functions.__file__).phase_reset()


def stamped(call, phases=False):
    """(largest gap in s, its start relative to the call's start, call length in s, phase)."""
    if phases:
        reset_phases()
    stamps = []
    previous = signal.signal(signal.SIGALRM, lambda *_: stamps.append(time.perf_counter()))
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, TICK, TICK)
    result = None
    try:
        result = call()  # kept past `end`: freeing it is not the call's
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        end = time.perf_counter()
        signal.signal(signal.SIGALRM, previous)
    del result
    points = [start, *(s for s in stamps if start <= s <= end), end]
    gap, at = max((b - a, a - start) for a, b in zip(points, points[1:], strict=False))
    return gap, at, end - start, phase_at(at + gap / 2) if phases else ""


def latency(call, at):
    """Time from a one-shot raising timer fired `at` s into the call to the exception."""

    running = [True]

    def deadline(signum, frame):
        if running[0]:
            raise Deadline

    previous = signal.signal(signal.SIGALRM, deadline)
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, at)
    result = None
    try:
        result = call()
        running[0] = False
        caught = None  # ended before the timer fired
    except Deadline:
        caught = time.perf_counter()
    finally:
        running[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, previous)
    del result
    return None if caught is None else caught - (start + at)


def calls(size):
    node_dict, edge_dict, hyperedges = hypergraphs.scale_hypergraph(size, "random")
    eighth = hyperedges[: len(hyperedges) // 8]  # s = 1 on all of them would not fit memory
    return {
        "line graph s=2": lambda: compute_line_graph_edges(hyperedges, 2, "absolute", 0),
        "line graph s=1": lambda: compute_line_graph_edges(eighth, 1, "absolute", 0),
        "centralities max_iter=0": lambda: compute_centralities(node_dict, edge_dict, 0),
        "centralities 3 rounds": lambda: compute_centralities(node_dict, edge_dict, 3, 0.0),
        "is_connected": lambda: is_connected(node_dict, edge_dict),
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", default="1e6,2e7")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--phases", action="store_true")
    args = parser.parse_args(argv)
    gc.disable()
    print(
        f"# largest gap between polls (0.2 ms stamps) and a raising handler's latency, "
        f"{args.repeats} runs each; ms"
    )
    print(
        f"{'incidences':>10s}  {'call':24s} {'length':>8s} {'gap median':>10s} {'max':>8s} "
        f"{'at':>8s} {'latency median':>15s} {'max':>7s}"
    )
    for size in (int(float(s)) for s in args.sizes.split(",")):
        for name, call in calls(size).items():
            measured = [stamped(call, args.phases) for _ in range(args.repeats)]
            gap, at, length, phase = max(measured)
            typical = statistics.median(g for g, _, _, _ in measured)
            late = [latency(call, a + g / 2) for g, a, _, _ in measured]
            late = [x for x in late if x is not None] or [float("nan")]
            ms = [x * 1e3 for x in (length, typical, gap, at, statistics.median(late), max(late))]
            print(
                f"{size:10.0e}  {name:24s} {ms[0]:8.0f} {ms[1]:10.1f} {ms[2]:8.1f} {ms[3]:8.0f} "
                f"{ms[4]:15.1f} {ms[5]:7.1f}  {phase}",
                flush=True,
            )
            gc.collect()


if __name__ == "__main__":
    main()
