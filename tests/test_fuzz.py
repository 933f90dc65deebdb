"""Every public callable of every module, called with random argument lists drawn from one table
of awkward values: each call returns or raises an ordinary exception, never SystemError (an error
left pending by native code) and never a crash."""
import collections
import inspect
import os
import random
import shutil

import cupy as cp
import numpy as np
import pytest

import models
import rastrix as rx
from corvanta import analysis, detection, embedding, facewarp, idmap, paste, swap
from corvanta.schema import CorvantaFace

CALLS_PER_TARGET = 120
SEED = 20261208

# What a call may raise: the ordinary exceptions, and those of the libraries that the modules call.
ORDINARY = (TypeError, ValueError, IndexError, KeyError, AttributeError, ArithmeticError,
            NotImplementedError, OSError, RuntimeError, AssertionError)
LIBRARIES = ("cupy", "numpy", "onnxruntime", "onnx", "google.protobuf", "tensorrt")


def awkward_values():
    img = cp.asarray(np.random.default_rng(0).random((24, 32, 3), dtype=np.float32))
    matrix = cp.asarray([[0.5, 0.1, 2.0], [-0.1, 0.5, 3.0]])
    face = CorvantaFace(bbox=cp.zeros(4, dtype=cp.float32), score=cp.float32(0.9),
                        kps=cp.asarray(models.DETECTOR_KPS_OFFSETS, dtype=cp.float32) * 4 + 12,
                        image=cp.zeros((112, 112, 3), dtype=cp.float32), matrix=matrix)
    bad_face = CorvantaFace(bbox=None, score="x", kps=(), image=b"", matrix=1)
    return [
        None, True, False, 0, 1, 3, -1, 2**70, -2**70, 0.0, -0.0, 0.5, 1e308, float("nan"),
        float("inf"), -float("inf"), 1 + 2j, "", "x", "cuda", "cpu", "cuda:1", "fp16", "bf16",
        "NCHW", "HWC", "max", "\udcff", b"", b"\x00\xff", bytearray(b"ab"), [], [1, 2], [img],
        [img, img], [None], (), (1,), (8, 8), (0, 0), (-1, 4), (2**70, 1), (1, 2, 3), (8, 8, 8),
        ((1, 2),), {}, {"a": 1}, object(), int, np.float32(2.5), np.int64(7),
        np.zeros((3, 3), np.float32), np.zeros((0,), np.float64), np.ones((4, 4, 3), np.uint8),
        np.zeros((512, 512), np.float32), cp.float32(1.5), cp.zeros(()), cp.zeros((0,)),
        cp.ones(5, dtype=cp.int64), cp.zeros((5, 2), cp.float32), cp.zeros((3, 3)),
        cp.ones((2, 3, 4)), cp.zeros((1, 3, 8, 8), cp.float32), cp.zeros((2, 3, 8, 8), cp.float16),
        cp.full((5, 15), float("nan"), cp.float32), cp.ones((4, 4, 3), cp.uint8), img, img[:, :, 0],
        img[::2, ::-1], matrix, matrix.T, face, bad_face,
    ]


def callables_of(obj):
    """The public callables of a module (functions) or of an object (its class's methods)."""
    found = []
    if inspect.ismodule(obj):
        for name in dir(obj):
            value = getattr(obj, name)
            if name.startswith("_") or getattr(value, "__module__", None) != obj.__name__:
                continue
            if inspect.isclass(value):
                continue
            if callable(value):
                found.append((name, value))
        return found
    for name in dir(type(obj)):
        if name.startswith("_") and name != "__init__":
            continue
        value = getattr(obj, name)
        if callable(value) and not inspect.isclass(value):
            found.append((name, value))
    return found


@pytest.fixture(scope="module")
def detector_bytes():
    return models.detector()


@pytest.fixture(scope="module")
def embedder_bytes():
    return models.embedder()


def trt_engine(onnx_bytes, **kw):
    import tensorrt as trt

    if not hasattr(trt, "_standin"):
        pytest.skip("builds engines with the TensorRT stand-in")
    return trt._standin.build_engine(onnx_bytes, **kw)


def swap_engine():
    profiles = {"target": ((1, 3, 64, 64), (1, 3, 64, 64), (32, 3, 64, 64)),
                "source": ((1, 512), (1, 512), (32, 512))}
    return trt_engine(models.swapper(size=64), profiles=profiles)


