"""Type information for the array front end's extension module."""

from collections.abc import Sequence
from typing import Any, SupportsIndex, final

import numpy as np
import numpy.typing as npt

# A trait column: str values, a NumPy str or object array, or (categories, integer codes).
_Column = Sequence[str] | npt.NDArray[Any] | tuple[Sequence[str], npt.NDArray[np.integer[Any]]]
# Anything exporting a buffer of integers or floats (NumPy arrays above all).
_Integers = npt.NDArray[np.integer[Any]] | memoryview | bytes | bytearray
_Floats = npt.NDArray[np.floating[Any]] | memoryview

@final
class Writer:
    """Builds an index from columns: document ids, one column of str per trait, an embedding
    matrix and external offsets. Keeps per record only what the data file holds."""

    def __new__(cls, schema: Sequence[str], dim: SupportsIndex) -> Writer: ...
    def add(
        self,
        doc_ids: _Integers,
        columns: dict[str, _Column] | None = None,
        embeddings: _Floats | None = None,
        offsets: _Integers | None = None,
    ) -> None: ...
    def save(self, path: str) -> None: ...
    def __len__(self) -> int: ...
    @property
    def schema(self) -> tuple[str, ...]: ...
    @property
    def dim(self) -> int: ...
