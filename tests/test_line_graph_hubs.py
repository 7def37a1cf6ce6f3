"""The line graph where a few members are in most hyperedges: members in 10^4 hyperedges,
hyperedges of hubs only, every id layout, and every switch between the kernel's paths."""

import random

import pytest
from cpp_functions.convert.line_graph import compute_line_graph_edges
from models import line_graph_model, member_pair_model
from test_line_graph import same

LAYOUTS = ("contiguous", "random", "negative", "extremes")
WEIGHTS = ("absolute", "normalized")


def hub_heavy(seed, n, light, hub_only):
    """Hyperedges of light members from a pool of `light`, five in six also holding hub 0,
    15% one of hubs 1-5, and `hub_only` hyperedges of 2-5 hubs only, spread among them."""
    rng = random.Random(seed)
    edges = []
    for k in range(n):
        members = set(rng.sample(range(6, 6 + light), rng.choice((1, 2, 3, 3, 4, 6))))
        if k % 6:
            members.add(0)
        if rng.random() < 0.15:
            members.add(rng.randint(1, 5))
        edges.append(members)
    for _ in range(hub_only):
        edges.insert(rng.randrange(len(edges)), set(rng.sample(range(6), rng.randint(2, 5))))
    return edges


def relabel(edges, layout, seed=0):
    """The same hypergraph with member ids of another layout (hubs 0 and 1 take the 32-bit
    extremes in "extremes")."""
    ids = sorted({v for e in edges for v in e})
    rng = random.Random(seed)
    if layout == "contiguous":
        values = rng.sample(range(len(ids)), len(ids))
    elif layout == "random":
        values = rng.sample(range(2**31), len(ids))
    elif layout == "negative":
        values = [-1 - 3 * v for v in rng.sample(range(len(ids)), len(ids))]
    else:
        values = [-(2**31), 2**31 - 1, *rng.sample(range(1 - 2**31, 2**31 - 1), len(ids) - 2)]
    mapping = dict(zip(ids, values, strict=True))
    return [{mapping[v] for v in e} for e in edges]


@pytest.fixture(scope="module")
def large_hub_input():
    edges = hub_heavy(5, n=12_000, light=8_000, hub_only=150)
    assert sum(0 in e for e in edges) >= 10_000
    expected = {(s, w): member_pair_model(edges, s, w) for s in (2, 3, 5) for w in WEIGHTS}
    return edges, expected


@pytest.mark.parametrize("threads", (1, 2))
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("s", (2, 3, 5))
def test_member_in_ten_thousand_hyperedges_matches_model(large_hub_input, s, layout, threads):
    edges, expected = large_hub_input
    relabelled = relabel(edges, layout)
    for weights in WEIGHTS:
        same(compute_line_graph_edges(relabelled, s, weights, threads), expected[s, weights])


SMALL_INPUTS = {
    "hubs": hub_heavy(7, n=400, light=150, hub_only=30),
    "hubs, few light members": hub_heavy(8, n=300, light=40, hub_only=60),
    "no hubs": [set(random.Random(k).sample(range(60), k % 5 + 1)) for k in range(300)],
    "repeats and empty sets": [{1, 2, 3}, set(), {1, 2, 3}, {1, 2}, set(), {1, 2, 3}] * 40,
}


@pytest.fixture(scope="module")
def small_models():
    return {
        (name, s, w): line_graph_model(edges, s, w)
        for name, edges in SMALL_INPUTS.items()
        for s in (1, 2, 3, 5)
        for w in (*WEIGHTS, "zero")
    }


@pytest.mark.parametrize("budget", ("none", "third", "all but one", "all"))
@pytest.mark.parametrize("threads", (1, 2, 4))
@pytest.mark.parametrize("s", (1, 2, 3, 5))
@pytest.mark.parametrize("name", list(SMALL_INPUTS))
def test_every_path_and_switch_matches_model(
    line_graph_paths, small_models, name, s, threads, budget
):
    """Pairs kept by no chunk (from the first on), up to a third of them, all but the last
    one, or all; heavy members split off where the input has hubs."""
    edges = relabel(SMALL_INPUTS[name], "random", seed=s)
    pairs = len(small_models[name, s, "absolute"])
    kept = {"none": 0, "third": pairs // 3, "all but one": max(pairs - 1, 0), "all": pairs}
    weightings = (*WEIGHTS, "zero")
    results = line_graph_paths(edges, s, weightings, threads, kept[budget])
    for weights, result in zip(weightings, results, strict=True):
        same(result, small_models[name, s, weights])
