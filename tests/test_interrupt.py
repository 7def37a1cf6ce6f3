"""Long calls stop soon after a signal whose handler raises, with that exception, leaving
nothing behind; signals whose handlers return change nothing. Each case runs in a child
process, which the signal is sent to."""

import signal
import subprocess
import sys
import threading
import time

import pytest
from conftest import SANITIZED, THREAD_SANITIZED, run_child

LATENCY_LIMIT = 0.2  # seconds from the signal to the exception in the caller

PRELUDE = """
import ctypes, gc, signal, sys, time
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges


class Lazy(list):
    # A list subclass: every item is fetched through __getitem__, one by one.
    pass


overlapping = [set(range(2000))] * 3000  # every pair shares 2000 members: a long kernel
ring = {v: {v, (v + 1) % 50} for v in range(50)}  # 50 nodes, edge v holds v and v + 1
edges = {e: {e, (e + 1) % 50} for e in range(50)}
huge_input = Lazy([frozenset()] * 30_000_000)
LONG = {
    "line graph": lambda: compute_line_graph_edges(overlapping, 1, "absolute", 2),
    "centrality": lambda: compute_centralities(ring, edges, 2**31 - 1, 0.0),
    "conversion": lambda: compute_line_graph_edges(huge_input, 1, "absolute", 2),
}
"""

SIGINT_CHILD = (
    PRELUDE
    + """
call = LONG[sys.argv[1]]
print("ready", flush=True)
sys.stdin.readline()
print("started", flush=True)
try:
    call()
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
print("next", compute_line_graph_edges([{1, 2}, {2, 3}], 1, "absolute", 1), flush=True)
"""
)


@pytest.mark.slow
@pytest.mark.parametrize("name", ["line graph", "centrality", "conversion"])
def test_sigint_raises_keyboard_interrupt_soon_and_the_next_call_works(name):
    with subprocess.Popen(
        [sys.executable, "-c", SIGINT_CHILD, name],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    ) as child:
        watchdog = threading.Timer(120, child.kill)  # a call that ignores the signal ends here
        watchdog.start()
        try:
            assert child.stdout.readline().strip() == "ready"
            child.stdin.write("go\n")
            child.stdin.flush()
            assert child.stdout.readline().strip() == "started"
            time.sleep(0.2)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            outcome = child.stdout.readline().split()
            child.wait(timeout=120)
            rest = child.stdout.read()  # communicate() would skip what readline() buffered
            errors = child.stderr.read()
        finally:
            watchdog.cancel()
            child.kill()
    assert outcome and outcome[0] == "interrupted", (outcome, errors)
    if not SANITIZED:  # the sanitizers slow every step several times
        assert float(outcome[1]) - sent < LATENCY_LIMIT
    assert rest.strip() == "next [(0, 1, 1.0)]"


ALARM_CHILD = (
    PRELUDE
    + """
class Stop(Exception):
    pass


def stop(signum, frame):
    raise Stop("alarm")


signal.signal(signal.SIGALRM, stop)
gomp = ctypes.CDLL("libgomp.so.1")
libc = ctypes.CDLL(None)


def interrupted(call, after):
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        call()
    except Stop:
        return True
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    return False


def rss():
    # Freed blocks that the C library keeps for reuse (tens of MiB after a large call, whose
    # size sets its thresholds) are not a leak: they are handed back before measuring.
    trim = getattr(libc, "malloc_trim", None)
    if trim is not None:
        trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


gomp.omp_set_num_threads(3)
# Stopped while its arguments are converted, the call leaves the setting as a refused one would.
print("conversion", interrupted(LONG["conversion"], 0.05), gomp.omp_get_max_threads())
print("custom", interrupted(LONG["centrality"], 0.1), gomp.omp_get_max_threads())
names = list(LONG)
for k in range(20):
    interrupted(LONG[names[k % 3]], 0.01)
gc.collect()
before = rss()
stopped = sum(interrupted(LONG[names[k % 3]], 0.01) for k in range(200))
gc.collect()
print("growth", stopped, (rss() - before) / 2**20)
"""
)


@pytest.mark.slow
def test_handler_exception_comes_out_and_200_interrupted_calls_keep_no_memory():
    outcome = run_child(ALARM_CHILD, timeout=600)
    assert outcome.returncode == 0, outcome.stderr
    conversion, custom, growth = outcome.stdout.splitlines()
    assert conversion == "conversion True 3"
    # The handler's own exception; the centrality call set its thread count before it stopped.
    assert custom == "custom True 8"
    _, stopped, mib = growth.split()
    assert int(stopped) == 200
    assert float(mib) < 5


