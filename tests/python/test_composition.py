"""Features together: a collection with typed and wide traits (8-bit and 16-bit shards mixed,
merged by compaction), changed at random by adds, deletes (by id, by Range, by a large any-of),
upserts, commits and compactions, answers every search, count and facet exactly as one
IndexWriter file of its live records in order."""

import datetime
import os

import numpy as np
import pytest

import korvel
from conftest import LONG_TESTS
from korvel import And, HybridIndex, Not, Or, Range

DIM = 20
SCHEMA = ["cat", "n", "when", "lang"]
ROWS = 40000  # every record version ever made is a row; its embedding sits at row * DIM * 4
EMB = np.random.default_rng(5).standard_normal((ROWS, DIM)).astype(np.float32)
BUFFER = EMB.tobytes()
LANGS = np.array(["en", "fr", "de", "it", "nl"])
DAY0 = np.datetime64("2024-01-01", "D")


class Rows:
    """Every record version: its doc id and trait values, drawn batch by batch."""

    def __init__(self, rng):
        self.rng, self.next = rng, 0
        self.ids = np.zeros(ROWS, np.uint64)
        self.cat = np.empty(ROWS, object)
        self.n = rng.integers(-50, 50, ROWS)
        self.when = DAY0 + rng.integers(0, 400, ROWS).astype("timedelta64[D]")
        self.lang = LANGS[rng.integers(0, len(LANGS), ROWS)]

    def draw(self, ids, span=None, base=None):
        rows = np.arange(self.next, self.next + len(ids))
        self.next += len(ids)
        self.ids[rows] = ids
        # An 8-bit batch draws from 150 values at a random base (so two such shards can
        # together pass 256), a wide one from 700 (a 16-bit shard).
        span = span or (700 if self.rng.random() < 0.35 else 150)
        base = int(self.rng.integers(0, 600)) if base is None else base
        self.cat[rows] = [f"c{v}" for v in base + self.rng.integers(0, span, len(ids))]
        return rows

    def args(self, rows):
        cols = {"cat": list(self.cat[rows]), "n": self.n[rows], "when": self.when[rows],
                "lang": self.lang[rows]}
        return self.ids[rows], cols, EMB[rows], rows.astype(np.uint64) * (DIM * 4)


def reference(tmp, rows, data):
    w = korvel.IndexWriter(SCHEMA, DIM)
    if len(rows):
        w.add(*data.args(np.asarray(rows)))
    path = os.path.join(tmp, f"ref-{data.next}-{len(rows)}.korvix")
    w.save(path)
    return korvel.open(path)


def assert_shards_written_as_by_writer(tmp, path, shards, committed, data):
    """With no deleted record, each shard is byte for byte IndexWriter's file of its rows."""
    at = 0
    for s in shards:
        ref = reference(tmp, committed[at : at + s["records"]], data).paths[0]
        at += s["records"]
        for suffix in ("", ".meta"):
            with open(os.path.join(path, s["path"]) + suffix, "rb") as f, \
                    open(ref + suffix, "rb") as g:
                assert f.read() == g.read(), (s, suffix)


def random_filter(rng, data):
    """A random filter and its mask over every row drawn so far."""
    m = data.next
    cat, n, when, lang = data.cat[:m], data.n[:m], data.when[:m], data.lang[:m]
    cats = [f"c{v}" for v in rng.integers(0, 1300, int(rng.integers(9, 300)))]
    in_cats, in_few = np.isin(cat, cats), np.isin(cat, cats[:12])
    lo = int(rng.integers(-60, 40))
    hi = lo + int(rng.integers(0, 40))
    day = DAY0 + np.timedelta64(int(rng.integers(0, 400)), "D")
    date = day.astype(datetime.date)
    pick = [
        (None, np.ones(m, bool)),
        (Range("n", lo, hi), (n >= lo) & (n <= hi)),
        (Range("when", lo=date), when >= day),
        (Range("n", hi=lo + 0.5), n <= lo + 0.5),
        ({"cat": cats}, in_cats),
        (And({"cat": cats}, {"lang": ["en", "de"]}), in_cats & np.isin(lang, ["en", "de"])),
        (Not(Or(Range("when", hi=day), {"cat": cats[:12]})), ~((when <= day) | in_few)),
        (Or({"lang": "fr"}, Range("n", lo, lo)), (lang == "fr") | (n == lo)),
    ]
    return pick[int(rng.integers(0, len(pick)))]


def _width(path):
    with open(path, "rb") as f:
        return f.read(19)[18]


