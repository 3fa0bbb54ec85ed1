"""The systems of the quality benchmark, each answering a batch of queries with id lists.

Every system searches L2-normalised float32 vectors (dot product = cosine) or their sign bits,
on one core, and returns per query the ids it found, best first. A filter is a boolean mask over
the records (Korvel gets the equivalent `where` dict); each peer uses its own filtered search
where it has one and otherwise post-filters a larger k, as a user of it would.
"""

import math
import os
import time

import numpy as np

K = 10
M = 16  # graph degree of every HNSW peer
EF_CONSTRUCTION = 100


def signatures(x):
    """Bit i mod 8 of byte i / 8 is set when component i is greater than zero."""
    return np.packbits(x > 0, axis=-1, bitorder="little")


def rescore(vectors, q, cand, k=K):
    """The best k candidates by dot product, highest first."""
    if cand.size == 0:
        return cand
    s = vectors[cand] @ q
    return cand[np.argsort(-s, kind="stable")[:k]]


def rerank_signs(sigs, dim, q, cand, k=K):
    """The best k candidates by the float query against their stored sign bits (+1/-1)."""
    if cand.size == 0:
        return cand
    bits = np.unpackbits(sigs[cand], axis=1, count=dim, bitorder="little")
    s = bits.astype(np.float32) @ q * 2 - q.sum()
    return cand[np.argsort(-s, kind="stable")[:k]]


def _trim(ids, counts):
    return [ids[i, :counts[i]].astype(np.int64) for i in range(ids.shape[0])]


def _dir_size(paths):
    return sum(os.path.getsize(p) for p in paths)


class Korvel:
    """Korvel through `korvel.open(...).search(...)` where the package has it, else through
    `HybridIndex` with the pool cut and the re-ranking done in NumPy. With centring, signatures
    are the signs of x - mean; re-scoring is by the plain query against the caller's vectors."""

    def __init__(self, korvel, ds, tmp, centred=False):
        self.ds, self.centred = ds, centred
        self.name = "Korvel centred" if centred else "Korvel"
        self.mean = ds.vectors.mean(axis=0) if centred else np.zeros(ds.dim, np.float32)
        x = ds.vectors - self.mean if centred else ds.vectors
        self.sigs = signatures(x)
        self.buffer = ds.vectors.reshape(-1).view(np.uint8)
        self.array_api = hasattr(korvel, "IndexWriter")
        names = sorted(ds.traits)
        path = os.path.join(tmp, "%s-%s.korvix" % (ds.name, "c" if centred else "r"))
        n, dim = ds.n, ds.dim
        t0 = time.perf_counter()
        if self.array_api:
            w = korvel.IndexWriter(names, dim=dim)
            w.add(np.arange(n, dtype=np.uint64), {t: ds.traits[t] for t in names},
                  embeddings=x, offsets=np.arange(n, dtype=np.uint64) * np.uint64(dim * 4))
            w.save(path)
            self.build_s = time.perf_counter() - t0
            self.index = korvel.open(path)
        else:
            idx = korvel.HybridIndex.builder(names, dim)
            cols = [ds.traits[t].tolist() for t in names]
            for i in range(n):
                idx.add_record(i, {t: c[i] for t, c in zip(names, cols)}, x[i], i * dim * 4)
            idx.save(path)
            self.build_s = time.perf_counter() - t0
            self.index = korvel.HybridIndex.load(path)
        self.index_bytes = _dir_size([path, path + ".meta"])

    def search(self, Q, where, oversample, mode, factor=None):
        """mode: "hamming" (the first k of the pool), "exact" (the pool re-scored by dot product
        with the caller's vectors), "signs" (the pool re-ranked against the sign bits),
        "cascade" (the pool ordered by sign score, its best factor * k re-scored exactly) or
        "exact search" (every matching record scored exactly, no pool); the last two array
        API only, not centred."""
        qs = Q - self.mean if self.centred else Q
        if self.array_api:
            where = where or None
            if mode == "exact" and self.centred:
                # The signature query and the re-scoring query differ: take the pool, re-score here.
                r = self.index.search(qs, k=oversample * K, where=where, oversample=1, threads=1)
                return [rescore(self.ds.vectors, q, p) for q, p in zip(Q, _trim(r.ids, r.counts))]
            extra = {"exact": {"embeddings": self.buffer}, "signs": {"rerank": "signs"},
                     "exact search": {"embeddings": self.buffer, "exact": True},
                     "cascade": {"embeddings": self.buffer, "rerank": "signs",
                                 "rescore": factor}}
            r = self.index.search(qs, k=K, where=where, oversample=oversample, threads=1,
                                  **extra.get(mode, {}))
            return _trim(r.ids, r.counts)
        # HybridIndex keeps a pool of 3 * top_k ordered by (distance, record), so the first
        # oversample * K rows of it are the pool that oversample asks for.
        top_k = math.ceil(oversample * K / 3)
        out = []
        for q, qc in zip(Q, qs):
            pool = self.index.search(where, qc, top_k)[:oversample * K, 0].astype(np.int64)
            if mode == "exact":
                pool = rescore(self.ds.vectors, q, pool)
            elif mode == "signs":
                pool = rerank_signs(self.sigs, self.ds.dim, qc, pool)
            out.append(pool[:K])
        return out


