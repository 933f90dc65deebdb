// Resampling: resize (one matrix product per axis that changes, its weights kept on the device),
// affine_transform (one bilinear pass, its sampling map built on the device) and
// get_inverse_matrix.
#include "rastrix.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace rastrix {

namespace {

// The bytes of one element of the type an operation computes in.
Py_ssize_t compute_itemsize(const DType &d) { return std::strcmp(compute_type(d), "float64") == 0 ? 8 : 4; }

// Weights of a 1-D resize from n_in to n_out pixels, n_out x n_in, row-major.
std::vector<double> resize_weights(Py_ssize_t n_in, Py_ssize_t n_out, int mode) {
    std::vector<double> w((size_t) checked_count({n_out, n_in}, sizeof(double), "resize"), 0.0);
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

// The weights of a 1-D resize (n_out x n_in, compute type), kept on the device.
nb::object resize_matrix(const Call &c, Py_ssize_t n_in, Py_ssize_t n_out, int mode, const char *ctype) {
    return device_cached(c, nb::make_tuple("resize", n_in, n_out, mode, ctype), [&] {
        return upload(c, resize_weights(n_in, n_out, mode), {(size_t) n_out, (size_t) n_in}, ctype);
    });
}

}  // namespace

// The resize itself, shared by resize and the batch builders: one matrix product per axis that
// changes, the rows' as (n_h x h) . (h x w*C), the columns' as (n_w x w) . (w x C) for each row,
// in the cheaper order. Both products leave a C-contiguous H x W x C array: no layout pass.
nb::object resize_array(const Call &c, nb::handle image, Py_ssize_t out_w, Py_ssize_t out_h, int mode) {
    if (out_w < 1 || out_h < 1)
        kit::raise(PyExc_ValueError, "resize: size must be positive, got (%zd, %zd)", out_w, out_h);
    DType dt;
    Planar p = planar(c, image, &dt, "resize");
    const char *ctype = compute_type(dt);
    checked_count({out_h, out_w, p.ch ? p.ch : 1}, compute_itemsize(dt), "resize");
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

namespace {

struct Affine {
    double a, b, tx, c, d, ty;  // [[a, b, tx], [c, d, ty]]
};

Affine read_matrix(const Call &c, nb::handle M, const char *what) {
    nb::object host = c.g("cp").attr("asnumpy")(M);
    std::vector<Py_ssize_t> s = shape_of(host);
    if (s.size() != 2 || (s[0] != 2 && s[0] != 3) || s[1] != 3)
        kit::raise(PyExc_ValueError, "%s: expected a 2 x 3 matrix, got shape %s", what,
                   str_of(host.attr("shape")).c_str());
    // A list of our own, whatever the array library's tolist() gave.
    nb::object vals = kit::as_list(host.attr("astype")("float64").attr("ravel")().attr("tolist")());
    if (PyList_GET_SIZE(vals.ptr()) < 6)
        kit::raise(PyExc_ValueError, "%s: expected a 2 x 3 matrix, got %zd values", what,
                   PyList_GET_SIZE(vals.ptr()));
    double v[6];
    for (int i = 0; i < 6; ++i) v[i] = nb::cast<double>(nb::borrow(PyList_GET_ITEM(vals.ptr(), i)));
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

}  // namespace

nb::object get_inverse_matrix(Call &c) {
    Affine r = invert(read_matrix(c, c[0], "get_inverse_matrix"), "get_inverse_matrix");
    nb::list rows;
    rows.append(nb::make_tuple(r.a, r.b, r.tx));
    rows.append(nb::make_tuple(r.c, r.d, r.ty));
    return c.g("cp").attr("asarray")(rows, nb::arg("dtype") = "float64");
}

nb::object affine_transform(Call &c) {
    DType dt;
    Planar p = planar(c, c[0], &dt, "affine_transform");
    auto hw = kit::unpack<2>(c[2]);
    Py_ssize_t out_h = as_index(hw[0], "affine_transform: height");
    Py_ssize_t out_w = as_index(hw[1], "affine_transform: width");
    if (out_h < 1 || out_w < 1)
        kit::raise(PyExc_ValueError, "affine_transform: size must be positive, got (%zd, %zd)", out_h, out_w);
    checked_count({out_h, out_w, p.ch ? p.ch : 1}, compute_itemsize(dt), "affine_transform");
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

}  // namespace rastrix
