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


def test_bad_input_stages_nothing_and_errors_are_clear(tmp_path):
    path = str(tmp_path / "col")
    col = korvel.Collection(path, schema=["lang", "tenant"], dim=DIM)
    col.add(*add_args(range(10)))
    col.commit()
    with pytest.raises(ValueError, match="id 3 appears more than once"):
        col.upsert(*add_args([1, 3, 3]))
    ids, cols, emb, offs = add_args([1, 2])
    emb[1, 0] = np.nan
    for bad in (lambda: col.upsert(ids, cols, emb, offs), lambda: col.add(ids, cols, emb, offs),
                lambda: col.delete(where={"nope": "x"}), lambda: col.delete([1.5]),
                lambda: col.delete([-1]), lambda: col.delete()):
        with pytest.raises((ValueError, TypeError)):
            bad()
    assert col.commit() == 1 and len(col) == 10  # nothing was staged
    with pytest.raises(BlockingIOError, match="open for writing elsewhere"):
        korvel.Collection(path)
    with pytest.raises(ValueError, match="schema"):
        col.close()
        korvel.Collection(path, schema=["lang"], dim=DIM)
    with pytest.raises(FileNotFoundError, match="pass schema and dim"):
        korvel.Collection(str(tmp_path / "none"))
    # A torn deletion file is refused, not read as fewer deletions.
    col = korvel.Collection(path)
    col.delete([4])
    col.commit()
    col.close()
    (deletions,) = [n for n in os.listdir(path) if n.endswith(".del")]
    with open(os.path.join(path, deletions), "r+b") as f:
        f.seek(-3, os.SEEK_END)
        f.write(b"\xff")
    with pytest.raises(ValueError, match="Invalid deletion file.*checksum"):
        korvel.open(path)


def test_compaction_erases_deleted_records_and_adopts_shards(tmp_path):
    path = str(tmp_path / "col")
    col = korvel.Collection(path, schema=["lang", "tenant"], dim=DIM)
    big = 0x5A5A_0000_0000_0000
    ids = [big + i for i in range(200)]
    col.add(np.asarray(ids, np.uint64), columns(range(200)), EMB[:200])
    col.commit()
    col.delete(ids[:50])
    col.commit()
    built = korvel.IndexWriter(["lang", "tenant"], DIM)
    built.add(*add_args(range(300, 400)))
    built.save(str(tmp_path / "built.korvix"))
    col.add(*add_args([500]))
    gen = col.add_shards([str(tmp_path / "built.korvix")])
    assert gen == col.generation == 3 and len(col) == 251
    col.compact(min_dead=0.0)
    names = os.listdir(path)
    data = b"".join(open(os.path.join(path, n), "rb").read() for n in names if n.startswith("s-"))
    generations = [n for n in names if n.startswith("gen-")]
    assert len(generations) == 1  # only the current generation is kept
    # No file left in the collection holds a deleted id, in binary or in text.
    assert not any(int(i).to_bytes(8, "little") in data or str(i).encode() in data
                   for i in ids[:50])
    index = korvel.open(path)
    assert sorted(os.path.basename(p) for p in index.paths) == sorted(
        n for n in names if n.startswith("s-") and n.endswith(".korvix"))
    assert col.export(str(tmp_path / "exported.korvix")) == 251
    col.close()
    writer = korvel.IndexWriter(["lang", "tenant"], DIM)
    writer.add(np.asarray(ids[50:], np.uint64), columns(range(50, 200)), EMB[50:200])
    writer.add(*add_args([500] + list(range(300, 400))))
    writer.save(str(tmp_path / "ref.korvix"))
    Q = EMB[:5] + 0.1
    a, b = index.search(Q, 20), korvel.open(str(tmp_path / "ref.korvix")).search(Q, 20)
    np.testing.assert_array_equal(a.ids, b.ids)
    np.testing.assert_array_equal(a.scores, b.scores)
    for suffix in ("", ".meta"):  # the export is that same file
        assert (tmp_path / f"exported.korvix{suffix}").read_bytes() == (
            tmp_path / f"ref.korvix{suffix}").read_bytes()


