"""builder() and add_record(): conversions, checks and their order, trait codes."""

import os
import subprocess
import sys

import numpy as np
import pytest

from korvel import HybridIndex

from sidecar_reader import read_sidecar


def build_error(exc, call):
    with pytest.raises(exc) as e:
        call()
    return str(e.value)


class TestBuilder:
    def test_accepts_sequences_of_str(self):
        for schema in (["color", "size"], ("color",), ["a"] * 16, ["", ""], ["a", "a"]):
            HybridIndex.builder(schema, 4)

        class Name(str):
            pass

        HybridIndex.builder([Name("x")], 65535)

    @pytest.mark.parametrize("args,exc,message", [
        (("color", 4), TypeError, "argument 'schema': Can't extract `str` to `Vec`"),
        ((["a", 1], 4), TypeError, "argument 'schema': 'int' object cannot be converted to 'PyString'"),
        (({"a": 1}, 4), TypeError, "argument 'schema': 'dict' object cannot be converted to 'Sequence'"),
        ((5, 4), TypeError, "argument 'schema': 'int' object cannot be converted to 'Sequence'"),
        (([], 4), ValueError, "schema length must be 1..=16, got 0"),
        ((["a"] * 17, 4), ValueError, "schema length must be 1..=16, got 17"),
        ((["a"], -1), OverflowError, "out of range integral type conversion attempted"),
        ((["a"], 2**32), OverflowError, "out of range integral type conversion attempted"),
        (([], -1), OverflowError, "out of range integral type conversion attempted"),
        (("abc", 0), TypeError, "argument 'schema': Can't extract `str` to `Vec`"),
        ((["a"], 65536), ValueError, "vector_dim must be at most 65535, got 65536"),
        ((["a"], 70000), ValueError, "vector_dim must be at most 65535, got 70000"),
        ((["a"], 2**32 - 1), ValueError, "vector_dim must be at most 65535, got 4294967295"),
    ])
    def test_errors(self, args, exc, message):
        assert build_error(exc, lambda: HybridIndex.builder(*args)) == message

    def test_interpreter_conversion_errors(self):
        msg = build_error(TypeError, lambda: HybridIndex.builder(["a"], 1.5))
        assert msg == "argument 'vector_dim': 'float' object cannot be interpreted as an integer"
        msg = build_error(OverflowError, lambda: HybridIndex.builder(["a"], 2**70))
        assert "argument" not in msg
        with pytest.raises(UnicodeEncodeError):
            HybridIndex.builder(["\ud800"], 0)

    def test_schema_from_iterator_with_failing_len(self):
        class Seq:
            def __len__(self):
                raise RuntimeError("no length")

            def __getitem__(self, i):
                if i < 2:
                    return "t%d" % i
                raise IndexError

        HybridIndex.builder(Seq(), 0)


