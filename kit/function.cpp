// The native callable type of the kit and its argument binding.
#include "kit.h"

#include <cstring>
#include <unordered_map>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace kit {

namespace {

constexpr size_t kMaxParams = 24;

struct ParamInfo {
    PyObject *name;  // interned
    uint32_t type;
    PyTypeObject *exact;  // the type a type-tested parameter must have
};

PyTypeObject *exact_type(uint32_t t) {
    switch (t & TypeMask) {
        case Str: return &PyUnicode_Type;
        case Bytes: return &PyBytes_Type;
        case Int: return &PyLong_Type;
        case List: return &PyList_Type;
        case Tuple: return &PyTuple_Type;
        default: return nullptr;
    }
}

}  // namespace

struct FuncObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    Py_ssize_t nparams;
    ParamInfo params[kMaxParams];
    uint8_t nfloat, ntyped;             // parameters converted to double / type-tested
    uint8_t float_idx[kMaxParams];
    uint8_t typed_idx[kMaxParams];
    PyObject *name;         // str
    PyObject *qualname;     // str
    PyObject *module;       // str
    PyObject *doc;          // str or None
    PyObject *annotations;  // dict
    PyObject *defaults;     // tuple or None
    PyObject *globals;      // dict of the defining module
    PyObject *dict;         // extra attributes, or null
    PyObject *signature;    // cached inspect.Signature, or null
    PyObject *weakrefs;
    // The last keyword-name tuple bound successfully (call sites pass the same constant tuple),
    // with the parameter index of each of its names, for that many positional arguments.
    PyObject *kw_key;
    Py_ssize_t kw_nargs;
    uint8_t kw_map[kMaxParams];
};

namespace {

const char *type_name(uint32_t t) {
    switch (t & TypeMask) {
        case Str: return "str";
        case Bytes: return "bytes";
        case Int: return "int";
        case List: return "list";
        case Tuple: return "tuple";
        default: return "object";
    }
}


Py_ssize_t ndefaults(const FuncObject *f) {
    return (f->defaults && PyTuple_Check(f->defaults)) ? PyTuple_GET_SIZE(f->defaults) : 0;
}

// The messages name the function by its __name__, which may be any text (a lone surrogate
// included): formatted as text, never as UTF-8.
void count_error(const FuncObject *f, const char *kind, Py_ssize_t bound, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200U() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->name, kind, bound, bound == 1 ? "" : "s", given);
}

bool same_name(PyObject *a, PyObject *b) {
    if (a == b) return true;
    return PyUnicode_Compare(a, b) == 0;
}

// Binds keywords and defaults into `bound`; false with an error set when the call doesn't fit.
bool bind_slow(FuncObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               PyObject **bound) {
    const Py_ssize_t n = f->nparams;
    const Py_ssize_t nd = ndefaults(f);
    const Py_ssize_t nreq = n - (nd < n ? nd : n);

    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t i = nargs; i < n; ++i) bound[i] = nullptr;

    if (kwnames && kwnames == f->kw_key && nargs == f->kw_nargs) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) bound[f->kw_map[k]] = args[nargs + k];
    } else if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        uint8_t map[kMaxParams];
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t idx = -1;
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (f->params[i].name == key) { idx = i; break; }
            }
            if (idx < 0) {
                for (Py_ssize_t i = 0; i < n; ++i) {
                    if (same_name(f->params[i].name, key)) { idx = i; break; }
                }
            }
            if (idx < 0) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'",
                             f->name, key);
                return false;
            }
            if (bound[idx]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%U'",
                             f->name, key);
                return false;
            }
            bound[idx] = args[nargs + k];
            map[k] = (uint8_t) idx;
        }
        Py_XSETREF(f->kw_key, Py_NewRef(kwnames));
        f->kw_nargs = nargs;
        std::memcpy(f->kw_map, map, (size_t) nkw);
    }

    for (Py_ssize_t i = nargs; i < n; ++i) {
        if (bound[i]) continue;
        if (i < nreq) {
            count_error(f, nd ? "at least" : "exactly", nreq, i);
            return false;
        }
        bound[i] = PyTuple_GET_ITEM(f->defaults, i - (n - nd));
    }
    return true;
}

#if KIT_DEBUG
// A name for the debug reports, which print as UTF-8: "?" when it has no UTF-8 form.
const char *debug_name(PyObject *name) {
    const char *s = PyUnicode_AsUTF8(name);
    if (s) return s;
    PyErr_Clear();
    return "?";
}
#endif

