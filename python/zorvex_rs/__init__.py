"""Compression, storage and exact cosine search of float32 embedding vectors.

The classes live in the native extension ``zorvex_rs._core``; this package
re-exports them, and groups them as ``zorvex_rs.codec``, ``zorvex_rs.corpus``
and ``zorvex_rs.backend``.
"""

import importlib as _importlib
import typing as _typing

from zorvex_rs import _core
from zorvex_rs._internal import PanicException

_SUBPACKAGES = ("codec", "corpus", "backend")

__version__ = _core.__version__

# The names are copied at run time; type checkers read them from the stub,
# and stubtest holds the two lists together.
if _typing.TYPE_CHECKING:
    from zorvex_rs import backend, codec, corpus
    from zorvex_rs._core import (
        DimensionMismatchError,
        ConfigMismatchError,
        CodebookIncompatibleError,
        DuplicateVectorError,
        CodecConfig,
        Codebook,
        RotationMatrix,
        CompressedVector,
        Codec,
        compress,
        decompress,
        CompressionPolicy,
        VectorEntry,
        Corpus,
        CorpusCreated,
        VectorsInserted,
        CorpusDecompressed,
        CompressionPolicyViolationDetected,
        SearchBackend,
        SearchResult,
        BruteForceBackend,
    )
    from zorvex_rs._ext import CollectionFileError, load, save

    __all__ = [
        "DimensionMismatchError",
        "ConfigMismatchError",
        "CodebookIncompatibleError",
        "DuplicateVectorError",
        "CodecConfig",
        "Codebook",
        "RotationMatrix",
        "CompressedVector",
        "Codec",
        "compress",
        "decompress",
        "CompressionPolicy",
        "VectorEntry",
        "Corpus",
        "CorpusCreated",
        "VectorsInserted",
        "CorpusDecompressed",
        "CompressionPolicyViolationDetected",
        "SearchBackend",
        "SearchResult",
        "BruteForceBackend",
        "PanicException",
        "save",
        "load",
        "CollectionFileError",
        "codec",
        "corpus",
        "backend",
    ]
else:
    __all__ = [n for n in _core.__all__ if n != "__version__" and n not in _SUBPACKAGES]
    globals().update({n: getattr(_core, n) for n in __all__})

    # The pure-Python sub-packages, not the extension's raw sub-modules.
    for _name in _SUBPACKAGES:
        globals()[_name] = _importlib.import_module(f"zorvex_rs.{_name}")
    # Collections kept in files, from the newer native module.
    from zorvex_rs._ext import CollectionFileError, load, save

    __all__ += ["PanicException", "save", "load", "CollectionFileError", *_SUBPACKAGES]
