// Recipes shared by the model roles (see recipes.h).
#include "recipes.h"

#include <vector>

namespace kit {

namespace {

bool exists(const Call &c, nb::handle path) { return path_exists(c, path); }

[[noreturn]] void not_found(nb::handle text) {
    PyErr_SetObject(PyExc_FileNotFoundError, text.ptr());
    throw nb::python_error();
}

nb::object shape_tuple(nb::handle shape) { return as_tuple(shape); }

// The engine's dimensions as integers, and whether any is dynamic (below 0).
nb::object engine_dims(nb::handle engine, nb::handle name, bool *dynamic) {
    nb::list dims;
    *dynamic = false;
    for (nb::handle d : engine.attr("get_tensor_shape")(name)) {
        Py_ssize_t v = nb::cast<Py_ssize_t>(nb::int_(d));
        if (v < 0) *dynamic = true;
        dims.append(v);
    }
    return as_tuple(dims);
}

// A dimension below 1 (dynamic, or 0) is allocated as 1.
nb::list buffer_dims(nb::handle dims) {
    nb::list out;
    for (nb::handle d : dims) {
        Py_ssize_t v = nb::cast<Py_ssize_t>(d);
        out.append(v < 1 ? 1 : v);
    }
    return out;
}

bool is_input(nb::handle trt, nb::handle engine, nb::handle name) {
    return engine.attr("get_tensor_mode")(name).equal(trt.attr("TensorIOMode").attr("INPUT"));
}

// The shape at which the engine's optimisation profile 0 fixes an input with open dimensions:
// every open dimension with equal minimum and maximum takes that value. Not valid when a
// dimension has a real range or the engine offers no profile query.
nb::object profile_fixed_shape(nb::handle engine, nb::handle name, nb::handle dims) {
    if (!nb::hasattr(engine, "get_tensor_profile_shape")) return {};
    nb::object profile = engine.attr("get_tensor_profile_shape")(name, 0);
    nb::object lo = as_tuple(profile[nb::int_(0)]), hi = as_tuple(profile[nb::int_(2)]);
    const size_t rank = nb::len(dims);
    if (nb::len(lo) != rank || nb::len(hi) != rank) return {};
    nb::list shape;
    for (size_t k = 0; k < rank; ++k) {
        Py_ssize_t d = nb::cast<Py_ssize_t>(dims[k]);
        if (d >= 0) {
            shape.append(d);
            continue;
        }
        Py_ssize_t a = nb::cast<Py_ssize_t>(nb::int_(lo[k])), b = nb::cast<Py_ssize_t>(nb::int_(hi[k]));
        if (a != b) return {};
        shape.append(a);
    }
    return as_tuple(shape);
}

// The context's shape of a tensor as integers (dimensions it cannot resolve stay below 0).
nb::object context_dims(nb::handle ctx, nb::handle name) {
    nb::list dims;
    for (nb::handle d : ctx.attr("get_tensor_shape")(name)) dims.append(nb::cast<Py_ssize_t>(nb::int_(d)));
    return as_tuple(dims);
}

bool fully_known(nb::handle dims) {
    for (nb::handle d : dims)
        if (nb::cast<Py_ssize_t>(d) < 0) return false;
    return true;
}

}  // namespace

nb::object onnx_session(const Call &c, nb::handle model_bytes, nb::handle device, nb::handle device_id,
                        bool preload) {
    nb::object ort = c.g("onnxruntime");
    if (preload) ort.attr("preload_dlls")();
    nb::object options = ort.attr("SessionOptions")();
    options.attr("log_severity_level") = 4;
    options.attr("log_verbosity_level") = 4;
    nb::list provider_options = list_of(nb::dict());
    nb::list providers;
    int has_cuda = PySequence_Contains(device.ptr(), nb::str("cuda").ptr());
    if (has_cuda < 0) throw nb::python_error();
    if (has_cuda) {
        providers.append("CUDAExecutionProvider");
        nb::dict opt;
        opt["device_id"] = device_id;
        provider_options = list_of(opt);
    } else {
        providers.append("CPUExecutionProvider");
    }
    nb::dict params;
    params["session_options"] = options;
    params["providers"] = providers;
    params["provider_options"] = provider_options;
    return ort.attr("InferenceSession")(model_bytes, **params);
}

bool path_exists(const Call &c, nb::handle path) {
    return truth(c.g("os").attr("path").attr("exists")(path));
}

nb::object read_file(const Call &c, nb::handle path) {
    nb::object data;
    with(c.g("open")(path, "rb"), [&](nb::handle f) { data = f.attr("read")(); });
    return assigned(data, "data");
}

void read_model_file(const Call &c, nb::handle self) {
    if (!self.attr("model_bytes").is_none()) return;
    nb::object path = self.attr("model_path");
    if (path.is_none()) return;
    self.attr("model_bytes") = read_file(c, path);
}

void trt_model_file(const Call &c, nb::handle self, const BuildEngine &build, bool pair_other_paths) {
    if (self.attr("model_bytes").is_none() && !self.attr("model_path").is_none()) {
        nb::object path = self.attr("model_path");
        nb::object onnx_path, trt_path;
        if (truth(path.attr("endswith")(".onnx"))) {
            onnx_path = path;
            trt_path = path.attr("replace")(".onnx", ".trt");
        } else {
            onnx_path = pair_other_paths ? nb::object(path.attr("replace")(".trt", ".onnx")) : nb::object(path);
            trt_path = path;
        }
        if (!exists(c, trt_path) && exists(c, onnx_path)) {
            build(onnx_path, trt_path);
        } else if (!exists(c, trt_path)) {
            nb::str t = nb::str(exists(c, onnx_path) ? "True" : "False");
            nb::str e = nb::str(exists(c, trt_path) ? "True" : "False");
            nb::object msg = nb::str("Model file not found: onnx: ") + nb::str(onnx_path) + nb::str(":") + t +
                             nb::str(", trt: ") + nb::str(trt_path) + nb::str(":") + e;
            not_found(msg);
        }
        self.attr("model_path") = trt_path;
    }
    if (self.attr("model_bytes").is_none()) {
        nb::object path = self.attr("model_path");
        if (!exists(c, path)) not_found(nb::str("Model file not found: ") + nb::str(path));
        read_model_file(c, self);
    }
}

namespace {

void initialize_from_attributes(nb::handle self) {
    self.attr("initialize")(self.attr("model_bytes"), self.attr("device"), self.attr("device_id"));
}

}  // namespace

Fn model_init_fn(Impl impl) {
    return Fn("__init__", impl)
        .self()
        .p("model_path", "str | None", Str | OrNone, nb::none())
        .p("model_bytes", "bytes | None", Bytes | OrNone, nb::none())
        .p("device", "str", Str, nb::str("cuda"))
        .ret("None");
}

Fn model_initialize_fn(Impl impl, bool default_device_id) {
    Fn f = Fn("initialize", impl).self().p("model_bytes", "bytes", Bytes).p("device", "str", Str);
    if (default_device_id) f.p("device_id", "str", Str, nb::str("0"));
    else f.p("device_id", "str", Str);
    return f.ret("None");
}

void onnx_construct(const Call &c, nb::handle cls) {
    nb::handle self = c[0];
    super_attr(cls, self, "__init__")(c[1], c[2], c[3]);
    read_model_file(c, self);
    if (assertions() && self.attr("model_bytes").is_none())
        raise(PyExc_AssertionError, "model_bytes must be provided if model_path is not specified");
    initialize_from_attributes(self);
}

void trt_construct(const Call &c, nb::handle cls, const BuildEngine &build) {
    nb::handle self = c[0];
    super_attr(cls, self, "__init__")(c[1], c[2], c[3]);
    trt_model_file(c, self, build);
    initialize_from_attributes(self);
}

BuildEngine dynamic_shape_build(const Call &c, const char *precision, nb::object batch_range,
                                nb::object spatial_range, nb::object workspace) {
    return [&c, precision, batch_range, spatial_range, workspace](nb::handle onnx_path, nb::handle trt_path) {
        nb::object convert = c.g("rx").attr("onnx_to_trt_dynamic_shape");
        if (workspace.is_valid())
            convert(onnx_path, trt_path, nb::arg("precision") = precision, nb::arg("batch_range") = batch_range,
                    nb::arg("spatial_range") = spatial_range, nb::arg("workspace") = workspace);
        else
            convert(onnx_path, trt_path, nb::arg("precision") = precision, nb::arg("batch_range") = batch_range,
                    nb::arg("spatial_range") = spatial_range);
    };
}

BuildEngine fixed_shape_build(const Call &c, nb::object input_shape, const char *precision) {
    return [&c, input_shape, precision](nb::handle onnx_path, nb::handle trt_path) {
        c.g("rx").attr("onnx_to_trt_fixed_shape")(nb::arg("onnx_path") = onnx_path, nb::arg("engine_path") = trt_path,
                                                  nb::arg("input_shape") = input_shape,
                                                  nb::arg("precision") = precision);
    };
}

EngineNames trt_setup(const Call &c, nb::handle trt, nb::handle self, nb::handle model_bytes, bool dynamic_ok,
                      const std::function<void(const EngineNames &)> &ctx_body, const TrtSetupOptions &options) {
    nb::object cp = c.g("cp");
    EngineNames names;
    with(cp.attr("cuda").attr("Device")(self.attr("device_id")), [&](nb::handle) {
        nb::object logger = trt.attr("Logger")(trt.attr("Logger").attr("WARNING"));
        if (options.keep_runtime) self.attr("logger") = logger;
        nb::object runtime = trt.attr("Runtime")(logger);
        if (options.keep_runtime) self.attr("runtime") = runtime;
        nb::object engine = runtime.attr("deserialize_cuda_engine")(model_bytes);
        self.attr("engine") = engine;
        if (engine.is_none())
            raise(PyExc_AttributeError,
                  "TensorRT could not deserialize the engine (built by another TensorRT version or for "
                  "another GPU, or not an engine at all): remove the engine file (.trt) beside the ONNX "
                  "model to have it rebuilt");
        nb::object ctx = engine.attr("create_execution_context")();
        self.attr("ctx") = ctx;
        self.attr("stream") = cp.attr("cuda").attr("Stream")();
        nb::dict d_inputs, d_outputs;
        self.attr("d_inputs") = d_inputs;
        self.attr("d_outputs") = d_outputs;

        // First what each tensor needs, then the buffers: an output's shape may depend on inputs
        // that come later in engine order.
        struct Tensor {
            nb::object name, dims, dtype;
            bool input;
        };
        std::vector<Tensor> tensors;
        bool resolved = false;  // an input was fixed by the profile: outputs take the context's shapes
        for (nb::handle name : engine) {
            const bool input = is_input(trt, engine, name);
            bool dynamic;
            nb::object dims = engine_dims(engine, name, &dynamic);
            if (input && dynamic) {
                nb::object fixed = profile_fixed_shape(engine, name, dims);
                if (fixed.is_valid()) {
                    if (ctx.attr("set_input_shape")(name, fixed).is(nb::handle(Py_False)))
                        raise(PyExc_RuntimeError, "TensorRT refused the input shape %R for '%U'", fixed.ptr(),
                              nb::str(name).ptr());
                    dims = fixed;
                    dynamic = false;
                    resolved = true;
                }
            }
            if (input && dynamic && !dynamic_ok)
                raise(PyExc_ValueError,
                      "TensorRT engine input '%U' has dynamic dimensions %R: build the engine for fixed "
                      "shapes", nb::str(name).ptr(), dims.ptr());
            if (input && !options.input_buffers) {  // made and bound by the first execution
                d_inputs[name] = nb::none();
                names.inputs.append(name);
                continue;
            }
            nb::object dtype = trt.attr("nptype")(engine.attr("get_tensor_dtype")(name));
            tensors.push_back({nb::borrow(name), dims, dtype, input});
        }
        for (const Tensor &t : tensors) {
            nb::object dims = (resolved && !t.input) ? context_dims(ctx, t.name) : t.dims;
            nb::object buffer = cp.attr("empty")(buffer_dims(dims), nb::arg("dtype") = t.dtype);
            if (t.input) {
                d_inputs[t.name] = buffer;
                names.inputs.append(t.name);
            } else {
                d_outputs[t.name] = buffer;
                names.outputs.append(t.name);
            }
        }
        for (const Tensor &t : tensors) {
            nb::handle table = t.input ? d_inputs : d_outputs;
            ctx.attr("set_tensor_address")(t.name, table[t.name].attr("data").attr("ptr"));
        }
        if (ctx_body) ctx_body(names);
    });
    return names;
}

namespace {

// A new buffer of `shape` and `dtype` replaces the entry `name` of `table` and is bound; made
// before the old entry goes, so a failed allocation leaves the object as it was.
nb::object rebind(const Call &c, nb::handle ctx, nb::handle table, nb::handle name, nb::handle shape,
                  nb::handle dtype) {
    nb::object fresh = c.g("cp").attr("empty")(shape, nb::arg("dtype") = dtype);
    table[name] = fresh;
    ctx.attr("set_tensor_address")(name, fresh.attr("data").attr("ptr"));
    return fresh;
}

// "'a' (1, 2), 'b' (3,)": the inputs of an execution, for error texts.
nb::object describe(const std::vector<TrtFeed> &feeds, const std::vector<nb::object> &want) {
    nb::list parts;
    for (size_t i = 0; i < feeds.size(); ++i)
        parts.append(nb::str("{!r} {}").format(nb::str(feeds[i].name), want[i]));
    return nb::str(", ").attr("join")(parts);
}

}  // namespace

void trt_execute(const Call &c, nb::handle trt, nb::handle self, const std::vector<TrtFeed> &feeds,
                 const TrtShapes &shapes, const TrtRunOptions &run) {
    nb::object cp = c.g("cp");
    nb::object ctx = self.attr("ctx"), engine = self.attr("engine");
    nb::object d_inputs = self.attr("d_inputs");

    std::vector<nb::object> want;
    want.reserve(feeds.size());
    for (const TrtFeed &f : feeds)
        want.push_back(shape_tuple(f.shape.is_valid() ? nb::handle(f.shape) : nb::handle(f.array.attr("shape"))));

    auto refuse_other_shape = [&](size_t i) {
        nb::handle name = feeds[i].name;
        bool dynamic;
        nb::object fixed = engine_dims(engine, name, &dynamic);
        if (dynamic) {
            // An input the set-up fixed by the profile: its shape is the context's.
            fixed = context_dims(ctx, name);
            dynamic = !fully_known(fixed);
        }
        if (!dynamic && !fixed.equal(want[i]))
            raise(PyExc_ValueError, "batch shape %R does not match the engine input shape %R for '%U'",
                  want[i].ptr(), fixed.ptr(), nb::str(name).ptr());
    };

    for (size_t i = 0; i < feeds.size(); ++i) {
        nb::handle name = feeds[i].name;
        if (shapes.set_inputs) {
            if (ctx.attr("set_input_shape")(name, want[i]).is(nb::handle(Py_False)))
                raise(PyExc_RuntimeError, "TensorRT refused the input shape %R for '%U'", want[i].ptr(),
                      nb::str(name).ptr());
        } else if (!run.late_shape_check) {
            refuse_other_shape(i);
        }
    }

    for (size_t i = 0; i < feeds.size(); ++i) {
        nb::handle name = feeds[i].name;
        nb::object buffer = d_inputs[name];
        if (buffer.is_none() || !shape_tuple(buffer.attr("shape")).equal(want[i]))
            buffer = rebind(c, ctx, d_inputs, name, want[i],
                            trt.attr("nptype")(engine.attr("get_tensor_dtype")(name)));
        buffer[nb::ellipsis()] = feeds[i].array;
    }
    if (!shapes.set_inputs && run.late_shape_check)
        for (size_t i = 0; i < feeds.size(); ++i) refuse_other_shape(i);

    if (shapes.set_inputs) {
        nb::object d_outputs = self.attr("d_outputs");
        // dict(self.d_outputs): the buffers as they were, whatever rebind replaces meanwhile.
        nb::object snapshot = nb::steal(PyObject_CallOneArg((PyObject *) &PyDict_Type, d_outputs.ptr()));
        if (!snapshot.is_valid()) throw nb::python_error();
        for (auto [name, buffer] : nb::borrow<nb::dict>(snapshot)) {
            nb::object shape = shape_tuple(ctx.attr("get_tensor_shape")(name));
            if (!fully_known(shape)) {
                const bool fallback = shapes.fallback_every_output ||
                                      (shapes.fallback_output.is_valid() && name.equal(shapes.fallback_output));
                if (!fallback || !shapes.fallback_shape.is_valid()) continue;
                shape = shape_tuple(shapes.fallback_shape);
            }
            if (!shape.equal(shape_tuple(buffer.attr("shape"))))
                rebind(c, ctx, d_outputs, name, shape, buffer.attr("dtype"));
        }
    }

    // The copies ran on the caller's current stream; the object's stream waits for them.
    nb::object stream = self.attr("stream");
    nb::object copied = cp.attr("cuda").attr("Event")();
    copied.attr("record")();
    stream.attr("wait_event")(copied);
    if (ctx.attr("execute_async_v3")(stream.attr("ptr")).is(nb::handle(Py_False))) {
        if (run.failure_text)
            raise(run.failure_as_assertion && assertions() ? PyExc_AssertionError : PyExc_RuntimeError, "%s",
                  run.failure_text);
        raise(PyExc_RuntimeError, "TensorRT execution failed: the engine did not run (inputs %U)",
              describe(feeds, want).ptr());
    }
    stream.attr("synchronize")();
}

void trt_execute(const Call &c, nb::handle trt, nb::handle self, nb::handle input_name, nb::handle batch,
                 bool set_shape) {
    TrtShapes shapes;
    shapes.set_inputs = set_shape;
    trt_execute(c, trt, self, {TrtFeed{input_name, batch}}, shapes);
}

}  // namespace kit
