// rastrix: corvanta's GPU image library (a top-level module, imported by the package as `rx`).
//
// Every operation takes and returns device arrays of the array library bound to the module
// global `cp` (cupy); a host array or nested list given as an image is uploaded first. The work
// stays on the device: apart from to_numpy, the only device values read back to the host are the
// six entries of the matrix given to get_inverse_matrix. Weights of resizes and blurs are computed
// on the host in double precision, uploaded once and kept on the device in a small bounded cache
// per device.
//
// Conventions
//  * Images are height x width x channels (resize, affine_transform and GaussianBlur also take
//    a 2-D height x width array), channels in RGB order, float values in [0, 1]. to_float32 maps
//    uint8 0..255 and uint16 0..65535 onto [0, 1].
//  * Element types: resize, affine_transform and GaussianBlur compute in float64 for float64
//    images and in float32 otherwise; a result keeps the element type of a floating input, and
//    integer or bool inputs are rounded (half up) and clipped back into their own type. Every
//    result is a new C-contiguous array (except GaussianBlur with ksize 0, see below).
//  * resize, size (width, height): a pixel covers [i, i + 1) of its axis (half-pixel centres).
//    With s = input / output along an axis, output pixel j stands for the span [j*s, (j+1)*s):
//      INTER_AREA     the mean over that span, partial pixels weighted by their overlap (on an
//                     axis that grows, this replicates pixels and blends only where a span
//                     straddles two of them);
//      INTER_LINEAR   bilinear at the span's centre, (j + 0.5)*s - 0.5 in pixel-centre
//                     coordinates; the edge pixels repeat past the edge; no antialiasing;
//      INTER_NEAREST  the pixel under the span's centre;
//      INTER_AUTO     per axis: INTER_AREA where the axis shrinks, INTER_LINEAR where it grows.
//  * affine_transform(image, M, (height, width)): pixel centres lie at integer coordinates and M
//    maps a source pixel (x, y, 1) to an output pixel, so the source pixel at p lands at M.p.
//    Each output pixel q is sampled at M^-1.q, bilinearly, over the source extended by zeros:
//    outside the warped source the output is 0, and within one pixel of its edge it fades to 0.
//    A singular or non-finite M gives an all-zero image (a singular map has no inverse to sample
//    through); get_inverse_matrix raises ValueError for one.
//  * Batches: N x C x H x W float32 (C is 3 for the package's images), C-contiguous. Images are
//    first brought to float32 by to_float32's rule (so uint8 0..255 becomes [0, 1]) and resized
//    with INTER_AUTO where their size differs from the batch's. Normalisation is
//    (x - mean) / std with a scalar or per-channel mean and std; per-channel values follow the
//    batch's channel order, that is, they apply after swap_rb. swap_rb swaps channels 0 and 2
//    (RGB <-> BGR) on the way into a batch and again on the way out. batch_to_images undoes the
//    normalisation (x * std + mean) only when given std or mean, returns float32 images and
//    does not clip.
//  * GaussianBlur.get(image, ksize, sigma): separable, normalised kernel of ksize taps, per
//    channel; sigma <= 0 takes 0.3 * ((ksize - 1) * 0.5 - 1) + 0.8. Borders reflect without
//    repeating the edge pixel (d c b | a b c d | c b a). An even ksize has no centre tap: its
//    kernel is centred half a pixel before the output pixel (taps at offsets -ksize/2 to
//    ksize/2 - 1). ksize 0 returns the image itself, not a copy.
//  * Converters: `tensorrt` is imported when a converter runs. Precision "bf16", "fp16" or "tf32"
//    sets that builder flag; "fp32" also turns off TF32, which the builder enables by default.
//    Dynamic shapes: the ranges fill only the dimensions the model leaves open. The engine is
//    built completely, then written to a temporary file beside the target, flushed and renamed
//    over the target, so an interrupted or failed build never leaves a partial engine there.
//
// This file defines the module; the operations live in resampling.cpp, batches.cpp, filters.cpp
// and converters.cpp, the helpers they share in common.cpp.
#include "rastrix.h"

