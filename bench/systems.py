"""The systems compared side by side, each behind the same small interface.

Every system answers the same query the same way: the 3 * top_k records nearest by Hamming
distance between sign-bit signatures (ties to the lower record index where the system lets us
choose), optionally re-scored by float32 dot product keeping the best top_k. A system reports
record indexes, so results compare directly.

prepare(case) turns a filter into whatever the system searches with; its time is reported apart
from the query latency. Korvel needs nothing beyond the filter dict, so its latency includes the
filter evaluation; the peers get their selection precomputed, which favours them.
"""

import importlib
import os
import sys
import time

import numpy as np

POOL_FACTOR = 3


def import_korvel():
    """The installed korvel, even when run from a source tree whose korvel/ has no built module."""
    try:
        from korvel import HybridIndex
        return HybridIndex
    except ImportError:
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != root]
        for name in [m for m in sys.modules if m == "korvel" or m.startswith("korvel.")]:
            del sys.modules[name]
        from korvel import HybridIndex
        return HybridIndex


def rescore(embeddings, query, cand, top_k):
    """Best top_k of the candidates by dot product, highest first, ties to the lower index."""
    scores = embeddings[cand] @ query
    order = np.lexsort((cand, -scores))[:top_k]
    return cand[order], scores[order]


class System:
    name = ""
    filtered_how = ""
    available = True
    missing = ""

    def __init__(self, workload):
        self.w = workload

    def prepare(self, case):
        """Returns the handle that search() takes for this filter."""
        return case.rows

    def search(self, qi, handle, top_k, exact):
        """Returns the system's own answer (timed)."""
        raise NotImplementedError

    def decode(self, answer):
        """(record indexes, scores) of an answer: Hamming distances, or dot products when exact.
        Not timed."""
        return answer

    def close(self):
        pass


class Korvel(System):
    name = "Korvel"
    filtered_how = "filter on code planes inside the query"

    def __init__(self, workload, index):
        super().__init__(workload)
        self.index = index
        self.data = workload.embeddings.reshape(-1).view(np.uint8)

    def prepare(self, case):
        return case.filters

    def search(self, qi, handle, top_k, exact):
        return self.index.search(handle, self.w.queries[qi], top_k, exact, self.data)

    def decode(self, answer):
        return answer[:, 0].astype(np.int64), answer[:, 1]


class NumpyBrute(System):
    name = "NumPy"
    filtered_how = "precomputed row list, gathered per query"

    def __init__(self, workload):
        super().__init__(workload)
        if not hasattr(np, "bitwise_count"):
            self.available = False
            self.missing = "needs NumPy 2 (np.bitwise_count), found %s" % np.__version__
            return
        sigs = workload.signatures
        pad = (-sigs.shape[1]) % 8
        self.words = np.ascontiguousarray(np.pad(sigs, ((0, 0), (0, pad)))).view(np.uint64)
        qs = workload.query_signatures
        self.qwords = np.ascontiguousarray(np.pad(qs, ((0, 0), (0, pad)))).view(np.uint64)

    def search(self, qi, rows, top_k, exact):
        words = self.words if rows is None else self.words[rows]
        dist = np.bitwise_count(words ^ self.qwords[qi]).sum(axis=1, dtype=np.uint32)
        pool = min(POOL_FACTOR * top_k, dist.size)
        if pool == 0:
            return np.empty(0, np.int64), np.empty(0)
        if pool < dist.size:
            # Every record up to the pool-th smallest distance, so that ties at the edge of the
            # pool go to the lower record index as in Korvel.
            part = np.flatnonzero(dist <= np.partition(dist, pool - 1)[pool - 1])
        else:
            part = np.arange(dist.size)
        part = part[np.lexsort((part, dist[part]))][:pool]
        cand = part if rows is None else rows[part]
        if exact:
            return rescore(self.w.embeddings, self.w.queries[qi], cand, top_k)
        return cand, dist[part]


def _optional(module):
    try:
        return importlib.import_module(module), ""
    except ImportError as e:
        return None, "%s not installed (%s)" % (module, e)


