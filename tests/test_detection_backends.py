"""The ONNX Runtime and TensorRT detector back-ends: model files, sessions and engines, the shared
anchor decoding, and a frame going through both."""
import functools
import os
import subprocess
import sys
import types

import cupy as cp
import numpy as np
import onnx
import onnxruntime
import pytest
import tensorrt as trt

import corvanta.detection as det
import models
import rastrix
from leakcheck import assert_no_leaks

HERE = os.path.dirname(os.path.abspath(__file__))
SMALL = (1, 3, 64, 64)  # a detector input small enough for the leak check and many objects
FACE64 = (64, 64, 32, 32, 32)  # a 64 x 64 frame with a face for stride 8

pytestmark = pytest.mark.skipif(not (hasattr(trt, "_standin") and hasattr(cp, "_standin")),
                                reason="builds engines and reads the logs of the cupy and tensorrt stand-ins")

LAYOUTS = {6: ([8, 16, 32], 2, False), 9: ([8, 16, 32], 2, True),
           10: ([8, 16, 32, 64, 128], 1, False), 15: ([8, 16, 32, 64, 128], 1, True)}


@functools.cache
def model(outputs=9, shape=(1, 3, 640, 640), keep=None):
    data = models.detector(outputs, input_shape=shape)
    if keep is not None:  # only the first `keep` outputs
        m = onnx.load_model_from_string(data)
        del m.graph.output[keep:]
        data = m.SerializeToString()
    return data


@functools.cache
def engine(outputs=9, shape=(1, 3, 640, 640), keep=None):
    return trt._standin.build_engine(model(outputs, shape, keep))


def onnx_det(outputs=9, shape=(1, 3, 640, 640), **kw):
    return det.OnnxFaceDetection(None, model(outputs, shape, **kw), "cpu")


def trt_det(outputs=9, shape=(1, 3, 640, 640), device="cuda", **kw):
    return det.TrtFaceDetection(None, engine(outputs, shape, **kw), device)


def square(h=640, w=640, cx=320, cy=320, side=64):
    return cp.asarray(models.plant_square(h, w, cx, cy, side))


def np_(a):
    return cp.asnumpy(a)


def rows(result):
    return [[a.shape[0] for a in part] for part in result]


def same(a, b):
    """Two forward results hold equal arrays."""
    return rows(a) == rows(b) and all(np.array_equal(np_(x), np_(y)) for x, y in zip(sum(a, []), sum(b, [])))


@pytest.fixture(scope="module")
def onnx9():
    return onnx_det(9)


@pytest.fixture(scope="module")
def trt9():
    return trt_det(9)


# ---- ONNX Runtime back-end ------------------------------------------------------------------

