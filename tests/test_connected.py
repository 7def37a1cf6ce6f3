"""Connectivity kernel against union-find and reachability models."""

import ctypes
import random

import hypergraphs
import pytest
from conftest import THREAD_COUNTS, require_dataset, run_child
from cpp_functions.algorithms.connected import is_connected
from hypothesis import given
from hypothesis import strategies as st
from models import reachable_model, union_find_connected


def chain(length, skip=None):
    edges = {e: {e, e + 1} for e in range(length - 1) if e != skip}
    nodes = {v: {e for e in (v - 1, v) if e in edges} for v in range(length)}
    return nodes, edges


@pytest.mark.parametrize(
    "node_dict, edge_dict, expected",
    [
        ({}, {1: {1}}, False),
        ({1: set()}, {}, True),
        ({1: {5}}, {5: {1}}, True),
        ({1: set(), 2: set()}, {}, False),
        ({1: {10}, 2: {10}}, {10: {1, 2}}, True),
        ({1: {10}, 2: {20}}, {10: {1, 3}, 20: {2, 3}}, False),
        ({1: {10, 20, 30}, 2: {10, 20, 30}}, {10: {1, 2}, 20: {1, 2}, 30: {2, 1}}, True),
        ({1: {10}, 2: {10}}, {10: {1, 2}, 99: {7}}, True),
        (*chain(2000), True),
        (*chain(2000, skip=1234), False),
    ],
    ids=[
        "empty-nodes",
        "one-node",
        "self-edge",
        "two-isolated",
        "shared-edge",
        "meet-outside",
        "several-shared",
        "unlisted-edge",
        "chain",
        "broken-chain",
    ],
)
def test_edge_cases(node_dict, edge_dict, expected):
    assert is_connected(node_dict, edge_dict) is expected


def test_one_sided_answer_depends_on_native_start(native_order):
    """{1: {10}, 2: {10}} with {10: {1}}: reachable from 2, not from 1."""
    for keys in ([1, 2], [2, 1]):
        node_dict = {k: {10} for k in keys}
        start = native_order(keys)[0]
        assert is_connected(node_dict, {10: {1}}) is (start == 2)


ids = st.integers(-(2**31), 2**31 - 1) | st.integers(-5, 15)
edge_lists = st.lists(
    st.tuples(ids, st.sets(ids, max_size=5)), max_size=14, unique_by=lambda t: t[0]
)


@given(edge_lists, st.sets(ids, max_size=3))
def test_consistent_maps_match_union_find(edges, isolated):
    node_dict, edge_dict = {}, {}
    for e, members in edges:
        edge_dict[e] = set(members)
        for v in members:
            node_dict.setdefault(v, set()).add(e)
    for v in isolated:
        node_dict.setdefault(v, set())
    assert is_connected(node_dict, edge_dict) is union_find_connected(node_dict, edge_dict)


@given(
    st.dictionaries(ids, st.sets(st.integers(0, 6), max_size=3), max_size=8),
    st.dictionaries(st.integers(0, 6), st.sets(ids | st.integers(-5, 15), max_size=5)),
)
def test_one_sided_maps_match_reachability(native_order, node_dict, edge_dict):
    for edge_ids in node_dict.values():
        for e in edge_ids:
            edge_dict.setdefault(e, set())
    expected = bool(node_dict) and reachable_model(node_dict, edge_dict, native_order(node_dict)[0])
    assert is_connected(node_dict, edge_dict) is expected


def test_missing_edge_raises_index_error_naming_it():
    # The node listing the bad edge is unreachable from the start, and still reported.
    with pytest.raises(IndexError, match=r"node 2 lists edge 77, which is not a key of edge_dict"):
        is_connected({1: set(), 2: {77}}, {})