class TestAddRecord:
    @pytest.fixture
    def idx(self):
        return HybridIndex.builder(["color", "size"], 4)

    @pytest.mark.parametrize("args,kwargs,exc,message", [
        ((1, {"color": 5}), {}, TypeError,
         "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
        ((1, {"other": 5}), {}, TypeError,
         "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
        ((1, {5: "x"}), {}, TypeError,
         "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
        ((1, [("color", "red")]), {}, TypeError,
         "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
        ((1, {}), {"embedding": [0.1, 0.2]}, ValueError,
         "Embedding dimension mismatch: expected 4, got 2"),
        ((1, {}), {"embedding": "abcd"}, TypeError,
         "argument 'embedding': Can't extract `str` to `Vec`"),
        ((1, {}), {"embedding": 5}, TypeError,
         "argument 'embedding': 'int' object cannot be converted to 'Sequence'"),
        ((1, {}), {"embedding": [1, 2, "x", 4]}, TypeError,
         "argument 'embedding': must be real number, not str"),
        ((1, {}), {"external_offset": -1}, OverflowError,
         "can't convert negative int to unsigned"),
        ((-1, {}), {}, OverflowError, "can't convert negative int to unsigned"),
        ((2**64, {}), {}, OverflowError, "int too big to convert"),
        (("1", {}), {}, TypeError,
         "argument 'doc_id': 'str' object cannot be interpreted as an integer"),
        # Conversions run in parameter order: doc_id is reported before metadata.
        (("1", 5), {}, TypeError,
         "argument 'doc_id': 'str' object cannot be interpreted as an integer"),
        ((1, 5), {"embedding": "x"}, TypeError,
         "argument 'metadata': 'int' object cannot be converted to 'PyDict'"),
    ])
    def test_errors(self, idx, args, kwargs, exc, message, tmp_index_path):
        assert build_error(exc, lambda: idx.add_record(*args, **kwargs)) == message
        idx.save(tmp_index_path)
        meta = read_sidecar(tmp_index_path + ".meta")
        assert meta["doc_ids"] == [] and meta["dicts"] == [{}, {}], "a failed call adds nothing"

    def test_a_reworded_conversion_error_keeps_its_cause(self, idx):
        class Chained:
            def __index__(self):
                raise TypeError("boom") from KeyError("root")

        with pytest.raises(TypeError) as e:
            idx.add_record(Chained(), {})
        assert str(e.value) == "argument 'doc_id': boom"
        assert type(e.value.__cause__) is KeyError and e.value.__cause__.args == ("root",)

    def test_accepted_forms(self, idx, tmp_index_path):
        idx.add_record(True, {"color": "red"})
        idx.add_record(2, {"color": "red", "size": ""}, [1, 2, 3, 4])
        idx.add_record(2, {"color": "Red", "extra": "ignored"}, None, None)
        idx.add_record(3, {}, embedding=(1e39, 0, 0, 0), external_offset=0)
        idx.save(tmp_index_path)
        meta = read_sidecar(tmp_index_path + ".meta")
        assert meta["doc_ids"] == [1, 2, 2, 3]
        assert meta["dicts"] == [{"red": 0, "Red": 1, "": 2}, {"": 0}]

    def test_dimension_zero(self):
        idx = HybridIndex.builder(["a"], 0)
        idx.add_record(1, {}, [])
        assert build_error(ValueError, lambda: idx.add_record(1, {}, [1.0])) == (
            "Embedding dimension mismatch: expected 0, got 1")

    def test_overflow_keeps_earlier_traits_insertions(self, tmp_index_path):
        idx = HybridIndex.builder(["a", "b"], 0)
        for i in range(256):
            idx.add_record(i, {"a": "x", "b": "v%d" % i})
        idx.add_record(999, {"a": "x", "b": "v7"})  # known value of a full dictionary
        msg = build_error(ValueError, lambda: idx.add_record(1000, {"a": "new", "b": "v256"}))
        assert msg == ("Trait 'v256' overflow: 257 unique values exceeds "
                       "256-value capacity for 8-bit mode")
        idx.save(tmp_index_path)
        meta = read_sidecar(tmp_index_path + ".meta")
        assert len(meta["doc_ids"]) == 257
        assert meta["dicts"][0] == {"x": 0, "new": 1}

    def test_repeated_schema_name_takes_value_twice(self, tmp_index_path):
        idx = HybridIndex.builder(["a", "a"], 0)
        idx.add_record(1, {"a": "p"})
        idx.add_record(2, {"a": "q"})
        idx.save(tmp_index_path)
        assert read_sidecar(tmp_index_path + ".meta")["dicts"] == [{"p": 0, "q": 1}] * 2


class TestEmbeddingFastPath:
    VALUES = [1e-50, -1e-50, 1e-45, 7e-46, -0.0, float("nan"), 1e39, -1e39, 3.0, -2.5,
              float("inf"), 0.0, 1.0000000596046448, 5e-324, -5e-324, 2.0]

    def saved_bytes(self, tmp_path, name, embedding):
        idx = HybridIndex.builder(["a"], len(self.VALUES))
        idx.add_record(1, {}, embedding)
        path = str(tmp_path / name)
        idx.save(path)
        with open(path, "rb") as f:
            return f.read()

    def test_arrays_give_the_item_by_item_values(self, tmp_path):
        reference = self.saved_bytes(tmp_path, "list", list(self.VALUES))
        f64 = np.array(self.VALUES, dtype=np.float64)
        with np.errstate(over="ignore"):
            f32 = f64.astype(np.float32)
        for i, emb in enumerate([f64, f32, list(f32), np.asfortranarray(f64),
                                 f64.astype(">f8"), f64[::1], list(f64)]):
            assert self.saved_bytes(tmp_path, "e%d" % i, emb) == reference, i

    def test_strided_and_other_arrays_still_accepted(self, tmp_path):
        reference = self.saved_bytes(tmp_path, "list", list(self.VALUES))
        doubled = np.repeat(np.array(self.VALUES), 2)[::2]
        assert self.saved_bytes(tmp_path, "strided", doubled) == reference
        ints = np.arange(16, dtype=np.int64) - 8
        idx = HybridIndex.builder(["a"], 16)
        idx.add_record(1, {}, ints)
        idx.add_record(1, {}, np.zeros(16, dtype=np.float16))

    def test_wrong_length_array(self):
        idx = HybridIndex.builder(["a"], 4)
        msg = build_error(ValueError, lambda: idx.add_record(1, {}, np.zeros(3, np.float32)))
        assert msg == "Embedding dimension mismatch: expected 4, got 3"
        msg = build_error(TypeError, lambda: idx.add_record(1, {}, np.zeros((2, 2))))
        assert msg.startswith("argument 'embedding': ")


@pytest.mark.skipif(os.environ.get("KORVEL_SANITIZED") == "1",
                    reason="AddressSanitizer's shadow memory does not fit under an address-space limit")
def test_allocation_failure_raises_memory_error():
    """Under an address-space limit, the buffer of one more record cannot be allocated; the
    call raises MemoryError and the interpreter and the index go on. (The writer keeps its
    signatures in one buffer, so a further record would need that buffer to grow: the index
    is checked through memory_stats() and a new index takes the record instead.)"""
    import subprocess
    import sys
    import textwrap

    script = textwrap.dedent("""
        import resource
        import numpy as np
        from korvel import HybridIndex
        idx = HybridIndex.builder(["a"], 65535)
        row = np.ones(65535, dtype=np.float32)
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 64 * 2**20, resource.RLIM_INFINITY))
        try:
            for i in range(10000):
                idx.add_record(i, {"a": "x"}, row)
        except MemoryError:
            print("memory error after", i)
        assert idx.memory_stats()["heap_allocations_bytes"] > 0
        HybridIndex.builder(["a"], 0).add_record(0, {"a": "x"})
        print("alive")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert "memory error after" in out.stdout and "alive" in out.stdout


def test_numpy_without_its_c_api_raises_numpys_import_error():
    script = """if True:
        import sys
        import numpy as np
        from korvel import HybridIndex
        sys.modules["numpy._core._multiarray_umath"] = None
        sys.modules["numpy.core._multiarray_umath"] = None
        try:
            HybridIndex.builder(["a"], 2).add_record(1, {}, np.zeros(2, np.float32))
        except ImportError as e:
            print(type(e).__name__, e)
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env,
                          timeout=60)
    assert done.stdout == ("ModuleNotFoundError import of numpy.core._multiarray_umath halted; "
                           "None in sys.modules\n"), done.stderr
