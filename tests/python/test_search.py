"""search(): argument conversion and messages, results against a NumPy model, threads."""

import random
import threading

import numpy as np
import pytest

from korvel import HybridIndex


@pytest.fixture
def loaded(small_index, tmp_index_path):
    small_index.save(tmp_index_path)
    return HybridIndex.load(tmp_index_path)


def search_error(exc, call):
    with pytest.raises(exc) as e:
        call()
    assert type(e.value) is exc
    return str(e.value)


class NoBoolSlot:
    pass


class TestArguments:
    CASES = [
        (dict(filters=[("color", "red")]), TypeError,
         "argument 'filters': 'list' object cannot be converted to 'PyDict'"),
        (dict(filters={"color": ["red", "blue"]}), TypeError,
         "argument 'filters': 'list' object cannot be converted to 'PyString'"),
        (dict(filters={"color": 1}), TypeError,
         "argument 'filters': 'int' object cannot be converted to 'PyString'"),
        (dict(filters={}, top_k=2.0), TypeError,
         "argument 'top_k': 'float' object cannot be interpreted as an integer"),
        (dict(filters={}, top_k=-1), OverflowError, "out of range integral type conversion attempted"),
        (dict(filters={}, top_k=2**32), OverflowError,
         "out of range integral type conversion attempted"),
        (dict(filters={}, top_k=0), ValueError, "top_k value 0 out of range (valid: 1..=10000)"),
        (dict(filters={}, top_k=10001), ValueError,
         "top_k value 10001 out of range (valid: 1..=10000)"),
        (dict(filters={}, exact_rescore=1), TypeError,
         "argument 'exact_rescore': 'int' object cannot be converted to 'PyBool'"),
        (dict(filters={}, exact_rescore=NoBoolSlot()), TypeError,
         "argument 'exact_rescore': 'NoBoolSlot' object cannot be converted to 'PyBool'"),
        (dict(filters={}, query_vector=np.zeros(8, np.float32)[::2]), ValueError,
         "Query vector is not contiguous: The given array is not contiguous"),
        (dict(filters={}, query_vector="abcd"), ValueError,
         "Invalid query_vector format: TypeError: Can't extract `str` to `Vec`"),
        (dict(filters={}, query_vector=5), ValueError,
         "Invalid query_vector format: TypeError: 'int' object cannot be converted to 'Sequence'"),
        (dict(filters={}, query_vector=[1, "x", 3, 4]), ValueError,
         "Invalid query_vector format: TypeError: must be real number, not str"),
        (dict(filters={}, query_vector=[1, 2]), ValueError,
         "Query vector dimension mismatch: expected 4, got 2"),
        (dict(filters={}, exact_rescore=True), ValueError,
         "Query vector dimension mismatch: expected 4, got 0"),
        (dict(filters={"colour": "red"}), ValueError,
         "Unknown trait name 'colour'. Valid traits: [\"color\", \"size\"]"),
        (dict(filters={"size": "M"}), ValueError,
         "Unknown value 'M' for trait 'size'. Known values: "),
        (dict(filters={}, query_vector=[1, 1, 1, 1], exact_rescore=True), ValueError,
         "Exact rescoring requires embeddings data"),
        (dict(filters={}, embeddings_data=np.zeros((2, 4), np.float32)), ValueError,
         "embeddings_data must be a NumPy array, bytes, or bytearray"),
        (dict(filters={}, embeddings_data=np.zeros(4, np.float32)), ValueError,
         "embeddings_data must be a NumPy array, bytes, or bytearray"),
        (dict(filters={}, embeddings_data=memoryview(b"abcd")), ValueError,
         "embeddings_data must be a NumPy array, bytes, or bytearray"),
        (dict(filters={}, embeddings_data=np.zeros(8, np.uint8)[::2]), ValueError,
         "Failed to borrow embeddings_data as slice"),
    ]

    @pytest.mark.parametrize("kwargs,exc,message", CASES)
    def test_messages(self, loaded, kwargs, exc, message):
        text = search_error(exc, lambda: loaded.search(**kwargs))
        if message.endswith("Known values: "):
            assert text.startswith(message)
            assert sorted(text[len(message):].strip("[]").split(", ")) == ['""', '"S"', '"XL"']
        else:
            assert text == message

    def test_accepted_forms(self, loaded):
        emb = np.array([[1, -2, 3, 0], [-1, 2, .5, 4]], dtype=np.float32)
        q32 = np.array([1, 1, 1, 1], np.float32)
        expected = [[1002.0, 5.5], [1001.0, 2.0], [1003.0, 0.0]]
        for vector in (q32, [1, 1, 1, 1], (1.0, 1, np.float64(1), np.int32(1)),
                       q32.astype(np.float64), np.asfortranarray(q32)):
            for data in (emb.tobytes(), bytearray(emb.tobytes()), emb.view(np.uint8).ravel()):
                for flag in (True, np.True_, np.bool_(True)):
                    rows = loaded.search({}, vector, None, flag, data)
                    assert rows.tolist() == expected
        assert loaded.search({}, top_k=True).tolist() == [[1001, 0], [1002, 0], [1003, 0]]
        out = loaded.search({}, q32, exact_rescore=np.False_, embeddings_data=b"")
        assert out.tolist() == [[1002.0, 1.0], [1001.0, 2.0], [1003.0, 4.0]]
        assert out.dtype == np.float64 and out.flags.c_contiguous and out.flags.writeable

    def test_boolean_scalars_are_recognised_by_type_name(self, loaded):
        """Types named like NumPy's boolean scalar (either NumPy's spelling) go through their
        truth-value slot; other names are refused even when they define __bool__."""
        q = [1, 1, 1, 1]
        for name in ("numpy.bool_", "numpy.bool"):
            truthy = type(name, (), {"__bool__": lambda self: True})()
            falsy = type(name, (), {"__bool__": lambda self: False})()
            assert loaded.search({}, q, exact_rescore=falsy)[:, 1].tolist() == [1.0, 2.0, 4.0]
            with pytest.raises(ValueError, match="^Exact rescoring requires embeddings data$"):
                loaded.search({}, q, exact_rescore=truthy)
            bare = type(name, (), {})
            text = search_error(TypeError, lambda: loaded.search({}, q, exact_rescore=bare()))
            assert text == (f"argument 'exact_rescore': object of type '{bare}' does not define "
                            "a '__bool__' conversion")
        other = type("numpy.boolean", (), {"__bool__": lambda self: True})()
        assert search_error(TypeError, lambda: loaded.search({}, q, exact_rescore=other)) == (
            "argument 'exact_rescore': 'numpy.boolean' object cannot be converted to 'PyBool'")

    def test_argument_errors_come_before_the_mode_error(self, small_index):
        assert search_error(TypeError, lambda: small_index.search(5)).startswith("argument 'filters'")
        assert search_error(ValueError, lambda: small_index.search({})) == (
            "Cannot search in build mode. Use save() then load() to enter query mode.")
        assert search_error(ValueError, lambda: small_index.search({}, "x")) == (
            "Cannot search in build mode. Use save() then load() to enter query mode.")

    def test_embeddings_of_refused_type_fail_without_rescore(self, loaded):
        assert search_error(ValueError, lambda: loaded.search({}, embeddings_data="s")) == (
            "embeddings_data must be a NumPy array, bytes, or bytearray")

    def test_list_escapes_in_messages(self, tmp_path):
        names = ['q"', "b\\", "t\t", "nul\0", "bell\x07", "é'", "\u2028"]
        idx = HybridIndex.builder(names, 0)
        idx.add_record(1, {})
        p = str(tmp_path / "esc")
        idx.save(p)
        q = HybridIndex.load(p)
        text = search_error(ValueError, lambda: q.search({"zz": "v"}))
        assert text == ("Unknown trait name 'zz'. Valid traits: "
                        '["q\\"", "b\\\\", "t\\t", "nul\\0", "bell\\u{7}", "é\'", "\\u{2028}"]')
        assert search_error(ValueError, lambda: q.search({"t\t": "x"})) == (
            "Unknown value 'x' for trait 't\t'. Known values: [\"\"]")


