// corvanta.embedding: a face record's crop to its identity latent.
//
// The recognition model's embedding is scaled to unit length, multiplied as one row by the
// identity-projection matrix (`idmap`) and scaled to unit length again.
#include <kit.h>
#include <recipes.h>

namespace nb = nanobind;
using kit::Call;

namespace {

nb::handle g_base, g_onnx, g_trt;  // the classes, for super() in their constructors

constexpr const char *kBaseDoc =
    "Base class for face feature extraction models.\n"
    "\n"
    "Extracts facial embeddings/features from face images for recognition,\n"
    "comparison, and identity-based operations like face swapping.";

// ---- the identity latent ------------------------------------------------------------------

nb::object latent_of(const Call &c, nb::handle self, nb::handle face) {
    nb::object cp = c.g("cp");
    nb::object norm = cp.attr("linalg").attr("norm");
    nb::object embedding = self.attr("forward")(face.attr("image"));
    nb::object row = (embedding / norm(embedding)).attr("reshape")(nb::make_tuple(1, -1));
    nb::object latent = cp.attr("dot")(row, self.attr("idmap"));
    return latent / norm(latent);
}

// The base class falls back to the plain matrix file beside the module when the object has no
// `idmap` of its own.
nb::object base_get(Call &c) {
    nb::handle self = c[0];
    PyObject *have = PyObject_GetAttrString(self.ptr(), "idmap");
    if (have) {
        Py_DECREF(have);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        nb::object path = c.g("os").attr("path");
        nb::object folder = path.attr("dirname")(path.attr("abspath")(c.g("__file__")));
        self.attr("idmap") = c.g("cp").attr("load")(path.attr("join")(folder, "idmap.npy"));
    }
    return latent_of(c, self, c[1]);
}

nb::object backend_get(Call &c) { return latent_of(c, c[0], c[1]); }

nb::object base_init(Call &c) {
    nb::handle self = c[0];
    kit::super_attr(g_base, self, "__init__")(c[1], c[2], c[3]);
    self.attr("input_size") = nb::make_tuple(112, 112);
    self.attr("input_mean") = 0.5;
    self.attr("input_std") = 0.5;
    return nb::none();
}

nb::object base_forward(Call &) {
    kit::raise(PyExc_NotImplementedError, "forward method must be implemented in subclass");
}

nb::object image_list(nb::handle images) {
    if (PyList_Check(images.ptr())) return nb::borrow(images);
    return kit::list_of(images);
}

nb::object make_batch(const Call &c, nb::handle self, nb::handle images) {
    return c.g("rx").attr("images_to_batch")(image_list(images), nb::arg("std") = self.attr("input_std"),
                                             nb::arg("size") = self.attr("input_size"),
                                             nb::arg("mean") = self.attr("input_mean"));
}

// ---- OnnxFaceEmbedding ------------------------------------------------------------------------

nb::object onnx_init(Call &c) {
    kit::onnx_construct(c, g_onnx);
    return nb::none();
}

bool starts(nb::handle name, const char *a, const char *b) {
    return kit::truth(name.attr("startswith")(a)) || kit::truth(name.attr("startswith")(b));
}

nb::object onnx_initialize(Call &c) {
    nb::handle self = c[0], model_bytes = c[1];
    self.attr("idmap") = c.g("load_idmap")();
    nb::object session = kit::onnx_session(c, model_bytes, c[2], c[3]);
    self.attr("session") = session;

    // Models that normalise inside the graph (a Sub and a Mul among the first nodes) take the
    // image as it is.
    nb::object graph = c.g("onnx").attr("load_model_from_string")(model_bytes).attr("graph");
    bool find_sub = false, find_mul = false;
    nb::object nodes = graph.attr("node");
    const Py_ssize_t n = nb::len(nodes);
    for (Py_ssize_t i = 0; i < n && i < 8; ++i) {
        nb::object name = nodes[nb::int_(i)].attr("name");
        if (starts(name, "Sub", "_minus")) find_sub = true;
        if (starts(name, "Mul", "_mul")) find_mul = true;
    }
    self.attr("input_mean") = (find_sub && find_mul) ? 0.0 : 0.5;
    self.attr("input_std") = (find_sub && find_mul) ? 1.0 : 0.5;

    nb::object input_cfg = session.attr("get_inputs")()[nb::int_(0)];
    nb::object input_shape = input_cfg.attr("shape");
    nb::object input_name = input_cfg.attr("name");
    nb::object size = input_shape[nb::slice(nb::int_(2), nb::int_(4), nb::none())];
    self.attr("input_size") = kit::as_tuple(size[nb::slice(nb::none(), nb::none(), nb::int_(-1))]);
    self.attr("input_shape") = input_shape;
    nb::object outputs = session.attr("get_outputs")();
    nb::list output_names;
    for (nb::handle o : outputs) output_names.append(o.attr("name"));
    self.attr("input_name") = input_name;
    self.attr("output_names") = output_names;
    if (kit::assertions() && nb::len(output_names) != 1) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
    self.attr("output_shape") = outputs[nb::int_(0)].attr("shape");
    return nb::none();
}

nb::object onnx_forward(Call &c) {
    nb::handle self = c[0];
    nb::object rx = c.g("rx");
    nb::object batch = make_batch(c, self, c[1]);
    if (nb::cast<Py_ssize_t>(batch.attr("ndim")) == 5) batch = batch.attr("squeeze")(0);
    nb::object blob = rx.attr("to_numpy")(batch);
    nb::dict feed;
    feed[self.attr("input_name")] = blob;
    nb::object net_out = self.attr("session").attr("run")(self.attr("output_names"), feed)[nb::int_(0)];
    return c.g("cp").attr("asarray")(net_out);
}

// ---- TrtFaceEmbedding -------------------------------------------------------------------------

nb::object trt_init(Call &c) {
    kit::trt_construct(c, g_trt,
                       kit::dynamic_shape_build(c, "bf16", nb::make_tuple(1, 1, 1), nb::make_tuple(112, 112, 112)));
    return nb::none();
}

nb::object trt_initialize(Call &c) {
    nb::handle self = c[0];
    // TensorRT is needed only here, so the module imports without it.
    nb::object trt = nb::module_::import_("tensorrt");
    // Made before the model's device becomes current: on the caller's device.
    self.attr("idmap") = c.g("load_idmap")();
    kit::trt_setup(c, trt, self, c[1], false, [&](const kit::EngineNames &names) {
        nb::object input_tensor = nb::len(names.inputs) ? nb::object(names.inputs[0]) : nb::object(nb::str("input"));
        nb::object output_tensor =
            nb::len(names.outputs) ? nb::object(names.outputs[0]) : nb::object(nb::str("output"));
        self.attr("input_tensor") = input_tensor;
        self.attr("output_tensor") = output_tensor;
        self.attr("output_names") = names.outputs;
        nb::object input_shape = kit::as_list(self.attr("d_inputs")[input_tensor].attr("shape"));
        nb::object output_shape = kit::as_list(self.attr("d_outputs")[output_tensor].attr("shape"));
        self.attr("input_shape") = input_shape;
        self.attr("output_shape") = output_shape;
        self.attr("input_size") = nb::len(input_shape) > 3 ? nb::make_tuple(input_shape[3], input_shape[2])
                                                           : nb::make_tuple(112, 112);
        self.attr("input_mean") = 0.5;
        self.attr("input_std") = 0.5;
    });
    return nb::none();
}

nb::object trt_forward(Call &c) {
    nb::handle self = c[0];
    nb::object batch = make_batch(c, self, c[1]);
    kit::trt_execute(c, nb::module_::import_("tensorrt"), self, self.attr("input_tensor"), batch);
    nb::object out = self.attr("d_outputs")[self.attr("output_tensor")];
    return c.g("cp").attr("copy")(out).attr("ravel")();
}

// ---- surface ------------------------------------------------------------------------------------

kit::Fn forward_fn(kit::Impl impl) {
    return kit::Fn("forward", impl).self().p("images", "cp.ndarray | list[cp.ndarray]").ret("cp.ndarray");
}

kit::Fn get_fn(kit::Impl impl, const char *face_annotation, const char *doc) {
    return kit::Fn("get", impl).self().p("face", face_annotation).ret("cp.ndarray").doc(doc);
}

}  // namespace

