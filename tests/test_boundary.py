"""The module's argument casters against pybind11's stl.h, built into a reference module with
the same signatures: for every input the same acceptance or refusal, the same exception and
message, the same Python callbacks in the same order, and on accepted input the results that
the models compute from what stl.h converted, in stl.h's native key order."""

import bdb
import functools
import io
import math
import random
import signal
import sys
import traceback
from types import SimpleNamespace

import pytest
from conftest import SANITIZED, run_child
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges
from hypothesis import given
from hypothesis import strategies as st
from models import centrality_model, line_graph_model, reachable_model

LOG: list = []
STATEFUL: list = []  # objects whose call counters restart before each of the two calls
ALIVE: list = []  # every object of an example, so that mutation never frees one mid-call


class Index:
    def __init__(self, value, tag):
        self.value, self.tag = value, tag

    def __index__(self):
        LOG.append(("index", self.tag))
        return self.value

    def __repr__(self):
        return f"Index({self.tag})"

    def __hash__(self):
        # By tag, not identity: rebuilt objects must sit in their sets in the same order.
        return hash(("element", self.tag))


class RaisingIndex(Index):
    def __index__(self):
        LOG.append(("raise", self.tag))
        raise ValueError("no index")


class IntOnly(Index):
    """No __index__: the int rule falls back to int(), which calls __int__."""

    __index__ = None

    def __int__(self):
        LOG.append(("int", self.tag))
        return self.value


class FloatOnly(Index):
    __index__ = None

    def __float__(self):
        LOG.append(("float", self.tag))
        return 2.5


class GrowsItsSet(Index):
    """Adds a member to the set being converted: its iterator must raise."""

    def __index__(self):
        LOG.append(("grow", self.tag))
        self.target.add(10**6 + self.tag)
        return self.value


class ClearsOuter(Index):
    """Empties the list or dict being converted, as Python code run by a conversion may."""

    def __index__(self):
        LOG.append(("clear", self.tag))
        self.target.clear()
        return self.value


class SetSub(set):
    pass


class FrozenSub(frozenset):
    pass


class IterSet(set):
    """Iterates over other objects than it holds."""

    def __iter__(self):
        LOG.append(("iter", len(self.others)))
        return iter(self.others)


class RaisingIterSet(set):
    def __iter__(self):
        def items():
            yield from list(set.__iter__(self))[: self.after]
            raise OSError("iteration failed")

        return items()


class ListSub(list):
    pass


class LoggingList(list):
    def __len__(self):
        LOG.append(("len",))
        return super().__len__() + self.delta

    def __getitem__(self, index):
        LOG.append(("getitem", index))
        if index == self.fail_at:
            raise KeyError(index)
        return super().__getitem__(index)


class RaisingLen(list):
    """__len__ fails at its n-th call: the first is stl.h's reservation, the second its bound."""

    def __len__(self):
        self.calls += 1
        LOG.append(("len", self.calls))
        if self.calls == self.fail_call:
            raise LookupError("no length")
        return super().__len__()

    def restart(self):
        self.calls = 0


class DictSub(dict):
    pass


# ---- recipes: plain data that hypothesis shrinks, built into fresh objects ----------------

EDGE_INTS = [0, 1, -1, -2, 5, 2**30 - 1, -(2**30), 2**30, -(2**30) - 1, 2**31 - 1, -(2**31)]
EDGE_INTS += [2**31, -(2**31) - 1, 2**63, -(2**70)]
PAD_BASE = 10**8  # members and keys of padding, shared with nothing else
PAD = 5000  # more objects than are read on one thread
HOLE_BASE = 2 * 10**8  # keys of entries deleted again
ints = st.one_of(st.integers(-3, 8), st.sampled_from(EDGE_INTS))
safe_elements = st.tuples(st.just("int"), st.integers(-3, 8))
odd_elements = st.one_of(
    st.tuples(st.just("int"), ints),
    st.tuples(st.just("bool"), st.booleans()),
    st.tuples(st.sampled_from(["index", "int_only"]), ints),
    st.tuples(st.sampled_from(["index", "int_only"]), st.integers(-3, 8)),  # collides often
    st.tuples(st.sampled_from(["raising", "float_only", "grows", "clears"]), st.just(0)),
    st.tuples(st.just("float"), st.sampled_from([1.0, 2.5, math.nan])),
    st.tuples(st.just("other"), st.sampled_from(["1", b"1", None])),
)


