"""DeziRO: an embedded object database in one local file."""

from deziro._native import *  # noqa: F401,F403
from deziro._native import __all__ as _native_names

__all__ = [*_native_names, "VevaDuzor"]


def __getattr__(name):
    # The errors module is imported on first use, not with the package: the
    # native module imports it itself on the first error it raises.
    if name == "VevaDuzor":
        from deziro._errors import VevaDuzor

        return VevaDuzor
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted({*globals(), "VevaDuzor"})
