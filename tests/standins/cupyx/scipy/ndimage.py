"""cupyx.scipy.ndimage of the numpy-backed stand-in: scipy.ndimage on the arrays behind device
arrays.  Inputs (image, weights, matrices, coordinates) must be device arrays; the result is a
new device array, or the device array given as `output`."""

import numpy as _np
from scipy import ndimage as _ndi

from cupy import _standin
from cupy._core import host as _host, wrap as _wrap, out_array as _out_array, get_dtype as _get_dtype, quiet as _quiet
from cupy._core import ndarray as _ndarray

__all__ = [
    "gaussian_filter", "gaussian_filter1d", "uniform_filter", "uniform_filter1d", "median_filter",
    "minimum_filter", "maximum_filter", "convolve", "correlate", "convolve1d", "correlate1d",
    "affine_transform", "map_coordinates", "zoom", "shift", "rotate", "spline_filter",
    "binary_erosion", "binary_dilation", "label", "distance_transform_edt", "sobel", "laplace",
]


def _array_arg(x, what):
    if x is None or isinstance(x, (int, float)):
        return x
    return _host(x, what)


def _call(fn, input, output, *args, **kwargs):
    x = _host(input, "input")
    if output is None or isinstance(output, (type, _np.dtype, str)):
        if output is not None:
            output = _get_dtype(output)
        return _wrap(fn(x, *args, output=output, **kwargs))
    o = _out_array(output)
    fn(x, *args, output=o._a, **kwargs)
    return o


def gaussian_filter(input, sigma, order=0, output=None, mode="reflect", cval=0.0, truncate=4.0, *,
                    radius=None, axes=None):
    return _call(_ndi.gaussian_filter, input, output, sigma, order=order, mode=mode, cval=cval,
                 truncate=truncate, radius=radius, axes=axes)


def gaussian_filter1d(input, sigma, axis=-1, order=0, output=None, mode="reflect", cval=0.0, truncate=4.0):
    return _call(_ndi.gaussian_filter1d, input, output, sigma, axis=axis, order=order, mode=mode, cval=cval,
                 truncate=truncate)


def uniform_filter(input, size=3, output=None, mode="reflect", cval=0.0, origin=0, *, axes=None):
    return _call(_ndi.uniform_filter, input, output, size, mode=mode, cval=cval, origin=origin, axes=axes)


def uniform_filter1d(input, size, axis=-1, output=None, mode="reflect", cval=0.0, origin=0):
    return _call(_ndi.uniform_filter1d, input, output, size, axis=axis, mode=mode, cval=cval, origin=origin)


def median_filter(input, size=None, footprint=None, output=None, mode="reflect", cval=0.0, origin=0):
    return _call(_ndi.median_filter, input, output, size=size, footprint=_array_arg(footprint, "footprint"),
                 mode=mode, cval=cval, origin=origin)


def minimum_filter(input, size=None, footprint=None, output=None, mode="reflect", cval=0.0, origin=0):
    return _call(_ndi.minimum_filter, input, output, size=size, footprint=_array_arg(footprint, "footprint"),
                 mode=mode, cval=cval, origin=origin)


def maximum_filter(input, size=None, footprint=None, output=None, mode="reflect", cval=0.0, origin=0):
    return _call(_ndi.maximum_filter, input, output, size=size, footprint=_array_arg(footprint, "footprint"),
                 mode=mode, cval=cval, origin=origin)


def convolve(input, weights, output=None, mode="reflect", cval=0.0, origin=0):
    return _call(_ndi.convolve, input, output, _host(weights, "weights"), mode=mode, cval=cval, origin=origin)


def correlate(input, weights, output=None, mode="reflect", cval=0.0, origin=0):
    return _call(_ndi.correlate, input, output, _host(weights, "weights"), mode=mode, cval=cval, origin=origin)


def convolve1d(input, weights, axis=-1, output=None, mode="reflect", cval=0.0, origin=0):
    return _call(_ndi.convolve1d, input, output, _host(weights, "weights"), axis=axis, mode=mode, cval=cval,
                 origin=origin)


def correlate1d(input, weights, axis=-1, output=None, mode="reflect", cval=0.0, origin=0):
    return _call(_ndi.correlate1d, input, output, _host(weights, "weights"), axis=axis, mode=mode, cval=cval,
                 origin=origin)


