"""Centrality kernel against the dict-based model of the iteration."""

import math
import subprocess
import sys

import hypergraphs
import pytest
from conftest import require_dataset, run_child
from cpp_functions.algorithms.centrality import compute_centralities
from hypothesis import given
from hypothesis import strategies as st
from models import centrality_model

EXAMPLE = ({1: {10}, 2: {10, 20}, 3: {20}}, {10: {1, 2}, 20: {2, 3}})


def assert_close(result, expected, rel=1e-12):
    # The kernel sums whole vectors in blocks, the model left to right: only rounding differs.
    for got, want in zip(result, expected, strict=True):
        assert set(got) == set(want)
        for key in want:
            assert got[key] == pytest.approx(want[key], rel=rel, abs=1e-15), key


def test_worked_example():
    nodes, edges = compute_centralities(*EXAMPLE, max_iter=1)
    assert [nodes[k] for k in (1, 2, 3)] == pytest.approx(
        [0.3135576, 0.3728849, 0.3135576], abs=1e-7
    )
    assert edges == {10: 0.5, 20: 0.5}
    nodes, edges = compute_centralities(*EXAMPLE)
    corner, middle = 1 - 1 / math.sqrt(2), math.sqrt(2) - 1
    assert [nodes[k] for k in (1, 2, 3)] == pytest.approx([corner, middle, corner], abs=1e-6)


@pytest.mark.parametrize(
    "node_dict, edge_dict, max_iter, expected",
    [
        ({}, {}, 100, ({}, {})),
        ({5: {7}}, {7: {5}}, 100, ({5: 1.0}, {7: 1.0})),
        ({1: set(), 2: {10}}, {10: {2}}, 2, ({1: 0.0, 2: 1.0}, {10: 1.0})),
        ({}, {1: set(), 2: set()}, 5, ({}, {1: 0.0, 2: 0.0})),
        ({1: {1}, 2: {1}}, {1: {1, 2}, 2: set()}, 0, ({1: 0.5, 2: 0.5}, {1: 0.5, 2: 0.5})),
        ({-3: set(), 4: set()}, {-9: {-3, 4}}, -7, ({-3: 0.5, 4: 0.5}, {-9: 1.0})),
    ],
    ids=[
        "empty",
        "one-in-one",
        "isolated-node",
        "memberless-edges",
        "no-iteration",
        "negative-ids",
    ],
)
def test_edge_cases(node_dict, edge_dict, max_iter, expected):
    assert compute_centralities(node_dict, edge_dict, max_iter) == expected


def test_node_dict_values_are_ignored():
    nodes, edges = EXAMPLE
    assert compute_centralities(dict.fromkeys(nodes, frozenset()), edges) == compute_centralities(
        nodes, edges
    )


@pytest.mark.parametrize("tol", [0.0, -1.0, math.nan])
def test_non_positive_or_nan_tol_runs_every_iteration(tol):
    assert_close(compute_centralities(*EXAMPLE, 7, tol), centrality_model(*EXAMPLE, 7, -1.0))


def test_stops_exactly_when_change_drops_below_tol():
    """tol between two consecutive changes must stop after the later one, not before or after."""
    nodes, edges = EXAMPLE
    diffs = []
    for k in range(1, 8):
        a, b = centrality_model(nodes, edges, k - 1, -1.0)
        c, d = centrality_model(nodes, edges, k, -1.0)
        diffs.append(sum(abs(c[v] - a[v]) for v in a) + sum(abs(d[e] - b[e]) for e in b))
    for k in range(1, 6):
        tol = math.sqrt(diffs[k] * diffs[k - 1])  # strictly between change k and change k+1
        assert_close(
            compute_centralities(nodes, edges, 100, tol),
            centrality_model(nodes, edges, k + 1, -1.0),
        )
    exact = compute_centralities(nodes, edges, 100, diffs[2])  # equal to a change: keeps going
    assert_close(exact, centrality_model(nodes, edges, 4, -1.0))


def incidence(draw_edges):
    node_dict, edge_dict = {}, {}
    for e, members in draw_edges:
        edge_dict[e] = set(members)
        for v in members:
            node_dict.setdefault(v, set()).add(e)
    return node_dict, edge_dict