class Faiss(System):
    name = "FAISS IndexBinaryFlat"

    def __init__(self, workload):
        super().__init__(workload)
        self.faiss, self.missing = _optional("faiss")
        self.available = self.faiss is not None
        if not self.available:
            return
        self.faiss.omp_set_num_threads(1)  # one query on one core, like every other system here
        sigs = workload.signatures
        self.index = self.faiss.IndexBinaryFlat(sigs.shape[1] * 8)
        self.index.add(sigs)
        self.selector = self._supports_selector()
        self.filtered_how = ("IDSelectorBitmap in SearchParameters" if self.selector
                             else "sub-index of the matching rows per filter")

    def _supports_selector(self):
        f = self.faiss
        try:
            bits = np.zeros(1, dtype=np.uint8)
            bits[0] = 2
            probe = f.IndexBinaryFlat(8)
            probe.add(np.array([[1], [2], [3]], dtype=np.uint8))
            sel = f.IDSelectorBitmap(3, f.swig_ptr(bits))
            _, ids = probe.search(np.array([[1]], dtype=np.uint8), 1,
                                  params=f.SearchParameters(sel=sel))
            return int(ids[0, 0]) == 1
        except Exception:
            return False

    def prepare(self, case):
        if case.rows is None:
            return None
        f = self.faiss
        if self.selector:
            mask = np.zeros(self.w.n, dtype=bool)
            mask[case.rows] = True
            bits = np.packbits(mask, bitorder="little")
            sel = f.IDSelectorBitmap(self.w.n, f.swig_ptr(bits))
            return ("sel", f.SearchParameters(sel=sel), bits, sel)  # keep the buffers alive
        sub = f.IndexBinaryFlat(self.w.signatures.shape[1] * 8)
        sub.add(np.ascontiguousarray(self.w.signatures[case.rows]))
        return ("sub", sub, case.rows)

    def search(self, qi, handle, top_k, exact):
        q = self.w.query_signatures[qi:qi + 1]
        k = POOL_FACTOR * top_k
        if handle is None:
            dist, ids = self.index.search(q, k)
            cand = ids[0]
        elif handle[0] == "sel":
            dist, ids = self.index.search(q, k, params=handle[1])
            cand = ids[0]
        else:
            dist, ids = handle[1].search(q, k)
            cand = np.where(ids[0] >= 0, handle[2][np.maximum(ids[0], 0)], -1)
        keep = cand >= 0
        cand, dist = cand[keep], dist[0][keep]
        if exact:
            return rescore(self.w.embeddings, self.w.queries[qi], cand, top_k)
        return cand, dist


class Usearch(System):
    name = "usearch exact"
    filtered_how = "sub-array of the matching rows per filter (its search takes no predicate)"

    def __init__(self, workload):
        super().__init__(workload)
        self.mod, self.missing = _optional("usearch.index")
        self.available = self.mod is not None

    def prepare(self, case):
        if case.rows is None:
            return (self.w.signatures, None)
        return (np.ascontiguousarray(self.w.signatures[case.rows]), case.rows)

    def search(self, qi, handle, top_k, exact):
        data, rows = handle
        k = min(POOL_FACTOR * top_k, data.shape[0])
        if k == 0:
            return np.empty(0, np.int64), np.empty(0)
        m = self.mod.search(data, self.w.query_signatures[qi], k, self.mod.MetricKind.Hamming,
                            exact=True, threads=1, dtype=self.mod.ScalarKind.B1)
        keys = np.asarray(m.keys, dtype=np.int64)
        cand = keys if rows is None else rows[keys]
        if exact:
            return rescore(self.w.embeddings, self.w.queries[qi], cand, top_k)
        return cand, np.asarray(m.distances)


def fill(add, w, rows, count):
    """The caller's loop: one add_record per record, embeddings taken from rows[i]."""
    n0, n1, n2 = w.trait_names
    v0, v1, v2 = w.values
    stride = w.dim * 4
    c0, c1, c2 = (w.codes[:count, t].tolist() for t in range(3))
    t0 = time.perf_counter()
    for i in range(count):
        add(i, {n0: v0[c0[i]], n1: v1[c1[i]], n2: v2[c2[i]]}, rows[i], i * stride)
    return time.perf_counter() - t0


def noop(doc_id, metadata, embedding, external_offset):
    pass


def all_peers(workload):
    return [NumpyBrute(workload), Faiss(workload), Usearch(workload)]


