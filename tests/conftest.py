import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))

import hypergraphs  # noqa: E402

import cpp_functions  # noqa: E402

settings.register_profile(
    "ci",
    derandomize=True,
    deadline=None,
    max_examples=150,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("dev", deadline=None, max_examples=60)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))

# After a failed build, the source folder would import as an empty namespace package.
if not str(getattr(cpp_functions, "__file__", "") or "").endswith(".so"):
    raise RuntimeError(f"cpp_functions is not the built extension: {cpp_functions!r}")

THREAD_COUNTS = (1, 2, 4)
SANITIZED = os.environ.get("CPP_FUNCTIONS_SANITIZE") == "1"
THREAD_SANITIZED = os.environ.get("CPP_FUNCTIONS_TSAN") == "1"


def tool_env() -> dict:
    """Environment for non-Python tools: without the sanitizer runtimes that make test-sanitize
    preloads into the interpreter, which would report the tools' own leaks."""
    return {
        k: v
        for k, v in os.environ.items()
        if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS")
    }


def run_child(code: str, timeout: float = 120, flags=(), env=None) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter, so a crash or a thread setting stays there; env adds
    to this process's environment."""
    return subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, **env} if env else None,
    )


def require_dataset(name: str) -> list[list[int]]:
    if name not in hypergraphs.available_datasets():
        pytest.skip(f"dataset {name} not found under {hypergraphs.DATA_DIR}")
    return hypergraphs.load_dataset(name)


@pytest.fixture(scope="session")
def native_order(tmp_path_factory):
    """Iteration order of libstdc++'s unordered_map for int keys, from a compiled helper.

    order(keys, reserve=True) mimics the binding's conversion (reserve, then insert in dict
    order); reserve=False mimics a result map filled key by key.
    """
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the hash-order helper")
    source = tmp_path_factory.mktemp("order") / "order.cpp"
    source.write_text(
        textwrap.dedent("""
        #include <iostream>
        #include <unordered_map>
        #include <unordered_set>
        int main(int argc, char **) {
          std::unordered_map<int, std::unordered_set<int>> converted;
          std::unordered_map<int, double> filled;
          int n = 0;
          std::cin >> n;
          if (argc > 1) converted.reserve(n);
          for (int k, i = 0; i < n && std::cin >> k; ++i) {
            if (argc > 1) converted.emplace(k, std::unordered_set<int>{});
            else filled[k] = 0.0;
          }
          if (argc > 1) for (auto &e : converted) std::cout << e.first << ' ';
          else for (auto &e : filled) std::cout << e.first << ' ';
          std::cout << '\\n';
        }
        """)
    )
    binary = source.with_suffix("")
    subprocess.run([compiler, "-O1", "-o", str(binary), str(source)], check=True, env=tool_env())

    def order(keys, reserve=True):
        keys = list(keys)
        args = [str(binary)] + (["reserve"] if reserve else [])
        text = " ".join(map(str, [len(keys), *keys]))
        out = subprocess.run(
            args, input=text, capture_output=True, text=True, check=True, env=tool_env()
        )
        return [int(k) for k in out.stdout.split()]

    return order


def _compile(source: Path, output: Path, *flags: str) -> None:
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build a test helper")
    command = [compiler, "-O1", "-std=c++17", *flags, "-o", str(output), str(source)]
    subprocess.run(command, check=True, env=tool_env(), capture_output=True)


def _sanitizers() -> list[str]:
    """Flags that build a test helper with the sanitizers of the run (none, or those of make
    test-sanitize or make test-tsan), so that they watch the module's code there too."""
    if THREAD_SANITIZED:
        return ["-fsanitize=thread"]
    if SANITIZED:
        return ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]
    return []


@pytest.fixture(scope="session")
def centrality_variants(tmp_path_factory):
    """Digests of the centrality kernel's bits from each instruction-set build it has; see
    reference/centrality_variants.cpp for `switch` (a team that changes during the call)."""
    root = Path(__file__).resolve().parents[1]
    binary = tmp_path_factory.mktemp("variants") / "centrality_variants"
    sources = ["runtime/parallel.cpp", "algorithms/incidence.cpp", "algorithms/centrality.cpp"]
    _compile(
        Path(__file__).parent / "reference" / "centrality_variants.cpp",
        binary,
        "-O3",
        "-fopenmp",
        "-fno-math-errno",
        "-ffp-contract=off",
        f"-I{root}",
        *(str(root / "cpp_functions" / source) for source in sources),
    )

    def digests(node_dict, edge_dict, max_iter, tol, thread_limit=None, switch=()):
        lines = [f"{max_iter} {tol!r}", " ".join(map(str, [len(node_dict), *node_dict]))]
        lines += [" ".join(map(str, [e, len(m), *m])) for e, m in edge_dict.items()]
        env = tool_env()
        if thread_limit is not None:
            env["OMP_THREAD_LIMIT"] = str(thread_limit)
        out = subprocess.run(
            [str(binary), *map(str, switch)],
            input="\n".join(lines),
            capture_output=True,
            text=True,
            check=True,
            env=env,
        )
        return dict(line.split() for line in out.stdout.splitlines())

    return digests


