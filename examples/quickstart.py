"""Quickstart on real data: the handwritten digits that ship with scikit-learn (no download).

1,797 images of 8 x 8 pixels. Each image becomes one record: its label ("0" to "9") and its ink
level (light, medium or heavy, a third of the images each) are the categorical traits, and its
64 pixels, centred on the mean image, are the embedding. The last 100 images are held out as
queries; the other 1,697 are indexed.

The script builds, saves and loads the index, runs a filtered search and an exactly re-scored
search, then measures recall@10 against exact dot-product search over the held-out queries.

    pip install ".[quickstart]" && python examples/quickstart.py
"""

import os
import tempfile
import time

import numpy as np
import numpy.typing as npt
from sklearn.datasets import load_digits  # type: ignore[import-untyped]

from korvel import HybridIndex

HELD_OUT = 100
TOP_K = 10
INK_LEVELS = np.array(["light", "medium", "heavy"])


def exact_top(base: npt.NDArray[np.float32], query: npt.NDArray[np.float32],
              allowed: npt.NDArray[np.bool_], k: int) -> list[int]:
    """Record indexes of the k best dot products among the allowed records (ties: lower index)."""
    scores = base.astype(np.float64) @ query.astype(np.float64)
    candidates = np.flatnonzero(allowed)
    order = np.argsort(-scores[candidates], kind="stable")
    return [int(r) for r in candidates[order[:k]]]


def main() -> None:
    digits = load_digits()
    pixels = np.asarray(digits.data, dtype=np.float32)
    labels = np.asarray(digits.target).astype(str)
    ink = pixels.sum(axis=1)
    ink_level = INK_LEVELS[np.searchsorted(np.quantile(ink, [1 / 3, 2 / 3]), ink)]
    # Centred pixels: a signature bit says whether a pixel holds more ink than the mean image.
    embeddings = pixels - pixels.mean(axis=0)
    base, queries = embeddings[:-HELD_OUT], embeddings[-HELD_OUT:]
    base_labels, query_labels = labels[:-HELD_OUT], labels[-HELD_OUT:]
    dim = base.shape[1]

    # Build mode. Record i's embedding also sits in `buffer` at byte offset i * dim * 4: exact
    # re-scoring reads it from there, since the index keeps only the sign-bit signatures.
    index = HybridIndex.builder(["digit", "ink"], dim)
    for row, vector in enumerate(base):
        index.add_record(row, {"digit": str(base_labels[row]), "ink": str(ink_level[row])},
                         embedding=vector, external_offset=row * dim * 4)
    buffer = np.ascontiguousarray(base).view(np.uint8).ravel()

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "digits.korvix")
        index.save(path)  # writes digits.korvix and digits.korvix.meta
        print(f"saved {len(base)} records: data file {os.path.getsize(path)} bytes, "
              f"sidecar {os.path.getsize(path + '.meta')} bytes")

        loaded = HybridIndex.load(path)  # query mode: the data file is memory-mapped
        query, label = queries[0], str(query_labels[0])

        # Filtered search: only images labelled like the query, ranked by Hamming distance.
        # Without re-scoring the whole candidate pool (3 x top_k rows) comes back.
        rows = loaded.search({"digit": label, "ink": "medium"}, query, top_k=2)
        print(f"\nfiltered search (digit {label}, medium ink): doc_id, Hamming distance")
        print(rows)

        # Exact re-scoring: the pool is re-ranked by float32 dot product, best top_k kept.
        rows = loaded.search({}, query, top_k=5, exact_rescore=True, embeddings_data=buffer)
        print(f"\nre-scored search, no filter (query digit {label}): doc_id, dot product, label")
        for doc_id, score in rows:
            print(f"  {int(doc_id):5d}  {score:9.2f}  {base_labels[int(doc_id)]}")

        print(f"\nrecall@{TOP_K} against exact dot-product search, {HELD_OUT} held-out queries")
        print(f"{'search':<34}{'recall@10':>10}{'same digit':>12}{'ms/query':>10}")
        everything = np.ones(len(base), dtype=bool)
        for name, filtered, rescore in [
            ("Hamming ranking", False, False),
            ("Hamming + exact re-scoring", False, True),
            ("digit filter + exact re-scoring", True, True),
        ]:
            found = same = 0
            elapsed = 0.0
            for q, q_label in zip(queries, query_labels):
                filters = {"digit": str(q_label)} if filtered else {}
                start = time.perf_counter()
                hits = loaded.search(filters, q, top_k=TOP_K, exact_rescore=rescore,
                                     embeddings_data=buffer)
                elapsed += time.perf_counter() - start
                got = [int(d) for d in hits[:TOP_K, 0]]  # without re-scoring: nearest 10 of 30
                allowed = base_labels == q_label if filtered else everything
                found += len(set(got) & set(exact_top(base, q, allowed, TOP_K)))
                same += int(np.sum(base_labels[got] == q_label))
            total = HELD_OUT * TOP_K
            print(f"{name:<34}{found / total:>10.3f}{same / total:>12.3f}"
                  f"{1000 * elapsed / HELD_OUT:>10.3f}")


if __name__ == "__main__":
    main()
