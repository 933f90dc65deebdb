"""A numpy-backed stand-in for `cupy`, for machines without a GPU.

Arrays live in host memory but behave like device arrays wherever code can tell:
implicit host/device mixing is refused, scalar indexing and reductions give 0-d arrays,
views share memory, new buffers from `empty` hold a sentinel until written, arrays belong to
the device that was current when they were made, and every buffer has a real address that
`cupy._standin.lookup` maps back to its bytes.  Streams and events are recorded in
`cupy._standin.log`.  See `cupy._standin` for the test-facing book-keeping.

Its public surface is checked against the real cupy-cuda12x 14.2.0 (tests/test_standin_surface.py):
every name, class member and parameter offered here exists there.  What only tests read back has
a leading underscore.
"""

import numpy as _np

from . import _standin
from . import cuda
from ._core import ndarray, ufunc
from . import _routines
from . import linalg
from . import random
from . import testing

__version__ = "14.2.0"

# the routines, including those named like builtins (sum, max, min, all, any, round, abs)
for _n in _routines.__all__:
    globals()[_n] = getattr(_routines, _n)

# ---- element types (cupy re-exports numpy's scalar types) ----
bool_ = _np.bool_
int8, int16, int32, int64 = _np.int8, _np.int16, _np.int32, _np.int64
uint8, uint16, uint32, uint64 = _np.uint8, _np.uint16, _np.uint32, _np.uint64
float16, float32, float64 = _np.float16, _np.float32, _np.float64
complex64, complex128 = _np.complex64, _np.complex128
intp, uintp = _np.intp, _np.uintp
byte, ubyte, short, ushort = _np.byte, _np.ubyte, _np.short, _np.ushort
intc, uintc, int_, uint = _np.intc, _np.uintc, _np.int_, _np.uint
longlong, ulonglong = _np.longlong, _np.ulonglong
half, single, double = _np.half, _np.single, _np.double
csingle, cdouble = _np.csingle, _np.cdouble
generic, number, integer, signedinteger, unsignedinteger = (
    _np.generic, _np.number, _np.integer, _np.signedinteger, _np.unsignedinteger)
inexact, floating, complexfloating = _np.inexact, _np.floating, _np.complexfloating
globals()["bool"] = _np.bool

newaxis = None
pi = _np.pi
e = _np.e
inf = _np.inf
nan = _np.nan
euler_gamma = _np.euler_gamma
NINF = -_np.inf
PINF = _np.inf

del _n
