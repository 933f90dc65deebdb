// Engine converters: ONNX to serialized TensorRT engines (dynamic and fixed input shapes), built
// with TensorRT 10's builder and written atomically.
#include "rastrix.h"

#include <nanobind/stl/string.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace rastrix {

namespace {

struct Range {
    Py_ssize_t lo, opt, hi;
};

Range read_range(nb::handle v, const char *what) {
    auto r = kit::unpack<3>(v);
    Range out{as_index(r[0], what), as_index(r[1], what), as_index(r[2], what)};
    if (out.lo < 1 || out.lo > out.opt || out.opt > out.hi)
        kit::raise(PyExc_ValueError, "%s must be (min, opt, max) with 1 <= min <= opt <= max, got (%zd, %zd, %zd)",
                   what, out.lo, out.opt, out.hi);
    return out;
}

void check_precision(const std::string &p) {
    if (p != "bf16" && p != "fp16" && p != "tf32" && p != "fp32")
        kit::raise(PyExc_ValueError, "precision must be \"bf16\", \"fp16\", \"tf32\" or \"fp32\", got \"%s\"", p.c_str());
}

// One network input as the profile sees it: its name and dimensions (-1 where open).
struct NetInput {
    nb::object name;
    std::vector<Py_ssize_t> dims;
};

using Shape = std::vector<Py_ssize_t>;
struct Profile {
    Shape lo, opt, hi;
};

nb::object shape_tuple(const Shape &s) {
    nb::list l;
    for (Py_ssize_t d : s) l.append(nb::int_(d));
    return nb::tuple(l);
}

// The converters use TensorRT 10's builder (its network flag and precision flags, which later
// major versions dropped): another major version stops here with a clear message.
constexpr long kTrtMajor = 10;

void check_trt_version(nb::handle trt) {
    std::string version = nb::hasattr(trt, "__version__") ? str_of(trt.attr("__version__")) : std::string("unknown");
    long major = -1;
    try {
        size_t used = 0;
        major = std::stol(version, &used);
        if (used == 0 || (used < version.size() && version[used] != '.')) major = -1;
    } catch (const std::exception &) {
        major = -1;
    }
    if (major != kTrtMajor)
        kit::raise(PyExc_RuntimeError,
                   "TensorRT %s found, but the ONNX-to-TensorRT converters are built for TensorRT %ld: install "
                   "a TensorRT %ld release (tensorrt-cu12 or tensorrt-cu11 >=%ld,<%ld)",
                   version.c_str(), kTrtMajor, kTrtMajor, kTrtMajor, kTrtMajor + 1);
}

// Builds a serialized engine from the ONNX file and writes it atomically to `target`. The
// profile of each network input comes from `profile_of`.
template <class ProfileFn>
void build_engine(const Call &c, nb::handle onnx_path, nb::handle target_path, const std::string &precision,
                  nb::handle workspace, ProfileFn profile_of) {
    nb::object os = c.g("os");
    nb::object ospath = os.attr("path");
    nb::object src = os.attr("fspath")(onnx_path);
    nb::object target = ospath.attr("abspath")(os.attr("fspath")(target_path));
    Py_ssize_t ws = workspace.is_none() ? -1 : as_index(workspace, "workspace");
    if (!workspace.is_none() && ws < 0) kit::raise(PyExc_ValueError, "workspace must not be negative");

    nb::object data;
    kit::with(c.g("open")(src, "rb"), [&](nb::handle fh) { data = fh.attr("read")(); });
    kit::assigned(data, "data");

    nb::object trt = nb::module_::import_("tensorrt");
    check_trt_version(trt);
    nb::object logger = trt.attr("Logger")(trt.attr("Logger").attr("WARNING"));
    nb::object builder = trt.attr("Builder")(logger);
    nb::object flag = nb::int_(1) << nb::int_(nb::cast<long>(
                          nb::int_(trt.attr("NetworkDefinitionCreationFlag").attr("EXPLICIT_BATCH"))));
    nb::object network = builder.attr("create_network")(flag);
    nb::object parser = trt.attr("OnnxParser")(network, logger);
    if (!kit::truth(parser.attr("parse")(data))) {
        std::string errs;
        long n = nb::cast<long>(parser.attr("num_errors"));
        for (long i = 0; i < n; ++i) {
            if (i) errs += "; ";
            errs += str_of(parser.attr("get_error")(i));
        }
        kit::raise(PyExc_RuntimeError, "failed to parse the ONNX model %s: %s", str_of(src).c_str(),
                   errs.empty() ? "no details" : errs.c_str());
    }

    nb::object config = builder.attr("create_builder_config")();
    if (ws >= 0)
        config.attr("set_memory_pool_limit")(trt.attr("MemoryPoolType").attr("WORKSPACE"), nb::int_(ws));
    nb::object flags = trt.attr("BuilderFlag");
    if (precision == "bf16") config.attr("set_flag")(flags.attr("BF16"));
    else if (precision == "fp16") config.attr("set_flag")(flags.attr("FP16"));
    else if (precision == "tf32") config.attr("set_flag")(flags.attr("TF32"));
    else config.attr("clear_flag")(flags.attr("TF32"));  // fp32: no reduced-precision maths at all

    nb::object profile = builder.attr("create_optimization_profile")();
    long n_inputs = nb::cast<long>(network.attr("num_inputs"));
    for (long i = 0; i < n_inputs; ++i) {
        nb::object inp = network.attr("get_input")(i);
        NetInput ni{inp.attr("name"), {}};
        for (nb::handle d : inp.attr("shape")) ni.dims.push_back(as_index(d, "a network dimension"));
        Profile pr = profile_of(ni, i);
        profile.attr("set_shape")(ni.name, shape_tuple(pr.lo), shape_tuple(pr.opt), shape_tuple(pr.hi));
    }
    if (nb::cast<long>(config.attr("add_optimization_profile")(profile)) < 0)
        kit::raise(PyExc_RuntimeError, "the builder refused the optimization profile for %s", str_of(src).c_str());

    nb::object blob = builder.attr("build_serialized_network")(network, config);
    if (blob.is_none())
        kit::raise(PyExc_RuntimeError, "failed to build a TensorRT engine from %s", str_of(src).c_str());

    kit::replace_file(c, target, blob);
}

std::string dims_text(const std::vector<Py_ssize_t> &d) {
    std::string s = "(";
    for (size_t i = 0; i < d.size(); ++i) s += (i ? ", " : "") + std::to_string(d[i]);
    return s + ")";
}

}  // namespace

