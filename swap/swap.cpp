// corvanta.swap: a target face crop swapped to the identity of a latent.
//
// BaseFaceSwap builds the batch from one crop (get) or from a list of crops in chunks of at most
// `max_batch` (batch_get), scales the caller's latent in place by its weight, brings it into
// float32 rows of 512 and hands batch and rows to the back-end's forward; one latent row goes
// with every crop. OnnxFaceSwap runs the model through ONNX Runtime, TrtFaceSwap through a
// TensorRT engine with two inputs (the rank-4 crop batch, "target", and the latent rows,
// "source") and dynamic batch sizes.
#include <kit.h>
#include <recipes.h>

#include <algorithm>

namespace nb = nanobind;
using kit::Call;
using kit::truth;

namespace {

nb::handle g_base, g_onnx, g_trt;  // the classes, for super() in their constructors

constexpr Py_ssize_t kLatentWidth = 512;

constexpr const char *kBaseDoc =
    "Base class for face swapping models.\n"
    "\n"
    "Performs face identity transfer by swapping facial features\n"
    "from a source identity onto a target face image.";

nb::object steal_or_throw(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

nb::object slice(Py_ssize_t start, Py_ssize_t stop) {
    return steal_or_throw(PySlice_New(nb::int_(start).ptr(), nb::int_(stop).ptr(), nullptr));
}

Py_ssize_t rows_of(nb::handle arr) { return nb::cast<Py_ssize_t>(nb::int_(arr.attr("shape")[nb::int_(0)])); }

// ---- the latent --------------------------------------------------------------------------------

// The weighting x + x * (weight - 1.0) of one latent, in two halves so that nothing is written
// into a caller's array before every latent of the call has passed its test: `scale` forms the
// product (a tuple or other non-array fails here with the interpreter's TypeError) and tests the
// element count; `apply` adds it in place and returns what the in-place addition gives.
nb::object scale(nb::handle latent, nb::handle factor) {
    nb::object product = steal_or_throw(PyNumber_Multiply(latent.ptr(), factor.ptr()));
    const Py_ssize_t n = nb::cast<Py_ssize_t>(nb::int_(latent.attr("size")));
    if (n % kLatentWidth != 0)
        kit::raise(PyExc_ValueError, "latent has %zd values, not a whole number of rows of %zd", n, kLatentWidth);
    return product;
}

nb::object apply(nb::handle latent, nb::handle product) {
    return steal_or_throw(PyNumber_InPlaceAdd(latent.ptr(), product.ptr()));
}

nb::object row_shape() { return nb::make_tuple(-1, kLatentWidth); }

// One latent array, weighted in place, as float32 rows of 512.
nb::object latent_rows(const Call &c, nb::handle latent, double weight) {
    nb::object product = scale(latent, nb::float_(weight - 1.0));
    return apply(latent, product).attr("astype")(c.g("cp").attr("float32")).attr("reshape")(row_shape());
}

// batch_get's latent: a list (or list subclass) of arrays, each weighted once, their rows joined
// in list order; or one array. Every element is tested before any is weighted.
nb::object collected_rows(const Call &c, nb::handle latent, double weight) {
    if (!PyList_Check(latent.ptr())) return latent_rows(c, latent, weight);
    nb::object cp = c.g("cp");
    nb::object factor = nb::float_(weight - 1.0);
    nb::object elements = kit::as_list(latent);  // the caller's list itself is left as it is
    const Py_ssize_t n = nb::len(elements);
    if (n == 0) return cp.attr("empty")(nb::make_tuple(0, kLatentWidth), nb::arg("dtype") = cp.attr("float32"));
    nb::list products, rows;
    for (Py_ssize_t i = 0; i < n; ++i) products.append(scale(elements[i], factor));
    for (Py_ssize_t i = 0; i < n; ++i) rows.append(apply(elements[i], products[i]).attr("reshape")(row_shape()));
    return cp.attr("concatenate")(rows, nb::arg("axis") = 0, nb::arg("dtype") = cp.attr("float32"));
}

// The rows that go with `count` crops: one row repeated for each, else the rows as they are.
nb::object rows_for(const Call &c, nb::handle rows, Py_ssize_t count) {
    if (rows_of(rows) != 1) return nb::borrow(rows);
    return c.g("cp").attr("repeat")(rows, count, nb::arg("axis") = 0);
}

nb::object to_images(const Call &c, nb::handle out) {
    return c.g("rx").attr("batch_to_images")(out, nb::arg("swap_rb") = true, nb::arg("layout") = "NCHW");
}

nb::object make_batch(const Call &c, nb::handle self, nb::handle images, nb::handle size) {
    return c.g("rx").attr("images_to_batch")(images, nb::arg("std") = self.attr("input_std"), nb::arg("size") = size,
                                             nb::arg("mean") = self.attr("input_mean"), nb::arg("swap_rb") = true,
                                             nb::arg("layout") = "HWC");
}

// ---- BaseFaceSwap ------------------------------------------------------------------------------

nb::object base_init(Call &c) {
    nb::handle self = c[0];
    kit::super_attr(g_base, self, "__init__")(c[1], c[2], c[3]);
    self.attr("input_mean") = 0.0;
    self.attr("input_std") = 1.0;
    self.attr("patch") = 256;
    nb::object patch = self.attr("patch");
    self.attr("input_size") = nb::make_tuple(patch, patch);
    return nb::none();
}

nb::object base_forward(Call &) {
    kit::raise(PyExc_NotImplementedError, "forward method must be implemented in subclass");
}

nb::object get(Call &c) {
    nb::handle self = c[0];
    nb::object batch = make_batch(c, self, c[1], self.attr("input_size"));
    nb::object rows = latent_rows(c, c[2], c.f(3));
    nb::object out = self.attr("forward")(batch, rows);
    return to_images(c, out)[nb::int_(0)];
}

// max_batch as a count; one too large for the machine is larger than any batch.
Py_ssize_t max_batch_of(nb::handle value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0 || v > PY_SSIZE_T_MAX) return PY_SSIZE_T_MAX;
    if (overflow < 0 || v <= 0) kit::raise(PyExc_ValueError, "max_batch must be positive, got %R", value.ptr());
    return (Py_ssize_t) v;
}

nb::object batch_get(Call &c) {
    nb::handle self = c[0];
    const Py_ssize_t max_batch = max_batch_of(c[4]);
    nb::object patch = self.attr("patch");
    nb::object batch = make_batch(c, self, c[1], nb::make_tuple(patch, patch));
    nb::object rows = collected_rows(c, c[2], c.f(3));
    const Py_ssize_t batch_size = rows_of(batch);
    nb::object forward = self.attr("forward");
    nb::object out;
    if (batch_size > max_batch) {
        // One latent row is repeated once for a whole chunk; the last chunk takes the leading rows.
        const bool single = rows_of(rows) == 1;
        nb::object repeated = single ? rows_for(c, rows, max_batch) : nb::object();
        nb::list outs;
        for (Py_ssize_t start = 0; start < batch_size; start += max_batch) {
            const Py_ssize_t end = std::min(start + max_batch, batch_size);
            nb::object part_rows;
            if (!single) part_rows = rows[slice(start, end)];
            else if (end - start == max_batch) part_rows = repeated;
            else part_rows = repeated[slice(0, end - start)];
            outs.append(forward(batch[slice(start, end)], part_rows));
        }
        out = c.g("cp").attr("concatenate")(outs, nb::arg("axis") = 0);
    } else {
        out = forward(batch, rows_for(c, rows, batch_size));
    }
    return nb::borrow(kit::check_list(to_images(c, out), true));
}

// ---- OnnxFaceSwap ------------------------------------------------------------------------------

nb::object onnx_init(Call &c) {
    kit::onnx_construct(c, g_onnx);
    return nb::none();
}

nb::object onnx_initialize(Call &c) {
    nb::handle self = c[0];
    nb::object session = kit::onnx_session(c, c[1], c[2], c[3]);
    self.attr("session") = session;
    self.attr("input_mean") = 0.0;
    self.attr("input_std") = 1.0;
    nb::object inputs = session.attr("get_inputs")();
    nb::list input_names, output_names;
    for (nb::handle i : inputs) input_names.append(i.attr("name"));
    self.attr("input_names") = input_names;
    for (nb::handle o : session.attr("get_outputs")()) output_names.append(o.attr("name"));
    self.attr("output_names") = output_names;
    if (kit::assertions() && nb::len(output_names) != 1) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
    if (nb::len(input_names) < 2)
        kit::raise(PyExc_ValueError, "the swap model must have two inputs (target crops and latent rows), got %zd",
                   (Py_ssize_t) nb::len(input_names));
    nb::object shape = inputs[nb::int_(0)].attr("shape");
    self.attr("input_size") = nb::make_tuple(shape[nb::int_(3)], shape[nb::int_(2)]);
    return nb::none();
}

nb::object onnx_forward(Call &c) {
    nb::handle self = c[0];
    nb::object rx = c.g("rx");
    nb::object batch_numpy = rx.attr("to_numpy")(c[1]);
    nb::object latent_numpy = rx.attr("to_numpy")(c[2]);
    batch_numpy = (batch_numpy - self.attr("input_mean")) / self.attr("input_std");
    nb::object names = self.attr("input_names");
    nb::dict feed;
    feed[names[nb::int_(0)]] = batch_numpy;
    feed[names[nb::int_(1)]] = latent_numpy;
    nb::object pred = self.attr("session").attr("run")(self.attr("output_names"), feed)[nb::int_(0)];
    return c.g("cp").attr("asarray")(pred);
}

// ---- TrtFaceSwap -------------------------------------------------------------------------------

nb::object trt_init(Call &c) {
    nb::handle self = c[0];
    // The spatial range is read from the object when the engine is built.
    kit::trt_construct(c, g_trt, [&c, self](nb::handle onnx_path, nb::handle trt_path) {
        nb::object patch = self.attr("patch");
        kit::dynamic_shape_build(c, "bf16", nb::make_tuple(1, 1, 32), nb::make_tuple(patch, patch, patch))(onnx_path,
                                                                                                           trt_path);
    });
    return nb::none();
}

nb::object trt_initialize(Call &c) {
    nb::handle self = c[0];
    // TensorRT is needed only here, so the module imports without it.
    nb::object trt = nb::module_::import_("tensorrt");
    kit::TrtSetupOptions options;
    options.keep_runtime = false;
    options.input_buffers = false;
    kit::trt_setup(
        c, trt, self, c[1], true,
        [&](const kit::EngineNames &names) {
            nb::object engine = self.attr("engine");
            nb::object target = nb::none(), source = nb::none();
            for (nb::handle name : names.inputs) {
                if (nb::len(engine.attr("get_tensor_shape")(name)) == 4) target = nb::borrow(name);
                else source = nb::borrow(name);
            }
            self.attr("target_name") = target;
            self.attr("source_name") = source;
            if (!truth(target) || !truth(source)) kit::raise(PyExc_RuntimeError, "Failed to detect target/source bindings");
            self.attr("input_mean") = 0.0;
            self.attr("input_std") = 1.0;
            self.attr("output_names") = names.outputs;
        },
        options);
    return nb::none();
}

nb::object trt_forward(Call &c) {
    nb::handle self = c[0], batch = c[1], latent = c[2];
    nb::object img_shape = kit::as_tuple(batch.attr("shape"));
    nb::list dims;
    for (nb::handle d : img_shape) dims.append(nb::int_(d));
    img_shape = kit::as_tuple(dims);
    nb::object lat_shape = nb::make_tuple(nb::int_(latent.attr("shape")[nb::int_(0)]), kLatentWidth);
    nb::object target_name = self.attr("target_name"), source_name = self.attr("source_name");
    if (kit::assertions() && (target_name.is_none() || source_name.is_none())) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
    nb::object target = (nb::borrow(batch) - self.attr("input_mean")) / self.attr("input_std");
    nb::object out_name = self.attr("output_names")[nb::int_(0)];
    nb::object patch = self.attr("patch");
    kit::TrtShapes shapes;
    shapes.set_inputs = true;
    shapes.fallback_output = out_name;
    shapes.fallback_shape = nb::make_tuple(img_shape[nb::int_(0)], 3, patch, patch);
    kit::trt_execute(c, nb::module_::import_("tensorrt"), self,
                     {kit::TrtFeed{target_name, target, img_shape}, kit::TrtFeed{source_name, latent, lat_shape}},
                     shapes);
    return c.g("cp").attr("copy")(self.attr("d_outputs")[out_name]);
}

// ---- surface -----------------------------------------------------------------------------------

kit::Fn init_fn(kit::Impl impl) {
    return kit::Fn("__init__", impl)
        .self()
        .p("model_path", "str | None", kit::Str | kit::OrNone, nb::none())
        .p("model_bytes", "bytes | None", kit::Bytes | kit::OrNone, nb::none())
        .p("device", "str", kit::Str, nb::str("cuda"))
        .ret("None");
}

kit::Fn forward_fn(kit::Impl impl) {
    return kit::Fn("forward", impl).self().p("batch", "cp.ndarray").p("latent", "cp.ndarray").ret("cp.ndarray");
}

kit::Fn initialize_fn(kit::Impl impl, bool default_device_id) {
    kit::Fn f = kit::Fn("initialize", impl).self().p("model_bytes", "bytes", kit::Bytes).p("device", "str", kit::Str);
    if (default_device_id) f.p("device_id", "str", kit::Str, nb::str("0"));
    else f.p("device_id", "str", kit::Str);
    return f.ret("None");
}

}  // namespace

