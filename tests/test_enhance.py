"""Face restoration: the role's get and batch_get, and the ONNX Runtime and TensorRT back-ends on
tiny models (TensorRT through its CPU stand-in unless a real one is set up)."""
import inspect
import os
import pathlib
import subprocess
import sys

import cupy as cp
import numpy as np
import onnx
import onnxruntime
import pytest

import corvanta.base
import corvanta.enhance as enh
import models
import rastrix
from leakcheck import assert_no_leaks
from models import Spy

trt = pytest.importorskip("tensorrt")
standin = pytest.mark.skipif(not hasattr(trt, "_standin"), reason="inspects the TensorRT stand-in")
TESTS = os.path.dirname(os.path.abspath(__file__))
FAILED_BUILD = "Failed to convert ONNX model to TensorRT engine: "
NO_MODEL = "model_bytes must be provided if model_path is not specified"


def engine(onnx_bytes):
    if not hasattr(trt, "_standin"):
        pytest.skip("builds engines with the TensorRT stand-in")
    return trt._standin.build_engine(onnx_bytes)


def image(seed=0, h=40, w=48):
    return cp.asarray(np.random.default_rng(seed).uniform(0, 1, (h, w, 3)).astype(np.float32))


def batch16(seed=0, dtype=np.float32, n=1):
    return cp.asarray(np.random.default_rng(seed).uniform(-1, 1, (n, 3, 16, 16)).astype(dtype))


def host(a):
    return cp.asnumpy(a)


def restored(model_bytes, batch):
    """The model's output for a batch, through a plain ONNX Runtime session."""
    sess = onnxruntime.InferenceSession(model_bytes, providers=["CPUExecutionProvider"])
    return sess.run(None, {sess.get_inputs()[0].name: host(batch).astype(np.float32)})[0]


class Stub(enh.BaseFaceEnhance):
    """The role with an identity model; records its batches and its reads of the constants."""

    def __init__(self, *args):
        self.seen, self.reads = [], []
        super().__init__(*args)

    def __getattribute__(self, name):
        if name.startswith("input_"):
            object.__getattribute__(self, "reads").append(name[6:])
        return object.__getattribute__(self, name)

    def forward(self, batch):
        self.seen.append(batch)
        return batch + 0


class Recorder(enh.TrtFaceEnhance):
    """Records what the constructor hands to initialize."""

    def initialize(self, *args):
        self.initialized = args


@pytest.fixture
def loader_calls(monkeypatch):
    calls, real = [], corvanta.base.BaseModelLoader.__init__
    monkeypatch.setattr(corvanta.base.BaseModelLoader, "__init__",
                        lambda self, *a, **k: calls.append((a, k)) or real(self, *a, **k))
    return calls


@pytest.fixture(scope="module")
def engine_16():
    return engine(models.restorer(size=16))


@pytest.fixture
def t16(engine_16):
    return enh.TrtFaceEnhance(model_bytes=engine_16)


# ---- surface and the role --------------------------------------------------------------------------

def test_surface():
    B, O, T = enh.BaseFaceEnhance, enh.OnnxFaceEnhance, enh.TrtFaceEnhance
    assert B.__bases__ == (corvanta.base.BaseModelLoader,) and O.__bases__ == (B,) and T.__bases__ == (B,)
    assert (enh.os, enh.cp, enh.onnxruntime, enh.rx, enh.trt) == (os, cp, onnxruntime, rastrix, trt)
    assert [n for n, v in vars(B).items() if callable(v)] == ["__init__", "forward", "get", "batch_get"]
    assert [n for n, v in vars(O).items() if callable(v)] == [n for n, v in vars(T).items() if callable(v)] == [
        "__init__", "initialize", "forward"]
    indent = " " * 8
    assert B.__doc__ == ("\n    Base class for face enhancement models.\n\n    Improves face image quality by reducing "
                         "artifacts, enhancing details,\n    and restoring facial features using generative models "
                         "like GFPGAN.\n    ")
    assert O.__doc__ == "GFPGAN Face enhancer using ONNX Runtime for face quality improvement."
    assert T.__doc__ == "Face enhancer using TensorRT for high-performance face quality improvement."
    assert B.forward.__doc__ == "\n%sPlaceholder for the forward method.\n%s" % (indent, indent)
    assert B.batch_get.__doc__ == "\n".join([
        "", indent + "Process a batch of images for face enhancement.", "", indent + "Args:",
        indent + "    images (list[cp.ndarray]): List of input images.", "", indent + "Returns:",
        indent + "    list[cp.ndarray]: List of enhanced images.", indent])
    for C, what in ((O, "ONNX"), (T, "TensorRT")):
        assert C.forward.__doc__ == "\n".join([
            "", indent + "Execute %s inference on a preprocessed batch." % what, "", indent + "Args:",
            indent + "    batch (cp.ndarray): Preprocessed batch tensor of shape (N, C, H, W).", "",
            indent + "Returns:", indent + "    cp.ndarray: Output tensor from the model.", indent])
    assert {f.__doc__ for f in (B.__init__, O.__init__, T.__init__, B.get, O.initialize, T.initialize)} == {None}
    signatures = {
        (B.__init__, O.__init__, T.__init__): "(self, model_path: 'str | None' = None, model_bytes: 'bytes | None' = "
                                              "None, device: 'str' = 'cuda') -> 'None'",
        (B.forward, O.forward, T.forward): "(self, batch: 'cp.ndarray') -> 'cp.ndarray'",
        (B.get,): "(self, image: 'cp.ndarray') -> 'cp.ndarray'",
        (B.batch_get,): "(self, images: 'list[cp.ndarray]') -> 'list[cp.ndarray]'",
        (O.initialize,): "(self, model_bytes: 'bytes', device: 'str', device_id: 'str' = '0') -> 'None'",
        (T.initialize,): "(self, model_bytes: 'bytes') -> 'None'",
    }
    for fns, text in signatures.items():
        assert {str(inspect.signature(f)) for f in fns} == {text}


