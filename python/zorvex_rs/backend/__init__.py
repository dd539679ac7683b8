"""Re-exports of `zorvex_rs._core.backend`, and search over compressed codes."""

import typing as _typing

from zorvex_rs import _ext
from zorvex_rs._core import backend as _native

# The names are copied at run time; type checkers read them from the stub,
# and stubtest holds the two lists together.
if _typing.TYPE_CHECKING:
    from zorvex_rs._core import (
        SearchBackend,
        SearchResult,
        BruteForceBackend,
    )
    from zorvex_rs._ext import CompressedBackend, search_batch

    __all__ = [
        "SearchBackend",
        "SearchResult",
        "BruteForceBackend",
        "CompressedBackend",
        "search_batch",
    ]
else:
    __all__ = list(getattr(_native, "__all__", ()))
    globals().update({name: getattr(_native, name) for name in __all__})
    for _name in ("CompressedBackend", "search_batch"):
        globals()[_name] = getattr(_ext, _name)
        __all__.append(_name)