def with_odd(plain, odd, max_size=6):
    """Lists of plain items with at most two odd ones placed anywhere: the informative case."""

    def place(drawn):
        items, extras = drawn
        items = list(items)
        for position, extra in extras:
            items.insert(min(position, len(items)), extra)
        return items

    extras = st.lists(st.tuples(st.integers(0, max_size), odd), max_size=2)
    return st.tuples(st.lists(plain, max_size=max_size), extras).map(place)


elements = with_odd(safe_elements, odd_elements, 4)
set_kinds = st.sampled_from(["set", "frozenset", "set_sub", "frozen_sub", "iter", "raising_iter"])
plain_sets = st.tuples(st.just("set"), st.lists(safe_elements, max_size=6))
odd_sets = st.one_of(
    st.tuples(st.sampled_from(["set", "frozenset"]), elements),
    st.tuples(set_kinds, elements),
    st.tuples(
        st.sampled_from(["list", "tuple", "none", "int"]), st.lists(safe_elements, max_size=2)
    ),
)
sets = st.one_of(plain_sets, odd_sets)
sequence_kinds = st.one_of(
    st.sampled_from(["list", "list", "tuple", "list_sub"]),
    st.sampled_from(["str", "bytes", "set", "none", "dict"]),
    st.tuples(st.just("logging"), st.integers(-1, 1), st.integers(-1, 3)),
    st.tuples(st.just("raising_len"), st.integers(1, 2)),
)
pads = st.sampled_from([0, 0, PAD])
sequences = st.tuples(sequence_kinds, with_odd(plain_sets, odd_sets), pads)
dict_kinds = st.sampled_from(["dict", "dict", "dict", "holes", "dict_sub", "pairs", "none"])
plain_entries = st.tuples(safe_elements, plain_sets)
odd_entries = st.one_of(st.tuples(odd_elements, plain_sets), st.tuples(safe_elements, odd_sets))
dicts = st.tuples(dict_kinds, with_odd(plain_entries, odd_entries), pads)
ids_only_dicts = st.tuples(
    st.just("dict"), st.lists(st.tuples(safe_elements, st.just(("set", []))), max_size=6), pads
)


class Builder:
    def __init__(self):
        self.tags = 0
        self.outer = None

    def element(self, recipe):
        kind, value = recipe
        if kind in ("int", "bool", "float", "other"):
            return value
        self.tags += 1
        cls = {
            "index": Index,
            "int_only": IntOnly,
            "raising": RaisingIndex,
            "float_only": FloatOnly,
            "grows": GrowsItsSet,
            "clears": ClearsOuter,
        }[kind]
        made = cls(value, self.tags)
        made.target = self.outer
        ALIVE.append(made)
        return made

    def set(self, recipe):
        kind, items = recipe
        made = [self.element(item) for item in items]
        if kind in ("list", "tuple", "none", "int"):
            return {"list": list, "tuple": tuple, "none": lambda _: None, "int": lambda _: 3}[kind](
                made
            )
        cls = {
            "set": set,
            "frozenset": frozenset,
            "set_sub": SetSub,
            "frozen_sub": FrozenSub,
            "iter": IterSet,
            "raising_iter": RaisingIterSet,
        }[kind]
        result = cls(made[::2] if kind == "iter" else made)
        if kind == "iter":
            result.others = made
        if kind == "raising_iter":
            result.after = len(made) // 2
        for item in made:
            if isinstance(item, GrowsItsSet) and isinstance(result, set):
                item.target = result
        ALIVE.append(result)
        return result

    def sequence(self, recipe):
        kind, items, pad = recipe
        name = kind if isinstance(kind, str) else kind[0]
        if name in ("str", "bytes", "none", "dict"):
            return {"str": "abc", "bytes": b"", "none": None, "dict": {0: {1}}}[name]
        outer = {"logging": LoggingList, "raising_len": RaisingLen, "list_sub": ListSub}.get(
            name, list
        )()
        self.outer = outer
        outer.extend({PAD_BASE + k} for k in range(pad))
        outer.extend(self.set(item) for item in items)
        if name == "logging":
            outer.delta, outer.fail_at = kind[1], kind[2]
        if name == "raising_len":
            outer.fail_call = kind[1]
            STATEFUL.append(outer)
        ALIVE.append(outer)
        if name == "tuple":
            return tuple(outer)
        if name == "set":
            return {frozenset(s) for s in outer if isinstance(s, frozenset)}
        return outer

    def mapping(self, recipe):
        kind, entries, pad = recipe
        if kind == "none":
            return None
        outer = DictSub() if kind == "dict_sub" else {}
        self.outer = outer
        # Entries deleted before and after the padding leave holes in the dict's table.
        holes = range(3) if kind == "holes" else range(0)
        outer.update((HOLE_BASE + k, set()) for k in holes)
        outer.update((PAD_BASE + k, set()) for k in range(pad))
        outer.update((HOLE_BASE + 3 + k, set()) for k in holes)
        for key, value in entries:
            key_object = self.element(key)
            if getattr(key_object, "__hash__", None) is None:
                continue
            outer[key_object] = self.set(value)
        for k in holes:
            del outer[HOLE_BASE + k], outer[HOLE_BASE + 3 + k]
        ALIVE.append(outer)
        return list(outer.items()) if kind == "pairs" else outer