def assert_same(index, ref, rng, data, compacted):
    assert len(index) == len(ref)
    Q = rng.standard_normal((3, DIM)).astype(np.float32)
    for _ in range(4):
        where = random_filter(rng, data)[0]
        assert index.count(where) == ref.count(where), where
        for trait in ("cat", "n"):
            got, want = index.facets(trait, where), ref.facets(trait, where)
            assert got == want, where
            if compacted and where is None:  # first appearance over the stored records
                assert list(got) == list(want), where
        per_query = [where, random_filter(rng, data)[0], None]
        for kw in ({}, {"rerank": "signs"}, {"embeddings": BUFFER},
                   {"rerank": "signs", "embeddings": BUFFER, "rescore": int(rng.integers(1, 4)),
                    "oversample": 12}):
            mine = dict(kw)
            if "embeddings" in kw and len(index.paths) > 1 and rng.random() < 0.5:
                mine["embeddings"] = [BUFFER] * len(index.paths)  # one buffer per shard
            label = f"{sorted(kw)}"  # not the buffer: its repr is megabytes
            for k, w in ((int(rng.integers(1, 60)), where), (7, per_query)):
                a = index.search(Q, k, where=w, threads=int(rng.integers(1, 4)), **mine)
                b = ref.search(Q, k, where=w, **kw)
                np.testing.assert_array_equal(a.ids, b.ids, err_msg=f"{w} {label}")
                np.testing.assert_array_equal(a.scores, b.scores, err_msg=f"{w} {label}")
                np.testing.assert_array_equal(a.counts, b.counts, err_msg=f"{w} {label}")


@pytest.mark.parametrize("seed", range(5 if not LONG_TESTS else 60))
def test_collection_of_typed_wide_shards_equals_one_file(tmp_path, seed):
    rng = np.random.default_rng(seed)
    data = Rows(rng)
    path = str(tmp_path / "col")
    col = korvel.Collection(path, schema=SCHEMA, dim=DIM)
    committed, staged = [], []  # live rows in collection order
    widths = set()
    for step in range(60 if not LONG_TESTS else 150):
        op = rng.choice(["add", "add", "delete", "delete_where", "upsert", "commit", "compact",
                         "adopt"])
        gone = None
        if op == "add":
            ids = rng.integers(0, 3000, int(rng.integers(20, 500))).astype(np.uint64)
            rows = data.draw(ids)
            col.add(*data.args(rows))
            staged += rows.tolist()
        elif op in ("delete", "upsert") and committed + staged:
            live = committed + staged
            ids = np.unique(data.ids[rng.choice(live, min(len(live), 40))])
            gone = np.isin(data.ids[: data.next], ids)
            if op == "delete":
                assert col.delete(ids) == int(gone[live].sum())
            else:
                rows = data.draw(ids)
                col.upsert(*data.args(rows))
        elif op == "delete_where":
            where, gone = random_filter(rng, data)
            if where is None:
                where, gone = {"lang": "it"}, data.lang[: data.next] == "it"
            assert col.delete(where=where) == int(gone[committed + staged].sum())
        if gone is not None:
            committed = [r for r in committed if not gone[r]]
            staged = [r for r in staged if not gone[r]]
            if op == "upsert":
                staged += rows.tolist()
        if op in ("commit", "compact", "adopt"):
            if op == "adopt":  # a file built elsewhere, 8- or 16-bit, after what is staged
                ids = rng.integers(0, 3000, int(rng.integers(20, 500))).astype(np.uint64)
                rows = data.draw(ids)
                col.add_shards([reference(str(tmp_path), rows, data).paths[0]])
                staged += rows.tolist()
            elif op == "commit":
                col.commit()
            else:
                col.compact(min_dead=float(rng.choice([0.0, 0.2, 0.6])))
            committed, staged = committed + staged, []
            shards = col._doc["shards"]
            widths.update(_width(os.path.join(path, s["path"])) for s in shards)
            ref = reference(str(tmp_path), committed, data)
            compacted = all(s["deleted"] == 0 for s in shards)
            assert_same(korvel.open(path), ref, rng, data, compacted)
            if compacted:
                assert_shards_written_as_by_writer(str(tmp_path), path, shards, committed, data)
    # Two 8-bit shards whose values together pass 256, merged by compaction into a 16-bit
    # shard; then that shard read by HybridIndex.load as korvel.open reads it.
    col.commit()
    committed, staged = committed + staged, []
    for base in (2000, 3000):
        rows = data.draw(rng.integers(0, 3000, 300).astype(np.uint64), span=200, base=base)
        col.add(*data.args(rows))
        col.commit()
        assert _width(os.path.join(path, col._doc["shards"][-1]["path"])) == 8
        col.delete(data.ids[rows[:1]])
        committed = [r for r in committed + rows.tolist() if data.ids[r] != data.ids[rows[0]]]
    col.compact(0.0)
    last = os.path.join(path, col._doc["shards"][-1]["path"])
    assert _width(last) == 16 and all(s["deleted"] == 0 for s in col._doc["shards"])
    assert_same(korvel.open(path), reference(str(tmp_path), committed, data), rng, data, True)
    assert_shards_written_as_by_writer(str(tmp_path), path, col._doc["shards"], committed, data)
    col.close()
    assert widths == {8, 16}
    hybrid, index = HybridIndex.load(last), korvel.open(last)
    for q in EMB[rows[-3:]]:
        for value in data.cat[[committed[-1], committed[-300]]]:  # codes past 256, and early
            got = hybrid.search({"cat": value}, q, top_k=5, exact_rescore=True,
                                embeddings_data=BUFFER)
            want = index.search(q, 5, where={"cat": value}, embeddings=BUFFER)
            np.testing.assert_array_equal(got[:, 0].astype(np.uint64), want.ids[: want.counts])
            np.testing.assert_array_equal(got[:, 1].astype(np.float32),
                                          want.scores[: want.counts])
