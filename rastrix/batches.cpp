// Batches: images to N x C x H x W float32 batches and back, and the element-type conversions
// to_float32 and to_numpy.
#include "rastrix.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace rastrix {

namespace {

nb::object float32_of(const Call &c, nb::handle image) {
    nb::object arr = c.g("cp").attr("asarray")(image);
    DType d = dtype_of(arr);
    if (d.kind == 'f' && d.itemsize == 4) return arr;
    // uint8 and uint16: converted and scaled in one pass
    nb::object cp = c.g("cp");
    if (d.kind == 'u' && d.itemsize == 1) return cp.attr("divide")(arr, 255.0, nb::arg("dtype") = "float32");
    if (d.kind == 'u' && d.itemsize == 2) return cp.attr("divide")(arr, 65535.0, nb::arg("dtype") = "float32");
    return astype(arr, "float32");
}

enum class Layout { HWC, CHW };

// Per-channel values from a number, or a sequence or 1-D array of one or `ch` numbers.
std::vector<double> per_channel(nb::handle v, Py_ssize_t ch, const char *what) {
    std::vector<double> out;
    bool many = is_sequence(v);
    if (!many && nb::hasattr(v, "ndim")) many = nb::cast<long>(v.attr("ndim")) >= 1;
    if (many) {
        for (nb::handle e : v) out.push_back(as_real(e, what));
        if (out.size() == 1) out.assign((size_t) ch, out[0]);
        if ((Py_ssize_t) out.size() != ch)
            kit::raise(PyExc_ValueError, "%s: expected 1 or %zd values, got %zd", what, ch, (Py_ssize_t) out.size());
    } else {
        out.assign((size_t) ch, as_real(v, what));
    }
    return out;
}

void check_std(const std::vector<double> &std_, const char *what) {
    for (double s : std_)
        if (s == 0.0 || !std::isfinite(s)) kit::raise(PyExc_ValueError, "%s: std must be finite and non-zero", what);
}

// Batch size as (width, height); none for the images' own size.
bool batch_size(nb::handle size, Py_ssize_t *w, Py_ssize_t *h, const char *what) {
    if (size.is_none()) return false;
    if (is_sequence(size)) {
        if (PyObject_Length(size.ptr()) != 2)
            kit::raise(PyExc_ValueError, "%s: size must be one side or (width, height)", what);
        auto wh = kit::unpack<2>(size);
        *w = as_index(wh[0], "size: width");
        *h = as_index(wh[1], "size: height");
    } else {
        *w = *h = as_index(size, "size");
    }
    if (*w < 1 || *h < 1) kit::raise(PyExc_ValueError, "%s: size must be positive, got (%zd, %zd)", what, *w, *h);
    return true;
}

// Per-channel values as the elementwise operations take them: a number when every channel has
// the same value, else a float32 device array of `shape` (C x 1 x 1 against a batch row, C
// against an H x W x C image), kept in the device cache. Without channels there is nothing to
// apply a value to: any number does.
nb::object channel_values(const Call &c, const std::vector<double> &v, const std::vector<size_t> &shape) {
    if (v.empty()) return nb::float_(1.0);
    if (std::all_of(v.begin(), v.end(), [&](double x) { return x == v[0]; })) return nb::float_(v[0]);
    nb::list key;
    for (double x : v) key.append(nb::float_(x));
    return device_cached(c, nb::make_tuple("channels", nb::tuple(key), shape.size()),
                         [&] { return upload(c, v, shape, "float32"); });
}

nb::object build_batch(const Call &c, std::vector<nb::object> images, nb::handle size, nb::handle mean,
                       nb::handle stdv, bool swap_rb, const std::string &layout, const char *what) {
    nb::object cp = c.g("cp");
    Layout lay;
    if (layout == "HWC") lay = Layout::HWC;
    else if (layout == "CHW") lay = Layout::CHW;
    else kit::raise(PyExc_ValueError, "%s: layout must be \"HWC\" or \"CHW\", got \"%s\"", what, layout.c_str());

    Py_ssize_t W = 0, H = 0;
    bool sized = batch_size(size, &W, &H, what);
    const Py_ssize_t n = (Py_ssize_t) images.size();
    if (n == 0) {
        if (!sized) kit::raise(PyExc_ValueError, "%s: no images and no size", what);
        return cp.attr("zeros")(nb::make_tuple(0, 3, H, W), nb::arg("dtype") = "float32");
    }

    // Bring every image to H x W x C float32 (a view where nothing needs computing).
    Py_ssize_t C = -1;
    for (nb::object &img : images) {
        nb::object arr = float32_of(c, img);
        std::vector<Py_ssize_t> s = shape_of(arr);
        if (s.size() != 3)
            kit::raise(PyExc_ValueError, "%s: expected images of 3 dimensions, got %zd", what, (Py_ssize_t) s.size());
        if (lay == Layout::CHW) {
            arr = arr.attr("transpose")(1, 2, 0);
            s = {s[1], s[2], s[0]};
        }
        if (C < 0) C = s[2];
        else if (s[2] != C) kit::raise(PyExc_ValueError, "%s: images differ in their channel count", what);
        if (!sized) {
            W = s[1];
            H = s[0];
            sized = true;
        }
        if (s[0] != H || s[1] != W) arr = resize_array(c, arr, W, H, kAuto);
        img = arr;
    }
    if (swap_rb && C < 3) kit::raise(PyExc_ValueError, "%s: swap_rb needs 3 channels, got %zd", what, C);
    std::vector<double> mu = per_channel(mean, C, "mean"), sd = per_channel(stdv, C, "std");
    check_std(sd, what);

    // Each row is written once, by the subtraction, through a channels-first view of its image
    // (channels reversed for swap_rb); one division then normalises the whole batch.
    nb::object out = cp.attr("empty")(nb::make_tuple(n, C, H, W), nb::arg("dtype") = "float32");
    nb::object mu_b = channel_values(c, mu, {(size_t) C, 1, 1}), sd_b = channel_values(c, sd, {(size_t) C, 1, 1});
    nb::object subtract = cp.attr("subtract");
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object chw = images[(size_t) i].attr("transpose")(2, 0, 1);
        nb::object row = getitem(out, nb::int_(i));
        if (swap_rb && C == 3) chw = getitem(chw, reverse_slice());
        subtract(chw, mu_b, nb::arg("out") = row);
        if (swap_rb && C > 3)  // channels 0 and 2 trade places; the others stay
            for (Py_ssize_t ch : {0, 2})
                subtract(getitem(chw, nb::int_(2 - ch)), f(mu[(size_t) ch]), nb::arg("out") = getitem(row, nb::int_(ch)));
    }
    cp.attr("divide")(out, sd_b, nb::arg("out") = out);
    return out;
}

}  // namespace