def test_empty_and_no_filter_results(tmp_path):
    idx = HybridIndex.builder(["a"], 3)
    for i in range(40):
        idx.add_record(100 + i, {"a": "x" if i % 2 else "y"})
    p = str(tmp_path / "e")
    idx.save(p)
    q = HybridIndex.load(p)
    rows = q.search({})
    assert rows.shape == (30, 2)
    assert rows[:, 0].tolist() == [100 + i for i in range(30)] and not rows[:, 1].any()
    # Wrong-length query with a filter that matches nothing: no rows, no error.
    empty = HybridIndex.builder(["a"], 3)
    empty.save(p)
    q0 = HybridIndex.load(p)
    assert q0.search({}, [1.0]).shape == (0, 2)
    assert search_error(ValueError, lambda: q0.search({"a": "x"})) == (
        "Unknown value 'x' for trait 'a'. Known values: []")
    assert q.search({"a": "x"}, [1, 2, 3], top_k=1)[:, 0].tolist() == [101, 103, 105]


def test_value_whose_code_does_not_fit_the_width_matches_nothing(tmp_path):
    # A sidecar out of step with its data file: code 257 cannot be stored in 8 bits, so it
    # must not pick up the records of code 1.
    from index_files import NO_OFFSET, data_file, sidecar, write_index

    p = str(tmp_path / "wide")
    codes = [[0], [1], [1], [0]]
    write_index(p, data_file(codes, [b""] * 4, [NO_OFFSET] * 4, 1, 8, 0),
                sidecar(["t"], [{"a": 0, "b": 1, "big": 257}], [10, 11, 12, 13]))
    q = HybridIndex.load(p)
    assert q.search({"t": "b"})[:, 0].tolist() == [11, 12]
    assert q.search({"t": "big"}).shape == (0, 2)


