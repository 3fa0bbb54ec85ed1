"""Quick checks of the engine's speed targets on one index, with medians of many runs.

    python bench/micro_targets.py --dir /tmp/korvel-micro [--records 1000000] [--dim 768]

The first run builds the index (and keeps it in --dir); later runs reuse it. Measures, in one
process: unfiltered search against FAISS IndexBinaryFlat (one thread, same sign-bit codes),
the NumPy brute force and a read-bandwidth probe over the signature bytes; filtered search at
0.5% and 10%; exact re-scoring with top_k 10 and 100; two threads against one; load()
against json.loads of the same sidecar text; save() and add_record() from NumPy rows.
"""

import argparse
import json
import os
import statistics
import threading
import time

import numpy as np

from korvel import HybridIndex


def median_time(fn, repeat, warm=2):
    for _ in range(warm):
        fn()
    samples = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples)


def embeddings(n, d):
    rng = np.random.default_rng(1)
    return rng.random((n, d), dtype=np.float32) - np.float32(0.5)


def traits(n):
    rng = np.random.default_rng(2)
    return rng.integers(0, 10, n), rng.integers(0, 200, n)


def build(path, n, d, emb):
    g10, g200 = traits(n)
    names10 = ["a%d" % i for i in range(10)]
    names200 = ["b%d" % i for i in range(200)]
    shapes = ["s0", "s1", "s2"]
    idx = HybridIndex.builder(["group10", "group200", "shape"], d)
    metas = [{"group10": names10[g10[i]], "group200": names200[g200[i]], "shape": shapes[i % 3]}
             for i in range(n)]
    add = idx.add_record
    t0 = time.perf_counter()
    for i in range(n):
        add(i, metas[i], emb[i], i * d * 4)
    t_add = time.perf_counter() - t0
    # The caller's own loop: the same calls to a Python function that does nothing.
    def nothing(a, b, c, e):
        pass
    t0 = time.perf_counter()
    for i in range(n):
        nothing(i, metas[i], emb[i], i * d * 4)
    t_loop = time.perf_counter() - t0
    t0 = time.perf_counter()
    idx.save(path)
    t_save = time.perf_counter() - t0
    print(f"add_record NumPy rows: {(t_add - t_loop) / n * 1e6:.2f} us/record beyond the loop "
          f"({t_add / n * 1e6:.2f} with it); save(): {t_save:.3f} s")


