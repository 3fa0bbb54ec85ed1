"""IndexWriter: builds an index from columns, the way array users hold their data.

Trait columns may be lists or tuples of str, NumPy str (``U``) or object arrays, pandas
Categoricals or Series, and Arrow string or dictionary arrays (chunked too); or integer, float,
bool or datetime64 columns (NumPy, pandas, Arrow), stored as canonical value strings. pandas and pyarrow
are never imported here: an object can only be one of theirs when its library is loaded already.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Mapping, MappingView, Sequence, Set
from typing import Any

import numpy as np
import numpy.typing as npt

from korvel._engine import Writer

__all__ = ["IndexWriter"]


class IndexWriter:
    """Builds a ``.korvix`` index from columns; ``save()`` writes the same pair of files as
    ``HybridIndex.save`` for the same records in the same order.

    Per record the writer holds the document id, the trait codes, the sign-bit signature and
    the external offset (about 8 + traits + dim / 8 + 8 bytes), never a copy of the embedding.
    """

    __slots__ = ("_writer",)

    def __init__(self, schema: Sequence[str], dim: int) -> None:
        if isinstance(schema, str):
            raise TypeError(
                f"schema: expected a sequence of trait names, got the single str {schema!r} "
                f"(write [{schema!r}] for one trait)"
            )
        self._writer = Writer(schema, dim)

    def add(
        self,
        doc_ids: npt.ArrayLike,
        columns: Mapping[str, Any] | None = None,
        embeddings: npt.ArrayLike | None = None,
        offsets: npt.ArrayLike | None = None,
    ) -> None:
        """Appends ``len(doc_ids)`` records, row ``i`` of every argument being record ``i``.

        ``columns`` maps trait names to columns of str; a trait left out holds "" in every
        row. ``embeddings`` is an (n, dim) float32 array (float16 and float64 are converted
        row by row) or None for records without embeddings. ``offsets`` gives each record's
        byte offset into the caller's embeddings buffer, or None for no offset.

        A failed call adds nothing; its message names the argument or column and the first
        bad row.
        """
        converted = None
        if columns is not None:
            if not hasattr(columns, "items"):
                raise TypeError(
                    "columns: expected a dict of trait name to column, got "
                    f"{type(columns).__qualname__!r}"
                )
            converted = {name: _column(name, col) for name, col in columns.items()}
        self._writer.add(
            _integers(doc_ids, "doc_ids"),
            converted,
            None if embeddings is None else _array(embeddings, "embeddings", _FLOATS),
            None if offsets is None else _integers(offsets, "offsets"),
        )

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the data file at ``path`` and its sidecar at ``path + ".meta"``."""
        self._writer.save(os.fspath(path))

    def __len__(self) -> int:
        return len(self._writer)

    @property
    def schema(self) -> tuple[str, ...]:
        """The trait names, in schema order."""
        return self._writer.schema

    @property
    def dim(self) -> int:
        """The embedding dimension."""
        return self._writer.dim

    def __repr__(self) -> str:
        return f"IndexWriter(schema={list(self.schema)!r}, dim={self.dim}, records={len(self)})"


_FLOATS = "float32, float16 or float64 values"


def _array(obj: npt.ArrayLike, name: str, expected: str) -> Any:
    # Arrays (and anything else exporting a buffer) go through as they are, so that the
    # native side sees their real dtype, layout and strides. Dates and times export no
    # buffer, and ragged nested lists make no array: both are named here.
    if isinstance(obj, np.ndarray) and obj.dtype.kind in "mM":
        raise TypeError(f"{name}: expected {expected}, got {obj.dtype}")
    if isinstance(obj, (np.ndarray, memoryview, bytes, bytearray)):
        return obj
    try:
        return np.asarray(obj)
    except ValueError as e:
        raise ValueError(f"{name}: not an array of {expected}") from e


def _integers(obj: npt.ArrayLike, name: str) -> Any:
    arr = _array(obj, name, "integers")
    if isinstance(arr, np.ndarray) and arr.size == 0 and not isinstance(obj, np.ndarray):
        return np.empty(0, np.uint64)  # np.asarray([]) is float64
    return arr


