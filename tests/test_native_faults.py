"""Inputs, attribute values and replaced globals that reach the native code's edges: sizes whose
products overflow, empty channel axes, zero strides, a `with` whose __exit__ swallows the body's
error, Python code run in the middle of a native lookup, names without a UTF-8 form. Each must
end in an ordinary exception or a correct result; never a crash, never SystemError."""
import functools

import cupy as cp
import pytest

import models
import rastrix as rx
from corvanta import detection, idmap, swap


@functools.cache
def small_detector():
    return models.detector(input_shape=(1, 3, 64, 64))


def detect_after(**attributes):
    """forward() of a fresh detector once the given attributes are set."""
    d = detection.OnnxFaceDetection(model_bytes=small_detector(), device="cpu")
    for name, value in attributes.items():
        setattr(d, name, value)
    return d.forward(cp.zeros((64, 64, 3), cp.float32), 0.5)


def swap_after(**attributes):
    """forward() of a TensorRT swapper (the stand-in's engine) once the given attributes are set."""
    import tensorrt as trt

    if not hasattr(trt, "_standin"):
        pytest.skip("builds engines with the TensorRT stand-in")
    profiles = {"target": ((1, 3, 64, 64),) * 2 + ((4, 3, 64, 64),), "source": ((1, 512),) * 2 + ((4, 512),)}
    s = swap.TrtFaceSwap(model_bytes=trt._standin.build_engine(models.swapper(size=64), profiles=profiles))
    for name, value in attributes.items():
        setattr(s, name, value)
    return s.forward(cp.zeros((1, 3, 64, 64), cp.float32), cp.ones((1, 512), cp.float32))


class NoLen:
    """A center cache that answers membership and takes entries, but has no length."""

    def __contains__(self, key):
        return False

    def __setitem__(self, key, value):
        pass


class Swallowing:
    """What open() hands back when replaced: a context manager whose read() fails and whose
    __exit__ swallows that, so the body's result is never assigned."""

    def __enter__(self):
        return self

    def read(self):
        raise OSError("unreadable")

    def __exit__(self, *exc):
        return True


def swallowing_open(*args):
    return Swallowing()


def read_with_swallowing_open(mp, module, call):
    mp.setattr(module, "open", swallowing_open, raising=False)
    return call()


class Clearing:
    """A cache entry whose size, once read, empties the cache it sits in."""

    @property
    def nbytes(self):
        rx._device_cache.clear()
        return 8


def blur_after_clearing_cache(mp):
    mp.setattr(rx, "_device_cache", {("filler", i): cp.zeros(1) for i in range(70)})
    rx._device_cache[("clearing",)] = Clearing()
    return rx.GaussianBlur().get(cp.ones((6, 6), cp.float32), 5, 1.3)


def signature_with(mp, make_annotations):
    """inspect's view of rx.resize with its __annotations__ replaced (both restored after)."""
    f = rx.resize
    mp.setattr(f, "__defaults__", f.__defaults__)
    mp.setattr(f, "__annotations__", make_annotations(f))
    return f.__signature__


def reassigning(name, value):
    """Annotations whose every lookup assigns the function's `name` attribute anew."""
    def make(f):
        class Reassigning(dict):
            def __getitem__(self, key):
                setattr(f, name, value() if callable(value) else value)
                return dict.__getitem__(self, key)
        return Reassigning(f.__annotations__)
    return make


class Unequal(str):
    """An annotation key equal in hash to "image" whose comparison fails."""

    def __hash__(self):
        return hash("image")

    def __eq__(self, other):
        raise LookupError("no comparison")


class ShortValues:
    """What a replaced array library's asnumpy may give: a 2 x 3 shape whose values read back
    as a tuple of two."""
    shape = (2, 3)

    def astype(self, dtype):
        return self

    def ravel(self):
        return self

    def tolist(self):
        return (1.0, 2.0)


def invert_read_short(mp):
    mp.setattr(rx, "cp", models.Spy(cp, asnumpy=lambda a: ShortValues()))
    return rx.get_inverse_matrix(cp.asarray([[1.0, 0, 0], [0, 1, 0]]))


def call_renamed(mp, *args, **kwargs):
    mp.setattr(rx.resize, "__name__", "\udc80")
    return rx.resize(*args, **kwargs)


