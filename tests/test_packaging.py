"""Typed stubs and the wheel: what a user installs and what their type checker sees."""

import ast
import shutil
import subprocess
import sys
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


def stub_signature(path: Path, name: str) -> str:
    """The stub's def rendered the way pybind11 renders a signature line."""
    function = next(
        node
        for node in ast.parse(path.read_text()).body
        if isinstance(node, ast.FunctionDef) and node.name == name
    )
    defaults = [None] * (
        len(function.args.args) - len(function.args.defaults)
    ) + function.args.defaults
    params = [
        f"{a.arg}: {ast.unparse(a.annotation)}" + (f" = {ast.unparse(d)}" if d is not None else "")
        for a, d in zip(function.args.args, defaults, strict=True)
    ]
    return f"{name}({', '.join(params)}) -> {ast.unparse(function.returns)}"


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
    assert stub_signature(STUBS / stub, function.__name__) == function.__doc__.splitlines()[0]


EXAMPLE = """
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges

pairs: list[tuple[int, int, float]] = compute_line_graph_edges([{1, 2}, {2, 3}], 1, "absolute", 2)
nodes, edges = compute_centralities({1: {10}}, {10: {1}}, max_iter=5)
best: float = max(nodes.values()) + max(edges.values())
connected: bool = is_connected({1: {10}}, {10: {1}})
"""


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
    bad.write_text(EXAMPLE + "wrong: str = is_connected({1: {10}}, {10: {1}})\n")
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
    assert failed.returncode == 1 and "Incompatible types in assignment" in failed.stdout


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
