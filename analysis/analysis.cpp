// corvanta.analysis: gender and age of a detected face.
//
// The model gives three values for a face record's crop: a female and a male score and the age
// divided by 100. The gender is the arg-max of the two scores (ties go to 0, female); the age is
// the third value times 100 in the output's own element type, rounded half to even.
#include <kit.h>
#include <recipes.h>

namespace nb = nanobind;
using kit::Call;

namespace {

nb::handle g_onnx;  // OnnxFaceAnalysis, for super() in its constructor
nb::handle g_base;  // BaseFaceAnalysis

// ---- BaseFaceAnalysis ---------------------------------------------------------------------------

nb::object base_init(Call &c) {
    nb::handle self = c[0];
    kit::super_attr(g_base, self, "__init__")(c[1], c[2], c[3]);
    self.attr("input_size") = nb::none();
    self.attr("taskname") = "genderage";
    self.attr("input_mean") = 0.0;
    self.attr("input_std") = 0.0078125;  // 1/128
    return nb::none();
}

nb::object base_forward(Call &) {
    kit::raise(PyExc_NotImplementedError, "forward method must be implemented in subclass");
}

Py_ssize_t entries(nb::handle pred) {
    const Py_ssize_t n = PyObject_Length(pred.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

nb::object get(Call &c) {
    nb::handle self = c[0];
    nb::object face_image = c[1].attr("image");
    nb::object pred = self.attr("forward")(face_image);
    if (kit::assertions() && entries(pred) != 3)
        kit::raise(PyExc_AssertionError, "Expected 3 outputs for genderage, got %zd", entries(pred));
    nb::object cp = c.g("cp");
    nb::object gender = nb::int_(cp.attr("argmax")(pred[nb::slice(nb::none(), nb::int_(2), nb::none())]));
    nb::object age = nb::int_(cp.attr("round")(pred[nb::int_(2)] * nb::int_(100)));
    return nb::make_tuple(gender, age);
}

// ---- OnnxFaceAnalysis ---------------------------------------------------------------------------

nb::object onnx_init(Call &c) {
    kit::onnx_construct(c, g_onnx);
    return nb::none();
}

nb::object onnx_initialize(Call &c) {
    nb::handle self = c[0];
    // This role loads no provider libraries up front.
    nb::object session = kit::onnx_session(c, c[1], c[2], c[3], /*preload=*/false);
    self.attr("session") = session;

    nb::object input_cfg = session.attr("get_inputs")()[nb::int_(0)];
    nb::object input_shape = input_cfg.attr("shape");
    nb::object input_name = input_cfg.attr("name");
    self.attr("input_shape") = input_shape;
    if (nb::len(input_shape) >= 4) self.attr("input_size") = nb::make_tuple(input_shape[nb::int_(3)], input_shape[nb::int_(2)]);
    nb::list output_names;
    for (nb::handle o : session.attr("get_outputs")()) output_names.append(o.attr("name"));
    self.attr("input_name") = input_name;
    self.attr("output_names") = output_names;
    return nb::none();
}

nb::object onnx_forward(Call &c) {
    nb::handle self = c[0];
    nb::object rx = c.g("rx");
    nb::object batch = rx.attr("image_to_batch")(c[1], nb::arg("size") = self.attr("input_size"),
                                                 nb::arg("mean") = self.attr("input_mean"),
                                                 nb::arg("std") = self.attr("input_std"), nb::arg("swap_rb") = true);
    nb::object blob = rx.attr("to_numpy")(batch);
    nb::dict feed;
    feed[self.attr("input_name")] = blob;
    nb::object outputs = self.attr("session").attr("run")(self.attr("output_names"), feed);
    return c.g("cp").attr("asarray")(outputs[nb::int_(0)][nb::int_(0)]);
}

// ---- surface --------------------------------------------------------------------------------------

kit::Fn init_fn(kit::Impl impl) {
    return kit::Fn("__init__", impl)
        .self()
        .p("model_path", "str | None", kit::Str | kit::OrNone, nb::none())
        .p("model_bytes", "bytes | None", kit::Bytes | kit::OrNone, nb::none())
        .p("device", "str", kit::Str, nb::str("cuda"))
        .ret("None");
}

kit::Fn forward_fn(kit::Impl impl, const char *doc) {
    return kit::Fn("forward", impl).self().p("face_image", "cp.ndarray").ret("cp.ndarray").doc(doc);
}

}  // namespace

KIT_MODULE(analysis, m) {
    m.attr("Tuple") = nb::module_::import_("typing").attr("Tuple");
    m.attr("cp") = nb::module_::import_("cupy");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("onnxruntime") = nb::module_::import_("onnxruntime");
    m.attr("rx") = nb::module_::import_("rastrix");
    m.attr("BaseModelLoader") = kit::import_from(m, "base", "BaseModelLoader");
    m.attr("CorvantaFace") = kit::import_from(m, "schema", "CorvantaFace");

    nb::object base = kit::Class(m, "BaseFaceAnalysis", m.attr("BaseModelLoader"),
                                 "\n"
                                 "    Base class for face analysis models.\n"
                                 "    Analyzes faces to extract attributes such as gender and age.\n"
                                 "    ")
                          .def(init_fn(base_init))
                          .def(forward_fn(base_forward,
                                          "\n"
                                          "        Placeholder for the forward method.\n"
                                          "        Must be implemented by subclasses.\n"
                                          "        "))
                          .def(kit::Fn("get", get)
                                   .self()
                                   .p("face", "CorvantaFace")
                                   .ret("Tuple[int, int]")
                                   .doc("\n"
                                        "        Get gender and age attributes for a face.\n"
                                        "        "))
                          .make();
    g_base = base.inc_ref();

    nb::object onnx = kit::Class(m, "OnnxFaceAnalysis", base,
                                 "\n"
                                 "    ONNX-based face analysis implementation.\n"
                                 "    Uses ONNX Runtime for inference on gender and age prediction models.\n"
                                 "    ")
                          .def(init_fn(onnx_init))
                          .def(kit::Fn("initialize", onnx_initialize)
                                   .self()
                                   .p("model_bytes", "bytes", kit::Bytes)
                                   .p("device", "str", kit::Str)
                                   .p("device_id", "str", kit::Str, nb::str("0"))
                                   .ret("None")
                                   .doc("\n"
                                        "        Initialize ONNX Runtime session.\n"
                                        "        "))
                          .def(forward_fn(onnx_forward,
                                          "\n"
                                          "        Run forward pass on face image.\n"
                                          "        "))
                          .make();
    g_onnx = onnx.inc_ref();
}
