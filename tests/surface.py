"""Describes the public surface of a Python library in one plain form, so that the stand-ins can
be compared with the real libraries (tests/test_standin_surface.py).

The same `describe` describes the stand-ins inside the test run and the real cupy in a separate
interpreter that has the real packages and not the stand-ins.  TensorRT is not importable without
its GPU driver; its surface is read from the published type stubs instead (`stub_surface`).

Run as a script by that other interpreter:

    python -I tests/surface.py < request.json > surface.json

The request maps module names to lists of names ({"cupy": ["clip", "ndarray"], "tensorrt": [...]});
the answer maps the same names to descriptions, None for a name the module lacks, plus "versions".

A description is a dict:
    {"kind": "module"}
    {"kind": "function", "params": SIGNATURES}
    {"kind": "class", "init": SIGNATURES, "members": {name: description}}
    {"kind": "method", "params": SIGNATURES}               (a class member; self not listed)
    {"kind": "attribute", "writable": True | False | None} (None: cannot tell)
    {"kind": "constant", "value": text or None}            (text for numbers, text and enum members)
SIGNATURES is None when unknown, else a list of alternatives (overloads), each a list of
[name, kind, has_default] with kind one of "POSITIONAL_ONLY", "POSITIONAL_OR_KEYWORD",
"VAR_POSITIONAL", "KEYWORD_ONLY", "VAR_KEYWORD".
"""

from __future__ import annotations

import ast
import enum
import importlib
import inspect
import json
import os
import re
import sys
import sysconfig

POS_ONLY, POS_OR_KW, VAR_POS, KW_ONLY, VAR_KW = (
    "POSITIONAL_ONLY", "POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL", "KEYWORD_ONLY", "VAR_KEYWORD")

# Class attributes that every class has or that only describe the class itself.
_CLASS_PLUMBING = frozenset([
    "__module__", "__qualname__", "__doc__", "__dict__", "__weakref__", "__slots__", "__annotations__",
    "__firstlineno__", "__static_attributes__", "__init__", "__new__", "__init_subclass__",
    "__subclasshook__", "__class_getitem__", "__orig_bases__", "__parameters__", "__type_params__",
])


# ---- signatures -------------------------------------------------------------------------------

def _split_top(text: str, sep: str = ",") -> list[str]:
    """Splits at `sep` outside brackets and quotes."""
    parts, depth, quote, cur = [], 0, None, []
    for ch in text:
        if quote:
            cur.append(ch)
            if ch == quote:
                quote = None
            continue
        if ch in "'\"":
            quote = ch
        elif ch in "([{<":
            depth += 1
        elif ch in ")]}>":
            depth -= 1
        elif ch == sep and depth == 0:
            parts.append("".join(cur))
            cur = []
            continue
        cur.append(ch)
    parts.append("".join(cur))
    return [p.strip() for p in parts if p.strip()]


def parse_params(text: str, positional_only_names=None) -> list:
    """Parameters of a signature written as text: "a, b: int = 1, *args, c=None, **kw".

    Tolerant of what is not Python: C types before names ("intptr_t dst"), reserved words as
    names ("in"), escaped stars ("\\*") and parameters without default after ones with.
    Names matching `positional_only_names` (a regex) count as positional-only.
    """
    out, keyword_only = [], False
    for part in _split_top(text.replace("\\*", "*")):
        if part == "/":
            for p in out:
                if p[1] == POS_OR_KW:
                    p[1] = POS_ONLY
            continue
        if part == "*":
            keyword_only = True
            continue
        if part.startswith("**"):
            out.append([part[2:].split(":")[0].strip(), VAR_KW, False])
            continue
        if part.startswith("*"):
            out.append([part[1:].split(":")[0].strip(), VAR_POS, False])
            keyword_only = True
            continue
        head = _split_top(part, "=")[0]
        has_default = len(_split_top(part, "=")) > 1
        head = _split_top(head, ":")[0]
        name = re.findall(r"\w+", head)[-1]
        kind = KW_ONLY if keyword_only else POS_OR_KW
        if kind == POS_OR_KW and positional_only_names and re.fullmatch(positional_only_names, name):
            kind = POS_ONLY
        out.append([name, kind, has_default])
    return out


_DOC_SIG = re.compile(r"^\s*([\w.]+)\((.*)\)\s*(->.*)?$")
_DOC_OPTIONAL = re.compile(r"\[\s*,([^\[\]]*)\]")


def _doc_defaults(text):
    """Writes the optional arguments of documentation ("x[, out1, out2], /") as defaults."""
    while True:
        m = _DOC_OPTIONAL.search(text)
        if not m:
            return text
        parts = [p if "=" in p else p + "=None" for p in _split_top(m.group(1))]
        text = text[:m.start()] + ", " + ", ".join(parts) + text[m.end():]


def _doc_params(doc, names):
    """Parameters from the first line of a docstring that reads `name(params)`, the form
    compiled extensions embed, with a name among `names` (any when None); None when it does not."""
    for line in (doc or "").strip().splitlines()[:1]:
        m = _DOC_SIG.match(line)
        if m and (names is None or m.group(1).split(".")[-1] in names):
            return parse_params(_doc_defaults(m.group(2)))
    return None