class Text(str):
    pass


@pytest.mark.parametrize("cls", [enh.BaseFaceEnhance, enh.OnnxFaceEnhance, enh.TrtFaceEnhance])
@pytest.mark.parametrize("args, name, got", [
    ((1,), "model_path", "int"), ((Text("m.onnx"),), "model_path", "Text"),
    ((None, bytearray(b"x")), "model_bytes", "bytearray"), ((None, None, None), "device", "NoneType"),
])
def test_constructor_argument_types(cls, args, name, got, loader_calls):
    with pytest.raises(TypeError, match=r"^Argument '%s' has incorrect type \(expected \w+, got %s\)$" % (name, got)):
        cls(*args)
    assert loader_calls == []  # before the loader base runs


def test_get_and_batch_get(monkeypatch, loader_calls):
    rx, spy_cp = Spy(rastrix), Spy(cp)
    monkeypatch.setattr(enh, "rx", rx)
    monkeypatch.setattr(enh, "cp", spy_cp)
    s = Stub(None, None, "cpu")
    assert loader_calls == [((None, None, "cpu"), {})]
    assert (s.input_size, s.input_mean, s.input_std) == (512, 0.5, 0.5) and type(s.input_size) is int
    s.input_size = 24  # the host's value takes effect on the next call
    imgs = [image(1), image(2, 30, 20), image(3)]
    s.reads[:] = []
    one = s.get(imgs[0])
    many = s.batch_get(imgs)
    assert s.reads == ["size", "std", "mean", "std", "mean"] + ["std", "size", "mean", "std", "mean"]
    tail = [("swap_rb", True), ("layout", "HWC")]
    out_kw = [("std", 0.5), ("mean", 0.5), ("swap_rb", True), ("layout", "NCHW")]
    (name1, a1, k1), (_, _, k2), (name3, a3, k3), (_, _, k4) = rx.calls
    assert (name1, a1, list(k1.items())) == ("image_to_batch", (imgs[0],), [("size", 24), ("std", 0.5), ("mean", 0.5)] + tail)
    assert (name3, list(k3.items())) == ("images_to_batch", [("std", 0.5), ("size", 24), ("mean", 0.5)] + tail)
    assert a3[0] is imgs and list(k2.items()) == list(k4.items()) == out_kw
    assert [b.shape for b in s.seen] == [(1, 3, 24, 24)] * 4  # N images: N forwards of one, in list order
    whole = rastrix.images_to_batch(imgs, std=0.5, size=24, mean=0.5, swap_rb=True)
    for k, b in enumerate(s.seen[1:]):
        assert host(b).tolist() == host(whole[k:k + 1]).tolist()
    (_, args, kwargs), = spy_cp.named("concatenate")
    assert kwargs == {"axis": 0} and len(args[0]) == 3
    assert type(many) is list and len(many) == 3
    for img, got in zip([imgs[0]] + imgs, [one] + many):
        np.testing.assert_allclose(host(got), host(rastrix.resize(img, (24, 24))), atol=1e-6)


class Images(list):
    pass