RETURNING_CHILD = (
    PRELUDE
    + """
calls = []
signal.signal(signal.SIGALRM, lambda signum, frame: calls.append(signum))
hyperedges = [set(range(k % 40, k % 40 + 30)) for k in range(600)]
nodes = {v: set() for v in range(3000)}
members = {e: {(7 * e + d) % 3000 for d in range(5)} for e in range(4000)}
plain = (
    compute_line_graph_edges(hyperedges, 1, "normalized", 2),
    compute_centralities(nodes, members, 300, 0.0),
)
signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)  # a signal every millisecond
same = True
for _ in range(1000):  # however fast the calls, until a few handlers have run in them
    signalled = (
        compute_line_graph_edges(hyperedges, 1, "normalized", 2),
        compute_centralities(nodes, members, 300, 0.0),
    )
    same = same and plain == signalled
    if len(calls) > 10:
        break
signal.setitimer(signal.ITIMER_REAL, 0)
signal.signal(signal.SIGINT, signal.SIG_IGN)
signal.raise_signal(signal.SIGINT)
ignored = compute_centralities(nodes, members, 300, 0.0)
print(same, ignored == plain[1], len(calls) > 10)
"""
)


def test_signals_whose_handlers_return_change_nothing():
    outcome = run_child(RETURNING_CHILD, timeout=300)
    assert outcome.returncode == 0, outcome.stderr
    assert outcome.stdout.split() == ["True", "True", "True"]


PAUSING_CHILD = """
import os, random, signal, warnings
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges

warnings.simplefilter("error")  # a fork while helpers run would warn
rng = random.Random(5)
fork_limit = int(os.environ.get("FORK_LIMIT", "1000000"))
pool = rng.sample(range(-2**31, 2**31 - 1), 300_000)
hyperedges = [set(rng.sample(pool, 6)) for _ in range(200_000)]
edge_dict = dict(zip(rng.sample(range(2**31 - 1), len(hyperedges)), hyperedges))
node_dict = {}
for e, members in edge_dict.items():
    for v in members:
        node_dict.setdefault(v, set()).add(e)
calls = lambda: (
    compute_line_graph_edges(hyperedges, 2, "normalized", 2),
    compute_line_graph_edges(hyperedges, 1, "absolute", 2),
    compute_centralities(node_dict, edge_dict, 3, 0.0),
    is_connected(node_dict, edge_dict),
)
plain = calls()
seen = {"signals": 0, "nested": 0, "forks": 0}
def handler(signum, frame):
    # Runs at polls, also those of jobs paused between their chunks: calls of ours and forks
    # then find the helpers out and the pool free.
    # The count is read once: handlers nest inside the call below, at its polls.
    seen["signals"] = count = seen["signals"] + 1
    if count % 40 == 0:
        seen["nested"] += is_connected({1: {7}, 2: {7}}, {7: {1, 2}})
    if count % 400 == 0 and seen["forks"] < fork_limit:
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
        seen["forks"] += 1
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
signalled = [calls() for _ in range(3)]
signal.setitimer(signal.ITIMER_REAL, 0)
print(all(s == plain for s in signalled), seen["nested"] > 10, seen["forks"] > 0)
"""


def test_jobs_paused_for_handlers_that_call_us_and_fork_give_the_same_results():
    """Handlers run every 0.2 ms, at polls inside long jobs too; they call the module and fork.
    Results stay those of undisturbed calls and no fork warns about helper threads."""
    # Under the race detector a fork takes 0.3-0.5 s and the handlers' count varies with the
    # calls' speed: 110 to 800 forks in a run. Bounded, the run stays within minutes.
    limit = {"FORK_LIMIT": "60"} if THREAD_SANITIZED else {}
    outcome = run_child(PAUSING_CHILD, timeout=600, env=limit)
    assert outcome.returncode == 0, outcome.stderr
    assert outcome.stdout.split() == ["True", "True", "True"]


PYTHON_INDEX_ID = """
class Id:
    # Converted through its Python __index__, in which a signal's handler usually runs.
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value
"""

