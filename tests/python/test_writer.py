"""IndexWriter against HybridIndex.add_record + save: byte-identical files on random data, in
every column form, and bad input that names its argument and row and adds nothing."""

import importlib.util

import numpy as np
import pytest

from korvel import HybridIndex, IndexWriter

HAVE_PANDAS = importlib.util.find_spec("pandas") is not None
HAVE_ARROW = importlib.util.find_spec("pyarrow") is not None


def as_list(v):
    return list(v)


def as_tuple(v):
    return tuple(v)


def as_unicode(v):
    return np.array(v, dtype=str) if v else np.array([], dtype="<U1")


def as_object(v):
    return np.array(v, dtype=object)


def as_categorical(v):
    import pandas as pd
    return pd.Categorical(v, categories=sorted(set(v), reverse=True))  # codes differ from ours


def as_series(v):
    import pandas as pd
    return pd.Series(v, dtype="category" if len(v) % 2 else object)


def as_arrow(v):
    import pyarrow as pa
    return pa.array(v, type=pa.string())


def as_arrow_chunked(v):
    import pyarrow as pa
    half = len(v) // 2  # two chunks, each with its own dictionary
    return pa.chunked_array([pa.array(v[:half], pa.string()).dictionary_encode(),
                             pa.array(v[half:], pa.string()).dictionary_encode()])


BASE_FORMS = [as_list, as_tuple, as_unicode, as_object]
PANDAS_FORMS = [as_categorical, as_series]
ARROW_FORMS = [lambda v: as_arrow(v).dictionary_encode(), as_arrow]


def files(path):
    with open(path, "rb") as d, open(path + ".meta", "rb") as m:
        return d.read(), m.read()


def check_same_files(tmp_path, seed, forms):
    """Random records, cut into batches and added through the writer (each column in a random
    form of `forms`, each batch with or without embeddings and offsets) and one by one through
    add_record: the two saves are the same bytes."""
    rng = np.random.default_rng(seed)
    traits = int(rng.integers(1, 5))
    schema = [f"t{t}" for t in range(traits)]
    if traits > 2:
        schema[2] = schema[0]  # a repeated name takes the same column twice
    dim = int(rng.choice([0, 1, 9, 64, 100]))
    n = 0 if seed == 0 else int(rng.integers(1, 400))
    pools = [int(rng.choice([1, 3, 256])) for _ in schema]  # 256: a full dictionary
    values = [[("" if k == 0 else f"v{k}é") for k in rng.integers(0, p, n)] for p in pools]
    ids = rng.integers(0, 2**63, n, dtype=np.uint64) * np.uint64(2)
    writer, index = IndexWriter(schema, dim), HybridIndex.builder(schema, dim)
    start = 0
    while start < n or (n == 0 and start == 0):
        stop = min(n, start + int(rng.integers(1, 150)))
        rows = slice(start, stop)
        dtype = rng.choice(["none", "float32", "float16", "float64"])
        emb = None if dtype == "none" else rng.standard_normal((stop - start, dim)).astype(dtype)
        if emb is not None:
            emb[rng.random(emb.shape) < 0.1] = 0.0
        offs = rng.integers(0, 2**40, stop - start, dtype=np.uint64) if rng.random() < 0.5 else None
        present = [t for t in range(traits) if rng.random() < 0.8]
        columns = {schema[t]: forms[int(rng.integers(len(forms)))](values[t][rows]) for t in present}
        writer.add(ids[rows], columns, embeddings=emb, offsets=offs)
        for i in range(stop - start):
            meta = {schema[t]: values[t][start + i] for t in present}
            vec = None if emb is None else emb[i].astype(np.float32)
            index.add_record(int(ids[start + i]), meta, vec,
                             None if offs is None else int(offs[i]))
        start = stop if n else 1
    assert len(writer) == n
    writer.save(str(tmp_path / "w.korvix"))
    index.save(str(tmp_path / "h.korvix"))
    assert files(str(tmp_path / "w.korvix")) == files(str(tmp_path / "h.korvix"))


@pytest.mark.parametrize("seed", range(12))
def test_same_files_as_add_record(tmp_path, seed):
    check_same_files(tmp_path, seed, BASE_FORMS)


@pytest.mark.skipif(not HAVE_PANDAS, reason="pandas is not installed")
@pytest.mark.parametrize("seed", range(1, 4))
def test_pandas_columns(tmp_path, seed):
    check_same_files(tmp_path, seed, PANDAS_FORMS)


@pytest.mark.skipif(not HAVE_ARROW, reason="pyarrow is not installed")
@pytest.mark.parametrize("seed", range(1, 4))
def test_arrow_columns(tmp_path, seed):
    check_same_files(tmp_path, seed, ARROW_FORMS + [as_arrow_chunked])


def full_writer():
    """Trait "a" holds 255 values, dim 4, two records so far."""
    w = IndexWriter(["a", "b"], 4)
    w.add(np.arange(255), {"a": [f"x{i}" for i in range(255)]})
    return w


