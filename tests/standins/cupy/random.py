"""cupy.random of the stand-in: numpy's generators, results on the device."""

import numpy as _np

from ._core import ndarray as _ndarray, host as _host, wrap as _wrap, get_dtype as _get_dtype

_state = _np.random.RandomState()


def seed(seed=None):
    _state.seed(seed)


def _cast(a, dtype):
    return _wrap(_np.asarray(a).astype(_get_dtype(dtype), copy=False))


def rand(*size, dtype=float):
    return _cast(_state.random_sample(size), dtype)


def randn(*size, dtype=float):
    return _cast(_state.standard_normal(size), dtype)


def random(size=None, dtype=float):
    return _cast(_state.random_sample(size), dtype)


random_sample = random


def uniform(low=0.0, high=1.0, size=None, dtype=float):
    return _cast(_state.uniform(low, high, size), dtype)


def normal(loc=0.0, scale=1.0, size=None, dtype=float):
    return _cast(_state.normal(loc, scale, size), dtype)


def standard_normal(size=None, dtype=float):
    return _cast(_state.standard_normal(size), dtype)


def randint(low, high=None, size=None, dtype=int):
    return _cast(_state.randint(low, high, size), dtype)


def permutation(a):
    """A shuffled arange(a) for an integer, a shuffled copy (along the first axis) for an array."""
    return _wrap(_state.permutation(_host(a) if isinstance(a, _ndarray) else a))


class RandomState:
    def __init__(self, seed=None):
        self._rs = _np.random.RandomState(seed)

    def rand(self, *size, dtype=float):
        return _cast(self._rs.random_sample(size), dtype)

    def randn(self, *size, dtype=float):
        return _cast(self._rs.standard_normal(size), dtype)

    def random_sample(self, size=None, dtype=float):
        return _cast(self._rs.random_sample(size), dtype)

    def uniform(self, low=0.0, high=1.0, size=None, dtype=float):
        return _cast(self._rs.uniform(low, high, size), dtype)

    def normal(self, loc=0.0, scale=1.0, size=None, dtype=float):
        return _cast(self._rs.normal(loc, scale, size), dtype)

    def randint(self, low, high=None, size=None, dtype=int):
        return _cast(self._rs.randint(low, high, size), dtype)


class Generator:
    """cupy makes one from a bit generator; the stand-in's come from `default_rng`."""

    @classmethod
    def _of(cls, seed):
        self = cls.__new__(cls)
        self._g = _np.random.default_rng(seed)
        return self

    def random(self, size=None, dtype=float):
        return _cast(self._g.random(size), dtype)

    def standard_normal(self, size=None, dtype=float):
        return _cast(self._g.standard_normal(size), dtype)

    def uniform(self, low=0.0, high=1.0, size=None, dtype=float):
        return _cast(self._g.uniform(low, high, size), dtype)

    def integers(self, low, high=None, size=None, dtype=_np.int64, endpoint=False):
        return _cast(self._g.integers(low, high, size, endpoint=endpoint), dtype)


def default_rng(seed=None):
    return Generator._of(seed)


# the ledger (see cupy._standin): drawing numbers is a launch
from . import _standin as _ledger_standin  # noqa: E402

for _n in ("rand", "randn", "random", "random_sample", "uniform", "normal", "standard_normal", "randint",
           "permutation"):
    globals()[_n] = _ledger_standin.entry("cupy.random." + _n)(globals()[_n])
for _cls in (RandomState, Generator):
    for _n, _f in list(vars(_cls).items()):
        if not _n.startswith("_") and callable(_f):
            setattr(_cls, _n, _ledger_standin.entry("cupy.random.%s.%s" % (_cls.__name__, _n))(_f))
del _n, _f, _cls