@pytest.fixture(scope="session")
def merge_probes(tmp_path_factory):
    """Probe steps per edge of the centrality kernel's table of member sets, by input kind."""
    root = Path(__file__).resolve().parents[1]
    binary = tmp_path_factory.mktemp("probes") / "merge_probes"
    sources = ["runtime/parallel.cpp", "algorithms/incidence.cpp"]
    _compile(
        Path(__file__).parent / "reference" / "merge_probes.cpp",
        binary,
        "-O2",
        "-fopenmp",
        "-DCPP_FUNCTIONS_TEST_COUNTERS",
        f"-I{root}",
        *(str(root / "cpp_functions" / source) for source in sources),
    )

    def probes(edges):
        out = subprocess.run(
            [str(binary), str(edges)], capture_output=True, text=True, check=True, env=tool_env()
        )
        return {name: float(value) for name, value in map(str.split, out.stdout.splitlines())}

    return probes


@pytest.fixture(scope="session")
def stl_reference(tmp_path_factory):
    """The three signatures bound through pybind11's stl.h, returning what it converted."""
    import importlib
    import sysconfig

    if shutil.which("g++") is None and shutil.which("c++") is None:
        pytest.skip("no C++ compiler to build the stl.h reference binding")
    pybind11 = pytest.importorskip("pybind11", reason="the stl.h reference binding needs pybind11")
    folder = tmp_path_factory.mktemp("reference")
    output = folder / f"stl_reference{sysconfig.get_config_var('EXT_SUFFIX')}"
    _compile(
        Path(__file__).parent / "reference" / "stl_reference.cpp",
        output,
        "-shared",
        "-fPIC",
        "-fvisibility=hidden",
        f"-I{pybind11.get_include()}",
        f"-I{sysconfig.get_paths()['include']}",
    )
    sys.path.insert(0, str(folder))
    try:
        return importlib.import_module("stl_reference")
    finally:
        sys.path.remove(str(folder))


@pytest.fixture(scope="session")
def limits_check(tmp_path_factory):
    """Runs the guards of 32-bit positions with counts past them: {check: outcome line}."""
    root = Path(__file__).resolve().parents[1]
    binary = tmp_path_factory.mktemp("limits") / "limits_check"
    sources = ["runtime/parallel.cpp", "convert/line_graph.cpp"]
    _compile(
        Path(__file__).parent / "reference" / "limits_check.cpp",
        binary,
        "-O1",
        "-fopenmp",
        f"-I{root}",
        *(str(root / "cpp_functions" / source) for source in sources),
    )
    out = subprocess.run([str(binary)], capture_output=True, text=True, check=True, env=tool_env())
    return dict(line.split("\t", 1) for line in out.stdout.splitlines())


@pytest.fixture(scope="session")
def line_graph_paths(tmp_path_factory):
    """The line-graph kernel with thresholds small enough for small inputs to take every path
    (reference/line_graph_paths.cpp): a member of more than one hyperedge can be heavy, at
    most 3 are, a walk counts in a table unless its entries outnumber a 48th of the positions,
    and kept pairs are claimed one by one. run(hyperedges, s, weightings, threads, budget) ->
    a list of [(i, j, weight)] per weighting, budget being the pairs a call may keep before it
    walks again."""
    import struct

    root = Path(__file__).resolve().parents[1]
    binary = tmp_path_factory.mktemp("line_graph_paths") / "line_graph_paths"
    _compile(
        Path(__file__).parent / "reference" / "line_graph_paths.cpp",
        binary,
        "-fopenmp",
        *_sanitizers(),
        "-DCPP_FUNCTIONS_TEST_KNOBS",
        "-DCPP_FUNCTIONS_HEAVY_FLOOR=1",
        "-DCPP_FUNCTIONS_MAX_HEAVY=3",
        "-DCPP_FUNCTIONS_DENSE_BELOW=0",
        "-DCPP_FUNCTIONS_PAIRS_PER_CLAIM=1",
        f"-I{root}",
        str(root / "cpp_functions" / "runtime" / "parallel.cpp"),
        str(root / "cpp_functions" / "convert" / "line_graph.cpp"),
    )

    def run(hyperedges, s, weightings, threads, budget):
        """One result per weighting, from one process."""
        lines = []
        for weights in weightings:
            lines.append(f"{len(hyperedges)} {s} {weights} {threads} {budget}")
            lines += [" ".join(map(str, [len(e), *e])) for e in hyperedges]
        out = subprocess.run(
            [str(binary)],
            input="\n".join(lines) + "\n",
            capture_output=True,
            text=True,
            check=True,
            env=tool_env(),
        )
        unpack = struct.Struct(">d").unpack
        results, rows = [], out.stdout.splitlines()
        while rows:
            count = int(rows[0].split()[1])
            results.append(
                [
                    (int(i), int(j), unpack(bytes.fromhex(bits))[0])
                    for i, j, bits in map(str.split, rows[1 : 1 + count])
                ]
            )
            rows = rows[1 + count :]
        assert len(results) == len(weightings)
        return results

    return run


