"""Hypergraph inputs for the demo, the benchmarks and the tests.

Real datasets are read in place from the shared data folder beside the repository (or from
$CPP_FUNCTIONS_DATA); a seeded synthetic generator stands in where that folder is absent.
"""

from __future__ import annotations

import gzip
import os
import random
from collections.abc import Sequence
from pathlib import Path

DATA_DIR = Path(
    os.environ.get("CPP_FUNCTIONS_DATA", Path(__file__).resolve().parents[2] / "shared" / "data")
)
DATASETS = (
    "email-Enron",
    "NDC-classes",
    "contact-primary-school",
    "threads-ask-ubuntu",
    "congress-bills",
)


def dataset_path(name: str) -> Path:
    return DATA_DIR / name


def available_datasets() -> list[str]:
    return [name for name in DATASETS if (dataset_path(name) / f"{name}-nverts.txt.gz").exists()]


def _read_ints(path: Path) -> list[int]:
    with gzip.open(path, "rb") as f:
        return [int(x) for x in f.read().split()]


def load_dataset(name: str) -> list[list[int]]:
    """Hyperedges of a dataset in file order, repeats included, as member lists."""
    folder = dataset_path(name)
    sizes = _read_ints(folder / f"{name}-nverts.txt.gz")
    members = _read_ints(folder / f"{name}-simplices.txt.gz")
    hyperedges, start = [], 0
    for size in sizes:
        hyperedges.append(members[start : start + size])
        start += size
    return hyperedges


def synthetic(
    num_edges: int, seed: int = 0, num_nodes: int | None = None, popularity: float = 0.6
) -> list[list[int]]:
    """Seeded hypergraph with heavy-tailed hyperedge sizes and node degrees.

    Sizes follow a Pareto tail (most hyperedges have 1 to 4 members, a few have hundreds);
    members are drawn with Zipf-like popularity, so a few nodes sit in many hyperedges.
    """
    rng = random.Random(seed)
    num_nodes = num_nodes or max(16, num_edges)
    weights = [1.0 / (rank + 1) ** popularity for rank in range(num_nodes)]
    cumulative, total = [], 0.0
    for w in weights:
        total += w
        cumulative.append(total)
    labels = list(range(1, num_nodes + 1))
    rng.shuffle(labels)
    max_size = min(num_nodes, 500)
    hyperedges = []
    for _ in range(num_edges):
        size = min(max_size, int(rng.paretovariate(1.6)))
        picked = rng.choices(labels, cum_weights=cumulative, k=size)
        hyperedges.append(list(dict.fromkeys(picked)))
    return hyperedges


def distinct(hyperedges: Sequence[Sequence[int]]) -> list[list[int]]:
    """Hyperedges with repeated member sets removed, first occurrence kept."""
    seen, kept = set(), []
    for edge in hyperedges:
        key = frozenset(edge)
        if key not in seen:
            seen.add(key)
            kept.append(list(edge))
    return kept


def incidence_maps(
    hyperedges: Sequence[Sequence[int]],
) -> tuple[dict[int, set[int]], dict[int, set[int]]]:
    """(node_dict, edge_dict) with edge id = position in the list."""
    edge_dict = {e: set(members) for e, members in enumerate(hyperedges)}
    node_dict: dict[int, set[int]] = {}
    for e, members in edge_dict.items():
        for v in members:
            node_dict.setdefault(v, set()).add(e)
    return node_dict, edge_dict


def default_input(name: str | None, synthetic_edges: int = 20000) -> tuple[str, list[list[int]]]:
    """The named dataset if it can be read, else the synthetic stand-in, with a label."""
    if name and name in available_datasets():
        return name, load_dataset(name)
    label = f"synthetic ({synthetic_edges} hyperedges, seed 0; no dataset at {DATA_DIR})"
    return label, synthetic(synthetic_edges)


def write_dataset(hyperedges: Sequence[Sequence[int]], folder: Path, name: str) -> Path:
    """Writes hyperedges in the datasets' gzip format under folder/name, for the C++ timers."""
    target = folder / name
    target.mkdir(parents=True, exist_ok=True)
    with gzip.open(target / f"{name}-nverts.txt.gz", "wt", compresslevel=1) as f:
        f.write("\n".join(str(len(e)) for e in hyperedges) + "\n")
    with gzip.open(target / f"{name}-simplices.txt.gz", "wt", compresslevel=1) as f:
        f.write("\n".join(str(v) for e in hyperedges for v in e) + "\n")
    return target
