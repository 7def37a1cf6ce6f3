"""Malformed and extreme arguments for all three functions, checked against the conversion
rules and the brute-force models. Run as a child process by test_robustness.py, so that a
crash shows as a crash: prints the number of calls made and exits 0 when all behaved."""

import math
import sys
from pathlib import Path

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, str(Path(__file__).resolve().parent))

from boundary_model import (  # noqa: E402
    Refused,
    to_float,
    to_hyperedges,
    to_incidence,
    to_int,
    to_str,
)
from cpp_functions.algorithms.centrality import compute_centralities  # noqa: E402
from cpp_functions.algorithms.connected import is_connected  # noqa: E402
from cpp_functions.convert.line_graph import compute_line_graph_edges  # noqa: E402
from models import centrality_model, line_graph_model, reachable_model  # noqa: E402


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class RaisingIndex:
    def __index__(self):
        raise ValueError("no index")


class IntOnly:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class FloatOnly:
    def __float__(self):
        return 2.5


class RaisingFloat:
    def __float__(self):
        raise ValueError("no float")


class BrokenLength(list):
    def __len__(self):
        raise LookupError("no length")


class BrokenItem(list):
    def __getitem__(self, index):
        raise KeyError(index)


class Lying(list):
    """Claims fewer items than it holds: only the claimed ones are read."""

    def __len__(self):
        return max(0, super().__len__() - 1)


class SubDict(dict):
    pass


class BrokenIterSet(set):
    def __iter__(self):
        raise OSError("no iteration")


small = st.integers(-4, 9)
ints = st.one_of(
    small,
    st.sampled_from([2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**63, -(2**70)]),
    st.booleans(),
)
scalars = st.one_of(
    ints,
    st.builds(Index, st.one_of(small, st.just(2**31))),
    st.builds(IntOnly, small),
    st.just(RaisingIndex()),
    st.just(FloatOnly()),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(["1", b"1", None]),
)
# A huge max_iter with a tolerance that never stops runs for hours, as documented: keep the
# accepted counts small and the large values to those the binding refuses.
iteration_counts = st.one_of(
    st.integers(-3, 12),
    st.booleans(),
    st.builds(Index, small),
    st.builds(IntOnly, small),
    st.sampled_from([2**31, -(2**31) - 1, 2**63, RaisingIndex(), FloatOnly(), 3.0, "3", None]),
)
members = st.one_of(small, scalars)
sets = st.one_of(
    st.sets(small, max_size=5),
    st.frozensets(small, max_size=5),
    st.sets(members.filter(lambda v: v.__hash__ is not None), max_size=3),
    st.sets(small, min_size=1, max_size=3).map(BrokenIterSet),
    st.lists(small, max_size=3),
    st.tuples(small),
    st.none(),
    small,
)
hyperedge_lists = st.one_of(
    st.lists(sets, max_size=6),
    st.lists(st.sets(small, max_size=5), max_size=8),
    st.lists(st.sets(small, max_size=5), max_size=8).map(tuple),
    st.lists(st.sets(small, max_size=4), max_size=5).map(BrokenLength),
    st.lists(st.sets(small, max_size=4), min_size=1, max_size=5).map(BrokenItem),
    st.lists(st.sets(small, max_size=4), max_size=5).map(Lying),
    st.sampled_from(["abc", b"", {1, 2}, {1: {2}}, None, 7, bytearray()]),
)
weights = st.one_of(
    st.sampled_from(
        ["absolute", "normalized", b"absolute", bytearray(b"normalized"), "", "\ud800"]
    ),
    st.text(max_size=4),
    st.just(None),
    ints,
)
incidence = st.one_of(
    st.dictionaries(ints, st.sets(small, max_size=4), max_size=6),
    st.dictionaries(small, st.sets(small, max_size=4), max_size=6).map(SubDict),
    st.dictionaries(
        st.one_of(small, scalars.filter(lambda v: v.__hash__ is not None)), sets, max_size=4
    ),
    st.sampled_from([[(1, {2})], None, {1: [2]}]),
)
tolerances = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0, 2**1100, FloatOnly(), RaisingFloat(), Index(1), "1e-6", None]),
)

