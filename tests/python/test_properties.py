"""Property tests: random calls never crash or raise undocumented types; random indexes
survive save -> load with the searches a plain-Python reference gives; the sidecar text
reads back to the same metadata."""

import json
import os
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from korvel import HybridIndex

# Failures a caller may see: the documented types, and errors raised by the caller's own
# objects while their values are read (they pass through unchanged).
DOCUMENTED = (TypeError, ValueError, OverflowError, OSError, RuntimeError)


class Boom(Exception):
    """Raised by the hostile argument objects below."""


class LyingLength:
    """A sequence of two floats whose length claims to be huge."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if i < 2:
            return 1.0 if i else "a"
        raise IndexError


class FailingLength(LyingLength):
    def __len__(self):
        raise Boom


class FailsMidway:
    def __len__(self):
        return 4

    def __getitem__(self, i):
        if i == 2:
            raise Boom
        if i > 3:
            raise IndexError
        return float(i)


class Number:
    """__index__ / __float__ returning `value` (or raising it when it is an exception)."""

    def __init__(self, value):
        self.value = value

    def _get(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __index__(self):
        return self._get()

    def __float__(self):
        return self._get()


class Reentrant:
    """Calls every method of `target` while being converted; each must fail cleanly."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    def _poke(self):
        for call in (lambda: self.target.add_record(1, {}), lambda: self.target.memory_stats(),
                     lambda: self.target.search({}), lambda: self.target.save("\0")):
            try:
                call()
            except DOCUMENTED:
                pass
        return self.value

    def __index__(self):
        return self._poke()

    def __float__(self):
        return float(self._poke())


class OddStr(str):
    def __hash__(self):
        return 7

    def __eq__(self, other):
        return False


def argument_pool(objects, tmp):
    """Factories of argument values (fresh objects per call: iterators get consumed)."""
    f32 = np.arange(8, dtype=np.float32)
    big_endian = np.ones(4, dtype=">f4")
    readonly = np.zeros(64, np.uint8)
    readonly.flags.writeable = False
    garbage = os.path.join(tmp, "garbage.korvix")
    with open(garbage, "wb") as f:
        f.write(b"KRVX\x01\x00" + bytes(58) + b"\xff" * 10)
    values = [
        None, True, False, 0, 1, 3, 4, -1, 2**32 - 1, 2**32, 2**63, 2**64 - 1, 2**64, -2**70,
        0.5, float("nan"), float("inf"), 1e39, "", "a", "t0", "v1", "\ud800", "x\0y", "é" * 300,
        OddStr("t0"), b"", b"\x00" * 64, bytearray(64), memoryview(b"abcd"), [], [1.0] * 4,
        [1, 2, 3, 4], ["t0", "t1"], ["a"] * 17, ("t0",), {}, {"t0": "v1"}, {"t0": "v1", "t1": "v0"},
        {"t0": 1}, {1: "a"}, {"t0": "nope"}, {"zz": "v1"}, {OddStr("t0"): "v1"}, {"t0": OddStr("v1")},
        f32[:4], f32[::2], f32[:0], f32.reshape(2, 4), big_endian, np.float64(2.5), np.True_,
        np.zeros(4, np.float64), np.zeros(64, np.uint8), np.zeros(64, np.uint8)[::2], readonly,
        np.zeros((8, 8), np.uint8), np.array(3), np.zeros(4, np.int8), range(4), object(),
        os.path.join(tmp, "out.korvix"), os.path.join(tmp, "missing", "x"), tmp, garbage,
        garbage + "-absent", os.path.join(tmp, "n" * 300),
    ]
    factories = [lambda v=v: v for v in values]
    factories += [
        lambda: LyingLength(sys.maxsize), lambda: LyingLength(2**40), lambda: FailingLength(0),
        lambda: FailsMidway(), lambda: iter([1.0, 2.0]), lambda: Number(2),
        lambda: Number(Boom()), lambda: Number("text"), lambda: Number(2**70),
        lambda: Number(1.5), lambda: (x for x in [1.0, Boom]),
    ]
    factories += [lambda o=o: o for o in objects]
    factories += [lambda o=o: Reentrant(o, 2) for o in objects]
    return factories


PARAMETERS = ["schema", "vector_dim", "doc_id", "metadata", "embedding", "external_offset",
              "path", "filters", "query_vector", "top_k", "exact_rescore", "embeddings_data",
              "bogus"]
METHODS = ["builder", "add_record", "save", "load", "search", "memory_stats"]


