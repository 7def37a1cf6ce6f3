"""Timing, machine facts and table printing shared by the benchmark scripts."""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "scripts"))


KERNEL_BUILD = ROOT / "build" / "bench"


def measure(run, repeats: int = 5) -> dict:
    """Median, min and max seconds of `repeats` runs after one warm-up; garbage collection is
    left on, as a user has it."""
    run()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
        del result
    return {"median": statistics.median(times), "min": min(times), "max": max(times)}


def interleaved(runs: dict, repeats: int = 5) -> dict:
    """Like measure, for several contenders, alternating them round by round so that machine
    noise hits all alike."""
    for run in runs.values():
        run()
    times = {name: [] for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            gc.collect()
            start = time.perf_counter()
            result = run()
            times[name].append(time.perf_counter() - start)
            del result
    return {
        name: {"median": statistics.median(t), "min": min(t), "max": max(t)}
        for name, t in times.items()
    }


def medians(times: dict) -> dict:
    """Row fields from interleaved(): each contender's median, and every min/max as 'spread'."""
    return {
        **{name: t["median"] for name, t in times.items()},
        "spread": {name: (t["min"], t["max"]) for name, t in times.items()},
    }


def set_threads(count: int) -> None:
    ctypes.CDLL("libgomp.so.1").omp_set_num_threads(count)


def machine() -> str:
    compiler = subprocess.run(["g++", "--version"], capture_output=True, text=True).stdout
    return (
        f"{os.cpu_count()} cores, Python {platform.python_version()}, "
        f"{compiler.splitlines()[0] if compiler else 'g++ ?'}, libgomp"
    )


def build_kernels() -> bool:
    """Configures and builds the stand-alone kernel timers; False if that is not possible."""
    import pybind11

    configure = [
        "cmake",
        "-S",
        str(ROOT),
        "-B",
        str(KERNEL_BUILD),
        "-DCMAKE_BUILD_TYPE=Release",
        "-DCPP_FUNCTIONS_BENCH=ON",
        f"-DPython_EXECUTABLE={sys.executable}",
        f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
    ]
    try:
        subprocess.run(configure, check=True, capture_output=True)
        subprocess.run(
            [
                "cmake",
                "--build",
                str(KERNEL_BUILD),
                "-j2",
                "--target",
                "line_graph_kernel",
                "centrality_kernel",
                "connected_kernel",
                "walk_floor",
                "phased_module",
            ],
            check=True,
            capture_output=True,
            text=True,
        )
    except subprocess.CalledProcessError as error:
        # A report without the kernel columns would hide the failure: stop here.
        raise SystemExit(f"kernel timers did not build:\n{error.stdout}{error.stderr}") from None
    except OSError as error:
        print(f"# kernel timers not built: {error}", file=sys.stderr)
        return False
    return True


def run_kernel(program: str, data_dir: Path, *args, one_core: bool = False) -> dict | None:
    """Runs a stand-alone kernel timer; one_core pins it to a single processor."""
    binary = KERNEL_BUILD / program
    if not binary.exists():
        return None
    pin = ["taskset", "-c", "0"] if one_core else []
    out = subprocess.run(
        [*pin, str(binary), str(data_dir), *map(str, args)],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(out.stdout)


def table(rows: list[dict], columns: list[tuple[str, str, str]]) -> str:
    """Fixed-width text table; columns are (key, header, format)."""
    cells = [[header for _, header, _ in columns]]
    for row in rows:
        cells.append(
            ["-" if row.get(key) is None else format(row[key], fmt) for key, _, fmt in columns]
        )
    widths = [max(len(r[i]) for r in cells) for i in range(len(columns))]
    lines = ["  ".join(c.rjust(w) for c, w in zip(r, widths, strict=True)) for r in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def markdown_table(rows: list[dict], columns: list[tuple[str, str, str]]) -> str:
    header = "| " + " | ".join(h for _, h, _ in columns) + " |"
    rule = "|" + "|".join("---:" for _ in columns) + "|"
    body = [
        "| "
        + " | ".join("-" if r.get(k) is None else format(r[k], f) for k, _, f in columns)
        + " |"
        for r in rows
    ]
    return "\n".join([header, rule, *body])


def parse_args(description: str, argv=None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--quick", action="store_true", help="small synthetic series only")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--json")
    return parser.parse_args(argv)


def run_cases(title: str, args, cases, run_case) -> list[dict]:
    """Prints the header, builds the kernel timers, and runs run_case(name, data_dir, edges,
    ...) over cases(quick, scratch), which yields (name, data_dir, edges, extra arguments)."""
    print(f"# {title}; {machine()}")
    print("# medians of", args.repeats, "runs")
    build_kernels()
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        for name, data_dir, edges, *extra in cases(args.quick, Path(scratch)):
            for more in extra or [()]:
                rows.append(run_case(name, data_dir, edges, *more, args.repeats))
                print(f"# done {name} {more}", file=sys.stderr, flush=True)
    return rows


def write_json(path: str | None, payload) -> None:
    if path:
        Path(path).write_text(json.dumps(payload, indent=1))


def overlaps(hyperedges, s: int) -> tuple[int, int]:
    """Sum over members of C(deg, 2), deg counted among hyperedges of at least s members, and
    the visits of the new build's walk by its rule for s >= 2: the (at most 32) members held
    most often, each by more than 64, are heavy; a heavy member's list keeps its holders with
    at least s heavy members; kept where that at least halves the visits."""
    import numpy as np

    sizes = np.fromiter(map(len, hyperedges), np.int64, len(hyperedges))
    kept = np.flatnonzero(sizes >= s)
    flat = np.fromiter((v for k in kept.tolist() for v in hyperedges[k]), np.int64)
    owner = np.repeat(np.arange(len(kept)), sizes[kept])
    _, slot, degrees = np.unique(flat, return_inverse=True, return_counts=True)
    full = int((degrees * (degrees - 1) // 2).sum())
    above = np.flatnonzero(degrees > 64)
    if s < 2 or len(above) == 0:
        return full, full
    top = above[np.argsort(degrees[above])[::-1]]
    if len(top) > 32:
        threshold = degrees[top[32]]
        top = top[degrees[top] > threshold]
    heavy = np.zeros(len(degrees), bool)
    heavy[top] = True
    heavy_counts = np.bincount(owner, weights=heavy[slot], minlength=len(kept))
    rich = heavy_counts[owner] >= s
    rich_degrees = np.bincount(slot[heavy[slot] & rich], minlength=len(degrees))[top]
    light = degrees[~heavy]
    visits = int((light * (light - 1) // 2).sum() + (rich_degrees * (rich_degrees - 1) // 2).sum())
    return full, visits if 2 * visits <= full else full


def splice_section(name: str, body: str) -> str:
    """Puts `body` between the markers of section `name` in docs/benchmarks.md (at the end if
    they are missing); returns the marked block, for run_all.py's page."""
    begin, end = f"<!-- {name}: begin -->", f"<!-- {name}: end -->"
    block = f"{begin}\n{body}{end}"
    page = ROOT / "docs" / "benchmarks.md"
    text = page.read_text() if page.exists() else "# Benchmarks\n"
    if begin in text:
        head, rest = text.split(begin, 1)
        text = head + block + rest.split(end, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    page.write_text(text)
    return block
