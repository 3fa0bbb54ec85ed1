"""Wide traits (more than 256 values), typed columns and Range against a NumPy model of the
filter semantics: count, facets and search on random indexes, one file and shards of mixed
code widths, and HybridIndex.load of a 16-bit file."""

import collections
import datetime
import struct

import numpy as np
import pytest

import korvel
from korvel import And, HybridIndex, Not, Or, Range

N, DIM = 1500, 16
SCHEMA = ["tenant", "color", "price", "when", "score"]


def _columns(rng, n, tenants):
    return {
        "tenant": np.array([f"t{v}" for v in rng.zipf(1.3, n) % tenants]),
        "color": np.array(["red", "green", "blue", ""])[rng.integers(0, 4, n)],
        "price": rng.integers(-50, 50, n) * 10**int(rng.integers(0, 3)),
        "when": np.datetime64("2024-01-01") + rng.integers(0, 200, n).astype("timedelta64[D]"),
        "score": np.round(rng.standard_normal(n), 1),
    }


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    rng = np.random.default_rng(5)
    d = tmp_path_factory.mktemp("wide")
    parts = [_columns(rng, n, t) for n, t in ((400, 50), (700, 2000), (400, 3000))]
    cols = {k: np.concatenate([p[k] for p in parts]) for k in SCHEMA}
    X = rng.standard_normal((N, DIM)).astype(np.float32)
    ids = np.arange(N, dtype=np.uint64) + 100
    whole = str(d / "whole.korvix")
    w = korvel.IndexWriter(SCHEMA, DIM)
    start = 0
    for part in parts:  # the second batch widens the codes of the first
        n = len(part["tenant"])
        w.add(ids[start:start + n], part, X[start:start + n])
        start += n
    w.save(whole)
    # Shards: the first 400 records fit 8-bit codes, the rest need 16.
    shard_paths = []
    for a, b in ((0, 400), (400, N)):
        sw = korvel.IndexWriter(SCHEMA, DIM)
        sw.add(ids[a:b], {k: v[a:b] for k, v in cols.items()}, X[a:b])
        shard_paths.append(str(d / f"s{a}.korvix"))
        sw.save(shard_paths[-1])
    return dict(cols=cols, X=X, ids=ids, whole=whole, shards=shard_paths,
                index=korvel.open(whole), sharded=korvel.open(shard_paths))


def _width(path):
    with open(path, "rb") as f:
        return struct.unpack("<4sHQHHB", f.read(19))[5]


def test_code_width_follows_the_widest_trait(built, tmp_path):
    assert [_width(p) for p in [built["whole"], *built["shards"]]] == [16, 8, 16]
    # A file whose traits fit stays 8-bit: the same bytes as HybridIndex writes.
    cols = built["cols"]
    h = HybridIndex.builder(["tenant", "color"], DIM)
    for i in range(300):
        h.add_record(int(built["ids"][i]), {"tenant": str(cols["tenant"][i]),
                                            "color": str(cols["color"][i])}, built["X"][i])
    h.save(str(tmp_path / "h.korvix"))
    w = korvel.IndexWriter(["tenant", "color"], DIM)
    w.add(built["ids"][:300], {"tenant": cols["tenant"][:300], "color": cols["color"][:300]},
          built["X"][:300])
    w.save(str(tmp_path / "w.korvix"))
    for suffix in ("", ".meta"):
        assert (tmp_path / f"h.korvix{suffix}").read_bytes() == \
            (tmp_path / f"w.korvix{suffix}").read_bytes()


def _text(trait, values):
    if trait == "price":
        return np.array([str(int(v)) for v in values])
    if trait == "score":
        return np.array([repr(float(v) + 0.0) for v in values])  # -0.0 is stored as 0.0
    if trait == "when":
        return np.datetime_as_string(values)
    return values


def _random_filter(rng, cols, depth=0):
    """A filter and its NumPy mask."""
    roll = rng.integers(0, 7 if depth < 2 else 4)
    trait = SCHEMA[rng.integers(0, len(SCHEMA))]
    if roll <= 1:
        values = _text(trait, cols[trait])
        pool = np.unique(values)
        picked = list(rng.choice(pool, int(rng.choice([1, 3, 20, 300])), replace=True))
        if rng.integers(0, 4) == 0:
            picked.append("absent")
        where = {trait: picked[0] if len(picked) == 1 else picked}
        return where, np.isin(values, picked)
    if roll <= 3:
        trait = ["price", "score", "when"][rng.integers(0, 3)]
        v = cols[trait]
        lo, hi = np.sort(rng.choice(v, 2))
        lo = None if rng.integers(0, 4) == 0 else lo
        hi = None if lo is not None and rng.integers(0, 4) == 0 else hi
        if trait == "when" and lo is not None and rng.integers(0, 2) == 0:
            lo = lo.astype(datetime.datetime)  # a datetime.datetime bound
        mask = np.ones(len(v), bool)
        if lo is not None:
            mask &= v >= np.asarray(lo, dtype=v.dtype)
        if hi is not None:
            mask &= v <= hi
        return Range(trait, lo, hi), mask
    kids = [_random_filter(rng, cols, depth + 1) for _ in range(rng.integers(1, 4))]
    if roll == 4:
        return And(*[k[0] for k in kids]), np.logical_and.reduce([k[1] for k in kids])
    if roll == 5:
        return Or(*[k[0] for k in kids]), np.logical_or.reduce([k[1] for k in kids])
    return Not(kids[0][0]), ~kids[0][1]


