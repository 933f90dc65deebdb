"""The stand-ins offer nothing the real libraries lack: every public name, class member, parameter
name and enum value of the cupy, cupyx and tensorrt stand-ins is checked against the real cupy
(imported in another interpreter, which needs no GPU for that) and TensorRT's type stubs.

The reference interpreter is $CORVANTA_REFERENCE_PYTHON (which must then exist), else
.venv-ref/bin/python at the repository root if there is one; `.ci/reference-venv` makes it.
Without one, or for a package it lacks, the check is skipped with the reason."""
import __future__
import ast
import enum
import importlib
import inspect
import json
import os
import pkgutil
import re
import subprocess
import textwrap

import pytest

import surface
from conftest import REAL_GPU

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REFERENCE_GIVEN = os.environ.get("CORVANTA_REFERENCE_PYTHON")
REFERENCE = REFERENCE_GIVEN or os.path.join(ROOT, ".venv-ref", "bin", "python")
PACKAGES = ("cupy", "cupyx", "tensorrt")
DISTRIBUTIONS = {"cupy": "cupy-cuda12x", "cupyx": "cupy-cuda12x", "tensorrt": "tensorrt-stubs"}

# Members the real classes set on each instance, so that the class does not list them.
# (cupy's streams and events are Python classes; the error is an exception class.)
INSTANCE_ATTRIBUTES = {
    "Stream.ptr": "the stream handle, set by the constructor",
    "Stream.device_id": "set by the constructor",
    "ExternalStream.ptr": "the stream handle, set by the constructor",
    "ExternalStream.device_id": "set by the constructor",
    "Event.ptr": "the event handle, set by the constructor",
    "CUDARuntimeError.status": "the CUDA error code, set by the constructor",
}

# ---- what the stand-ins offer ---------------------------------------------------------------------


def _modules(package):
    pkg = importlib.import_module(package)
    yield pkg
    for info in pkgutil.walk_packages(pkg.__path__, package + "."):
        if not any(part.startswith("_") for part in info.name.split(".")):
            yield importlib.import_module(info.name)


def _public_names(module):
    for name, value in vars(module).items():
        if name.startswith("_") or isinstance(value, __future__._Feature):
            continue
        if inspect.ismodule(value) and value.__name__ != "%s.%s" % (module.__name__, name):
            continue  # a module the stand-in imports for itself
        yield name


def _own(cls, name):
    """Whether the stand-in itself gives `cls` the member `name`: not a private one, and not one
    that Python's object, Enum or the class's metaclass gives it."""
    if name.startswith("_") and not re.fullmatch(r"__\w+__", name):
        return False
    for klass in cls.__mro__:
        if name in vars(klass):
            return klass.__module__.split(".")[0] in PACKAGES
    return False


def _instance_attributes(cls):
    """Public names the stand-in's methods assign on self."""
    try:
        tree = ast.parse(textwrap.dedent(inspect.getsource(cls)))
    except (OSError, TypeError):
        return set()
    names = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Attribute) and isinstance(node.ctx, ast.Store) \
                and isinstance(node.value, ast.Name) and node.value.id == "self" and not node.attr.startswith("_"):
            names.add(node.attr)
    return names


def _standin_class(cls, desc):
    if issubclass(cls, enum.Enum):  # members are looked up by value, as in the real bindings
        desc["init"] = [[["value", P.POS_OR_KW, False]]]
    elif not any(_own(cls, n) for n in ("__init__", "__new__")):
        desc["init"] = None  # made by the library only (a private class method here)
    desc["members"] = {n: m for n, m in desc["members"].items() if _own(cls, n)}
    for n in _instance_attributes(cls):
        desc["members"].setdefault(n, {"kind": "attribute", "writable": True})
    for n, m in desc["members"].items():
        if m["kind"] == "class":
            _standin_class(getattr(cls, n), m)
    return desc


def standin_surface(package):
    out = {}
    for module in _modules(package):
        names = {}
        for n in _public_names(module):
            value = getattr(module, n)
            d = surface.describe(value, n)
            names[n] = _standin_class(value, d) if d["kind"] == "class" else d
        out[module.__name__] = names
    return out


# ---- comparison -------------------------------------------------------------------------------------

_CATEGORY = {"module": "module", "class": "class", "function": "callable", "method": "callable",
             "attribute": "data", "constant": "data"}
