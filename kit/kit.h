// The binding kit: what every corvanta extension module shares.
//
//  * kit::Fn       - describes an operation (parameters, annotations, defaults, docstring) and
//                    makes a native callable for it. The callable binds as a method, supports
//                    vectorcall and inspect.signature, and binds arguments with the library's
//                    fixed TypeError texts.
//  * kit::Class    - builds a class through the metaclass of its Python base.
//  * KIT_MODULE    - a multi-phase module whose body runs with __file__, __package__ and
//                    __spec__ already set; errors raised while it runs fail the import unchanged.
//  * Call::g       - module globals (cp, rx, os, ...) looked up at each call, then builtins.
//  * kit::unpack, kit::with, kit::check_list, kit::raise - small recipes used everywhere.
//
// Argument binding, in this order:
//  1. more positional arguments than parameters:
//       "<name>() takes at most|exactly N positional argument[s] (M given)"
//     ("exactly" when the operation has no defaults). Methods count the object on both sides.
//  2. keywords: "<name>() got an unexpected keyword argument '<kw>'" and
//       "<name>() got multiple values for keyword argument '<kw>'".
//  3. a required parameter still missing:
//       "<name>() takes at least|exactly R positional argument[s] (K given)"
//     with R the number of required parameters and K the index of the first missing one, i.e.
//     how many leading parameters were supplied (so save(dest_path=p) reports "(0 given)").
//  4. floating-point parameters are converted to double, in parameter order;
//  5. exact type tests of text/bytes/int/list/tuple parameters, in parameter order:
//       "Argument '<p>' has incorrect type (expected <t>, got <type>)"
//     subclasses refused, none accepted only where the parameter says so.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kit {

namespace nb = nanobind;

// Type tests for parameters (one of them, optionally with OrNone).
enum : uint32_t {
    Any = 0,
    Str = 1,
    Bytes = 2,
    Int = 3,
    List = 4,
    Tuple = 5,
    Float = 6,   // any real number, converted to double on entry
    TypeMask = 0xff,
    OrNone = 0x100,
};

struct FuncObject;

// What an implementation sees of one call: the bound arguments (borrowed, in parameter order),
// the converted doubles of floating-point parameters, and the module it belongs to.
class Call {
public:
    nb::handle operator[](size_t i) const { return argv_[i]; }
    double f(size_t i) const { return dv_[i]; }
    bool none(size_t i) const { return argv_[i] == Py_None; }
    // A module global, looked up now (then builtins): NameError when neither has it.
    nb::object g(const char *name) const;
    nb::object g(PyObject *interned_name) const;
    nb::handle globals() const;

    PyObject *const *argv_;
    const double *dv_;
    const FuncObject *fn_;
};

using Impl = nb::object (*)(Call &);

// Describes one operation; make() turns it into a native callable.
class Fn {
public:
    Fn(const char *name, Impl impl) : name_(name), impl_(impl) {}
    // The first parameter is the object the method is called on; no type test, no annotation.
    Fn &self() { return p("self"); }
    // A parameter: name, annotation text (nullptr: none), type test, default (null: required).
    Fn &p(const char *name, const char *annotation = nullptr, uint32_t type = Any,
          nb::object dflt = nb::object());
    Fn &ret(const char *annotation) { ret_ = annotation; return *this; }
    Fn &doc(const char *doc) { doc_ = doc; return *this; }
    // A module-level function, or a method when qualprefix names its class.
    nb::object make(nb::handle module, const char *qualprefix = nullptr) const;

private:
    struct ParamDef {
        const char *name;
        const char *annotation;
        uint32_t type;
        nb::object dflt;
    };
    const char *name_;
    Impl impl_;
    const char *ret_ = nullptr;
    const char *doc_ = nullptr;
    std::vector<ParamDef> params_;
};

// A class created by calling the metaclass of its base with (name, (base,), namespace).
class Class {
public:
    Class(nb::handle module, const char *name, nb::handle base, const char *doc = nullptr);
    Class &def(const Fn &fn);
    Class &attr(const char *name, nb::handle value);
    // Creates the class, stores it in the module and returns it.
    nb::object make();

private:
    nb::handle module_;
    const char *name_;
    nb::object base_;
    nb::dict ns_;
};