def _affine_in_box(x, matrix, offset=0.0, output_shape=None, output=None, order=3, mode="constant", cval=0.0,
                   prefilter=True):
    """scipy.ndimage.affine_transform; with order 0 or 1 and a constant border, scipy runs only
    over the box of output pixels that can see the source, the rest is cval: the same values,
    without interpolating a whole frame of nothing on the CPU."""
    def whole():
        return _ndi.affine_transform(x, matrix, offset=offset, output_shape=output_shape, output=output,
                                     order=order, mode=mode, cval=cval, prefilter=prefilter)

    nd = x.ndim
    m = _np.asarray(matrix, _np.float64)
    if order > 1 or mode not in ("constant", "grid-constant") or output_shape is None:
        return whole()
    if m.shape in ((nd, nd + 1), (nd + 1, nd + 1)):
        a, b = m[:nd, :nd], m[:nd, nd]
    elif m.shape == (nd, nd):
        a, b = m, _np.broadcast_to(_np.asarray(offset, _np.float64), (nd,))
    else:
        return whole()
    if not (_np.isfinite(a).all() and _np.isfinite(b).all()) or abs(_np.linalg.det(a)) < 1e-12:
        return whole()
    # output pixels o with a.o + b inside [-1, n] on every axis
    corners = _np.array(_np.meshgrid(*[[-1.0, float(n)] for n in x.shape], indexing="ij")).reshape(nd, -1)
    pts = _np.linalg.solve(a, corners - b[:, None])
    lo = _np.maximum(_np.floor(pts.min(axis=1)), 0).astype(int)
    hi = _np.minimum(_np.ceil(pts.max(axis=1)), _np.array(output_shape) - 1).astype(int)
    dtype = x.dtype if output is None else (output.dtype if isinstance(output, _np.ndarray) else _np.dtype(output))
    res = output if isinstance(output, _np.ndarray) else _np.empty(output_shape, dtype)
    res[...] = cval
    if (lo <= hi).all():
        box = tuple(slice(l, h + 1) for l, h in zip(lo, hi))
        planes = nd == 3 and (a[2] == (0, 0, 1)).all() and (a[:2, 2] == 0).all() and b[2] == 0
        if order == 1 and mode == "grid-constant" and (nd == 2 or planes):
            res[box] = _bilinear(x, a[:2, :2], b[:2] + a[:2, :2] @ lo[:2], hi[:2] - lo[:2] + 1, cval)[
                (Ellipsis,) + tuple(box[2:])]
        else:
            res[box] = _ndi.affine_transform(x, a, offset=b + a @ lo, output_shape=tuple(hi - lo + 1), output=dtype,
                                             order=order, mode=mode, cval=cval, prefilter=prefilter)
    return None if isinstance(output, _np.ndarray) else res


def _bilinear(x, a, b, shape, cval):
    """Order 1, mode grid-constant, over the first two axes of x (the same sampling as scipy's,
    vectorised: scipy's general loop is slow for whole frames)."""
    oy = _np.arange(shape[0], dtype=_np.float64)[:, None]
    ox = _np.arange(shape[1], dtype=_np.float64)[None, :]
    cy = a[0, 0] * oy + a[0, 1] * ox + b[0]
    cx = a[1, 0] * oy + a[1, 1] * ox + b[1]
    y0, x0 = _np.floor(cy), _np.floor(cx)
    fy, fx = cy - y0, cx - x0
    y0, x0 = y0.astype(_np.int64), x0.astype(_np.int64)
    h, w = x.shape[:2]
    flat = x.reshape((h * w,) + x.shape[2:])
    acc = _np.zeros(tuple(shape) + x.shape[2:], _np.float64)
    for dy, wy in ((0, 1.0 - fy), (1, fy)):
        for dx, wx in ((0, 1.0 - fx), (1, fx)):
            yy, xx = y0 + dy, x0 + dx
            inside = (yy >= 0) & (yy < h) & (xx >= 0) & (xx < w)
            val = flat[_np.clip(yy, 0, h - 1) * w + _np.clip(xx, 0, w - 1)]
            wgt = wy * wx
            if x.ndim == 3:
                val, wgt, inside = val, wgt[..., None], inside[..., None]
            acc += _np.where(inside, val, cval) * wgt
    return acc


