"""Face restoration: the role's get and batch_get, and the ONNX Runtime and TensorRT back-ends on
tiny models (TensorRT through its CPU stand-in unless a real one is set up)."""
import inspect
import os
import subprocess
import sys

import cupy as cp
import numpy as np
import onnxruntime
import pytest

import corvanta.base
import corvanta.enhance as enh
import models
import rastrix
from models import Spy

trt = pytest.importorskip("tensorrt")
standin = pytest.mark.skipif(not hasattr(trt, "_standin"), reason="inspects the TensorRT stand-in")
TESTS = os.path.dirname(os.path.abspath(__file__))
SIZE = 64  # ONNX Runtime models are built at this side; TensorRT engines at the fixed 512
CONVERTER_KW = [("input_shape", (1, 3, 512, 512)), ("precision", "tf32")]
FAILED_BUILD = "Failed to convert ONNX model to TensorRT engine: "
NO_MODEL = "model_bytes must be provided if model_path is not specified"


def engine(onnx_bytes, **kw):
    if not hasattr(trt, "_standin"):
        pytest.skip("builds engines with the TensorRT stand-in")
    return trt._standin.build_engine(onnx_bytes, **kw)


def image(seed=0, h=40, w=48):
    return cp.asarray(np.random.default_rng(seed).uniform(0, 1, (h, w, 3)).astype(np.float32))


def host(a):
    return cp.asnumpy(a)


def restored(model_bytes, batch):
    """The model's output for a host batch, through a plain ONNX Runtime session."""
    sess = onnxruntime.InferenceSession(model_bytes, providers=["CPUExecutionProvider"])
    return sess.run(None, {sess.get_inputs()[0].name: np.asarray(batch, np.float32)})[0]


class Stub(enh.BaseFaceEnhance):
    """The role with an identity model: forward records its batches and returns them; reads of
    the preprocessing constants are recorded too."""

    def __init__(self, *args):
        self.seen, self.reads = [], []
        super().__init__(*args)

    def __getattribute__(self, name):
        if name in ("input_size", "input_mean", "input_std"):
            object.__getattribute__(self, "reads").append(name)
        return object.__getattribute__(self, name)

    def forward(self, batch):
        self.seen.append(batch)
        return batch + 0


@pytest.fixture
def loader_calls(monkeypatch):
    """The loader base's constructor calls (positional and keyword arguments)."""
    calls, real = [], corvanta.base.BaseModelLoader.__init__

    def init(self, *args, **kwargs):
        calls.append((args, kwargs))
        real(self, *args, **kwargs)

    monkeypatch.setattr(corvanta.base.BaseModelLoader, "__init__", init)
    return calls


@pytest.fixture(scope="module")
def small_model():
    return models.restorer(size=SIZE)


@pytest.fixture(scope="module")
def onnx_obj(small_model):
    return enh.OnnxFaceEnhance(None, small_model, "cpu")


# ---- surface -------------------------------------------------------------------------------------

def methods(cls):
    return [n for n, v in vars(cls).items() if callable(v)]


