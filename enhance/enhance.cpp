// corvanta.enhance: face restoration.
//
// BaseFaceEnhance turns images into model batches with rastrix, runs the back-end's forward one
// image at a time and turns the output back into images. OnnxFaceEnhance runs the model with ONNX
// Runtime; TrtFaceEnhance with a TensorRT engine built for the fixed input shape 1 x 3 x 512 x 512.
#include <kit.h>
#include <recipes.h>

namespace nb = nanobind;
using kit::Call;

namespace {

nb::handle g_base, g_onnx, g_trt;  // the classes, for super() in their constructors

constexpr const char *kBaseDoc =
    "\n"
    "    Base class for face enhancement models.\n"
    "\n"
    "    Improves face image quality by reducing artifacts, enhancing details,\n"
    "    and restoring facial features using generative models like GFPGAN.\n"
    "    ";

constexpr const char *kBatchGetDoc =
    "\n"
    "        Process a batch of images for face enhancement.\n"
    "\n"
    "        Args:\n"
    "            images (list[cp.ndarray]): List of input images.\n"
    "\n"
    "        Returns:\n"
    "            list[cp.ndarray]: List of enhanced images.\n"
    "        ";

#define FORWARD_DOC(what)                                                          \
    "\n"                                                                           \
    "        Execute " what " inference on a preprocessed batch.\n"                \
    "\n"                                                                           \
    "        Args:\n"                                                              \
    "            batch (cp.ndarray): Preprocessed batch tensor of shape (N, C, H, W).\n" \
    "\n"                                                                           \
    "        Returns:\n"                                                           \
    "            cp.ndarray: Output tensor from the model.\n"                      \
    "        "

// ---- BaseFaceEnhance ------------------------------------------------------------------------

nb::object base_init(Call &c) {
    nb::handle self = c[0];
    kit::super_attr(g_base, self, "__init__")(c[1], c[2], c[3]);
    self.attr("input_size") = 512;
    self.attr("input_mean") = 0.5;
    self.attr("input_std") = 0.5;
    return nb::none();
}

nb::object base_forward(Call &) {
    kit::raise(PyExc_NotImplementedError, "forward method must be implemented in subclass");
}

// The model output back to images, the normalisation undone.
// The attributes are read into locals first, in keyword order: C++ leaves the order in which call
// arguments are evaluated open.
nb::object to_images(const Call &c, nb::handle self, nb::handle preds) {
    nb::object std_ = self.attr("input_std"), mean = self.attr("input_mean");
    return c.g("rx").attr("batch_to_images")(preds, nb::arg("std") = std_, nb::arg("mean") = mean,
                                             nb::arg("swap_rb") = true, nb::arg("layout") = "NCHW");
}

nb::object get(Call &c) {
    nb::handle self = c[0];
    nb::object size = self.attr("input_size"), std_ = self.attr("input_std"), mean = self.attr("input_mean");
    nb::object batch = c.g("rx").attr("image_to_batch")(c[1], nb::arg("size") = size, nb::arg("std") = std_,
                                                        nb::arg("mean") = mean, nb::arg("swap_rb") = true,
                                                        nb::arg("layout") = "HWC");
    nb::object preds = self.attr("forward")(batch);
    return to_images(c, self, preds)[nb::int_(0)];
}

// One batch for the whole list, then the model on each row alone (its engine takes batches of
// one), the outputs joined on the device and converted back at once.
nb::object batch_get(Call &c) {
    nb::handle self = c[0];
    nb::object std_ = self.attr("input_std"), size = self.attr("input_size"), mean = self.attr("input_mean");
    nb::object batch = c.g("rx").attr("images_to_batch")(c[1], nb::arg("std") = std_, nb::arg("size") = size,
                                                         nb::arg("mean") = mean, nb::arg("swap_rb") = true,
                                                         nb::arg("layout") = "HWC");
    const Py_ssize_t rows = PyObject_Length(batch.ptr());
    if (rows < 0) throw nb::python_error();
    nb::list preds;
    nb::object forward = self.attr("forward");
    for (Py_ssize_t i = 0; i < rows; ++i)
        preds.append(forward(batch[nb::slice(nb::int_(i), nb::int_(i + 1), nb::none())]));
    nb::object joined = c.g("cp").attr("concatenate")(preds, nb::arg("axis") = 0);
    nb::object images = to_images(c, self, joined);
    kit::check_list(images, true);
    return images;
}

// ---- OnnxFaceEnhance ------------------------------------------------------------------------

nb::object onnx_init(Call &c) {
    kit::onnx_construct(c, g_onnx);
    return nb::none();
}

nb::object onnx_initialize(Call &c) {
    nb::handle self = c[0];
    nb::object session = kit::onnx_session(c, c[1], c[2], c[3]);
    self.attr("session") = session;
    // An object, not an item accessor: the accessor would index the list get_inputs returned
    // after that list is gone (a session may make a new one at each call).
    auto first_input = [&]() -> nb::object { return session.attr("get_inputs")()[nb::int_(0)]; };
    self.attr("input_name") = first_input().attr("name");
    nb::object shape = first_input().attr("shape");
    self.attr("input_shape") = shape;
    self.attr("dtype") = first_input().attr("type");
    const Py_ssize_t rank = PyObject_Length(shape.ptr());
    if (rank < 0) throw nb::python_error();
    if (rank < 3) kit::raise(PyExc_ValueError, "the restorer's first input must be laid out N x 3 x H x W, got shape %R",
                             shape.ptr());
    self.attr("input_size") = shape[nb::int_(2)];
    return nb::none();
}

nb::object onnx_forward(Call &c) {
    nb::handle self = c[0];
    nb::object cp = c.g("cp");
    nb::dict feed;
    feed[self.attr("input_name")] = cp.attr("asnumpy")(c[1]);
    nb::object outs = self.attr("session").attr("run")(nb::none(), feed);
    return cp.attr("asarray")(outs[nb::int_(0)]);
}

// ---- TrtFaceEnhance -------------------------------------------------------------------------

// The CUDA device index of a device text: the integer after its last ":" (int()'s rules, so
// "cuda:" and "cuda:a" raise ValueError), 0 when it has none.
nb::object device_index(nb::handle device) {
    const Py_ssize_t n = PyUnicode_GetLength(device.ptr());
    const Py_ssize_t colon = PyUnicode_FindChar(device.ptr(), ':', 0, n, -1);
    if (colon == -2) throw nb::python_error();
    if (colon == -1) return nb::int_(0);
    nb::object field = nb::steal(PyUnicode_Substring(device.ptr(), colon + 1, n));
    if (!field.is_valid()) throw nb::python_error();
    nb::object index = nb::steal(PyLong_FromUnicodeObject(field.ptr(), 10));
    if (!index.is_valid()) throw nb::python_error();
    return index;
}

bool ends_with(nb::handle text, const char *suffix) {
    nb::str s(suffix);
    const Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), s.ptr(), 0, PY_SSIZE_T_MAX, 1);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// The engine bytes of a model path: a ".trt" path or any other path is the engine file itself;