PyObject *func_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                          PyObject *kwnames) {
    FuncObject *f = reinterpret_cast<FuncObject *>(self);
    const Py_ssize_t n = f->nparams;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);

    PyObject *slots[kMaxParams];
    PyObject *const *bound = args;  // every argument by position: nothing to bind
    // Defaults bound into this call are borrowed from the defaults tuple: keep it alive for the
    // call, so that assigning __defaults__ meanwhile cannot free them under the implementation.
    nb::object defaults_held;
    if (kwnames || nargs != n) [[unlikely]] {
        if (nargs > n) {
            count_error(f, ndefaults(f) ? "at most" : "exactly", n, nargs);
            return nullptr;
        }
        if (!bind_slow(f, args, nargs, kwnames, slots)) return nullptr;
        bound = slots;
        if (f->defaults) defaults_held = nb::borrow(f->defaults);
    }

    double dv[kMaxParams];
    for (uint8_t k = 0; k < f->nfloat; ++k) {
        const uint8_t i = f->float_idx[k];
        PyObject *o = bound[i];
        if (PyFloat_CheckExact(o)) {
            dv[i] = PyFloat_AS_DOUBLE(o);
        } else if (o == Py_None && (f->params[i].type & OrNone)) {
            continue;
        } else {
            double d = PyFloat_AsDouble(o);
            if (d == -1.0 && PyErr_Occurred()) return nullptr;
            dv[i] = d;
        }
    }
    for (uint8_t k = 0; k < f->ntyped; ++k) {
        const uint8_t i = f->typed_idx[k];
        const ParamInfo &pi = f->params[i];
        if (Py_TYPE(bound[i]) != pi.exact && !(bound[i] == Py_None && (pi.type & OrNone))) [[unlikely]] {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200U' has incorrect type (expected %.200s, got %.200s)",
                         f->params[i].name, type_name(f->params[i].type),
                         Py_TYPE(bound[i])->tp_name);
            return nullptr;
        }
    }

#if KIT_DEBUG
    Py_INCREF(self);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (bound[i] == nullptr || Py_REFCNT(bound[i]) < 1) {
            fprintf(stderr, "kit: %s(): argument %zd unbound or dead\n", debug_name(f->name), i);
            abort();
        }
    }
#endif
    Call call{bound, dv, f};
    PyObject *result = nullptr;
    try {
        nb::object r = f->impl(call);
        result = r.release().ptr();
        if (!result) result = Py_NewRef(Py_None);
    } catch (...) {
        translate_exception();
    }

#if KIT_DEBUG
    // Every argument is still owned by the caller (or by the defaults this call holds), so none
    // may be gone now. Reading each header from instrumented code makes the address sanitizer
    // report an argument that the implementation released too often. A reference stolen without
    // freeing the object shows up the same way once the caller lets go of it. Reference counts
    // are not compared: other holders (the cyclic collector freeing earlier results, say) may
    // legitimately release the same objects while the call runs.
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (Py_REFCNT(bound[i]) < 1) {
            fprintf(stderr, "kit: %s(): argument '%s' was freed during the call\n",
                    debug_name(f->name), debug_name(f->params[i].name));
            abort();
        }
    }
    // Touch the result's header from instrumented code: a result that was already freed (a
    // missing reference) is reported by the address sanitizer here, not somewhere in the host.
    if (result && Py_REFCNT(result) < 1) {
        fprintf(stderr, "kit: %s() returned an object with no reference\n", debug_name(f->name));
        abort();
    }
    if ((result == nullptr) != (PyErr_Occurred() != nullptr)) {
        fprintf(stderr, "kit: %s() returned %s with%s an error set\n", debug_name(f->name),
                result ? "a value" : "NULL", result ? "" : "out");
        abort();
    }
    Py_DECREF(self);
#endif
    return result;
}

// ---- the type ----------------------------------------------------------------------------

int func_traverse(PyObject *self, visitproc visit, void *arg) {
    FuncObject *f = reinterpret_cast<FuncObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    Py_VISIT(f->signature);
    return 0;
}

int func_clear(PyObject *self) {
    FuncObject *f = reinterpret_cast<FuncObject *>(self);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    return 0;
}