#include <nanobind/stl/string.h>

using namespace rastrix;

namespace {

// The parameters shared by the two batch builders.
kit::Fn batch_fn(const char *name, kit::Impl impl, const char *first, const char *first_annotation,
                 const char *doc) {
    return kit::Fn(name, impl)
        .p(first, first_annotation)
        .p("size", "int | tuple[int, int] | None", kit::Any, nb::none())
        .p("mean", "float | tuple[float, ...]", kit::Any, nb::float_(0.0))
        .p("std", "float | tuple[float, ...]", kit::Any, nb::float_(1.0))
        .p("swap_rb", "bool", kit::Any, nb::bool_(false))
        .p("layout", "str", kit::Str, nb::str("HWC"))
        .ret("cp.ndarray")
        .doc(doc);
}

}  // namespace

KIT_MODULE(rastrix, m) {
    m.attr("cp") = nb::module_::import_("cupy");
    nb::object ndimage = nb::module_::import_("cupyx.scipy.ndimage");
    m.attr("ndimage") = ndimage;
    m.attr("_warp_float64_coords") = nb::module_::import_("inspect")
                                         .attr("signature")(ndimage.attr("affine_transform"))
                                         .attr("parameters")
                                         .attr("__contains__")("float64_coords");
    m.attr("os") = nb::module_::import_("os");
    m.attr("_device_cache") = nb::dict();

    m.attr("INTER_NEAREST") = nb::int_((int) kNearest);
    m.attr("INTER_LINEAR") = nb::int_((int) kLinear);
    m.attr("INTER_AREA") = nb::int_((int) kArea);
    m.attr("INTER_AUTO") = nb::int_((int) kAuto);

    m.attr("resize") =
        kit::Fn("resize", resize)
            .p("image", "cp.ndarray")
            .p("size", "tuple[int, int]")
            .p("interpolation", "int", kit::Any, nb::int_((int) kAuto))
            .ret("cp.ndarray")
            .doc("Resizes an image to size = (width, height).\n\n"
                 "INTER_AUTO averages areas along an axis that shrinks and interpolates bilinearly\n"
                 "along one that grows; INTER_AREA, INTER_LINEAR and INTER_NEAREST force one rule.\n"
                 "Half-pixel centres. The result keeps the image's element type.")
            .make(m);
    m.attr("affine_transform") =
        kit::Fn("affine_transform", affine_transform)
            .p("image", "cp.ndarray")
            .p("M", "cp.ndarray")
            .p("size", "tuple[int, int]")
            .ret("cp.ndarray")
            .doc("Warps an image by the 2 x 3 matrix M, which maps a source pixel (x, y, 1) to an\n"
                 "output pixel, into an output of size = (height, width).\n\n"
                 "Bilinear; zero outside the source; pixel centres at integer coordinates. A singular\n"
                 "or non-finite M gives an all-zero image.")
            .make(m);
    m.attr("get_inverse_matrix") = kit::Fn("get_inverse_matrix", get_inverse_matrix)
                                       .p("M", "cp.ndarray")
                                       .ret("cp.ndarray")
                                       .doc("The inverse of a 2 x 3 affine matrix, as a float64 device array.\n\n"
                                            "ValueError when the matrix is singular or not finite.")
                                       .make(m);
    m.attr("to_float32") = kit::Fn("to_float32", to_float32)
                               .p("image", "cp.ndarray")
                               .ret("cp.ndarray")
                               .doc("The image as float32: uint8 and uint16 scaled onto [0, 1], other types\n"
                                    "converted; a float32 image is returned itself.")
                               .make(m);
    m.attr("to_numpy") = kit::Fn("to_numpy", to_numpy)
                             .p("array", "cp.ndarray")
                             .ret("np.ndarray")
                             .doc("A host copy of a device array.")
                             .make(m);
    m.attr("images_to_batch") =
        batch_fn("images_to_batch", images_to_batch, "images", "cp.ndarray | list[cp.ndarray]",
                 "One float32 batch N x C x H x W from an image, a list of images, or an array of\n"
                 "N stacked images.\n\n"
                 "size: (width, height) or one side; none keeps the first image's size. Images of\n"
                 "another size are resized (INTER_AUTO). Each value becomes (x - mean) / std, with\n"
                 "per-channel values in the batch's channel order; swap_rb swaps channels 0 and 2.\n"
                 "layout: \"HWC\" or \"CHW\", the layout of the images given.")
            .make(m);
    m.attr("image_to_batch") =
        batch_fn("image_to_batch", image_to_batch, "image", "cp.ndarray",
                 "A batch of one, 1 x C x H x W; see images_to_batch.")
            .make(m);
    m.attr("batch_to_images") =
        kit::Fn("batch_to_images", batch_to_images)
            .p("batch", "cp.ndarray")
            .p("swap_rb", "bool", kit::Any, nb::bool_(false))
            .p("layout", "str", kit::Str, nb::str("NCHW"))
            .p("std", "float | tuple[float, ...] | None", kit::Any, nb::none())
            .p("mean", "float | tuple[float, ...] | None", kit::Any, nb::none())
            .ret("list[cp.ndarray]")
            .doc("A list of new float32 H x W x C images, one per batch row.\n\n"
                 "With std or mean given, each value becomes x * std + mean first (per-channel values\n"
                 "in the batch's channel order); swap_rb swaps channels 0 and 2. No clipping.\n"
                 "layout: \"NCHW\" or \"NHWC\", the layout of the batch given.")
            .make(m);

    kit::Class(m, "GaussianBlur", nb::handle((PyObject *) &PyBaseObject_Type),
               "Gaussian blur with a normalised kernel of ksize taps; made with no arguments.")
        .def(kit::Fn("get", blur_get)
                 .self()
                 .p("image", "cp.ndarray")
                 .p("ksize", "int", kit::Int)
                 .p("sigma", "float", kit::Float)
                 .ret("cp.ndarray")
                 .doc("Blurs each channel of the image. ksize 0 returns the image itself; sigma <= 0\n"
                      "derives sigma from ksize as 0.3 * ((ksize - 1) * 0.5 - 1) + 0.8."))
        .make();

    m.attr("onnx_to_trt_dynamic_shape") =
        kit::Fn("onnx_to_trt_dynamic_shape", onnx_to_trt_dynamic_shape)
            .p("onnx_path", "str")
            .p("trt_path", "str")
            .p("precision", "str", kit::Str, nb::str("fp16"))
            .p("batch_range", "tuple[int, int, int]", kit::Any, nb::make_tuple(1, 1, 1))
            .p("spatial_range", "tuple[int, int, int] | None", kit::Any, nb::none())
            .p("workspace", "int | None", kit::Any, nb::none())
            .ret("None")
            .doc("Builds a TensorRT engine from an ONNX file and writes it to trt_path.\n\n"
                 "precision: \"bf16\", \"fp16\", \"tf32\" or \"fp32\". Each input's open dimensions take\n"
                 "the ranges (min, opt, max): the first dimension batch_range, the height and width\n"
                 "of an N x C x H x W input spatial_range (none: the model must fix them); an open\n"
                 "C is taken as 3, and dimensions the model fixes stay fixed.\n"
                 "workspace: the builder's workspace limit in bytes.")
            .make(m);
    m.attr("onnx_to_trt_fixed_shape") =
        kit::Fn("onnx_to_trt_fixed_shape", onnx_to_trt_fixed_shape)
            .p("onnx_path", "str")
            .p("engine_path", "str")
            .p("input_shape", "tuple[int, ...]")
            .p("precision", "str", kit::Str, nb::str("fp16"))
            .p("workspace", "int | None", kit::Any, nb::none())
            .ret("None")
            .doc("Builds a TensorRT engine whose first input has exactly input_shape and writes it\n"
                 "to engine_path. precision as for onnx_to_trt_dynamic_shape.")
            .make(m);
}
