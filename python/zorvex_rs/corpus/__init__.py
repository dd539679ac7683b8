"""Re-exports of `zorvex_rs._core.corpus`."""

from zorvex_rs._core import corpus as _native

__all__ = list(getattr(_native, "__all__", ()))
globals().update({name: getattr(_native, name) for name in __all__})