def outcome(function, args):
    """What a call did: ("ok", result, log) or ("raised", type, message, log)."""
    for item in STATEFUL:
        item.restart()
    LOG.clear()
    try:
        result = function(*args)
    except Exception as error:
        return ("raised", type(error), str(error), list(LOG))
    return ("ok", result, list(LOG))


def rebuild(recipes, builders):
    """Fresh objects for each call: conversions may mutate what they read."""
    ALIVE.clear()
    STATEFUL.clear()
    builder = Builder()
    return [build(builder, recipe) for build, recipe in zip(builders, recipes, strict=True)]


def same(got, want):
    if isinstance(want, float):
        return got == want or (math.isnan(got) and math.isnan(want))
    if isinstance(want, list | tuple):
        return len(got) == len(want) and all(same(a, b) for a, b in zip(got, want, strict=True))
    return got == want


def differential(reference, ours, recipes, builders, check):
    expected = outcome(reference, rebuild(recipes, builders))
    got = outcome(ours, rebuild(recipes, builders))
    if expected[0] == "raised":
        assert got[0] == "raised", (expected, got)
        assert got[1:] == expected[1:], (expected, got)
        return
    assert got[-1] == expected[-1], "Python callbacks differ"
    check(expected[1], got)


def kernel_error(got, kind):
    assert got[0] == "raised" and got[1] is kind, got


@given(sequences, ints, st.sampled_from(["absolute", "normalized", "other"]), st.integers(1, 2))
def test_hyperedge_list_converts_as_stl(stl_reference, recipe, s, weights, threads):
    pad = recipe[2]
    if pad and not (isinstance(s, int) and 1 <= s < 2**31):
        s = 1  # padding then joins nothing, and the model needs only the rest

    def check(converted, got):
        sets, s_, mode, _ = converted
        assert got[0] == "ok", got
        if pad:
            # A sequence whose __len__ says one less ends its conversion inside the padding.
            assert sets[:pad] == [[PAD_BASE + k] for k in range(pad)][: len(sets)]
        want = line_graph_model([set(m) for m in sets[pad:]], s_, mode.decode())
        assert same(got[1], [(i + pad, j + pad, w) for i, j, w in want]), got

    args = (recipe, s, weights, threads)
    plain = (lambda b, r: b.sequence(r), *(lambda b, r: r,) * 3)
    differential(
        stl_reference.compute_line_graph_edges, compute_line_graph_edges, args, plain, check
    )


@given(dicts, dicts, st.integers(-1, 4), st.sampled_from([0.0, 1e-6, math.nan]))
def test_incidence_maps_convert_as_stl_for_centrality(stl_reference, nodes, edges, max_iter, tol):
    def check(converted, got):
        node_entries, edge_entries, max_iter_, tol_, node_order, edge_order = converted
        node_dict = {k: set(v) for k, v in node_entries}
        edge_dict = {k: set(v) for k, v in edge_entries}
        if any(v not in node_dict for members in edge_dict.values() for v in members):
            return kernel_error(got, IndexError)
        assert got[0] == "ok", got
        node_scores, edge_scores = got[1]
        assert list(node_scores) == node_order and list(edge_scores) == edge_order
        want_nodes, want_edges = centrality_model(node_dict, edge_dict, max_iter_, tol_)
        # Sums are added in another order than the model's: rounding differs in the last bits.
        for scores, want in ((node_scores, want_nodes), (edge_scores, want_edges)):
            for key, value in want.items():
                assert scores[key] == pytest.approx(value, rel=1e-12, abs=1e-15, nan_ok=True)

    args = (nodes, edges, max_iter, tol)
    plain = (lambda b, r: b.mapping(r),) * 2 + (lambda b, r: r,) * 2
    differential(stl_reference.compute_centralities, compute_centralities, args, plain, check)


