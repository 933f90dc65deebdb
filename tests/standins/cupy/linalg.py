"""cupy.linalg of the stand-in: numpy.linalg on the arrays behind device arrays."""

import numpy as _np
from numpy.linalg import LinAlgError

from ._core import host as _host, wrap as _wrap, wrap_any as _wrap_any, quiet as _quiet

__all__ = ["norm", "svd", "det", "slogdet", "lstsq", "inv", "pinv", "solve", "eigh", "eigvalsh", "qr",
           "cholesky", "matrix_rank", "matrix_power", "LinAlgError"]


def norm(x, ord=None, axis=None, keepdims=False):
    return _wrap(_np.linalg.norm(_host(x, "x"), ord, axis, keepdims))


def svd(a, full_matrices=True, compute_uv=True):
    res = _np.linalg.svd(_host(a), full_matrices=full_matrices, compute_uv=compute_uv)
    if compute_uv:
        return tuple(_wrap(r) for r in res)
    return _wrap(res)


def det(a):
    return _wrap(_np.asarray(_np.linalg.det(_host(a))))


def slogdet(a):
    return _wrap_any(tuple(_np.linalg.slogdet(_host(a))))


def lstsq(a, b, rcond=None):
    """(x, residuals, rank, s); rank is a 0-d int32 device array as in cupy."""
    x, res, rank, s = _np.linalg.lstsq(_host(a), _host(b, "b"), rcond=rcond)
    return _wrap(x), _wrap(res), _wrap(_np.asarray(rank, dtype=_np.int32)), _wrap(s)


def inv(a):
    return _wrap(_np.linalg.inv(_host(a)))


def pinv(a, rcond=1e-15):
    return _wrap(_np.linalg.pinv(_host(a), rcond))


def solve(a, b):
    return _wrap(_np.linalg.solve(_host(a), _host(b, "b")))


def eigh(a, UPLO="L"):
    return _wrap_any(tuple(_np.linalg.eigh(_host(a), UPLO)))


def eigvalsh(a, UPLO="L"):
    return _wrap(_np.linalg.eigvalsh(_host(a), UPLO))


def qr(a, mode="reduced"):
    res = _np.linalg.qr(_host(a), mode)
    return _wrap_any(tuple(res)) if isinstance(res, tuple) else _wrap(res)


def cholesky(a):
    return _wrap(_np.linalg.cholesky(_host(a)))


def matrix_rank(M, tol=None):
    return _wrap(_np.asarray(_np.linalg.matrix_rank(_host(M, "M"), tol)))


def matrix_power(M, n):
    return _wrap(_np.linalg.matrix_power(_host(M, "M"), n))


# each routine is one launch in the ledger (see cupy._standin)
from . import _standin as _ledger_standin  # noqa: E402

for _n in __all__:
    _f = globals()[_n]
    if callable(_f) and not isinstance(_f, type):
        globals()[_n] = _ledger_standin.entry("cupy.linalg." + _n)(_quiet(_f))
del _n, _f