nb::object to_float32(Call &c) { return float32_of(c, c[0]); }

nb::object to_numpy(Call &c) { return c.g("cp").attr("asnumpy")(c[0]); }

nb::object images_to_batch(Call &c) {
    std::vector<nb::object> images;
    if (is_sequence(c[0])) {
        for (nb::handle h : c[0]) images.push_back(nb::borrow(h));
    } else {
        nb::object arr = c.g("cp").attr("asarray")(c[0]);
        if (nb::cast<long>(arr.attr("ndim")) == 4) {
            Py_ssize_t n = shape_of(arr)[0];
            for (Py_ssize_t i = 0; i < n; ++i) images.push_back(getitem(arr, nb::int_(i)));
        } else {
            images.push_back(arr);
        }
    }
    return build_batch(c, std::move(images), c[1], c[2], c[3], kit::truth(c[4]),
                       nb::cast<std::string>(c[5]), "images_to_batch");
}

nb::object image_to_batch(Call &c) {
    if (is_sequence(c[0])) kit::raise(PyExc_TypeError, "image_to_batch takes one image; use images_to_batch for a list");
    std::vector<nb::object> images{nb::borrow(c[0])};
    return build_batch(c, std::move(images), c[1], c[2], c[3], kit::truth(c[4]),
                       nb::cast<std::string>(c[5]), "image_to_batch");
}

