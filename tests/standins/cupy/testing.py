"""cupy.testing of the stand-in: numpy's assertions on host copies (device or host inputs)."""

import numpy as _np

from ._core import ndarray as _ndarray


def _h(x):
    return x.get() if isinstance(x, _ndarray) else x


def assert_allclose(actual, desired, rtol=1e-7, atol=0, equal_nan=True, err_msg="", verbose=True, *, strict=False):
    _np.testing.assert_allclose(_h(actual), _h(desired), rtol=rtol, atol=atol, equal_nan=equal_nan, err_msg=err_msg,
                                verbose=verbose, strict=strict)


def assert_array_equal(actual, desired, err_msg="", verbose=True, *, strict=False):
    _np.testing.assert_array_equal(_h(actual), _h(desired), err_msg=err_msg, verbose=verbose, strict=strict)


def assert_array_almost_equal(actual, desired, decimal=6, err_msg="", verbose=True):
    _np.testing.assert_array_almost_equal(_h(actual), _h(desired), decimal=decimal, err_msg=err_msg, verbose=verbose)


def assert_array_less(x, y, err_msg="", verbose=True, *, strict=False):
    _np.testing.assert_array_less(_h(x), _h(y), err_msg=err_msg, verbose=verbose, strict=strict)
