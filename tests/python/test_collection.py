"""Collections against a model: after random adds, deletes, upserts, rollbacks, commits and
compactions, the latest generation answers exactly as one IndexWriter file of the model's live
records in order; crashes at random points leave the last committed generation; errors stage
nothing."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import korvel
from conftest import LONG_TESTS

DIM = 24
LANGS = ["en", "fr", "de", "it"]
# Every record's embedding sits at offset id * DIM * 4 of one buffer, so exact re-scoring
# reads the same rows from the collection and from the reference file.
MAX_ID = 12000
EMB = np.random.default_rng(99).standard_normal((MAX_ID, DIM)).astype(np.float32)
BUFFER = EMB.tobytes()


def columns(ids):
    return {"lang": [LANGS[(i * 7 + i // 5) % 4] for i in ids], "tenant": [f"t{i % 3}" for i in ids]}


def add_args(ids):
    ids = np.asarray(ids, np.uint64)
    return ids, columns(ids.tolist()), EMB[ids.astype(np.int64)], ids * (DIM * 4)


class Model:
    """The live records in collection order, committed and staged."""

    def __init__(self):
        self.committed = []
        self.staged = None

    @property
    def live(self):
        return self.staged if self.staged is not None else self.committed

    def _stage(self):
        if self.staged is None:
            self.staged = list(self.committed)
        return self.staged

    def apply(self, op):
        kind = op[0]
        if kind == "add":
            self._stage().extend(op[1])
        elif kind == "upsert":
            gone = set(op[1])
            self.staged = [i for i in self._stage() if i not in gone] + list(op[1])
        elif kind == "delete":
            gone = set(op[1])
            self.staged = [i for i in self._stage() if i not in gone]
        elif kind == "delete_where":
            self.staged = [i for i in self._stage() if columns([i])["lang"][0] != op[1]]
        elif kind == "rollback":
            self.staged = None
        elif kind in ("commit", "compact"):
            self.committed, self.staged = list(self.live), None


def random_ops(seed, count):
    rng = np.random.default_rng(seed)
    ops, next_id = [], 0
    for _ in range(count):
        r = rng.random()
        if r < 0.3 or next_id == 0:
            n = int(rng.integers(0, 300))
            ids = list(range(next_id, next_id + n))
            if n and rng.random() < 0.2:
                ids[-1] = ids[0]  # add keeps repeated ids
            ops.append(("add", ids))
            next_id += n
        elif r < 0.45:
            ops.append(("delete", rng.integers(0, next_id, int(rng.integers(1, 80))).tolist()))
        elif r < 0.5:
            ops.append(("delete_where", LANGS[int(rng.integers(0, 4))]))
        elif r < 0.65:
            ids = rng.choice(next_id, min(next_id, int(rng.integers(1, 60))), replace=False)
            ops.append(("upsert", ids.tolist()))
        elif r < 0.7:
            ops.append(("rollback",))
        elif r < 0.9:
            ops.append(("commit",))
        else:
            ops.append(("compact", float(rng.choice([0.0, 0.2, 0.5]))))
    return ops


def run_op(col, op):
    kind = op[0]
    if kind == "add":
        col.add(*add_args(op[1]))
    elif kind == "upsert":
        col.upsert(*add_args(op[1]))
    elif kind == "delete":
        return col.delete(op[1])
    elif kind == "delete_where":
        return col.delete(where={"lang": op[1]})
    elif kind == "rollback":
        col.rollback()
    elif kind == "commit":
        return col.commit()
    elif kind == "compact":
        return col.compact(min_dead=op[1])


def reference(tmp, ids):
    writer = korvel.IndexWriter(["lang", "tenant"], DIM)
    writer.add(*add_args(ids))
    path = os.path.join(tmp, f"ref-{time.monotonic_ns()}.korvix")
    writer.save(path)
    return korvel.open(path)


def assert_same(index, ref):
    assert len(index) == len(ref)
    Q = np.random.default_rng(len(ref)).standard_normal((9, DIM)).astype(np.float32)
    for where in (None, {"lang": "en"}, korvel.Not({"tenant": ["t1", "t9"]})):
        assert index.count(where) == ref.count(where)
        assert index.facets("lang", where) == ref.facets("lang", where)
        for kw in ({}, {"rerank": "signs"}, {"embeddings": BUFFER, "oversample": 2}):
            for k in (1, 10, 300):
                a = index.search(Q, k, where=where, **kw)
                b = ref.search(Q, k, where=where, **kw)
                np.testing.assert_array_equal(a.ids, b.ids)
                np.testing.assert_array_equal(a.scores, b.scores)
                np.testing.assert_array_equal(a.counts, b.counts)


def check(tmp, path, live):
    index = korvel.open(path)
    if live:
        assert_same(index, reference(tmp, live))
    else:
        assert len(index) == 0 and index.count() == 0


@pytest.mark.parametrize("seed", range(4 if not LONG_TESTS else 40))
def test_collection_equals_one_file_of_its_live_records(tmp_path, seed):
    path = str(tmp_path / "col")
    col = korvel.Collection(path, schema=["lang", "tenant"], dim=DIM)
    model = Model()
    snapshots = []
    for op in random_ops(seed, 60):
        before = len(model.live)
        result = run_op(col, op)
        model.apply(op)
        if op[0] in ("delete", "delete_where"):
            assert result == before - len(model.live)
        if op[0] in ("commit", "compact"):
            assert col.generation == result and len(col) == len(model.committed)
            check(str(tmp_path), path, model.committed)
            if len(snapshots) < 3:
                snapshots.append((korvel.open(path), list(model.committed)))
    col.compact(0.0)
    model.apply(("compact",))
    check(str(tmp_path), path, model.committed)
    # Open indexes keep their generation, though its files are gone by now.
    for index, live in snapshots:
        if live:
            assert_same(index, reference(str(tmp_path), live))
    col.close()