def test_doc_ids_above_2_53_round_to_nearest_double(tmp_path):
    idx = HybridIndex.builder(["a"], 0)
    big = 2**64 - 1
    idx.add_record(big, {})
    idx.add_record(2**53 + 1, {})
    p = str(tmp_path / "big")
    idx.save(p)
    rows = HybridIndex.load(p).search({})
    assert rows[:, 0].tolist() == [float(big), float(2**53 + 1)]


# ---------------------------------------------------------------------------------------
# Differential test against a small NumPy model of the same semantics.

def model_search(records, dim, filters, query, top_k, rescore, buf):
    """records: list of (doc, values dict, embedding or None, offset or None)."""
    if rescore and query is None:
        raise ValueError("Query vector dimension mismatch: expected %d, got 0" % dim)
    cands = [r for r, rec in enumerate(records)
             if all(rec[1].get(k, "") == v for k, v in filters.items())]
    if not cands:
        return np.zeros((0, 2))
    pool_size = 3 * top_k
    if query is None or dim == 0:
        return np.array([[records[r][0], 0.0] for r in cands[:pool_size]]).reshape(-1, 2)
    if len(query) != dim:
        raise ValueError("Query vector dimension mismatch: expected %d, got %d" % (dim, len(query)))
    q = np.asarray(query, dtype=np.float32)
    qbits = q > 0
    scored = []
    for r in cands:
        emb = records[r][2]
        bits = (np.asarray(emb, np.float32) > 0) if emb is not None else np.zeros(dim, bool)
        scored.append((int(np.count_nonzero(bits != qbits)), r))
    pool = sorted(scored)[:pool_size]
    if not rescore:
        return np.array([[records[r][0], d] for d, r in pool], dtype=np.float64).reshape(-1, 2)
    out = []
    for d, r in pool:
        off = records[r][3]
        score = np.float32(0)
        if off is not None and off + 4 * dim <= len(buf):
            e = np.frombuffer(buf, dtype="<f4", count=dim, offset=off)
            for a, b in zip(q, e):
                score = np.float32(score + np.float32(a * b))
        out.append((-float(score), r, float(score)))
    out.sort()
    return np.array([[records[r][0], s] for _, r, s in out[:top_k]],
                    dtype=np.float64).reshape(-1, 2)


