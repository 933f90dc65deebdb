// Module set-up, classes and the small recipes of the kit.
#include "kit.h"

#include <cstdarg>
#include <cstring>
#include <new>

namespace kit {

namespace {
bool g_assertions = true;
detail::ExecFn g_exec = nullptr;
int (*g_nb_exec)(PyObject *) = nullptr;
PyModuleDef g_def;
PyModuleDef_Slot g_slots[8];
}  // namespace

bool assertions() { return g_assertions; }

// The exception in flight as one object (normalised), and back.
nb::object fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(PyErr_GetRaisedException());
#else
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb) PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    return nb::steal(v);
#endif
}

void restore_exception(nb::object err) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(err.release().ptr());
#else
    PyObject *v = err.release().ptr();
    PyErr_Restore(Py_NewRef((PyObject *) Py_TYPE(v)), v, PyException_GetTraceback(v));
#endif
}

void raise(PyObject *type, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    throw nb::python_error();
}

void translate_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

std::vector<nb::object> unpack(nb::handle seq, size_t n) {
    std::vector<nb::object> out;
    out.reserve(n);
    if (PyTuple_CheckExact(seq.ptr()) || PyList_CheckExact(seq.ptr())) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq.ptr());
        if (size > (Py_ssize_t) n)
            raise(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t) n);
        if (size < (Py_ssize_t) n)
            raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", size, size == 1 ? "" : "s");
        PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
        for (size_t i = 0; i < n; ++i) out.push_back(nb::borrow(items[i]));
        return out;
    }
    nb::object it = nb::steal(PyObject_GetIter(seq.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    for (size_t i = 0; i < n; ++i) {
        PyObject *v = PyIter_Next(it.ptr());
        if (!v) {
            if (PyErr_Occurred()) throw nb::python_error();
            raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", (Py_ssize_t) i,
                  i == 1 ? "" : "s");
        }
        out.push_back(nb::steal(v));
    }
    PyObject *extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t) n);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

void with_impl(nb::handle mgr, void (*body)(void *, nb::handle), void *ctx) {
    // Held: looking __enter__ up may run Python code that changes the manager's class.
    nb::object tp = nb::borrow((PyObject *) Py_TYPE(mgr.ptr()));
    nb::object enter = nb::steal(PyObject_GetAttr(tp.ptr(), KIT_STR("__enter__")));
    nb::object exit_ = enter.is_valid() ? nb::steal(PyObject_GetAttr(tp.ptr(), KIT_STR("__exit__")))
                                        : nb::object();
    if (!enter.is_valid() || !exit_.is_valid()) {
        PyErr_Clear();
        raise(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
              Py_TYPE(mgr.ptr())->tp_name);
    }
    nb::object value = enter(mgr);
    try {
        body(ctx, value);
    } catch (...) {
        translate_exception();
        nb::object err = fetch_exception();
        nb::object etype = nb::borrow((PyObject *) Py_TYPE(err.ptr()));
        nb::object tb = nb::steal(PyException_GetTraceback(err.ptr()));
        if (!tb.is_valid()) tb = nb::none();
        nb::object suppress = exit_(mgr, etype, err, tb);
        if (truth(suppress)) return;
        restore_exception(std::move(err));
        throw nb::python_error();
    }
    exit_(mgr, nb::none(), nb::none(), nb::none());
}

const nb::object &assigned(const nb::object &value, const char *name) {
    if (!value.is_valid())
        raise(PyExc_UnboundLocalError, "cannot access local variable '%s' where it is not associated with a value",
              name);
    return value;
}

nb::object import_from(nb::handle module, const char *name, const char *attr) {
    nb::object fromlist = nb::make_tuple(attr);
    nb::object mod = nb::steal(PyImport_ImportModuleLevel(name, PyModule_GetDict(module.ptr()),
                                                          nullptr, fromlist.ptr(), 1));
    if (!mod.is_valid()) throw nb::python_error();
    PyObject *v = PyObject_GetAttrString(mod.ptr(), attr);
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise(PyExc_ImportError, "cannot import name '%s' from '%U'", attr,
                  nb::getattr(mod, "__name__").ptr());
        }
        throw nb::python_error();
    }
    return nb::steal(v);
}

nb::object super_attr(nb::handle cls, nb::handle self, const char *name) {
    nb::object sup = nb::steal(PyObject_CallFunctionObjArgs((PyObject *) &PySuper_Type, cls.ptr(), self.ptr(), nullptr));
    if (!sup.is_valid()) throw nb::python_error();
    return sup.attr(name);
}

