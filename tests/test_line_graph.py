"""s-line graph kernel against the all-pairs model."""

import math
import struct

import hypergraphs
import pytest
from conftest import SANITIZED, THREAD_COUNTS, require_dataset, run_child
from cpp_functions.convert.line_graph import compute_line_graph_edges
from hypothesis import given
from hypothesis import strategies as st
from models import line_graph_model

MODES = ("absolute", "normalized", "Absolute")
S_VALUES = (-1, 0, 1, 2, 3)


def same(result, expected):
    """Exact equality, NaN weights matching NaN."""
    assert len(result) == len(expected)
    for got, want in zip(result, expected, strict=True):
        assert got[:2] == want[:2]
        assert got[2] == want[2] or (math.isnan(got[2]) and math.isnan(want[2])), (got, want)


CASES = {
    "empty": [],
    "single": [{1, 2}],
    "example": [{1, 2, 3}, {2, 3, 4}, {5}],
    "duplicates": [{1, 2}, {1, 2}, {1, 2}],
    "with-empty": [set(), {1}, set(), {1, 2}],
    "contained": [{1, 2}, {1, 2, 3}, {3}],
    "negative-sparse": [{-(2**31), 7, 10**9}, {10**9, -(2**31)}, {2**31 - 1}, {7, 2**31 - 1}],
}


@pytest.mark.parametrize("threads", THREAD_COUNTS)
@pytest.mark.parametrize("weights", MODES)
@pytest.mark.parametrize("s", S_VALUES)
@pytest.mark.parametrize("name", list(CASES))
def test_hand_picked_cases_match_model(name, s, weights, threads):
    hyperedges = CASES[name]
    same(
        compute_line_graph_edges(hyperedges, s, weights, threads),
        line_graph_model(hyperedges, s, weights),
    )


def test_documented_examples():
    edges = [{1, 2, 3}, {2, 3, 4}, {5}]
    assert compute_line_graph_edges(edges, 1, "absolute", 0) == [(0, 1, 2.0)]
    assert compute_line_graph_edges(edges, 1, "normalized", 0) == [(0, 1, 2 / 3)]
    assert compute_line_graph_edges(edges, 0, "absolute", 1) == [
        (0, 1, 2.0),
        (0, 2, 0.0),
        (1, 2, 0.0),
    ]
    assert compute_line_graph_edges(edges, 4, "absolute", 1) == []


def test_empty_hyperedge_weight_is_the_same_nan_on_every_processor():
    """0/0 leaves the NaN's sign to the processor; the module fixes it to x86-64's."""
    (_, _, weight), *_ = compute_line_graph_edges([set(), {1}], 0, "normalized", 1)
    assert struct.pack(">d", weight) == bytes.fromhex("fff8000000000000")


@pytest.mark.parametrize("s", [1, 2])
def test_large_index_built_by_parts_gives_the_one_thread_result(s):
    """The member index (a transpose) is built by parts on a team; its holder lists must come
    out ascending as on one thread, or the overlap walk miscounts."""
    hyperedges = [set(e) for e in hypergraphs.synthetic(40000, seed=12, num_nodes=2000)]
    one = compute_line_graph_edges(hyperedges, s, "normalized", 1)
    assert compute_line_graph_edges(hyperedges, s, "normalized", 2) == one


member = st.one_of(st.integers(-5, 12), st.sampled_from([-(2**31), 2**31 - 1, 10**6, -(10**8)]))
hypergraph = st.lists(st.sets(member, max_size=7), max_size=24)


@given(
    hypergraph, st.sampled_from(S_VALUES), st.sampled_from(MODES), st.sampled_from(THREAD_COUNTS)
)
def test_generated_hypergraphs_match_model(hyperedges, s, weights, threads):
    same(
        compute_line_graph_edges(hyperedges, s, weights, threads),
        line_graph_model(hyperedges, s, weights),
    )


@given(st.lists(st.sets(st.integers(0, 40), max_size=12), min_size=50, max_size=300))
def test_thread_counts_give_identical_lists(hyperedges):
    """Larger inputs run multi-threaded; any difference between teams is a race."""
    for s in (0, 1, 2):
        one = compute_line_graph_edges(hyperedges, s, "normalized", 1)
        four = compute_line_graph_edges(hyperedges, s, "normalized", 4)
        assert repr(one) == repr(four)


def test_large_skewed_input_matches_model_and_threads():
    import hypergraphs

    hyperedges = hypergraphs.synthetic(1500, seed=3)
    for s in (1, 2):
        expected = line_graph_model(hyperedges, s, "absolute")
        for threads in THREAD_COUNTS:
            assert (
                compute_line_graph_edges([set(e) for e in hyperedges], s, "absolute", threads)
                == expected
            )


def test_large_list_with_sets_growing_along_it_reads_every_member():
    """A chain of 150,000 sets, more than two chunks of parallel reading, whose private members
    grow in number along the list: the members read so far underestimate what follows."""
    n = 150_000

    def extra(k):
        return k // 40_000 * 6

    sets = [{k, k + 1, *(n + 100 * k + j for j in range(extra(k)))} for k in range(n)]
    expected = [(k, k + 1, 1 / (2 + extra(k))) for k in range(n - 1)]
    assert compute_line_graph_edges(sets, 1, "normalized", 2) == expected


@pytest.mark.slow
def test_email_enron_pair_counts():
    sets = [set(e) for e in require_dataset("email-Enron")]
    counts = [len(compute_line_graph_edges(sets, s, "absolute", 2)) for s in (1, 2, 3)]
    assert counts == [4861676, 1358733, 245903]


def test_unaffordable_output_raises_memory_error_and_process_survives():
    result = run_child(
        """
        from cpp_functions.convert.line_graph import compute_line_graph_edges as f
        try:
            f([set()] * 200000, 0, "absolute", 2)
        except MemoryError as e:
            print("MemoryError", e)
        print(f([{1}, {1}], 1, "absolute", 2))
        """
    )
    assert result.returncode == 0, result.stderr
    assert "MemoryError line graph of 19999900000 pairs" in result.stdout
    assert "[(0, 1, 1.0)]" in result.stdout


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves terabytes of address space")
def test_allocation_failure_inside_kernel_is_memory_error():
    """Under an address-space limit the kernel's own allocations fail; Python sees MemoryError."""
    result = run_child(
        """
        import resource
        from cpp_functions.convert.line_graph import compute_line_graph_edges as f
        hyperedges = [{1, 2}] * 40000          # 8e8 pairs of 16 bytes: 12.8 GB of triples
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, hard))
        try:
            f(hyperedges, 1, "absolute", 2)
        except MemoryError:
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(len(f(hyperedges[:100], 1, "absolute", 2)))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError", "4950"]
