"""Typed stubs and the wheel: what a user installs and what their type checker sees."""

import ast
import doctest
import importlib.metadata
import shutil
import subprocess
import sys
import tarfile
import textwrap
import venv
from pathlib import Path

import pytest
from conftest import SANITIZED
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges

ROOT = Path(__file__).resolve().parents[1]
STUBS = ROOT / "stubs" / "cpp_functions-stubs"


def parameters(function: ast.FunctionDef) -> tuple[list[tuple[str, str | None]], str]:
    """Names with their defaults, and the return annotation: what a stub must share with the
    runtime signature. Its parameter annotations are wider on purpose (frozensets, tuples)."""
    args = function.args.args
    defaults = [None] * (len(args) - len(function.args.defaults)) + function.args.defaults
    named = [
        (a.arg, None if d is None else ast.unparse(d)) for a, d in zip(args, defaults, strict=True)
    ]
    return named, ast.unparse(function.returns)


def stub_function(path: Path, name: str) -> ast.FunctionDef:
    return next(
        node
        for node in ast.parse(path.read_text()).body
        if isinstance(node, ast.FunctionDef) and node.name == name
    )


@pytest.mark.parametrize(
    "function, stub",
    [
        (compute_line_graph_edges, "convert/line_graph.pyi"),
        (compute_centralities, "algorithms/centrality.pyi"),
        (is_connected, "algorithms/connected.pyi"),
    ],
    ids=lambda v: getattr(v, "__name__", v),
)
def test_stubs_match_runtime_signatures(function, stub):
    rendered = ast.parse(f"def {function.__doc__.splitlines()[0]}: ...").body[0]
    assert parameters(stub_function(STUBS / stub, function.__name__)) == parameters(rendered)
    assert (ast.get_docstring(stub_function(STUBS / stub, function.__name__)) or "") in (
        function.__doc__
    )


EXAMPLE = """
from collections import deque

import cpp_functions
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges

version: str = cpp_functions.__version__
pairs: list[tuple[int, int, float]] = compute_line_graph_edges([{1, 2}, {2, 3}], 1, "absolute", 2)
frozen = compute_line_graph_edges([frozenset({1, 2}), frozenset({2})], 1, b"normalized", 0)
mixed = compute_line_graph_edges(({1, 2}, frozenset({2})), 1, "absolute", 0)
queued = compute_line_graph_edges(deque([{1}, {1}]), 1, bytearray(b"absolute"), 0)
nodes, edges = compute_centralities({1: {10}}, {10: {1}}, max_iter=5)
best: float = max(nodes.values()) + max(edges.values())
connected: bool = is_connected({1: {10}}, {10: {1}})
frozen_dicts = compute_centralities({1: frozenset({10})}, {10: frozenset({1})}, 3, 1e-3)
either: dict[int, set[int] | frozenset[int]] = {1: {10}, 2: frozenset({10})}
also: bool = is_connected(either, {10: frozenset({1, 2})})
"""
# One type error per line: each must be reported.
MISUSE = [
    "wrong: str = is_connected({1: {10}}, {10: {1}})",
    'compute_line_graph_edges("ab", 1, "absolute", 0)',
    'compute_line_graph_edges([[1, 2]], 1, "absolute", 0)',
    'compute_line_graph_edges([{1.5}], 1, "absolute", 0)',
    'compute_line_graph_edges([{1}], 1.0, "absolute", 0)',
    "compute_centralities({1: [10]}, {10: {1}})",
    'compute_centralities({"1": {10}}, {10: {1}})',
    "is_connected({1: {10}}.items(), {10: {1}})",
    "is_connected({1: {10}}, {10: {1}}, 1)",
]


@pytest.mark.slow
@pytest.mark.skipif(
    SANITIZED, reason="builds and type-checks with plain tools, not under the sanitizers"
)
@pytest.mark.skipif(
    shutil.which("mypy") is None and not Path(sys.executable).with_name("mypy").exists(),
    reason="mypy not installed",
)
def test_mypy_strict_accepts_typed_use_and_rejects_misuse(tmp_path):
    good = tmp_path / "good.py"
    good.write_text(EXAMPLE)
    bad = tmp_path / "bad.py"
    bad.write_text(EXAMPLE + "\n".join(MISUSE) + "\n")
    run = [
        sys.executable,
        "-m",
        "mypy",
        "--strict",
        "--no-incremental",
        "--cache-dir",
        str(tmp_path / "c"),
    ]
    ok = subprocess.run([*run, str(good)], capture_output=True, text=True)
    assert ok.returncode == 0, ok.stdout + ok.stderr
    failed = subprocess.run([*run, str(bad)], capture_output=True, text=True)
    reported = {
        int(line.split(":")[1]) for line in failed.stdout.splitlines() if ": error:" in line
    }
    first = EXAMPLE.count("\n") + 1
    assert failed.returncode == 1
    assert reported == set(range(first, first + len(MISUSE))), failed.stdout


@pytest.mark.slow
@pytest.mark.skipif(
    SANITIZED, reason="builds and type-checks with plain tools, not under the sanitizers"
)
@pytest.mark.skipif(
    not any(shutil.which(c) for c in ("c++", "g++", "clang++")),
    reason="no C++ compiler: building a wheel needs one (make test-wheel runs here)",
)
def test_wheel_installs_into_a_fresh_venv(tmp_path):
    dist = tmp_path / "dist"
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "wheel",
            "-q",
            "--no-build-isolation",
            "--no-deps",
            "-w",
            str(dist),
            "-Cbuild-dir=build/wheel-test",
            str(ROOT),
        ],
        check=True,
        cwd=ROOT,
    )
    wheel = next(dist.glob("cpp_functions-*.whl"))
    sys.path.insert(0, str(ROOT / "tests"))
    from wheel_check import metadata_problems

    assert metadata_problems(str(wheel)) == []
    sdist = subprocess.run(
        [
            sys.executable,
            "-c",
            f"from scikit_build_core.build import build_sdist as b; print(b({str(dist)!r}))",
        ],
        capture_output=True,
        text=True,
        check=True,
        cwd=ROOT,
    ).stdout.split()[-1]
    with tarfile.open(dist / sdist) as archive:
        assert f"{sdist.removesuffix('.tar.gz')}/LICENSE" in archive.getnames()
    env = tmp_path / "env"
    venv.create(env, with_pip=True)
    python = env / "bin" / "python"
    subprocess.run(
        [python, "-m", "pip", "install", "-q", "--no-deps", "--no-index", str(wheel)], check=True
    )
    code = textwrap.dedent("""
        import importlib.util, sysconfig
        from cpp_functions.convert.line_graph import compute_line_graph_edges
        print(compute_line_graph_edges([{1, 2}, {2}], 1, "absolute", 1))
        print(importlib.util.find_spec("cpp_functions").origin.startswith(sysconfig.get_paths()["platlib"]))
        print(len(list(__import__("pathlib").Path(sysconfig.get_paths()["purelib"]).glob("cpp_functions-stubs/**/*.pyi"))))
    """)
    out = subprocess.run(
        [python, "-c", code], capture_output=True, text=True, cwd=tmp_path, check=True
    ).stdout
    assert out.split("\n")[:3] == ["[(0, 1, 1.0)]", "True", "6"]


def test_version_is_the_metadata_version():
    import cpp_functions

    assert cpp_functions.__version__ == importlib.metadata.version("cpp_functions")


def test_readme_examples_run_as_doctests():
    results = doctest.testfile(str(ROOT / "README.md"), module_relative=False, verbose=False)
    assert results.failed == 0 and results.attempted >= 8