def test_batch_get_checks(monkeypatch):
    for images, got in [((image(),), "tuple"), (Images([image()]), "Images"), (None, "NoneType")]:
        with pytest.raises(TypeError, match=r"'images' has incorrect type \(expected list, got %s\)$" % got):
            Stub().batch_get(images)
    s = Stub()
    with pytest.raises(Exception):
        s.batch_get([])  # fails in the library, before any forward
    assert s.seen == []
    for returned, outcome in [(("a",), TypeError("Expected list, got tuple")), (None, None), ([], [])]:
        monkeypatch.setattr(enh, "rx", Spy(rastrix, batch_to_images=lambda *a, **k: returned))
        if isinstance(outcome, Exception):
            with pytest.raises(TypeError, match="^%s$" % outcome):
                Stub().batch_get([image()])
        else:
            assert Stub().batch_get([image()]) == outcome
    b = enh.BaseFaceEnhance()
    for call in (lambda: b.get(image()), lambda: b.batch_get([image()])):
        with pytest.raises(NotImplementedError, match="^forward method must be implemented in subclass$"):
            call()


# ---- ONNX Runtime back-end ---------------------------------------------------------------------------

class CountingSession:
    def __init__(self, real):
        self.real, self.input_reads, self.runs = real, 0, []

    def get_inputs(self):
        self.input_reads += 1
        return self.real.get_inputs()

    def run(self, *args):
        self.runs.append(args)
        return self.real.run(*args)


def with_input_shape(model_bytes, shape):
    m = onnx.load_model_from_string(model_bytes)
    for vi in (m.graph.input[0], m.graph.output[0]):
        for d, v in zip(vi.type.tensor_type.shape.dim, shape):
            d.Clear()
            setattr(d, "dim_value" if isinstance(v, int) else "dim_param", v)
    return m.SerializeToString()


@pytest.mark.parametrize("shape, size", [((1, 3, 64, 64), 64), ((1, 3, 256, 192), 256), ((1, 3, "H", "W"), "H")])
def test_onnx_metadata_and_forward(shape, size, monkeypatch):
    model = with_input_shape(models.restorer(size=4), shape)
    ort = Spy(onnxruntime, InferenceSession=lambda b, **kw: CountingSession(
        onnxruntime.InferenceSession(b, providers=["CPUExecutionProvider"])))
    monkeypatch.setattr(enh, "onnxruntime", ort)
    o = enh.OnnxFaceEnhance(model_bytes=model, device="cpu")
    assert [c[0] for c in ort.calls] == ["preload_dlls", "SessionOptions", "InferenceSession"]
    assert o.session.input_reads == 3  # a fresh read per attribute
    assert (o.input_name, o.input_shape, o.dtype, o.input_size) == ("input", list(shape), "tensor(float)", size)
    spy_cp = Spy(cp)
    monkeypatch.setattr(enh, "cp", spy_cp)
    batch = cp.asarray(np.random.default_rng(1).uniform(-1, 1, [d if type(d) is int else 16 for d in shape]), cp.float32)
    out = o.forward(batch)
    assert [c[0] for c in spy_cp.calls] == ["asnumpy", "asarray"] and spy_cp.calls[0][1] == (batch,)
    (names, feed), = o.session.runs
    assert names is None and list(feed) == ["input"] and isinstance(out, cp.ndarray)
    np.testing.assert_allclose(host(out), restored(model, batch), atol=1e-6)


# ---- TensorRT back-end: construction -------------------------------------------------------------

@pytest.mark.parametrize("device, index", [
    ("cuda", 0), ("cpu", 0), ("cuda:1", 1), ("a:b:2", 2), ("x:y:3", 3), ("cuda: 4 ", 4),
    ("cuda:", ValueError), ("cuda:a", ValueError), ("1:cuda", ValueError),
])
def test_device_index(device, index, loader_calls):
    if index is ValueError:
        with pytest.raises(ValueError, match="invalid literal for int"):
            Recorder(None, b"engine", device)
        assert loader_calls == []  # before the role's constructor
        return
    r = Recorder(None, b"engine", device)
    assert r.device_id == index and type(r.device_id) is int and r.initialized == (b"engine",)
    assert loader_calls == [((None, b"engine", device), {})]


