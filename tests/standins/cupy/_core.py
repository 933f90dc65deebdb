"""The device array of the stand-in: `cupy.ndarray`, a numpy array in a wrapper that behaves
the way cupy's array does where code can tell the difference.

- Host arrays never mix in implicitly: a numpy array operand raises TypeError, and
  `numpy.asarray(device_array)` raises cupy's "Implicit conversion" TypeError.
- Indexing a single element and reducing give 0-d device arrays, never scalars; there is no
  `__index__`, so a device scalar cannot index a list or size a range without `int()`.
- Basic indexing gives views that share memory; advanced indexing copies.
- Kernels run only on the current device: an operand that lives on another device raises
  ValueError.
"""

from __future__ import annotations

import functools
import inspect
import operator
import sys
import warnings
import weakref

import numpy as np

from . import _standin
from .cuda import runtime as _runtime
from .cuda import memory as _memory

SUPPORTED_CHARS = "?bhilqBHILQefdFD"
_PY_SCALARS = frozenset([bool, int, float, complex])

IMPLICIT_MSG = ("Implicit conversion to a NumPy array is not allowed. "
                "Please use `.get()` to construct a NumPy array explicitly.")


# ---- floating-point reports ----------------------------------------------------------------
# GPU kernels divide by zero, overflow and turn NaN into integers silently; numpy would warn (and
# a test run would collect every warning), so device work runs with numpy's reports off.

def quiet(fn):
    @functools.wraps(fn)
    def run(*args, **kwargs):
        with np.errstate(all="ignore"):
            return fn(*args, **kwargs)
    return run


def hushed(fn):
    """quiet, and also without numpy's RuntimeWarnings (mean of an empty slice and the like)."""
    @functools.wraps(fn)
    def run(*args, **kwargs):
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            return fn(*args, **kwargs)
    return run


# ---- element types --------------------------------------------------------------------------

def get_dtype(dtype):
    """numpy.dtype of `dtype`, refused (ValueError) when the device cannot hold it."""
    d = np.dtype(dtype)
    if d.char not in SUPPORTED_CHARS:
        raise ValueError("Unsupported dtype %s" % d)
    return d


def is_scalar(x) -> bool:
    """Python or numpy scalar of a device type (what a kernel takes by value)."""
    if type(x) in _PY_SCALARS:
        return True
    return isinstance(x, np.generic) and x.dtype.char in SUPPORTED_CHARS


def _unsupported(x):
    return TypeError("Unsupported type %s" % type(x))


# ---- wrapping -------------------------------------------------------------------------------

def _root(a: np.ndarray) -> np.ndarray:
    r = a
    while isinstance(r.base, np.ndarray):
        r = r.base
    return r


def _new(arr, base, dev):
    w = ndarray.__new__(ndarray)
    w._a = arr
    w._base = base
    w._dev = dev
    return w


def wrap(arr) -> "ndarray":
    """Device array over the numpy array `arr`.

    A view of a live allocation stays a view of it (same memory, same device, `base` set); any
    other array becomes a new allocation on the current device.
    """
    if not isinstance(arr, np.ndarray):
        arr = np.asarray(arr)
    root = _root(arr)
    entry = _standin.entry_for(root)
    if entry is None:
        if root.base is not None or not (root.flags.c_contiguous or root.flags.f_contiguous) \
                or not root.flags.writeable:
            arr = np.array(arr, order="C", copy=True)
            root = arr
        if arr.dtype.char not in SUPPORTED_CHARS:
            raise ValueError("Unsupported dtype %s" % arr.dtype)
        dev = _runtime.getDevice()
        entry = _standin.register(root, dev)
        owner = _new(root, None, dev)
        entry.owner = weakref.ref(owner)
        if arr is root:
            return owner
        return _new(arr, owner, dev)
    owner = entry.owner() if entry.owner is not None else None
    if owner is None:
        owner = _new(root, None, entry.device_id)
        entry.owner = weakref.ref(owner)
        if arr is root:
            return owner
    elif arr is owner._a:
        return owner
    return _new(arr, owner, entry.device_id)


def wrap_any(res):
    """Wraps numpy results (arrays, numpy scalars, tuples and lists of them)."""
    if isinstance(res, (np.ndarray, np.generic)):
        return wrap(res)
    if isinstance(res, tuple):
        return tuple(wrap_any(r) for r in res)
    if isinstance(res, list):
        return [wrap_any(r) for r in res]
    return res


def check_device(a: "ndarray"):
    cur = _runtime.getDevice()
    if a._dev != cur:
        raise ValueError(
            "The device where the array resides (%d) is different from the current device (%d). "
            "Peer access is unavailable between these devices." % (a._dev, cur))


def host(x, what="a"):
    """numpy array behind a device array that a kernel may read on the current device."""
    if isinstance(x, ndarray):
        check_device(x)
        return x._a
    raise TypeError("Unsupported type %s (%s must be a cupy.ndarray)" % (type(x), what))