KIT_MODULE(embedding, m) {
    m.attr("os") = nb::module_::import_("os");
    m.attr("cp") = nb::module_::import_("cupy");
    m.attr("onnx") = nb::module_::import_("onnx");
    m.attr("onnxruntime") = nb::module_::import_("onnxruntime");
    m.attr("rx") = nb::module_::import_("rastrix");
    m.attr("BaseModelLoader") = kit::import_from(m, "base", "BaseModelLoader");
    m.attr("load_idmap") = kit::import_from(m, "idmap", "load_idmap");
    m.attr("CorvantaFace") = kit::import_from(m, "schema", "CorvantaFace");

    nb::object base = kit::Class(m, "BaseFaceEmbedding", m.attr("BaseModelLoader"), kBaseDoc)
                          .def(kit::model_init_fn(base_init))
                          .def(forward_fn(base_forward).doc("Placeholder for the forward method."))
                          .def(kit::Fn("get", base_get)
                                   .self()
                                   .p("face")
                                   .ret("cp.ndarray")
                                   .doc("Extract embedding for a single face.\n"
                                        "Common implementation shared by Onnx and Trt versions."))
                          .make();
    g_base = base.inc_ref();
    nb::object onnx = kit::Class(m, "OnnxFaceEmbedding", base, "Face feature extractor using ONNX Runtime for inference.")
                          .def(kit::model_init_fn(onnx_init))
                          .def(kit::model_initialize_fn(onnx_initialize, true))
                          .def(get_fn(backend_get, "CorvantaFace", "Extract embedding for a single face"))
                          .def(forward_fn(onnx_forward))
                          .make();
    g_onnx = onnx.inc_ref();
    nb::object trt =
        kit::Class(m, "TrtFaceEmbedding", base, "Face feature extractor using TensorRT for high-performance inference.")
            .def(kit::model_init_fn(trt_init))
            .def(kit::model_initialize_fn(trt_initialize, false))
            .def(forward_fn(trt_forward).doc("Forward pass using TensorRT"))
            .def(get_fn(backend_get, "CorvantaFace", "Extract embedding for a single face"))
            .make();
    g_trt = trt.inc_ref();
}