class Blank(detection.BaseFaceDetection):
    """A detector without a model: its base's operations on their own."""


class BlankEmbedding(embedding.BaseFaceEmbedding):
    pass


class BlankSwap(swap.BaseFaceSwap):
    pass


class BlankAnalysis(analysis.BaseFaceAnalysis):
    pass


@pytest.fixture(scope="module")
def gender_age_bytes():
    return models.gender_age()


# Each target gives (label, callable) pairs; the module issues add theirs here.
TARGETS = {
    "rastrix": lambda fx: callables_of(rx) + callables_of(rx.GaussianBlur()),
    "idmap": lambda fx: callables_of(idmap),
    "detection": lambda fx: (
        callables_of(Blank())
        + callables_of(detection.OnnxFaceDetection(model_bytes=fx("detector_bytes"), device="cpu"))
        + callables_of(detection.TrtFaceDetection(model_bytes=trt_engine(fx("detector_bytes"))))),
    "embedding": lambda fx: (
        callables_of(BlankEmbedding())
        + callables_of(embedding.OnnxFaceEmbedding(model_bytes=fx("embedder_bytes"), device="cpu"))
        + callables_of(embedding.TrtFaceEmbedding(model_bytes=trt_engine(fx("embedder_bytes"))))),
    "swap": lambda fx: (
        callables_of(BlankSwap())
        + callables_of(swap.OnnxFaceSwap(model_bytes=models.swapper(size=64), device="cpu"))
        + callables_of(swap.TrtFaceSwap(model_bytes=swap_engine()))),
    "paste": lambda fx: callables_of(paste) + callables_of(paste.PasteBack(3)),
    "facewarp": lambda fx: callables_of(facewarp),
    "analysis": lambda fx: (
        callables_of(BlankAnalysis())
        + callables_of(analysis.OnnxFaceAnalysis(model_bytes=fx("gender_age_bytes"), device="cpu"))),
}


def random_arguments(rng, fn, values):
    """Some leading parameters by position, some later ones by keyword, now and then one too
    many or a keyword the callable doesn't have."""
    try:
        params = [p for p in inspect.signature(fn).parameters.values()
                  if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    except (TypeError, ValueError):
        params = []

    def draw(p=None):
        # Half the time a parameter keeps its default, so that calls get past the first checks.
        if p is not None and p.default is not p.empty and rng.random() < 0.5:
            return p.default
        return rng.choice(values)

    count = rng.randint(0, len(params) + 1)
    args = [draw(params[i] if i < len(params) else None) for i in range(count)]
    kwargs = {p.name: draw() for p in params[count:] if rng.random() < 0.3}
    if rng.random() < 0.05:
        kwargs["no_such_parameter"] = 0
    return args, kwargs


@pytest.fixture
def sandbox(tmp_path, monkeypatch):
    # Anything a random text names as a file lands in a scratch folder, and idmap's default file
    # beside the module is never touched.
    monkeypatch.chdir(tmp_path)
    shutil.copy(os.path.join(idmap.script_dir, "idmap.bin"), tmp_path)
    monkeypatch.setattr(idmap, "script_dir", str(tmp_path))
    return tmp_path


@pytest.mark.parametrize("target", sorted(TARGETS))
def test_random_arguments_never_raise_system_error(target, request, sandbox):
    rng = random.Random("%s:%s" % (SEED, target))
    values = awkward_values()
    raised = collections.Counter()
    calls = 0
    for label, fn in TARGETS[target](request.getfixturevalue):
        for _ in range(CALLS_PER_TARGET):
            args, kwargs = random_arguments(rng, fn, values)
            calls += 1
            try:
                fn(*args, **kwargs)
            except SystemError as e:
                pytest.fail("%s.%s(%r, %r) raised SystemError: %s (cause: %r)" % (
                    target, label, args, kwargs, e, e.__cause__ or e.__context__))
            except Exception as e:
                origin = type(e).__module__
                if not isinstance(e, ORDINARY) and not origin.startswith(LIBRARIES):
                    pytest.fail("%s.%s(%r, %r) raised %s: %s" % (
                        target, label, args, kwargs, type(e).__name__, e))
                raised[type(e).__name__] += 1
            else:
                raised["returned"] += 1
    print("\n%s: %d calls: %s" % (target, calls, dict(raised.most_common())))
    assert raised["returned"] < calls  # the table reaches the error paths
