// rastrix: corvanta's GPU image library (a top-level module, imported by the package as `rx`).
//
// Every operation takes and returns device arrays of the array library bound to the module
// global `cp` (cupy); a host array or nested list given as an image is uploaded first. The work
// stays on the device: apart from to_numpy, the only device values read back to the host are the
// six entries of the matrix given to get_inverse_matrix. Weights of resizes and blurs are computed
// on the host in double precision, uploaded once and kept on the device in a small bounded cache
// per device.
//
// Conventions
//  * Images are height x width x channels (resize, affine_transform and GaussianBlur also take
//    a 2-D height x width array), channels in RGB order, float values in [0, 1]. to_float32 maps
//    uint8 0..255 and uint16 0..65535 onto [0, 1].
//  * Element types: resize, affine_transform and GaussianBlur compute in float64 for float64
//    images and in float32 otherwise; a result keeps the element type of a floating input, and
//    integer or bool inputs are rounded (half up) and clipped back into their own type. Every
//    result is a new C-contiguous array (except GaussianBlur with ksize 0, see below).
//  * resize, size (width, height): a pixel covers [i, i + 1) of its axis (half-pixel centres).
//    With s = input / output along an axis, output pixel j stands for the span [j*s, (j+1)*s):
//      INTER_AREA     the mean over that span, partial pixels weighted by their overlap (on an
//                     axis that grows, this replicates pixels and blends only where a span
//                     straddles two of them);
//      INTER_LINEAR   bilinear at the span's centre, (j + 0.5)*s - 0.5 in pixel-centre
//                     coordinates; the edge pixels repeat past the edge; no antialiasing;
//      INTER_NEAREST  the pixel under the span's centre;
//      INTER_AUTO     per axis: INTER_AREA where the axis shrinks, INTER_LINEAR where it grows.
//  * affine_transform(image, M, (height, width)): pixel centres lie at integer coordinates and M
//    maps a source pixel (x, y, 1) to an output pixel, so the source pixel at p lands at M.p.
//    Each output pixel q is sampled at M^-1.q, bilinearly, over the source extended by zeros:
//    outside the warped source the output is 0, and within one pixel of its edge it fades to 0.
//    A singular or non-finite M gives an all-zero image (a singular map has no inverse to sample
//    through); get_inverse_matrix raises ValueError for one.
//  * Batches: N x C x H x W float32 (C is 3 for the package's images), C-contiguous. Images are
//    first brought to float32 by to_float32's rule (so uint8 0..255 becomes [0, 1]) and resized
//    with INTER_AUTO where their size differs from the batch's. Normalisation is
//    (x - mean) / std with a scalar or per-channel mean and std; per-channel values follow the
//    batch's channel order, that is, they apply after swap_rb. swap_rb swaps channels 0 and 2
//    (RGB <-> BGR) on the way into a batch and again on the way out. batch_to_images undoes the
//    normalisation (x * std + mean) only when given std or mean, returns float32 images and
//    does not clip.
//  * GaussianBlur.get(image, ksize, sigma): separable, normalised kernel of ksize taps, per
//    channel; sigma <= 0 takes 0.3 * ((ksize - 1) * 0.5 - 1) + 0.8. Borders reflect without
//    repeating the edge pixel (d c b | a b c d | c b a). An even ksize has no centre tap: its
//    kernel is centred half a pixel before the output pixel (taps at offsets -ksize/2 to
//    ksize/2 - 1). ksize 0 returns the image itself, not a copy.
//  * Converters: `tensorrt` is imported when a converter runs. Precision "bf16", "fp16" or "tf32"
//    sets that builder flag; "fp32" also turns off TF32, which the builder enables by default.
//    Dynamic shapes: the ranges fill only the dimensions the model leaves open. The engine is
//    built completely, then written to a temporary file beside the target, flushed and renamed
//    over the target, so an interrupted or failed build never leaves a partial engine there.
#include <kit.h>

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nb = nanobind;
using kit::Call;

