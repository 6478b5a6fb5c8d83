"""qorin: population-genetic and ecological models on a native engine."""

from . import _engine_rs  # noqa: F401

__all__ = ["_engine_rs"]
__version__ = "0.1.0"
