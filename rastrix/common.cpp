// The helpers shared by rastrix's parts: Python calls, element types, uploads of host-computed
// values and the device cache that keeps them.
#include "rastrix.h"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

namespace rastrix {

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

nb::object f(double v) { return nb::float_(v); }

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

Py_ssize_t checked_count(std::initializer_list<Py_ssize_t> dims, Py_ssize_t itemsize, const char *what) {
    Py_ssize_t n = 1, bytes;
    for (Py_ssize_t d : dims)
        if (__builtin_mul_overflow(n, d, &n)) kit::raise(PyExc_MemoryError, "%s: the array is too large", what);
    if (__builtin_mul_overflow(n, itemsize, &bytes)) kit::raise(PyExc_MemoryError, "%s: the array is too large", what);
    return n;
}

std::string str_of(nb::handle h) { return nb::cast<std::string>(nb::str(h)); }

// ---- element types --------------------------------------------------------------------------

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

const char *compute_type(const DType &d) { return (d.kind == 'f' && d.itemsize == 8) ? "float64" : "float32"; }

nb::object astype(nb::handle arr, const char *dtype) { return arr.attr("astype")(dtype); }

nb::object contiguous(const Call &c, nb::handle x) {
    if (kit::truth(x.attr("flags").attr("c_contiguous"))) return nb::borrow(x);
    nb::object out = c.g("cp").attr("empty")(x.attr("shape"), nb::arg("dtype") = x.attr("dtype"));
    setitem(out, nb::handle(Py_Ellipsis), x);
    return out;
}

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

// ---- host values on the device --------------------------------------------------------------

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

// Arrays that depend only on a few numbers (resize weights, blur taps, per-channel values) are
// made once per device and kept in the module's `_device_cache`, a dict used as a small
// least-recently-used cache: at most kCacheEntries arrays and kCacheBytes bytes (the newest
// entry always stays).
constexpr Py_ssize_t kCacheEntries = 64;
constexpr long long kCacheBytes = 256ll << 20;

nb::object device_cached(const Call &c, nb::handle key, const std::function<nb::object()> &make) {
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
        // Reading an entry's size may run Python code that changes the cache: sum over a
        // snapshot of the entries, each held by it.
        nb::object items = steal_or_throw(PyDict_Items(cache.ptr()));
        const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
        if (n <= 1) break;
        long long bytes = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::object v = nb::borrow(PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), 1));
            if (__builtin_add_overflow(bytes, nb::cast<long long>(v.attr("nbytes")), &bytes)) {
                bytes = LLONG_MAX;
                break;
            }
        }
        if (n <= kCacheEntries && bytes <= kCacheBytes) break;
        // The oldest entry as the cache is now; gone already when the cache was emptied meanwhile.
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        if (!PyDict_Next(cache.ptr(), &pos, &k, &v)) break;
        nb::object oldest = nb::borrow(k);
        if (PyDict_DelItem(cache.ptr(), oldest.ptr()) < 0) throw nb::python_error();
    }
    return value;
}

}  // namespace rastrix