namespace {

enum Interp : int { kNearest = 0, kLinear = 1, kArea = 2, kAuto = 3 };

// ---- small Python helpers -------------------------------------------------------------------

nb::object steal_or_throw(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

nb::object getitem(nb::handle o, nb::handle key) { return steal_or_throw(PyObject_GetItem(o.ptr(), key.ptr())); }

void setitem(nb::handle o, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(o.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
}

nb::object slice(Py_ssize_t start, Py_ssize_t stop) {
    return steal_or_throw(PySlice_New(nb::int_(start).ptr(), nb::int_(stop).ptr(), nullptr));
}

nb::object slice(Py_ssize_t start, Py_ssize_t stop, Py_ssize_t step) {
    return steal_or_throw(PySlice_New(nb::int_(start).ptr(), nb::int_(stop).ptr(), nb::int_(step).ptr()));
}

nb::object full_slice() { return steal_or_throw(PySlice_New(nullptr, nullptr, nullptr)); }

nb::object reverse_slice() { return steal_or_throw(PySlice_New(nullptr, nullptr, nb::int_(-1).ptr())); }

nb::object compare(nb::handle a, nb::handle b, int op) {
    return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

nb::object matmul(nb::handle a, nb::handle b) {
    return steal_or_throw(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
}

nb::object f(double v) { return nb::float_(v); }

// An integer argument (int or anything with __index__; bool and float refused).
Py_ssize_t as_index(nb::handle h, const char *what) {
    if (PyBool_Check(h.ptr()) || PyFloat_Check(h.ptr()))
        kit::raise(PyExc_TypeError, "%s must be an integer, not %.200s", what, Py_TYPE(h.ptr())->tp_name);
    nb::object i = nb::steal(PyNumber_Index(h.ptr()));
    if (!i.is_valid()) {
        PyErr_Clear();
        kit::raise(PyExc_TypeError, "%s must be an integer, not %.200s", what, Py_TYPE(h.ptr())->tp_name);
    }
    Py_ssize_t v = PyLong_AsSsize_t(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

double as_real(nb::handle h, const char *what) {
    double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        kit::raise(PyExc_TypeError, "%s must be a real number, not %.200s", what, Py_TYPE(h.ptr())->tp_name);
    }
    return v;
}

bool is_sequence(nb::handle h) { return PyList_Check(h.ptr()) || PyTuple_Check(h.ptr()); }

std::vector<Py_ssize_t> shape_of(nb::handle arr) {
    nb::object shp = arr.attr("shape");
    std::vector<Py_ssize_t> out;
    for (nb::handle d : shp) out.push_back(as_index(d, "a dimension"));
    return out;
}

std::string str_of(nb::handle h) { return nb::cast<std::string>(nb::str(h)); }

// ---- element types --------------------------------------------------------------------------

struct DType {
    char kind;        // 'f', 'u', 'i', 'b'
    long itemsize;
    std::string name;
    nb::object obj;
};

DType dtype_of(nb::handle arr) {
    nb::object dt = arr.attr("dtype");
    DType d;
    std::string kind = str_of(dt.attr("kind"));
    d.kind = kind.empty() ? '?' : kind[0];
    d.itemsize = nb::cast<long>(dt.attr("itemsize"));
    d.name = str_of(dt.attr("name"));
    d.obj = dt;
    if (d.kind != 'f' && d.kind != 'u' && d.kind != 'i' && d.kind != 'b')
        kit::raise(PyExc_TypeError, "images of element type %s are not supported", d.name.c_str());
    return d;
}

// The type an operation computes in: float64 for float64 images, float32 otherwise.
const char *compute_type(const DType &d) { return (d.kind == 'f' && d.itemsize == 8) ? "float64" : "float32"; }

nb::object astype(nb::handle arr, const char *dtype) { return arr.attr("astype")(dtype); }

// A C-contiguous array with the values of x (x itself when it already is one).
nb::object contiguous(const Call &c, nb::handle x) {
    if (kit::truth(x.attr("flags").attr("c_contiguous"))) return nb::borrow(x);
    nb::object out = c.g("cp").attr("empty")(x.attr("shape"), nb::arg("dtype") = x.attr("dtype"));
    setitem(out, nb::handle(Py_Ellipsis), x);
    return out;
}

// Brings a result computed in float back to the element type of the input.
nb::object finish(const Call &c, nb::object x, const DType &d) {
    nb::object cp = c.g("cp");
    if (d.kind == 'f') {
        if (str_of(x.attr("dtype").attr("name")) != d.name) x = x.attr("astype")(d.obj);
        return contiguous(c, x);
    }
    if (d.kind == 'b') return contiguous(c, compare(x, f(0.5), Py_GE));
    double lo, hi;
    int bits = (int) d.itemsize * 8;
    if (d.kind == 'u') {
        lo = 0.0;
        hi = std::ldexp(1.0, bits) - 1.0;
    } else {
        lo = -std::ldexp(1.0, bits - 1);
        hi = std::ldexp(1.0, bits - 1) - 1.0;
    }
    x = cp.attr("clip")(cp.attr("floor")(x + f(0.5)), f(lo), f(hi));
    return contiguous(c, x.attr("astype")(d.obj));
}

// ---- host-built weight matrices -------------------------------------------------------------

// Values computed on the host (row-major, of the given shape) uploaded as a device array of the
// compute type.
nb::object upload(const Call &c, const std::vector<double> &w, const std::vector<size_t> &shape, const char *ctype) {
    nb::object host;
    if (std::strcmp(ctype, "float64") == 0) {
        auto buf = std::make_unique<std::vector<double>>(w);
        double *data = buf->data();
        nb::capsule owner(buf.get(), [](void *p) noexcept { delete static_cast<std::vector<double> *>(p); });
        buf.release();
        host = nb::ndarray<nb::numpy, double>(data, shape.size(), shape.data(), owner).cast();
    } else {
        auto buf = std::make_unique<std::vector<float>>(w.begin(), w.end());
        float *data = buf->data();
        nb::capsule owner(buf.get(), [](void *p) noexcept { delete static_cast<std::vector<float> *>(p); });
        buf.release();
        host = nb::ndarray<nb::numpy, float>(data, shape.size(), shape.data(), owner).cast();
    }
    return c.g("cp").attr("asarray")(host);
}

// ---- device cache ---------------------------------------------------------------------------

// Arrays that depend only on a few numbers (resize weights, blur taps, per-channel values) are
// made once per device and kept in the module's `_device_cache`, a dict used as a small
// least-recently-used cache: at most kCacheEntries arrays and kCacheBytes bytes (the newest
// entry always stays).
constexpr Py_ssize_t kCacheEntries = 64;
constexpr long long kCacheBytes = 256ll << 20;

template <class Make>
nb::object device_cached(const Call &c, nb::handle key, Make make) {
    nb::object cache = c.g("_device_cache");
    if (!PyDict_Check(cache.ptr())) kit::raise(PyExc_TypeError, "rastrix._device_cache must be a dict");
    nb::object full = nb::make_tuple(key, c.g("cp").attr("cuda").attr("runtime").attr("getDevice")());
    PyObject *hit = PyDict_GetItemWithError(cache.ptr(), full.ptr());
    if (hit) {
        nb::object value = nb::borrow(hit);
        if (PyDict_DelItem(cache.ptr(), full.ptr()) < 0 || PyDict_SetItem(cache.ptr(), full.ptr(), value.ptr()) < 0)
            throw nb::python_error();
        return value;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object value = make();
    if (PyDict_SetItem(cache.ptr(), full.ptr(), value.ptr()) < 0) throw nb::python_error();
    for (;;) {
        Py_ssize_t n = PyDict_Size(cache.ptr());
        if (n <= 1) break;
        long long bytes = 0;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(cache.ptr(), &pos, &k, &v)) bytes += nb::cast<long long>(nb::handle(v).attr("nbytes"));
        if (n <= kCacheEntries && bytes <= kCacheBytes) break;
        pos = 0;
        PyDict_Next(cache.ptr(), &pos, &k, &v);
        nb::object oldest = nb::borrow(k);
        if (PyDict_DelItem(cache.ptr(), oldest.ptr()) < 0) throw nb::python_error();
    }
    return value;
}

// Weights of a 1-D resize from n_in to n_out pixels, n_out x n_in, row-major.
std::vector<double> resize_weights(Py_ssize_t n_in, Py_ssize_t n_out, int mode) {
    std::vector<double> w((size_t) (n_in * n_out), 0.0);
    const double s = (double) n_in / (double) n_out;
    if (mode == kAuto) mode = n_out < n_in ? kArea : kLinear;
    for (Py_ssize_t j = 0; j < n_out; ++j) {
        double *row = &w[(size_t) (j * n_in)];
        if (mode == kNearest) {
            Py_ssize_t x = (Py_ssize_t) std::floor((j + 0.5) * s);
            row[std::clamp<Py_ssize_t>(x, 0, n_in - 1)] = 1.0;
        } else if (mode == kLinear) {
            double u = std::clamp((j + 0.5) * s - 0.5, 0.0, (double) (n_in - 1));
            Py_ssize_t x0 = (Py_ssize_t) std::floor(u);
            Py_ssize_t x1 = std::min(x0 + 1, n_in - 1);
            double fr = u - (double) x0;
            row[x0] += 1.0 - fr;
            row[x1] += fr;
        } else {  // area
            const double a = j * s, b = (j + 1) * s;
            Py_ssize_t x_lo = (Py_ssize_t) std::floor(a);
            Py_ssize_t x_hi = std::min((Py_ssize_t) std::ceil(b), n_in);
            double total = 0.0;
            for (Py_ssize_t x = x_lo; x < x_hi; ++x) {
                double ov = std::min(b, (double) (x + 1)) - std::max(a, (double) x);
                if (ov > 0) {
                    row[x] = ov;
                    total += ov;
                }
            }
            for (Py_ssize_t x = x_lo; x < x_hi; ++x) row[x] /= total;
        }
    }
    return w;
}

// ---- separable application ------------------------------------------------------------------

// An image as the separable operations see it: H x W or H x W x C, in the compute type.
struct Planar {
    nb::object x;
    Py_ssize_t h, w, ch;  // ch 0 for a 2-D image
};

Planar planar(const Call &c, nb::handle image, DType *dt, const char *what) {
    nb::object arr = c.g("cp").attr("asarray")(image);
    std::vector<Py_ssize_t> s = shape_of(arr);
    if (s.size() != 2 && s.size() != 3)
        kit::raise(PyExc_ValueError, "%s: expected an image of 2 or 3 dimensions, got %zd", what, (Py_ssize_t) s.size());
    if (s[0] < 1 || s[1] < 1) kit::raise(PyExc_ValueError, "%s: the image is empty", what);
    *dt = dtype_of(arr);
    nb::object x = arr.attr("astype")(compute_type(*dt), nb::arg("copy") = false);
    Planar p{x, s[0], s[1], s.size() == 3 ? s[2] : 0};
    return p;
}

// The weights of a 1-D resize (n_out x n_in, compute type), kept on the device.
nb::object resize_matrix(const Call &c, Py_ssize_t n_in, Py_ssize_t n_out, int mode, const char *ctype) {
    return device_cached(c, nb::make_tuple("resize", n_in, n_out, mode, ctype), [&] {
        return upload(c, resize_weights(n_in, n_out, mode), {(size_t) n_out, (size_t) n_in}, ctype);
    });
}

// The resize itself, shared by resize and the batch builders: one matrix product per axis that
// changes, the rows' as (n_h x h) . (h x w*C), the columns' as (n_w x w) . (w x C) for each row,
// in the cheaper order. Both products leave a C-contiguous H x W x C array: no layout pass.
nb::object resize_array(const Call &c, nb::handle image, Py_ssize_t out_w, Py_ssize_t out_h, int mode) {
    if (out_w < 1 || out_h < 1)
        kit::raise(PyExc_ValueError, "resize: size must be positive, got (%zd, %zd)", out_w, out_h);
    DType dt;
    Planar p = planar(c, image, &dt, "resize");
    const char *ctype = compute_type(dt);
    if (out_h == p.h && out_w == p.w) return finish(c, p.x.attr("copy")(), dt);  // same size: still a new array

    nb::object cp = c.g("cp");
    const Py_ssize_t ch = p.ch ? p.ch : 1;
    nb::object x = p.x.attr("reshape")(p.h, p.w, ch);
    Py_ssize_t h = p.h;
    auto rows = [&] {
        nb::object r = cp.attr("matmul")(resize_matrix(c, h, out_h, mode, ctype), x.attr("reshape")(h, -1));
        x = r.attr("reshape")(out_h, -1, ch);
        h = out_h;
    };
    auto cols = [&] { x = cp.attr("matmul")(resize_matrix(c, p.w, out_w, mode, ctype), x); };
    const double H = (double) p.h, W = (double) p.w, NH = (double) out_h, NW = (double) out_w;
    if (out_h == p.h) cols();
    else if (out_w == p.w) rows();
    else if (NH * H * W + NH * W * NW <= H * W * NW + NH * H * NW) rows(), cols();
    else cols(), rows();
    if (!p.ch) x = x.attr("reshape")(out_h, out_w);
    return finish(c, x, dt);
}

// ---- resize ---------------------------------------------------------------------------------

nb::object resize(Call &c) {
    auto wh = kit::unpack<2>(c[1]);
    Py_ssize_t w = as_index(wh[0], "resize: width"), h = as_index(wh[1], "resize: height");
    Py_ssize_t mode = as_index(c[2], "resize: interpolation");
    if (mode < kNearest || mode > kAuto) kit::raise(PyExc_ValueError, "resize: unknown interpolation %zd", mode);
    return resize_array(c, c[0], w, h, (int) mode);
}

// ---- affine matrices ------------------------------------------------------------------------

struct Affine {
    double a, b, tx, c, d, ty;  // [[a, b, tx], [c, d, ty]]
};

Affine read_matrix(const Call &c, nb::handle M, const char *what) {
    nb::object host = c.g("cp").attr("asnumpy")(M);
    std::vector<Py_ssize_t> s = shape_of(host);
    if (s.size() != 2 || (s[0] != 2 && s[0] != 3) || s[1] != 3)
        kit::raise(PyExc_ValueError, "%s: expected a 2 x 3 matrix, got shape %s", what,
                   str_of(host.attr("shape")).c_str());
    nb::object vals = host.attr("astype")("float64").attr("ravel")().attr("tolist")();
    double v[6];
    for (int i = 0; i < 6; ++i) v[i] = nb::cast<double>(nb::handle(PyList_GET_ITEM(vals.ptr(), i)));
    return Affine{v[0], v[1], v[2], v[3], v[4], v[5]};
}

Affine invert(const Affine &m, const char *what) {
    const double det = m.a * m.d - m.b * m.c;
    const double scale = std::max({std::fabs(m.a), std::fabs(m.b), std::fabs(m.c), std::fabs(m.d)});
    if (!std::isfinite(det) || !std::isfinite(m.tx) || !std::isfinite(m.ty) || scale == 0.0 ||
        std::fabs(det) <= 1e-12 * scale * scale)
        kit::raise(PyExc_ValueError, "%s: the affine matrix is singular or not finite", what);
    Affine r;
    r.a = m.d / det;
    r.b = -m.b / det;
    r.c = -m.c / det;
    r.d = m.a / det;
    r.tx = -(r.a * m.tx + r.b * m.ty);
    r.ty = -(r.c * m.tx + r.d * m.ty);
    return r;
}

nb::object get_inverse_matrix(Call &c) {
    Affine r = invert(read_matrix(c, c[0], "get_inverse_matrix"), "get_inverse_matrix");
    nb::list rows;
    rows.append(nb::make_tuple(r.a, r.b, r.tx));
    rows.append(nb::make_tuple(r.c, r.d, r.ty));
    return c.g("cp").attr("asarray")(rows, nb::arg("dtype") = "float64");
}

// ---- affine_transform -----------------------------------------------------------------------

// What the interpolation makes of a singular or non-finite matrix: every entry of the sampling
// map that is not finite becomes this, which sends every output pixel (whose coordinates are
// not negative) far below the source, so the output is all zero. Small enough that sampling
// coordinates and bilinear weights stay well inside float range.
constexpr double kOutside = -1e9;

// The sampling map for `ndimage.affine_transform`, built on the device from the 2 x 3 matrix M
// (no host read): nd x (nd + 1), rows (y, x[, channel]), the last column the offset, so that
// output pixel q samples the source at T[:, :nd] . q + T[:, nd]. With M = [[a, b, tx], [c, d,
// ty]] in (x, y) order, the map in (y, x) order is R = [[a, -c], [-b, d]] / det and offset
// -R . (ty, tx).
nb::object sampling_map(const Call &c, nb::handle M, Py_ssize_t nd) {
    nb::object cp = c.g("cp");
    nb::object arr = cp.attr("asarray")(M);
    std::vector<Py_ssize_t> s = shape_of(arr);
    if (s.size() != 2 || (s[0] != 2 && s[0] != 3) || s[1] != 3)
        kit::raise(PyExc_ValueError, "affine_transform: expected a 2 x 3 matrix, got shape %s",
                   str_of(arr.attr("shape")).c_str());
    if (s[0] == 3) arr = getitem(arr, slice(0, 2));
    // m = [a, b, tx, c, d, ty]
    nb::object m = cp.attr("ascontiguousarray")(arr, nb::arg("dtype") = "float64").attr("ravel")();
    const Py_ssize_t cols = nd + 1;
    // 3-D images: the channel row (0, 0, 1, 0) and a zero channel column come from eye; a 2-D
    // map has every entry written below.
    nb::object T = nd == 3 ? cp.attr("eye")(nd, cols, nb::arg("dtype") = "float64")
                           : cp.attr("empty")(nb::make_tuple(nd, cols), nb::arg("dtype") = "float64");
    nb::object Tf = T.attr("ravel")();
    setitem(Tf, slice(0, cols + 2, cols + 1), getitem(m, slice(0, 5, 4)));                       // a, d
    cp.attr("negative")(getitem(m, slice(3, 0, -2)), nb::arg("out") = getitem(Tf, slice(1, cols + 1, cols - 1)));  // -c, -b
    nb::object rows = getitem(T, slice(0, 2));
    nb::object det = cp.attr("dot")(getitem(T, nb::make_tuple(0, slice(0, 2))), getitem(m, slice(4, 0, -3)));  // ad - bc
    cp.attr("divide")(rows, det, nb::arg("out") = rows);
    nb::object shift = cp.attr("matmul")(getitem(T, nb::make_tuple(slice(0, 2), slice(0, 2))), getitem(m, slice(5, 1, -3)));
    cp.attr("negative")(shift, nb::arg("out") = getitem(T, nb::make_tuple(slice(0, 2), nd)));
    cp.attr("nan_to_num")(T, nb::arg("copy") = false, nb::arg("nan") = kOutside, nb::arg("posinf") = kOutside,
                          nb::arg("neginf") = kOutside);
    return T;
}

nb::object affine_transform(Call &c) {
    nb::object cp = c.g("cp");
    DType dt;
    Planar p = planar(c, c[0], &dt, "affine_transform");
    auto hw = kit::unpack<2>(c[2]);
    Py_ssize_t out_h = as_index(hw[0], "affine_transform: height");
    Py_ssize_t out_w = as_index(hw[1], "affine_transform: width");
    if (out_h < 1 || out_w < 1)
        kit::raise(PyExc_ValueError, "affine_transform: size must be positive, got (%zd, %zd)", out_h, out_w);
    const Py_ssize_t nd = p.ch ? 3 : 2;
    nb::object T = sampling_map(c, c[1], nd);
    nb::object out_shape = p.ch ? nb::make_tuple(out_h, out_w, p.ch) : nb::make_tuple(out_h, out_w);
    // One bilinear pass over the output, pixel centres at integer coordinates, zero outside the
    // source; coordinates in float64 whatever the image type (cupy 14 computes them in float32
    // for float32 images unless asked; cupy 13 always in float64 and has no such keyword).
    nb::dict kw;
    kw["output_shape"] = out_shape;
    kw["order"] = 1;
    kw["mode"] = "grid-constant";
    kw["cval"] = 0.0;
    kw["prefilter"] = false;
    if (kit::truth(c.g("_warp_float64_coords"))) kw["float64_coords"] = true;
    nb::object out = c.g("ndimage").attr("affine_transform")(p.x, T, **kw);
    return finish(c, out, dt);
}

// ---- element types --------------------------------------------------------------------------

nb::object float32_of(const Call &c, nb::handle image) {
    nb::object arr = c.g("cp").attr("asarray")(image);
    DType d = dtype_of(arr);
    if (d.kind == 'f' && d.itemsize == 4) return arr;
    // uint8 and uint16: converted and scaled in one pass
    nb::object cp = c.g("cp");
    if (d.kind == 'u' && d.itemsize == 1) return cp.attr("divide")(arr, 255.0, nb::arg("dtype") = "float32");
    if (d.kind == 'u' && d.itemsize == 2) return cp.attr("divide")(arr, 65535.0, nb::arg("dtype") = "float32");
    return astype(arr, "float32");
}

nb::object to_float32(Call &c) { return float32_of(c, c[0]); }

nb::object to_numpy(Call &c) { return c.g("cp").attr("asnumpy")(c[0]); }

// ---- batches --------------------------------------------------------------------------------

enum class Layout { HWC, CHW };

// Per-channel values from a number, or a sequence or 1-D array of one or `ch` numbers.
std::vector<double> per_channel(nb::handle v, Py_ssize_t ch, const char *what) {
    std::vector<double> out;
    bool many = is_sequence(v);
    if (!many && nb::hasattr(v, "ndim")) many = nb::cast<long>(v.attr("ndim")) >= 1;
    if (many) {
        for (nb::handle e : v) out.push_back(as_real(e, what));
        if (out.size() == 1) out.assign((size_t) ch, out[0]);
        if ((Py_ssize_t) out.size() != ch)
            kit::raise(PyExc_ValueError, "%s: expected 1 or %zd values, got %zd", what, ch, (Py_ssize_t) out.size());
    } else {
        out.assign((size_t) ch, as_real(v, what));
    }
    return out;
}

void check_std(const std::vector<double> &std_, const char *what) {
    for (double s : std_)
        if (s == 0.0 || !std::isfinite(s)) kit::raise(PyExc_ValueError, "%s: std must be finite and non-zero", what);
}

// Batch size as (width, height); none for the images' own size.
bool batch_size(nb::handle size, Py_ssize_t *w, Py_ssize_t *h, const char *what) {
    if (size.is_none()) return false;
    if (is_sequence(size)) {
        if (PyObject_Length(size.ptr()) != 2)
            kit::raise(PyExc_ValueError, "%s: size must be one side or (width, height)", what);
        auto wh = kit::unpack<2>(size);
        *w = as_index(wh[0], "size: width");
        *h = as_index(wh[1], "size: height");
    } else {
        *w = *h = as_index(size, "size");
    }
    if (*w < 1 || *h < 1) kit::raise(PyExc_ValueError, "%s: size must be positive, got (%zd, %zd)", what, *w, *h);
    return true;
}

// Per-channel values as the elementwise operations take them: a number when every channel has
// the same value, else a float32 device array of `shape` (C x 1 x 1 against a batch row, C
// against an H x W x C image), kept in the device cache.
nb::object channel_values(const Call &c, const std::vector<double> &v, const std::vector<size_t> &shape) {
    if (std::all_of(v.begin(), v.end(), [&](double x) { return x == v[0]; })) return nb::float_(v[0]);
    nb::list key;
    for (double x : v) key.append(nb::float_(x));
    return device_cached(c, nb::make_tuple("channels", nb::tuple(key), shape.size()),
                         [&] { return upload(c, v, shape, "float32"); });
}

nb::object build_batch(const Call &c, std::vector<nb::object> images, nb::handle size, nb::handle mean,
                       nb::handle stdv, bool swap_rb, const std::string &layout, const char *what) {
    nb::object cp = c.g("cp");
    Layout lay;
    if (layout == "HWC") lay = Layout::HWC;
    else if (layout == "CHW") lay = Layout::CHW;
    else kit::raise(PyExc_ValueError, "%s: layout must be \"HWC\" or \"CHW\", got \"%s\"", what, layout.c_str());

    Py_ssize_t W = 0, H = 0;
    bool sized = batch_size(size, &W, &H, what);
    const Py_ssize_t n = (Py_ssize_t) images.size();
    if (n == 0) {
        if (!sized) kit::raise(PyExc_ValueError, "%s: no images and no size", what);
        return cp.attr("zeros")(nb::make_tuple(0, 3, H, W), nb::arg("dtype") = "float32");
    }

    // Bring every image to H x W x C float32 (a view where nothing needs computing).
    Py_ssize_t C = -1;
    for (nb::object &img : images) {
        nb::object arr = float32_of(c, img);
        std::vector<Py_ssize_t> s = shape_of(arr);
        if (s.size() != 3)
            kit::raise(PyExc_ValueError, "%s: expected images of 3 dimensions, got %zd", what, (Py_ssize_t) s.size());
        if (lay == Layout::CHW) {
            arr = arr.attr("transpose")(1, 2, 0);
            s = {s[1], s[2], s[0]};
        }
        if (C < 0) C = s[2];
        else if (s[2] != C) kit::raise(PyExc_ValueError, "%s: images differ in their channel count", what);
        if (!sized) {
            W = s[1];
            H = s[0];
            sized = true;
        }
        if (s[0] != H || s[1] != W) arr = resize_array(c, arr, W, H, kAuto);
        img = arr;
    }
    if (swap_rb && C < 3) kit::raise(PyExc_ValueError, "%s: swap_rb needs 3 channels, got %zd", what, C);
    std::vector<double> mu = per_channel(mean, C, "mean"), sd = per_channel(stdv, C, "std");
    check_std(sd, what);

    // Each row is written once, by the subtraction, through a channels-first view of its image
    // (channels reversed for swap_rb); one division then normalises the whole batch.
    nb::object out = cp.attr("empty")(nb::make_tuple(n, C, H, W), nb::arg("dtype") = "float32");
    nb::object mu_b = channel_values(c, mu, {(size_t) C, 1, 1}), sd_b = channel_values(c, sd, {(size_t) C, 1, 1});
    nb::object subtract = cp.attr("subtract");
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object chw = images[(size_t) i].attr("transpose")(2, 0, 1);
        nb::object row = getitem(out, nb::int_(i));
        if (swap_rb && C == 3) chw = getitem(chw, reverse_slice());
        subtract(chw, mu_b, nb::arg("out") = row);
        if (swap_rb && C > 3)  // channels 0 and 2 trade places; the others stay
            for (Py_ssize_t ch : {0, 2})
                subtract(getitem(chw, nb::int_(2 - ch)), f(mu[(size_t) ch]), nb::arg("out") = getitem(row, nb::int_(ch)));
    }
    cp.attr("divide")(out, sd_b, nb::arg("out") = out);
    return out;
}

nb::object images_to_batch(Call &c) {
    std::vector<nb::object> images;
    if (is_sequence(c[0])) {
        for (nb::handle h : c[0]) images.push_back(nb::borrow(h));
    } else {
        nb::object arr = c.g("cp").attr("asarray")(c[0]);
        if (nb::cast<long>(arr.attr("ndim")) == 4) {
            Py_ssize_t n = shape_of(arr)[0];
            for (Py_ssize_t i = 0; i < n; ++i) images.push_back(getitem(arr, nb::int_(i)));
        } else {
            images.push_back(arr);
        }
    }
    return build_batch(c, std::move(images), c[1], c[2], c[3], kit::truth(c[4]),
                       nb::cast<std::string>(c[5]), "images_to_batch");
}

nb::object image_to_batch(Call &c) {
    if (is_sequence(c[0])) kit::raise(PyExc_TypeError, "image_to_batch takes one image; use images_to_batch for a list");
    std::vector<nb::object> images{nb::borrow(c[0])};
    return build_batch(c, std::move(images), c[1], c[2], c[3], kit::truth(c[4]),
                       nb::cast<std::string>(c[5]), "image_to_batch");
}

nb::object batch_to_images(Call &c) {
    nb::object cp = c.g("cp");
    nb::object batch = cp.attr("asarray")(c[0]);
    const bool swap_rb = kit::truth(c[1]);
    std::string layout = nb::cast<std::string>(c[2]);
    bool nchw;
    if (layout == "NCHW") nchw = true;
    else if (layout == "NHWC") nchw = false;
    else kit::raise(PyExc_ValueError, "batch_to_images: layout must be \"NCHW\" or \"NHWC\", got \"%s\"", layout.c_str());
    std::vector<Py_ssize_t> s = shape_of(batch);
    if (s.size() != 4)
        kit::raise(PyExc_ValueError, "batch_to_images: expected a batch of 4 dimensions, got %zd", (Py_ssize_t) s.size());
    const Py_ssize_t n = s[0], C = nchw ? s[1] : s[3], H = nchw ? s[2] : s[1], W = nchw ? s[3] : s[2];
    if (swap_rb && C < 3) kit::raise(PyExc_ValueError, "batch_to_images: swap_rb needs 3 channels, got %zd", C);
    const bool denorm = !c.none(3) || !c.none(4);
    std::vector<double> sd = c.none(3) ? std::vector<double>((size_t) C, 1.0) : per_channel(c[3], C, "std");
    std::vector<double> mu = c.none(4) ? std::vector<double>((size_t) C, 0.0) : per_channel(c[4], C, "mean");

    // The values of image channel ch come from batch channel src(ch), so do its std and mean.
    auto src = [&](Py_ssize_t ch) { return swap_rb && (ch == 0 || ch == 2) ? 2 - ch : ch; };
    std::vector<double> sd_i((size_t) C), mu_i((size_t) C);
    for (Py_ssize_t ch = 0; ch < C; ++ch) sd_i[(size_t) ch] = sd[(size_t) src(ch)], mu_i[(size_t) ch] = mu[(size_t) src(ch)];
    nb::object sd_v, mu_v;
    if (denorm) sd_v = channel_values(c, sd_i, {(size_t) C}), mu_v = channel_values(c, mu_i, {(size_t) C});

    // Each image is written once through a channels-last view of its batch row (channels
    // reversed for swap_rb), converting to float32 on the way; undoing the normalisation adds a
    // second pass.
    nb::object all = full_slice();
    nb::list result;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object img = cp.attr("empty")(nb::make_tuple(H, W, C), nb::arg("dtype") = "float32");
        nb::object hwc = getitem(batch, nb::int_(i));
        if (nchw) hwc = hwc.attr("transpose")(1, 2, 0);
        if (swap_rb && C == 3) hwc = getitem(hwc, nb::make_tuple(all, all, reverse_slice()));
        auto put = [&](nb::handle from, nb::handle to, nb::handle scale, nb::handle shift) {
            if (denorm) {
                cp.attr("multiply")(from, scale, nb::arg("out") = to);
                cp.attr("add")(to, shift, nb::arg("out") = to);
            } else {
                setitem(to, nb::handle(Py_Ellipsis), from);
            }
        };
        put(hwc, img, sd_v, mu_v);
        if (swap_rb && C > 3)  // channels 0 and 2 trade places; the others stay
            for (Py_ssize_t ch : {0, 2}) {
                nb::object to = getitem(img, nb::make_tuple(all, all, ch));
                put(getitem(hwc, nb::make_tuple(all, all, 2 - ch)), to, f(sd_i[(size_t) ch]), f(mu_i[(size_t) ch]));
            }
        result.append(img);
    }
    return result;
}

// ---- GaussianBlur ---------------------------------------------------------------------------

nb::object blur_get(Call &c) {
    nb::handle image = c[1];
    Py_ssize_t ksize = as_index(c[2], "ksize");
    double sigma = c.f(3);
    if (ksize < 0) kit::raise(PyExc_ValueError, "GaussianBlur.get: ksize must not be negative, got %zd", ksize);
    if (std::isnan(sigma)) kit::raise(PyExc_ValueError, "GaussianBlur.get: sigma is not a number");
    if (ksize == 0) return c.g("cp").attr("asarray")(image);
    if (sigma <= 0) sigma = 0.3 * ((ksize - 1) * 0.5 - 1.0) + 0.8;

    DType dt;
    Planar p = planar(c, image, &dt, "GaussianBlur.get");
    const char *ctype = compute_type(dt);
    nb::object taps = device_cached(c, nb::make_tuple("blur", ksize, sigma, ctype), [&] {
        std::vector<double> kernel((size_t) ksize);
        const double centre = (ksize - 1) * 0.5;
        double total = 0.0;
        for (Py_ssize_t t = 0; t < ksize; ++t) {
            double d = (double) t - centre;
            kernel[(size_t) t] = std::exp(-(d * d) / (2.0 * sigma * sigma));
            total += kernel[(size_t) t];
        }
        for (double &k : kernel) k /= total;
        return upload(c, kernel, {(size_t) ksize}, ctype);
    });
    // Separable: one correlation down the rows, one along them. "mirror" reflects without
    // repeating the edge pixel, for any reach; with origin 0 the taps of an even kernel sit at
    // offsets -ksize/2 .. ksize/2 - 1.
    nb::object ndimage = c.g("ndimage");
    nb::object x = ndimage.attr("correlate1d")(p.x, taps, nb::arg("axis") = 0, nb::arg("mode") = "mirror");
    x = ndimage.attr("correlate1d")(x, taps, nb::arg("axis") = 1, nb::arg("mode") = "mirror");
    return finish(c, x, dt);
}

// ---- converters -----------------------------------------------------------------------------

struct Range {
    Py_ssize_t lo, opt, hi;
};

Range read_range(nb::handle v, const char *what) {
    auto r = kit::unpack<3>(v);
    Range out{as_index(r[0], what), as_index(r[1], what), as_index(r[2], what)};
    if (out.lo < 1 || out.lo > out.opt || out.opt > out.hi)
        kit::raise(PyExc_ValueError, "%s must be (min, opt, max) with 1 <= min <= opt <= max, got (%zd, %zd, %zd)",
                   what, out.lo, out.opt, out.hi);
    return out;
}

void check_precision(const std::string &p) {
    if (p != "bf16" && p != "fp16" && p != "tf32" && p != "fp32")
        kit::raise(PyExc_ValueError, "precision must be \"bf16\", \"fp16\", \"tf32\" or \"fp32\", got \"%s\"", p.c_str());
}

// One network input as the profile sees it: its name and dimensions (-1 where open).
struct NetInput {
    nb::object name;
    std::vector<Py_ssize_t> dims;
};

using Shape = std::vector<Py_ssize_t>;
struct Profile {
    Shape lo, opt, hi;
};

nb::object shape_tuple(const Shape &s) {
    nb::list l;
    for (Py_ssize_t d : s) l.append(nb::int_(d));
    return nb::tuple(l);
}

// The converters use TensorRT 10's builder (its network flag and precision flags, which later
// major versions dropped): another major version stops here with a clear message.
constexpr long kTrtMajor = 10;

void check_trt_version(nb::handle trt) {
    std::string version = nb::hasattr(trt, "__version__") ? str_of(trt.attr("__version__")) : std::string("unknown");
    long major = -1;
    try {
        size_t used = 0;
        major = std::stol(version, &used);
        if (used == 0 || (used < version.size() && version[used] != '.')) major = -1;
    } catch (const std::exception &) {
        major = -1;
    }
    if (major != kTrtMajor)
        kit::raise(PyExc_RuntimeError,
                   "TensorRT %s found, but the ONNX-to-TensorRT converters are built for TensorRT %ld: install "
                   "a TensorRT %ld release (tensorrt-cu12 or tensorrt-cu11 >=%ld,<%ld)",
                   version.c_str(), kTrtMajor, kTrtMajor, kTrtMajor, kTrtMajor + 1);
}

// Builds a serialized engine from the ONNX file and writes it atomically to `target`. The
// profile of each network input comes from `profile_of`.
template <class ProfileFn>
void build_engine(const Call &c, nb::handle onnx_path, nb::handle target_path, const std::string &precision,
                  nb::handle workspace, ProfileFn profile_of) {
    nb::object os = c.g("os");
    nb::object ospath = os.attr("path");
    nb::object src = os.attr("fspath")(onnx_path);
    nb::object target = ospath.attr("abspath")(os.attr("fspath")(target_path));
    Py_ssize_t ws = workspace.is_none() ? -1 : as_index(workspace, "workspace");
    if (!workspace.is_none() && ws < 0) kit::raise(PyExc_ValueError, "workspace must not be negative");

    nb::object data;
    kit::with(c.g("open")(src, "rb"), [&](nb::handle fh) { data = fh.attr("read")(); });

    nb::object trt = nb::module_::import_("tensorrt");
    check_trt_version(trt);
    nb::object logger = trt.attr("Logger")(trt.attr("Logger").attr("WARNING"));
    nb::object builder = trt.attr("Builder")(logger);
    nb::object flag = nb::int_(1) << nb::int_(nb::cast<long>(
                          nb::int_(trt.attr("NetworkDefinitionCreationFlag").attr("EXPLICIT_BATCH"))));
    nb::object network = builder.attr("create_network")(flag);
    nb::object parser = trt.attr("OnnxParser")(network, logger);
    if (!kit::truth(parser.attr("parse")(data))) {
        std::string errs;
        long n = nb::cast<long>(parser.attr("num_errors"));
        for (long i = 0; i < n; ++i) {
            if (i) errs += "; ";
            errs += str_of(parser.attr("get_error")(i));
        }
        kit::raise(PyExc_RuntimeError, "failed to parse the ONNX model %s: %s", str_of(src).c_str(),
                   errs.empty() ? "no details" : errs.c_str());
    }

    nb::object config = builder.attr("create_builder_config")();
    if (ws >= 0)
        config.attr("set_memory_pool_limit")(trt.attr("MemoryPoolType").attr("WORKSPACE"), nb::int_(ws));
    nb::object flags = trt.attr("BuilderFlag");
    if (precision == "bf16") config.attr("set_flag")(flags.attr("BF16"));
    else if (precision == "fp16") config.attr("set_flag")(flags.attr("FP16"));
    else if (precision == "tf32") config.attr("set_flag")(flags.attr("TF32"));
    else config.attr("clear_flag")(flags.attr("TF32"));  // fp32: no reduced-precision maths at all

    nb::object profile = builder.attr("create_optimization_profile")();
    long n_inputs = nb::cast<long>(network.attr("num_inputs"));
    for (long i = 0; i < n_inputs; ++i) {
        nb::object inp = network.attr("get_input")(i);
        NetInput ni{inp.attr("name"), {}};
        for (nb::handle d : inp.attr("shape")) ni.dims.push_back(as_index(d, "a network dimension"));
        Profile pr = profile_of(ni, i);
        profile.attr("set_shape")(ni.name, shape_tuple(pr.lo), shape_tuple(pr.opt), shape_tuple(pr.hi));
    }
    if (nb::cast<long>(config.attr("add_optimization_profile")(profile)) < 0)
        kit::raise(PyExc_RuntimeError, "the builder refused the optimization profile for %s", str_of(src).c_str());

    nb::object blob = builder.attr("build_serialized_network")(network, config);
    if (blob.is_none())
        kit::raise(PyExc_RuntimeError, "failed to build a TensorRT engine from %s", str_of(src).c_str());

    kit::replace_file(c, target, blob);
}

std::string dims_text(const std::vector<Py_ssize_t> &d) {
    std::string s = "(";
    for (size_t i = 0; i < d.size(); ++i) s += (i ? ", " : "") + std::to_string(d[i]);
    return s + ")";
}

nb::object onnx_to_trt_dynamic_shape(Call &c) {
    std::string precision = nb::cast<std::string>(c[2]);
    check_precision(precision);
    Range batch = read_range(c[3], "batch_range");
    bool has_spatial = !c.none(4);
    Range spatial = has_spatial ? read_range(c[4], "spatial_range") : Range{0, 0, 0};
    // The ranges fill the dimensions that the model leaves open; a dimension the model fixes
    // keeps its value. Rank-4 inputs are N x C x H x W (an open C is taken as 3); any other
    // input takes the batch range on its first dimension and must fix the rest.
    auto profile_of = [&](const NetInput &in, long) {
        Profile p;
        const size_t rank = in.dims.size();
        for (size_t k = 0; k < rank; ++k) {
            Py_ssize_t d = in.dims[k];
            Range r{d, d, d};
            if (d < 0) {
                if (k == 0) r = batch;
                else if (rank == 4 && k == 1) r = Range{3, 3, 3};
                else if (rank == 4 && has_spatial) r = spatial;
                else
                    kit::raise(PyExc_ValueError, "input '%s' %s: dimension %zu is open and no range applies to it",
                               str_of(in.name).c_str(), dims_text(in.dims).c_str(), k);
            }
            p.lo.push_back(r.lo), p.opt.push_back(r.opt), p.hi.push_back(r.hi);
        }
        return p;
    };
    build_engine(c, c[0], c[1], precision, c[5], profile_of);
    return nb::none();
}

nb::object onnx_to_trt_fixed_shape(Call &c) {
    std::string precision = nb::cast<std::string>(c[3]);
    check_precision(precision);
    Shape shape;
    for (nb::handle d : c[2]) shape.push_back(as_index(d, "input_shape"));
    for (Py_ssize_t d : shape)
        if (d < 1) kit::raise(PyExc_ValueError, "input_shape must hold positive dimensions, got %s", dims_text(shape).c_str());
    // The first input takes input_shape; any further input must be fixed by the model.
    auto profile_of = [&](const NetInput &in, long index) {
        if (index == 0) {
            if (in.dims.size() != shape.size())
                kit::raise(PyExc_ValueError, "input '%s' has %zu dimensions, input_shape %zu",
                           str_of(in.name).c_str(), in.dims.size(), shape.size());
            return Profile{shape, shape, shape};
        }
        for (Py_ssize_t d : in.dims)
            if (d < 0)
                kit::raise(PyExc_ValueError, "input '%s' %s has open dimensions; only the first input takes input_shape",
                           str_of(in.name).c_str(), dims_text(in.dims).c_str());
        return Profile{in.dims, in.dims, in.dims};
    };
    build_engine(c, c[0], c[1], precision, c[4], profile_of);
    return nb::none();
}

// The parameters shared by the two batch builders.
kit::Fn batch_fn(const char *name, kit::Impl impl, const char *first, const char *first_annotation,
                 const char *doc) {
    return kit::Fn(name, impl)
        .p(first, first_annotation)
        .p("size", "int | tuple[int, int] | None", kit::Any, nb::none())
        .p("mean", "float | tuple[float, ...]", kit::Any, nb::float_(0.0))
        .p("std", "float | tuple[float, ...]", kit::Any, nb::float_(1.0))
        .p("swap_rb", "bool", kit::Any, nb::bool_(false))
        .p("layout", "str", kit::Str, nb::str("HWC"))
        .ret("cp.ndarray")
        .doc(doc);
}

}  // namespace

KIT_MODULE(rastrix, m) {
    m.attr("cp") = nb::module_::import_("cupy");
    nb::object ndimage = nb::module_::import_("cupyx.scipy.ndimage");
    m.attr("ndimage") = ndimage;
    m.attr("_warp_float64_coords") = nb::module_::import_("inspect")
                                         .attr("signature")(ndimage.attr("affine_transform"))
                                         .attr("parameters")
                                         .attr("__contains__")("float64_coords");
    m.attr("os") = nb::module_::import_("os");
    m.attr("_device_cache") = nb::dict();

    m.attr("INTER_NEAREST") = nb::int_((int) kNearest);
    m.attr("INTER_LINEAR") = nb::int_((int) kLinear);
    m.attr("INTER_AREA") = nb::int_((int) kArea);
    m.attr("INTER_AUTO") = nb::int_((int) kAuto);

    m.attr("resize") =
        kit::Fn("resize", resize)
            .p("image", "cp.ndarray")
            .p("size", "tuple[int, int]")
            .p("interpolation", "int", kit::Any, nb::int_((int) kAuto))
            .ret("cp.ndarray")
            .doc("Resizes an image to size = (width, height).\n\n"
                 "INTER_AUTO averages areas along an axis that shrinks and interpolates bilinearly\n"
                 "along one that grows; INTER_AREA, INTER_LINEAR and INTER_NEAREST force one rule.\n"
                 "Half-pixel centres. The result keeps the image's element type.")
            .make(m);
    m.attr("affine_transform") =
        kit::Fn("affine_transform", affine_transform)
            .p("image", "cp.ndarray")
            .p("M", "cp.ndarray")
            .p("size", "tuple[int, int]")
            .ret("cp.ndarray")
            .doc("Warps an image by the 2 x 3 matrix M, which maps a source pixel (x, y, 1) to an\n"
                 "output pixel, into an output of size = (height, width).\n\n"
                 "Bilinear; zero outside the source; pixel centres at integer coordinates. A singular\n"
                 "or non-finite M gives an all-zero image.")
            .make(m);
    m.attr("get_inverse_matrix") = kit::Fn("get_inverse_matrix", get_inverse_matrix)
                                       .p("M", "cp.ndarray")
                                       .ret("cp.ndarray")
                                       .doc("The inverse of a 2 x 3 affine matrix, as a float64 device array.\n\n"
                                            "ValueError when the matrix is singular or not finite.")
                                       .make(m);
    m.attr("to_float32") = kit::Fn("to_float32", to_float32)
                               .p("image", "cp.ndarray")
                               .ret("cp.ndarray")
                               .doc("The image as float32: uint8 and uint16 scaled onto [0, 1], other types\n"
                                    "converted; a float32 image is returned itself.")
                               .make(m);
    m.attr("to_numpy") = kit::Fn("to_numpy", to_numpy)
                             .p("array", "cp.ndarray")
                             .ret("np.ndarray")
                             .doc("A host copy of a device array.")
                             .make(m);
    m.attr("images_to_batch") =
        batch_fn("images_to_batch", images_to_batch, "images", "cp.ndarray | list[cp.ndarray]",
                 "One float32 batch N x C x H x W from an image, a list of images, or an array of\n"
                 "N stacked images.\n\n"
                 "size: (width, height) or one side; none keeps the first image's size. Images of\n"
                 "another size are resized (INTER_AUTO). Each value becomes (x - mean) / std, with\n"
                 "per-channel values in the batch's channel order; swap_rb swaps channels 0 and 2.\n"
                 "layout: \"HWC\" or \"CHW\", the layout of the images given.")
            .make(m);
    m.attr("image_to_batch") =
        batch_fn("image_to_batch", image_to_batch, "image", "cp.ndarray",
                 "A batch of one, 1 x C x H x W; see images_to_batch.")
            .make(m);
    m.attr("batch_to_images") =
        kit::Fn("batch_to_images", batch_to_images)
            .p("batch", "cp.ndarray")
            .p("swap_rb", "bool", kit::Any, nb::bool_(false))
            .p("layout", "str", kit::Str, nb::str("NCHW"))
            .p("std", "float | tuple[float, ...] | None", kit::Any, nb::none())
            .p("mean", "float | tuple[float, ...] | None", kit::Any, nb::none())
            .ret("list[cp.ndarray]")
            .doc("A list of new float32 H x W x C images, one per batch row.\n\n"
                 "With std or mean given, each value becomes x * std + mean first (per-channel values\n"
                 "in the batch's channel order); swap_rb swaps channels 0 and 2. No clipping.\n"
                 "layout: \"NCHW\" or \"NHWC\", the layout of the batch given.")
            .make(m);

    kit::Class(m, "GaussianBlur", nb::handle((PyObject *) &PyBaseObject_Type),
               "Gaussian blur with a normalised kernel of ksize taps; made with no arguments.")
        .def(kit::Fn("get", blur_get)
                 .self()
                 .p("image", "cp.ndarray")
                 .p("ksize", "int", kit::Int)
                 .p("sigma", "float", kit::Float)
                 .ret("cp.ndarray")
                 .doc("Blurs each channel of the image. ksize 0 returns the image itself; sigma <= 0\n"
                      "derives sigma from ksize as 0.3 * ((ksize - 1) * 0.5 - 1) + 0.8."))
        .make();

    m.attr("onnx_to_trt_dynamic_shape") =
        kit::Fn("onnx_to_trt_dynamic_shape", onnx_to_trt_dynamic_shape)
            .p("onnx_path", "str")
            .p("trt_path", "str")
            .p("precision", "str", kit::Str, nb::str("fp16"))
            .p("batch_range", "tuple[int, int, int]", kit::Any, nb::make_tuple(1, 1, 1))
            .p("spatial_range", "tuple[int, int, int] | None", kit::Any, nb::none())
            .p("workspace", "int | None", kit::Any, nb::none())
            .ret("None")
            .doc("Builds a TensorRT engine from an ONNX file and writes it to trt_path.\n\n"
                 "precision: \"bf16\", \"fp16\", \"tf32\" or \"fp32\". Each input's open dimensions take\n"
                 "the ranges (min, opt, max): the first dimension batch_range, the height and width\n"
                 "of an N x C x H x W input spatial_range (none: the model must fix them); an open\n"
                 "C is taken as 3, and dimensions the model fixes stay fixed.\n"
                 "workspace: the builder's workspace limit in bytes.")
            .make(m);
    m.attr("onnx_to_trt_fixed_shape") =
        kit::Fn("onnx_to_trt_fixed_shape", onnx_to_trt_fixed_shape)
            .p("onnx_path", "str")
            .p("engine_path", "str")
            .p("input_shape", "tuple[int, ...]")
            .p("precision", "str", kit::Str, nb::str("fp16"))
            .p("workspace", "int | None", kit::Any, nb::none())
            .ret("None")
            .doc("Builds a TensorRT engine whose first input has exactly input_shape and writes it\n"
                 "to engine_path. precision as for onnx_to_trt_dynamic_shape.")
            .make(m);
}
