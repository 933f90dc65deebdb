"""Face swap: the role's batches, chunks and latent weighting, the ONNX Runtime and TensorRT
back-ends on a tiny swapper (TensorRT through its CPU stand-in), and the road from a frame to the
pasted swap."""
import functools
import inspect
import os
import types

import cupy as cp
import numpy as np
import onnx
import onnxruntime
import pytest
import tensorrt as trt

import corvanta.detection as det
import corvanta.embedding as emb
import corvanta.paste as pa
import corvanta.swap as sw
import models
import rastrix
from leakcheck import assert_no_leaks
from models import Spy

standin = pytest.mark.skipif(not (hasattr(trt, "_standin") and hasattr(cp, "_standin")),
                             reason="builds engines and reads the logs of the stand-ins")
CONVERTER_KW = {"precision": "bf16", "batch_range": (1, 1, 32), "spatial_range": (256, 256, 256)}


def host(a):
    return cp.asnumpy(a)


def crop(seed, side=256):
    return cp.asarray(np.random.default_rng(seed).uniform(0, 1, (side, side, 3)).astype(np.float32))


def latent(seed, shape=(1, 512), dtype=np.float32):
    return cp.asarray(np.random.default_rng(100 + seed).standard_normal(shape).astype(dtype))


@functools.cache
def engine(**kw):
    side = kw.get("size", 256)
    profiles = {"target": ((1, 3, side, side), (1, 3, side, side), (32, 3, side, side)),
                "source": ((1, 512), (1, 512), (32, 512))}
    return trt._standin.build_engine(models.swapper(**kw), profiles=profiles, precision="bf16")


def reference(img, rows):
    """What a swap of one crop gives: the model input, its output, back to an image."""
    x = host(rastrix.images_to_batch(img, size=(256, 256), swap_rb=True, layout="HWC", mean=0.0, std=1.0))
    return models.expected_swap(x, host(rows))[0][::-1].transpose(1, 2, 0)


@pytest.fixture(scope="module")
def onnx_obj():
    return sw.OnnxFaceSwap(None, models.swapper(), "cpu")


class Stub(sw.BaseFaceSwap):
    """The role with a forward that records its calls and hands the batch back."""

    def __init__(self):
        super().__init__()
        self.patch, self.input_size, self.calls = 8, (8, 8), []

    def forward(self, batch, latent):
        self.calls.append((batch.shape[0], host(latent)))
        return batch


# ---- the role --------------------------------------------------------------------------------------

def test_surface():
    B, O, T = sw.BaseFaceSwap, sw.OnnxFaceSwap, sw.TrtFaceSwap
    assert B.__bases__ == (sw.BaseModelLoader,) and O.__bases__ == (B,) and T.__bases__ == (B,)
    assert B.__doc__ == ("Base class for face swapping models.\n\nPerforms face identity transfer by swapping "
                         "facial features\nfrom a source identity onto a target face image.")
    assert O.__doc__ is None and T.__doc__ == "Face swapper using TensorRT for high-performance face identity transfer."
    assert (sw.os, sw.cp, sw.onnxruntime, sw.rx) == (os, cp, onnxruntime, rastrix) and not hasattr(sw, "trt")
    for C in (B, O, T):
        assert C.__init__.__defaults__ == (None, None, "cuda")
        assert C.forward.__annotations__ == {"batch": "cp.ndarray", "latent": "cp.ndarray", "return": "cp.ndarray"}
    assert str(inspect.signature(B.batch_get)) == (
        "(self, target_images: 'list[cp.ndarray]', latent: 'cp.ndarray | list[cp.ndarray]', weight: 'float' = 1.0, "
        "max_batch: 'int' = 16) -> 'list[cp.ndarray]'")
    assert str(inspect.signature(B.get)) == (
        "(self, target_image: 'cp.ndarray', latent: 'cp.ndarray', weight: 'float' = 1.0) -> 'cp.ndarray'")
    assert O.initialize.__defaults__ == ("0",) and T.initialize.__defaults__ is None
    b = B("m.onnx")
    assert (b.input_mean, b.input_std, b.patch, b.input_size, b.model_path) == (0.0, 1.0, 256, (256, 256), "m.onnx")
    with pytest.raises(NotImplementedError, match="^forward method must be implemented in subclass$"):
        b.get(crop(0), latent(0))


