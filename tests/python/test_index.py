"""korvel.open / Index: batched search against HybridIndex.search, several shards against one
file, filters, counts and facets against NumPy, and bad input."""

import collections

import numpy as np
import pytest

import korvel
from korvel import And, HybridIndex, Not, Or

N, DIM = 700, 24
TENANTS = np.array(["acme", "globex", "initech", "umbrella"])
LANGS = np.array(["en", "de", "fr"])
SHARDS = [(0, 250), (250, 250), (250, 640), (640, N)]  # one empty


def _build(path, rows, data):
    tenants, langs, X, missing = data
    idx = HybridIndex.builder(["tenant", "lang"], DIM)
    for i in rows:
        if missing[i]:  # no embedding and no offset
            idx.add_record(5000 + i, {"tenant": str(tenants[i])})
        else:
            idx.add_record(5000 + i, {"tenant": str(tenants[i]), "lang": str(langs[i])},
                           X[i], (i - rows.start) * DIM * 4)  # into this file's rows of X
    idx.save(path)


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    rng = np.random.default_rng(12)
    tenants = TENANTS[rng.choice(4, N, p=[0.5, 0.3, 0.15, 0.05])]
    langs = LANGS[rng.integers(0, 3, N)]
    # Few distinct sign patterns: many equal distances, so the tie order is exercised.
    X = rng.standard_normal((8, DIM)).astype(np.float32)[rng.integers(0, 8, N)]
    X += 0.2 * rng.standard_normal((N, DIM)).astype(np.float32)
    missing = rng.random(N) < 0.05
    langs = np.where(missing, "", langs)
    d = tmp_path_factory.mktemp("index")
    whole = str(d / "whole.korvix")
    _build(whole, range(N), (tenants, langs, X, missing))
    paths = []
    for s, (a, b) in enumerate(SHARDS):
        paths.append(str(d / f"shard{s}.korvix"))
        _build(paths[-1], range(a, b), (tenants, langs, X, missing))
    Q = rng.standard_normal((6, DIM)).astype(np.float32)
    return dict(tenants=tenants, langs=langs, X=X, Q=Q, whole=whole, paths=paths,
                hybrid=HybridIndex.load(whole), index=korvel.open(whole),
                sharded=korvel.open(paths))


def _same(a, b):
    np.testing.assert_array_equal(a.ids, b.ids)
    np.testing.assert_array_equal(a.scores, b.scores)
    np.testing.assert_array_equal(a.counts, b.counts)


@pytest.mark.parametrize("where", [None, {"tenant": "globex"}, {"tenant": "initech", "lang": "en"},
                                   {"lang": ""}])
@pytest.mark.parametrize("exact", [False, True])
@pytest.mark.parametrize("k", [1, 10, 300])
def test_search_matches_hybrid_index_and_shards_match_one_file(data, where, exact, k):
    Q, X = data["Q"], data["X"]
    res = data["index"].search(Q, k=k, where=where, embeddings=X if exact else None)
    for i in range(len(Q)):
        rows = data["hybrid"].search(where or {}, Q[i], top_k=k, exact_rescore=exact,
                                     embeddings_data=X.view(np.uint8).ravel())[:k]
        n = res.counts[i]
        assert n == len(rows)
        np.testing.assert_array_equal(res.ids[i, :n], rows[:, 0].astype(np.uint64))
        np.testing.assert_array_equal(res.scores[i, :n], rows[:, 1].astype(np.float32))
        assert (res.ids[i, n:] == 2**64 - 1).all() and np.isnan(res.scores[i, n:]).all()
    # Each shard's offsets point into its own rows of X: one buffer per shard.
    kwargs = dict(where=where, embeddings=[X[a:b] for a, b in SHARDS] if exact else None)
    _same(data["sharded"].search(Q, k=k, **kwargs), res)
    _same(data["sharded"].search(Q, k=k, threads=1, **kwargs), res)
    one = data["sharded"].search(Q[2], k=k, **kwargs)
    np.testing.assert_array_equal(one.ids, res.ids[2])
    assert one.counts == res.counts[2]


