"""cupyx of the numpy-backed stand-in (see the `cupy` stand-in), checked like it against the
real cupy-cuda12x 14.2.0."""

import numpy as _np

from cupy._core import U as _U


def scatter_add(a, slices, value):
    _U("add").at(a, slices, value)


def scatter_max(a, slices, value):
    _U("maximum").at(a, slices, value)


def scatter_min(a, slices, value):
    _U("minimum").at(a, slices, value)


def empty_pinned(shape, dtype=float, order="C"):
    """Page-locked host memory is ordinary host memory here: a numpy array."""
    return _np.empty(shape, dtype=dtype, order=order)


def zeros_pinned(shape, dtype=float, order="C"):
    return _np.zeros(shape, dtype=dtype, order=order)


def empty_like_pinned(a, dtype=None, order="K", subok=None, shape=None):
    return _np.empty_like(a, dtype=dtype, order=order, shape=shape)


def zeros_like_pinned(a, dtype=None, order="K", subok=None, shape=None):
    return _np.zeros_like(a, dtype=dtype, order=order, shape=shape)


# the ledger (see cupy._standin): the scatters launch; pinned memory is host memory
from cupy import _standin as _ledger_standin  # noqa: E402

scatter_add = _ledger_standin.entry("cupyx.scatter_add")(scatter_add)
scatter_max = _ledger_standin.entry("cupyx.scatter_max")(scatter_max)
scatter_min = _ledger_standin.entry("cupyx.scatter_min")(scatter_min)