X = np.ones((3, 4), np.float32)
NAN_ROW = X.copy()
NAN_ROW[2, 1] = np.nan
INF_ROW = X.copy()
INF_ROW[1, 3] = -np.inf
IDS = np.arange(3, dtype=np.int64)
BAD = [
    (dict(doc_ids=np.arange(3.0)), TypeError, "doc_ids: expected integers, got float64"),
    (dict(doc_ids=[0, -4, 2]), ValueError, "doc_ids, row 1: negative value -4"),
    (dict(doc_ids=np.zeros(3, "datetime64[s]")), TypeError,
     "doc_ids: expected integers, got datetime64[s]"),
    (dict(offsets=np.zeros(3, "timedelta64[s]")), TypeError,
     "offsets: expected integers, got timedelta64[s]"),
    (dict(embeddings=[[1.0] * 8, [1.0] * 8, [1.0] * 7]), ValueError,
     "embeddings: not an array of float32, float16 or float64 values"),
    (dict(doc_ids=np.arange(6).reshape(3, 2)), ValueError,
     "doc_ids: expected a 1-D array, got 2 dimensions"),
    (dict(doc_ids=np.arange(6)[::2]), ValueError,
     "doc_ids: the array is not contiguous (np.ascontiguousarray makes a contiguous copy)"),
    (dict(columns={"a": ["p", "q"]}), ValueError,
     "column 'a': expected 3 rows (one per doc id), got 2"),
    (dict(columns={"c": ["p", "q", "r"]}), ValueError,
     "columns: unknown trait 'c' (the schema is 'a', 'b')"),
    (dict(columns={"b": ["p", None, 3]}), TypeError,
     "column 'b', row 1: 'NoneType' object cannot be converted to 'PyString'"),
    (dict(columns={"b": np.arange(3) * 1j}), TypeError,
     "column 'b': expected str values, got an array of complex128"),
    (dict(columns={"b": np.zeros((3, 1))}), TypeError,
     "column 'b': expected one value per row, got 2 dimensions"),
    (dict(columns={"b": "pqr"}), TypeError, "column 'b': expected a sequence of str, got a single str"),
    (dict(columns={"b": ["p", "q", "\ud800"]}), ValueError,
     "column 'b', row 2: the str has no UTF-8 encoding (it holds a lone surrogate)"),
    (dict(columns={"b": np.array(["2024-01-01", "NaT", "2024-01-02"], "datetime64[D]")}),
     ValueError, "column 'b', row 1: missing value (NaT)"),
    (dict(columns={"b": (["p"], np.array([0, -1, 0]))}), ValueError,
     "column 'b', row 1: missing value (category code -1)"),
    (dict(columns={"b": (["p"], np.array([0, 1, 0]))}), ValueError,
     "column 'b', row 1: category code 1 is out of range for 1 categories"),
    (dict(embeddings=NAN_ROW), ValueError, "embeddings, row 2: non-finite value at position 1"),
    (dict(embeddings=INF_ROW), ValueError, "embeddings, row 1: non-finite value at position 3"),
    (dict(embeddings=np.full((3, 4), 1e39)), ValueError,
     "embeddings, row 0: non-finite value at position 0"),
    (dict(embeddings=np.ones((3, 5), np.float32)), ValueError,
     "embeddings: expected 4 values per row (dim), got 5"),
    (dict(embeddings=np.ones((2, 4), np.float32)), ValueError,
     "embeddings: expected 3 rows (one per doc id), got 2"),
    (dict(embeddings=np.ones(12, np.float32)), ValueError,
     "embeddings: expected a 2-D array of shape (n, dim), got 1 dimensions"),
    (dict(embeddings=np.ones((3, 4), np.int32)), TypeError,
     "embeddings: expected float32, float16 or float64 values, got int32"),
    (dict(embeddings=np.ones((3, 8), np.float32)[:, ::2]), ValueError,
     "embeddings: the array is not C-contiguous (np.ascontiguousarray makes a copy)"),
    (dict(embeddings=np.ones((4, 3), np.float32).T), ValueError,
     "embeddings: the array is not C-contiguous (np.ascontiguousarray makes a copy)"),
    (dict(offsets=np.arange(2)), ValueError, "offsets: expected 3 rows (one per doc id), got 2"),
    (dict(offsets=np.array([0, 0, -1])), ValueError, "offsets, row 2: negative value -1"),
    (dict(offsets=np.array([0, 2**64 - 1, 0], np.uint64)), ValueError,
     "offsets, row 1: 18446744073709551615 is reserved: it marks a record without an offset"),
    (dict(columns={"b": (["p"], np.array([0, 2**40, 0], np.uint64))}), ValueError,
     "column 'b', row 1: category code 1099511627776 is out of range for 1 categories"),
    (dict(columns={"b": {"p", "q", "r"}}), TypeError,
     "column 'b': expected a sequence of str, got an unordered 'set'"),
    (dict(columns={"b": frozenset("pqr")}), TypeError,
     "column 'b': expected a sequence of str, got an unordered 'frozenset'"),
    (dict(columns={"b": {"p": 0, "q": 1, "r": 2}.keys()}), TypeError,
     "column 'b': expected a sequence of str, got an unordered 'dict_keys'"),
]