def _is_generic(params):
    kinds = [p[1] for p in params]
    return kinds == [VAR_POS, VAR_KW] or kinds == [POS_OR_KW, VAR_POS, VAR_KW]


def signature_of(obj, name=None):
    """SIGNATURES of a callable (see the module docstring), None when it cannot be told."""
    name = name or getattr(obj, "__name__", None)
    sig = None
    try:
        sig = [[p.name, p.kind.name, p.default is not p.empty]
               for p in inspect.signature(obj).parameters.values()]
    except (TypeError, ValueError):
        pass
    if sig is None or _is_generic(sig):
        # a callable object (one of cupy's ufuncs) may document its call under another name
        names = {name, "__call__"} if inspect.isroutine(obj) else None
        doc = _doc_params(getattr(obj, "__doc__", None), names)
        if doc is not None:
            sig = doc
    return None if sig is None else [sig]


def class_init_of(cls):
    """SIGNATURES of a class's constructor, without self."""
    doc = _doc_params(cls.__doc__, {cls.__name__, "__init__"})
    if doc is None:
        init = cls.__dict__.get("__init__")
        if init is not None:
            doc = _doc_params(getattr(init, "__doc__", None), {"__init__"})
            if doc and doc[0][0] == "self":
                doc = doc[1:]
    if doc is not None:
        return [doc]
    try:
        return [[[p.name, p.kind.name, p.default is not p.empty]
                 for p in inspect.signature(cls).parameters.values()]]
    except (TypeError, ValueError):
        return None


# ---- live objects --------------------------------------------------------------------------------

def _value_text(obj):
    if isinstance(obj, enum.Enum):
        return "<%s.%s: %d>" % (type(obj).__name__, obj.name, int(obj.value))
    if obj is None or type(obj) in (bool, int, float, str, bytes):
        return repr(obj)
    return None


def describe(obj, name=None, depth=2):
    if inspect.ismodule(obj):
        return {"kind": "module"}
    if isinstance(obj, type):
        d = {"kind": "class", "init": class_init_of(obj), "members": {}}
        if depth:
            for n in dir(obj):
                if n in _CLASS_PLUMBING:
                    continue
                m = describe_member(obj, n, depth - 1)
                if m is not None:
                    d["members"][n] = m
        return d
    if callable(obj):
        return {"kind": "function", "params": signature_of(obj, name)}
    return {"kind": "constant", "value": _value_text(obj)}


def _drop_self(sigs):
    if sigs is None:
        return None
    return [s[1:] if s and s[0][1] in (POS_ONLY, POS_OR_KW) else s for s in sigs]


def describe_member(cls, name, depth=1):
    """Description of the class member `name` (inherited ones included); None for what a class
    inherits from object alone."""
    for klass in cls.__mro__:
        if name in klass.__dict__:
            if klass is object:
                return None
            raw = klass.__dict__[name]
            break
    else:  # from the metaclass
        try:
            raw = getattr(cls, name)
        except AttributeError:
            return None
    if isinstance(raw, staticmethod):
        return {"kind": "method", "params": signature_of(raw.__func__, name)}
    if isinstance(raw, classmethod):
        return {"kind": "method", "params": _drop_self(signature_of(raw.__func__, name))}
    if isinstance(raw, property):
        return {"kind": "attribute", "writable": raw.fset is not None}
    if inspect.isgetsetdescriptor(raw) or inspect.ismemberdescriptor(raw):
        return {"kind": "attribute", "writable": None}
    if isinstance(raw, type):
        return describe(raw, name, depth)
    if inspect.isfunction(raw) or inspect.ismethoddescriptor(raw) or inspect.isbuiltin(raw) \
            or type(raw).__name__ in ("cython_function_or_method", "wrapper_descriptor", "method-wrapper"):
        return {"kind": "method", "params": _drop_self(signature_of(raw, name))}
    if hasattr(raw, "__get__") and not callable(raw):
        return {"kind": "attribute", "writable": hasattr(raw, "__set__") or None}
    value = getattr(cls, name)
    if isinstance(value, enum.Enum) or not callable(value):
        return {"kind": "constant", "value": _value_text(value)}
    return {"kind": "method", "params": _drop_self(signature_of(value, name))}


def describe_names(module, names):
    out = {}
    for n in names:
        out[n] = describe(getattr(module, n), n) if hasattr(module, n) else None
    return out


# ---- TensorRT's type stubs ---------------------------------------------------------------------

_DEF = re.compile(r"^(\s*)def\s+(\w+)\((.*)\)\s*(->.*)?:\s*(\.\.\.)?\s*$")
_VALUE_NOTE = re.compile(r"#\s*value\s*=\s*(.*)$")