ids = st.integers(-(2**31), 2**31 - 1) | st.integers(-6, 20)
generated = st.lists(
    st.tuples(ids, st.sets(ids, max_size=6)), max_size=20, unique_by=lambda t: t[0]
)


@given(
    generated, st.sets(ids, max_size=4), st.integers(-1, 40), st.sampled_from([1e-6, 1e-12, 0.0])
)
def test_generated_match_model(edges, isolated, max_iter, tol):
    node_dict, edge_dict = incidence(edges)
    for v in isolated:
        node_dict.setdefault(v, set())
    assert_close(
        compute_centralities(node_dict, edge_dict, max_iter, tol),
        centrality_model(node_dict, edge_dict, max_iter, tol),
    )


@pytest.mark.parametrize(
    "hyperedges",
    [
        hypergraphs.synthetic(20000, seed=5),
        hypergraphs.synthetic(30000, seed=6, num_nodes=60, popularity=1.0),
    ],
    ids=["many-nodes", "few-nodes"],
)
def test_large_input_matches_model_and_repeats_bit_identically(hyperedges):
    """Large enough to run on a full team and to cut runs of equal sizes into several blocks;
    a race or unordered sum shows as changed bits. Few nodes under many edges give long node
    lists, many nodes short ones."""
    node_dict, edge_dict = hypergraphs.incidence_maps(hyperedges)
    first = compute_centralities(node_dict, edge_dict, 30, 0.0)
    assert_close(first, centrality_model(node_dict, edge_dict, 30, 0.0), rel=1e-9)
    for _ in range(3):
        again = compute_centralities(node_dict, edge_dict, 30, 0.0)
        assert list(again[0].items()) == list(first[0].items())
        assert list(again[1].items()) == list(first[1].items())


def test_same_bits_while_another_process_takes_a_core():
    """With a core busy, blocks move between threads from pass to pass (a thread takes what
    another has not claimed) and a call may finish on one thread; the sums must not notice."""
    node_dict, edge_dict = hypergraphs.incidence_maps(hypergraphs.synthetic(20000, seed=9))
    quiet = compute_centralities(node_dict, edge_dict, 40, 0.0)
    hog = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        loaded = [compute_centralities(node_dict, edge_dict, 40, 0.0) for _ in range(3)]
    finally:
        hog.kill()
        hog.wait()
    for result in loaded:
        assert [list(side.items()) for side in result] == [list(side.items()) for side in quiet]
    assert_close(quiet, centrality_model(node_dict, edge_dict, 40, 0.0), rel=1e-9)


def test_result_keys_follow_native_map_order(native_order):
    node_keys = [7, -2, 100, 3, 2**31 - 1, 55, 1, 0, 19, 42, -(2**31), 8, 9, 64, 1000, 5]
    edge_dict = {e: {node_keys[e % len(node_keys)]} for e in range(40, 0, -3)}
    node_dict = {k: set() for k in node_keys}
    nodes, edges = compute_centralities(node_dict, edge_dict)
    assert list(nodes) == native_order(native_order(node_keys), reserve=False)
    assert list(edges) == native_order(native_order(list(edge_dict)), reserve=False)


@pytest.mark.parametrize("edges", [20000, 200000])
def test_merging_equal_member_sets_probes_a_few_slots_per_edge(merge_probes, edges):
    """Two-member sets chosen so that a fixed hash of their members shares its low bits (one
    probe run, quadratic) cost as few probes as random sets and repeated ones."""
    assert all(probes < 2 for probes in merge_probes(edges).values()), merge_probes(edges)


def test_missing_member_raises_index_error_naming_it():
    for max_iter in (100, 0):
        with pytest.raises(
            IndexError, match=r"edge 10 has member 3, which is not a key of node_dict"
        ):
            compute_centralities({1: {10}}, {10: {1, 3}}, max_iter)