def affine_transform(input, matrix, offset=0.0, output_shape=None, output=None, order=3, mode="constant",
                     cval=0.0, prefilter=True, *, texture_memory=False, float64_coords=False):
    """scipy computes coordinates in float64 whatever float64_coords says (cupy uses float32 for
    float32 images unless it is set)."""
    if not isinstance(offset, (int, float)):
        offset = _host(offset, "offset")
    return _call(_affine_in_box, input, output, _host(matrix, "matrix"), offset=offset,
                 output_shape=output_shape, order=order, mode=mode, cval=cval, prefilter=prefilter)


def map_coordinates(input, coordinates, output=None, order=3, mode="constant", cval=0.0, prefilter=True):
    return _call(_ndi.map_coordinates, input, output, _host(coordinates, "coordinates"), order=order, mode=mode,
                 cval=cval, prefilter=prefilter)


def zoom(input, zoom, output=None, order=3, mode="constant", cval=0.0, prefilter=True, *, grid_mode=False):
    return _call(_ndi.zoom, input, output, zoom, order=order, mode=mode, cval=cval, prefilter=prefilter,
                 grid_mode=grid_mode)


def shift(input, shift, output=None, order=3, mode="constant", cval=0.0, prefilter=True):
    return _call(_ndi.shift, input, output, shift, order=order, mode=mode, cval=cval, prefilter=prefilter)


def rotate(input, angle, axes=(1, 0), reshape=True, output=None, order=3, mode="constant", cval=0.0,
           prefilter=True):
    return _call(_ndi.rotate, input, output, angle, axes=axes, reshape=reshape, order=order, mode=mode, cval=cval,
                 prefilter=prefilter)


def spline_filter(input, order=3, output=_np.float64, mode="mirror"):
    return _call(_ndi.spline_filter, input, output, order=order, mode=mode)


def binary_erosion(input, structure=None, iterations=1, mask=None, output=None, border_value=0, origin=0,
                   brute_force=False):
    return _call(_ndi.binary_erosion, input, output, _array_arg(structure, "structure"), iterations=iterations,
                 mask=_array_arg(mask, "mask"), border_value=border_value, origin=origin, brute_force=brute_force)


def binary_dilation(input, structure=None, iterations=1, mask=None, output=None, border_value=0, origin=0,
                    brute_force=False):
    return _call(_ndi.binary_dilation, input, output, _array_arg(structure, "structure"), iterations=iterations,
                 mask=_array_arg(mask, "mask"), border_value=border_value, origin=origin, brute_force=brute_force)


def label(input, structure=None, output=None):
    lab, n = _ndi.label(_host(input, "input"), _array_arg(structure, "structure"))
    return _wrap(lab), n


def distance_transform_edt(image, sampling=None, return_distances=True, return_indices=False):
    res = _ndi.distance_transform_edt(_host(image, "image"), sampling, return_distances, return_indices)
    if isinstance(res, tuple):
        return tuple(_wrap(r) for r in res)
    return _wrap(res)


def sobel(input, axis=-1, output=None, mode="reflect", cval=0.0):
    return _call(_ndi.sobel, input, output, axis=axis, mode=mode, cval=cval)


def laplace(input, output=None, mode="reflect", cval=0.0):
    return _call(_ndi.laplace, input, output, mode=mode, cval=cval)


def _label_cost(result, args, kwargs):
    return _standin.LAUNCH_AND_READ  # the number of labels comes back to the host


def _offset_cost(result, args, kwargs):
    # cupy reads an offset given as a device array one value at a time
    offset = args[2] if len(args) > 2 else kwargs.get("offset", 0.0)
    reads = offset.size if isinstance(offset, _ndarray) else 0
    return (1, 0, reads)


_COSTS = {"label": _label_cost, "affine_transform": _offset_cost}

for _n in __all__:
    globals()[_n] = _standin.entry("cupyx.scipy.ndimage." + _n, _COSTS.get(_n, _standin.LAUNCH))(
        _quiet(globals()[_n]))
del _n