@pytest.fixture(scope="module")
def surface(tmp_path_factory):
    tmp = str(tmp_path_factory.mktemp("surface"))
    built = HybridIndex.builder(["t0", "t1"], 4)
    rng = np.random.default_rng(0)
    for i in range(100):
        built.add_record(i, {"t0": "v%d" % (i % 3), "t1": "v%d" % (i % 5)},
                         rng.standard_normal(4).astype(np.float32), i * 16)
    path = os.path.join(tmp, "base.korvix")
    built.save(path)
    objects = [built, HybridIndex.load(path), HybridIndex.builder(["a"], 0)]
    return objects, argument_pool(objects, tmp), tmp


def assert_borrows_released(objects):
    # A leaked exclusive borrow makes memory_stats() fail; a leaked shared one makes
    # add_record() report a borrow conflict before its argument error.
    for obj in objects:
        assert set(obj.memory_stats()) == {"rss_mb", "mmap_size_mb", "heap_allocations_bytes"}
        with pytest.raises(TypeError):
            obj.add_record("not an id", {})


calls = st.lists(st.tuples(
    st.sampled_from(METHODS), st.integers(0, 3),
    st.lists(st.integers(0, 10**6), max_size=6),
    st.one_of(st.none(), st.tuples(st.sampled_from(PARAMETERS), st.integers(0, 10**6)))),
    min_size=1, max_size=25)


@settings(max_examples=8 * settings.default.max_examples)
@given(calls)
def test_random_calls_raise_only_documented_errors(surface, sequence):
    objects, pool, tmp = surface
    cwd = os.getcwd()
    os.chdir(tmp)  # relative paths ("a", "t0", ...) are written there
    try:
        run_calls(objects, pool, sequence)
    finally:
        os.chdir(cwd)
    assert_borrows_released(objects)


def run_calls(objects, pool, sequence):
    for name, target_pick, arg_picks, keyword in sequence:
        target = HybridIndex if target_pick == 3 else objects[target_pick]
        args = [pool[p % len(pool)]() for p in arg_picks]
        kwargs = {} if keyword is None else {keyword[0]: pool[keyword[1] % len(pool)]()}
        try:
            result = getattr(target, name)(*args, **kwargs)
        except (DOCUMENTED + (Boom,)) as e:
            assert type(e).__module__ == "builtins" or isinstance(e, Boom), repr(e)
            continue
        if isinstance(result, np.ndarray):
            assert result.dtype == np.float64 and result.ndim == 2 and result.shape[1] == 2


@pytest.mark.parametrize("make_arg", [
    lambda: LyingLength(sys.maxsize), lambda: LyingLength(2**62), lambda: LyingLength(2**40)])
def test_sequences_that_overstate_their_length(make_arg):
    # The length is only a capacity hint: the items decide, whatever the length claims.
    with pytest.raises(TypeError) as e:
        HybridIndex.builder(make_arg(), 0)
    assert str(e.value) == "argument 'schema': 'float' object cannot be converted to 'PyString'"
    idx = HybridIndex.builder(["a"], 2)
    with pytest.raises(TypeError) as e:
        idx.add_record(1, {}, make_arg())
    assert str(e.value).startswith("argument 'embedding': must be real number")


# ---------------------------------------------------------------------------------------
# Round trip against a plain-Python model of the index.

SPECIAL = ['"', "\\", "\t", "\n", "\r", "\x00", "\x01", "\x1f", "[", "]", "{", "}", ",", ":",
           "é", "ß", "\u2028", "\U0001f600", " ", "\\u0041", '\\"']
texts = st.one_of(st.sampled_from(SPECIAL + [""]),
                  st.text(st.characters(blacklist_categories=("Cs",)), max_size=6),
                  st.lists(st.sampled_from(SPECIAL + ["a", "b"]), max_size=5).map("".join))
floats = st.one_of(st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5]),
                   st.floats(-1e3, 1e3, width=32))


@st.composite
def datasets(draw):
    schema = draw(st.lists(texts, min_size=1, max_size=16))
    dim = draw(st.sampled_from([0, 1, 3, 8, 9, 17, 64]))
    pools = [draw(st.lists(texts, min_size=1, max_size=4)) for _ in schema]
    n = draw(st.integers(0, 80))
    records = []
    for r in range(n):
        meta = {}
        for name, pool in zip(schema, pools):
            if draw(st.booleans()):
                meta[name] = draw(st.sampled_from(pool))
        emb = draw(st.one_of(st.none(), st.lists(floats, min_size=dim, max_size=dim)))
        offset = draw(st.sampled_from([None, r * 4 * dim, r * 4 * dim + 1, 2**64 - 2, 10**9]))
        records.append((draw(st.integers(0, 2**64 - 1)), meta, emb, offset))
    return schema, dim, pools, records


def values_of(schema, meta):
    return [meta.get(name, "") for name in schema]


def signature(vec, dim):
    sig = 0
    for i, v in enumerate(np.asarray(vec, np.float32) if vec is not None else []):
        if v > 0:
            sig |= 1 << i
    return sig