MISSING_MEMBERS = {
    "above the keys": (range(64), 64),
    "below the keys": (range(10, 200), -(2**31)),
    "in a gap": ([*range(0, 50), *range(51, 128)], 50),
    "keys spread out": ([k * 1_000_003 for k in range(100)], 1_000_002),
    "among many members": (range(70_000), 70_000),
}


@pytest.mark.parametrize("keys, missing", MISSING_MEMBERS.values(), ids=MISSING_MEMBERS.keys())
@pytest.mark.parametrize("max_iter", [0, 3])
def test_first_missing_member_is_named_wherever_it_falls(keys, missing, max_iter):
    """Members are checked against the keys by a bit per id or by the index, on the team for
    many members; the first absent one in edge order is named either way."""
    keys = list(keys)
    node_dict = {k: set() for k in keys}
    edge_dict = {0: set(keys[: len(keys) // 2]), 1: {keys[-1], missing}}
    with pytest.raises(IndexError, match=rf"^edge 1 has member {missing}, which is not a key"):
        compute_centralities(node_dict, edge_dict, max_iter)
    del edge_dict[1]
    compute_centralities(node_dict, edge_dict, max_iter)


def test_same_results_whatever_the_thread_setting_before():
    code = f"""
    import ctypes, hashlib, sys
    sys.path.insert(0, {hypergraphs.__file__.rsplit("/", 1)[0]!r})
    import hypergraphs
    from cpp_functions.algorithms.centrality import compute_centralities
    nodes, edges = hypergraphs.incidence_maps(hypergraphs.synthetic(5000, seed=2))
    omp = ctypes.CDLL("libgomp.so.1")
    for t in (1, 2, 4):
        omp.omp_set_num_threads(t)
        print(hashlib.sha1(repr(compute_centralities(nodes, edges)).encode()).hexdigest())
    """
    result = run_child(code)
    assert result.returncode == 0, result.stderr
    assert len(set(result.stdout.split())) == 1


@pytest.mark.slow
def test_email_enron_matches_model():
    hyperedges = require_dataset("email-Enron")
    node_dict, edge_dict = hypergraphs.incidence_maps(hyperedges)
    assert_close(
        compute_centralities(node_dict, edge_dict), centrality_model(node_dict, edge_dict), rel=1e-9
    )


# Member sets drawn from a small pool, so most recur under several edge ids: sets of one
# member set share their scores, and sizes above eight take the long gathering loop.
pool = st.lists(st.sets(st.integers(0, 40), max_size=14), min_size=1, max_size=6)


@given(pool, st.lists(st.integers(0, 5), max_size=40), st.integers(1, 25))
def test_repeated_member_sets_match_model(sets, picks, max_iter):
    edge_dict = {}
    for e, pick in enumerate(picks):
        members = sets[pick % len(sets)]
        # Equal sets built in another insertion order may iterate in another order.
        edge_dict[e * 7 - 50] = set(sorted(members, reverse=e % 2 == 1))
    node_dict = {v: set() for v in range(-3, 41)}
    assert_close(
        compute_centralities(node_dict, edge_dict, max_iter, 0.0),
        centrality_model(node_dict, edge_dict, max_iter, 0.0),
    )


@pytest.mark.parametrize(
    "hyperedges",
    [
        hypergraphs.synthetic(12000, seed=7),
        hypergraphs.synthetic(30000, seed=8, num_nodes=80, popularity=1.0),
        [list(range(k % 30)) for k in range(9000)],
        hypergraphs.synthetic(60000, seed=9, num_nodes=3000),  # transposes by parts
    ],
    ids=["many-nodes", "few-nodes", "nested-sets", "large"],
)
def test_every_instruction_set_and_team_gives_the_same_bits(centrality_variants, hyperedges):
    """Each build, one thread, a full team, and a team that shrinks or grows between rounds
    (the call moves to one processor, or off it, at its fifth round)."""
    node_dict, edge_dict = hypergraphs.incidence_maps(hyperedges)
    runs = [
        centrality_variants(node_dict, edge_dict, 30, 0.0, limit, switch)
        for limit, switch in ((1, ()), (None, ()), (None, (5,)), (None, (5, "grow")))
    ]
    digests = {d for run in runs for d in run.values()}
    assert len(digests) == 1, runs
