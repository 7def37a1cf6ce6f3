"""Module surface: tree, names, docstrings, linkage, argument conversion, thread setting."""

import re
import shutil
import subprocess
import sys

import pytest
from conftest import SANITIZED, run_child, tool_env
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges

import cpp_functions

TREE = {
    "cpp_functions": {"algorithms", "convert"},
    "cpp_functions.algorithms": {"centrality", "connected"},
    "cpp_functions.algorithms.centrality": {"compute_centralities"},
    "cpp_functions.algorithms.connected": {"is_connected"},
    "cpp_functions.convert": {"line_graph"},
    "cpp_functions.convert.line_graph": {"compute_line_graph_edges"},
}
DOCS = {
    compute_line_graph_edges: "compute_line_graph_edges(hyperedges: list[set[int]], s: int, "
    "weights: str, max_threads: int) -> list[tuple[int, int, float]]\n\n"
    "Compute line graph edges in C++\n",
    compute_centralities: "compute_centralities(node_dict: dict[int, set[int]], edge_dict: "
    "dict[int, set[int]], max_iter: int = 100, tol: float = 1e-06) -> "
    "tuple[dict[int, float], dict[int, float]]\n\n"
    "Computes node and edge centralities from incidence matrix\n",
    is_connected: "is_connected(node_dict: dict[int, set[int]], edge_dict: dict[int, set[int]])"
    " -> bool\n",
}


@pytest.mark.parametrize("name", sorted(TREE))
def test_module_tree_holds_exactly_its_names(name):
    module = sys.modules[name]
    own = {k for k in vars(module) if not k.startswith("__")}
    assert own == TREE[name]
    assert module.__doc__ is None
    parent, _, short = name.rpartition(".")
    if parent:
        assert getattr(sys.modules[parent], short) is module


def test_submodule_importable_as_first_import():
    result = run_child(
        "from cpp_functions.algorithms.centrality import compute_centralities as f\n"
        "print(f.__module__)"
    )
    assert result.stdout.strip() == "cpp_functions.algorithms.centrality", result.stderr


@pytest.mark.parametrize("function", list(DOCS), ids=lambda f: f.__name__)
def test_docstrings_as_rendered(function):
    assert function.__doc__ == DOCS[function]
    assert (
        function.__module__
        == {
            "compute_line_graph_edges": "cpp_functions.convert.line_graph",
            "compute_centralities": "cpp_functions.algorithms.centrality",
            "is_connected": "cpp_functions.algorithms.connected",
        }[function.__name__]
    )


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf not installed")
@pytest.mark.skipif(SANITIZED, reason="a sanitized build links the sanitizer runtimes")
def test_links_only_runtime_libraries():
    out = subprocess.run(
        ["readelf", "-d", cpp_functions.__file__],
        capture_output=True,
        text=True,
        check=True,
        env=tool_env(),
    ).stdout
    needed = set(re.findall(r"NEEDED.*\[(.+)\]", out))
    allowed = {"libstdc++.so.6", "libm.so.6", "libgomp.so.1", "libgcc_s.so.1", "libc.so.6"}
    assert needed <= allowed | {n for n in needed if n.startswith("ld-linux")}
    assert not any("python" in n for n in needed)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_exports_only_the_entry_point():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", cpp_functions.__file__],
        capture_output=True,
        text=True,
        check=True,
        env=tool_env(),
    ).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_cpp_functions"]


def test_defaults_and_keywords_bind_by_name():
    nodes, edges = {1: {10}, 2: {10, 20}, 3: {20}}, {10: {1, 2}, 20: {2, 3}}
    expected = compute_centralities(nodes, edges, 100, 1e-6)
    assert compute_centralities(nodes, edges) == expected
    assert compute_centralities(edge_dict=edges, node_dict=nodes) == expected
    assert compute_line_graph_edges(
        max_threads=1, weights="absolute", s=1, hyperedges=[{1}, {1}]
    ) == [(0, 1, 1.0)]


HYPEREDGES = [{1, 2, 3}, {2, 3, 4}, {5}]