@pytest.mark.parametrize("crops, latents, max_batch, sizes", [
    (40, 1, 16, [16, 16, 8]), (40, 40, 16, [16, 16, 8]), (3, 3, 16, [3]), (16, 1, 16, [16]),
    (17, 1, 16, [16, 1]), (1, 1, 16, [1]), (5, 1, 2 ** 80, [5]), (5, 5, 1, [1] * 5)])
def test_chunks_and_latent_rows(crops, latents, max_batch, sizes):
    s, images = Stub(), [crop(k, 8) for k in range(crops)]
    given = [latent(k) for k in range(latents)] if latents > 1 else latent(0)
    first = np.concatenate([host(x) for x in (given if latents > 1 else [given])])
    out = s.batch_get(images, given, 2.0, max_batch)
    assert [c[0] for c in s.calls] == sizes
    rows = np.concatenate([c[1] for c in s.calls])
    assert rows.dtype == np.float32 and np.array_equal(rows, np.resize(first * 2, (crops, 512)))
    assert type(out) is list and len(out) == crops
    assert all(np.array_equal(host(o), host(i)) for o, i in zip(out, images))  # input order kept


def test_weighting_in_place_and_compounding():
    s, img = Stub(), crop(0, 8)
    x = latent(0)
    start = host(x)
    s.get(img, x, 2.0)
    s.get(img, x, weight=2)
    assert np.array_equal(host(x), start * 4) and np.array_equal(s.calls[1][1], start * 4)
    s.get(img, x, 0.0)
    assert not host(x).any() and not s.calls[2][1].any()
    wide = latent(1, (2, 512), np.float64)  # two rows; the caller's type is kept
    expected = host(wide) * 0.5
    s.get(img, wide, 0.5)
    assert wide.dtype == np.float64 and np.array_equal(host(wide), expected)
    assert s.calls[3][1].dtype == np.float32 and s.calls[3][1].shape == (2, 512)
    parts = [latent(2), latent(3)]
    given, before = list(parts), [host(p) for p in parts]
    s.batch_get([img, img], given, 3.0)
    assert given == parts and all(np.allclose(host(p), b * 3) for p, b in zip(parts, before))


@pytest.mark.parametrize("call, error, match, rx_calls", [
    (lambda s, x: s.get(crop(0, 8), cp.ones((1, 511), cp.float32), 2.0), ValueError, "^latent has 511 values", 1),
    (lambda s, x: s.batch_get([crop(0, 8)], [x, cp.ones(700, cp.float32)], 2.0), ValueError, "^latent has 700", 1),
    (lambda s, x: s.batch_get([crop(0, 8)], (x, x), 2.0), TypeError, None, 1),  # a tuple is one latent
    (lambda s, x: s.batch_get([crop(0, 8)], x, 2.0, 0), ValueError, "^max_batch must be positive, got 0$", 0),
    (lambda s, x: s.batch_get([crop(0, 8)], x, 2.0, -3), ValueError, "^max_batch must be positive", 0),
    (lambda s, x: s.batch_get((crop(0, 8),), x), TypeError,
     r"^Argument 'target_images' has incorrect type \(expected list, got tuple\)$", 0),
    (lambda s, x: s.batch_get([crop(0, 8)], x, 1.0, 16.0), TypeError, "^Argument 'max_batch'", 0),
    (lambda s, x: s.batch_get([crop(0, 8)], x, 1.0, True), TypeError, "^Argument 'max_batch'", 0),
    (lambda s, x: s.get(crop(0, 8), x, "2"), TypeError, None, 0),
])
def test_failed_calls_leave_the_latent_and_run_nothing(monkeypatch, call, error, match, rx_calls):
    spy = Spy(rastrix)
    monkeypatch.setattr(sw, "rx", spy)
    s, x = Stub(), latent(0)
    before = host(x)
    with pytest.raises(error, match=match):
        call(s, x)
    assert np.array_equal(host(x), before) and s.calls == [] and len(spy.calls) == rx_calls


