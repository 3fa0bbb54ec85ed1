"""Build-mode throughput: add_record() from Python lists and from NumPy rows, then save().

    python bench/bench_build.py [--records 1000000] [--dim 768]

Reports records per second and the peak resident memory (ru_maxrss) around save().
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

from korvel import HybridIndex


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


# save() holds the interpreter lock, so a thread of this process cannot sample during it: a
# child process polls this process's resident size instead and prints the highest value.
MONITOR = """
import os, sys, time
pid, stop = int(sys.argv[1]), sys.argv[2]
page = os.sysconf("SC_PAGE_SIZE")
peak = 0
while not os.path.exists(stop):
    with open("/proc/%d/statm" % pid) as f:
        peak = max(peak, int(f.read().split()[1]) * page)
    time.sleep(0.002)
print(peak / 2**20)
"""


def current_rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--records", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=768)
    ap.add_argument("--list-records", type=int, default=20_000)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    d = args.dim

    # add_record from lists against NumPy rows, on the same vectors.
    m = args.list_records
    vecs = rng.standard_normal((m, d)).astype(np.float32)
    lists = vecs.tolist()
    meta = [{"color": "c%d" % (i % 10), "size": "s%d" % (i % 200), "shape": "h%d" % (i % 3)}
            for i in range(m)]
    idx = HybridIndex.builder(["color", "size", "shape"], d)
    t0 = time.perf_counter()
    for i in range(m):
        idx.add_record(i, meta[i], lists[i], i * d * 4)
    t_list = time.perf_counter() - t0
    idx = HybridIndex.builder(["color", "size", "shape"], d)
    t0 = time.perf_counter()
    for i in range(m):
        idx.add_record(i, meta[i], vecs[i], i * d * 4)
    t_np = time.perf_counter() - t0
    print(f"add_record D={d}: lists {m / t_list:,.0f} rec/s, NumPy rows {m / t_np:,.0f} rec/s "
          f"({t_list / t_np:.1f}x)")
    del idx, lists, vecs

    # A full build and save.
    n = args.records
    idx = HybridIndex.builder(["color", "size", "shape"], d)
    chunk = 50_000
    t0 = time.perf_counter()
    for start in range(0, n, chunk):
        block = rng.random((min(chunk, n - start), d), dtype=np.float32) - np.float32(0.5)
        for j, row in enumerate(block):
            i = start + j
            idx.add_record(i, {"color": "c%d" % (i % 10), "size": "s%d" % (i % 200),
                               "shape": "h%d" % (i % 3)}, row, i * d * 4)
    t_build = time.perf_counter() - t0
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as tmp:
        path = os.path.join(tmp, "bench.korvix")
        stop = os.path.join(tmp, "stop")
        monitor = subprocess.Popen([sys.executable, "-c", MONITOR, str(os.getpid()), stop],
                                   stdout=subprocess.PIPE, text=True)
        time.sleep(0.2)
        rss_before = current_rss_mb()
        t0 = time.perf_counter()
        idx.save(path)
        t_save = time.perf_counter() - t0
        open(stop, "w").close()
        save_peak = float(monitor.communicate()[0])
        size = os.path.getsize(path)
        meta_size = os.path.getsize(path + ".meta")
    print(f"build {n:,} records (NumPy rows, 3 traits): {t_build:.2f} s "
          f"({n / t_build:,.0f} rec/s)")
    print(f"save {n:,} records: {t_save:.3f} s ({n / t_save:,.0f} rec/s), data file "
          f"{size / 2**20:.1f} MiB, sidecar {meta_size / 2**20:.1f} MiB")
    print(f"resident before save {rss_before:,.0f} MiB, highest during save {save_peak:,.0f} MiB "
          f"(+{save_peak - rss_before:,.0f} MiB); process peak {peak_rss_mb():,.0f} MiB")


if __name__ == "__main__":
    main()
