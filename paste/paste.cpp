// corvanta.paste: a processed face crop pasted back into its frame.
//
// The crop and a feathered rectangular mask are warped into the frame through the inverse of
// the crop matrix (frame pixel to crop pixel), and frame and crop are blended through the warped
// mask. PasteBack keeps the mask of the last crop size it saw; paste_back does one composite.
#include <kit.h>

#include <algorithm>

namespace nb = nanobind;
using kit::Call;

namespace {

nb::object steal_or_throw(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

nb::object slice(Py_ssize_t start, Py_ssize_t stop) {
    return steal_or_throw(PySlice_New(nb::int_(start).ptr(), nb::int_(stop).ptr(), nullptr));
}

nb::object all() { return steal_or_throw(PySlice_New(nullptr, nullptr, nullptr)); }

Py_ssize_t index_of(nb::handle v) {
    Py_ssize_t r = PyNumber_AsSsize_t(v.ptr(), PyExc_OverflowError);
    if (r == -1 && PyErr_Occurred()) throw nb::python_error();
    return r;
}

// A band width: the integer part of (side // divisor) * blursize.
Py_ssize_t band(nb::handle side, long divisor, double blursize) {
    nb::object cells = steal_or_throw(PyNumber_FloorDivide(side.ptr(), nb::int_(divisor).ptr()));
    nb::object scaled = steal_or_throw(PyNumber_Multiply(cells.ptr(), nb::float_(blursize).ptr()));
    return index_of(steal_or_throw(PyNumber_Long(scaled.ptr())));
}

// ---- PasteBack ---------------------------------------------------------------------------------

nb::object init(Call &c) {
    nb::handle self = c[0];
    self.attr("gaussian_blur") = c.g("rx").attr("GaussianBlur")();
    self.attr("blursize") = c.f(1);
    self.attr("mask") = nb::none();
    self.attr("size") = nb::none();
    return nb::none();
}

// A plate of ones with `padding_v` rows zeroed at the top and bottom and `padding_h` columns at
// the left and right, blurred with `padding_h` as both kernel size and sigma.
nb::object create_mask(Call &c) {
    nb::handle self = c[0], size = c[1];
    nb::object cp = c.g("cp");
    const double blursize = nb::cast<double>(nb::float_(self.attr("blursize")));
    nb::object height = size[nb::int_(0)], width = size[nb::int_(1)];
    const Py_ssize_t padding_v = band(height, 5, blursize);
    const Py_ssize_t padding_h = band(width, 7, blursize);
    nb::object plate = cp.attr("ones")(nb::make_tuple(height, width, 3), nb::arg("dtype") = cp.attr("float32"));
    nb::object zero = nb::int_(0);
    if (padding_v > 0) {
        const Py_ssize_t h = index_of(height);
        plate[slice(0, padding_v)] = zero;
        plate[slice(std::max<Py_ssize_t>(h - padding_v, 0), h)] = zero;
    }
    if (padding_h > 0) {
        const Py_ssize_t w = index_of(width);
        plate[nb::make_tuple(all(), slice(0, padding_h))] = zero;
        plate[nb::make_tuple(all(), slice(std::max<Py_ssize_t>(w - padding_h, 0), w))] = zero;
    }
    return self.attr("gaussian_blur").attr("get")(plate, padding_h, (double) padding_h);
}

nb::object get(Call &c) {
    nb::handle self = c[0], paste_image = c[2];
    nb::object rx = c.g("rx");
    nb::object frame = rx.attr("to_float32")(c[1]);
    nb::object crop = rx.attr("to_float32")(paste_image);
    nb::object key = kit::as_tuple(paste_image.attr("shape")[slice(0, 2)]);
    if (!self.attr("size").equal(key)) {
        // Both are stored once the mask is made, so a failed build leaves no half-updated cache.
        nb::object mask = self.attr("create_mask")(key);
        self.attr("size") = key;
        self.attr("mask") = mask;
    }
    return c.g("paste_back")(frame, crop, c[3], self.attr("mask"));
}

// ---- paste_back ----------------------------------------------------------------------------------

nb::object paste_back(Call &c) {
    nb::handle target_image = c[0], paste_image = c[1];
    nb::object cp = c.g("cp"), rx = c.g("rx");
    nb::object crop_shape = paste_image.attr("shape"), frame_shape = target_image.attr("shape");
    nb::object h = crop_shape[nb::int_(0)], w = crop_shape[nb::int_(1)];
    nb::object out_size = nb::make_tuple(frame_shape[nb::int_(0)], frame_shape[nb::int_(1)]);
    nb::object mask;
    if (c.none(3))
        mask = cp.attr("ones")(nb::make_tuple(h, w, 3), nb::arg("dtype") = cp.attr("float32"));
    else
        mask = rx.attr("resize")(c[3], nb::make_tuple(w, h), nb::arg("interpolation") = rx.attr("INTER_AUTO"));
    nb::object inverse = rx.attr("get_inverse_matrix")(c[2]);
    nb::object warped = rx.attr("affine_transform")(paste_image, inverse, out_size);
    nb::object paste_mask = rx.attr("affine_transform")(mask, inverse, out_size);
    nb::object keep = steal_or_throw(PyNumber_Subtract(nb::int_(1).ptr(), paste_mask.ptr()));
    return paste_mask * warped + keep * nb::borrow(target_image);
}

}  // namespace

KIT_MODULE(paste, m) {
    m.attr("cp") = nb::module_::import_("cupy");
    m.attr("rx") = nb::module_::import_("rastrix");

    kit::Class(m, "PasteBack", nb::handle((PyObject *) &PyBaseObject_Type))
        .def(kit::Fn("__init__", init).self().p("blursize", "float", kit::Float, nb::float_(1.0)))
        .def(kit::Fn("create_mask", create_mask).self().p("size", "tuple", kit::Tuple))
        .def(kit::Fn("get", get)
                 .self()
                 .p("target_image", "cp.ndarray")
                 .p("paste_image", "cp.ndarray")
                 .p("M", "cp.ndarray")
                 .ret("cp.ndarray"))
        .make();
    m.attr("paste_back") = kit::Fn("paste_back", paste_back)
                               .p("target_image", "cp.ndarray")
                               .p("paste_image", "cp.ndarray")
                               .p("M", "cp.ndarray")
                               .p("mask", "cp.ndarray", kit::Any, nb::none())
                               .ret("cp.ndarray")
                               .make(m);
}
