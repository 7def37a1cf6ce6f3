"""Connectivity kernel against union-find and reachability models."""

import ctypes

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
