"""Re-exports of `zorvex_rs._core.codec`."""

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
    ]
else:
    __all__ = list(getattr(_native, "__all__", ()))
    globals().update({name: getattr(_native, name) for name in __all__})