# ---- ONNX Runtime back-end -----------------------------------------------------------------------

@pytest.mark.parametrize("size, input_size", [(256, (256, 256)), (128, (128, 128)), ("S", ("S", "S"))])
def test_onnx_metadata(size, input_size):
    o = sw.OnnxFaceSwap(model_bytes=models.swapper(size=size), device="cpu")
    assert (o.input_names, o.output_names, o.input_size, o.input_mean, o.input_std) == (
        ["target", "source"], ["output"], input_size, 0.0, 1.0)


def test_onnx_batches_and_forward(monkeypatch, onnx_obj):
    images, rows = [crop(k) for k in range(3)], latent(2, (3, 512))
    batch = rastrix.images_to_batch(images, size=(256, 256), swap_rb=True, layout="HWC", mean=0.0, std=1.0)
    out = onnx_obj.forward(batch, rows)
    assert isinstance(out, cp.ndarray) and out.shape == (3, 3, 256, 256)
    np.testing.assert_allclose(host(out), models.expected_swap(host(batch), host(rows)), atol=1e-5)
    np.testing.assert_allclose(host(onnx_obj.get(images[0], latent(5))), reference(images[0], latent(5)), atol=1e-5)
    o = sw.OnnxFaceSwap(model_bytes=models.swapper(size=128), device="cpu")
    spy = Spy(rastrix)
    monkeypatch.setattr(sw, "rx", spy)
    assert o.get(images[0], latent(1)).shape == (128, 128, 3)  # get builds at input_size
    o.forward = lambda batch, rows: batch
    assert o.batch_get([images[0]], latent(1))[0].shape == (256, 256, 3)  # batch_get at patch
    (_, a1, k1), (_, a2, k2) = spy.named("images_to_batch")
    assert a1[0] is images[0] and type(a2[0]) is list and a2[0][0] is images[0] and k2["size"] == (256, 256)
    assert list(k1.items()) == [("std", 1.0), ("size", (128, 128)), ("mean", 0.0), ("swap_rb", True), ("layout", "HWC")]
    assert [list(c[2].items()) for c in spy.named("batch_to_images")] == [[("swap_rb", True), ("layout", "NCHW")]] * 2


@pytest.mark.parametrize("device, provider, options", [
    ("cuda", "CUDA", [{"device_id": "0"}]), ("cuda:1", "CUDA", [{"device_id": "1"}]),
    ("CUDA", "CPU", [{}]), ("cpu", "CPU", [{}])])
def test_onnx_session_recipe(monkeypatch, device, provider, options):
    real = onnxruntime.InferenceSession
    spy = Spy(onnxruntime, InferenceSession=lambda data, **kw: real(data, providers=["CPUExecutionProvider"]))
    monkeypatch.setattr(sw, "onnxruntime", spy)
    data = models.swapper()
    sw.OnnxFaceSwap(None, data, device)
    assert [c[0] for c in spy.calls] == ["preload_dlls", "SessionOptions", "InferenceSession"]
    (_, args, kw), = spy.named("InferenceSession")
    assert args == (data,) and list(kw) == ["session_options", "providers", "provider_options"]
    assert kw["providers"] == [provider + "ExecutionProvider"] and kw["provider_options"] == options
    assert (kw["session_options"].log_severity_level, kw["session_options"].log_verbosity_level) == (4, 4)


def test_onnx_model_files_and_refused_models(tmp_path, monkeypatch):
    path = tmp_path / "m.onnx"
    path.write_bytes(models.swapper(size=128))
    opened = []
    monkeypatch.setattr(sw, "open", lambda *a: opened.append(a) or open(*a), raising=False)
    assert sw.OnnxFaceSwap(str(tmp_path / "none.onnx"), models.swapper(), "cpu").input_size == (256, 256)
    assert opened == [] and sw.OnnxFaceSwap(str(path), device="cpu").input_size == (128, 128)
    assert opened == [(str(path), "rb")]
    with pytest.raises(AssertionError, match="^model_bytes must be provided if model_path is not specified$"):
        sw.OnnxFaceSwap(device="cpu")
    with pytest.raises(AssertionError, match="^$"):
        sw.OnnxFaceSwap(None, models.swapper(outputs=2), "cpu")
    with pytest.raises(ValueError, match="two inputs"):
        sw.OnnxFaceSwap(None, models.parser(classes=2, size=16), "cpu")