INDEX_CHILD = (
    """
import os, signal, threading, time
from cpp_functions.convert.line_graph import compute_line_graph_edges
"""
    + PYTHON_INDEX_ID
    + """

edges = [{Id(3 * k), Id(3 * k + 1), Id(3 * k + 2)} for k in range(200000)]
def timed():
    start = time.perf_counter()
    compute_line_graph_edges(edges, 1, "absolute", 1)
    return time.perf_counter() - start
took = min(timed() for _ in range(3))  # the first call, with its fresh memory, takes longer
outcomes = []
for attempt in range(20):
    # Within the first half of the call: its conversion.
    timer = threading.Timer(took * (0.05 + 0.02 * attempt), os.kill, (os.getpid(), signal.SIGINT))
    outcome = "swallowed"  # unless a KeyboardInterrupt comes out, in the call or after it
    try:
        timer.start()
        try:
            compute_line_graph_edges(edges, 1, "absolute", 1)
        except KeyboardInterrupt:
            outcome = "interrupted"
        timer.join()
        time.sleep(0.01)  # a signal that arrived as join returned is handled here
    except KeyboardInterrupt:
        outcome = "late"  # a slow timer thread (a loaded machine) sent it after the call
    outcomes.append(outcome)
print(outcomes.count("swallowed"), outcomes.count("interrupted") >= 10)
"""
)


@pytest.mark.slow
def test_sigint_during_python_index_is_never_swallowed():
    """The handler's KeyboardInterrupt is raised inside an element's __index__; the library's
    int conversion would clear it and retry through int(), finishing the call."""
    outcome = run_child(INDEX_CHILD, timeout=300)
    assert outcome.returncode == 0, outcome.stderr
    assert outcome.stdout.split() == ["0", "True"]


DEADLINE_CHILD = (
    """
import signal, time
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.algorithms.connected import is_connected
from cpp_functions.convert.line_graph import compute_line_graph_edges
"""
    + PYTHON_INDEX_ID
    + """

def deadline(signum, frame):
    raise TimeoutError("deadline")


signal.signal(signal.SIGALRM, deadline)
hyperedges = [{Id(3 * k), Id(3 * k + 1), Id(3 * k + 2)} for k in range(200000)]
node_dict = {Id(v): {Id(v), Id((v - 1) % 150000)} for v in range(150000)}
edge_dict = {Id(e): {Id(e), Id((e + 1) % 150000)} for e in range(150000)}
calls = {
    "list": lambda: compute_line_graph_edges(hyperedges, 1, "absolute", 1),
    "dict": lambda: compute_centralities(node_dict, edge_dict, 1),
    "dict-connected": lambda: is_connected(node_dict, edge_dict),
}
def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start
for name, call in calls.items():
    took = min(timed(call) for _ in range(3))  # the first call, with its fresh memory, takes longer
    raised = 0
    for attempt in range(20):
        # Within the first half of the call: its conversion.
        signal.setitimer(signal.ITIMER_REAL, took * (0.05 + 0.02 * attempt))
        try:
            call()
        except TimeoutError:
            raised += 1
        signal.setitimer(signal.ITIMER_REAL, 0)
    print(name, raised)
"""
)


@pytest.mark.slow
def test_deadline_raised_during_python_index_is_never_swallowed():
    """The usual timeout idiom: a SIGALRM handler raising TimeoutError, an Exception, while
    ids are converted through their Python __index__. The int conversion clears such errors
    as the id's own; the handler's must come out, on every path."""
    outcome = run_child(DEADLINE_CHILD, timeout=600)
    assert outcome.returncode == 0, outcome.stderr
    assert outcome.stdout.split() == ["list", "20", "dict", "20", "dict-connected", "20"]


RECURSION_CHILD = """
import sys, time
from cpp_functions.convert.line_graph import compute_line_graph_edges


class Again:
    def __index__(self):
        return compute_line_graph_edges([{Again(), Again()}], 1, "absolute", 1) and 0


sys.setrecursionlimit(400)
start = time.perf_counter()
try:
    compute_line_graph_edges([{Again()}], 1, "absolute", 1)
    print("returned")
except RecursionError:
    print("RecursionError", time.perf_counter() - start < 10)
"""


def test_recursion_in_index_ends_at_once():
    """An __index__ that calls the module again ends in RecursionError; cleared and retried
    at every level, it would take exponentially many calls."""
    outcome = run_child(RECURSION_CHILD, timeout=120)
    assert outcome.returncode == 0, outcome.stderr
    assert outcome.stdout.split() == ["RecursionError", "True"]


