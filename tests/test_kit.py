"""The binding kit, through the small probe module and the idmap module."""
import functools
import inspect
import os
import subprocess
import sys
import traceback

import pytest

import corvanta._kitprobe as kp
import corvanta.idmap as idmap
from corvanta.base import BaseModelLoader
from leakcheck import assert_no_leaks


def message(fn, *args, **kwargs):
    with pytest.raises(TypeError) as e:
        fn(*args, **kwargs)
    return str(e.value)


# ---- argument binding ------------------------------------------------------------------------

def test_positional_count_messages():
    p = kp.Probe()
    assert message(p.six) == "six() takes at least 2 positional arguments (1 given)"
    assert message(p.six, 1, None, 1, 2.0, "x", None, 7) == "six() takes at most 7 positional arguments (8 given)"
    assert message(kp.Probe.six) == "six() takes at least 2 positional arguments (0 given)"
    assert message(p.call_forward) == "call_forward() takes exactly 2 positional arguments (1 given)"
    assert message(p.call_forward, 1, 2) == "call_forward() takes exactly 2 positional arguments (3 given)"
    assert message(kp.scaled) == "scaled() takes exactly 1 positional argument (0 given)"
    assert message(idmap.load_idmap, "a", "b") == "load_idmap() takes at most 1 positional argument (2 given)"
    assert message(idmap.save) == "save() takes at least 1 positional argument (0 given)"
    assert message(idmap.save, 1, 2, 3) == "save() takes at most 2 positional arguments (3 given)"


def test_missing_argument_while_others_came_by_keyword():
    # The count given is the index of the first missing parameter.
    assert message(idmap.save, dest_path="x") == "save() takes at least 1 positional argument (0 given)"
    assert message(kp.Probe().six, c=3) == "six() takes at least 2 positional arguments (1 given)"
    assert message(kp.Probe.six, a=1) == "six() takes at least 2 positional arguments (0 given)"


def test_keyword_messages():
    p = kp.Probe()
    assert message(idmap.save, 1, nope=2) == "save() got an unexpected keyword argument 'nope'"
    assert message(idmap.save, 1, array=2) == "save() got multiple values for keyword argument 'array'"
    assert message(p.six, 1, a=2) == "six() got multiple values for keyword argument 'a'"
    assert message(p.six, 1, self=2) == "six() got multiple values for keyword argument 'self'"
    # Every parameter may be given by name, in any order; a dynamically built name works too.
    assert p.six(f=None, e="y", d=1, c=5, b="s", a=0) == 5
    assert p.six(**{"".join(["a"]): 0, "c": 9}) == 9
    assert kp.Probe.six(p, 0, c=4) == 4


def test_exact_type_tests_and_float_conversion():
    p = kp.Probe()
    s = type("S", (str,), {})
    cases = [
        (dict(b=s("x")), "b", "str", "S"),
        (dict(b=b"x"), "b", "str", "bytes"),
        (dict(c=True), "c", "int", "bool"),
        (dict(c=1.0), "c", "int", "float"),
        (dict(e=None), "e", "str", "NoneType"),
        (dict(f=[1]), "f", "tuple", "list"),
    ]
    for kw, name, expected, got in cases:
        assert message(p.six, 0, **kw) == (
            "Argument '%s' has incorrect type (expected %s, got %s)" % (name, expected, got))
    assert message(kp.takes_bytes, bytearray(b"x")).endswith("(expected bytes, got bytearray)")
    assert message(kp.takes_list, (1,)).endswith("(expected list, got tuple)")
    assert p.six(0, b=None, f=None, c=10**40) == 10**40  # no overflow: ints stay Python ints
    # Floats accept any real number and are converted first, before the type tests.
    assert kp.scaled(3) == 6.0 and kp.scaled(True) == 2.0 and kp.scaled(2.5) == 5.0
    assert "must be real number" in message(kp.scaled, "1")
    assert "must be real number" in message(p.six, 0, c="bad", d="bad")


def test_list_result_check():
    assert kp.expect_list([1]) == [1]
    assert kp.expect_list(None, True) is None
    assert message(kp.expect_list, (1,)) == "Expected list, got tuple"
    assert message(kp.expect_list, None) == "Expected list, got NoneType"
    assert message(kp.expect_list, type("L", (list,), {})()) == "Expected list, got L"


# ---- the callable's attributes -----------------------------------------------------------------

def test_function_attributes_and_signature():
    f = idmap.load_idmap
    assert f.__name__ == "load_idmap" and f.__qualname__ == "load_idmap"
    assert f.__module__ == "corvanta.idmap" and f.__doc__ is None
    assert f.__annotations__ == {"idmap_path": "str | None", "return": "cp.ndarray"}
    assert f.__defaults__ == (None,)
    assert idmap.save.__annotations__ == {"array": "np.ndarray", "dest_path": "str | None"}
    assert str(inspect.signature(idmap.save)) == "(array: 'np.ndarray', dest_path: 'str | None' = None)"
    six = kp.Probe.six
    assert six.__qualname__ == "Probe.six" and six.__doc__ == "Six parameters with defaults."
    assert six.__defaults__ == (None, 1, 2.0, "x", None)
    assert six.__annotations__["return"] == "int" and "self" not in six.__annotations__
    sig = inspect.signature(kp.Probe().six)
    assert list(sig.parameters) == ["a", "b", "c", "d", "e", "f"]
    assert sig.parameters["d"].default == 2.0 and sig.return_annotation == "int"
    assert callable(f) and "load_idmap" in repr(f)