// an ".onnx" path has its engine beside it (".onnx" replaced by ".trt" throughout), built for the
// fixed input shape when it is missing.
nb::object engine_bytes(const Call &c, nb::handle model_path) {
    nb::object engine_path = nb::borrow(model_path);
    if (ends_with(model_path, ".onnx")) {
        nb::object trt_path = nb::steal(PyUnicode_Replace(model_path.ptr(), nb::str(".onnx").ptr(),
                                                          nb::str(".trt").ptr(), -1));
        if (!trt_path.is_valid()) throw nb::python_error();
        if (!kit::path_exists(c, trt_path)) {
            kit::fixed_shape_build(c, nb::make_tuple(1, 3, 512, 512), "tf32")(model_path, trt_path);
            if (!kit::path_exists(c, trt_path)) {
                nb::object msg = nb::str("Failed to convert ONNX model to TensorRT engine: ") + nb::str(trt_path);
                PyErr_SetObject(PyExc_FileNotFoundError, msg.ptr());
                throw nb::python_error();
            }
        }
        engine_path = trt_path;
    }
    return kit::read_file(c, engine_path);
}

// The device index comes first, so a bad device text fails before anything is set up; a given
// path always decides the bytes, also when bytes were passed too. Neither the engine path nor the
// bytes read are stored.
nb::object trt_init(Call &c) {
    nb::handle self = c[0], model_path = c[1];
    nb::object device_id = device_index(c[3]);
    kit::super_attr(g_trt, self, "__init__")(c[1], c[2], c[3]);
    self.attr("device_id") = device_id;
    nb::object model_bytes = nb::borrow(c[2]);
    if (!model_path.is_none()) model_bytes = engine_bytes(c, model_path);
    if (model_bytes.is_none())
        kit::raise(PyExc_ValueError, "model_bytes must be provided if model_path is not specified");
    self.attr("initialize")(model_bytes);
    return nb::none();
}