nb::object batch_to_images(Call &c) {
    nb::object cp = c.g("cp");
    nb::object batch = cp.attr("asarray")(c[0]);
    const bool swap_rb = kit::truth(c[1]);
    std::string layout = nb::cast<std::string>(c[2]);
    bool nchw;
    if (layout == "NCHW") nchw = true;
    else if (layout == "NHWC") nchw = false;
    else kit::raise(PyExc_ValueError, "batch_to_images: layout must be \"NCHW\" or \"NHWC\", got \"%s\"", layout.c_str());
    std::vector<Py_ssize_t> s = shape_of(batch);
    if (s.size() != 4)
        kit::raise(PyExc_ValueError, "batch_to_images: expected a batch of 4 dimensions, got %zd", (Py_ssize_t) s.size());
    const Py_ssize_t n = s[0], C = nchw ? s[1] : s[3], H = nchw ? s[2] : s[1], W = nchw ? s[3] : s[2];
    if (swap_rb && C < 3) kit::raise(PyExc_ValueError, "batch_to_images: swap_rb needs 3 channels, got %zd", C);
    const bool denorm = !c.none(3) || !c.none(4);
    std::vector<double> sd = c.none(3) ? std::vector<double>((size_t) C, 1.0) : per_channel(c[3], C, "std");
    std::vector<double> mu = c.none(4) ? std::vector<double>((size_t) C, 0.0) : per_channel(c[4], C, "mean");

    // The values of image channel ch come from batch channel src(ch), so do its std and mean.
    auto src = [&](Py_ssize_t ch) { return swap_rb && (ch == 0 || ch == 2) ? 2 - ch : ch; };
    std::vector<double> sd_i((size_t) C), mu_i((size_t) C);
    for (Py_ssize_t ch = 0; ch < C; ++ch) sd_i[(size_t) ch] = sd[(size_t) src(ch)], mu_i[(size_t) ch] = mu[(size_t) src(ch)];
    nb::object sd_v, mu_v;
    if (denorm) sd_v = channel_values(c, sd_i, {(size_t) C}), mu_v = channel_values(c, mu_i, {(size_t) C});

    // Each image is written once through a channels-last view of its batch row (channels
    // reversed for swap_rb), converting to float32 on the way; undoing the normalisation adds a
    // second pass.
    nb::object all = full_slice();
    nb::list result;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object img = cp.attr("empty")(nb::make_tuple(H, W, C), nb::arg("dtype") = "float32");
        nb::object hwc = getitem(batch, nb::int_(i));
        if (nchw) hwc = hwc.attr("transpose")(1, 2, 0);
        if (swap_rb && C == 3) hwc = getitem(hwc, nb::make_tuple(all, all, reverse_slice()));
        auto put = [&](nb::handle from, nb::handle to, nb::handle scale, nb::handle shift) {
            if (denorm) {
                cp.attr("multiply")(from, scale, nb::arg("out") = to);
                cp.attr("add")(to, shift, nb::arg("out") = to);
            } else {
                setitem(to, nb::handle(Py_Ellipsis), from);
            }
        };
        put(hwc, img, sd_v, mu_v);
        if (swap_rb && C > 3)  // channels 0 and 2 trade places; the others stay
            for (Py_ssize_t ch : {0, 2}) {
                nb::object to = getitem(img, nb::make_tuple(all, all, ch));
                put(getitem(hwc, nb::make_tuple(all, all, 2 - ch)), to, f(sd_i[(size_t) ch]), f(mu_i[(size_t) ch]));
            }
        result.append(img);
    }
    return result;
}

}  // namespace rastrix