@pytest.fixture(scope="session")
def hash_order_check(tmp_path_factory):
    """Compares the module's replica of the native map order with real maps, per key list:
    [(agrees, steps the replica took)]."""
    binary = tmp_path_factory.mktemp("hash_order") / "hash_order_check"
    source = Path(__file__).parent / "reference" / "hash_order_check.cpp"
    root = Path(__file__).resolve().parents[1]
    _compile(
        source,
        binary,
        "-fopenmp",
        "-DCPP_FUNCTIONS_TEST_COUNTERS",
        f"-I{root}",
        str(root / "cpp_functions" / "runtime" / "parallel.cpp"),
    )

    def check(key_lists):
        text = "\n".join(" ".join(map(str, [len(keys), *keys])) for keys in key_lists)
        out = subprocess.run(
            [str(binary)], input=text, capture_output=True, text=True, check=True, env=tool_env()
        )
        return [(line.split()[0] == "1", int(line.split()[1])) for line in out.stdout.splitlines()]

    return check


@pytest.fixture(scope="session")
def team_check(tmp_path_factory):
    """team_check(env, mode, knobs=True) runs reference/team_check.cpp in that mode, built with
    the test knobs (a helper's sleep stands for a preemption) or without: {"team": n, ...}."""
    root = Path(__file__).resolve().parents[1]
    folder = tmp_path_factory.mktemp("team")
    binaries = {}
    for knobs in (True, False):
        binaries[knobs] = folder / f"team_check_{int(knobs)}"
        _compile(
            Path(__file__).parent / "reference" / "team_check.cpp",
            binaries[knobs],
            "-O1",
            "-fopenmp",
            # Under the race detector of make test-tsan; AddressSanitizer would refuse the
            # processor shim that wide_teams preloads ahead of its runtime.
            *(["-fsanitize=thread"] if THREAD_SANITIZED else []),
            *(["-DCPP_FUNCTIONS_TEST_KNOBS"] if knobs else []),
            f"-I{root}",
            str(root / "cpp_functions" / "runtime" / "parallel.cpp"),
        )

    def check(env: dict, mode: str, knobs: bool = True) -> dict:
        out = subprocess.run(
            [str(binaries[knobs]), mode],
            capture_output=True,
            text=True,
            check=True,
            env=env,
            timeout=120,
        )
        return {
            line.rsplit(" ", 1)[0]: int(line.rsplit(" ", 1)[1]) for line in out.stdout.splitlines()
        }

    return check


@pytest.fixture(scope="session")
def wide_teams(tmp_path_factory):
    """wide_teams(env, processors): env with a preloaded shim that makes the OpenMP runtime
    count `processors` processors, so teams of up to that many threads run on this machine's
    cores. Any sanitizer runtime already preloaded stays first."""
    library = tmp_path_factory.mktemp("shim") / "more_processors.so"
    _compile(
        Path(__file__).parent / "reference" / "more_processors.cpp",
        library,
        "-shared",
        "-fPIC",
        "-ldl",
    )

    def widened(env: dict, processors: int) -> dict:
        preload = " ".join(p for p in (env.get("LD_PRELOAD", ""), str(library)) if p)
        return {
            **env,
            "LD_PRELOAD": preload,
            "CPP_FUNCTIONS_TEST_PROCESSORS": str(processors),
            "OMP_NUM_THREADS": str(processors),
        }

    return widened