def test_surface():
    B, O, T = enh.BaseFaceEnhance, enh.OnnxFaceEnhance, enh.TrtFaceEnhance
    assert B.__bases__ == (corvanta.base.BaseModelLoader,) and O.__bases__ == (B,) and T.__bases__ == (B,)
    assert (enh.os, enh.cp, enh.onnxruntime, enh.rx, enh.trt) == (os, cp, onnxruntime, rastrix, trt)
    assert methods(B) == ["__init__", "forward", "get", "batch_get"]
    assert methods(O) == ["__init__", "initialize", "forward"] and methods(T) == ["__init__"]
    assert B.__doc__ == ("\n    Base class for face enhancement models.\n\n    Improves face image quality by reducing "
                         "artifacts, enhancing details,\n    and restoring facial features using generative models "
                         "like GFPGAN.\n    ")
    assert O.__doc__ == "GFPGAN Face enhancer using ONNX Runtime for face quality improvement."
    assert T.__doc__ == "Face enhancer using TensorRT for high-performance face quality improvement."
    assert B.forward.__doc__ == "\n        Placeholder for the forward method.\n        "
    assert B.batch_get.__doc__ == (
        "\n        Process a batch of images for face enhancement.\n\n        Args:\n            images "
        "(list[cp.ndarray]): List of input images.\n\n        Returns:\n            list[cp.ndarray]: List of "
        "enhanced images.\n        ")
    for C, what in ((O, "ONNX"),):
        assert C.forward.__doc__ == (
            "\n        Execute %s inference on a preprocessed batch.\n\n        Args:\n            batch (cp.ndarray): "
            "Preprocessed batch tensor of shape (N, C, H, W).\n\n        Returns:\n            cp.ndarray: Output "
            "tensor from the model.\n        " % what)
        assert C.initialize.__doc__ is None
    for f in (B.__init__, O.__init__, T.__init__, B.get):
        assert f.__doc__ is None
    for C in (B, O, T):
        assert str(inspect.signature(C.__init__)) == (
            "(self, model_path: 'str | None' = None, model_bytes: 'bytes | None' = None, device: 'str' = 'cuda') -> 'None'")
        assert str(inspect.signature(C.forward)) == "(self, batch: 'cp.ndarray') -> 'cp.ndarray'"
    assert str(inspect.signature(B.get)) == "(self, image: 'cp.ndarray') -> 'cp.ndarray'"
    assert str(inspect.signature(B.batch_get)) == "(self, images: 'list[cp.ndarray]') -> 'list[cp.ndarray]'"
    assert str(inspect.signature(O.initialize)) == (
        "(self, model_bytes: 'bytes', device: 'str', device_id: 'str' = '0') -> 'None'")


class Text(str):
    pass


@pytest.mark.parametrize("cls", [enh.BaseFaceEnhance, enh.OnnxFaceEnhance, enh.TrtFaceEnhance])
@pytest.mark.parametrize("args, name, expected, got", [
    ((1,), "model_path", "str", "int"),
    ((Text("m.onnx"),), "model_path", "str", "Text"),
    ((None, bytearray(b"x")), "model_bytes", "bytes", "bytearray"),
    ((None, None, None), "device", "str", "NoneType"),
    ((None, None, Text("cuda:1")), "device", "str", "Text"),
])
def test_constructor_argument_types(cls, args, name, expected, got, loader_calls):
    with pytest.raises(TypeError) as e:
        cls(*args)
    assert str(e.value) == "Argument '%s' has incorrect type (expected %s, got %s)" % (name, expected, got)
    assert loader_calls == []


# ---- the role ------------------------------------------------------------------------------------

def test_get(monkeypatch, loader_calls):
    rx = Spy(rastrix)
    monkeypatch.setattr(enh, "rx", rx)
    s = Stub(None, None, "cpu")
    assert loader_calls == [((None, None, "cpu"), {})]
    assert (s.input_size, s.input_mean, s.input_std) == (512, 0.5, 0.5) and type(s.input_size) is int
    s.input_size, s.reads[:] = 32, []  # the host's value takes effect on the next call
    img = image(1)
    out = s.get(img)
    assert s.reads == ["input_size", "input_std", "input_mean", "input_std", "input_mean"]
    (_, a1, k1), (_, a2, k2) = [c for c in rx.calls if c[0] in ("image_to_batch", "batch_to_images")]
    assert a1 == (img,) and list(k1.items()) == [("size", 32), ("std", 0.5), ("mean", 0.5), ("swap_rb", True),
                                                  ("layout", "HWC")]
    assert len(s.seen) == 1 and s.seen[0].shape == (1, 3, 32, 32)
    assert len(a2) == 1 and list(k2.items()) == [("std", 0.5), ("mean", 0.5), ("swap_rb", True), ("layout", "NCHW")]
    expected = rastrix.resize(img, (32, 32))
    assert out.shape == (32, 32, 3)
    np.testing.assert_allclose(host(out), host(expected), atol=1e-6)