@pytest.mark.parametrize("n", [0, 1, 63, 64, 65, 1000])
@pytest.mark.parametrize("dim", [0, 1, 9, 64, 300])
def test_matches_numpy_model(tmp_path, n, dim):
    rng = random.Random(n * 7919 + dim)
    nrng = np.random.default_rng(n * 31 + dim)
    schema = ["color", "size", "shape"][: rng.randint(1, 3)]
    values = {"color": ["red", "blue", "green"], "size": ["S", "M"], "shape": ["o", "x", "+", "-"]}
    # The caller's embeddings buffer: every record's vector at a random (often unaligned)
    # offset, some records without an offset, some offsets pointing past the end.
    buf = bytearray(nrng.integers(0, 256, size=64, dtype=np.uint8).tobytes())
    records = []
    idx = HybridIndex.builder(schema, dim)
    for r in range(n):
        meta = {k: rng.choice(values[k]) for k in schema if rng.random() < 0.9}
        emb = None
        off = None
        if rng.random() < 0.85:
            emb = nrng.standard_normal(dim).astype(np.float32)
            if rng.random() < 0.1:
                emb[: dim // 2] = 0.0
            if rng.random() < 0.8:
                off = len(buf) + rng.randint(0, 3)
                buf += bytes(off - len(buf)) + emb.astype("<f4").tobytes()
            elif rng.random() < 0.5:
                off = 2**63 + rng.randint(0, 100)
        docid = rng.randrange(2**53)
        idx.add_record(docid, meta, emb.tolist() if emb is not None and rng.random() < .3 else emb,
                       off)
        records.append((docid, meta, emb, off))
    path = str(tmp_path / "d.korvix")
    idx.save(path)
    q = HybridIndex.load(path)
    buf = bytes(buf) + bytes(rng.randint(0, 2))
    known = {k: sorted({rec[1].get(k, "") for rec in records}) for k in schema}
    for trial in range(12):
        filters = {k: rng.choice(known[k]) for k in schema if known[k] and rng.random() < 0.4}
        query = None if rng.random() < 0.2 else nrng.standard_normal(dim).astype(np.float32)
        if query is not None and rng.random() < 0.05:
            query = query[: max(0, dim - 1)]
        top_k = rng.choice([1, 2, 5, 10, 400])
        rescore = rng.random() < 0.5
        try:
            expected = model_search(records, dim, filters, query, top_k, rescore, buf)
        except ValueError as e:
            with pytest.raises(ValueError) as got:
                q.search(filters, query, top_k, rescore, buf)
            assert str(got.value) == str(e)
            continue
        got = q.search(filters, query, top_k, rescore, buf)
        assert got.shape == expected.shape, (trial, filters, top_k, rescore)
        assert np.array_equal(got, expected), (trial, filters, top_k, rescore)


# ---------------------------------------------------------------------------------------
# Threads.

@pytest.fixture(scope="module")
def large(tmp_path_factory):
    dim, n = 256, 60000
    rng = np.random.default_rng(5)
    vecs = rng.standard_normal((n, dim)).astype(np.float32)
    idx = HybridIndex.builder(["g"], dim)
    for i in range(n):
        idx.add_record(i, {"g": str(i % 10)}, vecs[i], i * dim * 4)
    path = str(tmp_path_factory.mktemp("large") / "l.korvix")
    idx.save(path)
    return HybridIndex.load(path), vecs


def test_concurrent_searches_match_sequential(large):
    q, vecs = large
    data = vecs.tobytes()
    jobs = [({"g": str(i % 10)} if i % 3 else {}, vecs[i * 11], 5 + i, i % 2 == 0)
            for i in range(24)]
    expected = [q.search(f, v, k, r, data) for f, v, k, r in jobs]
    results = [None] * len(jobs)

    def worker(start):
        for j in range(start, len(jobs), 4):
            f, v, k, r = jobs[j]
            results[j] = q.search(f, v, k, r, data)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, expected):
        assert np.array_equal(got, want)


def test_search_runs_without_the_interpreter_lock(large):
    """While a search runs, another thread runs Python code and sees the embeddings buffer
    exported (so it cannot be resized). With the lock held for the whole call, the other
    thread could never observe the export."""
    q, vecs = large
    data = bytearray(vecs.tobytes())
    done = threading.Event()
    observed = []

    def searcher():
        for _ in range(400):
            q.search({}, vecs[0], 10, True, data)
            if observed:
                break
        done.set()

    t = threading.Thread(target=searcher)
    t.start()
    while not done.is_set() and not observed:
        try:
            data.append(0)
            data.pop()
        except BufferError:
            observed.append(True)
    t.join()
    assert observed
    assert len(data) == vecs.nbytes


def test_borrow_blocks_mutation_while_search_runs_not_other_reads(large):
    q, vecs = large
    assert q.memory_stats()["mmap_size_mb"] > 0


def test_filter_names_repeated_by_str_subclasses_keep_the_last_value(loaded):
    class Distinct(str):
        def __hash__(self):
            return id(self)

        def __eq__(self, other):
            return self is other

    filters = {Distinct("color"): "blue", Distinct("color"): "red"}
    assert len(filters) == 2
    assert loaded.search(filters)[:, 0].tolist() == [1001.0, 1003.0]