nb::object onnx_to_trt_dynamic_shape(Call &c) {
    std::string precision = nb::cast<std::string>(c[2]);
    check_precision(precision);
    Range batch = read_range(c[3], "batch_range");
    bool has_spatial = !c.none(4);
    Range spatial = has_spatial ? read_range(c[4], "spatial_range") : Range{0, 0, 0};
    // The ranges fill the dimensions that the model leaves open; a dimension the model fixes
    // keeps its value. Rank-4 inputs are N x C x H x W (an open C is taken as 3); any other
    // input takes the batch range on its first dimension and must fix the rest.
    auto profile_of = [&](const NetInput &in, long) {
        Profile p;
        const size_t rank = in.dims.size();
        for (size_t k = 0; k < rank; ++k) {
            Py_ssize_t d = in.dims[k];
            Range r{d, d, d};
            if (d < 0) {
                if (k == 0) r = batch;
                else if (rank == 4 && k == 1) r = Range{3, 3, 3};
                else if (rank == 4 && has_spatial) r = spatial;
                else
                    kit::raise(PyExc_ValueError, "input '%s' %s: dimension %zu is open and no range applies to it",
                               str_of(in.name).c_str(), dims_text(in.dims).c_str(), k);
            }
            p.lo.push_back(r.lo), p.opt.push_back(r.opt), p.hi.push_back(r.hi);
        }
        return p;
    };
    build_engine(c, c[0], c[1], precision, c[5], profile_of);
    return nb::none();
}

nb::object onnx_to_trt_fixed_shape(Call &c) {
    std::string precision = nb::cast<std::string>(c[3]);
    check_precision(precision);
    Shape shape;
    for (nb::handle d : c[2]) shape.push_back(as_index(d, "input_shape"));
    for (Py_ssize_t d : shape)
        if (d < 1) kit::raise(PyExc_ValueError, "input_shape must hold positive dimensions, got %s", dims_text(shape).c_str());
    // The first input takes input_shape; any further input must be fixed by the model.
    auto profile_of = [&](const NetInput &in, long index) {
        if (index == 0) {
            if (in.dims.size() != shape.size())
                kit::raise(PyExc_ValueError, "input '%s' has %zu dimensions, input_shape %zu",
                           str_of(in.name).c_str(), in.dims.size(), shape.size());
            return Profile{shape, shape, shape};
        }
        for (Py_ssize_t d : in.dims)
            if (d < 0)
                kit::raise(PyExc_ValueError, "input '%s' %s has open dimensions; only the first input takes input_shape",
                           str_of(in.name).c_str(), dims_text(in.dims).c_str());
        return Profile{in.dims, in.dims, in.dims};
    };
    build_engine(c, c[0], c[1], precision, c[4], profile_of);
    return nb::none();
}

}  // namespace rastrix