def _column(name: str, obj: Any) -> Any:
    """A column in a form the native writer reads: a sequence of str, a NumPy str or object
    array, or the coded pair (categories, integer codes) with -1 for a missing value."""
    if isinstance(obj, (Set, Mapping, MappingView)):
        # Iterable, but in no order that matches the rows.
        raise TypeError(
            f"column {name!r}: expected a sequence of str, got an unordered "
            f"{type(obj).__qualname__!r}"
        )
    if isinstance(obj, np.ndarray) and obj.dtype.kind in _TYPED_KINDS:
        return _typed_column(name, obj)
    pd = sys.modules.get("pandas")
    if pd is not None:
        if isinstance(obj, (pd.Series, pd.Index)):
            if getattr(obj.dtype, "kind", "O") in _TYPED_KINDS:
                missing = np.flatnonzero(np.asarray(pd.isna(obj), dtype=bool))
                if missing.size:
                    row = int(missing[0])
                    raise ValueError(
                        f"column {name!r}, row {row}: missing value ({obj.iloc[row]!r})"
                        if isinstance(obj, pd.Series)
                        else f"column {name!r}, row {row}: missing value ({obj[row]!r})"
                    )
                if getattr(obj.dtype, "tz", None) is not None:
                    obj = (obj.dt if isinstance(obj, pd.Series) else obj).tz_convert(None)
                numpy_dtype = getattr(obj.dtype, "numpy_dtype", None)
                values = obj.to_numpy(dtype=numpy_dtype) if numpy_dtype else obj.to_numpy()
                return _typed_column(name, values)
            if not isinstance(obj.dtype, pd.CategoricalDtype):
                values = obj.to_numpy(dtype=object)
                missing = np.flatnonzero(np.asarray(pd.isna(values), dtype=bool))
                if missing.size:
                    row = int(missing[0])
                    raise ValueError(
                        f"column {name!r}, row {row}: missing value ({values[row]!r})"
                    )
                return values
            obj = obj.array
        if isinstance(obj, pd.Categorical):
            # A slice with a step has strided codes; the writer reads contiguous ones.
            categories = obj.categories
            if categories.dtype.kind in _TYPED_KINDS:
                texts, which = _typed_column(name, categories.to_numpy())
                return ([texts[i] for i in which], np.ascontiguousarray(obj.codes))
            return (categories.tolist(), np.ascontiguousarray(obj.codes))
    pa = sys.modules.get("pyarrow")
    if pa is not None:
        if isinstance(obj, pa.ChunkedArray):
            return _arrow_column(name, pa, obj.chunks)
        if isinstance(obj, pa.Array):
            return _arrow_column(name, pa, [obj])
    return obj


# NumPy kinds stored as canonical value strings: bool, signed and unsigned integers, floats,
# datetime64.
_TYPED_KINDS = "biufM"


def _typed_column(name: str, values: npt.NDArray[Any]) -> Any:
    """A number, bool or datetime64 column as the coded pair of its canonical value strings:
    integers in decimal, floats as the shortest repr of their float64 value, bools as "true"
    and "false", datetime64 as ISO-8601 in the column's unit. NaN and NaT are missing values."""
    kind = values.dtype.kind
    if values.ndim != 1:
        raise TypeError(f"column {name!r}: expected one value per row, got {values.ndim} dimensions")
    if kind in "fM":
        missing = np.flatnonzero(np.isnan(values) if kind == "f" else np.isnat(values))
        if missing.size:
            row = int(missing[0])
            raise ValueError(f"column {name!r}, row {row}: missing value ({values[row]})")
    if kind == "f":
        values = values.astype(np.float64) + 0.0  # one value for 0.0 and -0.0
    unique, codes = np.unique(values, return_inverse=True)
    if kind == "b":
        categories = ["true" if v else "false" for v in unique.tolist()]
    elif kind in "iu":
        categories = [str(v) for v in unique.tolist()]
    elif kind == "f":
        categories = [repr(v) for v in unique.tolist()]
    else:
        categories = [str(v) for v in np.datetime_as_string(unique)]
    return (categories, np.ascontiguousarray(codes.reshape(-1), dtype=np.int64))


def _arrow_typed(pa: Any, arrow_type: Any) -> bool:
    types = pa.types
    return bool(
        types.is_integer(arrow_type) or types.is_floating(arrow_type)
        or types.is_boolean(arrow_type) or types.is_timestamp(arrow_type)
        or types.is_date(arrow_type)
    )


def _arrow_column(name: str, pa: Any, chunks: Sequence[Any]) -> Any:
    """Arrow chunks as one coded pair; each chunk keeps its own dictionary, so the pair's
    categories may repeat (the writer maps equal values to one code)."""
    categories: list[str] = []
    codes: list[npt.NDArray[Any]] = []
    row = 0
    if chunks and all(_arrow_typed(pa, c.type) for c in chunks):
        parts = []
        for chunk in chunks:
            if chunk.null_count:
                first = row + int(np.argmax(chunk.is_null().to_numpy(zero_copy_only=False)))
                raise ValueError(f"column {name!r}, row {first}: missing value (null)")
            parts.append(chunk.to_numpy(zero_copy_only=False))
            row += len(chunk)
        return _typed_column(name, parts[0] if len(parts) == 1 else np.concatenate(parts))
    for chunk in chunks:
        if not pa.types.is_dictionary(chunk.type):
            if not _arrow_text(pa, chunk.type):
                raise TypeError(f"column {name!r}: expected Arrow strings, got {chunk.type}")
            chunk = chunk.dictionary_encode()  # hash-based, no Python loop per row
        if not _arrow_text(pa, chunk.dictionary.type):
            raise TypeError(
                f"column {name!r}: expected a dictionary of strings, got {chunk.dictionary.type}"
            )
        if chunk.null_count:
            first = row + int(np.argmax(chunk.is_null().to_numpy(zero_copy_only=False)))
            raise ValueError(f"column {name!r}, row {first}: missing value (null)")
        indices = chunk.indices.to_numpy(zero_copy_only=False)
        if categories:
            indices = indices.astype(np.int64) + len(categories)
        categories.extend(chunk.dictionary.to_pylist())
        codes.append(indices)
        row += len(chunk)
    if len(codes) == 1:
        return (categories, codes[0])
    return (categories, np.concatenate(codes) if codes else np.empty(0, np.int64))


def _arrow_text(pa: Any, arrow_type: Any) -> bool:
    types = pa.types
    return bool(
        types.is_string(arrow_type)
        or types.is_large_string(arrow_type)
        or (hasattr(types, "is_string_view") and types.is_string_view(arrow_type))
    )