# ---- TensorRT back-end: model files -----------------------------------------------------------------

CASES = {  # given, files present, existence tests in order, converter run, engine path or error text
    "onnx only": ("m.onnx", ["m.onnx"], ["m.trt", "m.onnx", "m.trt"], True, "m.trt"),
    "trt given": ("m.trt", ["m.onnx"], ["m.trt", "m.onnx", "m.trt"], True, "m.trt"),
    "both": ("m.onnx", ["m.onnx", "m.trt"], ["m.trt", "m.trt", "m.trt"], False, "m.trt"),
    "every occurrence": ("a.onnx.d/m.onnx", ["a.onnx.d/m.onnx", "a.trt.d/"],
                         ["a.trt.d/m.trt", "a.onnx.d/m.onnx", "a.trt.d/m.trt"], True, "a.trt.d/m.trt"),
    "other suffix": ("m.plan", ["m.plan"], ["m.plan"] * 3, False, "m.plan"),
    "upper case": ("m.ONNX", ["m.ONNX"], ["m.ONNX"] * 3, False, "m.ONNX"),
    "neither": ("m.onnx", [], ["m.trt", "m.onnx", "m.trt", "m.onnx", "m.trt"], False,
                "Model file not found: onnx: {d}/m.onnx:False, trt: {d}/m.trt:False"),
    "plan missing": ("m.plan", [], ["m.plan"] * 5, False,
                     "Model file not found: onnx: {d}/m.plan:False, trt: {d}/m.plan:False"),
    "nothing written": ("m.onnx", ["m.onnx"], ["m.trt", "m.onnx", "m.trt"], "noop", "Model file not found: {d}/m.trt"),
}


@standin
@pytest.mark.parametrize("case", list(CASES))
def test_model_file_rule(tmp_path, monkeypatch, case):
    given, present, tests, built, result = CASES[case]
    for rel in present:
        (tmp_path / rel if rel.endswith("/") else (tmp_path / rel).parent).mkdir(parents=True, exist_ok=True)
        if not rel.endswith("/"):
            (tmp_path / rel).write_bytes(models.swapper() if rel.endswith(".onnx") else engine())
    rx = Spy(rastrix, **({"onnx_to_trt_dynamic_shape": lambda *a, **k: None} if built == "noop" else {}))
    exists = Spy(os.path)
    monkeypatch.setattr(sw, "rx", rx)
    monkeypatch.setattr(sw, "os", types.SimpleNamespace(path=exists))
    if result.startswith("Model file"):
        with pytest.raises(FileNotFoundError) as e:
            sw.TrtFaceSwap(str(tmp_path / given))
        assert str(e.value) == result.format(d=tmp_path)
    else:
        t = sw.TrtFaceSwap(str(tmp_path / given))
        assert t.model_path == str(tmp_path / result) and t.model_bytes == (tmp_path / result).read_bytes()
    assert [os.path.relpath(c[1][0], tmp_path) for c in exists.calls] == tests
    calls = rx.named("onnx_to_trt_dynamic_shape")
    assert [c[1:] for c in calls] == ([((str(tmp_path / given.replace(".trt", ".onnx")),
                                         str(tmp_path / given.replace(".onnx", ".trt"))), CONVERTER_KW)] if built else [])


# ---- TensorRT back-end: set-up and execution -----------------------------------------------------------

def two_rank4_inputs():
    v = [onnx.helper.make_tensor_value_info(n, onnx.TensorProto.FLOAT, [1, 3, 8, 8]) for n in "abc"]
    g = onnx.helper.make_graph([onnx.helper.make_node("Add", ["a", "b"], ["c"])], "pair", v[:2], v[2:])
    m = onnx.helper.make_model(g, opset_imports=[onnx.helper.make_opsetid("", 17)])
    m.ir_version = 8
    return m.SerializeToString()