class Peer:
    name = ""
    knob = ""  # the search-time setting swept for the curve
    filtered_how = ""

    def __init__(self, ds):
        self.ds = ds
        t0 = time.perf_counter()
        self.build()
        self.build_s = time.perf_counter() - t0

    def post_filter_k(self, mask, factor=1):
        """How many to ask for so that about 2 * factor * K survive the filter."""
        return min(self.ds.n, math.ceil(2 * factor * K / max(mask.mean(), 1.0 / self.ds.n)))


class FaissFlatPeer(Peer):
    """A FAISS flat index on one thread, filtered by an IDSelectorBitmap."""
    filtered_how = "IDSelectorBitmap in SearchParameters"

    def __init__(self, faiss, ds):
        self.faiss = faiss
        super().__init__(ds)

    def ids(self, X, mask, count):
        """The first `count` ids of each row of X among the records of `mask` (None: all)."""
        f = self.faiss
        params = None
        if mask is not None:
            bits = np.packbits(mask, bitorder="little")
            params = f.SearchParameters(sel=f.IDSelectorBitmap(mask.size, f.swig_ptr(bits)))
        _, ids = self.index.search(X, count, params=params)
        return [row[row >= 0] for row in ids]


class FaissBinaryFlat(FaissFlatPeer):
    name, knob = "FAISS IndexBinaryFlat", "oversample"

    def build(self):
        self.faiss.omp_set_num_threads(1)
        self.sigs = signatures(self.ds.vectors)
        self.index = self.faiss.IndexBinaryFlat(self.sigs.shape[1] * 8)
        self.index.add(self.sigs)
        self.index_bytes = self.sigs.nbytes

    def search(self, Q, mask, oversample):
        pools = self.ids(signatures(Q), mask, oversample * K)
        return [rescore(self.ds.vectors, q, pool) for q, pool in zip(Q, pools)]


class FaissFlat(FaissFlatPeer):
    """Exact search: every record scored by the float32 inner product."""
    name, knob = "FAISS IndexFlatIP", "exact"

    def build(self):
        self.faiss.omp_set_num_threads(1)
        self.index = self.faiss.IndexFlatIP(self.ds.dim)
        self.index.add(self.ds.vectors)
        self.index_bytes = self.ds.vectors.nbytes

    def search(self, Q, mask, _):
        return self.ids(Q, mask, K)


class FaissHNSW(Peer):
    name, knob = "FAISS IndexHNSWFlat", "efSearch"
    filtered_how = "IDSelectorBitmap in SearchParametersHNSW"

    def __init__(self, faiss, ds):
        self.faiss = faiss
        super().__init__(ds)

    def build(self):
        f = self.faiss
        f.omp_set_num_threads(1)
        self.index = f.IndexHNSWFlat(self.ds.dim, M, f.METRIC_INNER_PRODUCT)
        self.index.hnsw.efConstruction = EF_CONSTRUCTION
        self.index.add(self.ds.vectors)
        self.index_bytes = f.serialize_index(self.index).nbytes

    def search(self, Q, mask, ef):
        f = self.faiss
        if mask is None:
            params = f.SearchParametersHNSW(efSearch=ef)
        else:
            bits = np.packbits(mask, bitorder="little")
            sel = f.IDSelectorBitmap(mask.size, f.swig_ptr(bits))
            params = f.SearchParametersHNSW(efSearch=ef, sel=sel)
        _, ids = self.index.search(Q, K, params=params)
        return [row[row >= 0] for row in ids]


