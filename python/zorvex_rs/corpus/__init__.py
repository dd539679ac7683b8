"""Re-exports of `zorvex_rs._core.corpus`."""

import typing as _typing

from zorvex_rs._core import corpus as _native

# The names are copied at run time; type checkers read them from the stub,
# and stubtest holds the two lists together.
if _typing.TYPE_CHECKING:
    from zorvex_rs._core import (
        CompressionPolicy,
        VectorEntry,
        Corpus,
        CorpusCreated,
        VectorsInserted,
        CorpusDecompressed,
        CompressionPolicyViolationDetected,
        DimensionMismatchError,
        DuplicateVectorError,
    )

    __all__ = [
        "CompressionPolicy",
        "VectorEntry",
        "Corpus",
        "CorpusCreated",
        "VectorsInserted",
        "CorpusDecompressed",
        "CompressionPolicyViolationDetected",
        "DimensionMismatchError",
        "DuplicateVectorError",
    ]
else:
    __all__ = list(getattr(_native, "__all__", ()))
    globals().update({name: getattr(_native, name) for name in __all__})