CALLS = 0
FUZZ = settings(
    max_examples=int(sys.argv[1]) if len(sys.argv) > 1 else 300,
    derandomize=True,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)


def expect(convert_args, model, call):
    """Runs call; its result or exception must match what the rules and the model say."""
    global CALLS
    CALLS += 1
    try:
        native = convert_args()
    except Refused:
        try:
            call()
        except TypeError as error:
            assert "(): incompatible function arguments" in str(error), error
            return
        raise AssertionError("accepted an argument the rules refuse") from None
    except Exception as error:
        try:
            call()
        except type(error):
            return
        raise AssertionError(f"expected {type(error).__name__} from the container") from None
    expected = model(*native)
    if isinstance(expected, type) and issubclass(expected, Exception):
        try:
            call()
        except expected:
            return
        raise AssertionError(f"expected {expected.__name__}")
    check_equal(call(), expected)


def check_equal(got, want):
    if isinstance(want, float):
        assert (
            got == want
            or (math.isnan(got) and math.isnan(want))
            or math.isclose(got, want, rel_tol=1e-9)
        )
    elif isinstance(want, list | tuple):
        assert len(got) == len(want), (got, want)
        for a, b in zip(got, want, strict=True):
            check_equal(a, b)
    elif isinstance(want, dict):
        assert got.keys() == want.keys()
        for key in want:
            check_equal(got[key], want[key])
    else:
        assert got == want, (got, want)


@FUZZ
@given(hyperedge_lists, scalars, weights, st.one_of(st.integers(-2, 4), scalars))
def fuzz_line_graph(hyperedges, s, mode, threads):
    expect(
        lambda: (to_hyperedges(hyperedges), to_int(s), to_str(mode), to_int(threads)),
        lambda h, s_, w, _: line_graph_model(h, s_, w),
        lambda: compute_line_graph_edges(hyperedges, s, mode, threads),
    )


def centrality_expected(nodes, edges, max_iter, tol):
    if any(v not in nodes for members in edges.values() for v in members):
        return IndexError
    return centrality_model(nodes, edges, max_iter, tol)


@FUZZ
@given(incidence, incidence, iteration_counts, tolerances)
def fuzz_centrality(node_dict, edge_dict, max_iter, tol):
    expect(
        lambda: (to_incidence(node_dict), to_incidence(edge_dict), to_int(max_iter), to_float(tol)),
        centrality_expected,
        lambda: compute_centralities(node_dict, edge_dict, max_iter, tol),
    )


@FUZZ
@given(incidence, incidence)
def fuzz_connected(node_dict, edge_dict):
    # With one-sided input the answer depends on the native first key; the answer for a
    # consistent reading is checked from every possible start, any of which may be first.
    global CALLS
    CALLS += 1
    try:
        nodes, edges = to_incidence(node_dict), to_incidence(edge_dict)
    except Refused:
        try:
            is_connected(node_dict, edge_dict)
        except TypeError:
            return
        raise AssertionError("accepted an argument the rules refuse") from None
    except Exception as error:
        try:
            is_connected(node_dict, edge_dict)
        except type(error):
            return
        raise AssertionError(f"expected {type(error).__name__} from the container") from None
    if nodes and any(e not in edges for listed in nodes.values() for e in listed):
        try:
            is_connected(node_dict, edge_dict)
        except IndexError:
            return
        raise AssertionError("missing edge not reported")
    answer = is_connected(node_dict, edge_dict)
    possible = {reachable_model(nodes, edges, start) for start in nodes} if nodes else {False}
    assert answer in possible


if __name__ == "__main__":
    for fuzz in (fuzz_line_graph, fuzz_centrality, fuzz_connected):
        fuzz()
    print(CALLS)
