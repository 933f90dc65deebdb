"""Test doubles shared by the test files: a recording module spy and engines built with the
TensorRT stand-in."""
import types

import pytest


class Spy:
    """Stands in for a module: records the calls of its functions (name, args, kwargs) and
    delegates them to the real module, or to the replacement given by keyword."""

    def __init__(self, real, **replace):
        self._real, self._replace, self.calls = real, replace, []

    def __getattr__(self, name):
        target = self._replace.get(name) or getattr(self._real, name)
        if not callable(target) or isinstance(target, types.ModuleType):
            return target

        def spy(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return target(*args, **kwargs)

        return spy

    def named(self, name):
        return [c for c in self.calls if c[0] == name]


def engine(onnx_bytes, **kw):
    """Serialized engine bytes of an ONNX model (the stand-in's builder; skips on a real GPU)."""
    import tensorrt as trt

    if not hasattr(trt, "_standin"):
        pytest.skip("builds engines with the TensorRT stand-in")
    return trt._standin.build_engine(onnx_bytes, **kw)