def operand(x):
    """Kernel operand: a device array (its numpy array) or a scalar; anything else refused."""
    if isinstance(x, ndarray):
        check_device(x)
        return x._a
    if is_scalar(x):
        return x
    raise _unsupported(x)


def soft(x):
    """Unwraps device arrays found in an argument (also inside lists and tuples) and refuses
    numpy arrays; other values pass unchanged."""
    if isinstance(x, ndarray):
        check_device(x)
        return x._a
    if isinstance(x, np.ndarray):
        raise _unsupported(x)
    if isinstance(x, (list, tuple)) and any(isinstance(v, (ndarray, np.ndarray, list, tuple)) for v in x):
        return type(x)(soft(v) for v in x) if type(x) in (list, tuple) else x
    return x


def out_array(out):
    if out is None:
        return None
    if isinstance(out, tuple):
        if len(out) != 1:
            raise ValueError("The 'out' parameter must have exactly one array value")
        out = out[0]
    if not isinstance(out, ndarray):
        raise TypeError("Output arrays must be cupy.ndarray, got %s" % type(out))
    check_device(out)
    return out


def _contains_device_array(obj):
    if isinstance(obj, ndarray):
        return True
    if isinstance(obj, (list, tuple)):
        return any(_contains_device_array(v) for v in obj)
    return False


def _gather_device(obj):
    """Stacks a (nested) sequence whose leaves are device arrays of one shape, else None."""
    if isinstance(obj, ndarray):
        check_device(obj)
        return obj._a
    if isinstance(obj, (list, tuple)) and len(obj):
        parts = [_gather_device(v) for v in obj]
        if any(p is None for p in parts) or len({p.shape for p in parts}) != 1:
            return None
        return np.stack(parts)
    return None


def to_host_array(obj, dtype=None, order="K", ndmin=0):
    """Fresh host array from a host object (sequence, scalar, numpy array) bound for the device;
    sequences of device arrays of one shape are stacked, anything else holding a device array
    is refused as an implicit conversion."""
    from_host = True
    if hasattr(obj, "__cuda_array_interface__") and not isinstance(obj, ndarray):
        obj = _from_interface(obj)
        from_host = False
    if order is None:
        order = "K"
    if _contains_device_array(obj):
        stacked = _gather_device(obj)
        if stacked is None:
            raise TypeError(IMPLICIT_MSG)
        a = np.array(stacked, dtype=dtype, order="F" if order in ("F", "f") else "C", ndmin=ndmin)
    else:
        a = np.array(obj, dtype=dtype, order=order, ndmin=ndmin, copy=True)
        if from_host:
            _standin.note_upload("host data")
    if a.dtype.char not in SUPPORTED_CHARS:
        raise ValueError("Unsupported dtype %s" % a.dtype)
    if not a.dtype.isnative:
        a = a.astype(a.dtype.newbyteorder("="))
    return a


def _from_interface(obj):
    """A numpy view of foreign device memory described by __cuda_array_interface__."""
    desc = obj.__cuda_array_interface__
    ptr = desc["data"][0]
    dtype = np.dtype(desc["typestr"])
    shape = tuple(desc["shape"])
    strides = desc.get("strides")
    count = int(np.prod(shape)) if shape else 1
    if strides is None:
        nbytes = count * dtype.itemsize
    else:
        nbytes = max([0] + [(s - 1) * abs(st) for s, st in zip(shape, strides)]) + dtype.itemsize
    raw = _standin.lookup(ptr, nbytes if count else 0)
    return np.ndarray(shape, dtype, buffer=raw, strides=strides)


@quiet
def new_array(shape, dtype, order="C", fill=None):
    """A fresh allocation on the current device (sentinel-filled when fill is None)."""
    d = get_dtype(dtype)
    if order not in ("C", "F", "c", "f"):
        raise ValueError("order not understood. order=%s" % order)
    a = np.empty(shape, dtype=d, order=order.upper())
    if fill is None:
        _standin.poison(a)
    else:
        a[...] = fill
    return wrap(a)


# ---- indexing -------------------------------------------------------------------------------

def _index_array(s, from_list):
    try:
        a = to_host_array(s)
    except (ValueError, TypeError) as exc:
        if isinstance(exc, TypeError) and str(exc) == IMPLICIT_MSG:
            raise
        raise IndexError("only integers, slices (`:`), ellipsis (`...`), numpy.newaxis (`None`) and "
                         "integer or boolean arrays are valid indices") from None
    if from_list and a.size == 0:
        a = a.astype(np.int32)
    return a