void replace_file(const Call &c, nb::handle target, nb::handle data) {
    nb::object os = c.g("os");
    nb::object ospath = os.attr("path");
    nb::object folder = ospath.attr("dirname")(target);
    nb::object name = ospath.attr("basename")(target);
    nb::object suffix = os.attr("urandom")(6).attr("hex")();
    nb::object tmp = ospath.attr("join")(folder, nb::str(".{}.{}.tmp").attr("format")(name, suffix));
    nb::object fh = c.g("open")(tmp, "wb");
    try {
        with(fh, [&](nb::handle h) {
            h.attr("write")(data);
            h.attr("flush")();
            os.attr("fsync")(h.attr("fileno")());
        });
        try {
            nb::object st = os.attr("stat")(target);
            os.attr("chmod")(tmp, nb::module_::import_("stat").attr("S_IMODE")(st.attr("st_mode")));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_FileNotFoundError)) throw;
        }
        os.attr("replace")(tmp, target);
    } catch (...) {
        translate_exception();
        nb::object err = fetch_exception();
        PyObject *r = PyObject_CallMethod(os.ptr(), "unlink", "O", tmp.ptr());
        if (r) Py_DECREF(r);
        else PyErr_Clear();
        restore_exception(std::move(err));
        throw nb::python_error();
    }
}

nb::handle check_list(nb::handle obj, bool none_ok) {
    if (PyList_CheckExact(obj.ptr()) || (none_ok && obj.is_none())) return obj;
    raise(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(obj.ptr())->tp_name);
}

// ---- classes -------------------------------------------------------------------------------

Class::Class(nb::handle module, const char *name, nb::handle base, const char *doc)
    : module_(module), name_(name), base_(nb::borrow(base)) {
    ns_["__module__"] = nb::getattr(module, "__name__");
    ns_["__qualname__"] = name;
    ns_["__doc__"] = doc ? nb::object(nb::str(doc)) : nb::none();
}

Class &Class::def(const Fn &fn) {
    nb::object f = fn.make(module_, name_);
    ns_[nb::getattr(f, "__name__")] = f;
    return *this;
}

Class &Class::attr(const char *name, nb::handle value) {
    ns_[name] = value;
    return *this;
}

nb::object Class::make() {
    // Held for the call: the metaclass runs Python code, which could give the base another one.
    nb::object meta = nb::borrow((PyObject *) Py_TYPE(base_.ptr()));
    nb::object cls = meta(nb::str(name_), nb::make_tuple(base_), ns_);
    nb::setattr(module_, name_, cls);
    return cls;
}

// ---- modules -------------------------------------------------------------------------------

namespace detail {

static int exec_trampoline(PyObject *m) {
    if (g_nb_exec && g_nb_exec(m) < 0) return -1;
    try {
        nb::object flags = nb::module_::import_("sys").attr("flags");
        g_assertions = nb::cast<long>(flags.attr("optimize")) == 0;
        g_exec(nb::borrow<nb::module_>(m));
        return 0;
    } catch (...) {
        translate_exception();
        return -1;
    }
}

PyObject *module_def(const char *name, PyObject *(*nb_init)(), ExecFn exec) {
    PyObject *base = nb_init();
    if (!base) return nullptr;
    if (!PyObject_TypeCheck(base, &PyModuleDef_Type)) {
        PyErr_SetString(PyExc_ImportError, "kit: nanobind did not hand back a multi-phase module definition");
        return nullptr;
    }
    // nanobind hands back its PyModuleDef (multi-phase); keep its state layout and slots, run
    // our body after its own set-up.
    PyModuleDef *src = reinterpret_cast<PyModuleDef *>(base);
    if (g_exec == nullptr) {
        std::memcpy(&g_def, src, sizeof(PyModuleDef));
        PyModuleDef_Base fresh = PyModuleDef_HEAD_INIT;
        g_def.m_base = fresh;
        size_t k = 0;
        for (PyModuleDef_Slot *s = src->m_slots; s && s->slot && k < 7; ++s) {
            if (s->slot == Py_mod_exec) {
                g_nb_exec = reinterpret_cast<int (*)(PyObject *)>(s->value);
                g_slots[k++] = {Py_mod_exec, (void *) exec_trampoline};
            } else {
                g_slots[k++] = *s;
            }
        }
        g_slots[k] = {0, nullptr};
        g_def.m_name = name;
        g_def.m_slots = g_slots;
        g_exec = exec;
    }
    return PyModuleDef_Init(&g_def);
}

}  // namespace detail

}  // namespace kit