def test_batch_get(monkeypatch):
    rx, spy_cp = Spy(rastrix), Spy(cp)
    monkeypatch.setattr(enh, "rx", rx)
    monkeypatch.setattr(enh, "cp", spy_cp)
    s = Stub()
    s.input_size = 24
    imgs = [image(1), image(2, 30, 20), image(3)]
    s.reads[:] = []
    out = s.batch_get(imgs)
    assert s.reads == ["input_std", "input_size", "input_mean", "input_std", "input_mean"]
    (_, a1, k1), = rx.named("images_to_batch")
    assert a1[0] is imgs and list(k1.items()) == [("std", 0.5), ("size", 24), ("mean", 0.5), ("swap_rb", True),
                                                   ("layout", "HWC")]
    batch = rastrix.images_to_batch(imgs, std=0.5, size=24, mean=0.5, swap_rb=True)
    assert [b.shape for b in s.seen] == [(1, 3, 24, 24)] * 3  # N images: N forwards of one, in order
    for k, b in enumerate(s.seen):
        assert host(b).tolist() == host(batch[k:k + 1]).tolist()
    (_, args, kwargs), = spy_cp.named("concatenate")
    assert kwargs == {"axis": 0} and len(args[0]) == 3
    assert type(out) is list and len(out) == 3
    for img, o in zip(imgs, out):
        np.testing.assert_allclose(host(o), host(rastrix.resize(img, (24, 24))), atol=1e-6)
    assert len(Stub().batch_get([image(4)])) == 1


@pytest.mark.parametrize("returned, outcome", [
    (("a",), "Expected list, got tuple"),
    (None, None),
    ([], []),
])
def test_batch_get_result_check(returned, outcome, monkeypatch):
    monkeypatch.setattr(enh, "rx", Spy(rastrix, batch_to_images=lambda *a, **k: returned))
    if isinstance(outcome, str):
        with pytest.raises(TypeError, match="^%s$" % outcome):
            Stub().batch_get([image()])
    else:
        assert Stub().batch_get([image()]) == outcome


class Images(list):
    pass


@pytest.mark.parametrize("images, got", [((image(),), "tuple"), (Images([image()]), "Images"), (None, "NoneType")])
def test_batch_get_takes_exactly_a_list(images, got, monkeypatch):
    rx = Spy(rastrix)
    monkeypatch.setattr(enh, "rx", rx)
    with pytest.raises(TypeError, match=r"^Argument 'images' has incorrect type \(expected list, got %s\)$" % got):
        Stub().batch_get(images)
    assert rx.calls == []


def test_base_forward_and_empty_list():
    b = enh.BaseFaceEnhance()
    for call in (lambda: b.get(image()), lambda: b.batch_get([image()]), lambda: b.forward(None)):
        with pytest.raises(NotImplementedError, match="^forward method must be implemented in subclass$"):
            call()
    s = Stub()
    with pytest.raises(Exception):
        s.batch_get([])
    assert s.seen == []


# ---- ONNX Runtime back-end ---------------------------------------------------------------------------

class CountingSession:
    """A session that counts the reads of its input metadata."""

    def __init__(self, real):
        self.real, self.input_reads = real, 0

    def get_inputs(self):
        self.input_reads += 1
        return self.real.get_inputs()

    def __getattr__(self, name):
        return getattr(self.real, name)


@pytest.mark.parametrize("device, provider, options", [
    ("cuda", "CUDA", [{"device_id": "0"}]),
    ("cuda:1", "CUDA", [{"device_id": "1"}]),
    ("CUDA", "CPU", [{}]),
    ("cpu", "CPU", [{}]),
])
def test_onnx_session_and_metadata(device, provider, options, small_model, monkeypatch):
    made = []

    def session(model_bytes, **kw):
        made.append(CountingSession(onnxruntime.InferenceSession(model_bytes, providers=["CPUExecutionProvider"])))
        return made[-1]

    ort = Spy(onnxruntime, InferenceSession=session)
    monkeypatch.setattr(enh, "onnxruntime", ort)
    o = enh.OnnxFaceEnhance(model_bytes=small_model, device=device)
    assert [c[0] for c in ort.calls] == ["preload_dlls", "SessionOptions", "InferenceSession"]
    (_, args, kw), = ort.named("InferenceSession")
    assert args == (small_model,) and list(kw) == ["session_options", "providers", "provider_options"]
    assert kw["providers"] == [provider + "ExecutionProvider"] and kw["provider_options"] == options
    assert (kw["session_options"].log_severity_level, kw["session_options"].log_verbosity_level) == (4, 4)
    assert o.session is made[0] and made[0].input_reads == 3  # a fresh read per attribute
    assert (o.input_name, o.input_shape, o.dtype, o.input_size) == ("input", [1, 3, SIZE, SIZE], "tensor(float)", SIZE)


