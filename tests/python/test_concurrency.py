"""Threads: concurrent searches on one index match a serial run while other threads read
statistics and create and drop other indexes; an index dropped by another thread during a
search outlives the search; borrow conflicts fail at once and never hang; the interpreter
exits cleanly while daemon threads are inside calls."""

import faulthandler
import os
import random
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from korvel import HybridIndex

from conftest import LONG_TESTS

DIM = 48
N = 6000


@pytest.fixture(autouse=True)
def hang_guard():
    # A deadlock dumps every thread's stack and ends the run instead of hanging it.
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="module")
def loaded(tmp_path_factory):
    rng = np.random.default_rng(11)
    emb = rng.standard_normal((N, DIM)).astype(np.float32)
    idx = HybridIndex.builder(["a", "b", "c"], DIM)
    for i in range(N):
        idx.add_record(10_000 + i, {"a": "a%d" % (i % 4), "b": "b%d" % (i % 9), "c": "c%d" % (i % 2)},
                       emb[i], i * DIM * 4)
    path = str(tmp_path_factory.mktemp("conc") / "i.korvix")
    idx.save(path)
    return HybridIndex.load(path), emb.view(np.uint8).ravel(), str(path)


def random_queries(count, seed):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        filters = {}
        for name, values in (("a", 4), ("b", 9), ("c", 2)):
            if rng.random() < 0.4:
                filters[name] = "%s%d" % (name, rng.randrange(values))
        vec = None
        if rng.random() < 0.85:
            vec = np.array([rng.gauss(0, 1) for _ in range(DIM)], np.float32)
        rescore = vec is not None and rng.random() < 0.5
        out.append((filters, vec, rng.randint(1, 60), rescore))
    return out


def run(idx, buffer, query):
    filters, vec, top_k, rescore = query
    return idx.search(filters, vec, top_k, rescore, buffer if rescore else None)


def test_parallel_searches_match_a_serial_run(loaded):
    idx, buffer, path = loaded
    queries = random_queries(400, 1)
    expected = [run(idx, buffer, q) for q in queries]
    per_thread = 10000 if LONG_TESTS else 1500
    stop = threading.Event()
    failures = []

    def searcher(seed):
        rng = random.Random(seed)
        try:
            for _ in range(per_thread):
                i = rng.randrange(len(queries))
                got = run(idx, buffer, queries[i])
                if not np.array_equal(got, expected[i]):
                    failures.append((seed, i))
        except BaseException as e:
            failures.append(repr(e))

    def stats_reader():
        while not stop.is_set():
            stats = idx.memory_stats()
            if stats["mmap_size_mb"] != os.path.getsize(path) / 1048576:
                failures.append(stats)

    def churner(seed):
        rng = random.Random(seed)
        k = 0
        while not stop.is_set():
            other = HybridIndex.builder(["x"], 8)
            for i in range(rng.randint(0, 100)):
                other.add_record(i, {"x": str(i % 3)}, [rng.uniform(-1, 1) for _ in range(8)])
            p = path + ".churn%d-%d" % (seed, k % 3)
            other.save(p)
            loaded_other = HybridIndex.load(p)
            loaded_other.search({}, [0.5] * 8, 5)
            del other, loaded_other
            k += 1

    side = [threading.Thread(target=stats_reader)] + [
        threading.Thread(target=churner, args=(s,)) for s in (1, 2)]
    searchers = [threading.Thread(target=searcher, args=(s,)) for s in range(8)]
    for t in side + searchers:
        t.start()
    for t in searchers:
        t.join()
    stop.set()
    for t in side:
        t.join()
    assert failures == []


def test_index_dropped_by_another_thread_outlives_the_search(tmp_path):
    # Big enough that a search takes a while with the interpreter lock released.
    n, dim = 100_000, 64
    emb = np.random.default_rng(3).standard_normal((n, dim)).astype(np.float32)
    build = HybridIndex.builder(["t"], dim)
    for i in range(n):
        build.add_record(i, {"t": "x"}, emb[i], i * dim * 4)
    path = str(tmp_path / "drop.korvix")
    build.save(path)
    del build
    buffer = emb.view(np.uint8).ravel()
    expected = HybridIndex.load(path).search({}, emb[7], 10000, True, buffer)

    def mapped():
        with open("/proc/self/maps") as f:
            return sum(path in line for line in f)

    during = 0
    for _ in range(5):
        holder = {"idx": HybridIndex.load(path)}
        started, result = threading.Event(), []
        search = holder["idx"].search  # this thread's own reference
        t = threading.Thread(target=lambda: (started.set(),
                                             result.append(search({}, emb[7], 10000, True,
                                                                  buffer))))
        t.start()
        started.wait()
        time.sleep(0.001)
        del holder["idx"], search  # the running search holds the last reference
        during += t.is_alive()
        t.join(60)
        assert not t.is_alive()
        assert np.array_equal(result[0], expected)
        del t, result
        assert mapped() == 0  # and the index is gone once it returns
    print("index dropped while its search ran: %d of 5 times" % during)


class Gate:
    """An argument whose conversion blocks (interpreter lock released) until opened."""

    def __init__(self, value):
        self.value, self.entered, self.opened = value, threading.Event(), threading.Event()

    def __index__(self):
        self.entered.set()
        assert self.opened.wait(30)
        return self.value

    def __float__(self):
        return float(self.__index__())


