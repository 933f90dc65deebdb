// Shared between the parts of rastrix: small Python helpers, element types, uploads and the
// device cache (common.cpp), and the operations each part makes for the module body (rastrix.cpp).
#pragma once

#include <kit.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace rastrix {

namespace nb = nanobind;
using kit::Call;

enum Interp : int { kNearest = 0, kLinear = 1, kArea = 2, kAuto = 3 };

// ---- small Python helpers -------------------------------------------------------------------

nb::object steal_or_throw(PyObject *o);
nb::object getitem(nb::handle o, nb::handle key);
void setitem(nb::handle o, nb::handle key, nb::handle value);
nb::object slice(Py_ssize_t start, Py_ssize_t stop);
nb::object slice(Py_ssize_t start, Py_ssize_t stop, Py_ssize_t step);
nb::object full_slice();
nb::object reverse_slice();
nb::object compare(nb::handle a, nb::handle b, int op);
nb::object f(double v);
// An integer argument (int or anything with __index__; bool and float refused).
Py_ssize_t as_index(nb::handle h, const char *what);
double as_real(nb::handle h, const char *what);
bool is_sequence(nb::handle h);
std::vector<Py_ssize_t> shape_of(nb::handle arr);
// The element count of an array of the given dimensions (none negative), checked: MemoryError
// when it or its size in bytes (elements of `itemsize` bytes) is beyond what an allocation can
// hold.
Py_ssize_t checked_count(std::initializer_list<Py_ssize_t> dims, Py_ssize_t itemsize, const char *what);
std::string str_of(nb::handle h);

// ---- element types --------------------------------------------------------------------------

struct DType {
    char kind;        // 'f', 'u', 'i', 'b'
    long itemsize;
    std::string name;
    nb::object obj;
};

DType dtype_of(nb::handle arr);
// The type an operation computes in: float64 for float64 images, float32 otherwise.
const char *compute_type(const DType &d);
nb::object astype(nb::handle arr, const char *dtype);
// A C-contiguous array with the values of x (x itself when it already is one).
nb::object contiguous(const Call &c, nb::handle x);
// Brings a result computed in float back to the element type of the input.
nb::object finish(const Call &c, nb::object x, const DType &d);

// An image as the separable operations see it: H x W or H x W x C, in the compute type.
struct Planar {
    nb::object x;
    Py_ssize_t h, w, ch;  // ch 0 for a 2-D image
};

Planar planar(const Call &c, nb::handle image, DType *dt, const char *what);

// ---- host values on the device --------------------------------------------------------------

// Values computed on the host (row-major, of the given shape) uploaded as a device array of the
// compute type.
nb::object upload(const Call &c, const std::vector<double> &w, const std::vector<size_t> &shape, const char *ctype);
// The array cached under `key` for the current device, made by `make` when missing.
nb::object device_cached(const Call &c, nb::handle key, const std::function<nb::object()> &make);

// ---- operations -----------------------------------------------------------------------------

// resampling.cpp
nb::object resize_array(const Call &c, nb::handle image, Py_ssize_t out_w, Py_ssize_t out_h, int mode);
nb::object resize(Call &c);
nb::object affine_transform(Call &c);
nb::object get_inverse_matrix(Call &c);
// batches.cpp
nb::object to_float32(Call &c);
nb::object to_numpy(Call &c);
nb::object images_to_batch(Call &c);
nb::object image_to_batch(Call &c);
nb::object batch_to_images(Call &c);
// filters.cpp
nb::object blur_get(Call &c);
// converters.cpp
nb::object onnx_to_trt_dynamic_shape(Call &c);
nb::object onnx_to_trt_fixed_shape(Call &c);

}  // namespace rastrix
