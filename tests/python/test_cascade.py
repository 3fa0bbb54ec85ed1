"""The cascade (rerank="signs" with embeddings), and exact search, against a small NumPy model of it: the Hamming
pool under (distance, record), ordered by the left-to-right float32 sign score with equal
scores in pool order, its first min(rescore * k, pool) re-scored by the left-to-right float32
dot product, ranked by (score descending, NaN last, record). Same pools, same order, same
scores, bit for bit."""

import numpy as np
import pytest

import korvel


def _left_to_right(terms):
    """Row sums of a (rows, dim) float32 matrix, added one column at a time in float32."""
    acc = np.zeros(terms.shape[0], np.float32)
    for j in range(terms.shape[1]):
        acc = acc + terms[:, j]
    return acc


def model(X, E, q, match, k, oversample, rescore):
    """Ids (= record numbers) and scores of one query; E holds the embeddings the caller
    passes (NaN rows included)."""
    records = np.flatnonzero(match)
    dist = np.count_nonzero((X[records] > 0) != (q > 0), axis=1)
    pool = records[np.lexsort((records, dist))][: oversample * k]
    signs = _left_to_right(np.where(X[pool] > 0, q, -q).astype(np.float32))
    picked = pool[np.argsort(-signs, kind="stable")][: min(rescore * k, len(pool))]
    exact = _left_to_right((E[picked] * q).astype(np.float32))
    order = np.lexsort((picked, -np.nan_to_num(exact, nan=-np.inf), np.isnan(exact)))
    return picked[order][:k], exact[order][:k]


def _index(tmp_path, X, tenant):
    """An index of X (ids = record numbers, embeddings at their rows) with a tenant trait."""
    n, dim = X.shape
    w = korvel.IndexWriter(["tenant"], dim)
    w.add(np.arange(n), {"tenant": tenant}, X, np.arange(n) * dim * 4)
    w.save(str(tmp_path / "i.korvix"))
    return korvel.open(str(tmp_path / "i.korvix"))


