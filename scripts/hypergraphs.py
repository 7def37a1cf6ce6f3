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


ID_LAYOUTS = ("contiguous", "random", "spread")


def scale_arrays(incidences: int, layout: str, seed: int = 0):
    """A seeded hypergraph of about `incidences` incidences as NumPy arrays, built without
    Python loops: (edge_ids, offsets, members, node_ids), edge k holding
    members[offsets[k]:offsets[k + 1]].

    Sizes are floor(Pareto(1.6)) + 1 capped at 500 (at least two members, about 3.3 on
    average), members are drawn with popularity 1/rank^0.6 from 0.56 labels per hyperedge,
    repeats within a hyperedge dropped. Ids follow `layout`: "contiguous" (a shuffled 0..n-1),
    "random" (distinct random 31-bit values, like hashed keys) or "spread" (7k + 11).
    """
    import numpy as np

    rng = np.random.default_rng(seed)
    m = max(1, int(incidences / 3.25))
    labels = max(2, int(m * 0.56))
    sizes = np.minimum(np.floor(rng.pareto(1.6, m) + 1) + 1, 500).astype(np.int64)
    # Rank r is drawn with probability about r^-0.6: the inverse of its cumulative r^0.4.
    ranks = np.minimum((labels * rng.random(int(sizes.sum())) ** 2.5).astype(np.int64), labels - 1)
    draws = rng.permutation(labels)[ranks]
    pairs = np.sort(np.repeat(np.arange(m, dtype=np.int64), sizes) * labels + draws)
    pairs = pairs[np.r_[True, pairs[1:] != pairs[:-1]]]
    edge, node = np.divmod(pairs, labels)
    used = np.zeros(labels, np.int64)
    used[node] = 1
    node = (np.cumsum(used) - 1)[node]
    offsets = np.zeros(m + 1, np.int64)
    np.cumsum(np.bincount(edge, minlength=m), out=offsets[1:])

    def ids(count: int):
        if layout == "contiguous":
            return rng.permutation(count)
        if layout == "spread":
            return rng.permutation(count) * 7 + 11
        if layout != "random":
            raise ValueError(f"unknown id layout {layout!r}")
        values = np.sort(rng.integers(0, 2**31, int(count * 1.05) + 16))
        values = values[np.r_[True, values[1:] != values[:-1]]]
        rng.shuffle(values)
        return values[:count]

    node_ids = ids(int(used.sum()))
    return ids(m), offsets, node_ids[node], node_ids


def scale_hypergraph(incidences: int, layout: str, seed: int = 0):
    """(node_dict, edge_dict, hyperedges) of scale_arrays() (of hub_arrays() with random ids for
    layout "hubs"): edge_dict in edge order, node_dict in a shuffled order, hyperedges the sets
    of edge_dict as a list. Every id is an int object of its own, as from a database or a NumPy
    column."""
    import gc

    import numpy as np

    if layout == "hubs":  # random ids, with hubs added
        edge_ids, offsets, members, _ = hub_arrays(incidences, "random", seed)
    else:
        edge_ids, offsets, members, _ = scale_arrays(incidences, layout, seed)
    collecting = gc.isenabled()
    gc.disable()  # millions of new containers would start collections that find nothing
    try:
        flat, bounds = members.tolist(), offsets.tolist()
        edge_sets = map(set, map(flat.__getitem__, map(slice, bounds[:-1], bounds[1:])))
        edge_dict = dict(zip(edge_ids.tolist(), edge_sets, strict=True))
        del flat
        by_node = np.argsort(members, kind="stable")
        lister = np.repeat(edge_ids, np.diff(offsets))[by_node].tolist()
        sorted_members = members[by_node]
        starts = np.flatnonzero(np.r_[True, sorted_members[1:] != sorted_members[:-1]])
        ends = np.r_[starts[1:], len(by_node)]
        shuffle = np.random.default_rng(seed + 1).permutation(len(starts))
        node_sets = map(
            set,
            map(lister.__getitem__, map(slice, starts[shuffle].tolist(), ends[shuffle].tolist())),
        )
        node_dict = dict(zip(sorted_members[starts][shuffle].tolist(), node_sets, strict=True))
    finally:
        if collecting:
            gc.enable()
    return node_dict, edge_dict, list(edge_dict.values())