def bandwidth_probe(nbytes, repeat):
    """Seconds to read nbytes once: np.add.reduce over a uint64 array larger than the caches."""
    buf = np.ones(nbytes // 8, dtype=np.uint64)
    return median_time(lambda: np.add.reduce(buf), repeat)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    ap.add_argument("--records", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=768)
    ap.add_argument("--repeat", type=int, default=41)
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    n, d = args.records, args.dim
    os.makedirs(args.dir, exist_ok=True)
    path = os.path.join(args.dir, f"i{n}_{d}.korvix")
    emb = embeddings(n, d)
    if not os.path.exists(path + ".meta"):
        build(path, n, d, emb)
    only = set(args.only.split(",")) if args.only else None

    def want(name):
        return only is None or name in only

    index = HybridIndex.load(path)
    g10, g200 = traits(n)
    rng = np.random.default_rng(3)
    query = emb[12345] + np.float32(0.05) * (rng.random(d, dtype=np.float32) - np.float32(0.5))
    data = emb.view(np.uint8).reshape(-1)
    codes = np.packbits(emb > 0, axis=1, bitorder="little")
    qcode = np.packbits(query > 0, bitorder="little")[None, :]
    sig_bytes = codes.nbytes
    r = args.repeat
    search = index.search

    if want("unfiltered"):
        t_ours = median_time(lambda: search({}, query, 10), r)
        import faiss
        faiss.omp_set_num_threads(1)
        fidx = faiss.IndexBinaryFlat(d)
        fidx.add(codes)
        t_faiss = median_time(lambda: fidx.search(qcode, 30), r)
        words = codes.view(np.uint64)
        qwords = qcode.view(np.uint64)

        def numpy_search():
            dist = np.bitwise_count(words ^ qwords).sum(axis=1, dtype=np.uint32)
            part = np.argpartition(dist, 29)[:30]
            return part[np.lexsort((part, dist[part]))]

        t_numpy = median_time(numpy_search, max(5, r // 4))
        t_bw = bandwidth_probe(max(sig_bytes, 1 << 30), 9) * sig_bytes / max(sig_bytes, 1 << 30)
        print(f"unfiltered: korvel {t_ours * 1e3:.2f} ms, faiss {t_faiss * 1e3:.2f} ms "
              f"({t_faiss / t_ours:.2f}x), numpy {t_numpy * 1e3:.1f} ms ({t_numpy / t_ours:.1f}x), "
              f"bandwidth limit {t_bw * 1e3:.2f} ms ({t_ours / t_bw:.2f}x of it, "
              f"{sig_bytes / t_bw / 1e9:.1f} GB/s)")
        # argpartition breaks distance ties arbitrarily: compare the distances.
        expected = np.sort(np.bitwise_count(words[numpy_search()] ^ qwords).sum(axis=1))
        same = np.array_equal(search({}, query, 10)[:, 1], expected.astype(np.float64))
        print(f"  same distances as numpy: {same}")

    if want("filtered"):
        t_all = median_time(lambda: search({}, query, 10), r)
        for name, filters in (("0.5%", {"group200": "b17"}), ("10%", {"group10": "a3"}),
                              ("0.05%", {"group200": "b17", "group10": "a3"})):
            t = median_time(lambda: search(filters, query, 10), r * 5)
            print(f"filter {name}: {t * 1e6:.1f} us ({t_all / t:.0f}x faster than unfiltered)")
        t_cat = median_time(lambda: search({"group200": "b17"}, None, 10), r * 5)
        print(f"filter 0.5% without a vector: {t_cat * 1e6:.1f} us")
        # The peers' filtered paths: FAISS with a bitmap ID selector, NumPy on the mask's rows.
        import faiss
        faiss.omp_set_num_threads(1)
        fidx = faiss.IndexBinaryFlat(d)
        fidx.add(codes)
        words = codes.view(np.uint64)
        qwords = qcode.view(np.uint64)
        for name, filters, mask in (("0.5%", {"group200": "b17"}, g200 == 17),
                                    ("10%", {"group10": "a3"}, g10 == 3)):
            bitmap = np.packbits(mask, bitorder="little")
            params = faiss.SearchParameters(sel=faiss.IDSelectorBitmap(n, faiss.swig_ptr(bitmap)))
            t_faiss = median_time(lambda: fidx.search(qcode, 30, params=params), 11)

            def numpy_filtered():
                rows = np.flatnonzero(mask)
                dist = np.bitwise_count(words[rows] ^ qwords).sum(axis=1, dtype=np.uint32)
                return rows[np.argpartition(dist, 29)[:30]]

            t_numpy = median_time(numpy_filtered, 11)
            t_ours = median_time(lambda: search(filters, query, 10), r)
            print(f"filter {name}: korvel {t_ours * 1e6:.0f} us, faiss with a bitmap selector "
                  f"{t_faiss * 1e6:.0f} us, numpy on the mask's rows {t_numpy * 1e6:.0f} us")

    if want("rescore"):
        for k in (10, 100):
            t_plain = median_time(lambda: search({}, query, k), r)
            t_exact = median_time(lambda: search({}, query, k, True, data), r)
            t_fp = median_time(lambda: search({"group200": "b17"}, query, k), r * 3)
            t_fe = median_time(lambda: search({"group200": "b17"}, query, k, True, data), r * 3)
            print(f"rescore top_k {k}: unfiltered +{(t_exact / t_plain - 1) * 100:.1f}% "
                  f"({t_plain * 1e3:.2f} -> {t_exact * 1e3:.2f} ms); 0.5% filter "
                  f"+{(t_fe / t_fp - 1) * 100:.1f}% ({t_fp * 1e6:.0f} -> {t_fe * 1e6:.0f} us)")

    if want("threads"):
        # Wall-clock throughput of two threads against one, and the same from each thread's
        # own CPU time (which other processes on a busy machine do not inflate).
        for filters in ({}, {"group200": "b17"}):
            count = 40 if not filters else 4000

            def worker(cpu):
                c0 = time.thread_time()
                for _ in range(count):
                    search(filters, query, 10)
                cpu.append(time.thread_time() - c0)

            walls, cpus = [], []
            for _ in range(7):
                one = []
                t0 = time.perf_counter()
                worker(one)
                worker(one)
                t_one = time.perf_counter() - t0
                two = []
                threads = [threading.Thread(target=worker, args=(two,)) for _ in range(2)]
                t0 = time.perf_counter()
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                t_two = time.perf_counter() - t0
                walls.append(t_one / t_two)
                cpus.append(sum(one) / max(two))
            print(f"2 threads {'unfiltered' if not filters else '0.5% filter'}: "
                  f"{statistics.median(walls):.2f}x one thread's throughput by wall clock "
                  f"(runs: {' '.join('%.2f' % x for x in walls)}), "
                  f"{statistics.median(cpus):.2f}x by thread CPU time")

    if want("load"):
        with open(path + ".meta", encoding="utf-8") as f:
            text = f.read()
        t_load = median_time(lambda: HybridIndex.load(path), 15)
        t_json = median_time(lambda: json.loads(text), 15)
        print(f"load(): {t_load * 1e3:.2f} ms, json.loads {t_json * 1e3:.2f} ms "
              f"({t_load / t_json:.2f}x)")

    if want("build"):
        m = min(n, 200_000)
        build(os.path.join(args.dir, "b.korvix"), m, d, emb[:m])


if __name__ == "__main__":
    main()
