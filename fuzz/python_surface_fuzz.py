"""Random calls of every HybridIndex method with arguments of many kinds.

    python fuzz/python_surface_fuzz.py [iterations] [seed]

The process must never crash, and every failure must be one of the documented exception
types (TypeError, ValueError, OverflowError, OSError, RuntimeError, UnicodeEncodeError).
"""

import os
import random
import sys
import tempfile

import numpy as np

from korvel import HybridIndex

ALLOWED = (TypeError, ValueError, OverflowError, OSError, RuntimeError, UnicodeEncodeError)


def values(rng, idx_objects, tmp):
    pool = [
        None, True, False, 0, 1, -1, 2**32, 2**64, 2**70, 3.5, float("nan"), "", "a", "\ud800",
        "x\0y", b"bytes", bytearray(b"\x00" * 64), [], [1.0, 2.0], ["a", "b"], ("a",), {},
        {"a": "x"}, {"a": 1}, {1: "a"}, {"color": "red"}, {"t0": "v1", "t1": "v0"},
        np.zeros(4, np.float32), np.zeros(4, np.float64), np.ones((2, 2), np.float32),
        np.zeros(16, np.uint8), np.zeros(16, np.uint8)[::2], np.float32(1), np.True_,
        np.arange(8, dtype=np.float32)[::2], object(), os.path.join(tmp, "f.korvix"),
        os.path.join(tmp, "missing", "f"), tmp, range(3), iter([1.0]), ["a"] * 17,
        np.zeros(300, np.float32), [1e39] * 4,
    ]
    pool.extend(idx_objects)
    return rng.choice(pool)


def main():
    iterations = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 0)
    with tempfile.TemporaryDirectory() as tmp:
        built = HybridIndex.builder(["t0", "t1"], 4)
        for i in range(100):
            built.add_record(i, {"t0": "v%d" % (i % 3), "t1": "v%d" % (i % 5)},
                             np.random.default_rng(i).standard_normal(4).astype(np.float32), i * 16)
        path = os.path.join(tmp, "f.korvix")
        built.save(path)
        objects = [built, HybridIndex.load(path)]
        methods = ["builder", "add_record", "save", "load", "search", "memory_stats"]
        for _ in range(iterations):
            name = rng.choice(methods)
            nargs = rng.randint(0, 6)
            args = [values(rng, objects, tmp) for _ in range(nargs)]
            kwargs = {}
            if rng.random() < 0.3:
                key = rng.choice(["schema", "vector_dim", "doc_id", "metadata", "embedding",
                                  "external_offset", "path", "filters", "query_vector", "top_k",
                                  "exact_rescore", "embeddings_data", "bogus"])
                kwargs[key] = values(rng, objects, tmp)
            target = rng.choice(objects) if rng.random() < 0.9 else HybridIndex
            try:
                result = getattr(target, name)(*args, **kwargs)
            except ALLOWED:
                continue
            if isinstance(result, HybridIndex) and len(objects) < 6:
                objects.append(result)
    print("ok")


if __name__ == "__main__":
    main()
