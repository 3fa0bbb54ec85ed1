"""The module, the class object, argument binding, receiver checks and borrows."""

import inspect
import pickle

import numpy as np
import pytest

import korvel._native as native
from korvel import HybridIndex


def test_module_attributes():
    assert native.__all__ == ["HybridIndex"]
    assert native.HybridIndex is HybridIndex
    assert HybridIndex.__module__ == "builtins"
    assert HybridIndex.__name__ == "HybridIndex"
    assert HybridIndex.__doc__.startswith(
        "The primary Python API class for the Korvel hybrid retrieval engine.\n\n"
        "Supports two modes of operation:\n"
    )
    assert HybridIndex.__doc__.endswith("`HybridIndex.load()`, executes searches via\n  `search()`.")


def test_no_constructor_and_no_subclassing():
    with pytest.raises(TypeError) as e:
        HybridIndex()
    assert str(e.value) == "No constructor defined"
    with pytest.raises(TypeError):
        type("Sub", (HybridIndex,), {})
    idx = HybridIndex.builder(["a"], 0)
    with pytest.raises(AttributeError):
        idx.__dict__  # noqa: B018


def test_method_order_signatures_and_docs():
    names = [n for n in vars(HybridIndex) if not n.startswith("__")]
    assert names == ["builder", "add_record", "save", "load", "search", "memory_stats"]
    idx = HybridIndex.builder(["a"], 0)
    assert HybridIndex.builder.__text_signature__ == "(schema, vector_dim)"
    assert idx.add_record.__text_signature__ == (
        "($self, doc_id, metadata, embedding=None, external_offset=None)"
    )
    assert idx.search.__text_signature__ == (
        "($self, filters, query_vector=None, top_k=None, exact_rescore=None, embeddings_data=None)"
    )
    assert idx.search.__doc__ == "Searches the index (query mode only)."
    assert idx.memory_stats.__doc__ == (
        "Exposes process memory, memory map, and heap allocations footprint statistics."
    )
    assert "- `schema` \u2014 List of categorical trait name strings (1\u201316 names)." in (
        HybridIndex.builder.__doc__
    )
    assert HybridIndex.load.__doc__.splitlines()[-1] == "- `IOError` if the file cannot be opened."
    assert HybridIndex.save.__doc__.splitlines()[-1] == "- `IOError` if the file cannot be written."
    assert list(inspect.signature(idx.add_record).parameters) == [
        "doc_id", "metadata", "embedding", "external_offset"]


def test_methods_introspect_as_methods_of_the_class():
    idx = HybridIndex.builder(["a"], 0)
    names = ["builder", "add_record", "save", "load", "search", "memory_stats"]
    for name in names:
        for method in (getattr(HybridIndex, name), getattr(idx, name)):
            assert (method.__name__, method.__qualname__) == (name, "HybridIndex." + name)
    assert str(inspect.signature(HybridIndex.add_record)) == (
        "(self, /, doc_id, metadata, embedding=None, external_offset=None)")
    assert str(inspect.signature(HybridIndex.memory_stats)) == "(self, /)"
    assert str(inspect.signature(idx.memory_stats)) == "()"
    assert str(inspect.signature(HybridIndex.load)) == "(path)"
    # Pickled by bare name, as built-in functions are, so they fail the same way.
    for name in names[1:3] + names[4:]:
        with pytest.raises(pickle.PicklingError) as e:
            pickle.dumps(getattr(HybridIndex, name))
        assert f"<built-in function {name}>" in str(e.value)