void func_dealloc(PyObject *self) {
    FuncObject *f = reinterpret_cast<FuncObject *>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    func_clear(self);
    for (Py_ssize_t i = 0; i < f->nparams; ++i) Py_CLEAR(f->params[i].name);
    Py_CLEAR(f->kw_key);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *func_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *func_repr(PyObject *self) {
    FuncObject *f = reinterpret_cast<FuncObject *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Attributes, writable where a Python function's are.
template <PyObject *FuncObject::*M> PyObject *get_member(PyObject *self, void *) {
    PyObject *v = reinterpret_cast<FuncObject *>(self)->*M;
    return Py_NewRef(v ? v : Py_None);
}

template <PyObject *FuncObject::*M, bool Text> int set_member(PyObject *self, PyObject *v, void *) {
    if (!v) {
        PyErr_SetString(PyExc_TypeError, "cannot delete this attribute");
        return -1;
    }
    if (Text && !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "value must be set to a string object");
        return -1;
    }
    FuncObject *f = reinterpret_cast<FuncObject *>(self);
    Py_XSETREF(f->*M, Py_NewRef(v));
    Py_CLEAR(f->signature);
    return 0;
}

int set_defaults(PyObject *self, PyObject *v, void *) {
    FuncObject *f = reinterpret_cast<FuncObject *>(self);
    if (v == nullptr) v = Py_None;
    if (v != Py_None && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (v != Py_None && PyTuple_GET_SIZE(v) > f->nparams) {
        PyErr_SetString(PyExc_ValueError, "more defaults than parameters");
        return -1;
    }
    Py_XSETREF(f->defaults, Py_NewRef(v));
    Py_CLEAR(f->signature);
    return 0;
}

PyObject *get_kwdefaults(PyObject *, void *) { Py_RETURN_NONE; }

PyObject *get_globals(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<FuncObject *>(self)->globals);
}

// inspect.signature support: parameters are positional-or-keyword, annotations are the texts.
// Reading an annotation may run Python code (a dict subclass's __getitem__, a key's __eq__) that
// assigns __annotations__ or __defaults__: the signature is made from the objects as they were
// when it started, held here, and cached only when neither was replaced meanwhile.
PyObject *get_signature(PyObject *self, void *) {
    FuncObject *f = reinterpret_cast<FuncObject *>(self);
    if (f->signature) return Py_NewRef(f->signature);
    try {
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object Parameter = inspect.attr("Parameter");
        nb::object kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
        nb::object empty = Parameter.attr("empty");
        nb::list params;
        nb::object ann = nb::borrow(f->annotations ? f->annotations : Py_None);
        nb::object defaults = nb::borrow(f->defaults ? f->defaults : Py_None);
        const bool is_dict = PyDict_Check(ann.ptr());
        // The annotation under `key`, or none: the dict's own membership test, then its lookup.
        auto annotation = [&](nb::handle key) -> nb::object {
            if (!is_dict) return empty;
            const int has = PyDict_Contains(ann.ptr(), key.ptr());
            if (has < 0) throw nb::python_error();
            return has ? nb::object(ann[key]) : empty;
        };
        const Py_ssize_t nd = PyTuple_Check(defaults.ptr()) ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
        for (Py_ssize_t i = 0; i < f->nparams; ++i) {
            nb::handle name(f->params[i].name);
            nb::object a = annotation(name), d = empty;
            if (i >= f->nparams - nd) d = nb::borrow(PyTuple_GET_ITEM(defaults.ptr(), i - (f->nparams - nd)));
            params.append(Parameter(name, kind, nb::arg("default") = d, nb::arg("annotation") = a));
        }
        nb::object ret = annotation(nb::handle(KIT_STR("return")));
        nb::object sig = inspect.attr("Signature")(params, nb::arg("return_annotation") = ret);
        if (f->annotations == ann.ptr() && f->defaults == defaults.ptr()) Py_XSETREF(f->signature, Py_NewRef(sig.ptr()));
        return sig.release().ptr();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

PyGetSetDef func_getset[] = {
    {"__name__", get_member<&FuncObject::name>, set_member<&FuncObject::name, true>, nullptr, nullptr},
    {"__qualname__", get_member<&FuncObject::qualname>, set_member<&FuncObject::qualname, true>, nullptr, nullptr},
    {"__module__", get_member<&FuncObject::module>, set_member<&FuncObject::module, false>, nullptr, nullptr},
    {"__doc__", get_member<&FuncObject::doc>, set_member<&FuncObject::doc, false>, nullptr, nullptr},
    {"__annotations__", get_member<&FuncObject::annotations>, set_member<&FuncObject::annotations, false>, nullptr, nullptr},
    {"__defaults__", get_member<&FuncObject::defaults>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject *func_type() {
    static PyTypeObject *tp = [] {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, (void *) func_dealloc},
            {Py_tp_traverse, (void *) func_traverse},
            {Py_tp_clear, (void *) func_clear},
            {Py_tp_call, (void *) PyVectorcall_Call},
            {Py_tp_descr_get, (void *) func_descr_get},
            {Py_tp_repr, (void *) func_repr},
            {Py_tp_getset, (void *) func_getset},
            {0, nullptr},
        };
        static PyMemberDef members[] = {
            {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FuncObject, vectorcall), Py_READONLY, nullptr},
            {"__dictoffset__", Py_T_PYSSIZET, offsetof(FuncObject, dict), Py_READONLY, nullptr},
            {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FuncObject, weakrefs), Py_READONLY, nullptr},
            {nullptr, 0, 0, 0, nullptr},
        };
        static PyType_Slot all[sizeof(slots) / sizeof(slots[0]) + 1];
        size_t k = 0;
        for (; slots[k].slot; ++k) all[k] = slots[k];
        all[k++] = {Py_tp_members, (void *) members};
        all[k] = {0, nullptr};
        static PyType_Spec spec = {
            "corvanta.kit_function", sizeof(FuncObject), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                Py_TPFLAGS_DISALLOW_INSTANTIATION,
            all};
        return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
    }();
    return tp;
}

}  // namespace