class UsearchHNSW(Peer):
    name, knob = "usearch HNSW f32", "expansion_search"
    filtered_how = "post-filter of a larger k (its Python search takes no predicate)"

    def __init__(self, usearch, ds):
        self.mod = usearch
        super().__init__(ds)

    def build(self):
        self.index = self.mod.Index(ndim=self.ds.dim, metric="ip", dtype="f32",
                                    connectivity=M, expansion_add=EF_CONSTRUCTION)
        self.index.add(np.arange(self.ds.n), self.ds.vectors, threads=1)
        self.index_bytes = self.index.memory_usage

    def search(self, Q, mask, ef):
        self.index.expansion_search = ef
        count = K if mask is None else self.post_filter_k(mask)
        m = self.index.search(Q, count, threads=1)
        rows = _trim(m.keys, m.counts)
        return rows if mask is None else [r[mask[r]][:K] for r in rows]


class UsearchBinary(Peer):
    name, knob = "usearch HNSW b1", "oversample"
    filtered_how = "post-filter of a larger k (its Python search takes no predicate)"

    def __init__(self, usearch, ds):
        self.mod = usearch
        super().__init__(ds)

    def build(self):
        sigs = signatures(self.ds.vectors)
        self.index = self.mod.Index(ndim=sigs.shape[1] * 8, metric="hamming", dtype="b1",
                                    connectivity=M, expansion_add=EF_CONSTRUCTION)
        self.index.add(np.arange(self.ds.n), sigs, threads=1)
        self.index_bytes = self.index.memory_usage

    def search(self, Q, mask, oversample):
        count = oversample * K if mask is None else self.post_filter_k(mask, oversample)
        m = self.index.search(signatures(Q), count, threads=1)
        rows = _trim(m.keys, m.counts)
        if mask is not None:
            rows = [r[mask[r]][:oversample * K] for r in rows]
        return [rescore(self.ds.vectors, q, r) for q, r in zip(Q, rows)]


class Hnswlib(Peer):
    name, knob = "hnswlib", "ef"
    filtered_how = "filter function (a Python callable per visited record)"

    def __init__(self, hnswlib, ds):
        self.mod = hnswlib
        super().__init__(ds)

    def build(self):
        self.index = self.mod.Index(space="ip", dim=self.ds.dim)
        self.index.init_index(max_elements=self.ds.n, M=M, ef_construction=EF_CONSTRUCTION,
                              random_seed=0)
        self.index.set_num_threads(1)
        self.index.add_items(self.ds.vectors, np.arange(self.ds.n), num_threads=1)
        # Graph links plus the float vectors: what a saved index holds.
        per = self.ds.dim * 4 + 8 + 4 * (2 * M + 1)
        self.index_bytes = self.ds.n * per

    def search(self, Q, mask, ef):
        self.index.set_ef(max(ef, K))
        if mask is None:
            ids, _ = self.index.knn_query(Q, K, num_threads=1)
            return list(ids.astype(np.int64))
        accept = mask.tolist().__getitem__
        out = []
        for q in Q:  # it raises when fewer than k records pass; ask again for fewer
            k = K
            while True:
                try:
                    ids, _ = self.index.knn_query(q, k, num_threads=1, filter=accept)
                    out.append(ids[0].astype(np.int64))
                    break
                except RuntimeError:
                    if k == 1:
                        out.append(np.empty(0, np.int64))
                        break
                    k -= 1
        return out


def peers(ds):
    """The peers that are installed, and a line for each that is not."""
    found, missing = [], []
    try:
        import faiss
        found += [FaissBinaryFlat(faiss, ds), FaissFlat(faiss, ds), FaissHNSW(faiss, ds)]
    except ImportError as e:
        missing.append("FAISS: not installed (%s)" % e)
    try:
        import usearch.index
        found += [UsearchHNSW(usearch.index, ds), UsearchBinary(usearch.index, ds)]
    except ImportError as e:
        missing.append("usearch: not installed (%s)" % e)
    try:
        import hnswlib
        found.append(Hnswlib(hnswlib, ds))
    except ImportError as e:
        missing.append("hnswlib: not installed (%s)" % e)
    return found, missing