KIT_MODULE(swap, m) {
    m.attr("os") = nb::module_::import_("os");
    m.attr("cp") = nb::module_::import_("cupy");
    m.attr("onnxruntime") = nb::module_::import_("onnxruntime");
    m.attr("rx") = nb::module_::import_("rastrix");
    m.attr("BaseModelLoader") = kit::import_from(m, "base", "BaseModelLoader");

    nb::object base = kit::Class(m, "BaseFaceSwap", m.attr("BaseModelLoader"), kBaseDoc)
                          .def(init_fn(base_init))
                          .def(forward_fn(base_forward))
                          .def(kit::Fn("get", get)
                                   .self()
                                   .p("target_image", "cp.ndarray")
                                   .p("latent", "cp.ndarray")
                                   .p("weight", "float", kit::Float, nb::float_(1.0))
                                   .ret("cp.ndarray"))
                          .def(kit::Fn("batch_get", batch_get)
                                   .self()
                                   .p("target_images", "list[cp.ndarray]", kit::List)
                                   .p("latent", "cp.ndarray | list[cp.ndarray]")
                                   .p("weight", "float", kit::Float, nb::float_(1.0))
                                   .p("max_batch", "int", kit::Int, nb::int_(16))
                                   .ret("list[cp.ndarray]"))
                          .make();
    g_base = base.inc_ref();
    nb::object onnx = kit::Class(m, "OnnxFaceSwap", base)
                          .def(init_fn(onnx_init))
                          .def(initialize_fn(onnx_initialize, true))
                          .def(forward_fn(onnx_forward))
                          .make();
    g_onnx = onnx.inc_ref();
    nb::object trt =
        kit::Class(m, "TrtFaceSwap", base, "Face swapper using TensorRT for high-performance face identity transfer.")
            .def(init_fn(trt_init))
            .def(initialize_fn(trt_initialize, false))
            .def(forward_fn(trt_forward))
            .make();
    g_trt = trt.inc_ref();
}
