"""Lazy imports of the optional libraries (the "analysis", "scale" and "landscape" extras)."""

from __future__ import annotations

import importlib

_EXTRA = {
    "pandas": "analysis", "xarray": "analysis", "matplotlib": "analysis",
    "matplotlib.pyplot": "analysis", "h5netcdf": "analysis", "zarr": None,
    "dask": "scale", "distributed": "scale", "tqdm": "scale",
    "scipy.integrate": "landscape", "scipy.optimize": "landscape", "scipy.sparse": "landscape",
    "scipy.spatial": "landscape", "scipy.special": "landscape",
}


def require(name: str, feature: str):
    """Import `name`, or raise ImportError naming the extra that provides it."""
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        extra = _EXTRA.get(name, "analysis")
        if extra is None:
            raise ImportError(f"{feature} needs {name}, which is not installed: pip install {name}") from exc
        raise ImportError(
            f"{feature} needs {name.split('.')[0]}, which is not installed; "
            f"install the {extra!r} extra: pip install \"qorin[{extra}]\"") from exc