SCALAR_CHILD = """
import os, signal
from cpp_functions.algorithms.centrality import compute_centralities
from cpp_functions.convert.line_graph import compute_line_graph_edges


class Scalar:
    def __init__(self, interrupt):
        self.interrupt = interrupt

    def value(self):
        if not self.interrupt:
            raise ValueError("no value")
        os.kill(os.getpid(), signal.SIGINT)
        for _ in range(1000):  # the handler runs here, inside the conversion
            pass
        return 1

    def __index__(self):
        return self.value()

    def __float__(self):
        return float(self.value())


calls = {
    "s": lambda x: compute_line_graph_edges([{1}], x, "absolute", 1),
    "max_threads": lambda x: compute_line_graph_edges([{1}], 1, "absolute", x),
    "max_iter": lambda x: compute_centralities({1: {1}}, {1: {1}}, x),
    "tol": lambda x: compute_centralities({1: {1}}, {1: {1}}, 5, x),
}
for name, call in calls.items():
    for interrupt in (True, False):
        try:
            call(Scalar(interrupt))
            outcome = "returned"
        except BaseException as error:
            outcome = type(error).__name__
        print(name, interrupt, outcome)
"""


def test_sigint_during_a_scalar_conversion_is_never_swallowed():
    """Ctrl-C inside a scalar's own __index__ or __float__ ends the call as it does inside an
    id's; a scalar that fails by itself is still refused with TypeError."""
    outcome = run_child(SCALAR_CHILD)
    assert outcome.returncode == 0, outcome.stderr
    lines = [line.split() for line in outcome.stdout.splitlines()]
    assert lines == [
        [name, interrupt, "KeyboardInterrupt" if interrupt == "True" else "TypeError"]
        for name in ("s", "max_threads", "max_iter", "tol")
        for interrupt in ("True", "False")
    ]


HANDLER_KINDS_CHILD = """
import functools, os, signal, sys
from cpp_functions.convert.line_graph import compute_line_graph_edges


class Deadline(Exception):
    pass


def raise_deadline(signum, frame):
    raise Deadline


class Handlers:
    def method(self, signum, frame):
        raise Deadline

    def __call__(self, signum, frame):
        raise Deadline


def one_shot(signum, frame):
    signal.signal(signal.SIGALRM, lambda *args: None)  # restores a harmless handler first
    raise Deadline


kinds = {
    "function": raise_deadline,
    "lambda": lambda *args: (_ for _ in ()).throw(Deadline()),
    "method": Handlers().method,
    "object": Handlers(),
    "partial": functools.partial(lambda tag, signum, frame: raise_deadline(signum, frame), "tag"),
    "staticmethod": staticmethod(raise_deadline),
    "one-shot": one_shot,
}


class Signalling:
    def __index__(self):
        os.kill(os.getpid(), signal.SIGALRM)
        for _ in range(1000):  # the handler runs here
            pass
        return 1


def outcome(call):
    try:
        call()
        return "returned"
    except BaseException as error:
        return type(error).__name__


for name, handler in kinds.items():
    signal.signal(signal.SIGALRM, handler)
    print(name, outcome(lambda: compute_line_graph_edges([{Signalling()}], 1, "absolute", 1)))

# Without _signal in sys.modules, or with it blocked, the check still works and imports nothing.
signal.signal(signal.SIGALRM, raise_deadline)
saved = sys.modules.pop("_signal")
print("purged", outcome(lambda: compute_line_graph_edges([{Signalling()}], 1, "absolute", 1)),
      "_signal" in sys.modules)
sys.modules["_signal"] = None
print("blocked", outcome(lambda: compute_line_graph_edges([{Signalling()}], 1, "absolute", 1)))
sys.modules["_signal"] = saved
print("handlers kept", signal.getsignal(signal.SIGINT) is signal.default_int_handler)

# An exception a handler raised earlier, raised again by __index__ with no signal: its own.
try:
    os.kill(os.getpid(), signal.SIGALRM)
    for _ in range(1000):
        pass
except Deadline as error:
    stored = error


class Stale:
    def __index__(self):
        raise stored


print("stored", outcome(lambda: compute_line_graph_edges([{Stale()}], 1, "absolute", 1)))
"""


def test_every_kind_of_handler_is_recognised_without_imports():
    """A handler's exception raised inside an id's __index__ ends the call whatever Python
    callable the handler is, also one that restores another handler before raising; the
    check imports nothing (a purged or blocked _signal changes nothing); an exception that a
    handler raised earlier, raised again by __index__, is the id's own (TypeError)."""
    outcome = run_child(HANDLER_KINDS_CHILD)
    assert outcome.returncode == 0, outcome.stderr
    lines = outcome.stdout.splitlines()
    kinds = ["function", "lambda", "method", "object", "partial", "staticmethod", "one-shot"]
    assert lines[: len(kinds)] == [f"{kind} Deadline" for kind in kinds]
    assert lines[len(kinds) :] == [
        "purged Deadline False",
        "blocked Deadline",
        "handlers kept True",
        "stored TypeError",
    ]
