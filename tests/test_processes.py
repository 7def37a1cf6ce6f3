"""The module keeps working in the processes Python users run it in: forked children,
fork-start worker pools, forks from other threads and from children, and processes whose
address space is nearly used up. Everything runs in child processes with time limits, so a
hang fails a test instead of stalling the suite."""

import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import SANITIZED, THREAD_SANITIZED, run_child, tool_env

ROOT = Path(__file__).resolve().parents[1]
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


@pytest.mark.parametrize("tools", ["free", "taken"])
def test_calls_in_fork_hooks_leave_no_thread_for_the_interpreter_to_count(tools):
    """The interpreter counts threads right after the after-fork hooks and warns (an error
    here) about a threaded fork; calls in every kind of hook must not start helpers then.
    Calls after os.fork() has returned run on a team again. With the monitoring tools that
    end a fork's note taken by others, the live stack alone still tells the hooks' calls."""
    claim = "for tool in (3, 4): sys.monitoring.use_tool_id(tool, 'other')"
    code = (
        (claim if tools == "taken" else "")
        + """
outcomes = []
hook = lambda where: lambda: outcomes.append((where, results() == expected))
os.register_at_fork(before=hook("before"), after_in_parent=hook("parent"),
                    after_in_child=hook("child"))
for k in range(20):
    pid = os.fork()
    if pid == 0:
        os._exit(0 if outcomes[-1] == ("child", True) else 1)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    is_connected(node_dict, edge_dict)
    assert threads() >= min(2, os.cpu_count())
print((len(outcomes), all(ok for _, ok in outcomes)))
"""
    )
    assert run(code) == [(40, True)]


FORK_NOTES = """
import gc, platform, weakref

def team_after_call():
    is_connected(node_dict, edge_dict)
    return threads() >= min(2, os.cpu_count())

# A fork that fails with EAGAIN, as under a pids limit: a seccomp filter refuses clone()
# without CLONE_VM (a fork; new threads share memory and still start).
def refuse_forks():
    clone = {"x86_64": 56, "aarch64": 220}[platform.machine()]
    class Instruction(ctypes.Structure):
        _fields_ = [("code", ctypes.c_uint16), ("jt", ctypes.c_uint8), ("jf", ctypes.c_uint8),
                    ("k", ctypes.c_uint32)]
    class Program(ctypes.Structure):
        _fields_ = [("len", ctypes.c_uint16), ("filter", ctypes.POINTER(Instruction))]
    code = (Instruction * 6)(
        (0x20, 0, 0, 0),             # the syscall number
        (0x15, 0, 3, clone),         # not clone: allow
        (0x20, 0, 0, 16),            # the flags' low word
        (0x45, 1, 0, 0x100),         # CLONE_VM: allow
        (0x06, 0, 0, 0x50000 | 11),  # EAGAIN
        (0x06, 0, 0, 0x7FFF0000),    # allow
    )
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.prctl(38, 1, 0, 0, 0) == 0  # no new privileges
    assert libc.prctl(22, 2, ctypes.byref(Program(6, code)), 0, 0) == 0, ctypes.get_errno()

def failed_fork_in_a_callee():
    def start():
        os.fork()
    try:
        start()
    except BlockingIOError:
        return team_after_call()
    return "forked"

def fork_with_a_local():
    local = type("Local", (), {})()
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)
    return weakref.ref(local)

def call(function, *args):
    return function(*args)

def reaped(pid):
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)

def frame_at_a_freed_forks_address():
    reaped(call(os.fork))
    return [call(team_after_call) for _ in range(3)]

def same_call_again():
    for step in (os.fork, team_after_call):
        outcome = step()
        if step is os.fork:
            reaped(outcome)
    return outcome

helpers_in_late_hook = []
def nested_fork():
    if not helpers_in_late_hook and not getattr(nested_fork, "running", False):
        nested_fork.running = True
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
        nested_fork.running = False

def late_hook():
    before = threads()  # the interpreter's, and a sanitizer runtime's own
    results()
    helpers_in_late_hook.append(threads() > before)

freed = fork_with_a_local()
print(freed() is None)
print(in_child(lambda: (refuse_forks(), failed_fork_in_a_callee())[1]))
print(in_child(lambda: (frame_at_a_freed_forks_address(), same_call_again())))
print((sys.monitoring.get_tool(3), sys.monitoring.get_tool(4)))
os.register_at_fork(after_in_parent=nested_fork)
os.register_at_fork(after_in_parent=late_hook)
pid = os.fork()
if pid == 0:
    os._exit(0)
os.waitpid(pid, 0)
print(helpers_in_late_hook)
"""


