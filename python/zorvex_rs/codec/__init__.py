"""Re-exports of `zorvex_rs._core.codec`."""

from zorvex_rs._core import codec as _native

__all__ = list(getattr(_native, "__all__", ()))
globals().update({name: getattr(_native, name) for name in __all__})