@given(dicts, st.one_of(dicts, ids_only_dicts))
def test_incidence_maps_convert_as_stl_for_connectivity(stl_reference, nodes, edges):
    def check(converted, got):
        node_dict = {k: set(v) for k, v in converted[0]}
        edge_dict = {k: set(v) for k, v in converted[1]}
        if any(e not in edge_dict for listed in node_dict.values() for e in listed):
            return kernel_error(got, IndexError)
        assert got[0] == "ok", got
        # The search starts at the first key in native order, where stl.h's map has it.
        start = converted[0][0][0] if node_dict else None
        assert got[1] is (bool(node_dict) and reachable_model(node_dict, edge_dict, start))

    plain = (lambda b, r: b.mapping(r),) * 2
    differential(stl_reference.is_connected, is_connected, (nodes, edges), plain, check)


SPREAD_KEYS = [
    st.lists(st.integers(-(2**31), 2**31 - 1), max_size=300),
    st.lists(st.integers(-60, 60).map(lambda k: k * 97), max_size=200),  # one residue modulo 97
    st.lists(st.sampled_from([-1, -2, 0, 13, 26, 29, 58, 2**31 - 1, -(2**31)]), max_size=40),
    st.lists(st.integers(0, 5000), min_size=1000, max_size=3000),  # several rehashes
    # Distinct ids from 0 up, each in a bucket of its own or not quite.
    st.integers(1, 400).flatmap(lambda n: st.permutations(range(n))),
    st.lists(st.integers(0, 420), unique=True, min_size=1, max_size=400),
]


@given(st.lists(st.one_of(*SPREAD_KEYS), min_size=1, max_size=20))
def test_native_order_replica_matches_real_maps(hash_order_check, key_lists):
    """Negative ids, ids equal modulo a bucket count, repeated keys, growth past a reserve."""
    assert all(agrees for agrees, _ in hash_order_check(key_lists))