FILTERS = [
    ({"tenant": ["acme", "initech", "nobody"]}, lambda t, g: np.isin(t, ["acme", "initech"])),
    ({"tenant": "acme", "lang": ("de", "fr")}, lambda t, g: (t == "acme") & np.isin(g, ["de", "fr"])),
    (Or({"tenant": "umbrella"}, {"lang": {"fr"}}), lambda t, g: (t == "umbrella") | (g == "fr")),
    (Not({"tenant": "acme"}), lambda t, g: t != "acme"),
    (And(Not({"lang": "en"}), Or()), lambda t, g: np.zeros(len(t), bool)),
    (And(), lambda t, g: np.ones(len(t), bool)),
    ({"lang": "xx"}, lambda t, g: np.zeros(len(t), bool)),
    (Not({"tenant": "nobody"}), lambda t, g: np.ones(len(t), bool)),
]


@pytest.mark.parametrize("where,mask", FILTERS)
def test_filters_counts_and_facets_match_numpy(data, where, mask):
    m = mask(data["tenants"], data["langs"])
    ids = 5000 + np.flatnonzero(m)
    for index in (data["index"], data["sharded"]):
        res = index.search(data["Q"][:2], k=N, where=where, oversample=1)
        for i in range(2):
            assert sorted(res.ids[i, :res.counts[i]]) == list(ids)
        assert index.count(where) == m.sum()
        assert index.facets("lang", where) == dict(collections.Counter(data["langs"][m]))


def test_filter_per_query(data):
    where = [{"tenant": "acme"}, None, Not({"tenant": "acme"})]
    res = data["sharded"].search(data["Q"][:3], k=N, where=where, oversample=1)
    acme = set(5000 + np.flatnonzero(data["tenants"] == "acme"))
    assert set(res.ids[0, :res.counts[0]]) == acme
    assert res.counts[1] == N
    assert set(res.ids[2, :res.counts[2]]) == set(range(5000, 5000 + N)) - acme


def test_rerank_signs_scores_the_pool_by_sign_bits(data):
    Q, X = data["Q"], data["X"]
    index = data["sharded"]
    pool = index.search(Q, k=30, where={"lang": "de"})
    res = index.search(Q, k=10, where={"lang": "de"}, rerank="signs")
    for i in range(len(Q)):
        got = res.ids[i, :res.counts[i]]
        assert set(got) <= set(pool.ids[i])
        signs = np.where(X[got - 5000] > 0, 1.0, -1.0)
        np.testing.assert_allclose(res.scores[i, :res.counts[i]], signs @ Q[i], rtol=1e-5)
        assert (np.diff(res.scores[i, :res.counts[i]]) <= 0).all()


def test_properties_and_repr(data):
    index, sharded = data["index"], data["sharded"]
    assert len(index) == len(sharded) == N
    assert index.schema == sharded.schema == ["tenant", "lang"]
    assert index.dim == DIM
    assert repr(sharded) == f"<korvel.Index 4 shards: 700 records, dim 24, schema ['tenant', 'lang']>"
    assert repr(index).startswith(f"<korvel.Index '{data['whole']}': 700 records")


def test_empty_index_and_k_beyond_the_index(tmp_path):
    path = str(tmp_path / "empty.korvix")
    HybridIndex.builder(["a"], 3).save(path)
    index = korvel.open(path)
    res = index.search(np.ones((2, 3), np.float32), k=4)
    assert res.counts.tolist() == [0, 0] and (res.ids == 2**64 - 1).all()
    assert index.count() == 0 and index.facets("a") == {} and len(index) == 0


def _raises(exc, text, f, *args, **kwargs):
    with pytest.raises(exc) as e:
        f(*args, **kwargs)
    assert str(e.value) == text


