// corvanta.facewarp: FFHQ-style face alignment from five landmarks.
//
// The eyes and mouth corners give an oriented square around the face (the quad). The image is
// shrunk by an integer factor when the square is at least four times the output, cropped to the
// square plus a border (a view), mirror-padded and feathered where the square reaches past the
// image, warped onto an upright square of side transform_size and resized to output_size.
//
// Element types follow the array library: float32 landmarks give a float32 centre, and the
// integer (-1, 1) multiplier makes the half-side vectors and the quad float64. The host integers
// (shrink factor, border, crop and pad boxes) are floors, ceilings and half-to-even roundings
// computed on the device; they are read back in two waits, the shrink factor first.
#include <kit.h>

#include <algorithm>
#include <cmath>

namespace nb = nanobind;
using kit::Call;

namespace {

constexpr const char *kDoc =
    "\n"
    "    Align a face with the FFHQ algorithm from 5-point landmarks.\n"
    "\n"
    "    Args:\n"
    "        img: Input image (CuPy array in RGB format)\n"
    "        face_landmarks: 5-point landmarks (CuPy array, shape: [5, 2])\n"
    "            Order: left_eye, right_eye, nose, left_mouth, right_mouth\n"
    "        output_size: Output image size (default: 256)\n"
    "        transform_size: Transform buffer size (default: 1024)\n"
    "        enable_padding: Enable padding for better boundary handling (default: True)\n"
    "\n"
    "    Returns:\n"
    "        Aligned face image (CuPy array in RGB format)\n"
    "    ";

// Pixel coordinates beyond this are far outside any image; keeping the host integers below it
// keeps their sums exact in 64 bits (and the quad's shifts by them exact in float64).
constexpr long long kCoordLimit = 1LL << 52;

nb::object slice(nb::handle start, nb::handle stop) {
    nb::object s = nb::steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
    if (!s.is_valid()) throw nb::python_error();
    return s;
}

nb::object slice(long long start, long long stop) { return slice(nb::int_(start), nb::int_(stop)); }

nb::object all() { return slice(nb::none(), nb::none()); }

nb::object inplace(nb::handle a, nb::handle b, PyObject *(*op)(PyObject *, PyObject *)) {
    nb::object r = nb::steal(op(a.ptr(), b.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

// int() of a value (a device scalar or a float read back), as the host converts it: NaN and
// infinities raise ValueError and OverflowError.
long long host_int(nb::handle v) {
    nb::object i = nb::steal(PyNumber_Long(v.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    const long long r = PyLong_AsLongLong(i.ptr());
    if (r == -1 && PyErr_Occurred()) throw nb::python_error();
    if (r > kCoordLimit || r < -kCoordLimit)
        kit::raise(PyExc_OverflowError, "align_face_ffhq: %lld is out of range for a pixel coordinate", r);
    return r;
}

bool compare(nb::handle a, nb::handle b, int op) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

long long dim(nb::handle shape, size_t i) { return nb::cast<long long>(shape[i]); }

// The feather term of one axis, 1 - min(k / a, (n - 1 - k) / b) for the index grid k of n
// pixels and the pad amounts a and b before and after it. A side that was not padded gives no
// feathering, so its term is left out (a zero amount would divide 0 by 0); null when neither was.
nb::object axis_term(nb::handle cp, nb::handle k, long long n, long long a, long long b) {
    nb::object f32 = cp.attr("float32");
    nb::object before, after;
    if (a > 0) before = k.attr("astype")(f32) / nb::int_(a);
    if (b > 0) after = (nb::int_(n - 1) - k).attr("astype")(f32) / nb::int_(b);
    nb::object nearest;
    if (before.is_valid() && after.is_valid()) nearest = cp.attr("minimum")(before, after);
    else if (before.is_valid()) nearest = before;
    else if (after.is_valid()) nearest = after;
    else return nb::object();
    return nb::float_(1.0) - nearest;
}

nb::object align_face_ffhq(Call &c) {
    nb::handle output_size = c[2], transform_size = c[3];
    nb::object cp = c.g("cp"), rx = c.g("rx");
    nb::object norm = cp.attr("linalg").attr("norm"), flipud = cp.attr("flipud");
    nb::object img = nb::borrow(c[0]);

    // The crop rectangle. Row 2 (the nose) is not read.
    nb::handle lm = c[1];
    nb::object eye_left = lm[nb::int_(0)], eye_right = lm[nb::int_(1)];
    nb::object mouth_left = lm[nb::int_(3)], mouth_right = lm[nb::int_(4)];
    nb::object half = nb::float_(0.5);
    nb::object eye_avg = (eye_left + eye_right) * half;
    nb::object eye_to_eye = eye_right - eye_left;
    nb::object mouth_avg = (mouth_left + mouth_right) * half;
    nb::object eye_to_mouth = mouth_avg - eye_avg;
    nb::object turn = cp.attr("array")(kit::list_of(-1, 1));  // (a, b) -> (-b, a) after flipud
    nb::object x = eye_to_eye - flipud(eye_to_mouth) * turn;
    x = inplace(x, norm(x), PyNumber_InPlaceTrueDivide);
    x = inplace(x, cp.attr("maximum")(norm(eye_to_eye) * nb::float_(2.0), norm(eye_to_mouth) * nb::float_(1.8)),
                PyNumber_InPlaceMultiply);
    nb::object y = flipud(x) * turn;
    nb::object centre = eye_avg + eye_to_mouth * nb::float_(0.1);
    nb::object quad = cp.attr("stack")(kit::list_of(centre - x - y, centre - x + y, centre + x + y, centre + x - y));
    nb::object qsize = norm(x) * nb::int_(2);

    if (compare(img.attr("dtype"), cp.attr("float32"), Py_NE)) img = rx.attr("to_float32")(img);

    // Pre-shrink by an integer factor.
    const long long shrink = host_int(cp.attr("floor")(qsize / output_size * nb::float_(0.5)));
    if (shrink > 1) {
        nb::object shape = img.attr("shape");
        const long long h = dim(shape, 0), w = dim(shape, 1);
        nb::object rsize = nb::make_tuple((long long) std::nearbyint((double) w / (double) shrink),
                                          (long long) std::nearbyint((double) h / (double) shrink));
        img = rx.attr("resize")(img, rsize, nb::arg("interpolation") = rx.attr("INTER_AREA"));
        quad = inplace(quad, nb::int_(shrink), PyNumber_InPlaceTrueDivide);
        qsize = inplace(qsize, nb::int_(shrink), PyNumber_InPlaceTrueDivide);
    }

    // One read for the border, the rectangle's box and the padding's minimum and blur.
    nb::object box = cp.attr("hstack")(nb::make_tuple(
        cp.attr("rint")(qsize * nb::float_(0.1)), cp.attr("floor")(cp.attr("min")(quad, nb::arg("axis") = 0)),
        cp.attr("ceil")(cp.attr("max")(quad, nb::arg("axis") = 0)), cp.attr("rint")(qsize * nb::float_(0.3)),
        qsize * nb::float_(0.02)));
    nb::object vals = box.attr("tolist")();
    const long long border = std::max(host_int(vals[0]), 3LL);
    const long long qx0 = host_int(vals[1]), qy0 = host_int(vals[2]), qx1 = host_int(vals[3]), qy1 = host_int(vals[4]);

    // Border crop: a view of the rectangle plus the border, clamped to the image.
    nb::object shape = img.attr("shape");
    long long h = dim(shape, 0), w = dim(shape, 1);
    const long long x0 = std::max(qx0 - border, 0LL), y0 = std::max(qy0 - border, 0LL);
    const long long x1 = std::min(qx1 + border, w), y1 = std::min(qy1 + border, h);
    long long px0 = qx0, py0 = qy0, px1 = qx1, py1 = qy1;  // the box on the image as it is now
    if (x1 - x0 < w || y1 - y0 < h) {
        img = img[nb::make_tuple(slice(y0, y1), slice(x0, x1))];
        inplace(quad[nb::make_tuple(all(), 0)], nb::int_(x0), PyNumber_InPlaceSubtract);
        inplace(quad[nb::make_tuple(all(), 1)], nb::int_(y0), PyNumber_InPlaceSubtract);
        // The shift by integers no larger than the coordinates is exact, so the box moves with it.
        px0 -= x0, px1 -= x0, py0 -= y0, py1 -= y0;
        shape = img.attr("shape");
        h = dim(shape, 0), w = dim(shape, 1);
    }

    // How far the rectangle plus border reaches past each edge (left, top, right, bottom).
    long long pad[4] = {std::max(border - px0, 0LL), std::max(border - py0, 0LL), std::max(px1 - w + border, 0LL),
                        std::max(py1 - h + border, 0LL)};
    if (kit::truth(c[4]) && *std::max_element(pad, pad + 4) > border - 4) {
        const long long m = host_int(vals[5]);
        for (long long &p : pad) p = std::max(p, m);
        const long long left = pad[0], top = pad[1], right = pad[2], bottom = pad[3];
        img = cp.attr("pad")(img, nb::make_tuple(nb::make_tuple(top, bottom), nb::make_tuple(left, right), nb::make_tuple(0, 0)),
                             nb::arg("mode") = "reflect");
        auto [hh, ww, channels] = kit::unpack<3>(img.attr("shape"));
        (void) channels;
        h = nb::cast<long long>(hh), w = nb::cast<long long>(ww);

        // Feather weight: 1 on the outermost pixels, 0 at the pad's depth, negative inside.
        auto [yy, xx] = kit::unpack<2>(cp.attr("ogrid")[nb::make_tuple(slice(nb::none(), hh), slice(nb::none(), ww))]);
        nb::object across = axis_term(cp, xx, w, left, right), down = axis_term(cp, yy, h, top, bottom);
        nb::object mask;
        if (across.is_valid() && down.is_valid()) mask = cp.attr("maximum")(across, down);
        else mask = across.is_valid() ? across : down;

        // No padded side (possible only with a minimum of 0): nothing to feather.
        if (mask.is_valid()) {
            mask = mask[nb::make_tuple(nb::ellipsis(), nb::none())];
            nb::object blur = vals[6];
            nb::object gaussian = c.g("cupyx").attr("scipy").attr("ndimage").attr("gaussian_filter");
            nb::object blurred = gaussian(img, kit::list_of(blur, blur, 0));
            nb::object clip = cp.attr("clip");
            img = inplace(img, (blurred - img) * clip(mask * nb::float_(3.0) + nb::float_(1.0), 0.0, 1.0),
                          PyNumber_InPlaceAdd);
            nb::object median_val = cp.attr("median")(img, nb::arg("axis") = nb::make_tuple(0, 1));
            img = inplace(img, (median_val - img) * clip(mask, 0.0, 1.0), PyNumber_InPlaceAdd);
        }
        img = cp.attr("clip")(img, 0, 1);
        inplace(quad[nb::make_tuple(all(), 0)], nb::int_(left), PyNumber_InPlaceAdd);
        inplace(quad[nb::make_tuple(all(), 1)], nb::int_(top), PyNumber_InPlaceAdd);
    }

    // The affine map of three corners onto the square's outer edge, by least squares.
    nb::object f32 = cp.attr("float32");
    nb::object src_pts = quad[slice(0, 3)].attr("astype")(f32);
    nb::object zero = nb::int_(0);
    nb::object dst_pts = cp.attr("array")(
        kit::list_of(kit::list_of(zero, zero), kit::list_of(zero, transform_size), kit::list_of(transform_size, transform_size)),
        nb::arg("dtype") = f32);
    nb::object src_pts_h = cp.attr("ones")(nb::make_tuple(3, 3), nb::arg("dtype") = cp.attr("float64"));
    src_pts_h[nb::make_tuple(all(), slice(0, 2))] = src_pts;
    nb::object M = cp.attr("linalg").attr("lstsq")(src_pts_h, dst_pts)[nb::int_(0)].attr("T");

    img = rx.attr("affine_transform")(img, M, nb::make_tuple(transform_size, transform_size));
    if (compare(output_size, transform_size, Py_LT))
        img = rx.attr("resize")(img, nb::make_tuple(output_size, output_size), nb::arg("interpolation") = rx.attr("INTER_AREA"));
    return img;
}

}  // namespace

KIT_MODULE(facewarp, m) {
    m.attr("__doc__") = "FFHQ-style face alignment from five-point landmarks.";
    nb::object typing = nb::module_::import_("typing");
    m.attr("Optional") = typing.attr("Optional");
    m.attr("Tuple") = typing.attr("Tuple");
    m.attr("cp") = nb::module_::import_("cupy");
    m.attr("rx") = nb::module_::import_("rastrix");
    // `import cupyx.scipy.ndimage` binds the top-level package; the filter is reached from it at
    // each call.
    nb::object cupyx = nb::steal(PyImport_ImportModuleLevel("cupyx.scipy.ndimage", nullptr, nullptr, nullptr, 0));
    if (!cupyx.is_valid()) throw nb::python_error();
    m.attr("cupyx") = cupyx;

    m.attr("align_face_ffhq") = kit::Fn("align_face_ffhq", align_face_ffhq)
                                    .p("img", "cp.ndarray")
                                    .p("face_landmarks", "cp.ndarray")
                                    .p("output_size", "int", kit::Int, nb::int_(256))
                                    .p("transform_size", "int", kit::Int, nb::int_(1024))
                                    .p("enable_padding", "bool", kit::Any, nb::bool_(true))
                                    .ret("cp.ndarray")
                                    .doc(kDoc)
                                    .make(m);
}