P = surface


def _positional(sig):
    return [p for p in sig if p[1] in (P.POS_ONLY, P.POS_OR_KW)]


def _call_problems(mine, k, theirs):
    """What a call that gives the first k positional parameters of `mine` by position, and the
    other required ones by name, meets in the real signature `theirs`."""
    pos, kinds, out = _positional(theirs), {p[1] for p in theirs}, []
    for i, (name, kind, _) in enumerate(_positional(mine)[:k]):
        if i >= len(pos):
            if P.VAR_POS not in kinds:
                out.append("takes %r as positional %d, the real one takes %d" % (name, i, len(pos)))
        elif kind == P.POS_OR_KW and pos[i][1] == P.POS_OR_KW and pos[i][0] != name:
            out.append("positional %d is %r, real %r" % (i, name, pos[i][0]))
    by_name = {p[0] for p in mine if p[1] == P.KW_ONLY and not p[2]}
    for q in pos[k:] + [q for q in theirs if q[1] == P.KW_ONLY]:
        if not q[2] and q[0] not in by_name:
            out.append("%r may be left out here, the real one requires it" % q[0])
    return out


def param_problems(mine, theirs):
    """What a call that the signature `mine` accepts may do that every real overload in `theirs`
    refuses.  Parameters with a leading underscore are the stand-ins' own test hooks."""
    mine = [p for p in mine if not p[0].startswith("_")]
    problems = []
    positional = _positional(mine)
    required = sum(1 for p in positional if not p[2])
    for k in range(required, len(positional) + 1):
        found = [_call_problems(mine, k, t) for t in theirs]
        if all(found):
            problems += min(found, key=len)
    for name, kind, _ in mine:
        if kind in (P.POS_OR_KW, P.KW_ONLY) and not any(
                P.VAR_KW in {q[1] for q in t} or any(q[0] == name and q[1] != P.POS_ONLY for q in t) for t in theirs):
            problems.append("keyword %r is not accepted by the real one" % name)
        if kind in (P.VAR_POS, P.VAR_KW) and not any(kind in {q[1] for q in t} for t in theirs):
            problems.append("takes %s%s, the real one does not" % ("*" if kind == P.VAR_POS else "**", name))
    return list(dict.fromkeys(problems))


def signature_problems(mine, theirs, dunder=False):
    if not mine or not theirs:
        return []
    if dunder:  # called by Python's operators and protocols, never by keyword
        mine = [[[n, P.POS_ONLY if k == P.POS_OR_KW else k, d] for n, k, d in s] for s in mine]
    return param_problems(mine[0], theirs)


def compare(path, mine, theirs):
    if theirs is None:
        if ".".join(path.split(".")[-2:]) in INSTANCE_ATTRIBUTES and mine["kind"] == "attribute":
            return []
        return ["%s: the real library has no such %s" % (path, mine["kind"])]
    if _CATEGORY[mine["kind"]] != _CATEGORY[theirs["kind"]]:
        return ["%s: %s here, %s in the real library" % (path, mine["kind"], theirs["kind"])]
    found = []
    if mine["kind"] in ("function", "method"):
        dunder = bool(re.fullmatch(r".*\.__\w+__", path))
        found += ["%s: %s" % (path, p) for p in signature_problems(mine["params"], theirs["params"], dunder)]
    elif mine["kind"] == "class":
        found += ["%s(): %s" % (path, p) for p in signature_problems(mine["init"], theirs["init"])]
        for n, m in sorted(mine["members"].items()):
            t = theirs["members"].get(n)
            if t is None and n.startswith("__") and hasattr(object, n):
                continue  # what every object has; the stubs do not list it
            found += compare("%s.%s" % (path, n), m, t)
    elif mine.get("writable") and theirs.get("writable") is False:
        found.append("%s: writable here, read-only in the real library" % path)
    elif mine["kind"] == theirs["kind"] == "constant" and None not in (mine["value"], theirs["value"]) \
            and mine["value"] != theirs["value"]:
        found.append("%s: %s here, %s in the real library" % (path, mine["value"], theirs["value"]))
    return found


# ---- the check against the real libraries -------------------------------------------------------

# The reference interpreter runs none of our native code: it runs without the sanitizer runtime.
_NOT_FOR_REFERENCE = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC", "PYTHONPATH")