@pytest.mark.parametrize("given, present, built, engine_rel", [
    ("m.onnx", ["m.onnx"], True, "m.trt"),
    ("m.onnx", ["m.onnx", "m.trt"], False, "m.trt"),
    ("a.onnx.d/m.onnx", ["a.onnx.d/m.onnx", "a.trt.d/m.trt"], False, "a.trt.d/m.trt"),
    ("m.trt", ["m.trt", "m.onnx"], False, "m.trt"),
    ("M.ONNX", ["M.ONNX"], False, "M.ONNX"),  # the suffix tests are case-sensitive
    ("m.plan", ["m.plan"], False, "m.plan"),
    ("w.onnx", ["w.onnx"], True, FAILED_BUILD + "w.trt"),  # a converter that writes nothing
    ("gone.onnx", [], True, FAILED_BUILD + "gone.trt"),  # the ONNX file isn't tested first
    ("gone.trt", [], False, FileNotFoundError), ("gone.plan", [], False, FileNotFoundError),
])
@pytest.mark.parametrize("given_bytes", [None, b"ignored"])
def test_engine_file_rule(given, present, built, engine_rel, given_bytes, tmp_path, monkeypatch):
    def convert(**kw):  # writes the engine unless told to fail
        if not given.startswith(("w.", "gone.")):
            pathlib.Path(kw["engine_path"]).write_bytes(b"built")

    rx = Spy(rastrix, onnx_to_trt_fixed_shape=convert)
    monkeypatch.setattr(enh, "rx", rx)
    p = lambda rel: str(tmp_path / rel)  # noqa: E731
    for rel in present:
        (tmp_path / rel).parent.mkdir(exist_ok=True)
        (tmp_path / rel).write_bytes(b"engine of " + rel.encode())
    if engine_rel is FileNotFoundError or engine_rel.startswith(FAILED_BUILD):
        with pytest.raises(FileNotFoundError) as e:
            Recorder(p(given), given_bytes)
        if engine_rel is not FileNotFoundError:
            assert str(e.value) == FAILED_BUILD + p(engine_rel[len(FAILED_BUILD):])
    else:
        r = Recorder(p(given), given_bytes)
        assert r.initialized == ((tmp_path / engine_rel).read_bytes(),)  # a given path beats given bytes
        assert (r.model_path, r.model_bytes) == (p(given), given_bytes)  # engine path and bytes read not kept
    calls = rx.named("onnx_to_trt_fixed_shape")
    assert calls == ([("onnx_to_trt_fixed_shape", (), {"onnx_path": p(given), "engine_path": p(
        given.replace(".onnx", ".trt")), "input_shape": (1, 3, 512, 512), "precision": "tf32"})] if built else [])
    assert not calls or list(calls[0][2]) == ["onnx_path", "engine_path", "input_shape", "precision"]


def test_without_a_model_and_without_assertions(monkeypatch):
    opened = []
    monkeypatch.setattr(enh, "open", lambda *a: opened.append(a), raising=False)
    with pytest.raises(ValueError, match="^%s$" % NO_MODEL):
        Recorder()
    assert Recorder(model_bytes=b"e").initialized == (b"e",) and opened == []
    if not hasattr(trt, "_standin"):
        return
    code = ("import sys; sys.path[:0] = [%r, %r]\n"
            "import cupy as cp, models, tensorrt\n"
            "import corvanta.enhance as enh\n"
            "t = enh.TrtFaceEnhance(model_bytes=tensorrt._standin.build_engine(models.restorer(size=8)))\n"
            "t.ctx.execute_async_v3 = lambda handle: False\n"
            "for make in (lambda: enh.OnnxFaceEnhance(device='cpu'), enh.TrtFaceEnhance,\n"
            "             lambda: t.forward(cp.zeros((1, 3, 8, 8), cp.float32))):\n"
            "    try:\n        make()\n    except Exception as e:\n        print(type(e).__name__, e)\n") % (
                os.path.join(TESTS, "standins"), TESTS)
    run = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "TypeError Argument 'model_bytes' has incorrect type (expected bytes, got NoneType)",
        "ValueError " + NO_MODEL,
        "RuntimeError TensorRT execution failed",  # never a stale output
    ]


# ---- TensorRT back-end: set-up and execution -----------------------------------------------------

@standin
def test_trt_initialize(t16, engine_16):
    t = t16
    assert t.d_inputs == {"input": None} and t.input_name == "input" and t.input_size == 512
    assert list(t.d_outputs) == ["output"] and t.d_outputs["output"].shape == (1, 3, 16, 16)
    assert not hasattr(t, "logger") and not hasattr(t, "runtime") and isinstance(t.stream, cp.cuda.Stream)
    assert t.ctx.get_tensor_address("output") == t.d_outputs["output"].data.ptr
    assert t.ctx.get_tensor_address("input") == 0  # no input buffer before the first forward
    t.forward(batch16())
    t.initialize(engine_16)  # everything anew; the input buffer is dropped
    assert t.d_inputs == {"input": None}
    with pytest.raises(TypeError, match="'model_bytes' has incorrect type"):
        t.initialize(None)
    with pytest.raises(AttributeError, match="deserialize"):
        t.initialize(b"no engine")
    two = enh.TrtFaceEnhance(model_bytes=engine(models.swapper(size=8, batch=1)))
    assert two.d_inputs == {"target": None, "source": None} and two.input_name == "source"  # the last input


