// The ONNX Runtime and TensorRT back-ends of corvanta.detection, and the anchor decoding they share.
#include "detection.h"

#include <recipes.h>

namespace corvanta::detection {

namespace {

using kit::Call;

nb::handle g_onnx_class, g_trt_class;  // for super() in their constructors

// The anchor configuration, from the number of model outputs.
void configure_anchors(nb::handle self, Py_ssize_t num_outputs) {
    self.attr("use_kps") = false;
    self.attr("_anchor_ratio") = 1.0;
    self.attr("_num_anchors") = 1;
    if (num_outputs == 6 || num_outputs == 9) {
        self.attr("fmc") = 3;
        self.attr("_feat_stride_fpn") = kit::list_of(8, 16, 32);
        self.attr("_num_anchors") = 2;
        if (num_outputs == 9) self.attr("use_kps") = true;
    } else if (num_outputs == 10 || num_outputs == 15) {
        self.attr("fmc") = 5;
        self.attr("_feat_stride_fpn") = kit::list_of(8, 16, 32, 64, 128);
        self.attr("_num_anchors") = 1;
        if (num_outputs == 15) self.attr("use_kps") = true;
    }
}

// Anchor centres (x * stride, y * stride) over a height x width grid, each repeated `anchors`
// times in a row; cached per (height, width, stride) while the cache has fewer than 100 entries.
// A cached array of another length (made under another anchor count) is not reused.
nb::object anchor_centers(nb::handle cp, nb::handle self, Py_ssize_t height, Py_ssize_t width,
                          Py_ssize_t stride) {
    nb::object cache = self.attr("center_cache");
    const Py_ssize_t anchors = nb::cast<Py_ssize_t>(self.attr("_num_anchors"));
    Py_ssize_t count, bytes;
    if (__builtin_mul_overflow(height, width, &count) || __builtin_mul_overflow(count, anchors, &count) ||
        __builtin_mul_overflow(count, (Py_ssize_t) (2 * sizeof(float)), &bytes))
        kit::raise(PyExc_MemoryError, "%zd x %zd anchor centres with %zd anchors each are too many", height, width,
                   anchors);
    nb::object key = nb::make_tuple(height, width, stride);
    int has = PySequence_Contains(cache.ptr(), key.ptr());
    if (has < 0) throw nb::python_error();
    if (has) {
        nb::object cached = cache[key];
        if (nb::cast<Py_ssize_t>(cached.attr("shape")[0]) == count) return cached;
    }
    nb::object grid = cp.attr("mgrid")[nb::make_tuple(nb::slice(nb::int_(0), nb::int_(height), nb::none()),
                                                      nb::slice(nb::int_(0), nb::int_(width), nb::none()))];
    nb::object xy = cp.attr("stack")(kit::list_of(grid[nb::int_(1)], grid[nb::int_(0)]), nb::arg("axis") = -1);
    nb::object centers = (xy.attr("astype")(cp.attr("float32")) * nb::int_(stride)).attr("reshape")(
        nb::make_tuple(-1, 2));
    if (anchors > 1) {
        nb::object copies = nb::steal(PySequence_Repeat(kit::list_of(centers).ptr(), anchors));
        if (!copies.is_valid()) throw nb::python_error();
        centers = cp.attr("stack")(copies, nb::arg("axis") = 1).attr("reshape")(nb::make_tuple(-1, 2));
    }
    if (!has) {
        const Py_ssize_t cached = PyObject_Length(cache.ptr());
        if (cached < 0) throw nb::python_error();
        if (cached < 100) cache[key] = centers;
    }
    return centers;
}

// The per-stride decoding: three lists of per-stride arrays of the anchors that pass.
nb::object decode(const Call &c, nb::handle self, nb::handle net_outs, nb::handle input_height,
                  nb::handle input_width, double threshold) {
    nb::object cp = c.g("cp");
    nb::object f32 = cp.attr("float32");
    nb::list scores_list, bboxes_list, kpss_list;
    const Py_ssize_t fmc = nb::cast<Py_ssize_t>(self.attr("fmc"));
    const Py_ssize_t h = nb::cast<Py_ssize_t>(input_height), w = nb::cast<Py_ssize_t>(input_width);
    nb::object thresh = nb::float_(threshold);
    Py_ssize_t idx = 0;
    for (nb::handle stride_obj : self.attr("_feat_stride_fpn")) {
        const Py_ssize_t stride = nb::cast<Py_ssize_t>(stride_obj);
        if (stride < 1) kit::raise(PyExc_ValueError, "_feat_stride_fpn: strides must be positive, got %zd", stride);
        nb::object scores = net_outs[nb::int_(idx)].attr("astype")(f32);
        nb::object bbox_preds = net_outs[nb::int_(idx + fmc)].attr("astype")(f32) * stride_obj;
        nb::object centers = anchor_centers(cp, self, h / stride, w / stride, stride);
        nb::object ge = nb::steal(PyObject_RichCompare(scores.ptr(), thresh.ptr(), Py_GE));
        if (!ge.is_valid()) throw nb::python_error();
        nb::object pos_inds = cp.attr("where")(ge)[nb::int_(0)];
        nb::object bboxes = self.attr("distance2bbox")(centers, bbox_preds);
        scores_list.append(scores[pos_inds]);
        bboxes_list.append(bboxes[pos_inds]);
        if (kit::truth(self.attr("use_kps"))) {
            nb::object kps_preds = net_outs[nb::int_(idx + 2 * fmc)].attr("astype")(f32) * stride_obj;
            nb::object kpss = self.attr("distance2kps")(centers, kps_preds);
            kpss = kpss.attr("reshape")(nb::make_tuple(kpss.attr("shape")[0], -1, 2));
            kpss_list.append(kpss[pos_inds]);
        }
        ++idx;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::make_tuple(scores_list, bboxes_list, kpss_list);
}

// ---- OnnxFaceDetection ----------------------------------------------------------------------

nb::object onnx_init(Call &c) {
    kit::onnx_construct(c, g_onnx_class);
    return nb::none();
}

bool is_int(nb::handle v) { return PyLong_CheckExact(v.ptr()); }

nb::object onnx_initialize(Call &c) {
    nb::handle self = c[0];
    nb::object session = kit::onnx_session(c, c[1], c[2], c[3]);
    self.attr("session") = session;
    nb::object input_cfg = session.attr("get_inputs")()[nb::int_(0)];
    nb::object shape = input_cfg.attr("shape");
    if (PyObject_Length(shape.ptr()) < 4) {
        if (PyErr_Occurred()) throw nb::python_error();
        kit::raise(PyExc_ValueError, "the detector's first input must be laid out N x 3 x H x W, got shape %R",
                   shape.ptr());
    }
    // A dimension that is not a number (a name, or none) is symbolic: input_size stays.
    nb::object height = shape[nb::int_(2)], width = shape[nb::int_(3)];
    if (is_int(height) && is_int(width)) self.attr("input_size") = nb::make_tuple(width, height);
    nb::object input_name = input_cfg.attr("name");
    self.attr("input_shape") = shape;
    nb::list output_names;
    for (nb::handle out : session.attr("get_outputs")()) output_names.append(out.attr("name"));
    self.attr("input_name") = input_name;
    self.attr("output_names") = output_names;
    self.attr("input_mean") = 0.5;
    self.attr("input_std") = 0.5019607843137255;
    configure_anchors(self, nb::len(output_names));
    return nb::none();
}

nb::object onnx_forward(Call &c) {
    nb::handle self = c[0];
    nb::object cp = c.g("cp"), rx = c.g("rx");
    nb::object batch = rx.attr("images_to_batch")(c[1], nb::arg("std") = self.attr("input_std"),
                                                  nb::arg("size") = self.attr("input_size"),
                                                  nb::arg("mean") = self.attr("input_mean"));
    nb::object host = rx.attr("to_numpy")(batch);
    nb::dict feed;
    feed[self.attr("input_name")] = host;
    nb::object outs = self.attr("session").attr("run")(self.attr("output_names"), feed);
    nb::list net_outs;
    for (nb::handle o : outs) net_outs.append(cp.attr("asarray")(o));
    nb::object shape = host.attr("shape");
    return decode(c, self, net_outs, shape[nb::int_(2)], shape[nb::int_(3)], c.f(2));
}

// ---- TrtFaceDetection -----------------------------------------------------------------------

nb::object trt_init(Call &c) {
    kit::trt_construct(c, g_trt_class,
                       kit::dynamic_shape_build(c, "bf16", nb::make_tuple(1, 1, 1), nb::make_tuple(640, 640, 640)));
    return nb::none();
}

nb::object trt_initialize(Call &c) {
    nb::handle self = c[0];
    kit::trt_setup(c, c.g("trt"), self, c[1], false, [&](const kit::EngineNames &names) {
        self.attr("input_tensor") = nb::len(names.inputs) ? nb::object(names.inputs[0]) : nb::object(nb::str("input"));
        self.attr("output_names") = names.outputs;
        configure_anchors(self, nb::len(names.outputs));
        nb::object input_shape = kit::as_list(self.attr("d_inputs")[self.attr("input_tensor")].attr("shape"));
        if (nb::len(input_shape) > 3)
            self.attr("input_size") = nb::make_tuple(input_shape[3], input_shape[2]);
        self.attr("input_buffer") = nb::none();
        self.attr("output_buffer") = nb::none();
    });
    return nb::none();
}

nb::object trt_forward(Call &c) {
    nb::handle self = c[0];
    nb::object rx = c.g("rx");
    nb::object batch = rx.attr("images_to_batch")(c[1], nb::arg("std") = self.attr("input_std"),
                                                  nb::arg("mean") = self.attr("input_mean"));
    kit::trt_execute(c, c.g("trt"), self, self.attr("input_tensor"), batch);
    nb::list net_outs;
    nb::object d_outputs = self.attr("d_outputs");
    for (nb::handle name : self.attr("output_names")) net_outs.append(d_outputs[name]);
    nb::object shape = batch.attr("shape");
    return decode(c, self, net_outs, shape[nb::int_(2)], shape[nb::int_(3)], c.f(2));
}

}  // namespace

void make_backend_classes(nb::module_ m, nb::handle base) {
    nb::object onnx = kit::Class(m, "OnnxFaceDetection", base)
                          .def(kit::model_init_fn(onnx_init))
                          .def(kit::model_initialize_fn(onnx_initialize, true))
                          .def(forward_signature("forward", onnx_forward))
                          .make();
    g_onnx_class = onnx.inc_ref();
    nb::object trt = kit::Class(m, "TrtFaceDetection", base)
                         .def(kit::model_init_fn(trt_init))
                         .def(kit::model_initialize_fn(trt_initialize, false))
                         .def(forward_signature("forward", trt_forward))
                         .make();
    g_trt_class = trt.inc_ref();
}

}  // namespace corvanta::detection
