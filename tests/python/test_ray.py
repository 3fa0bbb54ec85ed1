"""korvel.ray on a local Ray cluster: shards built by Ray tasks against IndexWriter, and
ShardedSearcher against korvel.open of the same manifest in this process."""

import filecmp
import os

import numpy as np
import pytest

import korvel

if os.environ.get("KORVEL_SANITIZED"):
    # Ray's own processes would inherit the preloaded sanitizer runtime; test_shards.py runs
    # the same fan-out in this process.
    pytest.skip("Ray is not run under the sanitizers", allow_module_level=True)
ray = pytest.importorskip("ray")
kray = pytest.importorskip("korvel.ray")

N, DIM, ROWS = 1000, 32, 300


@pytest.fixture(scope="module")
def cluster():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    yield
    ray.shutdown()


@pytest.fixture(scope="module")
def built(cluster, tmp_path_factory):
    d = tmp_path_factory.mktemp("ray")
    rng = np.random.default_rng(3)
    X = rng.standard_normal((N, DIM)).astype(np.float32)
    X[:, 10:] = 1.0  # distance ties across shards
    rows = [{"id": i % 97, "tenant": f"t{i % 5}", "lang": ["en", "de", "fr"][i % 3],
             "emb": X[i], "offset": i * DIM * 4} for i in range(N)]
    ds = ray.data.from_items(rows, override_num_blocks=3)  # blocks not aligned with shards
    manifest = kray.build_shards(ds, d, id_column="id", trait_columns=["tenant", "lang"],
                                 embedding_column="emb", offset_column="offset",
                                 rows_per_shard=ROWS)
    return dict(dir=d, rows=rows, X=X, manifest=manifest, Q=rng.standard_normal((9, DIM)))


def test_build_shards_writes_what_index_writer_writes(built, tmp_path):
    rows = built["rows"]
    index = korvel.open(built["manifest"])
    assert [len(korvel.open(p)) for p in index.paths] == [300, 300, 300, 100]
    for i, lo in enumerate(range(0, N, ROWS)):
        block = rows[lo:lo + ROWS]
        w = korvel.IndexWriter(["tenant", "lang"], DIM)
        w.add([r["id"] for r in block],
              {t: [r[t] for r in block] for t in ("tenant", "lang")},
              np.stack([r["emb"] for r in block]), [r["offset"] for r in block])
        w.save(tmp_path / "ref.korvix")
        for suffix in ("", ".meta"):
            assert filecmp.cmp(tmp_path / f"ref.korvix{suffix}",
                               built["dir"] / f"shard-{i:05d}.korvix{suffix}", shallow=False)


def test_build_shards_reports_a_worker_error_as_raised(cluster, tmp_path):
    """As IndexWriter raises it, rows counted within the dataset."""
    rows = [{"id": i, "t": "a", "emb": np.full(4, np.nan if i == 5 else 1.0, np.float32)}
            for i in range(8)]
    names = "'id', 't', 'emb'"
    for kwargs, text in [
        (dict(), "embeddings, row 5: non-finite value at position 0"),
        (dict(id_column="ids"), f"id_column: the dataset has no column 'ids' (its columns: {names})"),
        (dict(trait_columns=["t", "u"]),
         f"trait_columns: the dataset has no column 'u' (its columns: {names})"),
    ]:
        args = dict(id_column="id", trait_columns=["t"], embedding_column="emb", rows_per_shard=4)
        with pytest.raises(ValueError) as e:
            kray.build_shards(ray.data.from_items(rows), tmp_path, **{**args, **kwargs})
        assert str(e.value) == text
        assert list(tmp_path.iterdir()) == []  # no shard, no manifest, no temporary file


def test_sharded_searcher_matches_one_process(built):
    index = korvel.open(built["manifest"])
    searcher = kray.ShardedSearcher(built["manifest"], num_actors=2)
    try:
        Q, X = built["Q"], built["X"]
        nan = X.copy()
        nan[::3] = np.nan  # NaN scores in pools that are not full
        for kwargs in [dict(), dict(k=4, where={"lang": ["de", "fr"]}, oversample=7),
                       dict(k=50, where={"tenant": "t1", "lang": "de"}, oversample=9,
                            embeddings=nan.tobytes()),
                       dict(embeddings=X.tobytes()), dict(rerank="signs", where={"tenant": "t1"}),
                       dict(k=N, oversample=1),
                       dict(embeddings=X.tobytes(), rerank="signs", oversample=20, rescore=2),
                       dict(embeddings=nan.tobytes(), exact=True, where={"tenant": "t1"})]:
            for q in (Q, Q[0]):
                for a, b in zip(searcher.search(q, **kwargs), index.search(q, **kwargs)):
                    np.testing.assert_array_equal(a, b)
        for kwargs in [dict(where={"nope": "x"}), dict(embeddings=X[:500].tobytes())]:
            with pytest.raises(ValueError) as local:
                index.search(Q, **kwargs)
            with pytest.raises(ValueError) as remote:
                searcher.search(Q, **kwargs)
            assert str(remote.value) == str(local.value)
    finally:
        searcher.close()