class StubModule:
    """One .pyi file read tolerantly: `def` lines are parsed by `parse_params` (the stubs hold
    parameters named `in` and required parameters after optional ones), the rest by ast."""

    def __init__(self, path, resolve):
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")
        self.params = {}
        for i, line in enumerate(lines):
            m = _DEF.match(line)
            if m:
                # pybind11 names unnamed parameters arg0, arg1...: they are positional-only
                self.params[i + 1] = parse_params(m.group(3), r"arg\d+")
                lines[i] = "%sdef %s(*_, **__):%s" % (m.group(1), m.group(2), " ..." if m.group(5) else "")
        self.lines = lines
        self.tree = ast.parse("\n".join(lines))
        self.resolve = resolve  # (module name, name) -> description
        self.imports = {}
        self.names = {}
        self.classes = {}
        for node in self.tree.body:
            if isinstance(node, ast.ImportFrom) and node.module:
                for a in node.names:
                    self.imports[a.asname or a.name] = (node.module, a.name)
            elif isinstance(node, ast.ClassDef):
                self.classes[node.name] = node
                self.names[node.name] = node
            elif isinstance(node, ast.FunctionDef):
                self.names.setdefault(node.name, []).append(node)
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                self.names[node.target.id] = node
            elif isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name):
                self.names[node.targets[0].id] = node

    def _note(self, node):
        m = _VALUE_NOTE.search(self.lines[node.lineno - 1])
        if m:
            return m.group(1).strip()
        if isinstance(node, (ast.AnnAssign, ast.Assign)) and isinstance(node.value, ast.Constant):
            return repr(node.value.value)
        return None

    def _sigs(self, defs, method):
        sigs = [self.params[d.lineno] for d in defs]
        if method:
            static = any(isinstance(x, ast.Name) and x.id == "staticmethod" for d in defs for x in d.decorator_list)
            if not static:
                sigs = _drop_self(sigs)
        return sigs

    def describe(self, name):
        if name in self.imports:
            return self.resolve(*self.imports[name])
        node = self.names.get(name)
        if node is None:
            return None
        if isinstance(node, ast.ClassDef):
            return self._class(node)
        if isinstance(node, list):
            return {"kind": "function", "params": self._sigs(node, False)}
        return {"kind": "constant", "value": self._note(node)}

    def _bases(self, node):
        for b in node.bases:
            base = b.id if isinstance(b, ast.Name) else (b.attr if isinstance(b, ast.Attribute) else None)
            if base in self.classes:
                yield self._class(self.classes[base])

    def _class(self, node):
        members, init = {}, None
        for base in self._bases(node):
            members.update(base["members"])
            init = base["init"] if init is None else init
        defs, props, setters = {}, set(), set()
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                decos = [d.id if isinstance(d, ast.Name) else
                         (d.attr if isinstance(d, ast.Attribute) else None) for d in item.decorator_list]
                if "property" in decos:
                    props.add(item.name)
                elif "setter" in decos:
                    setters.add(item.name)
                else:
                    defs.setdefault(item.name, []).append(item)
            elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                ann = ast.unparse(item.annotation)
                if ann.startswith("typing.ClassVar"):
                    members[item.target.id] = {"kind": "constant", "value": self._note(item)}
                else:
                    members[item.target.id] = {"kind": "attribute", "writable": True}
            elif isinstance(item, ast.ClassDef):
                members[item.name] = self._class(item)
        for n in props:
            members[n] = {"kind": "attribute", "writable": n in setters}
        for n, ds in defs.items():
            if n == "__init__":
                init = self._sigs(ds, True)
            elif n not in _CLASS_PLUMBING:
                members[n] = {"kind": "method", "params": self._sigs(ds, True)}
        return {"kind": "class", "init": init, "members": members}


def stub_surface(site_packages, names):
    """Descriptions of `names` of the package `tensorrt`, read from its stubs in `site_packages`."""
    modules = {}

    def module(modname):
        if modname not in modules:
            path = os.path.join(site_packages, *modname.split(".")) + ".pyi"
            if not os.path.exists(path):
                path = os.path.join(site_packages, *modname.split("."), "__init__.pyi")
            modules[modname] = StubModule(path, lambda m, n: module(m).describe(n))
        return modules[modname]

    top = module("tensorrt")
    return {n: top.describe(n) for n in names}


# ---- the script ---------------------------------------------------------------------------------

def _version(dist):
    from importlib import metadata
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def main():
    request = json.load(sys.stdin)
    answer = {"versions": {"cupy-cuda12x": _version("cupy-cuda12x"),
                           "tensorrt-stubs": _version("tensorrt-stubs")},
              "modules": {}}
    site = sysconfig.get_paths()["purelib"]
    for modname, names in request.items():
        if modname == "tensorrt":
            try:
                answer["modules"][modname] = stub_surface(site, names)
            except OSError as exc:
                answer["modules"][modname] = {"error": "TensorRT stubs not readable: %s" % exc}
            continue
        try:
            module = importlib.import_module(modname)
        except Exception as exc:  # a module that is not there, or does not import
            answer["modules"][modname] = {"error": "%s: %s" % (type(exc).__name__, exc)}
            continue
        answer["modules"][modname] = describe_names(module, names)
    json.dump(answer, sys.stdout)


if __name__ == "__main__":
    main()
