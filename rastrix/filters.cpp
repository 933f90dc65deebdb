// Filters: GaussianBlur.get, two separable correlations with taps kept on the device.
#include "rastrix.h"

#include <cmath>

namespace rastrix {

nb::object blur_get(Call &c) {
    nb::handle image = c[1];
    Py_ssize_t ksize = as_index(c[2], "ksize");
    double sigma = c.f(3);
    if (ksize < 0) kit::raise(PyExc_ValueError, "GaussianBlur.get: ksize must not be negative, got %zd", ksize);
    if (std::isnan(sigma)) kit::raise(PyExc_ValueError, "GaussianBlur.get: sigma is not a number");
    if (ksize == 0) return c.g("cp").attr("asarray")(image);
    if (sigma <= 0) sigma = 0.3 * ((ksize - 1) * 0.5 - 1.0) + 0.8;

    DType dt;
    Planar p = planar(c, image, &dt, "GaussianBlur.get");
    const char *ctype = compute_type(dt);
    nb::object taps = device_cached(c, nb::make_tuple("blur", ksize, sigma, ctype), [&] {
        std::vector<double> kernel((size_t) ksize);
        const double centre = (ksize - 1) * 0.5;
        double total = 0.0;
        for (Py_ssize_t t = 0; t < ksize; ++t) {
            double d = (double) t - centre;
            kernel[(size_t) t] = std::exp(-(d * d) / (2.0 * sigma * sigma));
            total += kernel[(size_t) t];
        }
        for (double &k : kernel) k /= total;
        return upload(c, kernel, {(size_t) ksize}, ctype);
    });
    // Separable: one correlation down the rows, one along them. "mirror" reflects without
    // repeating the edge pixel, for any reach; with origin 0 the taps of an even kernel sit at
    // offsets -ksize/2 .. ksize/2 - 1.
    nb::object ndimage = c.g("ndimage");
    nb::object x = ndimage.attr("correlate1d")(p.x, taps, nb::arg("axis") = 0, nb::arg("mode") = "mirror");
    x = ndimage.attr("correlate1d")(x, taps, nb::arg("axis") = 1, nb::arg("mode") = "mirror");
    return finish(c, x, dt);
}

}  // namespace rastrix
