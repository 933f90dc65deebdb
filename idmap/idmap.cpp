// corvanta.idmap: the identity-projection matrix, kept as a .npy stream XOR-enciphered with the
// SHA-256 digest of a fixed password, and handed back as a device array.
#include <kit.h>

#include <cstring>

namespace nb = nanobind;
using kit::Call;

namespace {

constexpr const char *kPassword = "tinsmoke";
constexpr const char *kDefaultFile = "idmap.bin";

// The 32-byte key, derived again at each call.
std::string derive_key(const Call &c) {
    nb::object digest =
        c.g("hashlib").attr("sha256")(nb::bytes(kPassword, std::strlen(kPassword))).attr("digest")();
    char *buf;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(digest.ptr(), &buf, &len) < 0) throw nb::python_error();
    if (len != 32) kit::raise(PyExc_RuntimeError, "unexpected key length %zd", len);
    return std::string(buf, (size_t) len);
}

// Enciphering and deciphering are the same: byte i XOR key byte (i mod 32).
nb::object apply_key(nb::handle data, const std::string &key) {
    char *src;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(data.ptr(), &src, &n) < 0) throw nb::python_error();
    nb::object out = nb::steal(PyBytes_FromStringAndSize(nullptr, n));
    if (!out.is_valid()) throw nb::python_error();
    char *dst = PyBytes_AS_STRING(out.ptr());
    const char *k = key.data();
    for (Py_ssize_t i = 0; i < n; ++i) dst[i] = (char) (src[i] ^ k[i & 31]);
    return out;
}

nb::object default_path(const Call &c) {
    return c.g("os").attr("path").attr("join")(c.g("script_dir"), kDefaultFile);
}

nb::object load_idmap(Call &c) {
    nb::object path = c.none(0) ? default_path(c) : nb::borrow(c[0]);
    nb::object os = c.g("os");
    if (!kit::truth(os.attr("path").attr("exists")(path))) {
        nb::object text = nb::str("IDMAP file not found: ") + nb::str(path);
        PyErr_SetObject(PyExc_FileNotFoundError, text.ptr());
        throw nb::python_error();
    }
    std::string key = derive_key(c);
    nb::object data;
    kit::with(c.g("open")(path, "rb"), [&](nb::handle f) { data = f.attr("read")(); });
    kit::assigned(data, "data");
    if (!PyBytes_Check(data.ptr()))
        kit::raise(PyExc_TypeError, "read() should have returned a bytes object, not '%.200s'",
                   Py_TYPE(data.ptr())->tp_name);
    nb::object plain = apply_key(data, key);
    nb::object arr = c.g("np").attr("load")(c.g("io").attr("BytesIO")(plain));
    // The device copy is made in native byte order: a file written on a big-endian host
    // still gives the stored values.
    nb::object dtype = arr.attr("dtype");
    if (!kit::truth(dtype.attr("isnative")))
        arr = arr.attr("astype")(dtype.attr("newbyteorder")("="));
    return c.g("cp").attr("asarray")(arr);
}

nb::object save(Call &c) {
    std::string key = derive_key(c);
    nb::object np = c.g("np");
    nb::object stream = c.g("io").attr("BytesIO")();
    // Without pickling: an object array could never be read back by load_idmap, so it is
    // refused here (numpy's ValueError) before any file is touched.
    np.attr("save")(stream, c[0], nb::arg("allow_pickle") = false);
    nb::object cipher = apply_key(stream.attr("getvalue")(), key);

    nb::object path = c.none(1) ? default_path(c) : nb::borrow(c[1]);
    // Replaced atomically: a failure leaves the target as it was.
    kit::replace_file(c, c.g("os").attr("path").attr("realpath")(path), cipher);
    return nb::none();
}

}  // namespace

KIT_MODULE(idmap, m) {
    m.attr("hashlib") = nb::module_::import_("hashlib");
    m.attr("io") = nb::module_::import_("io");
    m.attr("os") = nb::module_::import_("os");
    m.attr("cp") = nb::module_::import_("cupy");
    m.attr("np") = nb::module_::import_("numpy");
    nb::object os = m.attr("os");
    m.attr("script_dir") = os.attr("path").attr("dirname")(os.attr("path").attr("abspath")(m.attr("__file__")));

    m.attr("load_idmap") = kit::Fn("load_idmap", load_idmap)
                               .p("idmap_path", "str | None", kit::Str | kit::OrNone, nb::none())
                               .ret("cp.ndarray")
                               .make(m);
    m.attr("save") = kit::Fn("save", save)
                         .p("array", "np.ndarray")
                         .p("dest_path", "str | None", kit::Str | kit::OrNone, nb::none())
                         .make(m);
}