def prepare_index(key, ellipsis=True):
    """(numpy index tuple, advanced?).  The tuple ends in an Ellipsis unless it holds one, so
    that integer-only indexing yields a 0-d view rather than a scalar."""
    items = list(key) if isinstance(key, tuple) else [key]
    advanced = False
    has_ellipsis = False
    for i, s in enumerate(items):
        if s is None or isinstance(s, slice):
            continue
        if s is Ellipsis:
            has_ellipsis = True
            continue
        if isinstance(s, ndarray):
            check_device(s)
            items[i] = s._a
            advanced = True
        elif isinstance(s, (list, tuple)):
            items[i] = _index_array(s, True)
            advanced = True
        elif isinstance(s, np.ndarray):
            items[i] = _index_array(s, False)
            advanced = True
        elif isinstance(s, (bool, np.bool_)):
            advanced = True
    if ellipsis and not has_ellipsis:
        items.append(Ellipsis)
    return tuple(items), advanced


# ---- elementwise functions ------------------------------------------------------------------

_COMPARISONS = frozenset(["greater", "greater_equal", "less", "less_equal", "equal", "not_equal"])


def _call_signature(nin, nout):
    """How cupy documents a ufunc's call: inputs by position only, then out, casting, dtype."""
    P = inspect.Parameter
    params = [P(n, P.POSITIONAL_ONLY) for n in (["x"] if nin == 1 else ["x%d" % (i + 1) for i in range(nin)])]
    if nout > 1:
        params += [P("out%d" % (i + 1), P.POSITIONAL_ONLY, default=None) for i in range(nout)]
    params += [P("out", P.POSITIONAL_OR_KEYWORD, default=None if nout == 1 else (None,) * nout),
               P("casting", P.KEYWORD_ONLY, default="same_kind"), P("dtype", P.KEYWORD_ONLY, default=None)]
    return inspect.Signature(params)


class ufunc:
    """An elementwise function over device arrays and scalars (numpy's ufunc underneath).
    cupy makes them; `ufunc._of` is how the stand-in does."""

    @classmethod
    def _of(cls, np_ufunc):
        self = cls.__new__(cls)
        self._np = np_ufunc
        self.__name__ = np_ufunc.__name__
        self.nin = np_ufunc.nin
        self.nout = np_ufunc.nout
        self.nargs = np_ufunc.nargs
        self.types = np_ufunc.types
        self.__doc__ = np_ufunc.__doc__
        self.__signature__ = _call_signature(np_ufunc.nin, np_ufunc.nout)
        return self

    def __repr__(self):
        return "<ufunc '%s'>" % self.__name__

    def _kwargs(self, kwargs):
        out = kwargs.pop("out", None)
        if "dtype" in kwargs and kwargs["dtype"] is not None:
            kwargs["dtype"] = get_dtype(kwargs["dtype"])
        return out, kwargs

    @quiet
    def __call__(self, *args, **kwargs):
        wrong = set(kwargs) - {"out", "dtype", "casting"}
        if wrong:
            raise TypeError("Wrong arguments %s" % {k: kwargs[k] for k in wrong})
        out, kwargs = self._kwargs(kwargs)
        if len(args) > self.nin:
            if out is not None:
                raise TypeError("cannot specify 'out' as both a positional and keyword argument")
            out = args[self.nin:]
            args = args[:self.nin]
        ins = [operand(x) for x in args]
        if out is not None:
            if isinstance(out, tuple) and self.nout > 1:
                outs = tuple(out_array(o) for o in out)
                self._np(*ins, out=tuple(o._a for o in outs), **kwargs)
                return outs
            o = out_array(out)
            self._np(*ins, out=o._a, **kwargs)
            return o
        # kernels write new outputs C-contiguous, whatever the inputs' layout
        return wrap_any(self._np(*ins, order="C", **kwargs))

    @quiet
    def _method(self, name, a, *args, **kwargs):
        out, kwargs = self._kwargs(kwargs)
        x = host(a)
        args = [soft(v) for v in args]
        if out is not None:
            o = out_array(out)
            getattr(self._np, name)(x, *args, out=o._a, **kwargs)
            return o
        return wrap_any(getattr(self._np, name)(x, *args, **kwargs))

    def reduce(self, array, axis=0, dtype=None, out=None, keepdims=False):
        return self._method("reduce", array, axis=axis, dtype=dtype, out=out, keepdims=keepdims)

    def accumulate(self, array, axis=0, dtype=None, out=None):
        return self._method("accumulate", array, axis=axis, dtype=dtype, out=out)

    def outer(self, A, B, **kwargs):
        return wrap_any(self._np.outer(host(A), host(B), **kwargs))

    def at(self, a, indices, b=None):
        idx, _ = prepare_index(indices, ellipsis=False)
        if not isinstance(indices, tuple):
            idx = idx[0]
        x = host(a)
        if b is None:
            self._np.at(x, idx)
        else:
            self._np.at(x, idx, operand(b))


def _np_ufunc(name):
    return getattr(np, name)


_U = {}


def U(name):
    u = _U.get(name)
    if u is None:
        u = _U[name] = ufunc._of(_np_ufunc(name))
    return u