def test_bad_input(data, tmp_path):
    index, Q = data["sharded"], data["Q"]
    search = index.search
    _raises(TypeError, "Q must hold float16, float32 or float64 values, got int64", search,
            np.ones((2, DIM), np.int64))
    _raises(ValueError, "Q must be 1-D (one query) or 2-D (one per row), got 3-D", search,
            np.ones((1, 2, DIM)))
    _raises(ValueError, "Q has 5 columns, expected dim 24", search, np.ones((2, 5)))
    bad = Q.copy()
    bad[1, 3] = np.nan
    _raises(ValueError, "Q row 1 contains NaN or infinity", search, bad)
    _raises(ValueError, "k must be at least 1, got 0", search, Q, k=0)
    _raises(ValueError, "k must be in 1..=10000, got 10001", search, Q, k=10001)
    _raises(ValueError, "Unknown trait name 'color'. Valid traits: [\"tenant\", \"lang\"]",
            search, Q, where=Or({"color": "red"}))
    _raises(ValueError, "Unknown trait name 'color'. Valid traits: [\"tenant\", \"lang\"]",
            index.facets, "color")
    _raises(ValueError, "where: a list of filters needs one per query: got 2 for 6 queries",
            search, Q, where=[None, None])
    _raises(TypeError, "where: expected a dict of trait -> value(s), korvel.And/Or/Not, or a list "
            "with one filter per query, got str", search, Q, where="acme")
    _raises(TypeError, "where['tenant']: expected a str or a list, tuple or set of str, got 3",
            index.count, {"tenant": 3})
    _raises(ValueError, "rerank must be None or 'signs', got 'exact'", search, Q, rerank="exact")
    _raises(ValueError, "oversample must be at least 1, got -1", search, Q, oversample=-1)
    _raises(ValueError, "threads must be None or in 1..=1024, got -2", search, Q, threads=-2)
    _raises(ValueError, "threads must be None or in 1..=1024, got -18446744073709551617", search,
            Q, threads=-2**64 - 1)
    _raises(ValueError, "embeddings: a list holds one buffer per shard (4), got 1; pass one "
            "buffer for all shards as it is, not in a list", search, Q, embeddings=[data["X"]])
    _raises(ValueError, "embeddings: expected one buffer or one per shard (4), got 2", search, Q,
            embeddings=[data["X"]] * 2)
    with pytest.raises(ValueError, match=r"^embeddings: record \d+ of shard \d+ has its embedding"):
        data["index"].search(Q, k=50, embeddings=data["X"][:N // 2])
    # Inputs that are converted rather than refused.
    _same(search(np.asfortranarray(Q)), search(Q))
    _same(search(Q[:, ::-1][:, ::-1].astype(np.float64)), search(Q))
    _raises(ValueError, "Q must be a C-contiguous 2-D float32 array", index._index.search,
            np.asfortranarray(Q), 10)
    # Opening.
    other = str(tmp_path / "other.korvix")
    HybridIndex.builder(["tenant", "lang"], DIM + 1).save(other)
    _raises(ValueError, f"Shard 1 ('{other}') does not match shard 0: dim is 25, expected 24",
            korvel.open, [data["whole"], other])
    with pytest.raises(OSError, match="^Failed to open '.*missing': File access failed: No such"):
        korvel.open([data["whole"], str(tmp_path / "missing")])
    _raises(ValueError, "No index files given", korvel.open, [])


def test_offsets_near_the_top_of_the_range_are_reported_as_they_are(tmp_path):
    w = korvel.IndexWriter(["a"], 16)
    w.add([7], {"a": ["x"]}, np.ones((1, 16), np.float32), np.array([2**64 - 8], np.uint64))
    w.save(tmp_path / "top.korvix")
    _raises(ValueError, "embeddings: record 0 of shard 0 has its embedding at bytes "
            "18446744073709551608..18446744073709551672, beyond the buffer of 64 bytes",
            korvel.open(tmp_path / "top.korvix").search, np.ones(16), embeddings=bytes(64))