// The engine set-up inside the model's device context; the input gets its buffer from the first
// forward. The last input in engine order is the one served.
nb::object trt_initialize(Call &c) {
    nb::handle self = c[0];
    kit::TrtSetupOptions options;
    options.keep_runtime = false;
    options.input_buffers = false;
    kit::trt_setup(
        c, c.g("trt"), self, c[1], false,
        [&](const kit::EngineNames &names) {
            const size_t inputs = nb::len(names.inputs);
            if (inputs) self.attr("input_name") = names.inputs[inputs - 1];
            self.attr("input_size") = 512;
        },
        options);
    return nb::none();
}

// One execution, wholly inside the model's device context, so a re-made input buffer and the
// returned copy lie on the model's device. The input buffer follows the batch's shape (re-made and
// re-bound when it changes) and takes the engine's tensor type; a batch of another shape than the
// engine's input is refused before anything runs, and a refused execution always raises. No input
// shape is set and the output buffers stay as the set-up made them.
nb::object trt_forward(Call &c) {
    nb::handle self = c[0];
    nb::object cp = c.g("cp"), result;
    kit::TrtRunOptions run;
    run.late_shape_check = true;
    run.failure_text = "TensorRT execution failed";
    run.failure_as_assertion = true;
    kit::with(cp.attr("cuda").attr("Device")(self.attr("device_id")), [&](nb::handle) {
        nb::object input_name = self.attr("input_name");
        kit::trt_execute(c, c.g("trt"), self, {kit::TrtFeed{input_name, c[1]}}, {}, run);
        nb::object d_outputs = self.attr("d_outputs");
        nb::object names = nb::steal(PyObject_GetIter(d_outputs.ptr()));
        if (!names.is_valid()) throw nb::python_error();
        nb::object first = nb::steal(PyIter_Next(names.ptr()));  // the first output in engine order
        if (!first.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            kit::raise(PyExc_RuntimeError, "the TensorRT engine has no output tensor");
        }
        result = cp.attr("copy")(d_outputs[first]);
    });
    return result;
}

// ---- surface ----------------------------------------------------------------------------------

kit::Fn forward_fn(kit::Impl impl, const char *doc) {
    return kit::Fn("forward", impl).self().p("batch", "cp.ndarray").ret("cp.ndarray").doc(doc);
}

}  // namespace

KIT_MODULE(enhance, m) {
    m.attr("os") = nb::module_::import_("os");
    m.attr("cp") = nb::module_::import_("cupy");
    m.attr("onnxruntime") = nb::module_::import_("onnxruntime");
    m.attr("rx") = nb::module_::import_("rastrix");
    m.attr("trt") = nb::module_::import_("tensorrt");
    m.attr("BaseModelLoader") = kit::import_from(m, "base", "BaseModelLoader");

    nb::object base =
        kit::Class(m, "BaseFaceEnhance", m.attr("BaseModelLoader"), kBaseDoc)
            .def(kit::model_init_fn(base_init))
            .def(forward_fn(base_forward, "\n        Placeholder for the forward method.\n        "))
            .def(kit::Fn("get", get).self().p("image", "cp.ndarray").ret("cp.ndarray"))
            .def(kit::Fn("batch_get", batch_get)
                     .self()
                     .p("images", "list[cp.ndarray]", kit::List)
                     .ret("list[cp.ndarray]")
                     .doc(kBatchGetDoc))
            .make();
    g_base = base.inc_ref();
    nb::object onnx =
        kit::Class(m, "OnnxFaceEnhance", base, "GFPGAN Face enhancer using ONNX Runtime for face quality improvement.")
            .def(kit::model_init_fn(onnx_init))
            .def(kit::model_initialize_fn(onnx_initialize, true))
            .def(forward_fn(onnx_forward, FORWARD_DOC("ONNX")))
            .make();
    g_onnx = onnx.inc_ref();
    nb::object trt =
        kit::Class(m, "TrtFaceEnhance", base, "Face enhancer using TensorRT for high-performance face quality improvement.")
            .def(kit::model_init_fn(trt_init))
            .def(kit::Fn("initialize", trt_initialize).self().p("model_bytes", "bytes", kit::Bytes).ret("None"))
            .def(forward_fn(trt_forward, FORWARD_DOC("TensorRT")))
            .make();
    g_trt = trt.inc_ref();
}