@pytest.mark.parametrize("n, buckets", [(2000, 2029), (20000, 20753)])
def test_native_order_replica_is_linear_for_keys_in_one_bucket(hash_order_check, n, buckets):
    """Multiples of the bucket count of a map reserved for n keys all share one bucket, which a
    real map scans at every insertion; the replica must still take a few steps per key, also
    with repeated keys to drop."""
    colliding = [buckets * k for k in range(n)]
    # Ids from 0 but one, which shares the first id's bucket.
    nearly_numbered = [*range(n - 1), buckets]
    key_lists = [colliding, colliding[::-1] + colliding[: n // 2], list(range(n)), nearly_numbered]
    for keys, (agrees, steps) in zip(key_lists, hash_order_check(key_lists), strict=True):
        assert agrees
        assert steps <= 8 * len(keys), (len(keys), steps)


@given(st.one_of(*SPREAD_KEYS))
def test_dict_keys_take_stl_native_order(stl_reference, keys):
    node_dict = {k: set() for k in keys}
    converted = stl_reference.compute_centralities(node_dict, {}, 0)
    nodes, _ = compute_centralities(node_dict, {}, 0)
    assert list(nodes) == converted[4]
    if node_dict:
        # A one-sided map: only a search from the native first key reaches every node.
        first = converted[0][0][0]
        one_sided = {k: ({0} if k == first else set()) for k in keys}
        assert is_connected(one_sided, {0: set(keys)}) is True


LARGE_KEYS = {
    "spread": random.Random(5).sample(range(-(2**31), 2**31 - 1), 30000),
    "one bucket": [20753 * k for k in range(20000)],  # the bucket count reserved for 20000
    "consecutive, reversed": list(range(40000, 0, -1)),
    "few buckets": [(k % 7) * 20753 + (k // 7) * 3 for k in range(20000)],
}


@pytest.mark.parametrize("keys", LARGE_KEYS.values(), ids=LARGE_KEYS.keys())
def test_large_dict_keys_take_stl_native_order(stl_reference, keys):
    """Dicts large enough for the team to read them, also with keys that share buckets (their
    order takes the linked list; past 2^21 keys, see test_ids.py)."""
    node_dict = {k: {1, 2} for k in keys}
    converted = stl_reference.compute_centralities(node_dict, {}, 0)
    nodes, _ = compute_centralities(node_dict, {}, 0)
    assert list(nodes) == converted[4]
    first = converted[0][0][0]
    one_sided = {k: ({0} if k == first else set()) for k in keys}
    assert is_connected(one_sided, {0: set(keys)}) is True


def large_edges(odd_at=None, deleted=(), odd=None, size=lambda k: 2):
    """150,000 entries, more than two chunks of parallel reading; edge k holds nodes k,
    k + 1, ... modulo 50."""
    edges = {}
    for k in range(150_000):
        edges[odd(k) if k == odd_at else k] = {(k + j) % 50 for j in range(size(k))}
    for k in deleted:
        del edges[k]
    return edges


LARGE_DICTS = {
    "without holes": lambda: large_edges(),
    "holes in the first chunk": lambda: large_edges(deleted=range(10, 20)),
    "holes in the last chunk": lambda: large_edges(deleted=[140_000, 149_000]),
    "a hole at the end only": lambda: large_edges(deleted=[149_999]),
    "an index key in the second chunk": lambda: large_edges(70_000, odd=lambda k: Index(k, 1)),
    "a set subclass in the third chunk": lambda: {**large_edges(), 140_000: SetSub({0, 7})},
    # Members read so far underestimate what follows: the buffer grows again, keeping them.
    "sets growing along the dict": lambda: large_edges(size=lambda k: 1 + k // 40_000 * 6),
}


@pytest.mark.parametrize("build", LARGE_DICTS.values(), ids=LARGE_DICTS.keys())
def test_large_dicts_walked_by_the_team_convert_as_stl(stl_reference, build):
    """Chunks of a dict without holes are walked by the team from their own positions; holes,
    wherever they are, or an entry that needs Python code, must not change what is read."""
    node_dict = {k: set() for k in range(50)}
    expected = outcome(stl_reference.compute_centralities, (node_dict, build(), 2))
    got = outcome(compute_centralities, (node_dict, build(), 2))
    assert got[0] == "ok" and got[-1] == expected[-1]
    _, edge_entries, _, _, _, edge_order = expected[1]
    assert list(got[1][1]) == edge_order
    _, want = centrality_model(node_dict, {k: set(v) for k, v in edge_entries}, 2, 1e-6)
    assert all(got[1][1][k] == pytest.approx(v, rel=1e-12) for k, v in want.items())


# Ids across the 32-bit range, as hashes and databases give them: ints of two digits
# (|v| >= 2^30) are read by the team like one-digit ones.
WIDE_IDS = {
    "two digits": lambda k: 2**30 + 3 * k,
    "negative two digits": lambda k: -(2**30) - 3 * k,
    "both ends": lambda k: 2**31 - 1 - k if k % 2 else -(2**31) + k,
}


@pytest.mark.parametrize(
    "past_32_bits", [None, 2**31, -(2**31) - 1], ids=["in range", "2^31", "-2^31-1"]
)
@pytest.mark.parametrize("label", WIDE_IDS.values(), ids=WIDE_IDS.keys())
def test_large_dicts_of_wide_ids_convert_as_stl(stl_reference, label, past_32_bits):
    """One member just outside the range, deep in the second chunk, refuses the whole dict."""

    def build():
        edges = {label(k): {label(k % 50), label((k + 1) % 50)} for k in range(150_000)}
        if past_32_bits is not None:
            edges[label(90_000)] = {label(1), past_32_bits}
        return {label(j): set() for j in range(50)}, edges

    expected = outcome(stl_reference.compute_centralities, (*build(), 2))
    got = outcome(compute_centralities, (*build(), 2))
    assert got[0] == expected[0] == ("ok" if past_32_bits is None else "raised")
    if past_32_bits is not None:
        assert got[1:3] == expected[1:3]
        return
    node_entries, edge_entries, _, _, node_order, edge_order = expected[1]
    assert (list(got[1][0]), list(got[1][1])) == (node_order, edge_order)
    _, want = centrality_model(dict(node_entries), {k: set(v) for k, v in edge_entries}, 2, 1e-6)
    assert all(got[1][1][k] == pytest.approx(v, rel=1e-12) for k, v in want.items())


COLLIDING = {
    "index equal to a member": lambda: [{1, 2, Index(1, 1)}, {1, 2}],
    "int() equal to a member": lambda: [{IntOnly(2, 1), 2, 3}, {2}],
    "two objects, one value": lambda: [{Index(5, 1), IntOnly(5, 2)}, {5, 6}],
    "a set subclass yielding repeats": lambda: [iter_set([1, 1, 2, Index(2, 3)]), {1, 2}],
}


def iter_set(others):
    made = IterSet()
    made.others = others
    return made


@pytest.mark.parametrize("build", COLLIDING.values(), ids=COLLIDING.keys())
def test_members_converting_to_one_value_are_one_member(stl_reference, build):
    converted = stl_reference.compute_line_graph_edges(build(), 1, "normalized", 1)[0]
    want = line_graph_model([set(m) for m in converted], 1, "normalized")
    assert compute_line_graph_edges(build(), 1, "normalized", 1) == want


def test_first_of_colliding_dict_keys_stays_with_its_value(stl_reference):
    def build():
        return {Index(7, 1): {1}, 7: {2}, IntOnly(7, 2): {3}, 8: {1, 2, 3}}

    converted = stl_reference.is_connected(build(), {})
    nodes = {key: set(ids) for key, ids in converted[0]}
    assert nodes == {7: {1}, 8: {1, 2, 3}}
    edges = {1: {7, 8}, 2: {8}, 3: {8}}
    assert is_connected(build(), edges) is reachable_model(nodes, edges, converted[0][0][0])
    scores, _ = compute_centralities(build(), {1: {7}}, 1)
    assert list(scores) == stl_reference.compute_centralities(build(), {}, 0)[4]


class FailingIndex(Index):
    """__index__ raises `error` its first `left` times, then gives the value."""

    def __index__(self):
        LOG.append(("index", self.tag))
        if self.left:
            self.left -= 1
            raise self.error("in __index__")
        return self.value


class Unwinding(BaseException):
    """Stands for every exception outside Exception (GeneratorExit, SystemExit, ...)."""


OURS = SimpleNamespace(compute_line_graph_edges=compute_line_graph_edges, is_connected=is_connected)
IN_PLACES = {
    "set member": lambda f, item: f.compute_line_graph_edges([{item, 6}, {5}], 1, "absolute", 1),
    "dict key": lambda f, item: f.is_connected({item: {1}}, {1: {5}}),
}


@pytest.mark.parametrize("place", IN_PLACES.values(), ids=IN_PLACES.keys())
@pytest.mark.parametrize("times", [1, 2], ids=["int()-would-succeed", "int()-would-fail"])
@pytest.mark.parametrize(
    "error",
    [KeyboardInterrupt, Unwinding, MemoryError, RecursionError, ValueError],
    ids=lambda e: e.__name__,
)
def test_index_errors_differ_from_stl_only_where_they_must_propagate(
    stl_reference, error, times, place
):
    """stl.h clears every error of an element's __index__ and retries once through int().
    Ours does the same for ordinary errors, but ends the call with an interruption, exhausted
    memory or too deep a recursion, after that one __index__ call."""

    def item():
        made = FailingIndex(5, 1)
        made.error, made.left = error, times
        return made

    expected = outcome(lambda: place(stl_reference, item()), ())
    assert expected[-1] == [("index", 1), ("index", 1)]
    assert expected[0] == ("ok" if times == 1 else "raised")
    LOG.clear()
    if error is ValueError:
        got = outcome(lambda: place(OURS, item()), ())
        assert got[0] == expected[0] and got[-1] == expected[-1]
        assert got[0] == "ok" or got[1:] == expected[1:]
    else:
        with pytest.raises(error, match="in __index__"):
            place(OURS, item())
        assert LOG == [("index", 1)]


class HandlerObject:
    def __call__(self, signum, frame):
        raise ValueError("from the handler")


class HandlerOwner:
    def on_signal(self, signum, frame):
        raise ValueError("from the handler")


def handler_function(signum, frame):
    raise ValueError("from the handler")


def handler_with_context(context, signum, frame):
    raise ValueError("from the handler")


def handler_of_any_arguments(*args):
    raise ValueError("from the handler")


class SignalledIndex(Index):
    """A signal arrives while __index__ runs; its handler runs there, inside __index__."""

    def __index__(self):
        LOG.append(("index", self.tag))
        signal.raise_signal(signal.SIGUSR1)
        return self.value


class SignalledInt(IntOnly):
    """The same inside __int__, the int rule's second try."""

    def __index__(self):
        LOG.append(("index", self.tag))
        raise ValueError("in __index__")

    def __int__(self):
        LOG.append(("int", self.tag))
        signal.raise_signal(signal.SIGUSR1)
        return self.value


class OwnValueError(Index):
    """Raises, by itself, the very type the handler raises."""

    def __index__(self):
        LOG.append(("index", self.tag))
        raise ValueError("in __index__")


@pytest.fixture
def raising_handler(request):
    previous = signal.signal(signal.SIGUSR1, request.param)
    yield
    signal.signal(signal.SIGUSR1, previous)


PLACES_ALL = {
    **IN_PLACES,
    "dict member": lambda f, item: f.is_connected({1: {item}}, {5: {1}}),
}
HANDLERS = {
    "function": handler_function,
    "method": HandlerOwner().on_signal,
    "object": HandlerObject(),
    "partial": functools.partial(handler_with_context, "deadline"),
    "varargs": handler_of_any_arguments,
}


@pytest.mark.parametrize("raising_handler", HANDLERS.values(), ids=HANDLERS.keys(), indirect=True)
@pytest.mark.parametrize("place", PLACES_ALL.values(), ids=PLACES_ALL.keys())
@pytest.mark.parametrize("kind", [SignalledIndex, SignalledInt], ids=["in-index", "in-int"])
def test_signal_handler_exception_during_an_elements_conversion_ends_the_call(
    raising_handler, place, kind
):
    """A deadline's handler raising an Exception inside __index__ or __int__: stl.h would
    clear it as the element's own error and go on; ours raises it, after that one call."""
    LOG.clear()
    with pytest.raises(ValueError, match="from the handler"):
        place(OURS, kind(5, 1))
    assert LOG == ([("index", 1)] if kind is SignalledIndex else [("index", 1), ("int", 1)])


@pytest.mark.parametrize("raising_handler", [handler_function], ids=["function"], indirect=True)
@pytest.mark.parametrize("place", PLACES_ALL.values(), ids=PLACES_ALL.keys())
def test_elements_own_error_of_the_handlers_type_stays_a_refusal(
    stl_reference, raising_handler, place
):
    """The other side of the line: __index__ raising the handler's exception type by itself
    is refused exactly as stl.h refuses it (TypeError, one retry through int())."""
    expected = outcome(lambda: place(stl_reference, OwnValueError(5, 1)), ())
    got = outcome(lambda: place(OURS, OwnValueError(5, 1)), ())
    assert got[0] == expected[0] == "raised" and got[1] is expected[1] is TypeError
    assert got[-1] == expected[-1]


def raise_about(frame):
    raise ValueError(f"at line {frame.f_lineno}")


def print_stack_onto_closed_file():
    closed = io.StringIO()
    closed.close()
    traceback.print_stack(file=closed)


def raise_from_exec_with_logging_locals():
    class Locals(dict):
        def values(self):
            LOG.append(("values", 0))
            return super().values()

    exec("raise_about(sys._getframe())", globals(), Locals())


def with_hook(install):
    def hook(frame, event, arg):
        raise ValueError("from the hook")

    def traced():
        return 5

    def run():
        install(hook)
        try:
            return traced()
        finally:
            install(None)

    return run


class QuittingDebugger(bdb.Bdb):
    def user_line(self, frame):
        self.set_quit()


def under_quitting_debugger():
    debugger = QuittingDebugger()
    debugger.set_trace(sys._getframe())
    return 5


LOOK_ALIKES = {
    "helper given its frame": lambda: raise_about(sys._getframe()),
    "print_stack onto a closed file": print_stack_onto_closed_file,
    "exec with its own locals": raise_from_exec_with_logging_locals,
    "trace function": with_hook(sys.settrace),
    "profile function": with_hook(sys.setprofile),
    "debugger's quit": under_quitting_debugger,
}


class LookAlikeIndex(Index):
    def __index__(self):
        LOG.append(("index", self.tag))
        self.action()
        return self.value


@pytest.mark.parametrize("action", LOOK_ALIKES.values(), ids=LOOK_ALIKES.keys())
@pytest.mark.parametrize("place", PLACES_ALL.values(), ids=PLACES_ALL.keys())
def test_frames_that_hold_their_caller_are_no_signal_handler(stl_reference, action, place):
    """Errors raised by code that has its caller's frame in hand, without a signal number
    before it, are the element's own: they end as stl.h ends them, and the check reads no
    locals mapping."""

    def item():
        made = LookAlikeIndex(5, 1)
        made.action = action
        return made

    expected = outcome(lambda: place(stl_reference, item()), ())
    sys.settrace(None), sys.setprofile(None)
    got = outcome(lambda: place(OURS, item()), ())
    sys.settrace(None), sys.setprofile(None)
    assert got[0] == expected[0] and got[-1] == expected[-1], (got, expected)
    assert got[0] == "ok" or got[1:3] == expected[1:3]


@pytest.mark.parametrize("count", [5, 6, 87381, 87382, 174762, 174763, 349525, 349526])
def test_result_dicts_get_the_table_a_fill_would_end_in(count):
    """Result dicts are sized at once, for the table that filling them key by key ends in: the
    counts straddle doublings, where sizing for the count alone would double some of them."""
    ids = random.Random(count).sample(range(-(2**31), 2**31), count)
    nodes = {r: set(ids[r::7]) for r in range(min(7, count))}
    edges = {e: {k % 7} for k, e in enumerate(ids)}
    _, scores = compute_centralities(nodes, edges, 0)
    filled = {}
    for key, value in scores.items():
        filled[key] = value
    assert list(scores) == list(filled) and sys.getsizeof(scores) == sys.getsizeof(filled)


def test_line_graph_result_objects_are_shared_within_a_call_and_new_across_calls():
    hyperedges = [{1, 2, 3}, {2, 3, 4}, {3, 4, 5}, {1, 2, 3}]
    first = compute_line_graph_edges(hyperedges, 1, "absolute", 1)
    second = compute_line_graph_edges(hyperedges, 1, "absolute", 1)
    assert first == second and first is not second
    assert all(a is not b for a, b in zip(first, second, strict=True))
    by_value = {}
    for i, j, weight in first:
        assert by_value.setdefault(("position", i), i) is i
        assert by_value.setdefault(("position", j), j) is j
        assert by_value.setdefault(("weight", weight), weight) is weight
    assert first[0][2] is not second[0][2]


def test_line_graph_tuples_are_untracked_and_nan_weights_stay_nan():
    import gc

    edges = compute_line_graph_edges([{1, 2}, {2, 3}, {3, 1}], 1, "normalized", 1)
    assert edges and not any(gc.is_tracked(edge) for edge in edges) and gc.is_tracked(edges)
    empty_pairs = compute_line_graph_edges([set(), set(), {1}], 0, "normalized", 1)
    assert all(math.isnan(w) for *_, w in empty_pairs)


def test_position_ints_hold_exactly_the_references_of_their_tuples():
    """Each int gets all its references at once; a wrong count leaks or frees it early."""
    import sys
    from collections import Counter

    hyperedges = [{0, k} for k in range(600)]  # every pair shares member 0
    edges = compute_line_graph_edges(hyperedges, 1, "absolute", 2)
    uses = Counter(id(edge[field]) for edge in edges for field in (0, 1))
    checked = [edges[-1][0], edges[-1][1], edges[-2][0], edges[300][1]]
    # Each is held by its tuples, the list `checked`, the loop's `v` and getrefcount's argument
    # (all > 256: none is one of the immortal small ints).
    assert all(v > 256 for v in checked)
    assert [sys.getrefcount(v) - 3 for v in checked] == [uses[id(v)] for v in checked]
    del edges
    assert [sys.getrefcount(v) for v in checked] == [3, 3, 3, 3]


FAILING_RESULT = """
import gc, resource, sys
from cpp_functions.convert.line_graph import compute_line_graph_edges

hyperedges = [{{0, k}} for k in range(4000)]  # 8 million pairs
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as f:
    address_space = int(f.read().split()[0]) * resource.getpagesize()
# Room for the native edges and part of the Python list, not all of it.
resource.setrlimit(resource.RLIMIT_AS, (address_space + ({room} << 20), hard))
try:
    compute_line_graph_edges(hyperedges, 1, "absolute", 1)
    print("succeeded")
except (MemoryError, RuntimeError, TypeError) as error:
    print(type(error).__name__)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
gc.collect()
edges = compute_line_graph_edges(hyperedges[:1000], 1, "absolute", 1)
print(len(edges), sys.getrefcount(edges[-1][1]))
"""


@pytest.mark.skipif(SANITIZED, reason="RLIMIT_AS cannot apply under AddressSanitizer")
@pytest.mark.parametrize("room", [300, 500])
def test_result_conversion_that_runs_out_of_memory_leaves_nothing(room):
    outcome = run_child(FAILING_RESULT.format(room=room), timeout=300)
    assert outcome.returncode == 0, outcome.stderr
    first, second = outcome.stdout.splitlines()
    assert first in ("MemoryError", "RuntimeError", "TypeError")
    assert second == "499500 1000"  # the last pair's second int: in 999 tuples, plus the argument
