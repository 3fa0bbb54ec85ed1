"""Shard manifests, and searches fanned out over workers holding consecutive shards against
one index over the concatenated records (no Ray needed: the workers run in this process)."""

import json
import os

import numpy as np
import pytest

import korvel
from korvel import _fanout

DIM, N = 16, 400
BOUNDS = [0, 70, 71, 200, 200, 330, 400]  # a one-record shard and an empty one


@pytest.fixture(scope="module")
def shards(tmp_path_factory):
    """Records with many distance ties and repeated ids, written as one file and as six
    shards; X holds the embeddings at the records' offsets."""
    d = tmp_path_factory.mktemp("shards")
    rng = np.random.default_rng(7)
    X = rng.standard_normal((N, DIM)).astype(np.float32)
    X[:, 6:] = 0.5  # few distinct signatures
    ids = rng.integers(0, 60, N)
    cols = {"a": rng.choice(["x", "y", "z"], N), "b": rng.choice(["p", "q"], N)}
    offsets = np.arange(N) * DIM * 4

    def write(path, lo, hi):
        w = korvel.IndexWriter(["a", "b"], DIM)
        w.add(ids[lo:hi], {t: c[lo:hi] for t, c in cols.items()}, X[lo:hi], offsets[lo:hi])
        w.save(str(path))
        return str(path)

    one = write(d / "one.korvix", 0, N)
    paths = [write(d / f"s{i}.korvix", lo, hi)
             for i, (lo, hi) in enumerate(zip(BOUNDS, BOUNDS[1:]))]
    manifest = korvel.write_manifest(d / "shards.json", paths)
    Q = rng.standard_normal((12, DIM)).astype(np.float32)
    return dict(dir=d, one=korvel.open(one), manifest=str(manifest), paths=paths, X=X, Q=Q)


def _same(a, b):
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)


CASES = [
    dict(),
    dict(where={"a": "x"}),
    dict(where=korvel.Or({"a": "y"}, korvel.Not({"b": "q"})), k=7, oversample=5),
    dict(k=N + 5, oversample=1),
    dict(rerank="signs", where={"b": ["p", "zz"]}),
    dict(embeddings="shared"),
    dict(embeddings="per shard", where={"a": ["x", "z"]}, k=3, oversample=9),
    # Pools not full (a filter matches fewer records than oversample * k), NaN and infinite
    # scores, equal scores across shards: padding must stay behind every real hit.
    dict(embeddings="wild", where={"a": "x", "b": "p"}, k=50, oversample=9),
    dict(embeddings="wild", where=korvel.Not({"a": "z"}), k=N, oversample=1),
    dict(embeddings="wild", k=20),
    # The cascade: sign scores over the whole pool, a part of it re-scored exactly.
    dict(embeddings="wild", rerank="signs", oversample=30, rescore=2),
    dict(embeddings="per shard", rerank="signs", k=3, oversample=40, where={"b": "q"}),
    # Exact search: every record scored.
    dict(embeddings="wild", exact=True, k=20),
    dict(embeddings="per shard", exact=True, k=3, where={"b": "q"}),
]


def _wild(X):
    """X with NaN rows, rows whose products overflow (to inf, or NaN where inf meets -inf),
    and repeated rows (equal scores)."""
    W = X.copy()
    W[::7] = np.nan
    W[3::11] = 3e38
    W[5::13] = X[5]
    return W