def test_missing_edges_found_by_the_team_are_named_in_node_order(native_order):
    """Edge ids are resolved in parallel; of several missing ones, the first in node order
    is named, as a sequential scan would name it."""
    node_dict, edge_dict = hypergraphs.incidence_maps(hypergraphs.synthetic(60000, seed=2))
    order = native_order(node_dict)
    late, early = order[-10], order[len(order) // 3]
    node_dict[late] = node_dict[late] | {-5}
    node_dict[early] = node_dict[early] | {-7}
    with pytest.raises(IndexError, match=rf"node {early} lists edge -7, which is not a key"):
        is_connected(node_dict, edge_dict)


def test_huge_hyperedge_is_linear():
    members = set(range(200000))
    node_dict = {v: {0} for v in members}
    assert is_connected(node_dict, {0: members}) is True
    node_dict[-1] = set()
    assert is_connected(node_dict, {0: members}) is False


@pytest.mark.parametrize("threads", THREAD_COUNTS)
def test_answer_independent_of_threads_and_setting_unchanged(threads):
    omp = ctypes.CDLL("libgomp.so.1")
    node_dict, edge_dict = hypergraphs.incidence_maps(hypergraphs.synthetic(20000, seed=1))
    omp.omp_set_num_threads(threads)
    answer = is_connected(node_dict, edge_dict)
    assert answer is union_find_connected(node_dict, edge_dict)
    assert omp.omp_get_max_threads() == threads


def bridged(edges):
    """Heavy-tailed hyperedges joined into one component by two-member bridges between the
    first members of consecutive ones, so a search from any node has wide levels."""
    firsts = [e[0] for e in edges if e]
    return edges + [[a, b] for a, b in zip(firsts, firsts[1:], strict=False) if a != b]


def large_cases():
    """Inputs whose search levels list enough edges for the team to expand them: connected,
    with one node left out, split in two, and made one-sided."""
    rng = random.Random(3)
    edges = bridged(hypergraphs.synthetic(60000, seed=4))
    node_dict, edge_dict = hypergraphs.incidence_maps(edges)
    yield "connected", node_dict, edge_dict
    yield "one-left-out", {**node_dict, -1: set()}, edge_dict
    half = edges[: len(edges) // 2]
    yield "two-halves", *hypergraphs.incidence_maps(half + [[v + 10**6 for v in e] for e in half])
    one_sided = {e: {v for v in m if rng.random() < 0.9} for e, m in edge_dict.items()}
    listing = {v: {e for e in es if rng.random() < 0.9} for v, es in node_dict.items()}
    yield "one-sided", listing, one_sided


@pytest.mark.parametrize("threads", THREAD_COUNTS)
@pytest.mark.parametrize("case", list(large_cases()), ids=lambda c: c[0])
def test_wide_levels_reach_what_the_search_model_reaches(native_order, case, threads):
    """The team expands wide levels in parallel, claiming nodes and edges by exchange; the
    answer must be the sequential search's, for every team, also with one-sided incidence."""
    _, node_dict, edge_dict = case
    ctypes.CDLL("libgomp.so.1").omp_set_num_threads(threads)
    expected = reachable_model(node_dict, edge_dict, native_order(node_dict)[0])
    assert is_connected(node_dict, edge_dict) is expected


@pytest.mark.slow
@pytest.mark.parametrize("name, expected", [("email-Enron", True), ("NDC-classes", False)])
def test_real_datasets(name, expected):
    node_dict, edge_dict = hypergraphs.incidence_maps(require_dataset(name))
    assert is_connected(node_dict, edge_dict) is expected


def test_thread_setting_survives_in_child():
    result = run_child(
        """
        import ctypes
        from cpp_functions.algorithms.connected import is_connected
        omp = ctypes.CDLL("libgomp.so.1")
        before = omp.omp_get_max_threads()
        is_connected({1: {10}, 2: {10}}, {10: {1, 2}})
        print(before == omp.omp_get_max_threads())
        """
    )
    assert result.stdout.strip() == "True", result.stderr
