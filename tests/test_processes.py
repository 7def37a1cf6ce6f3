"""The module keeps working in the processes Python users run it in: forked children,
fork-start worker pools, forks from other threads and from children, and processes whose
address space is nearly used up. Everything runs in child processes with time limits, so a
hang fails a test instead of stalling the suite."""

import ast
import os

import pytest
from conftest import SANITIZED, run_child

SCRIPTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts")

PRELUDE = f"""
import ctypes, multiprocessing, os, signal, sys, threading
sys.path.insert(0, {SCRIPTS!r})
import hypergraphs
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges

gomp = ctypes.CDLL("libgomp.so.1")
hyperedges = [set(e) for e in hypergraphs.synthetic(30000, seed=11)]
node_dict, edge_dict = hypergraphs.incidence_maps(hyperedges)


def results():
    # Large enough that every call runs on a team of threads.
    return repr((
        compute_line_graph_edges(hyperedges, 2, "normalized", 0),
        compute_centralities(node_dict, edge_dict, 30, 0.0),
        is_connected(node_dict, edge_dict),
    ))


def threads():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))


def in_child(work):
    # Runs work() in a forked child that ends itself after 60 s; returns what it printed.
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        signal.alarm(60)
        os.close(read_end)
        try:
            out = repr(work())
        except BaseException as error:
            out = "raised " + repr(error)
        os.write(write_end, out.encode())
        os._exit(0)
    os.close(write_end)
    chunks = []
    while chunk := os.read(read_end, 1 << 16):
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), b"".join(chunks).decode()


expected = results()
"""


def run(code, timeout=240):
    """The child's printed lines, each a Python literal. -W error: the interpreter warns
    about a fork while other threads run, which helper threads must not make it do."""
    outcome = run_child(PRELUDE + code, timeout=timeout, flags=("-W", "error::DeprecationWarning"))
    assert outcome.returncode == 0, outcome.stderr
    return [ast.literal_eval(line) for line in outcome.stdout.splitlines()]


def test_forked_child_computes_the_same_on_a_team_and_forks_again():
    """After calls of all three functions the child gets the parent's results, runs them on
    more than one thread, and so does a child of the child; parent and children keep their
    thread-count setting (8, left by the centrality call)."""
    code = """
def check():
    return results() == expected, threads() >= min(2, os.cpu_count()), gomp.omp_get_max_threads()

print(in_child(check))
print(in_child(lambda: in_child(check)))
print((results() == expected, gomp.omp_get_max_threads()))
"""
    child, nested, parent = run(code, timeout=400)
    assert child == (0, "(True, True, 8)")
    assert nested == (0, repr((0, "(True, True, 8)")))
    assert parent == (True, 8)


def test_fork_start_pool_maps_calls():
    code = """
def task(k):
    return results() == expected, k

with multiprocessing.get_context("fork").Pool(2) as pool:
    print(pool.map_async(task, range(4)).get(timeout=120))
"""
    assert run(code) == [[(True, 0), (True, 1), (True, 2), (True, 3)]]


def test_fork_from_another_thread():
    """The thread that forks is not the one that made the calls."""
    code = """
outcome = []
thread = threading.Thread(target=lambda: outcome.append(in_child(lambda: results() == expected)))
thread.start()
thread.join()
print(outcome[0])
"""
    assert run(code) == [(0, "True")]


ADDRESS_LIMIT = """
import resource

def first_calls_under_limit(headroom, from_thread):
    def calls():
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (headroom << 20), hard))
        outcome = []
        for call in (lambda: compute_line_graph_edges(hyperedges, 2, "absolute", 2),
                     lambda: compute_centralities(node_dict, edge_dict, 5),
                     lambda: is_connected(node_dict, edge_dict)):
            try:
                call()
                outcome.append("ok")
            except MemoryError:
                outcome.append("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        return outcome, results() == expected

    if not from_thread:
        return calls()
    box = []
    thread = threading.Thread(target=lambda: box.append(calls()))
    thread.start()
    thread.join()
    return box[0]

# Each headroom in a fresh child of a process that has run no call since its helpers
# stopped at the fork: its first job starts them under the limit.
for headroom in range(0, 65, 4):
    for from_thread in (False, True):
        child = in_child(lambda: first_calls_under_limit(headroom, from_thread))
        print((headroom, from_thread, *child))
"""


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves terabytes of address space")
def test_first_team_under_an_address_space_limit_never_ends_the_process():
    """Calls under a limit a few MiB above current use, the first of the process or of a new
    thread, run on fewer threads or raise MemoryError, and the next call works."""
    lines = run(ADDRESS_LIMIT, timeout=600)
    assert len(lines) == 17 * 2
    for headroom, from_thread, code, out in lines:
        assert code == 0, (headroom, from_thread, out)
        calls, after = ast.literal_eval(out)
        assert set(calls) <= {"ok", "MemoryError"} and after is True, (headroom, from_thread, out)
