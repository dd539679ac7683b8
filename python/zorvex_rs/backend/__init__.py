"""Re-exports of `zorvex_rs._core.backend`."""

import typing as _typing

from zorvex_rs._core import backend as _native

# The names are copied at run time; type checkers read them from the stub,
# and stubtest holds the two lists together.
if _typing.TYPE_CHECKING:
    from zorvex_rs._core import (
        SearchBackend,
        SearchResult,
        BruteForceBackend,
    )

    __all__ = [
        "SearchBackend",
        "SearchResult",
        "BruteForceBackend",
    ]
else:
    __all__ = list(getattr(_native, "__all__", ()))
    globals().update({name: getattr(_native, name) for name in __all__})
