"""Ids from anywhere: the same hypergraph under different id layouts, on inputs large enough
for the team and the hashed index, against models that never look at an id's value."""

import random

import hypergraphs
import numpy as np
import pytest
import scipy.sparse as sp
from conftest import THREAD_COUNTS
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges
from models import centrality_model, reachable_model, union_find_connected


def random_labels(count, rng):
    return rng.sample(range(2**31), count)


# How a layout names entity k of `count`: each gives distinct 32-bit ids.
LAYOUTS = {
    "numbered": lambda count, rng: list(range(count)),
    "random 31-bit": random_labels,
    "negative": lambda count, rng: [-1 - 5 * k for k in range(count)],
    "both extremes": lambda count, rng: [
        2**31 - 1 - k // 2 if k % 2 else -(2**31) + k // 2 for k in range(count)
    ],
}


def base_hypergraph(incidences, seed):
    """Member lists over nodes 0..n-1 from the scale generator; two halves, each connected by
    a path through its nodes, joined by one bridge hyperedge (the last)."""
    _, offsets, members, node_ids = hypergraphs.scale_arrays(incidences, "contiguous", seed)
    n = len(node_ids)
    members = np.argsort(node_ids)[members].tolist()  # node k is the k-th smallest id: 0..n-1
    edges = [members[a:b] for a, b in zip(offsets[:-1].tolist(), offsets[1:].tolist(), strict=True)]
    half = n // 2
    edges = [[v for v in e if v < half] or [0] for e in edges[::2]] + [
        [v for v in e if v >= half] or [half] for e in edges[1::2]
    ]
    edges += [[k, k + 1] for k in range(half - 1)] + [[k, k + 1] for k in range(half, n - 1)]
    edges.append([half - 1, half])
    return n, edges


def relabelled(n, edges, layout, seed, with_bridge=True):
    """(node_dict, edge_dict, hyperedge list, node labels, edge labels) under `layout`."""
    rng = random.Random(seed)
    node_label = LAYOUTS[layout](n, rng)
    edge_label = LAYOUTS[layout](len(edges), rng)
    kept = range(len(edges) if with_bridge else len(edges) - 1)
    edge_dict = {edge_label[e]: {node_label[v] for v in edges[e]} for e in kept}
    node_dict = {}
    for e in rng.sample(list(kept), len(kept)):  # a dict order unrelated to the ids
        for v in edges[e]:
            node_dict.setdefault(node_label[v], set()).add(edge_label[e])
    sets = [set(edge_dict[edge_label[e]]) for e in kept]
    return node_dict, edge_dict, sets, node_label, edge_label


@pytest.fixture(scope="module")
def base():
    return base_hypergraph(120_000, seed=3)