BINDING_CASES = [
    (lambda i: HybridIndex.builder(["a"]),
     "HybridIndex.builder() missing 1 required positional argument: 'vector_dim'"),
    (lambda i: HybridIndex.builder(),
     "HybridIndex.builder() missing 2 required positional arguments: 'schema' and 'vector_dim'"),
    (lambda i: HybridIndex.builder(["a"], 0, 1),
     "HybridIndex.builder() takes 2 positional arguments but 3 were given"),
    (lambda i: HybridIndex.builder(["a"], 0, extra=1),
     "HybridIndex.builder() got an unexpected keyword argument 'extra'"),
    (lambda i: HybridIndex.builder(["a"], schema=["b"]),
     "HybridIndex.builder() got multiple values for argument 'schema'"),
    (lambda i: i.add_record(1, {}, None, None, 5),
     "HybridIndex.add_record() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda i: i.add_record(1, {}, doc_id=2),
     "HybridIndex.add_record() got multiple values for argument 'doc_id'"),
    (lambda i: i.add_record(),
     "HybridIndex.add_record() missing 2 required positional arguments: 'doc_id' and 'metadata'"),
    (lambda i: i.add_record(zzz=1, doc_id=2),
     "HybridIndex.add_record() got an unexpected keyword argument 'zzz'"),
    (lambda i: i.save(),
     "HybridIndex.save() missing 1 required positional argument: 'path'"),
    (lambda i: i.save("a", "b"),
     "HybridIndex.save() takes 1 positional arguments but 2 were given"),
    (lambda i: HybridIndex.load(),
     "HybridIndex.load() missing 1 required positional argument: 'path'"),
    (lambda i: i.search(),
     "HybridIndex.search() missing 1 required positional argument: 'filters'"),
    (lambda i: i.search({}, None, None, None, None, None),
     "HybridIndex.search() takes from 1 to 5 positional arguments but 6 were given"),
    (lambda i: i.memory_stats(1),
     "HybridIndex.memory_stats() takes no arguments (1 given)"),
    (lambda i: HybridIndex.add_record(object(), 1, {}),
     "'object' object cannot be converted to 'HybridIndex'"),
    (lambda i: HybridIndex.save(5, "p"),
     "'int' object cannot be converted to 'HybridIndex'"),
    # Binding errors come before the receiver check.
    (lambda i: HybridIndex.add_record(object()),
     "HybridIndex.add_record() missing 2 required positional arguments: 'doc_id' and 'metadata'"),
]


@pytest.mark.parametrize("call,message", BINDING_CASES)
def test_binding_messages(call, message):
    idx = HybridIndex.builder(["a"], 0)
    with pytest.raises(TypeError) as e:
        call(idx)
    assert str(e.value) == message


def test_keyword_arguments_bind_by_name():
    idx = HybridIndex.builder(vector_dim=2, schema=["a"])
    idx.add_record(metadata={"a": "x"}, doc_id=7, external_offset=None, embedding=[1, 2])
    assert idx.memory_stats()["heap_allocations_bytes"] > 0


def test_static_methods_count_positional_arguments_without_a_receiver():
    with pytest.raises(TypeError) as e:
        HybridIndex.load("a", "b")
    assert str(e.value) == "HybridIndex.load() takes 1 positional arguments but 2 were given"
    with pytest.raises(TypeError) as e:
        HybridIndex.add_record()
    assert str(e.value) == "unbound method HybridIndex.add_record() needs an argument"


class TestBorrows:
    def test_reentrant_calls_from_conversions_see_the_exclusive_borrow(self):
        idx = HybridIndex.builder(["a"], 1)
        seen = []

        class CallsBack:
            def __index__(self):
                for call in (idx.memory_stats, lambda: idx.save("/nonexistent/x"),
                             lambda: idx.search({}), lambda: idx.add_record(1, {})):
                    try:
                        call()
                    except RuntimeError as e:
                        seen.append(str(e))
                return 5

            def __float__(self):
                return self.__index__() * 1.0

        idx.add_record(CallsBack(), {"a": "x"})
        idx.add_record(1, {"a": "x"}, [CallsBack()])
        idx.add_record(1, {"a": "x"}, external_offset=CallsBack())
        expected = ["Already mutably borrowed"] * 3 + ["Already borrowed"]
        assert seen == expected * 3
        # The flag is released on every path, errors included.
        with pytest.raises(ValueError):
            idx.add_record(1, {}, [1.0, 2.0])
        idx.add_record(2, {})
        assert idx.memory_stats()["mmap_size_mb"] == 0.0

    def test_borrow_released_after_conversion_error(self):
        idx = HybridIndex.builder(["a"], 0)
        with pytest.raises(TypeError):
            idx.add_record("x", {})
        idx.add_record(1, {})


def test_internal_fault_type_is_a_base_exception():
    # PanicException is created on first use; it must not be catchable as Exception. It is
    # not reachable from well-formed calls, so check the documented hierarchy via the
    # module: only the two public attributes exist.
    public = [n for n in dir(native) if not n.startswith("_")]
    assert public == ["HybridIndex"]