CONFLICTS = [
    # (mode of the index, blocked call in thread A, call in thread B, expected B error)
    ("build", lambda i, g: i.add_record(g, {}), lambda i: i.add_record(1, {}), "Already borrowed"),
    ("build", lambda i, g: i.add_record(g, {}), lambda i: i.memory_stats(),
     "Already mutably borrowed"),
    ("build", lambda i, g: i.add_record(1, {}, None, g), lambda i: i.save("/nonexistent/x"),
     "Already mutably borrowed"),
    ("build", lambda i, g: i.add_record(1, {}, [g]), lambda i: i.search({}),
     "Already mutably borrowed"),
    ("query", lambda i, g: i.search({}, None, g), lambda i: i.add_record(1, {}),
     "Already borrowed"),
    ("query", lambda i, g: i.search({}, [g] * 4), lambda i: i.add_record(1, {}),
     "Already borrowed"),
]


@pytest.mark.parametrize("mode,blocked,other,message", CONFLICTS)
def test_borrow_conflicts_between_threads(tmp_path, mode, blocked, other, message):
    build = HybridIndex.builder(["t"], 1 if mode == "build" else 4)
    build.add_record(5, {"t": "v"}, [1.0] * (1 if mode == "build" else 4))
    path = str(tmp_path / "b.korvix")
    build.save(path)
    idx = build if mode == "build" else HybridIndex.load(path)
    gate = Gate(3)
    errors = []

    def blocked_call():
        try:
            blocked(idx, gate)
        except ValueError as e:  # the call's own outcome, after the gate opened
            errors.append(e)

    t = threading.Thread(target=blocked_call)
    t.start()
    assert gate.entered.wait(30)
    with pytest.raises(RuntimeError) as e:
        other(idx)
    assert str(e.value) == message
    gate.opened.set()
    t.join(30)
    assert not t.is_alive()
    # Every borrow is back: all methods work again.
    idx.memory_stats()
    if mode == "build":
        idx.add_record(6, {"t": "w"}, [0.0])
    else:
        assert idx.search({}).shape == (1, 2)


REENTRANT = [
    # Python code run by a conversion calls back into the same object.
    ("build", lambda i, g: i.add_record(g, {}), lambda i: i.add_record(2, {}), "Already borrowed"),
    ("build", lambda i, g: i.add_record(g, {}), lambda i: i.memory_stats(),
     "Already mutably borrowed"),
    ("build", lambda i, g: i.add_record(1, {}, [g]), lambda i: i.save("x"),
     "Already mutably borrowed"),
    ("build", lambda i, g: i.add_record(1, {}, None, g), lambda i: i.search({}),
     "Already mutably borrowed"),
    ("query", lambda i, g: i.search({}, None, g), lambda i: i.add_record(2, {}),
     "Already borrowed"),
]


@pytest.mark.parametrize("mode,outer,inner,message", REENTRANT)
def test_reentrant_calls_fail_with_borrow_errors(tmp_path, mode, outer, inner, message):
    build = HybridIndex.builder(["t"], 1)
    path = str(tmp_path / "r.korvix")
    build.save(path)
    idx = build if mode == "build" else HybridIndex.load(path)
    seen = []

    class Calls:
        def __index__(self):
            try:
                inner(idx)
            except RuntimeError as e:
                seen.append(str(e))
            return 1

        def __float__(self):
            return float(self.__index__())

    outer(idx, Calls())
    assert seen == [message]
    idx.memory_stats()  # released again


# At exit the interpreter ends each daemon thread that asks for its lock back, by unwinding
# the thread's stack: from the end of a search (lock released for the scan) and from Python
# code that a conversion runs (__float__, __index__).
EXIT_LOOPS = {
    "search": "while True: idx.search({'a': 'a1'}, q, 10)",
    "add_record": "b = HybridIndex.builder(['a'], DIM)\n"
                  "i = 0\nwhile True: b.add_record(Num(i), {'a': 'x'}, [Num(1)] * DIM); i += 1",
    "search_conversions": "while True: idx.search({}, [Num(1)] * DIM, Num(5))",
}


@pytest.mark.parametrize("loop", sorted(EXIT_LOOPS))
def test_exit_with_a_daemon_thread_inside_a_call(loaded, loop):
    script = (
        "import sys, threading, time\nimport numpy as np\nfrom korvel import HybridIndex\n"
        f"DIM = {DIM}\n"
        "class Num:\n    def __init__(self, v): self.v = v\n"
        "    def __index__(self): return self.v\n    def __float__(self): return float(self.v)\n"
        "idx = HybridIndex.load(sys.argv[1])\n"
        "q = np.ones(DIM, np.float32)\n"
        "def loop():\n" + "".join("    " + line + "\n" for line in EXIT_LOOPS[loop].split("\n")) +
        "threading.Thread(target=loop, daemon=True).start()\ntime.sleep(0.2)\n")
    for _ in range(5 if not LONG_TESTS else 50):
        out = subprocess.run([sys.executable, "-c", script, loaded[2]], capture_output=True,
                             text=True, timeout=60)
        assert (out.returncode, out.stderr) == (0, "")
