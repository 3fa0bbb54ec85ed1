"""Build an index, save it, load it back and search it."""

import os
import tempfile

import numpy as np

from korvel import HybridIndex

DIM = 64
rng = np.random.default_rng(7)
embeddings = rng.standard_normal((1000, DIM)).astype(np.float32)
colors = ["red", "green", "blue"]
sizes = ["S", "M", "L", "XL"]

# Build mode: one record per document; each embedding also lives in the caller's buffer at
# byte offset row * DIM * 4, which is what exact re-scoring reads.
index = HybridIndex.builder(["color", "size"], DIM)
for row, vector in enumerate(embeddings):
    index.add_record(
        doc_id=10_000 + row,
        metadata={"color": colors[row % 3], "size": sizes[row % 4]},
        embedding=vector,
        external_offset=row * DIM * 4,
    )

with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "products.korvix")
    index.save(path)  # writes products.korvix and products.korvix.meta

    # Query mode: the data file is memory-mapped.
    loaded = HybridIndex.load(path)
    query = embeddings[38]  # a blue, size L record + 0.1 * rng.standard_normal(DIM).astype(np.float32)

    by_hamming = loaded.search({"color": "blue"}, query, top_k=5)
    print("Hamming-ranked candidates (doc_id, distance):")
    print(by_hamming)

    exact = loaded.search({"color": "blue", "size": "L"}, query, top_k=3, exact_rescore=True,
                          embeddings_data=embeddings.view(np.uint8).ravel())
    print("Exactly re-scored (doc_id, dot product):")
    print(exact)
    print("memory:", loaded.memory_stats())