@pytest.mark.parametrize("with_bridge", [True, False], ids=["bridged", "two halves"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_connectivity_under_every_layout(base, native_order, layout, with_bridge):
    """Wrongly resolved ids would join the halves or cut a path."""
    node_dict, edge_dict, *_ = relabelled(*base, layout, seed=1, with_bridge=with_bridge)
    assert union_find_connected(node_dict, edge_dict) is with_bridge
    assert is_connected(node_dict, edge_dict) is with_bridge
    # One-sided: only the node first in native order lists an edge reaching every node.
    first = native_order(list(node_dict))[0]
    one_sided = {key: ({0} if key == first else set()) for key in node_dict}
    assert is_connected(one_sided, {0: set(node_dict)}) is True
    assert reachable_model(one_sided, {0: set(node_dict)}, first)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_centralities_under_every_layout(base, native_order, layout):
    node_dict, edge_dict, *_ = relabelled(*base, layout, seed=2)
    nodes, edges = compute_centralities(node_dict, edge_dict, 3, 0.0)
    assert list(nodes) == native_order(native_order(list(node_dict)), reserve=False)
    assert list(edges) == native_order(native_order(list(edge_dict)), reserve=False)
    want_nodes, want_edges = centrality_model(node_dict, edge_dict, 3, 0.0)
    assert nodes == pytest.approx(want_nodes, rel=1e-9, abs=1e-15)
    assert edges == pytest.approx(want_edges, rel=1e-9, abs=1e-15)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_missing_member_is_named_under_every_layout(base, native_order, layout):
    node_dict, edge_dict, _, node_label, edge_label = relabelled(*base, layout, seed=4)
    gone = node_label[len(node_label) // 3]
    del node_dict[gone]
    first = next(e for e in native_order(list(edge_dict)) if gone in edge_dict[e])
    with pytest.raises(IndexError, match=f"^edge {first} has member {gone}, "):
        compute_centralities(node_dict, edge_dict, 0)


def overlap_model(sets, s):
    """Pairs i < j sharing at least s members, by a sparse product over dense member numbers
    (never the ids), with their shared counts and the smaller size."""
    index = {}
    rows = [i for i, e in enumerate(sets) for _ in e]
    cols = [index.setdefault(v, len(index)) for e in sets for v in e]
    incidence = sp.csr_matrix((np.ones(len(rows)), (rows, cols)), shape=(len(sets), len(index)))
    shared = sp.triu(incidence @ incidence.T, k=1).tocoo()
    keep = shared.data >= s
    pairs = sorted(
        zip(
            shared.row[keep].tolist(),
            shared.col[keep].tolist(),
            shared.data[keep].tolist(),
            strict=True,
        )
    )
    return [(i, j, count / min(len(sets[i]), len(sets[j]))) for i, j, count in pairs]


@pytest.mark.parametrize("threads", THREAD_COUNTS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_line_graph_under_every_layout(base, layout, threads):
    _, _, sets, *_ = relabelled(*base, layout, seed=5)
    sets = sets[:20_000]  # the pairs of the hub members stay few
    assert compute_line_graph_edges(sets, 2, "normalized", threads) == overlap_model(sets, 2)


def test_positions_past_32_bits_are_refused_up_front(limits_check):
    """Counts no machine here can fill: the guards answer before reading an id."""
    assert set(limits_check) == {
        "largest count",
        "positions",
        "id index",
        "map order",
        "map order, filled",
        "first in map order",
        "hyperedge positions",
        "hyperedge size",
    }
    assert all(outcome.startswith("ok: ") for outcome in limits_check.values()), limits_check
    assert "at most 2^31 - 1" in limits_check["hyperedge positions"]
    assert "at most 2^32 - 2" in limits_check["id index"]


@pytest.mark.parametrize("layout", ["random", "negative", "repeated"])
def test_native_order_replica_past_the_regrouping_switch(hash_order_check, layout):
    """Past 2^21 keys the order is computed by regrouping, not by the linked list: maps reserved
    for all keys and for half of them (rehashing as they fill), maps filled key by key, the
    team's replica and is_connected's first key, all against real std::unordered_maps."""
    rng = random.Random(12)
    if layout == "random":
        keys = rng.sample(range(-(2**31), 2**31 - 1), 2_300_000)
    elif layout == "negative":
        keys = [-k for k in rng.sample(range(1, 2**31), 2_300_000)]
    else:
        distinct = rng.sample(range(-(2**31), 2**31 - 1), 2_250_000)
        keys = distinct + rng.choices(distinct, k=200_000)
    [(agrees, _)] = hash_order_check([keys])
    assert agrees


def test_native_order_replica_on_a_team_at_scale(hash_order_check):
    """Random 31-bit keys, with and without repeats, below the regrouping switch: the linked
    list's order, alone and with a team of three asked for."""
    rng = random.Random(11)
    spread = rng.sample(range(-(2**31), 2**31 - 1), 200_000)
    repeated = spread[:90_000] + rng.sample(spread[:90_000], 40_000)
    for agrees, _ in hash_order_check([spread, repeated]):
        assert agrees