# ---- the array ------------------------------------------------------------------------------

class Flags:
    def __init__(self, c_contiguous, f_contiguous, owndata):
        self.c_contiguous = c_contiguous
        self.f_contiguous = f_contiguous
        self.owndata = owndata

    def __getitem__(self, name):
        names = {"C_CONTIGUOUS": "c_contiguous", "C": "c_contiguous", "CONTIGUOUS": "c_contiguous",
                 "F_CONTIGUOUS": "f_contiguous", "F": "f_contiguous", "FORTRAN": "f_contiguous",
                 "OWNDATA": "owndata", "O": "owndata"}
        if name not in names:
            raise KeyError("%s is not defined for cupy.ndarray.flags" % name)
        return getattr(self, names[name])

    def __repr__(self):
        return "  C_CONTIGUOUS : %s\n  F_CONTIGUOUS : %s\n  OWNDATA : %s" % (
            self.c_contiguous, self.f_contiguous, self.owndata)


def _binop(name):
    uf = U(name)

    def op(self, other):
        if not isinstance(other, ndarray) and getattr(other, "__array_ufunc__", False) is None:
            return NotImplemented
        return uf(self, other)

    def rop(self, other):
        return uf(other, self)

    def iop(self, other):
        return uf(self, other, out=self)

    return op, rop, iop


def _cmp(name):
    uf = U(name)

    def op(self, other):
        if not isinstance(other, ndarray):
            if getattr(other, "__array_ufunc__", False) is None:
                return NotImplemented
            if isinstance(other, np.ndarray) and other.ndim == 0:
                other = other.item()
        return uf(self, other)

    return op


