"""cupy.testing of the stand-in: numpy's assertions on host copies (device or host inputs)."""

import numpy as _np

from ._core import ndarray


def _h(x):
    return x.get() if isinstance(x, ndarray) else x


def assert_allclose(actual, desired, rtol=1e-7, atol=0, err_msg="", verbose=True):
    _np.testing.assert_allclose(_h(actual), _h(desired), rtol=rtol, atol=atol, err_msg=err_msg, verbose=verbose)


def assert_array_equal(x, y, err_msg="", verbose=True, strict=False):
    _np.testing.assert_array_equal(_h(x), _h(y), err_msg=err_msg, verbose=verbose, strict=strict)


def assert_array_almost_equal(x, y, decimal=6, err_msg="", verbose=True):
    _np.testing.assert_array_almost_equal(_h(x), _h(y), decimal=decimal, err_msg=err_msg, verbose=verbose)


def assert_array_less(x, y, err_msg="", verbose=True):
    _np.testing.assert_array_less(_h(x), _h(y), err_msg=err_msg, verbose=verbose)