def _embeddings(s, case):
    case = dict(case)
    if case.get("embeddings") == "shared":
        case["embeddings"] = s["X"].tobytes()  # every shard's offsets point into one buffer
    elif case.get("embeddings") == "wild":
        case["embeddings"] = _wild(s["X"]).tobytes()
    elif case.get("embeddings") == "per shard":
        # Shard i's rows at their offsets in a buffer of its own, zeros elsewhere; None for
        # the empty shard.
        rows = np.arange(N)[:, None]
        case["embeddings"] = [
            np.where((rows >= lo) & (rows < hi), s["X"], 0).tobytes() if hi > lo else None
            for lo, hi in zip(BOUNDS, BOUNDS[1:])
        ]
    return case


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("workers", [1, 2, 4])
def test_manifest_and_workers_match_one_file(shards, case, workers):
    wild = case.get("embeddings") == "wild"
    case = _embeddings(shards, case)
    Q = shards["Q"]
    single = {k: v for k, v in case.items() if k != "embeddings"}
    if "embeddings" in case:
        single["embeddings"] = (_wild(shards["X"]) if wild else shards["X"]).tobytes()
    expected = shards["one"].search(Q, **single)
    _same(korvel.open(shards["manifest"]).search(Q, **case), expected)
    parts = _fanout.split_shards(len(shards["paths"]), workers)
    run = _fanout.local_run([_fanout.ShardWorker(shards["manifest"], f, n) for f, n in parts])
    _same(_fanout.search(run, parts, DIM, Q, **case), expected)
    _same(_fanout.search(run, parts, DIM, Q[3], **case), shards["one"].search(Q[3], **single))


