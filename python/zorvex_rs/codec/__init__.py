"""Re-exports of `zorvex_rs._core.codec`, and `train_codebook` from `zorvex_rs._ext`."""

import typing as _typing

from zorvex_rs._core import codec as _native

# The names are copied at run time; type checkers read them from the stub,
# and stubtest holds the two lists together.
if _typing.TYPE_CHECKING:
    from zorvex_rs._core import (
        CodecConfig,
        Codebook,
        RotationMatrix,
        CompressedVector,
        Codec,
        compress,
        decompress,
        DimensionMismatchError,
        ConfigMismatchError,
        CodebookIncompatibleError,
        DuplicateVectorError,
    )
    from zorvex_rs._ext import train_codebook

    __all__ = [
        "CodecConfig",
        "Codebook",
        "RotationMatrix",
        "CompressedVector",
        "Codec",
        "compress",
        "decompress",
        "DimensionMismatchError",
        "ConfigMismatchError",
        "CodebookIncompatibleError",
        "DuplicateVectorError",
        "train_codebook",
    ]
else:
    from zorvex_rs._ext import train_codebook

    __all__ = [*getattr(_native, "__all__", ()), "train_codebook"]
    globals().update({name: getattr(_native, name) for name in __all__[:-1]})