def dot(q, e):
    acc = np.float32(0)
    for a, b in zip(q, e):
        acc = np.float32(acc + np.float32(a * b))
    return acc


def reference_search(schema, dim, records, buffer, filters, query, top_k, rescore):
    first = {}
    for t, name in enumerate(schema):
        first.setdefault(name, t)
    rows = [values_of(schema, meta) for _, meta, _, _ in records]
    matches = [r for r in range(len(records))
               if all(rows[r][first[name]] == value for name, value in filters.items())]
    if not matches:
        return np.zeros((0, 2))
    doc = [float(d) for d, *_ in records]
    if query is None or dim == 0:
        return np.array([(doc[r], 0.0) for r in matches[:3 * top_k]]).reshape(-1, 2)
    q = np.asarray(query, np.float32)
    qs = signature(q, dim)
    pool = sorted((bin(qs ^ signature(records[r][2], dim)).count("1"), r) for r in matches)
    pool = pool[:3 * top_k]
    if not rescore:
        return np.array([(doc[r], float(d)) for d, r in pool]).reshape(-1, 2)
    scored = []
    for d, r in pool:
        off = records[r][3]
        score = np.float32(0)
        if off is not None and off + 4 * dim <= len(buffer):
            score = dot(q, np.frombuffer(buffer, "<f4", dim, off))
        scored.append((-float(score), r, float(score)))
    scored.sort()
    return np.array([(doc[r], s) for _, r, s in scored[:top_k]]).reshape(-1, 2)


def parse_sidecar(path):
    with open(path, "rb") as f:
        raw = f.read()
    # Control characters other than tab, line feed and carriage return are written raw.
    return json.loads(raw.decode("utf-8"), strict=False)


@given(datasets(), st.data())
def test_round_trip_matches_the_reference(tmp_path_factory, dataset, data):
    schema, dim, _, records = dataset
    idx = HybridIndex.builder(schema, dim)
    for doc, meta, emb, off in records:
        idx.add_record(doc, meta, emb, off)
    path = str(tmp_path_factory.mktemp("rt") / "i.korvix")
    idx.save(path)

    # The sidecar reads back, with a standard JSON parser, to the build-mode metadata.
    side = parse_sidecar(path + ".meta")
    assert side["schema"] == schema
    assert side["doc_ids"] == [doc for doc, *_ in records]
    known = []
    for t, name in enumerate(schema):
        seen = []
        for _, meta, _, _ in records:
            if meta.get(name, "") not in seen:
                seen.append(meta.get(name, ""))
        assert side["dicts"][t] == {v: code for code, v in enumerate(seen)}
        known.append(seen)

    buffer = bytearray(4 * dim * len(records) + 8)
    for r, (_, _, emb, off) in enumerate(records):
        if emb is not None and off is not None and off + 4 * dim <= len(buffer):
            buffer[off:off + 4 * dim] = np.asarray(emb, "<f4").tobytes()
    loaded = HybridIndex.load(path)
    for _ in range(data.draw(st.integers(1, 4))):
        # Filter on known values only (an unknown one is refused before any search runs).
        names = data.draw(st.lists(st.sampled_from(schema), max_size=3, unique=True))
        filters = {name: data.draw(st.sampled_from(known[schema.index(name)]))
                   for name in names if records}
        query = data.draw(st.one_of(st.none(), st.lists(floats, min_size=dim, max_size=dim)))
        top_k = data.draw(st.integers(1, 12))
        rescore = query is not None and dim > 0 and data.draw(st.booleans())
        got = loaded.search(filters, query, top_k, rescore, bytes(buffer) if rescore else None)
        with np.errstate(over="ignore", invalid="ignore"):
            want = reference_search(schema, dim, records, bytes(buffer), filters, query, top_k,
                                    rescore)
        assert got.shape == want.shape, (filters, query, top_k)
        if not np.isnan(want[:, 1]).any():  # NaN scores have no defined order
            assert np.array_equal(got, want), (filters, query, top_k)


@given(st.lists(st.tuples(texts, texts), min_size=1, max_size=16))
def test_sidecar_text_reads_back(tmp_path_factory, pairs):
    schema = [name for name, _ in pairs]
    idx = HybridIndex.builder(schema, 0)
    idx.add_record(7, {name: value for name, value in pairs})
    path = str(tmp_path_factory.mktemp("sc") / "s")
    idx.save(path)
    side = parse_sidecar(path + ".meta")
    assert side["schema"] == schema and side["doc_ids"] == [7]
    meta = {name: value for name, value in pairs}
    assert side["dicts"] == [{meta[name]: 0} for name in schema]
    # The index's own reader agrees: every (name, value) filter finds the record.
    loaded = HybridIndex.load(path)
    for name in set(schema):
        assert loaded.search({name: meta[name]}).tolist() == [[7.0, 0.0]]