class ndarray:
    """Multi-dimensional array in (stand-in) device memory."""

    __slots__ = ("_a", "_base", "_dev", "__weakref__")
    __array_priority__ = 100
    __hash__ = None

    def __init__(self, shape, dtype=float, memptr=None, strides=None, order="C"):
        d = get_dtype(dtype)
        if isinstance(shape, (int, np.integer)):
            shape = (shape,)
        shape = tuple(operator.index(s) for s in shape)
        if any(s < 0 for s in shape):
            raise ValueError("Negative dimensions are not allowed")
        if memptr is None:
            if strides is not None:
                raise ValueError("memptr is required if strides is given.")
            a = new_array(shape, d, order)
            self._a, self._base, self._dev = a._a, a._base, a._dev
            entry = _standin.entry_for(_root(a._a))
            entry.owner = weakref.ref(self)
            return
        count = int(np.prod(shape)) if shape else 1
        if strides is None:
            nbytes = count * d.itemsize
        else:
            nbytes = (max([0] + [(s - 1) * st for s, st in zip(shape, strides) if st > 0]) + d.itemsize
                      if count else 0)
        raw = _standin.lookup(memptr.ptr, nbytes)
        view = np.ndarray(shape, d, buffer=raw, strides=strides, order=order)
        w = wrap(view)
        # like cupy, an array made over a memory pointer has no base array
        self._a, self._base, self._dev = w._a, None, w._dev

    # -- attributes --
    @property
    def shape(self):
        return self._a.shape

    @shape.setter
    def shape(self, newshape):
        v = self._a.reshape(newshape)
        if v.size and not np.shares_memory(v, self._a):
            raise AttributeError("Incompatible shape for in-place modification. "
                                 "Use `.reshape()` to make a copy with the desired shape.")
        self._a = v

    @property
    def dtype(self):
        return self._a.dtype

    @property
    def ndim(self):
        return self._a.ndim

    @property
    def size(self):
        return self._a.size

    @property
    def itemsize(self):
        return self._a.itemsize

    @property
    def nbytes(self):
        return self._a.nbytes

    @property
    def strides(self):
        return self._a.strides

    @property
    def base(self):
        return self._base

    @property
    def flags(self):
        return Flags(self._a.flags.c_contiguous, self._a.flags.f_contiguous, self._base is None)

    @property
    def T(self):
        if self._a.ndim < 2:
            return self
        return wrap(self._a.T)

    @property
    def mT(self):
        return wrap(self._a.mT)

    @property
    def real(self):
        return wrap(self._a.real)

    @real.setter
    def real(self, value):
        check_device(self)
        self._a.real = operand(value)

    @property
    def imag(self):
        if self._a.dtype.kind != "c":
            return wrap(np.zeros_like(self._a))
        return wrap(self._a.imag)

    @imag.setter
    def imag(self, value):
        check_device(self)
        self._a.imag = operand(value)

    @property
    def device(self):
        from .cuda.device import Device
        return Device(self._dev)

    @property
    def data(self):
        root = _root(self._a)
        mem = _memory.Memory(root.nbytes, _root=root, _device_id=self._dev)
        return _memory.MemoryPointer(mem, _standin.address_of(self._a) - mem.ptr)

    @property
    def __cuda_array_interface__(self):
        from .cuda import stream as _stream
        ptr = _stream.get_current_stream().ptr
        desc = {
            "shape": self.shape,
            "typestr": self.dtype.str,
            "descr": self.dtype.descr,
            "stream": ptr if ptr else _runtime.streamLegacy,
            "version": 3,
            "strides": None if self._a.flags.c_contiguous else self.strides,
            "data": (_standin.address_of(self._a) if self.size else 0, False),
        }
        return desc

    # -- host transfer --
    def get(self, stream=None, order="C", out=None, blocking=True):
        if out is not None:
            if not isinstance(out, np.ndarray):
                raise TypeError("Only numpy.ndarray can be obtained from cupy.ndarray")
            if out.dtype != self.dtype:
                raise TypeError("%s array cannot be obtained from %s array" % (out.dtype, self.dtype))
            if out.shape != self.shape:
                raise ValueError("Shape mismatch. Expected shape: %s, actual shape: %s" % (self.shape, out.shape))
            np.copyto(out, self._a)
            return out
        order = order.upper()
        if order == "A":
            order = "F" if self._a.flags.f_contiguous and not self._a.flags.c_contiguous else "C"
        if order not in ("C", "F"):
            raise ValueError("unsupported order: %s" % order)
        return np.array(self._a, order=order, copy=True)

    def set(self, arr, stream=None):
        if not isinstance(arr, np.ndarray):
            raise TypeError("Only numpy.ndarray can be set to cupy.ndarray")
        if self.dtype != arr.dtype:
            raise TypeError("%s array cannot be set to %s array" % (arr.dtype, self.dtype))
        if self.shape != arr.shape:
            raise ValueError("Shape mismatch. Old shape: %s, new shape: %s" % (self.shape, arr.shape))
        if not (self._a.flags.c_contiguous or self._a.flags.f_contiguous):
            raise RuntimeError("Cannot set to non-contiguous array")
        self._a[...] = arr
        _standin.note_upload("ndarray.set")

    def item(self):
        if self.size != 1:
            raise ValueError("can only convert an array of size 1 to a Python scalar")
        return self._a.item()

    def tolist(self):
        return self._a.tolist()

    def tobytes(self, order="C"):
        return self._a.tobytes(order)

    def tofile(self, fid, sep="", format="%s"):
        self.get().tofile(fid, sep, format)

    def dump(self, file):
        import pickle
        pickle.dump(self, file, -1)

    def dumps(self):
        import pickle
        return pickle.dumps(self, -1)

    # -- conversion --
    def __array__(self, dtype=None):
        raise TypeError(IMPLICIT_MSG)

    def __int__(self):
        return int(self.get())

    def __float__(self):
        return float(self.get())

    def __complex__(self):
        return complex(self.get())

    def __bool__(self):
        return bool(self.get())

    def __repr__(self):
        return repr(self.get())

    def __str__(self):
        return str(self.get())

    def __format__(self, spec):
        return format(self.get(), spec)

    def __bytes__(self):
        return bytes(self.get())

    def __copy__(self):
        return self.copy()

    def __deepcopy__(self, memo):
        from .cuda.device import Device
        with Device(self._dev):
            return self.copy()

    def __reduce__(self):
        from . import array
        return array, (self.get(),)

    # -- container --
    def __len__(self):
        if self._a.ndim == 0:
            raise TypeError("len() of unsized object")
        return self._a.shape[0]

    def __iter__(self):
        if self._a.ndim == 0:
            raise TypeError("iteration over a 0-d array")
        return (self[i] for i in range(self._a.shape[0]))

    def __getitem__(self, key):
        idx, advanced = prepare_index(key)
        if advanced:
            check_device(self)
        res = self._a[idx]
        if advanced and np.may_share_memory(res, self._a):
            res = res.copy()
        return wrap(res)

    @quiet
    def __setitem__(self, key, value):
        idx, advanced = prepare_index(key)
        check_device(self)
        if isinstance(value, ndarray):
            check_device(value)
            v = value._a
        elif is_scalar(value):
            v = value
        elif isinstance(value, np.ndarray) and not advanced:
            if value.shape != ():
                raise ValueError("non-scalar numpy.ndarray cannot be used for fill")
            v = value.item()
        elif advanced:
            v = to_host_array(value, dtype=self.dtype)
        else:
            raise _unsupported(value)
        self._a[idx] = v

    # -- numpy interoperation --
    def __array_ufunc__(self, uf, method, *inputs, **kwargs):
        if method != "__call__":
            return NotImplemented
        cp = sys.modules[__package__]
        f = getattr(cp, uf.__name__, None)
        if f is None or not callable(f):
            return NotImplemented
        if "out" in kwargs:
            out = kwargs["out"]
            if len(out) != 1:
                raise ValueError("The 'out' parameter must have exactly one array value")
            inputs_out = inputs + out
            kwargs["out"] = out[0]
        else:
            inputs_out = inputs
        for x in inputs_out:
            if not (isinstance(x, (ndarray, np.ndarray)) or type(x) in _PY_SCALARS or is_scalar(x)):
                return NotImplemented
        if uf.__name__ in _COMPARISONS:
            inputs = tuple(x.item() if isinstance(x, np.ndarray) and x.ndim == 0 else x for x in inputs)
        return f(*inputs, **kwargs)

    def __array_function__(self, func, types, args, kwargs):
        mod = sys.modules[__package__]
        for part in func.__module__.split(".")[1:]:
            mod = getattr(mod, part, None)
            if mod is None:
                return NotImplemented
        f = getattr(mod, func.__name__, None)
        if f is None or f is func:
            return NotImplemented
        for t in types:
            if not issubclass(t, (ndarray, np.ndarray)):
                return NotImplemented
        return f(*args, **kwargs)

    # -- arithmetic --
    __add__, __radd__, __iadd__ = _binop("add")
    __sub__, __rsub__, __isub__ = _binop("subtract")
    __mul__, __rmul__, __imul__ = _binop("multiply")
    __truediv__, __rtruediv__, __itruediv__ = _binop("true_divide")
    __floordiv__, __rfloordiv__, __ifloordiv__ = _binop("floor_divide")
    __mod__, __rmod__, __imod__ = _binop("remainder")
    __pow__, __rpow__, __ipow__ = _binop("power")
    __lshift__, __rlshift__, __ilshift__ = _binop("left_shift")
    __rshift__, __rrshift__, __irshift__ = _binop("right_shift")
    __and__, __rand__, __iand__ = _binop("bitwise_and")
    __or__, __ror__, __ior__ = _binop("bitwise_or")
    __xor__, __rxor__, __ixor__ = _binop("bitwise_xor")
    __lt__ = _cmp("less")
    __le__ = _cmp("less_equal")
    __gt__ = _cmp("greater")
    __ge__ = _cmp("greater_equal")
    __eq__ = _cmp("equal")
    __ne__ = _cmp("not_equal")

    def __divmod__(self, other):
        if not isinstance(other, ndarray) and getattr(other, "__array_ufunc__", False) is None:
            return NotImplemented
        return U("divmod")(self, other)

    def __rdivmod__(self, other):
        return U("divmod")(other, self)

    def __matmul__(self, other):
        if not isinstance(other, ndarray) and getattr(other, "__array_ufunc__", False) is None:
            return NotImplemented
        from . import matmul
        return matmul(self, other)

    def __rmatmul__(self, other):
        from . import matmul
        return matmul(other, self)

    def __neg__(self):
        return U("negative")(self)

    def __pos__(self):
        return self

    def __abs__(self):
        return U("absolute")(self)

    def __invert__(self):
        return U("invert")(self)

    # -- methods --
    @quiet
    def astype(self, dtype, order="K", casting=None, subok=None, copy=True):
        if subok is not None:
            raise TypeError("subok is not supported yet")
        d = get_dtype(dtype)
        if order is None:
            order = "K"
        if d == self.dtype and not copy:
            f = self._a.flags
            if order in ("K", "k") or (order in ("A", "a") and (f.c_contiguous or f.f_contiguous)) \
                    or (order in ("C", "c") and f.c_contiguous) or (order in ("F", "f") and f.f_contiguous):
                return self
        check_device(self)
        kw = {} if casting is None else {"casting": casting}
        return wrap(self._a.astype(d, order=order, copy=True, **kw))

    def copy(self, order="C"):
        # a copy lands on the current device, wherever the source lives
        return wrap(np.array(self._a, order=order, copy=True))

    def view(self, dtype=None, type=None):
        if type is not None:
            raise NotImplementedError("type is not supported by the stand-in")
        if dtype is None:
            return wrap(self._a.view())
        return wrap(self._a.view(get_dtype(dtype)))

    @quiet
    def fill(self, value):
        check_device(self)
        if isinstance(value, np.ndarray):
            if value.shape != ():
                raise ValueError("non-scalar numpy.ndarray cannot be used for fill")
            value = value.item()
        self._a[...] = operand(value)

    def reshape(self, *shape, order="C"):
        if len(shape) == 1 and isinstance(shape[0], (tuple, list)):
            shape = tuple(shape[0])
        if not shape:
            shape = ()
        return wrap(self._a.reshape(shape, order=order))

    def transpose(self, *axes):
        if len(axes) == 1 and (axes[0] is None or isinstance(axes[0], (tuple, list))):
            axes = axes[0]
        if not axes:
            return wrap(self._a.transpose())
        return wrap(self._a.transpose(tuple(axes)))

    def swapaxes(self, axis1, axis2):
        return wrap(self._a.swapaxes(axis1, axis2))

    def flatten(self, order="C"):
        check_device(self)
        return wrap(self._a.flatten(order))

    def ravel(self, order="C"):
        r = self._a.ravel(order)
        if not np.may_share_memory(r, self._a):
            check_device(self)
        return wrap(r)

    def squeeze(self, axis=None):
        return wrap(self._a.squeeze(axis))

    def take(self, indices, axis=None, out=None):
        from . import take
        return take(self, indices, axis, out)

    def repeat(self, repeats, axis=None):
        check_device(self)
        return wrap(self._a.repeat(soft(repeats), axis))

    def diagonal(self, offset=0, axis1=0, axis2=1):
        return wrap(self._a.diagonal(offset, axis1, axis2))

    def trace(self, offset=0, axis1=0, axis2=1, dtype=None, out=None):
        return self._reduce("trace", dict(offset=offset, axis1=axis1, axis2=axis2, dtype=dtype), out)

    def nonzero(self):
        check_device(self)
        return wrap_any(np.nonzero(self._a))

    def compress(self, condition, axis=None, out=None):
        check_device(self)
        return wrap(np.compress(soft(condition), self._a, axis))

    def sort(self, axis=-1, kind=None):
        _check_kind(kind)
        check_device(self)
        self._a.sort(axis=axis, kind="stable")

    def argsort(self, axis=-1, kind=None):
        _check_kind(kind)
        check_device(self)
        return wrap(np.argsort(self._a, axis=axis, kind="stable"))

    def partition(self, kth, axis=-1):
        check_device(self)
        self._a.partition(kth, axis=axis)

    def argpartition(self, kth, axis=-1):
        check_device(self)
        return wrap(np.argpartition(self._a, kth, axis=axis))

    def searchsorted(self, v, side="left", sorter=None):
        from . import searchsorted
        return searchsorted(self, v, side, sorter)

    @hushed
    def _reduce(self, name, kw, out):
        check_device(self)
        if kw.get("dtype") is not None:
            kw["dtype"] = get_dtype(kw["dtype"])
        o = out_array(out)
        if o is not None:
            getattr(self._a, name)(out=o._a, **kw)
            return o
        return wrap(getattr(self._a, name)(**kw))

    def max(self, axis=None, out=None, keepdims=False):
        return self._reduce("max", dict(axis=axis, keepdims=keepdims), out)

    def min(self, axis=None, out=None, keepdims=False):
        return self._reduce("min", dict(axis=axis, keepdims=keepdims), out)

    def argmax(self, axis=None, out=None, dtype=None, keepdims=False):
        r = self._reduce("argmax", dict(axis=axis, keepdims=keepdims), out)
        return r if dtype is None else r.astype(dtype, copy=False)

    def argmin(self, axis=None, out=None, dtype=None, keepdims=False):
        r = self._reduce("argmin", dict(axis=axis, keepdims=keepdims), out)
        return r if dtype is None else r.astype(dtype, copy=False)

    @quiet
    def ptp(self, axis=None, out=None, keepdims=False):
        check_device(self)
        return wrap(np.ptp(self._a, axis=axis, keepdims=keepdims))

    def clip(self, min=None, max=None, out=None):
        from . import clip
        return clip(self, min, max, out)

    @quiet
    def round(self, decimals=0, out=None):
        check_device(self)
        o = out_array(out)
        if o is not None:
            np.round(self._a, decimals, out=o._a)
            return o
        return wrap(np.round(self._a, decimals))

    def sum(self, axis=None, dtype=None, out=None, keepdims=False):
        return self._reduce("sum", dict(axis=axis, dtype=dtype, keepdims=keepdims), out)

    def prod(self, axis=None, dtype=None, out=None, keepdims=False):
        return self._reduce("prod", dict(axis=axis, dtype=dtype, keepdims=keepdims), out)

    def cumsum(self, axis=None, dtype=None, out=None):
        return self._reduce("cumsum", dict(axis=axis, dtype=dtype), out)

    def cumprod(self, axis=None, dtype=None, out=None):
        return self._reduce("cumprod", dict(axis=axis, dtype=dtype), out)

    def mean(self, axis=None, dtype=None, out=None, keepdims=False):
        return self._reduce("mean", dict(axis=axis, dtype=dtype, keepdims=keepdims), out)

    def var(self, axis=None, dtype=None, out=None, ddof=0, keepdims=False):
        return self._reduce("var", dict(axis=axis, dtype=dtype, ddof=ddof, keepdims=keepdims), out)

    def std(self, axis=None, dtype=None, out=None, ddof=0, keepdims=False):
        return self._reduce("std", dict(axis=axis, dtype=dtype, ddof=ddof, keepdims=keepdims), out)

    def all(self, axis=None, out=None, keepdims=False):
        return self._reduce("all", dict(axis=axis, keepdims=keepdims), out)

    def any(self, axis=None, out=None, keepdims=False):
        return self._reduce("any", dict(axis=axis, keepdims=keepdims), out)

    def dot(self, b, out=None):
        if not isinstance(b, ndarray):
            raise TypeError("Argument 'b' has incorrect type (expected cupy.ndarray, got %s)" % type(b).__name__)
        from . import dot
        return dot(self, b, out)

    def conj(self):
        return U("conjugate")(self) if self.dtype.kind == "c" else self

    def conjugate(self):
        return self.conj()

    def scatter_add(self, slices, value):
        U("add").at(self, slices, value)

    def scatter_max(self, slices, value):
        U("maximum").at(self, slices, value)

    def scatter_min(self, slices, value):
        U("minimum").at(self, slices, value)

    def reduced_view(self, dtype=None):
        return self

    def toDlpack(self):
        raise NotImplementedError("DLPack is not offered by the stand-in")