@pytest.fixture(scope="module")
def standins():
    if REAL_GPU:
        pytest.skip("the real GPU libraries are in use, not the stand-ins")
    return {p: standin_surface(p) for p in PACKAGES}


@pytest.fixture(scope="module")
def real(standins):
    if not os.path.exists(REFERENCE):
        assert not REFERENCE_GIVEN, "CORVANTA_REFERENCE_PYTHON names %s, which does not exist" % REFERENCE
        pytest.skip("no reference interpreter with the real cupy and TensorRT stubs at %s "
                    "(make one with .ci/reference-venv)" % REFERENCE)
    request = {m: sorted(names) for p in PACKAGES for m, names in standins[p].items()}
    env = {k: v for k, v in os.environ.items() if k not in _NOT_FOR_REFERENCE}
    run = subprocess.run([REFERENCE, "-I", surface.__file__], input=json.dumps(request), env=env,
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


@pytest.mark.parametrize("package", PACKAGES)
def test_standins_offer_only_the_real_surface(standins, real, package):
    dist = DISTRIBUTIONS[package]
    version = real["versions"][dist]
    if version is None:
        pytest.skip("%s is not installed in the reference interpreter %s (it could not be installed there)"
                    % (dist, REFERENCE))
    found = []
    if "%s %s" % (dist, version) not in importlib.import_module(package).__doc__:
        found.append("%s: the docstring does not name %s %s, the version checked" % (package, dist, version))
    for module, names in standins[package].items():
        theirs = real["modules"][module]
        if "error" in theirs:
            found.append("%s: %s" % (module, theirs["error"]))
            continue
        for n, d in sorted(names.items()):
            found += compare("%s.%s" % (module, n), d, theirs[n])
    assert not found, "against %s %s:\n%s" % (dist, version, "\n".join(found))


# ---- the check's own parts ---------------------------------------------------------------------------

def sig(text):
    return surface.parse_params(surface._doc_defaults(text), r"arg\d+")


@pytest.mark.parametrize("text, want", [
    ("a, b: int = 1, *args, c=None, **kw",
     [["a", P.POS_OR_KW, False], ["b", P.POS_OR_KW, True], ["args", P.VAR_POS, False], ["c", P.KW_ONLY, True],
      ["kw", P.VAR_KW, False]]),
    ("intptr_t dst, size_t size=0", [["dst", P.POS_OR_KW, False], ["size", P.POS_OR_KW, True]]),
    ("in: list[Desc], out: dict[str, int] = {'a': 1}, n: int",
     [["in", P.POS_OR_KW, False], ["out", P.POS_OR_KW, True], ["n", P.POS_OR_KW, False]]),
    ("x[, out1], / [, out=(None, None)], \\*, dtype=None",
     [["x", P.POS_ONLY, False], ["out1", P.POS_ONLY, True], ["out", P.POS_OR_KW, True], ["dtype", P.KW_ONLY, True]]),
    ("arg0: int, name: str", [["arg0", P.POS_ONLY, False], ["name", P.POS_OR_KW, False]]),
])
def test_signatures_are_read_from_text_that_is_not_python(text, want):
    assert sig(text) == want


@pytest.mark.parametrize("mine, theirs, want", [
    ("a, axis=None", ["a, axis=None, out=None"], []),
    ("m, axis=None", ["a, axis=None"], ["positional 0 is 'm', real 'a'", "keyword 'm' is not accepted by the real one"]),
    ("a, a_min=None, a_max=None", ["a, a_min, a_max, out=None"],
     ["'a_min' may be left out here, the real one requires it", "'a_max' may be left out here, the real one requires it"]),
    ("a, *args, **kwargs", ["a, axis=None"], ["takes *args, the real one does not", "takes **kwargs, the real one does not"]),
    ("a, flag=False", ["a, **kwargs"], ["takes 'flag' as positional 1, the real one takes 1"]),
    ("a", ["a, *, mode"], ["'mode' may be left out here, the real one requires it"]),
    ("a, *, mode", ["a, mode=None"], []),
    ("index", ["arg0"], ["keyword 'index' is not accepted by the real one"]),
    ("shape=()", ["", "shape"], []),                       # one overload per call
    ("a, *, _hook=None", ["a"], []),                       # the stand-ins' own test hooks
])
def test_parameter_rules(mine, theirs, want):
    assert param_problems(sig(mine), [sig(t) for t in theirs]) == want


def _cls(**members):
    return {"kind": "class", "init": None, "members": members}


def _method(text):
    return {"kind": "method", "params": [sig(text)]}


@pytest.mark.parametrize("path, mine, theirs, want", [
    ("m.f", {"kind": "function", "params": [sig("a")]}, None, ["m.f: the real library has no such function"]),
    ("m.C", _cls(x=_method("")), _cls(x={"kind": "attribute", "writable": False}),
     ["m.C.x: method here, attribute in the real library"]),
    ("m.C", _cls(x={"kind": "attribute", "writable": True}), _cls(x={"kind": "attribute", "writable": False}),
     ["m.C.x: writable here, read-only in the real library"]),
    ("m.E", _cls(A={"kind": "constant", "value": "<E.A: 1>"}), _cls(A={"kind": "constant", "value": "<E.A: 2>"}),
     ["m.E.A: <E.A: 1> here, <E.A: 2> in the real library"]),
    ("m.C", _cls(__eq__=_method("other"), __repr__=_method("")), _cls(__eq__=_method("arg0")), []),
    ("cupy.cuda.Stream", _cls(ptr={"kind": "attribute", "writable": False}), _cls(), []),
])
def test_comparison_rules(path, mine, theirs, want):
    assert compare(path, mine, theirs) == want


STUB = """
import typing
from other import Remote
__version__: str = '1.0'
fp16: DataType  # value = <DataType.HALF: 1>
class DataType:
    FLOAT: typing.ClassVar[DataType]  # value = <DataType.FLOAT: 0>
    def __init__(self, value: int) -> None:
        ...
class Base:
    \"\"\"
    def looks_like(a def line):
    \"\"\"
    note: str
    def get_workspace_size(self, in: list[int], out: list[int]) -> int:
        \"\"\"Size.\"\"\"
    def add_scale(self, input: int, shift: int = None, channel_axis: int) -> int:
        ...
    @property
    def name(self) -> str:
        ...
    @name.setter
    def name(self, arg0: str) -> None:
        ...
    @property
    def size(self) -> int:
        ...
class Derived(Base):
    @staticmethod
    def make(x: int) -> Derived:
        ...
    @typing.overload
    def get(self, name: str) -> int:
        ...
    @typing.overload
    def get(self, name: str, index: int) -> int:
        ...
"""


@pytest.fixture(scope="module")
def stub(tmp_path_factory):
    root = tmp_path_factory.mktemp("site")
    (root / "pkg.pyi").write_text(STUB)
    (root / "other.pyi").write_text("def Remote(a, /, b=2) -> int: ...\n")
    return surface.StubModule(str(root / "pkg.pyi"), lambda m, n: surface.StubModule(
        str(root / (m + ".pyi")), None).describe(n))


@pytest.mark.parametrize("path, want", [
    ("__version__", {"kind": "constant", "value": "'1.0'"}),
    ("fp16", {"kind": "constant", "value": "<DataType.HALF: 1>"}),
    ("Remote", {"kind": "function", "params": [sig("a, /, b=2")]}),
    ("DataType.init", [sig("value")]),
    ("DataType.FLOAT", {"kind": "constant", "value": "<DataType.FLOAT: 0>"}),
    ("Derived.note", {"kind": "attribute", "writable": True}),
    ("Derived.name", {"kind": "attribute", "writable": True}),
    ("Derived.size", {"kind": "attribute", "writable": False}),
    ("Derived.get_workspace_size", {"kind": "method", "params": [sig("in, out")]}),
    ("Derived.add_scale", {"kind": "method", "params": [
        [["input", P.POS_OR_KW, False], ["shift", P.POS_OR_KW, True], ["channel_axis", P.POS_OR_KW, False]]]}),
    ("Derived.make", {"kind": "method", "params": [sig("x")]}),
    ("Derived.get", {"kind": "method", "params": [sig("name"), sig("name, index")]}),
])
def test_stubs_are_read_tolerantly(stub, path, want):
    name, *rest = path.split(".")
    d = stub.describe(name)
    if rest:
        d = d["init"] if rest == ["init"] else d["members"][rest[0]]
    assert d == want
