"""Quickstart on real data: the handwritten digits that ship with scikit-learn (no download).

1,797 images of 8 x 8 pixels. Each image becomes one record: its label ("0" to "9") and its ink
level (light, medium or heavy, a third of the images each) are the categorical traits, and its
64 pixels, centred on the mean image, are the embedding. The last 100 images are held out as
queries; the other 1,697 are indexed.

The script builds the index from columns, saves and opens it, runs a filtered search, an exactly
re-scored search, a count and facets, then searches every held-out query in one call and
measures recall@10 against exact dot-product search.

    pip install ".[quickstart]" && python examples/quickstart.py
"""

import os
import tempfile
import time
from typing import Any

import numpy as np
import numpy.typing as npt
from sklearn.datasets import load_digits  # type: ignore[import-untyped]

import korvel

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
    n, dim = base.shape

    # Build from columns in one call. Record i's embedding also sits in `buffer` at byte offset
    # i * dim * 4: exact re-scoring reads it from there, since the index keeps only the sign-bit
    # signatures.
    writer = korvel.IndexWriter(["digit", "ink"], dim)
    writer.add(np.arange(n, dtype=np.uint64), {"digit": base_labels, "ink": ink_level[:n]},
               embeddings=base, offsets=np.arange(n, dtype=np.uint64) * (dim * 4))
    buffer = np.ascontiguousarray(base).view(np.uint8).ravel()

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "digits.korvix")
        writer.save(path)  # writes digits.korvix and digits.korvix.meta
        print(f"saved {len(writer)} records: data file {os.path.getsize(path)} bytes, "
              f"sidecar {os.path.getsize(path + '.meta')} bytes")

        index = korvel.open(path)  # the data file is memory-mapped
        print(index)
        query, label = queries[0], str(query_labels[0])

        # Filtered search: only images labelled like the query, ranked by Hamming distance.
        res = index.search(query, k=3, where={"digit": label, "ink": ["medium", "heavy"]})
        print(f"\nfiltered search (digit {label}, medium or heavy ink): doc_id, Hamming distance")
        for doc_id, score in zip(res.ids[:res.counts], res.scores):
            print(f"  {int(doc_id):5d}  {score:4.0f}")

        # Exact re-scoring: the pool of 3 x k nearest is re-ranked by float32 dot product.
        res = index.search(query, k=5, embeddings=buffer)
        print(f"\nre-scored search, no filter (query digit {label}): doc_id, dot product, label")
        for doc_id, score in zip(res.ids, res.scores):
            print(f"  {int(doc_id):5d}  {score:9.2f}  {base_labels[int(doc_id)]}")

        # Counts and facets come straight from the code planes.
        print(f"\nimages of digit {label}: {index.count({'digit': label})}, by ink: "
              f"{index.facets('ink', where={'digit': label})}")

        # Every held-out query in one call; a list gives each query its own filter.
        print(f"\nrecall@{TOP_K} against exact dot-product search, {HELD_OUT} held-out queries")
        print(f"{'search':<34}{'recall@10':>10}{'same digit':>12}{'ms/query':>10}")
        own_digit = [{"digit": str(q_label)} for q_label in query_labels]
        everything = np.ones(n, dtype=bool)
        searches: list[tuple[str, bool, dict[str, Any]]] = [
            ("Hamming ranking", False, {}),
            ("Hamming + sign re-ranking", False, {"rerank": "signs"}),
            ("Hamming + exact re-scoring", False, {"embeddings": buffer}),
            # The cascade: a pool of 300 by Hamming distance, ordered by sign score, its best
            # 50 re-scored exactly. More of the true top 10 for few exact dot products.
            ("cascade: pool 300, 50 re-scored", False,
             {"oversample": 30, "rerank": "signs", "embeddings": buffer, "rescore": 5}),
            ("digit filter + exact re-scoring", True, {"embeddings": buffer}),
            # No pool: every record scored by the dot product, the exact top 10.
            ("exact search", False, {"embeddings": buffer, "exact": True}),
        ]
        for name, filtered, options in searches:
            start = time.perf_counter()
            res = index.search(queries, k=TOP_K, where=own_digit if filtered else None,
                               **options)
            elapsed = time.perf_counter() - start
            counts = np.asarray(res.counts)  # real hits per row; the rest is padding
            found = same = 0
            for row, (q, q_label) in enumerate(zip(queries, query_labels)):
                got = [int(d) for d in res.ids[row][:counts[row]]]
                allowed = base_labels == q_label if filtered else everything
                found += len(set(got) & set(exact_top(base, q, allowed, TOP_K)))
                same += int(np.sum(base_labels[got] == q_label))
            total = HELD_OUT * TOP_K
            print(f"{name:<34}{found / total:>10.3f}{same / total:>12.3f}"
                  f"{1000 * elapsed / HELD_OUT:>10.3f}")


if __name__ == "__main__":
    main()