@pytest.mark.parametrize("module", ["korvel._native", "korvel._engine"])
def test_a_second_interpreter_cannot_import_the_module(module, tmp_path):
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        interpreters = pytest.importorskip("_interpreters")
    from korvel import _engine

    interp = interpreters.create()
    try:
        try:
            result = interpreters.run_string(interp, f"import {module}")
        except Exception as e:  # 3.10/3.11 raise RunFailedError carrying the text
            text = str(e)
        else:  # newer versions return the exception's description
            text = result.formatted if result is not None else ""
    finally:
        interpreters.destroy(interp)
    assert "ImportError" in text
    # The first interpreter's modules are unaffected, their types included.
    assert native.HybridIndex is HybridIndex
    writer = _engine.Writer(["a"], 0)
    writer.add(np.array([7], dtype=np.uint64), {"a": ["x"]})
    writer.save(str(tmp_path / "one.kvl"))
    assert _engine.open(str(tmp_path / "one.kvl")).count() == 1


def test_only_the_avx2_kernels_contain_avx_instructions():
    """The module must run on x86-64 processors without AVX2: VEX- and EVEX-encoded
    instructions may appear only in the kernel functions of the AVX2 and AVX-512 kernel sets,
    which the kernel table selects after the processor check."""
    import re
    import shutil
    import subprocess

    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("objdump is not installed")
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-C", native.__file__],
                             capture_output=True, text=True, check=True).stdout
    function = None
    offenders = set()
    kernels = set()
    for line in listing.splitlines():
        header = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if header:
            function = header.group(1)
        elif re.search(r"\tv[a-z0-9]+\s", line):
            is_kernel = re.search(r"avx2|avx512", function or "") is not None
            (kernels if is_kernel else offenders).add(function)
    assert not offenders
    assert any("hamming_avx2" in k for k in kernels), "the AVX2 kernel is compiled for AVX2"


def test_an_object_without_built_state_is_refused(tmp_path):
    # Replacing __new__ lets object.__new__ allocate an instance that neither builder() nor
    # load() built; the class is changed for good, so this runs in a child process.
    import subprocess
    import sys

    path = str(tmp_path / "forged.korvix")
    script = (
        "import sys\nfrom korvel import HybridIndex\n"
        "HybridIndex.__new__ = staticmethod(lambda c: object.__new__(c))\n"
        "x = HybridIndex()\n"
        "for call in (lambda: x.add_record(1, {}), lambda: x.save(sys.argv[1]),\n"
        "             lambda: x.search({}), lambda: x.memory_stats(),\n"
        "             lambda: HybridIndex.search(x, {})):\n"
        "    try:\n        call()\n        print('ran')\n"
        "    except TypeError as e:\n        print(e)\n"
        "del x\n")
    out = subprocess.run([sys.executable, "-c", script, path], capture_output=True, text=True,
                         timeout=60)
    assert (out.returncode, out.stderr) == (0, "")
    assert out.stdout.splitlines() == [
        "HybridIndex object was not created by HybridIndex.builder() or HybridIndex.load()"] * 5
    assert not (tmp_path / "forged.korvix").exists()


class Interrupting:
    """Every Python hook a conversion may call raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    __float__ = __len__ = __iter__ = __index__

    def __getitem__(self, i):
        raise self.exc


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_from_conversions_reach_the_caller_unchanged(exc_type, small_index,
                                                                     tmp_index_path):
    small_index.save(tmp_index_path)
    loaded = HybridIndex.load(tmp_index_path)
    exc = exc_type()
    r = Interrupting(exc)
    calls = [
        lambda: HybridIndex.builder(r, 0),
        lambda: HybridIndex.builder(["a"], r),
        lambda: small_index.add_record(r, {}), lambda: small_index.add_record(1, {}, r),
        lambda: small_index.add_record(1, {}, [r] * 4), lambda: small_index.add_record(1, {}, None, r),
        lambda: loaded.search({}, r), lambda: loaded.search({}, [r] * 4),
        lambda: loaded.search({}, None, r),
    ]
    for call in calls:
        with pytest.raises(exc_type) as e:
            call()
        assert e.value is exc