@standin
def test_initialize(monkeypatch):
    for kw in ({}, {"source_first": True}):
        trt._log.clear()
        t = sw.TrtFaceSwap("absent.onnx", engine(**kw))  # bytes given: no file is looked at
        assert t.model_path == "absent.onnx" and t.model_bytes is engine(**kw)
        assert (t.target_name, t.source_name, t.output_names, t.d_inputs) == (
            "target", "source", ["output"], {"target": None, "source": None})
        out = t.d_outputs["output"]
        assert out.shape == (1, 3, 256, 256) and out.dtype == np.float32 and t.input_size == (256, 256)
        assert trt._log == [("set_tensor_address", "output", out.data.ptr)]
        assert not hasattr(t, "logger") and not hasattr(t, "runtime") and (t.input_mean, t.input_std) == (0.0, 1.0)
    for bad in (trt._standin.build_engine(models.parser(classes=2, size=16, batch=1)),
                trt._standin.build_engine(two_rank4_inputs())):
        with pytest.raises(RuntimeError, match="^Failed to detect target/source bindings$"):
            sw.TrtFaceSwap(model_bytes=bad)
    with pytest.raises(TypeError):
        sw.TrtFaceSwap()


@standin
def test_buffers_are_remade_only_when_shapes_change():
    t = sw.TrtFaceSwap(model_bytes=engine())
    addresses = []
    results = []
    for n in (1, 4, 4, 2):
        batch = rastrix.images_to_batch([crop(k) for k in range(n)], size=(256, 256), swap_rb=True, layout="HWC")
        rows = latent(n, (n, 512))
        trt._log.clear()
        results.append((t.forward(batch, rows), host(batch), host(rows)))
        addresses.append([e[1] for e in trt._log if e[0] == "set_tensor_address"])
        assert [e[1:] for e in trt._log if e[0] == "set_input_shape"] == [
            ("target", (n, 3, 256, 256)), ("source", (n, 512))]
    assert addresses == [["target", "source"], ["target", "source", "output"], [], ["target", "source", "output"]]
    for out, batch, rows in results:  # every result is its own copy
        np.testing.assert_allclose(host(out), models.expected_swap(batch, rows), atol=1e-5)
    assert results[3][0].shape == (2, 3, 256, 256)
    one = latent(7)  # K rows for N crops go to the engine as they are
    np.testing.assert_allclose(host(t.forward(cp.asarray(results[3][1]), one)),
                               models.expected_swap(results[3][1], np.repeat(host(one), 2, 0)), atol=1e-5)

    half = rastrix.images_to_batch([crop(9)], size=(256, 256), swap_rb=True, layout="HWC").astype(cp.float16)
    rows = latent(9)
    with cp.cuda.Stream() as caller:
        cp._standin.log.clear()
        out = t.forward(half, rows)
        s = t.stream.ptr
        assert cp._standin.log == [("record", caller.ptr), ("wait_event", s), ("execute", s), ("synchronize", s)]
    assert t.d_inputs["target"].dtype == np.float32
    np.testing.assert_allclose(host(out), models.expected_swap(host(half).astype(np.float32), host(rows)), atol=1e-5)


@standin
@pytest.mark.parametrize("case", ["two outputs", "patch changed", "shape unknown"])
def test_output_buffers_hold_what_the_engine_writes(monkeypatch, case):
    t = sw.TrtFaceSwap(model_bytes=engine(outputs=2 if case == "two outputs" else 1))
    if case == "patch changed":
        t.patch = 128
    if case == "shape unknown":  # the context cannot tell: the first output takes (N, 3, patch, patch)
        monkeypatch.setattr(t.ctx, "get_tensor_shape", lambda name: trt.Dims([-1, 3, -1, -1]))
    batch = rastrix.images_to_batch([crop(1), crop(2), crop(3)], size=(256, 256), swap_rb=True, layout="HWC")
    rows = latent(3, (3, 512))
    out = t.forward(batch, rows)
    expected = models.expected_swap(host(batch), host(rows))
    np.testing.assert_allclose(host(out), expected, atol=1e-5)
    assert all(b.shape == (3, 3, 256, 256) for b in t.d_outputs.values())
    if case == "two outputs":
        np.testing.assert_allclose(host(t.d_outputs["output_aux"]), expected + 1, atol=1e-5)