// `from .<name> import <attr>` as run by the body of `module` (the package-relative import).
nb::object import_from(nb::handle module, const char *name, const char *attr);

// super(cls, self).<name>: the next class's attribute after `cls` in the object's MRO.
nb::object super_attr(nb::handle cls, nb::handle self, const char *name);

// Writes `data` to `target` atomically: a temporary file in the target's folder (opened with the
// module's `open`), written, flushed and synced, given the mode of an existing target, then
// renamed over it. On any failure the target stays as it was and the temporary file is removed.
void replace_file(const Call &c, nb::handle target, nb::handle data);

// Raises the Python exception `type` with a printf-style message (PyErr_Format).
[[noreturn]] void raise(PyObject *type, const char *fmt, ...);

// The assertion setting of the interpreter when this module was imported (false under -O).
bool assertions();

// Unpacks exactly N values from an iterable, with the library's ValueError texts.
std::vector<nb::object> unpack(nb::handle seq, size_t n);
template <size_t N> std::array<nb::object, N> unpack(nb::handle seq) {
    std::vector<nb::object> v = unpack(seq, N);
    std::array<nb::object, N> out;
    for (size_t i = 0; i < N; ++i) out[i] = std::move(v[i]);
    return out;
}

// Runs body(value of __enter__) inside `mgr`, calling __exit__ on every path the way a `with`
// statement does (an exception that __exit__ swallows is not re-raised: what the body was to
// assign may then be unset, see `assigned`).
void with_impl(nb::handle mgr, void (*body)(void *ctx, nb::handle value), void *ctx);
template <class F> void with(nb::handle mgr, F &&body) {
    with_impl(
        mgr, [](void *ctx, nb::handle v) { (*static_cast<F *>(ctx))(v); }, &body);
}

// A variable that a `with` body assigns, read after the block: as in Python, UnboundLocalError
// when the body never assigned it (its exception swallowed by __exit__).
const nb::object &assigned(const nb::object &value, const char *name);

// A new list of the given values.
template <class... T> nb::list list_of(T &&...values) {
    nb::list l;
    (l.append(std::forward<T>(values)), ...);
    return l;
}

// The truth value of `o` as an `if` statement takes it; an error raised by its __bool__ (an array
// of several elements, say) propagates instead of reading as false.
inline bool truth(nb::handle o) {
    const int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// tuple(seq) and list(seq).
inline nb::object as_tuple(nb::handle seq) {
    nb::object r = nb::steal(PySequence_Tuple(seq.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}
inline nb::object as_list(nb::handle seq) {
    nb::object r = nb::steal(PySequence_List(seq.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}

// Tests a result declared as a list: TypeError "Expected list, got <type>" otherwise.
nb::handle check_list(nb::handle obj, bool none_ok = false);

// The Python error indicator as one exception object (cleared), and back.
nb::object fetch_exception();
void restore_exception(nb::object err);

// Converts the C++ exception in flight into the Python error indicator.
void translate_exception() noexcept;

// Interned text, made once per call site.
#define KIT_STR(s)                                                                          \
    ([]() -> PyObject * {                                                                   \
        static PyObject *o_ = PyUnicode_InternFromString(s);                                \
        return o_;                                                                          \
    }())

namespace detail {
using ExecFn = void (*)(nb::module_);
PyObject *module_def(const char *name, PyObject *(*nb_init)(), ExecFn exec);
}  // namespace detail

}  // namespace kit

// A module of the package. nanobind's own module definition is made under a helper name so its
// internals are set up; the body then runs with the kit's own error handling.
#define KIT_MODULE(name, var)                                                               \
    NB_MODULE(name##_nbinit, kit_unused_) { (void) kit_unused_; }                           \
    static void kit_exec_##name(nanobind::module_);                                         \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void) {                                    \
        return ::kit::detail::module_def(#name, &PyInit_##name##_nbinit, &kit_exec_##name); \
    }                                                                                       \
    static void kit_exec_##name(nanobind::module_ var)