@pytest.mark.parametrize("which", ["index", "sharded"])
def test_count_facets_and_search_agree_with_numpy(built, which):
    idx, cols, ids = built[which], built["cols"], built["ids"]
    rng = np.random.default_rng(9)
    for _ in range(60):
        where, mask = _random_filter(rng, cols)
        assert idx.count(where) == int(mask.sum()), where
        trait = SCHEMA[rng.integers(0, len(SCHEMA))]
        want = collections.Counter(_text(trait, cols[trait])[mask].tolist())
        assert idx.facets(trait, where) == dict(want), where
        res = idx.search(built["X"][:2], k=N, where=[where, None])
        assert set(res.ids[0][:res.counts[0]].tolist()) == set(ids[mask].tolist()), where
        assert res.counts[1] == N


def test_hybrid_index_load_reads_wide_files(built):
    h = HybridIndex.load(built["whole"])
    cols = built["cols"]
    _, first = np.unique(cols["tenant"], return_index=True)
    late = cols["tenant"][np.sort(first)[-2:]]  # the last values seen: codes past 256
    for value in ("t0", "t1", *late):
        rows = h.search({"tenant": value}, built["X"][0], top_k=N)
        res = built["index"].search(built["X"][0], k=N, where={"tenant": value})
        np.testing.assert_array_equal(rows[:, 0].astype(np.uint64), res.ids[:res.counts])
        assert set(res.ids[:res.counts].tolist()) == set(built["ids"][cols["tenant"] == value])


def test_limits_and_range_errors(built, tmp_path):
    w = korvel.IndexWriter(["id"], 0)
    w.add(np.zeros(65536, np.uint64), {"id": np.arange(65536)})
    with pytest.raises(ValueError) as e:
        w.add(np.zeros(2, np.uint64), {"id": np.array([5, 70000])})
    assert str(e.value) == ("column 'id', row 1: Trait '70000' overflow: 65537 unique values "
                            "exceeds 65536-value capacity for 16-bit mode")
    assert len(w) == 65536
    idx = built["index"]
    with pytest.raises(ValueError) as e:
        idx.count(Range("color", 1, 2))
    assert str(e.value) in {f"Range('color'): the trait holds '{c}', which is not a number"
                            for c in ("red", "green", "blue")}
    with pytest.raises(ValueError) as e:
        idx.count(Range("price", hi=datetime.date(2024, 1, 1)))
    assert str(e.value).startswith("Range('price'): the trait holds '") and \
        str(e.value).endswith("', which is not a date")
    with pytest.raises(TypeError, match="lo and hi must both be numbers or both dates"):
        Range("when", 1, np.datetime64("2024-01-01"))
    with pytest.raises(TypeError, match="lo must be a number, a date or None"):
        Range("price", "10")
    with pytest.raises(ValueError, match=r"row 1: missing value \(nan\)"):
        w.add(np.zeros(2, np.uint64), {"id": np.array([1.0, np.nan])})


def test_typed_columns_store_the_same_canonical_strings_from_every_library(tmp_path):
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")

    rng = np.random.default_rng(3)
    price = rng.integers(-5, 5, 50) * 10**15
    score = rng.choice([0.1, -2.5, 1e20, np.inf], 50).astype(np.float32)
    when = np.datetime64("2024-02-28T23:00", "s") + rng.integers(0, 4, 50) * 3600
    flag = rng.random(50) < 0.5
    texts = {"price": [str(v) for v in price.tolist()],
             "score": [repr(float(v)) for v in score.tolist()],
             "when": [str(v) for v in np.datetime_as_string(when)],
             "flag": ["true" if v else "false" for v in flag]}
    typed = {"price": price, "score": score, "when": when, "flag": flag}
    forms = [texts, typed, {k: pd.Series(v) for k, v in typed.items()},
             {k: pa.chunked_array([v[:20], v[20:]]) for k, v in typed.items()}]
    images = []
    for i, cols in enumerate(forms):
        w = korvel.IndexWriter(list(texts), 0)
        w.add(np.arange(50, dtype=np.uint64), cols)
        w.save(str(tmp_path / f"{i}.korvix"))
        images.append([(tmp_path / f"{i}.korvix{s}").read_bytes() for s in ("", ".meta")])
    assert all(image == images[0] for image in images), "a library's column differs"
    idx = korvel.open(str(tmp_path / "0.korvix"))
    day = datetime.datetime(2024, 2, 29)
    assert idx.count(Range("when", day, np.datetime64("2024-02-29T01:00"))) == int(
        ((when >= np.datetime64(day)) & (when <= np.datetime64("2024-02-29T01:00"))).sum())
    assert idx.count(Range("score", lo=float(np.float32(0.1)))) == int((score >= 0.1).sum())
    assert idx.count(Range("price", 10**15 + 1)) == int((price > 10**15).sum())
