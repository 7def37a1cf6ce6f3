"""Inputs built to be slow against inputs of the same size with spread values.

- Colliding keys: dict keys (and member ids) that share buckets of the native hash map the
  conversion mimics: multiples of the bucket count libstdc++ gives reserve(n).
- Crafted member sets: two-member edges whose member-set hashes, as a fixed sum of mixed
  member indices, would share their low bits and so one probe run of the table that merges
  equal sets.
- Set subclasses (converted element by element, repeats dropped) holding colliding members.

Each row times one function on the crafted input and on the spread one, interleaved, and
reports crafted / spread (1.0 means no difference).

Run: .venv/bin/python bench/bench_collisions.py [--quick] [--json FILE]
"""

from __future__ import annotations

import random

import benchlib  # puts scripts/ on the import path

# isort: split
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges

# Bucket counts of std::unordered_map::reserve(n) in libstdc++ (checked by the tests' order
# helper against real maps).
BUCKETS = {20000: 20753, 200000: 202409}
MASK = (1 << 64) - 1
COLUMNS = [
    ("function", "function", ""),
    ("input", "input", ""),
    ("size", "size", ","),
    ("crafted", "crafted s", ".4f"),
    ("plain", "spread s", ".4f"),
    ("ratio", "crafted/spread", ".2f"),
]


def colliding_keys(n: int) -> list[int]:
    """n distinct int32 keys in as few buckets of a map reserved for n as int32 allows."""
    buckets = BUCKETS[n]
    per_residue = min(n, (2**31 - 1) // buckets)
    keys = []
    for residue in range(n):
        keys += [
            residue + buckets * k for k in range(-per_residue // 2, per_residue - per_residue // 2)
        ]
        if len(keys) >= n:
            return keys[:n]
    return keys


def spread_keys(keys: list[int], rng: random.Random) -> list[int]:
    """As many keys drawn from the same range (ints of the same magnitudes convert alike)."""
    return rng.sample(range(min(keys), max(keys) + 1), len(keys))


def pair_hypergraph(node_keys, edge_keys, rng: random.Random):
    """Random two-member edges over the nodes: (node_dict, edge_dict, hyperedges)."""
    edge_dict = {e: set(rng.sample(node_keys, 2)) for e in edge_keys}
    node_dict = {v: set() for v in node_keys}
    for e, members in edge_dict.items():
        for v in members:
            node_dict[v].add(e)
    return node_dict, edge_dict, list(edge_dict.values())


class MemberSet(set):
    """A set subclass: the conversion iterates it and drops repeated values itself."""


def mix(k: int) -> int:
    k ^= k >> 33
    k = (k * 0xFF51AFD7ED558CCD) & MASK
    k ^= k >> 33
    k = (k * 0xC4CEB9FE1A85EC53) & MASK
    return k ^ (k >> 33)


def crafted_pairs(m: int, num_nodes: int) -> list[tuple[int, int]]:
    """m distinct pairs of node indices whose sums mix(a + 1) + mix(b + 1) agree in the bits
    that pick a slot of a table of at least 2m slots."""
    capacity = 16
    while capacity < 2 * m:
        capacity *= 2
    low = [mix(k + 1) % capacity for k in range(num_nodes)]
    by_low: dict[int, list[int]] = {}
    for k, bits in enumerate(low):
        by_low.setdefault(bits, []).append(k)
    pairs = []
    for a in range(num_nodes):
        for b in by_low.get((-low[a]) % capacity, ()):
            if b > a:
                pairs.append((a, b))
                if len(pairs) == m:
                    return pairs
    return pairs


def crafted_sets(m: int, rng: random.Random):
    """Crafted and random two-member edges over the nodes 0 .. N-1; a map reserved for N
    holds these keys in distinct buckets, so node index i is key N - 1 - i."""
    num_nodes = 4 * m
    node_dict = {v: set() for v in range(num_nodes)}
    crafted = {
        e: {num_nodes - 1 - a, num_nodes - 1 - b}
        for e, (a, b) in enumerate(crafted_pairs(m, num_nodes))
    }
    spread = {e: set(rng.sample(range(num_nodes), 2)) for e in range(len(crafted))}
    return node_dict, crafted, spread


def rows_for(n: int, repeats: int) -> list[dict]:
    rng = random.Random(n)
    collide = colliding_keys(n)
    spread = spread_keys(collide, rng)
    # The same random structure over both key sets.
    structure = random.Random(7)
    crafted_graph = pair_hypergraph(collide, collide, random.Random(7))
    spread_graph = pair_hypergraph(spread, spread, structure)
    calls = {
        "is_connected": lambda g: is_connected(g[0], g[1]),
        "compute_centralities": lambda g: compute_centralities(g[0], g[1], 20, 0.0),
        "compute_line_graph_edges": lambda g: compute_line_graph_edges(g[2], 1, "absolute", 0),
    }
    rows = []
    for name, call in calls.items():
        times = benchlib.interleaved(
            {"crafted": lambda c=call: c(crafted_graph), "plain": lambda c=call: c(spread_graph)},
            repeats,
        )
        rows.append(
            {"function": name, "input": "colliding keys", "size": n, **benchlib.medians(times)}
        )
    # One set subclass of n members, against the same with spread members.
    subclass_sets = {
        "crafted": [MemberSet(collide), MemberSet(collide[:2])],
        "plain": [MemberSet(spread), MemberSet(spread[:2])],
    }
    times = benchlib.interleaved(
        {
            k: lambda v=v: compute_line_graph_edges(v, 1, "absolute", 0)
            for k, v in subclass_sets.items()
        },
        repeats,
    )
    rows.append(
        {
            "function": "compute_line_graph_edges",
            "input": "set subclass, colliding",
            "size": n,
            **benchlib.medians(times),
        }
    )
    node_dict, crafted, random_sets = crafted_sets(n, rng)
    times = benchlib.interleaved(
        {
            "crafted": lambda: compute_centralities(node_dict, crafted, 20, 0.0),
            "plain": lambda: compute_centralities(node_dict, random_sets, 20, 0.0),
        },
        repeats,
    )
    rows.append(
        {
            "function": "compute_centralities",
            "input": "crafted member sets",
            "size": len(crafted),
            **benchlib.medians(times),
        }
    )
    for row in rows:
        row["ratio"] = row["crafted"] / row["plain"]
    return rows


def main(argv=None) -> list[dict]:
    args = benchlib.parse_args(__doc__, argv)
    print(f"# Crafted against spread inputs; {benchlib.machine()}")
    print("# medians of", args.repeats, "runs")
    rows = []
    for n in (20000,) if args.quick else (20000, 200000):
        rows += rows_for(n, args.repeats)
    print(benchlib.table(rows, COLUMNS))
    benchlib.write_json(args.json, rows)
    return rows


if __name__ == "__main__":
    main()
