// corvanta.detection: faces, five landmarks and aligned crops from a frame.
//
// BaseFaceDetection holds the back-end independent pipeline: letterbox the frame into the
// detector input, run the back-end's forward, merge and sort the per-stride candidates, suppress
// overlaps, optionally keep the largest / most central faces, and cut an aligned crop of each.
#include <kit.h>
#include <recipes.h>

#include "detection.h"

#include <cmath>
#include <limits>

namespace nb = nanobind;
using kit::Call;
using kit::truth;

namespace corvanta::detection {

namespace {

// The five-point landmark template, in a 112 x 112 face.
constexpr double kTemplate[5][2] = {
    {38.2946, 51.6963}, {73.5318, 51.5014}, {56.0252, 71.7366}, {41.5493, 92.3655}, {70.7299, 92.2041},
};

nb::handle g_base_class;  // BaseFaceDetection, for super() in its constructor

nb::object slice(Py_ssize_t start, nb::handle stop) {
    nb::object s = nb::steal(PySlice_New(nb::int_(start).ptr(), stop.ptr(), Py_None));
    if (!s.is_valid()) throw nb::python_error();
    return s;
}

nb::object slice(Py_ssize_t start, Py_ssize_t stop) { return slice(start, nb::int_(stop)); }

nb::object all() { return nb::steal(PySlice_New(nullptr, nullptr, nullptr)); }

nb::object reversed(nb::handle arr) {
    return arr[nb::steal(PySlice_New(nullptr, nullptr, nb::int_(-1).ptr()))];
}

bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r;
}

// A rich comparison that keeps the array result (element-wise for device arrays).
nb::object rich(nb::handle a, nb::handle b, int op) {
    nb::object r = nb::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

nb::object inplace(nb::handle a, nb::handle b, PyObject *(*op)(PyObject *, PyObject *)) {
    nb::object r = nb::steal(op(a.ptr(), b.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

Py_ssize_t rows(nb::handle arr) { return nb::cast<Py_ssize_t>(arr.attr("shape")[0]); }

// Stacks per-stride arrays row-wise as float32.
nb::object stack_f32(nb::handle cp, nb::handle arrays) {
    return cp.attr("vstack")(arrays).attr("astype")(cp.attr("float32"));
}

// The kept indices as something that selects rows, also when there are none (an empty slice).
nb::object row_index(nb::handle cp, nb::handle keep) {
    Py_ssize_t n = PyObject_Length(keep.ptr());
    if (n < 0) throw nb::python_error();
    if (n == 0) return slice(0, 0);
    if (PyList_Check(keep.ptr()) || PyTuple_Check(keep.ptr())) return cp.attr("asarray")(keep);
    return nb::borrow(keep);
}

// ---- BaseFaceDetection --------------------------------------------------------------------

nb::object init(Call &c) {
    kit::super_attr(g_base_class, c[0], "__init__")(c[1], c[2], c[3]);
    nb::handle self = c[0];
    self.attr("input_size") = nb::make_tuple(640, 640);
    self.attr("center_cache") = nb::dict();
    self.attr("nms_thresh") = 0.4;
    self.attr("det_thresh") = 0.5;
    self.attr("input_mean") = 0.5;
    self.attr("input_std") = 0.5019607843137255;
    self.attr("use_kps") = false;
    return nb::none();
}

nb::object forward(Call &) {
    kit::raise(PyExc_NotImplementedError, "forward method must be implemented in subclass");
}

nb::object get(Call &c) {
    nb::handle self = c[0], image = c[1], crop_size = c[2], max_num = c[3], metric = c[4];
    nb::object cp = c.g("cp"), rx = c.g("rx");

    // 1-2. Letterbox size and scale.
    nb::object shape = image.attr("shape");
    nb::object h_obj = shape[0], w_obj = shape[1];
    const double H = nb::cast<double>(h_obj), W = nb::cast<double>(w_obj);
    nb::object input_size = self.attr("input_size");
    nb::object in_w = input_size[0], in_h = input_size[1];
    const double im_ratio = H / W;
    const double model_ratio = nb::cast<double>(in_h) / nb::cast<double>(in_w);
    nb::object new_width, new_height;
    if (im_ratio > model_ratio) {
        new_height = in_h;
        new_width = nb::int_(std::trunc(nb::cast<double>(new_height) / im_ratio));
    } else {
        new_width = in_w;
        new_height = nb::int_(std::trunc(nb::cast<double>(new_width) * im_ratio));
    }
    const float det_scale = (float) nb::cast<double>(new_height) / (float) H;
    nb::object scale = nb::float_((double) det_scale);

    // 3-4. The detector input: the resized frame in the top-left corner, zeros elsewhere.
    nb::object resized = rx.attr("resize")(image, nb::make_tuple(new_width, new_height),
                                           nb::arg("interpolation") = rx.attr("INTER_AUTO"));
    nb::object det_image =
        cp.attr("zeros")(nb::make_tuple(in_h, in_w, 3), nb::arg("dtype") = cp.attr("float32"));
    det_image[nb::make_tuple(slice(0, new_height), slice(0, new_width))] = resized;

    // 5-6.
    auto [scores_list, bboxes_list, kpss_list] =
        kit::unpack<3>(self.attr("forward")(det_image, self.attr("det_thresh")));
    Py_ssize_t nstrides = PyObject_Length(scores_list.ptr());
    if (nstrides < 0) throw nb::python_error();
    if (nstrides == 0) return nb::list();

    // 7-11. Merge, sort by descending score (later rows first among equals), suppress.
    nb::object scores = stack_f32(cp, scores_list);
    nb::object order = reversed(scores.attr("ravel")().attr("argsort")());
    nb::object bboxes = stack_f32(cp, bboxes_list) / scale;
    nb::object pre_det = cp.attr("hstack")(nb::make_tuple(bboxes, scores))
                             .attr("astype")(cp.attr("float32"), nb::arg("copy") = false)[nb::make_tuple(order, all())];
    nb::object keep = row_index(cp, self.attr("nms")(pre_det));
    nb::object det = pre_det[keep];
    nb::object kpss = nb::none();
    if (truth(self.attr("use_kps"))) {
        kpss = stack_f32(cp, kpss_list) / scale;
        kpss = kpss[order][keep];
    }

    // 12. Keep the max_num best faces: largest, or large and central.
    nb::object zero = nb::int_(0);
    if (compare(max_num, zero, Py_GT) && compare(nb::int_(rows(det)), max_num, Py_GT)) {
        nb::object area = (det[nb::make_tuple(all(), 2)] - det[nb::make_tuple(all(), 0)]) *
                          (det[nb::make_tuple(all(), 3)] - det[nb::make_tuple(all(), 1)]);
        nb::object half_h = h_obj.floor_div(nb::int_(2)), half_w = w_obj.floor_div(nb::int_(2));
        nb::object offsets = cp.attr("vstack")(kit::list_of(
            (det[nb::make_tuple(all(), 0)] + det[nb::make_tuple(all(), 2)]) / nb::int_(2) - half_w,
            (det[nb::make_tuple(all(), 1)] + det[nb::make_tuple(all(), 3)]) / nb::int_(2) - half_h));
        nb::object dist2 = cp.attr("sum")(cp.attr("power")(offsets, 2.0), 0);
        nb::object values = compare(metric, nb::str("max"), Py_EQ) ? area : area - dist2 * nb::float_(2.0);
        nb::object bindex = reversed(values.attr("argsort")())[slice(0, max_num)];
        det = det[nb::make_tuple(bindex, all())];
        if (!kpss.is_none()) kpss = kpss[nb::make_tuple(bindex, all())];
    }

    // 13. One record per face with landmarks.
    nb::list results;
    nb::object record = c.g("CorvantaFace");
    nb::object padding = nb::float_(c.f(5));
    nb::object float32 = cp.attr("float32");
    const Py_ssize_t n = rows(det);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object row = det[nb::int_(i)];
        nb::object bbox = row[slice(0, 4)];
        nb::object score = row[nb::int_(4)];
        if (kpss.is_none()) continue;
        nb::object kps = kpss[nb::int_(i)];
        bbox = bbox.attr("astype")(float32);
        auto [cropped, matrix] =
            kit::unpack<2>(self.attr("crop")(image, kps, nb::arg("size") = crop_size,
                                             nb::arg("padding") = padding,
                                             nb::arg("normalize_rotation") = c[6]));
        results.append(record(nb::arg("bbox") = bbox, nb::arg("score") = score, nb::arg("kps") = kps,
                              nb::arg("image") = cropped, nb::arg("matrix") = matrix));
    }
    return results;
}

nb::object nms(Call &c) {
    nb::handle self = c[0], dets = c[1];
    nb::object cp = c.g("cp");
    nb::object thresh = cp.attr("float32")(self.attr("nms_thresh"));
    nb::object x1 = dets[nb::make_tuple(all(), 0)], y1 = dets[nb::make_tuple(all(), 1)];
    nb::object x2 = dets[nb::make_tuple(all(), 2)], y2 = dets[nb::make_tuple(all(), 3)];
    nb::object scores = dets[nb::make_tuple(all(), 4)];
    nb::object one = nb::int_(1);
    nb::object areas = (x2 - x1 + one) * (y2 - y1 + one);
    nb::object order = reversed(scores.attr("argsort")());
    nb::object maximum = cp.attr("maximum"), minimum = cp.attr("minimum");
    nb::object float32 = cp.attr("float32"), zero = nb::float_(0.0);
    nb::object where = cp.attr("where");
    nb::list keep;
    nb::object rest_slice = slice(1, nb::none());
    while (nb::cast<Py_ssize_t>(order.attr("size")) > 0) {
        nb::object i = order[nb::int_(0)];
        keep.append(i);
        nb::object rest = order[rest_slice];
        nb::object xx1 = maximum(x1[i], x1[rest]).attr("astype")(float32, nb::arg("copy") = false);
        nb::object yy1 = maximum(y1[i], y1[rest]).attr("astype")(float32, nb::arg("copy") = false);
        nb::object xx2 = minimum(x2[i], x2[rest]).attr("astype")(float32, nb::arg("copy") = false);
        nb::object yy2 = minimum(y2[i], y2[rest]).attr("astype")(float32, nb::arg("copy") = false);
        nb::object w = maximum(zero, xx2 - xx1 + one);
        nb::object h = maximum(zero, yy2 - yy1 + one);
        nb::object inter = w * h;
        nb::object ovr = inter / (areas[i] + areas[rest] - inter);
        nb::object inds = where(rich(ovr, thresh, Py_LE))[0];
        order = order[inds + one];
    }
    return keep;
}

nb::object distance2bbox(Call &c) {
    nb::object cp = c.g("cp");
    nb::object f32 = cp.attr("float32");
    nb::object points = c[1].attr("astype")(f32), distance = c[2].attr("astype")(f32);
    nb::object px = points[nb::make_tuple(all(), 0)], py = points[nb::make_tuple(all(), 1)];
    nb::object x1 = px - distance[nb::make_tuple(all(), 0)];
    nb::object y1 = py - distance[nb::make_tuple(all(), 1)];
    nb::object x2 = px + distance[nb::make_tuple(all(), 2)];
    nb::object y2 = py + distance[nb::make_tuple(all(), 3)];
    if (!c.none(3)) {
        nb::handle max_shape = c[3];
        nb::object clip = cp.attr("clip"), zero = nb::int_(0);
        nb::object hmax = max_shape[0], wmax = max_shape[1];
        x1 = clip(x1, zero, wmax);
        y1 = clip(y1, zero, hmax);
        x2 = clip(x2, zero, wmax);
        y2 = clip(y2, zero, hmax);
    }
    return cp.attr("stack")(kit::list_of(x1, y1, x2, y2), nb::arg("axis") = -1);
}

nb::object distance2kps(Call &c) {
    nb::object cp = c.g("cp");
    nb::object f32 = cp.attr("float32");
    nb::object points = c[1].attr("astype")(f32), distance = c[2].attr("astype")(f32);
    nb::handle max_shape = c[3];
    const bool bounded = truth(max_shape);
    const Py_ssize_t D = nb::cast<Py_ssize_t>(distance.attr("shape")[1]);
    nb::object clip = cp.attr("clip"), zero = nb::int_(0);
    nb::object inf = nb::float_(std::numeric_limits<double>::infinity());
    nb::object col[2] = {points[nb::make_tuple(all(), 0)], points[nb::make_tuple(all(), 1)]};
    nb::list preds;
    for (Py_ssize_t i = 0; i < D; ++i) {
        nb::object value = col[i % 2] + distance[nb::make_tuple(all(), nb::int_(i))];
        nb::object upper = bounded ? nb::object(max_shape[nb::int_(i % 2 == 0 ? 1 : 0)]) : inf;
        preds.append(clip(value, zero, upper));
    }
    return cp.attr("stack")(preds, nb::arg("axis") = -1);
}

nb::object crop_from_kps_with_padding(Call &c) {
    nb::handle image = c[1], kps = c[2], size = c[3];
    const double padding = c.f(4);
    nb::object cp = c.g("cp"), rx = c.g("rx");
    nb::object f32 = cp.attr("float32");

    static nb::handle rows = [] {
        nb::list l;
        for (const auto &r : kTemplate) l.append(kit::list_of(r[0], r[1]));
        return l.release();
    }();
    nb::object dst = cp.attr("array")(rows, nb::arg("dtype") = f32);

    // Sizes that are multiples of 112 scale the 112-pixel template; others use it as a 128-pixel
    // template shifted right by 8 template pixels.
    double ratio;
    nb::object diff_x;
    if (compare(size % nb::int_(112), nb::int_(0), Py_EQ)) {
        ratio = nb::cast<double>(size / nb::int_(112));
        diff_x = nb::int_(0);
    } else {
        ratio = nb::cast<double>(size / nb::int_(128));
        diff_x = nb::int_(std::trunc(8.0 * ratio));
    }
    dst = dst * nb::float_(ratio);
    inplace(dst[nb::make_tuple(all(), 0)], diff_x, PyNumber_InPlaceAdd);

    if (padding > 0.0) {
        nb::object center = cp.attr("mean")(dst, nb::arg("axis") = 0);
        dst = (dst - center) * nb::float_(1.0 / (1.0 + padding)) + center;
    }

    nb::object mean = cp.attr("mean"), norm = cp.attr("linalg").attr("norm"), sum = cp.attr("sum");
    nb::object dot = cp.attr("dot");
    nb::object src_mean = mean(kps, nb::arg("axis") = 0);
    nb::object dst_mean = mean(dst, nb::arg("axis") = 0);
    nb::object src_centered = kps - src_mean;
    nb::object dst_centered = dst - dst_mean;
    nb::object scale = sum(norm(dst_centered, nb::arg("axis") = 1)) / sum(norm(src_centered, nb::arg("axis") = 1));

    nb::object R, T;
    if (truth(c[5])) {
        auto [U, S, VT] = kit::unpack<3>(cp.attr("linalg").attr("svd")(dot(dst_centered.attr("T"), src_centered)));
        // A reflection is turned into a rotation by negating U's last column. Done without a
        // branch (a factor of -1 or 1) so the device never has to report the determinant.
        R = dot(U, VT);
        nb::object flip = cp.attr("where")(rich(cp.attr("linalg").attr("det")(R), nb::int_(0), Py_LT),
                                           nb::float_(-1.0), nb::float_(1.0));
        inplace(U[nb::make_tuple(all(), -1)], flip, PyNumber_InPlaceMultiply);
        R = dot(U, VT);
        T = dst_mean - scale * dot(R, src_mean);
    } else {
        R = cp.attr("eye")(2);
        T = dst_mean - scale * src_mean;
    }
    nb::object M = cp.attr("zeros")(nb::make_tuple(2, 3));
    M[nb::make_tuple(all(), slice(0, 2))] = scale * R;
    M[nb::make_tuple(all(), 2)] = T;
    nb::object cropped = rx.attr("affine_transform")(image, M, nb::make_tuple(size, size));
    return nb::make_tuple(cropped, M);
}

nb::object crop(Call &c) {
    nb::handle self = c[0], size = c[3];
    nb::object rx = c.g("rx");
    auto [output, matrix] = kit::unpack<2>(self.attr("crop_from_kps_with_padding")(
        c[1], c[2], size * nb::int_(2), nb::float_(c.f(4)), c[5]));
    output = rx.attr("resize")(output, nb::make_tuple(size, size), nb::arg("interpolation") = rx.attr("INTER_AUTO"));
    matrix = inplace(matrix, nb::int_(2), PyNumber_InPlaceTrueDivide);
    return nb::make_tuple(output, matrix);
}

kit::Fn crop_signature(const char *name, kit::Impl impl) {
    return kit::Fn(name, impl)
        .self()
        .p("image", "cp.ndarray")
        .p("kps", "cp.ndarray")
        .p("size", "int", kit::Int, nb::int_(512))
        .p("padding", "float", kit::Float, nb::float_(0.0))
        .p("normalize_rotation", "bool", kit::Any, nb::bool_(true))
        .ret("tuple[cp.ndarray, cp.ndarray]");
}

}  // namespace

kit::Fn forward_signature(const char *name, kit::Impl impl) {
    return kit::Fn(name, impl)
        .self()
        .p("image", "cp.ndarray")
        .p("threshold", "float", kit::Float)
        .ret("tuple[list[cp.ndarray], list[cp.ndarray], list[cp.ndarray]]");
}

nb::object make_base_class(nb::module_ m) {
    nb::object cls =
        kit::Class(m, "BaseFaceDetection", m.attr("BaseModelLoader"), "Base class for face detection models.")
            .def(kit::model_init_fn(init))
            .def(forward_signature("forward", forward))
            .def(kit::Fn("get", get)
                     .self()
                     .p("image", "cp.ndarray")
                     .p("crop_size", "int", kit::Int, nb::int_(512))
                     .p("max_num", "int", kit::Int, nb::int_(0))
                     .p("metric", "str", kit::Str, nb::str("default"))
                     .p("padding", "float", kit::Float, nb::float_(0.0))
                     .p("normalize_rotation", "bool", kit::Any, nb::bool_(true))
                     .ret("list[CorvantaFace]"))
            .def(kit::Fn("nms", nms).self().p("dets", "cp.ndarray").doc("Non-Maximum Suppression"))
            .def(kit::Fn("distance2bbox", distance2bbox)
                     .self()
                     .p("points", "cp.ndarray")
                     .p("distance", "cp.ndarray")
                     .p("max_shape", nullptr, kit::Any, nb::none())
                     .ret("cp.ndarray")
                     .doc("Convert distance predictions to bounding boxes"))
            .def(kit::Fn("distance2kps", distance2kps)
                     .self()
                     .p("points", "cp.ndarray")
                     .p("distance", "cp.ndarray")
                     .p("max_shape", nullptr, kit::Any, nb::none())
                     .ret("cp.ndarray")
                     .doc("Convert distance predictions to keypoints"))
            .def(crop_signature("crop_from_kps_with_padding", crop_from_kps_with_padding))
            .def(crop_signature("crop", crop))
            .make();
    g_base_class = cls.inc_ref();
    return cls;
}

}  // namespace corvanta::detection

KIT_MODULE(detection, m) {
    m.attr("os") = nb::module_::import_("os");
    m.attr("cp") = nb::module_::import_("cupy");
    m.attr("onnxruntime") = nb::module_::import_("onnxruntime");
    m.attr("rx") = nb::module_::import_("rastrix");
    m.attr("trt") = nb::module_::import_("tensorrt");
    m.attr("BaseModelLoader") = kit::import_from(m, "base", "BaseModelLoader");
    m.attr("CorvantaFace") = kit::import_from(m, "schema", "CorvantaFace");

    nb::object base = corvanta::detection::make_base_class(m);
    corvanta::detection::make_backend_classes(m, base);
}