@pytest.mark.parametrize("outputs", [6, 9, 10, 15])
def test_onnx_output_layouts(outputs):
    strides, anchors, kps = LAYOUTS[outputs]
    d = onnx_det(outputs)
    assert (d.fmc, d._feat_stride_fpn, d._num_anchors, d.use_kps, d._anchor_ratio) == (
        len(strides), strides, anchors, kps, 1.0)
    assert d.output_names == models.detector_output_names(outputs) and d.input_name == "input.1"
    img = square()
    every = d.forward(img, 0)  # an integer threshold; every score is above 0
    lists = 2 + kps  # the landmark list stays empty without landmarks
    grid = [(640 // s) ** 2 * anchors for s in strides]
    assert len(every) == 3 and rows(every) == [grid] * lists + [[]] * (3 - lists)
    assert rows(d.forward(img, 1)) == [[0] * len(strides)] * lists + [[]] * (3 - lists)
    scores, boxes, kpss = d.forward(img, 0.5)
    hit = strides.index(16)
    assert [a.shape[0] for a in scores] == [anchors if i == hit else 0 for i in range(len(strides))]
    for a in range(anchors):
        box, score, marks = models.expected_detection(320, 320, 64, anchor=a)
        assert np.allclose(np_(boxes[hit][a]), box) and np_(scores[hit][a, 0]) == pytest.approx(score, abs=1e-5)
        if kps:
            assert np.allclose(np_(kpss[hit][a]), marks, atol=1e-4)
    assert all(x.dtype == np.float32 for part in (scores, boxes, kpss) for x in part)


@pytest.mark.parametrize("shape, size, rows8", [
    ((1, 3, 640, 640), (640, 640), 12800), ((1, 3, 480, 640), (640, 480), 9600), ((1, 3, "H", "W"), (640, 640), 12800)])
def test_onnx_input_shapes(shape, size, rows8):
    d = onnx_det(9, shape)
    assert d.input_size == size and d.input_shape == list(shape)
    assert d.forward(square(), 0)[0][0].shape == (rows8, 1)  # the batch is made at input_size


def test_onnx_get_finds_the_planted_face(onnx9):
    # 1280 x 960: letterboxed to 640 x 480 at half scale, the square lands on stride 16.
    faces = onnx9.get(square(960, 1280, 640, 384, 128), 112)
    box, score, kps = models.expected_detection(640, 384, 128)
    assert len(faces) == 1
    f = faces[0]
    assert np.allclose(np_(f.bbox), box, atol=1e-3) and float(f.score) == pytest.approx(score, abs=1e-5)
    assert np.allclose(np_(f.kps), kps, atol=1e-3) and f.image.shape == (112, 112, 3)


class SpyOrt:
    """Records the ONNX Runtime calls; sessions are always made on the CPU."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, args, dict(kwargs)))
            if name == "InferenceSession":
                kwargs.update(providers=["CPUExecutionProvider"], provider_options=[{}])
            return getattr(onnxruntime, name)(*args, **kwargs)
        return call


@pytest.mark.parametrize("device, provider, options", [
    ("cuda", "CUDA", [{"device_id": "0"}]), ("cuda:1", "CUDA", [{"device_id": "1"}]),
    ("gpu-cuda:3", "CUDA", [{"device_id": "0"}]),  # the loader's index; nothing is parsed here
    ("CUDA", "CPU", [{}]), ("cpu", "CPU", [{}])])
def test_onnx_session_recipe(monkeypatch, device, provider, options):
    spy = SpyOrt()
    monkeypatch.setattr(det, "onnxruntime", spy)
    data = model(9)
    d = det.OnnxFaceDetection(None, data, device)
    assert [c[0] for c in spy.calls] == ["preload_dlls", "SessionOptions", "InferenceSession"]
    assert spy.calls[0][1:] == ((), {}) and spy.calls[1][1:] == ((), {})
    _, args, kwargs = spy.calls[2]
    assert len(args) == 1 and args[0] is data
    assert list(kwargs) == ["session_options", "providers", "provider_options"]
    assert kwargs["providers"] == [provider + "ExecutionProvider"] and kwargs["provider_options"] == options
    opts = kwargs["session_options"]
    assert (opts.log_severity_level, opts.log_verbosity_level) == (4, 4)
    assert d.session.get_inputs()[0].name == "input.1"


def test_onnx_constructor_paths(tmp_path, monkeypatch):
    path = tmp_path / "m.onnx"
    path.write_bytes(model(9))
    opened = []
    monkeypatch.setattr(det, "open", lambda *a: opened.append(a) or open(*a), raising=False)
    d = det.OnnxFaceDetection(str(tmp_path / "missing.onnx"), model(6), "cpu")  # bytes win: no read
    assert opened == [] and d.fmc == 3 and d.use_kps is False
    d = det.OnnxFaceDetection(str(path), device="cpu")
    assert opened == [(str(path), "rb")] and d.model_bytes == model(9) and d.use_kps is True
    with pytest.raises(FileNotFoundError):
        det.OnnxFaceDetection(str(tmp_path / "missing.onnx"))
    with pytest.raises(AssertionError) as e:
        det.OnnxFaceDetection()
    assert str(e.value) == "model_bytes must be provided if model_path is not specified"


def test_onnx_without_assertions_refuses_none_bytes():
    code = ("import sys; sys.path[:0] = [%r, %r]\nimport corvanta.detection as d\n"
            "try:\n    d.OnnxFaceDetection()\nexcept TypeError as e:\n    print('TypeError:', e)\n"
            % (os.path.join(HERE, "standins"), HERE))
    r = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, timeout=120)
    assert r.stdout.strip() == (
        "TypeError: Argument 'model_bytes' has incorrect type (expected bytes, got NoneType)"), r.stderr


def test_onnx_input_of_low_rank_is_refused():
    g = onnx.helper.make_graph(
        [onnx.helper.make_node("Identity", ["x"], ["y"])], "flat",
        [onnx.helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, [1, 3, 640])],
        [onnx.helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, [1, 3, 640])])
    m = onnx.helper.make_model(g, opset_imports=[onnx.helper.make_opsetid("", 17)])
    m.ir_version = 8
    with pytest.raises(ValueError, match=r"N x 3 x H x W.*\[1, 3, 640\]"):
        det.OnnxFaceDetection(None, m.SerializeToString(), "cpu")


# ---- anchor decoding --------------------------------------------------------------------------

def test_threshold_boundary_and_nothing_found():
    d = onnx_det(9)
    img = square()
    peak = np_(d.forward(img, 0.5)[0][1])[0, 0]  # stride 16, anchor 0: the best score of all
    scores, boxes, kpss = d.forward(img, float(peak))
    assert [a.shape[0] for a in scores] == [0, 1, 0] and np_(scores[1])[0, 0] == peak
    above = float(np.nextafter(peak, np.float32(2)))
    scores, boxes, kpss = d.forward(img, above)
    assert [a.shape for a in scores] == [(0, 1)] * 3 and [a.shape for a in boxes] == [(0, 4)] * 3
    assert [a.shape for a in kpss] == [(0, 5, 2)] * 3


@pytest.mark.parametrize("outputs, first", [(6, [[0, 0], [0, 0], [8, 0], [8, 0]]), (10, [[0, 0], [8, 0], [16, 0]])])
def test_anchor_grids_and_cache_keys(outputs, first):
    strides, anchors, _ = LAYOUTS[outputs]
    d = onnx_det(outputs)
    d.forward(square(), 0.5)
    cache = d.center_cache
    assert list(cache) == [(640 // s, 640 // s, s) for s in strides]
    assert [len(cache[k]) for k in cache] == [(640 // s) ** 2 * anchors for s in strides]
    c8 = np_(cache[(80, 80, 8)])
    assert c8.dtype == np.float32 and c8[:len(first)].tolist() == first
    assert c8[80 * anchors].tolist() == [0, 8] and c8[-1].tolist() == [632, 632]


def test_cache_bound_and_entries_of_another_anchor_count():
    img = square()
    ref = onnx_det(9).forward(img, 0.5)
    d = onnx_det(9)
    dummies = {(k, k, 1): cp.zeros((1, 2), cp.float32) for k in range(100)}
    d.center_cache.update(dummies)
    got = d.forward(img, 0.5)
    assert list(d.center_cache) == list(dummies) and same(ref, got)  # full: nothing stored
    # Loading a one-anchor model into an object that cached two-anchor grids of the same keys.
    d = onnx_det(6)
    d.forward(img, 0.5)
    kept = dict(d.center_cache)
    d.initialize(model(10), "cpu")
    got = d.forward(img, 0.5)
    assert same(got, onnx_det(10).forward(img, 0.5)) and rows(got) == [[0, 1, 0, 0, 0]] * 2 + [[]]
    assert all(d.center_cache[k] is v for k, v in kept.items()) and len(d.center_cache) == 5


def test_unknown_output_count():
    for d in (onnx_det(9, keep=7), trt_det(9, keep=7)):
        assert len(d.output_names) == 7 and not hasattr(d, "fmc") and d._num_anchors == 1 and d.use_kps is False
        with pytest.raises(AttributeError, match="fmc"):
            d.forward(square(), 0.5)


# ---- TensorRT model files ---------------------------------------------------------------------

class Spies:
    """Records the image-library calls (the converter writes only when `write`), the existence
    tests and the files opened by the detection module."""

    def __init__(self, monkeypatch, write=True):
        self.calls, self.exists, self.opened = [], [], []

        def exists(p):
            self.exists.append(p)
            return os.path.exists(p)

        spy = self

        class Rx:
            def __getattr__(self, name):
                def call(*args, **kwargs):
                    spy.calls.append((name, args, list(kwargs.items())))
                    if write or name != "onnx_to_trt_dynamic_shape":
                        return getattr(rastrix, name)(*args, **kwargs)
                return call

        monkeypatch.setattr(det, "rx", Rx())
        monkeypatch.setattr(det, "os", types.SimpleNamespace(path=types.SimpleNamespace(exists=exists)))
        monkeypatch.setattr(det, "open", lambda *a: self.opened.append(a) or open(*a), raising=False)

    def named(self, name):
        return [c[1:] for c in self.calls if c[0] == name]

    @property
    def built(self):
        return self.named("onnx_to_trt_dynamic_shape")


CONVERT = [("precision", "bf16"), ("batch_range", (1, 1, 1)), ("spatial_range", (640, 640, 640))]


@pytest.mark.parametrize("given, files, onnx_path, trt_path, build", [
    ("m.onnx", ["m.onnx"], "m.onnx", "m.trt", True),
    ("m.onnx", ["m.trt"], "m.onnx", "m.trt", False),
    ("m.onnx", ["m.onnx", "m.trt"], "m.onnx", "m.trt", False),
    ("m.trt", ["m.onnx"], "m.onnx", "m.trt", True),
    ("x.onnx.d/m.onnx", ["x.onnx.d/m.onnx", "x.trt.d/"], "x.onnx.d/m.onnx", "x.trt.d/m.trt", True),
    ("m.engine", ["m.engine"], "m.engine", "m.engine", False),
    ("M.ONNX", ["M.ONNX"], "M.ONNX", "M.ONNX", False),
], ids=["onnx-only", "trt-only", "both", "trt-given", "every-occurrence", "engine", "upper-case"])
def test_trt_file_rule(tmp_path, monkeypatch, given, files, onnx_path, trt_path, build):
    for f in files:
        p = tmp_path / f
        p.parent.mkdir(exist_ok=True)
        if f.endswith("/"):
            p.mkdir(exist_ok=True)
        else:
            p.write_bytes(model(9) if f.endswith(".onnx") else engine(9))
    spy = Spies(monkeypatch)
    onnx_path, trt_path = str(tmp_path / onnx_path), str(tmp_path / trt_path)
    d = det.TrtFaceDetection(str(tmp_path / given))
    assert spy.built == ([((onnx_path, trt_path), CONVERT)] if build else [])
    assert spy.exists == ([trt_path, onnx_path, trt_path] if build else [trt_path] * 3)
    assert d.model_path == trt_path and spy.opened == [(trt_path, "rb")]
    with open(trt_path, "rb") as f:
        assert d.model_bytes == f.read()
    assert d.use_kps is True and d.input_size == (640, 640)


@pytest.mark.parametrize("given, onnx_path, trt_path", [
    ("m.onnx", "m.onnx", "m.trt"), ("m.trt", "m.onnx", "m.trt"), ("m.engine", "m.engine", "m.engine")])
def test_trt_model_file_not_found(tmp_path, monkeypatch, given, onnx_path, trt_path):
    spy = Spies(monkeypatch)
    onnx_path, trt_path, given = (str(tmp_path / p) for p in (onnx_path, trt_path, given))
    with pytest.raises(FileNotFoundError) as e:
        det.TrtFaceDetection(given)
    assert str(e.value) == "Model file not found: onnx: %s:False, trt: %s:False" % (onnx_path, trt_path)
    assert spy.exists == [trt_path, onnx_path, trt_path, onnx_path, trt_path] and spy.built == []


def test_trt_bytes_touch_no_file_silent_converter_and_nothing_given(tmp_path, monkeypatch):
    spy = Spies(monkeypatch, write=False)
    d = det.TrtFaceDetection(str(tmp_path / "m.onnx"), engine(9), "cuda")
    assert (spy.exists, spy.built, spy.opened) == ([], [], []) and d.model_path == str(tmp_path / "m.onnx")
    (tmp_path / "m.onnx").write_bytes(model(9))
    with pytest.raises(FileNotFoundError) as e:
        det.TrtFaceDetection(str(tmp_path / "m.onnx"))
    assert str(e.value) == "Model file not found: " + str(tmp_path / "m.trt")
    assert len(spy.built) == 1 and spy.opened == []
    with pytest.raises(TypeError):  # neither bytes nor a path: the existence test is given none
        det.TrtFaceDetection()
    assert spy.exists[-1] is None


# ---- TensorRT engine and execution ------------------------------------------------------------

def test_trt_engine_attributes(trt9):
    d = trt9
    assert (d.input_tensor, d.input_size, d.fmc, d._feat_stride_fpn, d._num_anchors, d.use_kps, d._anchor_ratio) == (
        "input.1", (640, 640), 3, [8, 16, 32], 2, True, 1.0)
    assert d.output_names == models.detector_output_names(9)  # engine order, not sorted
    assert isinstance(d.logger, trt.Logger) and d.logger.min_severity == trt.Logger.WARNING
    assert isinstance(d.runtime, trt.Runtime) and isinstance(d.engine, trt.ICudaEngine)
    assert isinstance(d.ctx, trt.IExecutionContext) and d.ctx.engine is d.engine
    assert isinstance(d.stream, cp.cuda.Stream) and d.stream.ptr != 0 and not d.stream.is_non_blocking
    assert d.input_buffer is None and d.output_buffer is None
    assert list(d.d_inputs) == ["input.1"] and list(d.d_outputs) == d.output_names
    assert d.d_inputs["input.1"].shape == (1, 3, 640, 640) and d.d_outputs["kps_32"].shape == (800, 10)
    for name, buf in [*d.d_inputs.items(), *d.d_outputs.items()]:
        assert d.ctx.get_tensor_address(name) == buf.data.ptr and buf.dtype == np.float32


def crafted(change):
    """Engine bytes of the 9-output detector with its tensor table edited by `change(header)`."""
    header = trt._standin.parse_engine(engine(9, SMALL))
    onnx_bytes = header.pop("onnx")
    change(header)
    return trt._standin.serialize(header, onnx_bytes)


def test_trt_buffer_dimensions_and_refused_engines():
    def small_dims(h):
        h["tensors"][1]["shape"] = [0, 1]
        h["tensors"][4]["shape"] = [-1, 4]
    d = det.TrtFaceDetection(None, crafted(small_dims))
    assert d.d_outputs["score_8"].shape == (1, 1) and d.d_outputs["bbox_8"].shape == (1, 4)
    dynamic = trt._standin.build_engine(model(9, ("N", 3, 640, 640)),
                                        profiles={"input.1": ((1, 3, 640, 640),) * 2 + ((2, 3, 640, 640),)})
    with pytest.raises(ValueError, match=r"dynamic dimensions \(-1, 3, 640, 640\)"):
        det.TrtFaceDetection(None, dynamic)

    def no_inputs(h):
        h["tensors"] = h["tensors"][1:]
        h["inputs"] = []
    d = det.TrtFaceDetection.__new__(det.TrtFaceDetection)
    det.BaseFaceDetection.__init__(d)
    with pytest.raises(KeyError, match="'input'"):
        d.initialize(crafted(no_inputs), "cuda", "0")
    assert d.input_tensor == "input" and len(d.output_names) == 9 and d.fmc == 3 and d.d_inputs == {}


def test_trt_device_context(monkeypatch):
    seen, real = [], trt.Runtime
    monkeypatch.setattr(det.trt, "Runtime", lambda logger: seen.append(cp.cuda.runtime.getDevice()) or real(logger))
    assert cp.cuda.runtime.getDevice() == 0
    d = trt_det(9, SMALL, "cuda:1")
    assert seen == [1] and cp.cuda.runtime.getDevice() == 0
    assert d.stream.device_id == 1 and {b.device.id for b in [*d.d_inputs.values(), *d.d_outputs.values()]} == {1}
    with cp.cuda.Device(1):  # forward runs on the current device
        assert len(d.get(square(*FACE64), 32)) == 1
        trt_det(9, SMALL, "cuda")
        assert seen[-1] == 0 and cp.cuda.runtime.getDevice() == 1
    def ranged(h):  # a height with a real range
        h["tensors"][0].update(shape=[1, 3, -1, 64])
        h["inputs"][0].update(max=[1, 3, 128, 64])
    for data, error in [(b"junk", AttributeError), (crafted(ranged), ValueError)]:
        with pytest.raises(error):
            det.TrtFaceDetection(None, data, "cuda:1")
        assert seen[-1] == 1 and cp.cuda.runtime.getDevice() == 0


def test_trt_buffer_reuse_and_rebinding():
    d = trt_det(9, SMALL)
    img = square(*FACE64)
    buf = d.d_inputs["input.1"]
    trt._log.clear()
    first = d.forward(img, 0.5)
    d.forward(img, 0.5)
    assert [e[0] for e in trt._log] == ["execute"] * 2 and d.d_inputs["input.1"] is buf
    d.d_inputs["input.1"] = cp.empty((1, 3, 8, 8), cp.float16)  # a buffer of another shape: replaced once
    trt._log.clear()
    again = d.forward(img, 0.5)
    d.forward(img, 0.5)
    fresh = d.d_inputs["input.1"]
    assert fresh.shape == SMALL and fresh.dtype == np.float32
    assert trt._log == [("set_tensor_address", "input.1", fresh.data.ptr), ("execute", d.stream.ptr),
                        ("execute", d.stream.ptr)]
    assert same(first, again)


def test_trt_failed_execution_returns_no_stale_faces(monkeypatch):
    d = trt_det(9, SMALL)
    img = square(*FACE64)
    assert len(d.get(img, 32)) == 1  # the output buffers now hold a face
    monkeypatch.setattr(d.ctx, "execute_async_v3", lambda handle: False)
    with pytest.raises(RuntimeError, match="TensorRT execution failed"):
        d.get(img, 32)


def test_trt_batch_of_another_shape_is_refused():
    d = trt_det(9, SMALL)
    buf = d.d_inputs["input.1"]
    trt._log.clear()
    with pytest.raises(ValueError, match=r"\(1, 3, 48, 64\).*\(1, 3, 64, 64\)"):
        d.forward(cp.zeros((48, 64, 3), cp.float32), 0.5)
    d.input_size = (64, 48)
    with pytest.raises(ValueError, match=r"\(1, 3, 48, 64\).*\(1, 3, 64, 64\)"):
        d.get(square(*FACE64))
    assert trt._log == [] and d.d_inputs["input.1"] is buf


def test_trt_copy_is_ordered_before_execution():
    d = trt_det(9, SMALL)
    img = square(*FACE64)
    s = d.stream.ptr
    for current in (cp.cuda.Stream.null, cp.cuda.Stream()):
        with current:
            cp._standin.log.clear()
            d.forward(img, 0.5)
        assert cp._standin.log == [("record", current.ptr), ("wait_event", s), ("execute", s), ("synchronize", s)]


# ---- both back-ends ---------------------------------------------------------------------------

def test_backends_agree(onnx9, trt9):
    img = square(960, 1280, 640, 384, 128)
    a, b = onnx9.get(img, 112), trt9.get(img, 112)
    assert len(a) == len(b) == 1
    for f, g in zip(a, b):
        for field in ("bbox", "score", "kps", "matrix", "image"):
            assert np.allclose(np_(getattr(f, field)), np_(getattr(g, field)), atol=1e-4), field


def test_batch_keywords(monkeypatch):
    o, t = onnx_det(9, (1, 3, 48, 64)), trt_det(9, SMALL)
    o.input_mean, t.input_std = 0.25, 0.75  # read at every call
    spy = Spies(monkeypatch)
    img = cp.zeros((64, 64, 3), cp.float32)
    assert rows(o.forward(img, 0.5))[0] == rows(t.forward(img, 0.5))[0] == [0, 0, 0]
    (a, onnx_kw), (b, trt_kw) = spy.named("images_to_batch")
    assert a == b == (img,) and a[0] is img
    assert onnx_kw == [("std", 128 / 255), ("size", (64, 48)), ("mean", 0.25)]
    assert trt_kw == [("std", 0.75), ("mean", 0.5)]  # the engine takes the image's own size


def test_annotations_and_defaults():
    init = {"model_path": "str | None", "model_bytes": "bytes | None", "device": "str", "return": "None"}
    forward = {"image": "cp.ndarray", "threshold": "float",
               "return": "tuple[list[cp.ndarray], list[cp.ndarray], list[cp.ndarray]]"}
    initialize = {"model_bytes": "bytes", "device": "str", "device_id": "str", "return": "None"}
    for cls, defaults in ((det.OnnxFaceDetection, ("0",)), (det.TrtFaceDetection, None)):
        assert cls.__init__.__annotations__ == init and cls.__init__.__defaults__ == (None, None, "cuda")
        assert cls.forward.__annotations__ == forward and cls.forward.__defaults__ is None
        assert cls.initialize.__annotations__ == initialize and cls.initialize.__defaults__ == defaults
        assert cls.get is det.BaseFaceDetection.get


def test_no_leaks():
    o, t = onnx_det(9, SMALL), trt_det(9, SMALL)
    img = square(*FACE64)
    wrong = cp.zeros((48, 64, 3), cp.float32)
    assert len(o.get(img, 32)) == len(t.get(img, 32)) == 1
    assert_no_leaks(
        lambda: o.get(img, 32),
        lambda: t.get(img, 32),
        lambda: o.forward(img, 0.5),
        lambda: t.forward(wrong, 0.5),
        lambda: trt_det(9, SMALL),
        lambda: det.TrtFaceDetection(None, b"junk", "cuda:1"),
        lambda: det.OnnxFaceDetection("/nonexistent/m.onnx"),
        trt._log.clear,
        repeat=30, warmup=20)
