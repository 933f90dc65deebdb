"""cupy.linalg of the stand-in: numpy.linalg on the arrays behind device arrays."""

import numpy as _np
from numpy.linalg import LinAlgError

from ._core import host, wrap, wrap_any, quiet

__all__ = ["norm", "svd", "det", "slogdet", "lstsq", "inv", "pinv", "solve", "eigh", "eigvalsh", "qr",
           "cholesky", "matrix_rank", "matrix_power", "LinAlgError"]


def norm(x, ord=None, axis=None, keepdims=False):
    return wrap(_np.linalg.norm(host(x, "x"), ord, axis, keepdims))


def svd(a, full_matrices=True, compute_uv=True):
    res = _np.linalg.svd(host(a), full_matrices=full_matrices, compute_uv=compute_uv)
    if compute_uv:
        return tuple(wrap(r) for r in res)
    return wrap(res)


def det(a):
    return wrap(_np.asarray(_np.linalg.det(host(a))))


def slogdet(a):
    return wrap_any(tuple(_np.linalg.slogdet(host(a))))


def lstsq(a, b, rcond=None):
    """(x, residuals, rank, s); rank is a 0-d int32 device array as in cupy."""
    x, res, rank, s = _np.linalg.lstsq(host(a), host(b, "b"), rcond=rcond)
    return wrap(x), wrap(res), wrap(_np.asarray(rank, dtype=_np.int32)), wrap(s)


def inv(a):
    return wrap(_np.linalg.inv(host(a)))


def pinv(a, rcond=1e-15):
    return wrap(_np.linalg.pinv(host(a), rcond))


def solve(a, b):
    return wrap(_np.linalg.solve(host(a), host(b, "b")))


def eigh(a, UPLO="L"):
    return wrap_any(tuple(_np.linalg.eigh(host(a), UPLO)))


def eigvalsh(a, UPLO="L"):
    return wrap(_np.linalg.eigvalsh(host(a), UPLO))


def qr(a, mode="reduced"):
    res = _np.linalg.qr(host(a), mode)
    return wrap_any(tuple(res)) if isinstance(res, tuple) else wrap(res)


def cholesky(a):
    return wrap(_np.linalg.cholesky(host(a)))


def matrix_rank(M, tol=None, hermitian=False):
    return wrap(_np.asarray(_np.linalg.matrix_rank(host(M, "M"), tol, hermitian)))


def matrix_power(M, n):
    return wrap(_np.linalg.matrix_power(host(M, "M"), n))


for _n in __all__:
    _f = globals()[_n]
    if callable(_f) and not isinstance(_f, type):
        globals()[_n] = quiet(_f)
del _n, _f