def test_fork_notes_keep_nothing_alive_and_end_with_their_fork():
    """A frame that forked is freed with its locals; a fork that fails leaves later calls on
    a team; a call in an after-fork hook that runs after another hook forked again still
    starts no helper (in the nested fork's hooks nor in the outer one's). A note ends when
    its os.fork() returns: a frame later made at the forking frame's address, or the forking
    frame reaching the same call again, runs on a team; the monitoring tool is given back."""
    freed, failed, reused, tools, late = run(FORK_NOTES)
    assert freed is True
    assert failed == (0, "True")
    assert reused == (0, "([True, True, True], True)")
    assert tools == (None, None)
    assert late == [False, False]


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
            except TypeError as error:  # an int or float of the result could not be made
                if not isinstance(error.__cause__, MemoryError):
                    raise
                outcome.append("result not made")
            except RuntimeError as error:  # nor a container of the result
                if not str(error).startswith("Could not allocate"):
                    raise
                outcome.append("result not made")
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
    thread, run on fewer threads or raise MemoryError (or, where the result cannot be made, the
    binding's errors for that), and the next call works."""
    lines = run(ADDRESS_LIMIT, timeout=600)
    assert len(lines) == 17 * 2
    for headroom, from_thread, code, out in lines:
        assert code == 0, (headroom, from_thread, out)
        calls, after = ast.literal_eval(out)
        assert set(calls) <= {"ok", "MemoryError", "result not made"} and after is True, (
            headroom,
            from_thread,
            out,
        )


def test_threads_interrupts_processor_changes_and_a_fork_together():
    """Three Python threads call all three functions while each flips its own processor set
    between calls, the main thread's calls are cut short by a timer's handler, and a child
    forked in the middle of it all computes the same. Run under the race detector, this is
    the helper threads' busiest schedule."""
    code = """
all_cpus = os.sched_getaffinity(0)
mismatches, finished = [], []

def worker(k):
    for round in range(4):
        os.sched_setaffinity(0, {min(all_cpus)} if (round + k) % 2 else all_cpus)
        if results() != expected:
            mismatches.append(k)
    os.sched_setaffinity(0, all_cpus)
    finished.append(k)

class Deadline(Exception):
    pass

def on_alarm(signum, frame):
    raise Deadline

signal.signal(signal.SIGALRM, on_alarm)
workers = [threading.Thread(target=worker, args=(k,)) for k in range(3)]
for thread in workers:
    thread.start()
cut_short = 0
for round in range(6):
    try:  # a timer that fires after the call, before it is cleared, is caught here too
        signal.setitimer(signal.ITIMER_REAL, 0.002 * (round + 1))
        try:
            compute_centralities(node_dict, edge_dict, 100, 0.0)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
    except Deadline:
        cut_short += 1
signal.signal(signal.SIGALRM, signal.SIG_DFL)
warnings_module = __import__("warnings")
with warnings_module.catch_warnings():
    # Other Python threads run: the interpreter rightly warns about this fork.
    warnings_module.simplefilter("ignore", DeprecationWarning)
    child = in_child(lambda: results() == expected)
for thread in workers:
    thread.join()
print((mismatches, sorted(finished), child, results() == expected, cut_short > 0))
"""
    assert run(code, timeout=600) == [([], [0, 1, 2], (0, "True"), True, True)]


WIDE = """
import hashlib
digest = hashlib.sha256(expected.encode()).hexdigest()
print((threads(), digest, in_child(lambda: results() == expected)))
"""


@pytest.mark.parametrize("processors", [8, 16])
def test_teams_wider_than_the_machine_compute_the_same_bits(wide_teams, processors):
    """Teams of 8 and 16 threads, time-sliced on this machine's cores, as on a large server:
    every result bit as with the machine's own team, also in a forked child."""

    def child(env):
        outcome = subprocess.run(
            [sys.executable, "-c", PRELUDE + WIDE],
            capture_output=True,
            text=True,
            env=env,
            timeout=600,
        )
        assert outcome.returncode == 0, outcome.stderr
        return ast.literal_eval(outcome.stdout.strip())

    wide_threads, wide_digest, wide_fork = child(wide_teams(dict(os.environ), processors))
    _, own_digest, _ = child(dict(os.environ))
    assert wide_threads >= processors  # the helpers of the widest team stay until the next fork
    assert (wide_digest, wide_fork) == (own_digest, (0, "True"))


SCRATCH = """
import gc
from cpp_functions.algorithms.centrality import compute_centralities

# Many nodes, and edges whose member sets repeat in pairs: every part of the edges compares sets.
empty = frozenset()
node_dict = {v: empty for v in range(1 << 20)}
edge_dict = {e: {e // 2 * 2, e // 2 * 2 + 1} for e in range(1 << 20)}
compute_centralities(node_dict, edge_dict, 0)  # helpers started, allocator warmed
gc.collect()

def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) for line in lines if line.startswith(field))

before = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # resets the peak
compute_centralities(node_dict, edge_dict, 0)
print(status("VmHWM:") - before)
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory in quarantine")
def test_set_comparison_scratch_does_not_grow_with_nodes_times_threads(wide_teams):
    """Comparing equal-looking member sets needs scratch per thread; sized by the node count,
    64 threads over 2^20 nodes would take up to 256 MiB more than one thread. The peak is
    the result's unless the scratch passes it."""

    def peak_kib(env):
        outcome = subprocess.run(
            [sys.executable, "-c", SCRATCH], capture_output=True, text=True, env=env, timeout=300
        )
        assert outcome.returncode == 0, outcome.stderr
        return int(outcome.stdout)

    # One malloc arena: memory that helpers freed in arenas of their own stays resident there
    # and would move the peak by up to 9 MiB between runs.
    env = {**os.environ, "MALLOC_ARENA_MAX": "1"}
    alone = peak_kib({**env, "OMP_THREAD_LIMIT": "1"})
    wide = peak_kib(wide_teams(env, 64))
    assert wide - alone < 4 << 10, (alone, wide)


@pytest.mark.parametrize("processors", [2, 16])
def test_helpers_that_keep_losing_their_cores_leave_the_call_alone(
    team_check, wide_teams, processors
):
    """Stalls that keep coming send the call on alone, also in jobs given the team it sized
    before them; the team's retries stay a small share of the jobs."""
    outcome = team_check(wide_teams(tool_env(), processors), "persistent")
    assert outcome["team"] == min(processors, 64)
    assert outcome["alone"] >= 0.8 * outcome["jobs"], outcome


def test_a_call_takes_its_team_back_once_helpers_keep_up(team_check, wide_teams):
    """After a burst of stalls the call goes on alone for a while, then its team runs the
    jobs again for the rest of the call."""
    outcome = team_check(wide_teams(tool_env(), 2), "burst")
    assert 2 <= outcome["alone after"] < 1000, outcome
    assert outcome["back after ms"] <= 500, outcome
    assert outcome["percent with helpers"] >= 90, outcome


@pytest.mark.parametrize("knobs", [True, False], ids=["taken for a preemption", "as it is"])
def test_a_single_stall_costs_only_itself(team_check, wide_teams, knobs):
    outcome = team_check(wide_teams(tool_env(), 2), "once", knobs)
    assert outcome["percent with helpers"] >= 90, outcome


def test_helpers_waiting_for_the_kernel_keep_the_team(team_check, wide_teams):
    """A helper off its core without a preemption (a page fault behind another thread's
    mapping change, the host taking the virtual processor) is no reason to go alone."""
    outcome = team_check(wide_teams(tool_env(), 2), "persistent", knobs=False)
    assert outcome["alone"] == 0, outcome


CANARY = """
import ctypes, sys
canary = ctypes.CDLL(sys.argv[1])
print(canary.planted_race())
"""


@pytest.mark.skipif(not THREAD_SANITIZED, reason="checks the race detector of make test-tsan")
def test_race_detector_reports_a_race_planted_on_the_helper_threads(tmp_path):
    """The detector is on, sees the helper threads and fails the run: a library built like
    the module, whose job writes one word from every chunk, must be reported."""
    library = tmp_path / "canary.so"
    root = ROOT / "cpp_functions"
    subprocess.run(
        [
            "g++",
            "-std=c++17",
            "-O1",
            "-g",
            "-fPIC",
            "-shared",
            "-fsanitize=thread",
            "-fopenmp",
            f"-I{root}",
            "-o",
            str(library),
            str(ROOT / "tests" / "reference" / "tsan_canary.cpp"),
            str(root / "runtime" / "parallel.cpp"),
        ],
        check=True,
        env=tool_env(),
    )
    outcome = subprocess.run(
        [sys.executable, "-c", CANARY, str(library)], capture_output=True, text=True, timeout=120
    )
    assert outcome.returncode == 66 and "WARNING: ThreadSanitizer: data race" in outcome.stderr, (
        outcome.stderr
    )
    assert "parallel" in outcome.stderr or "planted_race" in outcome.stderr