@standin
def test_trt_forward(t16):
    t, model = t16, models.restorer(size=16)
    out_buffer = t.d_outputs["output"]
    trt._log.clear()
    first = t.forward(batch16(1))
    kept = host(first).copy()
    np.testing.assert_allclose(kept, restored(model, batch16(1)), atol=1e-6)
    buffer = t.d_inputs["input"]
    assert buffer.shape == (1, 3, 16, 16) and buffer.dtype == np.float32 and first.data.ptr != out_buffer.data.ptr
    assert trt._log == [("set_tensor_address", "input", buffer.data.ptr), ("execute", t.stream.ptr)]

    trt._log.clear()
    with cp.cuda.Stream() as caller:
        cp._standin.log.clear()
        half = t.forward(batch16(2, np.float16))  # converted into the engine-typed buffer
        s = t.stream.ptr
        assert cp._standin.log == [("record", caller.ptr), ("wait_event", s), ("execute", s), ("synchronize", s)]
    assert trt._log == [("execute", s)]  # no re-make, no rebinding, no input shape
    assert t.d_inputs["input"] is buffer and t.d_outputs["output"] is out_buffer
    np.testing.assert_allclose(host(half), restored(model, batch16(2, np.float16)), atol=1e-3)
    assert host(first).tolist() == kept.tolist()  # a returned array is the caller's

    trt._log.clear()
    with pytest.raises(ValueError, match=r"\(2, 3, 16, 16\).*\(1, 3, 16, 16\)"):
        t.forward(batch16(3, n=2))
    buffer = t.d_inputs["input"]  # re-made, bound and filled for that batch, but nothing ran
    assert trt._log == [("set_tensor_address", "input", buffer.data.ptr)]
    assert host(buffer).tolist() == host(batch16(3, n=2)).tolist()

    two = models.parser(classes=3, size=16, batch=1, outputs=2)
    np.testing.assert_allclose(host(enh.TrtFaceEnhance(model_bytes=engine(two)).forward(batch16(4))),
                               restored(two, batch16(4)), atol=1e-5)  # the first output


@standin
@pytest.mark.skipif(cp.cuda.runtime.getDeviceCount() < 2, reason="needs two devices")
def test_trt_device_context_and_failed_execution(engine_16):
    with cp.cuda.Device(1):
        batch = batch16()  # made by the host on the model's device
    with cp.cuda.Device(0):
        t = enh.TrtFaceEnhance(model_bytes=engine_16, device="cuda:1")
        out = t.forward(batch)
        assert cp.cuda.runtime.getDevice() == 0
        t.ctx.execute_async_v3 = lambda handle: False
        with pytest.raises(AssertionError, match="^TensorRT execution failed$"):
            t.forward(batch)
        assert cp.cuda.runtime.getDevice() == 0
    assert {a.device.id for a in (out, t.d_inputs["input"], t.d_outputs["output"])} == {1} and t.stream.device_id == 1


# ---- end to end ------------------------------------------------------------------------------------

@standin
def test_backends_restore_alike(tmp_path, monkeypatch):
    path = tmp_path / "gfp.onnx"
    path.write_bytes(models.restorer())
    rx = Spy(rastrix)
    monkeypatch.setattr(enh, "rx", rx)
    t, o = enh.TrtFaceEnhance(str(path)), enh.OnnxFaceEnhance(str(path), device="cpu")
    assert len(rx.named("onnx_to_trt_fixed_shape")) == 1 and (tmp_path / "gfp.trt").exists()
    imgs = [image(6, 96, 80), image(7, 512, 512)]
    one = t.get(imgs[0])
    assert one.shape == (512, 512, 3)
    np.testing.assert_allclose(host(one), host(o.get(imgs[0])), atol=1e-5)
    for a, b in zip(t.batch_get(imgs), o.batch_get(imgs), strict=True):
        np.testing.assert_allclose(host(a), host(b), atol=1e-5)


@standin
def test_no_leaks(t16):
    t16.input_size = 16
    o = enh.OnnxFaceEnhance(model_bytes=models.restorer(size=16), device="cpu")
    img = image(8, 20, 24)

    def calls():
        t16.get(img + 0)
        t16.batch_get([img + 0, img + 0])
        trt._log.clear()  # keep the stand-in's call log out of the measures

    assert_no_leaks(calls, lambda: o.batch_get([img + 0]), lambda: t16.forward(batch16(n=2)),
                    lambda: t16.initialize(None), repeat=80, warmup=30)