@standin
@pytest.mark.parametrize("method, status, n, error", [
    ("set_input_shape", False, 2, r"^TensorRT refused the input shape \(2, 3, 256, 256\) for 'target'$"),
    ("execute_async_v3", False, 2, r"^TensorRT execution failed: .*'target' \(2, 3, 256, 256\), 'source' \(2, 512\)"),
    (None, None, 33, r"^TensorRT refused the input shape \(33, 3, 256, 256\) for 'target'$"),  # outside the profile
    ("set_input_shape", None, 2, None), ("execute_async_v3", None, 2, None)])  # None is no refusal
def test_statuses_are_checked(monkeypatch, method, status, n, error):
    t = sw.TrtFaceSwap(model_bytes=engine())
    if method:
        real = getattr(t.ctx, method)
        monkeypatch.setattr(t.ctx, method, lambda *a: real(*a) and status)
    batch = rastrix.images_to_batch([crop(1)] * n, size=(256, 256), swap_rb=True, layout="HWC")
    if error is None:
        assert t.forward(batch, latent(1, (n, 512))).shape == (n, 3, 256, 256)
    else:
        with pytest.raises(RuntimeError, match=error):
            t.forward(batch, latent(1, (n, 512)))


# ---- from a frame to the pasted swap ---------------------------------------------------------------------

FRAME = (480, 640, 320, 256, 128)  # a face-sized square on a black frame


@pytest.mark.parametrize("which", ["onnx", pytest.param("trt", marks=standin)])
def test_frame_to_pasted_swap(which, onnx_obj):
    frame = cp.asarray(models.plant_square(*FRAME))
    if which == "onnx":
        detector = det.OnnxFaceDetection(model_bytes=models.detector(), device="cpu")
        embedder = emb.OnnxFaceEmbedding(model_bytes=models.embedder(normalise="none"), device="cpu")
        swapper = onnx_obj
    else:
        detector = det.TrtFaceDetection(model_bytes=trt._standin.build_engine(models.detector()))
        embedder = emb.TrtFaceEmbedding(model_bytes=trt._standin.build_engine(models.embedder(normalise="none")))
        swapper = sw.TrtFaceSwap(model_bytes=engine())
    face, = detector.get(frame)
    identity = embedder.get(face)
    swapped = swapper.get(face.image, identity)
    np.testing.assert_allclose(host(swapped), reference(face.image, identity), atol=1e-5)
    crop512 = rastrix.resize(swapped, (512, 512), interpolation=rastrix.INTER_AUTO)
    result = pa.PasteBack().get(frame, crop512, face.matrix)
    assert result.shape == frame.shape and result.dtype == np.float32
    warped = host(rastrix.affine_transform(crop512, rastrix.get_inverse_matrix(face.matrix), (480, 640)))
    out = host(result)
    np.testing.assert_allclose(out[256, 320], warped[256, 320], atol=1e-5)  # the face's centre: the swap
    assert not out[:40].any() and not out[:, :100].any()  # far from the face: the frame


@standin
def test_no_leaks():
    t, o = sw.TrtFaceSwap(model_bytes=engine(size=32)), sw.OnnxFaceSwap(None, models.swapper(size=32), "cpu")
    t.patch, t.input_size = 32, (32, 32)
    s, img, face = Stub(), crop(0, 8), crop(1, 32)

    def trt_get():
        t.get(face + 0, cp.full((1, 512), 0.5, cp.float32))
        trt._log.clear()

    def stub_get():
        s.batch_get([img] * 3, [cp.full((1, 512), k, cp.float32) for k in range(3)], 1.5, 2)
        s.calls.clear()

    assert_no_leaks(stub_get, lambda: s.batch_get([img], cp.ones((1, 511), cp.float32)),
                    trt_get, lambda: o.get(face + 0, cp.ones((1, 512), cp.float32)), repeat=100, warmup=30)