def test_shards_whose_values_overflow_one_file_compact_apart(tmp_path):
    # Each shard holds 40,000 values of a trait: together they pass the 65,536 of one file.
    paths = []
    for prefix in "ab":
        w = korvel.IndexWriter(["t"], 8)
        w.add(np.arange(40_000, dtype=np.uint64),
              {"t": ([f"{prefix}{i}" for i in range(40_000)], np.arange(40_000))})
        paths.append(str(tmp_path / f"{prefix}.korvix"))
        w.save(paths[-1])
    col = korvel.Collection(str(tmp_path / "col"), schema=["t"], dim=8)
    col.add_shards(paths)
    with pytest.raises(ValueError, match="column 't', row 65536: Trait 'b25536' overflow"):
        col.export(str(tmp_path / "all.korvix"))  # rows of the new file
    col.delete([5])
    col.compact(min_dead=0.0)  # each shard rewritten alone
    index = korvel.open(col.path)
    assert len(index.paths) == 2 and len(index) == len(col) == 79_998
    assert index.count({"t": ["a5", "b5"]}) == 0 and index.count({"t": ["a6", "b6"]}) == 2


CHILD = r"""
import sys
sys.path.insert(0, {tests!r})
import korvel, test_collection as t
col = korvel.Collection({path!r}, schema=["lang", "tenant"], dim=t.DIM)
for n, op in enumerate(t.random_ops({seed}, 400)):
    if op[0] == "rollback":
        continue
    result = t.run_op(col, op)
    if op[0] in ("commit", "compact"):
        print(n, result, flush=True)
"""


def crash_cycles():
    return 200 if LONG_TESTS else 4


def test_kill_at_random_points_leaves_the_last_commit(tmp_path):
    """A child adds, deletes, upserts, commits and compacts until killed; the collection
    then holds a whole committed generation, equal to the model's, and takes a writer."""
    rng = np.random.default_rng(5)
    path = str(tmp_path / "col")
    korvel.Collection(path, schema=["lang", "tenant"], dim=DIM).close()
    tests = os.path.dirname(os.path.abspath(__file__))
    state, gen_before = [], 0
    for cycle in range(crash_cycles()):
        seed = 17 + cycle
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD.format(tests=tests, path=path, seed=seed)],
            stdout=subprocess.PIPE, text=True)
        time.sleep(float(rng.uniform(0.3, 1.5)))
        child.send_signal(signal.SIGKILL)
        out, _ = child.communicate()
        done = [int(line.split()[1]) for line in out.splitlines()]
        # The model's committed records after each commit or compaction of the child.
        model = Model()
        model.committed = list(state)
        states = []
        for op in random_ops(seed, 400):
            if op[0] == "rollback":
                continue
            model.apply(op)
            if op[0] in ("commit", "compact"):
                states.append(list(model.committed))
                if len(states) > len(done):
                    break
        col = korvel.Collection(path)  # the lock went with the child
        gen = col.generation
        if gen in done:  # the last reported commit with that number (equal states)
            live = states[len(done) - 1 - done[::-1].index(gen)]
        elif gen == gen_before:
            live = state
        else:  # durable before the child could report it (compact() may commit first)
            assert gen > (done[-1] if done else gen_before)
            live = states[len(done)]
        assert len(col) == len(live)
        check(str(tmp_path), path, live)
        col.add(*add_args([MAX_ID - 1]))  # writable again
        col.rollback()
        col.close()
        state, gen_before = live, gen


WRITER = r"""
import sys, numpy as np
sys.path.insert(0, {tests!r})
import korvel, test_collection as t
col = korvel.Collection({path!r})
rng = np.random.default_rng(3)
print("ready", flush=True)
for round in range(10**6):
    col.upsert(*t.add_args(rng.choice(500, 50, replace=False)))
    col.commit()
    if round % 3 == 0:
        col.compact(0.05)
"""


def test_readers_always_open_a_whole_generation(tmp_path):
    """While another process upserts and compacts, every open sees 500 distinct live ids."""
    path = str(tmp_path / "col")
    col = korvel.Collection(path, schema=["lang", "tenant"], dim=DIM)
    col.add(*add_args(range(500)))
    col.commit()
    col.close()
    tests = os.path.dirname(os.path.abspath(__file__))
    child = subprocess.Popen([sys.executable, "-c", WRITER.format(tests=tests, path=path)],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        generations = set()
        deadline = time.monotonic() + (20 if LONG_TESTS else 3)
        while time.monotonic() < deadline:
            index = korvel.open(path)
            ids = index.search(EMB[:1], 500).ids[0]
            assert len(index) == 500 and len(set(ids.tolist())) == 500
            generations.add(tuple(index.paths))
        assert len(generations) > 1
    finally:
        child.kill()
        child.wait()
