// corvanta._kitprobe: a few operations that exercise the binding kit, for the test suite and the
// binding-overhead benchmark. Not part of the public surface.
#include <kit.h>

namespace nb = nanobind;
using kit::Call;

namespace {

nb::object six(Call &c) { return nb::borrow(c[3]); }

nb::object call_forward(Call &c) { return c[0].attr("forward")(c[1]); }

nb::object unpack2(Call &c) {
    auto [a, b] = kit::unpack<2>(c[1]);
    return nb::make_tuple(a, b);
}

nb::object inside(Call &c) {
    nb::object seen = nb::none();
    kit::with(c[1], [&](nb::handle v) {
        seen = nb::borrow(v);
        if (kit::truth(c[2])) kit::raise(PyExc_ValueError, "failed inside");
    });
    return seen;
}

nb::object scaled(Call &c) { return nb::float_(c.f(0) * 2.0); }

nb::object expect_list(Call &c) { return nb::borrow(kit::check_list(c[0], kit::truth(c[1]))); }

nb::object global_value(Call &c) { return c.g(c[0].ptr()); }

nb::object asserting(Call &c) {
    if (kit::assertions() && !kit::truth(c[0])) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
    return nb::none();
}

nb::object call(Call &c) { return c[0](); }

}  // namespace

KIT_MODULE(_kitprobe, m) {
    nb::object base = kit::import_from(m, "base", "BaseModelLoader");
    m.attr("BaseModelLoader") = base;
    m.attr("marker") = nb::str("module global");

    kit::Class(m, "Probe", base, "A class made through the metaclass of its base.")
        .def(kit::Fn("six", six)
                 .self()
                 .p("a", "cp.ndarray")
                 .p("b", "str | None", kit::Str | kit::OrNone, nb::none())
                 .p("c", "int", kit::Int, nb::int_(1))
                 .p("d", "float", kit::Float, nb::float_(2.0))
                 .p("e", "str", kit::Str, nb::str("x"))
                 .p("f", "tuple | None", kit::Tuple | kit::OrNone, nb::none())
                 .ret("int")
                 .doc("Six parameters with defaults."))
        .def(kit::Fn("call_forward", call_forward).self().p("x"))
        .def(kit::Fn("unpack2", unpack2).self().p("seq"))
        .def(kit::Fn("inside", inside).self().p("mgr").p("fail", "bool", kit::Any, nb::bool_(false)))
        .make();

    m.attr("scaled") = kit::Fn("scaled", scaled).p("x", "float", kit::Float).ret("float").make(m);
    m.attr("expect_list") =
        kit::Fn("expect_list", expect_list).p("obj").p("none_ok", nullptr, kit::Any, nb::bool_(false)).make(m);
    m.attr("global_value") = kit::Fn("global_value", global_value).p("name", "str", kit::Str).make(m);
    m.attr("asserting") = kit::Fn("asserting", asserting).p("flag").make(m);
    m.attr("call") = kit::Fn("call", call).p("fn").make(m);
    m.attr("takes_bytes") = kit::Fn("takes_bytes", call).p("data", "bytes", kit::Bytes).make(m);
    m.attr("takes_list") = kit::Fn("takes_list", call).p("items", "list", kit::List).make(m);
}