@pytest.mark.parametrize("seed", range(4))
def test_cascade_matches_numpy_model(tmp_path, seed):
    rng = np.random.default_rng(seed)
    n, dim = int(rng.integers(50, 900)), int(rng.choice([5, 16, 33, 64]))
    X = rng.standard_normal((n, dim)).astype(np.float32)
    X[rng.random(n) < 0.3, dim // 2:] = 0.25  # distance and sign-score ties
    X[rng.integers(0, n, 20)] = X[0]  # equal records: every score ties
    E = X.copy()
    E[rng.random(n) < 0.05] = np.nan
    tenant = rng.choice(["a", "b", "c"], n, p=[0.8, 0.15, 0.05])
    index = _index(tmp_path, X, tenant)
    Q = rng.standard_normal((7, dim)).astype(np.float32)
    Q[0] = X[0]
    for _ in range(6):
        k = int(rng.choice([1, 3, 10]))
        oversample = int(rng.choice([1, 4, 30, 200]))
        rescore = None if rng.random() < 0.3 else int(rng.choice([1, 2, 5, 40]))
        where = None if rng.random() < 0.5 else {"tenant": str(rng.choice(["a", "b", "c"]))}
        res = index.search(Q, k, where=where, oversample=oversample, rerank="signs",
                           embeddings=E.tobytes(), rescore=rescore)
        match = np.ones(n, bool) if where is None else tenant == where["tenant"]
        for i, q in enumerate(Q):
            ids, scores = model(X, E, q, match, k, oversample, 20 if rescore is None else rescore)
            c = int(res.counts[i])
            assert c == len(ids)
            np.testing.assert_array_equal(res.ids[i, :c], ids.astype(np.uint64))
            np.testing.assert_array_equal(res.scores[i, :c].view(np.uint32),
                                          scores.view(np.uint32))
    # Re-scoring every pool entry gives exactly today's exact re-scoring.
    full = index.search(Q, 5, oversample=4, embeddings=E.tobytes())
    for a, b in zip(full, index.search(Q, 5, oversample=4, embeddings=E.tobytes(),
                                       rerank="signs", rescore=4)):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("seed", range(2))
def test_exact_search_ranks_every_matching_record(tmp_path, seed):
    """exact=True is the model with a pool of every record, every one re-scored: one query at
    a time and in tiles of queries, NaN embeddings and ties included."""
    rng = np.random.default_rng(seed)
    n, dim = int(rng.integers(300, 3000)), int(rng.choice([3, 50, 96]))
    X = rng.standard_normal((n, dim)).astype(np.float32)
    X[rng.integers(0, n, 20)] = X[0]
    E = X.copy()
    E[rng.random(n) < 0.02] = np.nan
    tenant = rng.choice(["a", "b"], n, p=[0.9, 0.1])
    index = _index(tmp_path, X, tenant)
    Q = rng.standard_normal((37, dim)).astype(np.float32)
    Q[0] = X[0]
    for rows, k, where in ((1, 10, None), (37, 3, {"tenant": "b"}), (37, 50, None)):
        res = index.search(Q[:rows], k, where=where, embeddings=E, exact=True, threads=2)
        match = np.ones(n, bool) if where is None else tenant == where["tenant"]
        for i in range(rows):
            ids, scores = model(X, E, Q[i], match, k, n, n)
            np.testing.assert_array_equal(res.ids[i, :res.counts[i]], ids.astype(np.uint64))
            np.testing.assert_array_equal(res.scores[i, :res.counts[i]].view(np.uint32),
                                          scores.view(np.uint32))
    # No pool, so no pool limit: any oversample gives the same result.
    for a, b in zip(index.search(Q, 3, embeddings=E, exact=True, oversample=10**6),
                    index.search(Q, 3, embeddings=E, exact=True)):
        np.testing.assert_array_equal(a, b)
    for kwargs, text in [
        (dict(), "exact=True needs embeddings"),
        (dict(embeddings=X, rerank="signs"), "exact=True scores every record: rerank and rescore"),
        (dict(embeddings=X, rescore=2), "exact=True scores every record: rerank and rescore"),
    ]:
        with pytest.raises(ValueError, match=text):
            index.search(Q, 2, exact=True, **kwargs)
    with pytest.raises(ValueError, match="rerank must be None or 'signs', got 'exact'"):
        index.search(Q, 2, embeddings=X, rerank="exact")


def test_rescore_errors(tmp_path):
    w = korvel.IndexWriter(["t"], 8)
    X = np.ones((4, 8), np.float32)
    w.add(np.arange(4), {"t": ["x"] * 4}, X, np.arange(4) * 32)
    w.save(str(tmp_path / "i.korvix"))
    index = korvel.open(str(tmp_path / "i.korvix"))
    for kwargs, text in [
        (dict(rescore=3), "rescore needs both rerank='signs' and embeddings"),
        (dict(rescore=3, rerank="signs"), "rescore needs both rerank='signs' and embeddings"),
        (dict(rescore=3, embeddings=X), "rescore needs both rerank='signs' and embeddings"),
        (dict(rescore=0, embeddings=X, rerank="signs"), "rescore must be at least 1, got 0"),
        (dict(rescore=-2, embeddings=X, rerank="signs"), "rescore must be at least 1, got -2"),
    ]:
        with pytest.raises(ValueError) as e:
            index.search(X, 2, **kwargs)
        assert str(e.value) == text


def test_batches_beyond_the_held_pools_run_in_chunks(tmp_path):
    """Pools of 3,000 for 200 queries exceed what one pass holds, so the batch runs as chunks
    of queries: every row equals its query searched alone, and a fault in the last chunk
    fails the whole batch under its own row number."""
    rng = np.random.default_rng(9)
    n, dim = 3000, 16
    X = rng.standard_normal((n, dim)).astype(np.float32)
    tenant = rng.choice(["a", "b", "c"], n)
    w = korvel.IndexWriter(["tenant"], dim)
    w.add(np.arange(n) * 7, {"tenant": tenant}, X, np.arange(n) * dim * 4)
    w.save(str(tmp_path / "i.korvix"))
    index = korvel.open(str(tmp_path / "i.korvix"))
    Q = rng.standard_normal((200, dim)).astype(np.float32)
    wheres = [None if i % 3 == 0 else {"tenant": "abc"[i % 3]} for i in range(len(Q))]
    for where, kw in ((None, {}), ({"tenant": "b"}, {"embeddings": X.tobytes()}),
                      (wheres, {"rerank": "signs", "embeddings": X.tobytes(), "rescore": 30})):
        got = index.search(Q, 10, where=where, oversample=300, **kw)
        for i in range(0, len(Q), 7):
            one = index.search(Q[i:i + 1], 10, oversample=300, **kw,
                               where=where[i:i + 1] if isinstance(where, list) else where)
            np.testing.assert_array_equal(got.ids[i], one.ids[0])
            np.testing.assert_array_equal(got.scores[i], one.scores[0])
    bad = Q.copy()
    bad[-1, 3] = np.nan
    with pytest.raises(ValueError, match="199"):
        index.search(bad, 10, oversample=300)
    with pytest.raises(Exception, match="nope"):
        index.search(Q, 10, oversample=300, where=wheres[:-1] + [{"nope": "a"}])