def shape(expected):
    return lambda result: result.shape == expected


def signature_of_resize(sig):
    return (list(sig.parameters) == ["image", "size", "interpolation"]
            and sig.parameters["size"].annotation == "tuple[int, int]")


def renamed_message(text):
    return lambda e: str(e).startswith("\udc80() " + text)


# (setup and call given pytest's monkeypatch, what it must end in: an exception type, or a
# predicate on the result, or (exception type, predicate on the exception)).
CASES = {
    "resize-size-product-overflows": (
        lambda mp: rx.resize(cp.zeros((4, 4, 3), cp.float32), (4, 2**62 + 1)), MemoryError),
    "batch-size-product-overflows": (
        lambda mp: rx.images_to_batch(cp.zeros((4, 4, 3), cp.float32), size=(4, 2**62 + 1)), MemoryError),
    "batch-of-images-without-channels": (
        lambda mp: rx.images_to_batch(cp.zeros((4, 4, 0), cp.float32)), shape((1, 0, 4, 4))),
    "images-of-a-batch-without-channels": (
        lambda mp: rx.batch_to_images(cp.zeros((1, 0, 4, 4), cp.float32), std=0.5)[0], shape((4, 4, 0))),
    "zero-anchor-stride": (lambda mp: detect_after(_feat_stride_fpn=[8, 0, 32]), ValueError),
    "anchor-count-product-overflows": (lambda mp: detect_after(_num_anchors=2**62), MemoryError),
    "center-cache-without-length": (lambda mp: detect_after(center_cache=NoLen()), TypeError),
    "output-buffers-of-text": (lambda mp: swap_after(d_outputs="x"), ValueError),
    "output-buffers-of-no-mapping": (lambda mp: swap_after(d_outputs=object()), TypeError),
    "idmap-read-swallowed-by-exit": (
        lambda mp: read_with_swallowing_open(mp, idmap, lambda: idmap.load_idmap(idmap.__file__)),
        UnboundLocalError),
    "model-file-read-swallowed-by-exit": (
        lambda mp: read_with_swallowing_open(
            mp, detection, lambda: detection.OnnxFaceDetection(model_path=detection.__file__, device="cpu")),
        UnboundLocalError),
    "onnx-file-read-swallowed-by-exit": (
        lambda mp: read_with_swallowing_open(
            mp, rx, lambda: rx.onnx_to_trt_dynamic_shape(rx.__file__, "never-written.trt")),
        UnboundLocalError),
    "matrix-values-read-back-short": (invert_read_short, ValueError),
    "device-cache-emptied-while-sized": (blur_after_clearing_cache, shape((6, 6))),
    "signature-annotations-reassigned-while-read": (
        lambda mp: signature_with(mp, reassigning("__annotations__", lambda: {})), signature_of_resize),
    "signature-defaults-reassigned-while-read": (
        lambda mp: signature_with(mp, reassigning("__defaults__", None)), signature_of_resize),
    "signature-annotation-key-fails-to-compare": (
        lambda mp: signature_with(mp, lambda f: {Unequal("image"): "x"}), LookupError),
    "surrogate-name-too-many-arguments": (
        lambda mp: call_renamed(mp, 1, 2, 3, 4), (TypeError, renamed_message("takes at most 3"))),
    "surrogate-name-unknown-keyword": (
        lambda mp: call_renamed(mp, 1, nope=2), (TypeError, renamed_message("got an unexpected keyword"))),
    "surrogate-name-repeated-keyword": (
        lambda mp: call_renamed(mp, 1, image=2), (TypeError, renamed_message("got multiple values"))),
    "surrogate-name-missing-argument": (
        lambda mp: call_renamed(mp), (TypeError, renamed_message("takes at least 2"))),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_ends_in_an_ordinary_exception_or_a_correct_result(case, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)  # nothing a case names as a file lands in the tree
    run, outcome = CASES[case]
    if isinstance(outcome, tuple) or isinstance(outcome, type):
        kind, check = outcome if isinstance(outcome, tuple) else (outcome, lambda e: True)
        with pytest.raises(kind) as raised:
            run(monkeypatch)
        assert check(raised.value), raised.value
    else:
        assert outcome(run(monkeypatch))