def test_worker_errors_are_those_of_one_process(shards):
    index = korvel.open(shards["manifest"])
    parts = _fanout.split_shards(len(shards["paths"]), 3)
    run = _fanout.local_run([_fanout.ShardWorker(shards["manifest"], f, n) for f, n in parts])
    X, Q = shards["X"], shards["Q"]
    short = X[: N // 2].tobytes()  # the later records' embeddings lie beyond it
    holes = [X.tobytes()] * 6
    holes[4] = X[:300].tobytes()  # only shard 4 fails, and only for some queries
    for kwargs in [
        dict(where={"nope": "x"}),
        dict(k=0),
        dict(k=20000),
        dict(oversample=0),
        dict(embeddings=short),
        dict(embeddings=holes),
        dict(embeddings=[short, short]),
        dict(embeddings=12),
        dict(embeddings=short, rerank="signs"),
        dict(embeddings=holes, rerank="signs", oversample=20, rescore=1),
        dict(rescore=2),
        dict(embeddings=short, rerank="signs", rescore=0),
        dict(rerank="all"),
        dict(where=[{"a": "x"}]),
        dict(oversample=-1),
        dict(threads=-2),
        dict(embeddings=[short]),
        dict(embeddings=short, exact=True),
        dict(embeddings=holes, exact=True),
        dict(exact=True),
    ]:
        with pytest.raises(Exception) as local:
            index.search(Q, **kwargs)
        with pytest.raises(type(local.value)) as fanned:
            _fanout.search(run, parts, DIM, Q, **kwargs)
        assert str(fanned.value) == str(local.value), kwargs


def test_manifest_file(shards, tmp_path):
    doc = json.loads(open(shards["manifest"]).read())
    assert doc["schema"] == ["a", "b"] and doc["dim"] == DIM and doc["records"] == N
    assert [s["records"] for s in doc["shards"]] == np.diff(BOUNDS).tolist()
    assert [s["path"] for s in doc["shards"]] == [os.path.basename(p) for p in shards["paths"]]
    assert [f for f in os.listdir(shards["dir"]) if f.startswith(".")] == []  # no temp file

    # Paths are relative to the manifest: a manifest elsewhere, and a moved directory.
    sub = tmp_path / "sub"
    sub.mkdir()
    m = korvel.write_manifest(sub / "m.json", shards["paths"][::-1])
    assert json.loads(open(m).read())["shards"][0]["path"].startswith("../")
    assert korvel.open(m).paths == [os.path.join(str(sub), os.path.relpath(p, sub))
                                    for p in shards["paths"][::-1]]

    def expect(text, document):
        target = shards["dir"] / "bad.json"
        target.write_text(json.dumps(document))
        with pytest.raises(ValueError) as e:
            korvel.open(target)
        assert str(e.value) == text.replace("{m}", str(target))

    recount = dict(doc, shards=[dict(s) for s in doc["shards"]])
    recount["shards"][1]["records"] = 2
    expect("Manifest '{m}': shard 1 ('s1.korvix') has 1 records, the manifest says 2", recount)
    expect("Invalid manifest '{m}': not a korvel-shards document", {"shards": []})
    expect("Invalid manifest '{m}': unsupported version 2", dict(doc, version=2))
    expect("Manifest '{m}': the shards have dim 16, the manifest says 8", dict(doc, dim=8))
    expect("Manifest '{m}': the shards have records 400, the manifest says 401",
           dict(doc, records=401))
    expect("Manifest '{m}': the shards have records 400, the manifest says None",
           {k: v for k, v in doc.items() if k != "records"})
    deep = shards["dir"] / "deep.json"
    deep.write_text("[" * 100_000 + "]" * 100_000)
    with pytest.raises(ValueError) as e:
        korvel.open(deep)
    assert str(e.value) == f"Invalid manifest '{deep}': nested too deeply"
    with open(deep, "wb") as f:
        f.truncate((16 << 20) + 1)
    with pytest.raises(ValueError) as e:
        korvel.open(deep)
    assert str(e.value) == f"Invalid manifest '{deep}': larger than 16 MiB"
    missing = dict(doc, shards=doc["shards"] + [{"path": "gone.korvix", "records": 1}])
    with pytest.raises(FileNotFoundError, match=r"shard 6 \('gone.korvix'\) does not exist"):
        (shards["dir"] / "bad.json").write_text(json.dumps(missing))
        korvel.open(shards["dir"] / "bad.json")
    with pytest.raises(ValueError, match="No index files given"):
        korvel.write_manifest(tmp_path / "none.json", [])
    assert not (tmp_path / "none.json").exists()


def test_shard_numbers_beyond_32_bits_are_refused(shards):
    index = korvel.open(shards["paths"][1])._index
    Q = shards["Q"]
    with pytest.raises(ValueError) as e:
        index.pools(Q, 10, None, 3, None, None, None, scope=(N, 2**32 + 1, 2**32))
    assert str(e.value) == "scope: at most 4294967296 shards, got 4294967297"
    last = index.pools(Q, 10, None, 3, None, None, None, scope=(N, 2**32, 2**32 - 1))
    assert (last[2][last[4] > 0, 0] == 2**32 - 1).all()


def test_special_files_as_manifests_are_refused_at_once(shards, tmp_path):
    """A FIFO must not wait for a writer, nor a device be read without end (in a child with a
    capped address space), whether opened, served or written."""
    import subprocess
    import sys

    fifo, zero, null = (str(tmp_path / n) for n in ("fifo.json", "zero.json", "null.json"))
    os.mkfifo(fifo)
    os.symlink("/dev/zero", zero)
    os.symlink("/dev/null", null)
    script = (
        "import os, resource, sys\nimport korvel\nfrom korvel import _fanout\n"
        "if os.environ.get('KORVEL_SANITIZED') != '1':\n"
        "    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n"
        "shard = sys.argv[1]\n"
        "for p in sys.argv[2:]:\n"
        "    for f in (korvel.open, lambda p: _fanout.ShardWorker(p, 0, 1),\n"
        "              lambda p: korvel.write_manifest(p, [shard])):\n"
        "        try:\n            f(p)\n"
        "        except OSError as e:\n            print(e.errno, e)\n")
    out = subprocess.run([sys.executable, "-c", script, shards["paths"][0], fifo, zero, null],
                         capture_output=True, text=True, timeout=60)
    assert out.stdout.splitlines() == [
        f"19 Failed to {verb} manifest '{p}': No such device (os error 19)"
        for p in (fifo, zero, null) for verb in ("read", "read", "write")], out.stderr
    assert os.path.islink(zero) and os.path.islink(null) and not os.path.isfile(fifo)