@pytest.mark.parametrize("shape, size", [((1, 3, 256, 192), 256), ((1, 3, "H", "W"), "H")])
def test_onnx_input_size_is_the_input_height(shape, size):
    g = models.restorer(size=4)  # the shape given below replaces the model's declared one
    import onnx

    m = onnx.load_model_from_string(g)
    for vi in (m.graph.input[0], m.graph.output[0]):
        for d, v in zip(vi.type.tensor_type.shape.dim, shape):
            d.Clear()
            if isinstance(v, int):
                d.dim_value = v
            else:
                d.dim_param = v
    o = enh.OnnxFaceEnhance(model_bytes=m.SerializeToString(), device="cpu")
    assert o.input_size == size


def test_onnx_forward(onnx_obj, small_model, monkeypatch):
    spy_cp = Spy(cp)
    monkeypatch.setattr(enh, "cp", spy_cp)
    runs = []
    real = onnx_obj.session
    monkeypatch.setattr(onnx_obj, "session", type("S", (), {"run": lambda self, *a: runs.append(a) or real.run(*a)})())
    batch = rastrix.image_to_batch(image(5), size=SIZE, std=0.5, mean=0.5, swap_rb=True)
    out = onnx_obj.forward(batch)
    assert [c[0] for c in spy_cp.calls] == ["asnumpy", "asarray"] and spy_cp.calls[0][1] == (batch,)
    (names, feed), = runs
    assert names is None and list(feed) == ["input"] and type(feed["input"]) is np.ndarray
    assert isinstance(out, cp.ndarray) and out.shape == (1, 3, SIZE, SIZE)
    np.testing.assert_allclose(host(out), restored(small_model, host(batch)), atol=1e-6)


def test_onnx_constructor_paths(small_model, tmp_path, monkeypatch):
    path = tmp_path / "m.onnx"
    path.write_bytes(small_model)
    opened = []
    monkeypatch.setattr(enh, "open", lambda *a: opened.append(a) or open(*a), raising=False)
    o = enh.OnnxFaceEnhance(str(tmp_path / "missing.onnx"), small_model, "cpu")  # bytes win: no read
    assert opened == [] and o.input_size == SIZE
    o = enh.OnnxFaceEnhance(str(path), device="cpu")
    assert opened == [(str(path), "rb")] and o.model_bytes == small_model
    with pytest.raises(FileNotFoundError):
        enh.OnnxFaceEnhance(str(tmp_path / "missing.onnx"))
    with pytest.raises(AssertionError, match="^%s$" % NO_MODEL):
        enh.OnnxFaceEnhance(device="cpu")
    with pytest.raises(TypeError, match="'device_id' has incorrect type"):
        o.initialize(small_model, "cpu", 0)


# ---- TensorRT back-end: construction -------------------------------------------------------------

class Recorder(enh.TrtFaceEnhance):
    """Records what the constructor hands to initialize."""

    def initialize(self, *args):
        self.initialized = args


@pytest.mark.parametrize("device, index", [
    ("cuda", 0), ("cpu", 0), ("cuda:1", 1), ("a:b:2", 2), ("x:y:3", 3), ("cuda: 4 ", 4), ("cuda:-1", -1),
])
def test_device_index(device, index, loader_calls):
    r = Recorder(None, b"engine", device)
    assert r.device_id == index and type(r.device_id) is int
    assert loader_calls == [((None, b"engine", device), {})] and r.device == device
    assert r.initialized == (b"engine",)