def test_defaults_can_be_replaced_like_a_function():
    f = kp.Probe.six
    saved = f.__defaults__
    try:
        f.__defaults__ = (None, 42, 2.0, "x", None)
        assert kp.Probe().six(0) == 42
    finally:
        f.__defaults__ = saved
    assert kp.Probe().six(0) == 1


# ---- classes, methods and module globals ------------------------------------------------------

def test_class_made_through_the_base_metaclass():
    assert kp.Probe.__mro__[1] is BaseModelLoader
    assert type(kp.Probe) is type(BaseModelLoader)
    assert kp.Probe.__module__ == "corvanta._kitprobe" and kp.Probe.__qualname__ == "Probe"
    assert kp.Probe.__doc__ == "A class made through the metaclass of its base."
    p = kp.Probe("m.onnx", None, "cuda:1")
    assert (p.model_path, p.model_bytes, p.device, p.device_id) == ("m.onnx", None, "cuda:1", "1")
    bound = p.six
    assert bound.__self__ is p and bound.__func__ is kp.Probe.six


def test_operations_are_looked_up_on_the_object():
    class Sub(kp.Probe):
        def forward(self, x):
            return ("sub", x)

        def six(self, *args, **kwargs):
            return "overridden"

    s = Sub()
    assert s.call_forward(3) == ("sub", 3)
    assert s.six(0) == "overridden"
    s.forward = lambda x: ("instance", x)
    assert s.call_forward(4) == ("instance", 4)


def test_module_globals_are_looked_up_at_each_call(monkeypatch):
    assert kp.global_value("marker") == "module global"
    assert kp.global_value("len") is len  # then builtins
    monkeypatch.setattr(kp, "marker", "replaced")
    assert kp.global_value("marker") == "replaced"
    with pytest.raises(NameError, match="^name 'nothing_here' is not defined$"):
        kp.global_value("nothing_here")


def test_module_imports():
    assert idmap.hashlib.__name__ == "hashlib" and idmap.io.__name__ == "io"
    assert idmap.os is os and idmap.np.__name__ == "numpy" and idmap.cp.__name__ == "cupy"


def run_python(code, *flags):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True, env=env)


def test_assertions_follow_the_interpreter_setting():
    code = "import corvanta._kitprobe as k\ntry:\n k.asserting(False)\nexcept AssertionError:\n print('raised')\nelse:\n print('quiet')"
    assert run_python(code).stdout.strip() == "raised"
    assert run_python(code, "-O").stdout.strip() == "quiet"


def test_failed_relative_import_fails_the_module_import_unchanged():
    code = (
        "import sys\nsys.modules['corvanta.base'] = None\n"
        "try:\n import corvanta._kitprobe\n"
        "except BaseException as e:\n print(type(e).__name__, e.__cause__ is None, 'corvanta.base' in str(e))\n"
    )
    assert run_python(code).stdout.strip() == "ModuleNotFoundError True True"


# ---- errors and recipes ------------------------------------------------------------------------

def test_python_exceptions_pass_unchanged():
    err = KeyError("mine")

    def boom():
        raise err

    with pytest.raises(KeyError) as e:
        kp.call(boom)
    assert e.value is err
    assert "boom" in "".join(traceback.format_tb(e.value.__traceback__))

    class Sub(kp.Probe):
        def forward(self, x):
            raise ZeroDivisionError(x)

    with pytest.raises(ZeroDivisionError):
        Sub().call_forward(1)


def test_unpack_messages():
    p = kp.Probe()
    assert p.unpack2((1, 2)) == (1, 2) and p.unpack2([3, 4]) == (3, 4)
    assert p.unpack2(iter("ab")) == ("a", "b")
    for seq, text in [
        ((1, 2, 3), "too many values to unpack (expected 2)"),
        (iter([1, 2, 3]), "too many values to unpack (expected 2)"),
        ((1,), "need more than 1 value to unpack"),
        (iter([]), "need more than 0 values to unpack"),
        ([], "need more than 0 values to unpack"),
    ]:
        with pytest.raises(ValueError) as e:
            p.unpack2(seq)
        assert str(e.value) == text
    with pytest.raises(TypeError):
        p.unpack2(5)


def test_with_exits_on_every_path():
    events = []

    class Mgr:
        def __init__(self, swallow=False):
            self.swallow = swallow

        def __enter__(self):
            events.append("enter")
            return "value"

        def __exit__(self, t, v, tb):
            events.append(("exit", t))
            return self.swallow

    p = kp.Probe()
    assert p.inside(Mgr()) == "value"
    assert events == ["enter", ("exit", None)]
    events.clear()
    with pytest.raises(ValueError, match="failed inside"):
        p.inside(Mgr(), True)
    assert events == ["enter", ("exit", ValueError)]
    assert p.inside(Mgr(swallow=True), True) == "value"
    with pytest.raises(TypeError, match="context manager"):
        p.inside(object())


def test_no_leaks():
    p = kp.Probe()

    class Mgr:
        def __enter__(self):
            return object()

        def __exit__(self, *a):
            return False

    assert_no_leaks(
        lambda: p.six(object(), "b", 3, 1.5, "e", (object(),)),
        lambda: p.six(a=object(), c=10**30),
        lambda: p.six(object(), b=1),
        lambda: p.six(object(), zz=1),
        lambda: p.six(),
        lambda: p.six(object(), a=object()),
        lambda: p.unpack2((object(), object())),
        lambda: p.unpack2(iter([object()] * 3)),
        lambda: p.inside(Mgr(), True),
        lambda: kp.call(functools.partial(list, (object(),))),
        lambda: kp.expect_list((object(),)),
        lambda: kp.scaled("x"),
        lambda: inspect.signature(p.six),
    )
