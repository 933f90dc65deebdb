// corvanta.segmentation: three region masks from a face crop.
//
// A face-parsing model scores every pixel per class; the role takes the most probable class of
// each pixel and marks, in three planes, the pixels whose class belongs to index group 0, 1 and
// 2. Batches are built and turned back into images by the image library; the masks are
// composited on the device.
#include <kit.h>
#include <recipes.h>

namespace nb = nanobind;
using kit::Call;

namespace {

nb::handle g_base, g_onnx, g_trt;  // the classes, for super() in their constructors

constexpr const char *kBaseDoc =
    "\n"
    "    Base class for face segmentation models.\n"
    "\n"
    "    Segments facial regions like eyes, nose, mouth, and skin\n"
    "    to enable targeted operations like face swapping and enhancement.\n"
    "    ";

// The default index groups: class 0 is in none of them.
constexpr int kGroup0[] = {1, 3, 14, 15, 16, 17, 18};
constexpr int kGroup1[] = {2, 4, 5};
constexpr int kGroup2[] = {6, 7, 8, 9, 10, 11, 12, 13};

// The planes of the composite: groups 0, 1 and 2, whatever the number of groups.
constexpr Py_ssize_t kPlanes = 3;

template <size_t N> nb::list group(const int (&classes)[N]) {
    nb::list l;
    for (int k : classes) l.append(k);
    return l;
}

nb::object index(nb::handle arr, nb::handle key) {
    nb::object r = nb::steal(PyObject_GetItem(arr.ptr(), key.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

nb::object all() { return nb::steal(PySlice_New(nullptr, nullptr, nullptr)); }

// arr[:, None] and arr[..., None].
nb::object as_column(nb::handle arr) { return index(arr, nb::make_tuple(all(), nb::none())); }
nb::object with_last_axis(nb::handle arr) { return index(arr, nb::make_tuple(nb::ellipsis(), nb::none())); }

nb::object equal(nb::handle a, nb::handle b) {
    nb::object r = nb::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

Py_ssize_t dim(nb::handle shape, Py_ssize_t i) { return nb::cast<Py_ssize_t>(shape[nb::int_(i)]); }

// ---- BaseFaceSegmentation ----------------------------------------------------------------------

nb::object base_init(Call &c) {
    nb::handle self = c[0];
    kit::super_attr(g_base, self, "__init__")(c[1], c[2], c[3]);
    self.attr("input_size") = nb::make_tuple(512, 512);
    self.attr("input_mean") = nb::make_tuple(0.485, 0.456, 0.406);
    self.attr("input_std") = nb::make_tuple(0.229, 0.224, 0.225);
    self.attr("init_indexes")(kit::list_of(group(kGroup0), group(kGroup1), group(kGroup2)));
    return nb::none();
}

nb::object base_forward(Call &) {
    kit::raise(PyExc_NotImplementedError, "forward method must be implemented in subclass");
}

// The grouping is built completely before any attribute is replaced, so a group that cannot be
// read leaves the object's grouping as it was.
nb::object init_indexes(Call &c) {
    nb::handle self = c[0], indexes = c[1];
    nb::object num_categories = nb::int_(PyList_GET_SIZE(indexes.ptr()));
    nb::list all_indices, category_ids;
    Py_ssize_t cat_idx = 0;
    for (nb::handle index_list : indexes) {
        all_indices.attr("extend")(index_list);
        const Py_ssize_t n = PyObject_Length(index_list.ptr());
        if (n < 0) throw nb::python_error();
        nb::object id = nb::int_(cat_idx);
        for (Py_ssize_t i = 0; i < n; ++i) category_ids.append(id);
        ++cat_idx;
    }
    nb::object cp = c.g("cp");
    nb::object indices = cp.attr("array")(all_indices);
    nb::object ids = cp.attr("array")(category_ids);
    self.attr("num_categories") = num_categories;
    self.attr("all_indices") = indices;
    self.attr("category_ids") = ids;
    return nb::none();
}

// Images to batch, the model, the composite, and the composite back to images.
nb::object masks_of(const Call &c, nb::handle self, nb::handle images) {
    nb::object rx = c.g("rx");
    nb::object std_ = self.attr("input_std");
    nb::object size = self.attr("input_size");
    nb::object mean = self.attr("input_mean");
    nb::object batch = rx.attr("images_to_batch")(images, nb::arg("std") = std_, nb::arg("size") = size,
                                                  nb::arg("mean") = mean, nb::arg("swap_rb") = true,
                                                  nb::arg("layout") = "HWC");
    nb::object preds = self.attr("forward")(batch);
    batch.reset();
    nb::object masks = self.attr("composite_masks")(preds);
    preds.reset();
    return rx.attr("batch_to_images")(masks, nb::arg("swap_rb") = true, nb::arg("layout") = "NCHW");
}

nb::object get(Call &c) {
    nb::object images = masks_of(c, c[0], kit::list_of(c[1]));
    return index(images, nb::int_(0));
}

nb::object batch_get(Call &c) {
    nb::handle self = c[0], images = c[1];
    int overflow = 0;
    const long long limit = PyLong_AsLongLongAndOverflow(c[2].ptr(), &overflow);
    if (limit == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && limit <= 0))
        kit::raise(PyExc_ValueError, "MAX_BATCH_SIZE must be positive, got %S", c[2].ptr());
    const Py_ssize_t n = PyList_GET_SIZE(images.ptr());
    if (overflow > 0 || (long long) n <= limit) return nb::borrow(kit::check_list(masks_of(c, self, images), true));

    const Py_ssize_t step = (Py_ssize_t) limit;
    nb::list results;
    for (Py_ssize_t i = 0; i < n; i += step) {
        nb::object chunk = nb::steal(PyList_GetSlice(images.ptr(), i, i + step));
        if (!chunk.is_valid()) throw nb::python_error();
        for (nb::handle mask : masks_of(c, self, chunk)) results.append(mask);
    }
    return results;
}

// Plane g of a pixel counts the entries of group g that equal the pixel's most probable class.
// Instead of matching every pixel against every entry (N x H x W x K values, and M times that
// per group), the entries are counted once per class and group, into a table of three rows
// (groups 0 to 2) by L columns (classes), and each pixel's plane values are read from the
// column of its class: the same counts, duplicates and classes outside every group included.
nb::object composite_masks(Call &c) {
    nb::handle self = c[0];
    nb::object cp = c.g("cp");
    nb::object preds = nb::borrow(c[1]);
    nb::object shape = preds.attr("shape");
    Py_ssize_t ndim = nb::len(shape);
    if (ndim == 5 && dim(shape, 0) == 1) {
        preds = index(preds, nb::int_(0));
        shape = preds.attr("shape");
        ndim = nb::len(shape);
    }
    if (ndim != 4)
        kit::raise(PyExc_ValueError,
                   "composite_masks expects class scores N x L x H x W or 1 x N x L x H x W, got shape %S",
                   shape.ptr());

    // Which entry belongs to which group (M x K), as the grouping attributes say.
    nb::object in_group = equal(as_column(cp.attr("arange")(self.attr("num_categories"))),
                                index(self.attr("category_ids"), nb::make_tuple(nb::none(), all())));
    const Py_ssize_t groups = dim(in_group.attr("shape"), 0);
    if (groups < kPlanes)
        kit::raise(PyExc_IndexError, "composite_masks needs at least %zd index groups, got %zd", kPlanes, groups);

    // Softmax over the classes in the scores' element type, then the most probable class (the
    // lowest one among equals). The exponentials overwrite the differences, and the
    // probabilities the exponentials.
    nb::object prob = preds - preds.attr("max")(nb::arg("axis") = 1, nb::arg("keepdims") = true);
    if (prob.attr("dtype").attr("kind").equal(nb::str("f")))
        cp.attr("exp")(prob, nb::arg("out") = prob);
    else
        prob = cp.attr("exp")(prob);
    nb::object total = prob.attr("sum")(nb::arg("axis") = 1, nb::arg("keepdims") = true);
    nb::object divided = nb::steal(PyNumber_InPlaceTrueDivide(prob.ptr(), total.ptr()));
    if (!divided.is_valid()) throw nb::python_error();
    prob = std::move(divided);
    total.reset();
    nb::object pred = prob.attr("argmax")(nb::arg("axis") = 1);
    prob.reset();
    preds.reset();

    // counts[g, l]: the entries of group g that name class l.
    nb::object f32 = cp.attr("float32");
    nb::object is_class = equal(as_column(self.attr("all_indices")), cp.attr("arange")(dim(shape, 1)));  // K x L
    nb::object first = index(in_group, nb::steal(PySlice_New(nullptr, nb::int_(kPlanes).ptr(), nullptr)));
    nb::object both = nb::steal(PyNumber_And(with_last_axis(first).ptr(), index(is_class, nb::none()).ptr()));
    if (!both.is_valid()) throw nb::python_error();
    nb::object counts = both.attr("sum")(nb::arg("axis") = 1, nb::arg("dtype") = f32);

    // 3 x N x H x W, laid out as N x 3 x H x W.
    nb::object planes = cp.attr("take")(counts, pred, nb::arg("axis") = 1);
    pred.reset();
    return cp.attr("ascontiguousarray")(planes.attr("transpose")(1, 0, 2, 3));
}

// ---- OnnxFaceSegmentation ----------------------------------------------------------------------

nb::object onnx_init(Call &c) {
    kit::onnx_construct(c, g_onnx);
    return nb::none();
}

nb::object onnx_initialize(Call &c) {
    nb::handle self = c[0];
    self.attr("session") = kit::onnx_session(c, c[1], c[2], c[3]);
    auto first_input = [&]() -> nb::object { return self.attr("session").attr("get_inputs")()[nb::int_(0)]; };
    auto first_output = [&]() -> nb::object { return self.attr("session").attr("get_outputs")()[nb::int_(0)]; };
    self.attr("input_name") = first_input().attr("name");
    self.attr("input_shape") = first_input().attr("shape");
    self.attr("dtype") = first_input().attr("type");
    self.attr("output_shape") = first_output().attr("shape");
    self.attr("output_name") = first_output().attr("name");
    return nb::none();
}

// Every output of the model, stacked along a new leading axis.
nb::object onnx_forward(Call &c) {
    nb::handle self = c[0];
    nb::object cp = c.g("cp");
    nb::object batch_numpy = cp.attr("asnumpy")(c[1]);
    nb::object session = self.attr("session");
    nb::dict feed;
    feed[self.attr("input_name")] = batch_numpy;
    nb::object preds = session.attr("run")(nb::none(), feed);
    return cp.attr("asarray")(preds);
}

// ---- TrtFaceSegmentation -----------------------------------------------------------------------

// The scores of the engines the back-end builds: float32, N x 19 x 512 x 512.
constexpr Py_ssize_t kClasses = 19, kSide = 512;

nb::object trt_init(Call &c) {
    kit::trt_construct(c, g_trt,
                       kit::dynamic_shape_build(c, "bf16", nb::make_tuple(1, 1, 16), nb::make_tuple(512, 512, 512),
                                                nb::int_(2147483648LL)));
    return nb::none();
}

// An output that the buffers of forward cannot hold (another element type, or a fixed dimension
// other than the role's) is refused: the engine would write past them or be misread.
void check_output(nb::handle trt, nb::handle cp, nb::handle engine, nb::handle name) {
    nb::object dims = kit::as_tuple(engine.attr("get_tensor_shape")(name));
    nb::object dtype = cp.attr("dtype")(trt.attr("nptype")(engine.attr("get_tensor_dtype")(name)));
    bool fits = dtype.equal(cp.attr("dtype")("float32")) && nb::len(dims) == 4;
    const Py_ssize_t want[] = {kClasses, kSide, kSide};
    for (Py_ssize_t k = 1; fits && k < 4; ++k) {
        const Py_ssize_t d = nb::cast<Py_ssize_t>(nb::int_(dims[k]));
        fits = d < 0 || d == want[k - 1];
    }
    if (!fits)
        kit::raise(PyExc_ValueError,
                   "TensorRT engine output '%U' is %R %S: the parsing back-end takes float32 class scores "
                   "N x %zd x %zd x %zd",
                   nb::str(name).ptr(), dims.ptr(), dtype.ptr(), kClasses, kSide, kSide);
}

nb::object trt_initialize(Call &c) {
    nb::handle self = c[0];
    nb::object trt = c.g("trt"), cp = c.g("cp");
    kit::trt_setup(c, trt, self, c[1], true, [&](const kit::EngineNames &names) {
        nb::object engine = self.attr("engine");
        nb::object input_tensor = nb::len(names.inputs) ? nb::object(names.inputs[0]) : nb::object(nb::str("input"));
        self.attr("input_tensor") = input_tensor;
        self.attr("output_names") = names.outputs;
        // Over a copy: the checks run Python code, which may change the list just published, and
        // a list's items are borrowed.
        for (nb::handle name : kit::as_tuple(names.outputs)) check_output(trt, cp, engine, name);
        // The input size from a fixed height and width; open ones leave the role's. An engine
        // without an input has no buffer under "input": KeyError.
        nb::object buffer = self.attr("d_inputs")[input_tensor];
        nb::object dims = kit::as_tuple(engine.attr("get_tensor_shape")(input_tensor));
        if (nb::len(dims) >= 4) {
            nb::object height = nb::int_(dims[2]), width = nb::int_(dims[3]);
            if (nb::cast<Py_ssize_t>(height) > 0 && nb::cast<Py_ssize_t>(width) > 0)
                self.attr("input_size") = nb::make_tuple(width, height);
        }
    });
    return nb::none();
}

// The batch through the engine, its shape set on the context; every output re-made for its
// batch size (at the context's shape, or N x 19 x 512 x 512 where the context leaves it open).
// Returns a copy of the last output (none without outputs).
nb::object trt_forward(Call &c) {
    nb::handle self = c[0], batch = c[1];
    kit::TrtShapes shapes;
    shapes.set_inputs = true;
    shapes.fallback_every_output = true;
    shapes.fallback_shape = nb::make_tuple(nb::int_(batch.attr("shape")[0]), kClasses, kSide, kSide);
    nb::object input_tensor = self.attr("input_tensor");
    kit::trt_execute(c, c.g("trt"), self, {kit::TrtFeed{input_tensor, batch}}, shapes);
    nb::object names = self.attr("output_names");
    const Py_ssize_t n = nb::len(names);
    if (n == 0) return nb::none();
    return c.g("cp").attr("copy")(self.attr("d_outputs")[names[nb::int_(n - 1)]]);
}

// ---- surface ------------------------------------------------------------------------------------

kit::Fn forward_fn(kit::Impl impl) {
    return kit::Fn("forward", impl).self().p("batch", "cp.ndarray").ret("cp.ndarray");
}

}  // namespace

KIT_MODULE(segmentation, m) {
    m.attr("os") = nb::module_::import_("os");
    m.attr("cp") = nb::module_::import_("cupy");
    m.attr("onnxruntime") = nb::module_::import_("onnxruntime");
    m.attr("rx") = nb::module_::import_("rastrix");
    m.attr("trt") = nb::module_::import_("tensorrt");
    m.attr("BaseModelLoader") = kit::import_from(m, "base", "BaseModelLoader");

    nb::object base =
        kit::Class(m, "BaseFaceSegmentation", m.attr("BaseModelLoader"), kBaseDoc)
            .def(kit::model_init_fn(base_init))
            .def(forward_fn(base_forward).doc("\n        Placeholder for the forward method.\n        "))
            .def(kit::Fn("init_indexes", init_indexes).self().p("indexes", "list", kit::List).ret("None"))
            .def(kit::Fn("get", get)
                     .self()
                     .p("image", "cp.ndarray")
                     .ret("cp.ndarray")
                     .doc("\n        Face segmentation method for a single image.\n        "))
            .def(kit::Fn("batch_get", batch_get)
                     .self()
                     .p("images", "list[cp.ndarray]", kit::List)
                     .p("MAX_BATCH_SIZE", "int", kit::Int, nb::int_(16))
                     .ret("list[cp.ndarray]")
                     .doc("\n"
                          "        Face segmentation inference method.\n"
                          "        Common implementation shared by Onnx and Trt versions.\n"
                          "        Supports batch processing for multiple images.\n"
                          "        "))
            .def(kit::Fn("composite_masks", composite_masks)
                     .self()
                     .p("preds", "cp.ndarray")
                     .ret("cp.ndarray")
                     .doc("\n        Composite masks into a single image.\n        "))
            .make();
    g_base = base.inc_ref();

    nb::object onnx = kit::Class(m, "OnnxFaceSegmentation", base, "Face segmentation using ONNX Runtime for inference.")
                          .def(kit::model_init_fn(onnx_init))
                          .def(kit::model_initialize_fn(onnx_initialize, true))
                          .def(forward_fn(onnx_forward))
                          .make();
    g_onnx = onnx.inc_ref();

    nb::object trt =
        kit::Class(m, "TrtFaceSegmentation", base, "Face segmentation using TensorRT for high-performance inference.")
            .def(kit::model_init_fn(trt_init))
            .def(kit::model_initialize_fn(trt_initialize, false))
            .def(forward_fn(trt_forward))
            .make();
    g_trt = trt.inc_ref();
}