ndarray.__module__ = "cupy"


def _check_kind(kind):
    if kind not in (None, "stable"):
        raise NotImplementedError("CuPy sorts with a stable sort only; kind=%r is not supported" % (kind,))


# ---- the ledger (see cupy._standin) -----------------------------------------------------------

def _shares(result, a):
    return isinstance(result, ndarray) and (result is a or np.may_share_memory(result._a, a._a))


def view_or_launch(result, args, kwargs):
    """Nothing when the result is the array or a view of it (a list of them for the splits),
    else a copy kernel."""
    a = args[0]
    parts = result if isinstance(result, (list, tuple)) else [result]
    if isinstance(a, ndarray) and all(_shares(r, a) for r in parts):
        return _standin.FREE
    return _standin.LAUNCH


def _getitem_cost(result, args, kwargs):
    self, key = args
    items = key if isinstance(key, tuple) else (key,)
    if any(isinstance(k, ndarray) and k.dtype == np.bool_ for k in items):
        return _standin.LAUNCH_AND_READ  # the result's size waits for the mask's count
    if _shares(result, self):
        return _standin.FREE
    return _standin.LAUNCH


_NDARRAY_COSTS = {
    "get": _standin.READ, "item": _standin.READ, "tolist": _standin.READ, "tobytes": _standin.READ,
    "tofile": _standin.READ, "dump": _standin.READ, "dumps": _standin.READ, "__reduce__": _standin.READ,
    "__int__": _standin.READ, "__float__": _standin.READ, "__complex__": _standin.READ,
    "__bool__": _standin.READ, "__repr__": _standin.READ, "__str__": _standin.READ,
    "__format__": _standin.READ, "__bytes__": _standin.READ,
    "set": _standin.FREE,  # the upload is noted where it happens
    "__getitem__": _getitem_cost, "__setitem__": _standin.LAUNCH,
    "astype": view_or_launch, "view": view_or_launch, "reshape": view_or_launch, "transpose": view_or_launch,
    "swapaxes": view_or_launch, "ravel": view_or_launch, "squeeze": view_or_launch,
    "diagonal": view_or_launch, "conj": view_or_launch, "conjugate": view_or_launch,
    "copy": _standin.LAUNCH, "__copy__": _standin.LAUNCH, "__deepcopy__": _standin.LAUNCH,
    "flatten": _standin.LAUNCH, "fill": _standin.LAUNCH, "repeat": _standin.LAUNCH,
    "sort": _standin.LAUNCH, "argsort": _standin.LAUNCH, "partition": _standin.LAUNCH,
    "argpartition": _standin.LAUNCH, "nonzero": _standin.LAUNCH_AND_READ,
    "compress": _standin.LAUNCH_AND_READ, "ptp": _standin.LAUNCH, "round": _standin.LAUNCH,
    "max": _standin.LAUNCH, "min": _standin.LAUNCH, "argmax": _standin.LAUNCH, "argmin": _standin.LAUNCH,
    "sum": _standin.LAUNCH, "prod": _standin.LAUNCH, "cumsum": _standin.LAUNCH, "cumprod": _standin.LAUNCH,
    "mean": _standin.LAUNCH, "var": _standin.LAUNCH, "std": _standin.LAUNCH, "all": _standin.LAUNCH,
    "any": _standin.LAUNCH, "trace": _standin.LAUNCH,
}
# Operators, take, dot, clip, searchsorted and the scatters hand over to counted routines and
# ufuncs, and so are counted there.

for _name, _cost in _NDARRAY_COSTS.items():
    setattr(ndarray, _name, _standin.entry("ndarray." + _name, _cost)(ndarray.__dict__[_name]))

for _name in ("__call__", "reduce", "accumulate", "outer", "at"):
    _label = "" if _name == "__call__" else "." + _name
    setattr(ufunc, _name, _standin.entry(lambda args, _label=_label: "cupy." + args[0].__name__ + _label)(
        ufunc.__dict__[_name]))
del _name, _cost, _label