@pytest.mark.parametrize("device", ["cuda:", "cuda:a", "1:cuda", "cuda:1.0"])
def test_device_index_failures(device, loader_calls):
    with pytest.raises(ValueError, match="invalid literal for int"):
        Recorder(None, b"engine", device)
    assert loader_calls == []  # before the role's constructor


@pytest.fixture
def files(tmp_path, monkeypatch):
    rx = Spy(rastrix)
    monkeypatch.setattr(enh, "rx", rx)

    def put(rel, data):
        if rel.endswith("/"):
            (tmp_path / rel).mkdir(parents=True)
        else:
            (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / rel).write_bytes(data)

    return rx, put, lambda rel: str(tmp_path / rel)


@standin
@pytest.mark.parametrize("given, present, built, engine_rel", [
    ("m.onnx", ["m.onnx"], True, "m.trt"),
    ("m.onnx", ["m.onnx", "m.trt"], False, "m.trt"),
    ("a.onnx.d/m.onnx", ["a.onnx.d/m.onnx", "a.trt.d/"], True, "a.trt.d/m.trt"),
    ("m.trt", ["m.trt", "m.onnx"], False, "m.trt"),
    ("M.ONNX", ["M.ONNX"], False, "M.ONNX"),  # the suffix tests are case-sensitive
    ("m.plan", ["m.plan"], False, "m.plan"),
])
@pytest.mark.parametrize("given_bytes", [None, b"ignored"])
def test_engine_file_rule(given, present, built, engine_rel, given_bytes, files):
    rx, put, p = files
    for rel in present:
        put(rel, models.restorer() if rel.endswith(".onnx") else b"engine of " + rel.encode())
    r = Recorder(p(given), given_bytes)
    calls = rx.named("onnx_to_trt_fixed_shape")
    if built:
        assert len(calls) == 1 and calls[0][1] == ()
        assert list(calls[0][2].items()) == [("onnx_path", p(given)), ("engine_path", p(engine_rel))] + CONVERTER_KW
    else:
        assert calls == []
    with open(p(engine_rel), "rb") as f:
        assert r.initialized == (f.read(),)  # a given path wins over given bytes
    assert (r.model_path, r.model_bytes) == (p(given), given_bytes)  # neither the engine path nor the bytes kept


@pytest.mark.parametrize("given, present, text", [
    ("w.onnx", ["w.onnx"], FAILED_BUILD + "w.trt"),      # the converter wrote nothing
    ("gone.onnx", [], FAILED_BUILD + "gone.trt"),        # the ONNX file isn't tested first
    ("gone.trt", [], "No such file"),
    ("gone.plan", [], "No such file"),
])
def test_engine_file_failures(given, present, text, files):
    rx, put, p = files
    rx._replace["onnx_to_trt_fixed_shape"] = lambda **kw: None
    for rel in present:
        put(rel, b"onnx")
    with pytest.raises(FileNotFoundError) as e:
        Recorder(p(given), b"ignored")
    if text.startswith(FAILED_BUILD):
        assert str(e.value) == FAILED_BUILD + p(text[len(FAILED_BUILD):])
    else:
        assert text in str(e.value) and p(given) in str(e.value)
    assert len(rx.named("onnx_to_trt_fixed_shape")) == given.endswith(".onnx")


def test_no_model(monkeypatch):
    opened = []
    monkeypatch.setattr(enh, "open", lambda *a: opened.append(a) or open(*a), raising=False)
    with pytest.raises(ValueError, match="^%s$" % NO_MODEL):
        Recorder()
    assert Recorder(model_bytes=b"e").initialized == (b"e",) and opened == []


def test_without_assertions():
    code = ("import sys; sys.path[:0] = [%r, %r]\n"
            "import corvanta.enhance as enh\n"
            "for make in (lambda: enh.OnnxFaceEnhance(device='cpu'), enh.TrtFaceEnhance):\n"
            "    try:\n        make()\n    except Exception as e:\n        print(type(e).__name__, e)\n") % (
                os.path.join(TESTS, "standins"), TESTS)
    run = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "TypeError Argument 'model_bytes' has incorrect type (expected bytes, got NoneType)",
        "ValueError " + NO_MODEL,
    ]
