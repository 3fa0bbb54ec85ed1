"""Timing, memory and machine measurements used by the suite."""

import datetime
import os
import platform
import re
import statistics
import threading
import time

import numpy as np

BLOCK = 20  # queries a system runs in a row before the next system's turn


def summarize(samples):
    """Median, 90th percentile, best (ms) and queries per second of per-call times in seconds."""
    ms = sorted(s * 1e3 for s in samples)
    p90 = ms[min(len(ms) - 1, int(round(0.9 * (len(ms) - 1))))]
    return {"median_ms": statistics.median(ms), "p90_ms": p90, "min_ms": ms[0],
            "qps": len(ms) / (sum(ms) / 1e3) if sum(ms) > 0 else float("inf")}


def interleaved(calls, counts, block=BLOCK):
    """Times calls[name](qi) for qi in range(counts[name]). The systems take turns in blocks of
    `block` queries, so that a burst of outside load falls on all of them alike, and each block
    starts with an untimed call, so that no system is timed on caches another one just flushed.
    Returns ({name: seconds per call}, {name: results})."""
    clock = time.perf_counter
    samples = {name: [] for name in calls}
    results = {name: [] for name in calls}
    for start in range(0, max(counts.values()), block):
        for name, fn in calls.items():
            if start >= counts[name]:
                continue
            fn(start)
            for qi in range(start, min(start + block, counts[name])):
                t0 = clock()
                r = fn(qi)
                samples[name].append(clock() - t0)
                results[name].append(r)
    return samples, results


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def median_of(fn, repeat):
    samples = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples)


def _memchr():
    try:
        import ctypes
        libc = ctypes.CDLL(None)
        fn = libc.memchr
        fn.restype = ctypes.c_void_p
        fn.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t]
        return fn
    except (OSError, AttributeError):
        return None


def read_bandwidth(mib=512, repeat=7):
    """Single-core sequential read bandwidth in bytes/s: the best of several read-only kernels
    (NumPy reductions, the C library's memchr looking for an absent byte) over an array far
    larger than the caches."""
    a = np.ones(mib * 2**20 // 8, dtype=np.uint64)
    kernels = [lambda: np.add.reduce(a), lambda: np.bitwise_or.reduce(a)]
    memchr = _memchr()
    if memchr is not None:
        kernels.append(lambda: memchr(a.ctypes.data, 7, a.nbytes))
    return a.nbytes / min(best_of(k, repeat) for k in kernels)


def threaded_qps(fn, calls, threads):
    """Queries per second when `threads` Python threads split the calls between them."""
    share = [calls[i::threads] for i in range(threads)]
    barrier = threading.Barrier(threads + 1)

    def worker(part):
        barrier.wait()
        for c in part:
            fn(c)

    pool = [threading.Thread(target=worker, args=(p,)) for p in share]
    for t in pool:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in pool:
        t.join()
    return len(calls) / (time.perf_counter() - t0)


def _status_mib(field):
    with open("/proc/self/status") as f:
        m = re.search(r"^%s:\s+(\d+) kB" % field, f.read(), re.M)
    return int(m.group(1)) / 1024 if m else float("nan")


class Phase:
    """Peak resident memory of one phase: the kernel's high-water mark, reset on entry."""

    def __init__(self, name, sink):
        self.name, self.sink = name, sink

    def __enter__(self):
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")  # resets VmHWM to the current resident size
        except OSError:
            pass
        self.start = _status_mib("VmRSS")
        self.t0 = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.sink.append({"phase": self.name, "seconds": time.perf_counter() - self.t0,
                          "rss_start_mib": self.start, "rss_peak_mib": _status_mib("VmHWM"),
                          "rss_end_mib": _status_mib("VmRSS")})


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            flags = re.search(r"^flags\s*:(.*)$", f.read(), re.M).group(1).split()
        return [x for x in ("avx2", "avx512f", "avx512_vpopcntdq") if x in flags]
    except (OSError, AttributeError):
        return []


def _version(module):
    try:
        return __import__(module).__version__
    except Exception:
        return "not installed"


def kernel_table():
    """The kernel table Korvel's searches use in this process ("avx512", "avx2", "portable"),
    as `python -m korvel info` reports it."""
    from korvel import _engine

    return _engine.kernel_info()["kernels"]


def kernels_of(machine):
    """The kernel table of a run's machine_info(); runs from before it was recorded say so."""
    return machine.get("kernels", "not recorded")


def machine_info():
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": _cpu_model(),
        "cpu_flags": " ".join(_cpu_flags()),
        "kernels": kernel_table(),
        "cores": os.cpu_count(),
        "ram_gib": round(mem / 2**30, 1),
        "load_average": " ".join("%.2f" % x for x in os.getloadavg()),
        "os": "%s %s" % (platform.system(), platform.release()),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "faiss": _version("faiss"),
        "usearch": _version("usearch"),
        "matplotlib": _version("matplotlib"),
        "blas_threads": os.environ.get("OPENBLAS_NUM_THREADS", "default"),
    }