def hub_arrays(incidences: int, layout: str, seed: int = 0, hubs: int = 24, share: float = 0.02):
    """scale_arrays() with `hubs` extra members that many hyperedges hold: a `share` of the
    hyperedges gets one hub (hub r drawn with weight 1/sqrt(r + 1), so at 2e7 incidences the
    first holds about 3e4 hyperedges), a hundredth of that share two to four, and one in 20,000
    hyperedges of two to five hubs only is appended. Hub ids follow `layout` like the other
    ids, distinct from them. Same return value as scale_arrays()."""
    import numpy as np

    edge_ids, offsets, members, node_ids = scale_arrays(incidences, layout, seed)
    rng = np.random.default_rng(seed + 7)
    m = len(offsets) - 1

    def fresh_ids(count, taken):  # of the same layout, below 2^31, none of them in taken
        if layout != "random":
            return np.arange(count, dtype=np.int64) + max(taken) + 1
        taken, fresh = set(taken), []
        while len(fresh) < count:
            candidate = int(rng.integers(0, 2**31))
            if candidate not in taken:
                taken.add(candidate)
                fresh.append(candidate)
        return np.array(fresh, np.int64)

    hub_ids = fresh_ids(hubs, node_ids.tolist())
    weights = 1 / np.sqrt(np.arange(1, hubs + 1))
    weights /= weights.sum()
    counts = np.zeros(m, np.int64)
    counts[rng.random(m) < share] = 1
    several = rng.random(m) < share / 100
    counts[several] = rng.integers(2, 5, int(several.sum()))
    only = max(1, m // 20000)
    only_counts = rng.integers(2, 6, only)
    parts_edges, parts = [], []
    for k in np.flatnonzero(counts):  # distinct hubs per hyperedge
        parts_edges.append(k)
        parts.append(hub_ids[rng.choice(hubs, counts[k], replace=False, p=weights)])
    sizes = np.diff(offsets)
    new_sizes = sizes.copy()
    new_sizes[parts_edges] += counts[parts_edges]
    new_sizes = np.r_[new_sizes, only_counts]
    new_offsets = np.zeros(len(new_sizes) + 1, np.int64)
    np.cumsum(new_sizes, out=new_offsets[1:])
    new_members = np.empty(new_offsets[-1], np.int64)
    starts = new_offsets[:m]
    own = np.repeat(starts, sizes) + (np.arange(len(members)) - np.repeat(offsets[:-1], sizes))
    new_members[own] = members
    for k, extra in zip(parts_edges, parts, strict=True):
        new_members[new_offsets[k] + sizes[k] : new_offsets[k + 1]] = extra
    for q, count in enumerate(only_counts):
        new_members[new_offsets[m + q] : new_offsets[m + q + 1]] = hub_ids[
            rng.choice(hubs, count, replace=False, p=weights)
        ]
    extra_edge_ids = fresh_ids(only, edge_ids.tolist())
    return np.r_[edge_ids, extra_edge_ids], new_offsets, new_members, np.r_[node_ids, hub_ids]


def hub_hyperedges(incidences: int, layout: str, seed: int = 0) -> list[set[int]]:
    """The hyperedges of hub_arrays() as a list of sets."""
    _, offsets, members, _ = hub_arrays(incidences, layout, seed)
    flat, bounds = members.tolist(), offsets.tolist()
    return list(map(set, map(flat.__getitem__, map(slice, bounds[:-1], bounds[1:]))))


def scale_hyperedges(incidences: int, layout: str, seed: int = 0) -> list[set[int]]:
    """The hyperedges of scale_arrays() as a list of sets (the line graph's input alone)."""
    _, offsets, members, _ = scale_arrays(incidences, layout, seed)
    flat, bounds = members.tolist(), offsets.tolist()
    return list(map(set, map(flat.__getitem__, map(slice, bounds[:-1], bounds[1:]))))