@pytest.mark.parametrize("kwargs,exc,message", BAD, ids=[m for _, _, m in BAD])
def test_bad_input_names_argument_and_row_and_adds_nothing(tmp_path, kwargs, exc, message):
    w = full_writer()
    before = str(tmp_path / "before.korvix")
    w.save(before)
    call = dict(doc_ids=IDS, columns={"a": ["x1", "x2", "x3"]}, embeddings=X, offsets=None)
    call.update(kwargs)
    with pytest.raises(exc) as e:
        w.add(**call)
    assert str(e.value) == message
    assert len(w) == 255
    # Nothing of the failed batch stays: adding the good batch gives the files of a writer
    # that never saw the bad one.
    w.add(IDS, {"a": ["x1", "new1", "x3"]}, embeddings=X)
    ref = full_writer()
    ref.add(IDS, {"a": ["x1", "new1", "x3"]}, embeddings=X)
    w.save(str(tmp_path / "w.korvix"))
    ref.save(str(tmp_path / "r.korvix"))
    assert files(str(tmp_path / "w.korvix")) == files(str(tmp_path / "r.korvix"))


@pytest.mark.skipif(not (HAVE_PANDAS and HAVE_ARROW), reason="pandas or pyarrow is not installed")
def test_missing_values_in_pandas_and_arrow_name_the_row():
    import pandas as pd
    import pyarrow as pa

    w = IndexWriter(["a"], 0)
    with pytest.raises(ValueError) as e:
        w.add([1, 2, 3], {"a": pd.Categorical(["p", None, "q"])})
    assert str(e.value) == "column 'a', row 1: missing value (category code -1)"
    with pytest.raises(ValueError) as e:
        w.add([1, 2, 3], {"a": pa.chunked_array([["p"], ["q", None]])})
    assert str(e.value) == "column 'a', row 2: missing value (null)"
    # The missing value is named as pandas holds it (pandas 3 stores None as nan in str Index).
    for column, row in [(pd.Series(["p", np.nan, "q"]), 1),
                        (pd.Series(["p", "q", None], dtype="string"), 2),
                        (pd.Index([None, "p", "q"]), 0)]:
        with pytest.raises(ValueError) as e:
            w.add([1, 2, 3], {"a": column})
        assert str(e.value) == f"column 'a', row {row}: missing value ({column[row]})"
    with pytest.raises(TypeError) as e:
        w.add([1], {"a": pa.array([b"x"])})
    assert str(e.value) == "column 'a': expected Arrow strings, got binary"
    with pytest.raises(ValueError) as e:
        w.add([1, 2], {"a": pa.array([1, None])})
    assert str(e.value) == "column 'a', row 1: missing value (null)"
    with pytest.raises(ValueError) as e:
        w.add([1, 2, 3], {"a": pd.Series([1, None, 3], dtype="Int64")})
    assert str(e.value) == "column 'a', row 1: missing value (<NA>)"
    assert len(w) == 0


@pytest.mark.skipif(not HAVE_PANDAS, reason="pandas is not installed")
def test_strided_pandas_categoricals_are_read(tmp_path):
    import pandas as pd

    values = ["p", "x", "q", "y", "p", "z"]
    ref = IndexWriter(["a"], 0)
    ref.add([1, 2, 3], {"a": values[::2]})
    ref.save(tmp_path / "ref.korvix")
    for column in [pd.Categorical(values)[::2], pd.Series(values, dtype="category")[::2],
                   pd.Series(values[::-1], dtype="category").iloc[::-2]]:
        w = IndexWriter(["a"], 0)
        w.add([1, 2, 3], {"a": column})
        w.save(tmp_path / "w.korvix")
        assert files(str(tmp_path / "w.korvix")) == files(str(tmp_path / "ref.korvix"))


def test_writer_surface():
    w = IndexWriter(("tenant", "lang"), dim=8)
    w.add([], {})
    w.add([7], None)
    assert (len(w), w.schema, w.dim) == (1, ("tenant", "lang"), 8)
    assert repr(w) == "IndexWriter(schema=['tenant', 'lang'], dim=8, records=1)"
    for args, exc, message in [
        (([], 4), ValueError, "schema length must be 1..=16, got 0"),
        ((["a"], 65536), ValueError, "dim must be at most 65535, got 65536"),
        (("tenant", 4), TypeError, "schema: expected a sequence of trait names, got the single "
         "str 'tenant' (write ['tenant'] for one trait)"),
    ]:
        with pytest.raises(exc) as e:
            IndexWriter(*args)
        assert str(e.value) == message