@pytest.mark.parametrize(
    "args",
    [
        (HYPEREDGES, 2.0, "absolute", 1),
        (HYPEREDGES, 1, "absolute", 1.0),
        ([{1.0}], 1, "absolute", 1),
        ([[1, 2]], 1, "absolute", 1),
        ("abc", 1, "absolute", 1),
        ({frozenset({1})}, 1, "absolute", 1),
        (None, 1, "absolute", 1),
        (HYPEREDGES, 2**31, "absolute", 1),
        (HYPEREDGES, -(2**31) - 1, "absolute", 1),
        (HYPEREDGES, 1, 5, 1),
        (HYPEREDGES, 1, "absolute"),
        (HYPEREDGES, 1, "absolute", 1, 1),
    ],
    ids=[
        "float-s",
        "float-threads",
        "float-member",
        "list-in-list",
        "str-list",
        "set-list",
        "none",
        "s-too-big",
        "s-too-small",
        "int-weights",
        "missing-arg",
        "extra-arg",
    ],
)
def test_refused_arguments_raise_type_error(args):
    with pytest.raises(TypeError, match=r"^compute_line_graph_edges\(\): incompatible "):
        compute_line_graph_edges(*args)


@pytest.mark.parametrize(
    "call",
    [
        lambda: compute_centralities({1: [10]}, {10: {1}}),
        lambda: compute_centralities({1: {10}}, {10: {1}}, max_iter=2.0),
        lambda: compute_centralities({1: {10}}, {10: {1}}, unknown=1),
        lambda: is_connected({1: {10}}, [(10, {1})]),
        lambda: is_connected({1: {10}}),
    ],
    ids=["list-value", "float-max-iter", "unknown-keyword", "non-dict-map", "missing"],
)
def test_incidence_map_refusals(call):
    with pytest.raises(TypeError, match=r"\(\): incompatible "):
        call()


@pytest.mark.parametrize(
    "hyperedges, s, weights",
    [
        ((frozenset({1, 2}), {2, 3}), True, "absolute"),
        ([{1, 2}, {2, 3}], 1, b"absolute"),
        ([{1, 2}, {2, 3}], 1, bytearray(b"absolute")),
        ([{1}, {1, 3}], 1, "absolute"),
    ],
    ids=["tuple-frozenset-bool", "bytes", "bytearray", "bool-member-collapses"],
)
def test_accepted_conversions(hyperedges, s, weights):
    assert compute_line_graph_edges(hyperedges, s, weights, 1) == [(0, 1, 1.0)]


@pytest.mark.parametrize("value", [2**31 - 1, -(2**31)])
def test_int32_limits_pass(value):
    assert compute_line_graph_edges([{value}, {value}], 1, "absolute", 1) == [(0, 1, 1.0)]


def test_container_errors_propagate_unchanged():
    class Broken(list):
        def __getitem__(self, index):
            raise ValueError("no item")

    with pytest.raises(ValueError, match="no item"):
        compute_line_graph_edges(Broken([{1}, {2}]), 1, "absolute", 1)


THREAD_PROBE = """
import ctypes
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges
omp = ctypes.CDLL("libgomp.so.1")
omp.omp_set_num_threads(3)
calls = {calls}
for call in calls:
    eval(call)
    print(omp.omp_get_max_threads())
"""


@pytest.mark.parametrize(
    "calls, settings",
    [
        (["compute_line_graph_edges([{{1}}], 1, 'absolute', 2)"], [2]),
        (["compute_line_graph_edges([{{1}}], 1, 'absolute', 0)"], [3]),
        (
            [
                "compute_line_graph_edges([{{1}}], 1, 'absolute', 5)",
                "compute_line_graph_edges([{{1}}], 1, 'absolute', -1)",
            ],
            [5, 5],
        ),
        (["compute_centralities({{1: {{10}}}}, {{10: {{1}}}})"], [8]),
        (["compute_centralities({{}}, {{}}, 0)"], [8]),
        (["is_connected({{1: {{10}}}}, {{10: {{1}}}})"], [3]),
        (
            [
                "compute_line_graph_edges([], 1, 'x', 2**31 - 1)",
                "compute_line_graph_edges([{{1}}, {{1}}], 1, 'x', 100000)",
            ],
            [256, 256],
        ),
    ],
    ids=[
        "set",
        "zero-keeps",
        "negative-keeps",
        "centrality-8",
        "centrality-empty-8",
        "connected",
        "cap",
    ],
)
def test_thread_setting_left_behind(calls, settings):
    code = THREAD_PROBE.replace(
        "{calls}", repr([c.replace("{{", "{").replace("}}", "}") for c in calls])
    )
    result = run_child(code)
    assert result.returncode == 0, result.stderr
    assert [int(v) for v in result.stdout.split()] == settings