// ---- Fn ------------------------------------------------------------------------------------

Fn &Fn::p(const char *name, const char *annotation, uint32_t type, nb::object dflt) {
    params_.push_back({name, annotation, type, std::move(dflt)});
    return *this;
}

nb::object Fn::make(nb::handle module, const char *qualprefix) const {
    if (params_.size() > kMaxParams) raise(PyExc_SystemError, "kit: too many parameters for %s", name_);
    PyTypeObject *tp = func_type();
    if (!tp) throw nb::python_error();
    FuncObject *f = PyObject_GC_New(FuncObject, tp);
    if (!f) throw nb::python_error();
    // Null every field first so dealloc is safe whatever fails below.
    std::memset(reinterpret_cast<char *>(f) + sizeof(PyObject), 0, sizeof(FuncObject) - sizeof(PyObject));
    nb::object guard = nb::steal(reinterpret_cast<PyObject *>(f));
    f->vectorcall = func_vectorcall;
    f->impl = impl_;

    nb::object mod = nb::borrow(module);
    nb::dict ann;
    bool seen_default = false;
    nb::list defaults;
    for (const ParamDef &pd : params_) {
        PyObject *nm = PyUnicode_InternFromString(pd.name);
        if (!nm) throw nb::python_error();
        f->params[f->nparams].name = nm;
        f->params[f->nparams].type = pd.type;
        f->params[f->nparams].exact = exact_type(pd.type);
        f->nparams++;
        const uint8_t idx = (uint8_t) (f->nparams - 1);
        if ((pd.type & TypeMask) == Float) f->float_idx[f->nfloat++] = idx;
        else if ((pd.type & TypeMask) != Any) f->typed_idx[f->ntyped++] = idx;
        if (pd.annotation) ann[pd.name] = pd.annotation;
        if (pd.dflt.is_valid()) {
            seen_default = true;
            defaults.append(pd.dflt);
        } else if (seen_default) {
            raise(PyExc_SystemError, "kit: required parameter after a default in %s", name_);
        }
    }
    if (ret_) ann["return"] = ret_;

    f->name = PyUnicode_InternFromString(name_);
    std::string qual = qualprefix ? std::string(qualprefix) + "." + name_ : std::string(name_);
    f->qualname = PyUnicode_FromString(qual.c_str());
    f->module = Py_NewRef(nb::getattr(mod, "__name__").ptr());
    f->doc = doc_ ? PyUnicode_FromString(doc_) : Py_NewRef(Py_None);
    f->annotations = ann.release().ptr();
    f->defaults = seen_default ? PyList_AsTuple(defaults.ptr()) : Py_NewRef(Py_None);
    f->globals = Py_NewRef(PyModule_GetDict(mod.ptr()));
    if (!f->name || !f->qualname || !f->doc || !f->defaults) throw nb::python_error();
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return guard;
}

// ---- Call ----------------------------------------------------------------------------------

nb::handle Call::globals() const { return fn_->globals; }

nb::object Call::g(PyObject *name) const {
    PyObject *v = PyDict_GetItemWithError(fn_->globals, name);
    if (v) return nb::borrow(v);
    if (PyErr_Occurred()) throw nb::python_error();
    PyObject *builtins = PyEval_GetBuiltins();
    if (builtins) {
        v = PyDict_GetItemWithError(builtins, name);
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    raise(PyExc_NameError, "name '%U' is not defined", name);
}

nb::object Call::g(const char *name) const {
    // Names are literals at the call sites: intern each once (the GIL guards the table).
    static std::unordered_map<const char *, PyObject *> interned;
    auto it = interned.find(name);
    if (it == interned.end()) {
        PyObject *n = PyUnicode_InternFromString(name);
        if (!n) throw nb::python_error();
        it = interned.emplace(name, n).first;
    }
    return g(it->second);
}

}  // namespace kit
