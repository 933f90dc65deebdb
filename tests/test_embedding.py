"""Identity latents: the shared get, the base class's fallback matrix file, and the ONNX Runtime and
TensorRT embedders on tiny models (TensorRT through its CPU stand-in unless a real one is set up)."""
import inspect
import os
import subprocess
import sys
import types

import cupy as cp
import numpy as np
import onnx
import onnxruntime
import pytest

import corvanta.detection as det
import corvanta.embedding as emb
import corvanta.idmap
import corvanta.schema
import models
from models import Spy
import rastrix
from leakcheck import assert_no_leaks

trt = pytest.importorskip("tensorrt")
standin = pytest.mark.skipif(not hasattr(trt, "_standin"), reason="inspects the TensorRT stand-in")
TESTS = os.path.dirname(os.path.abspath(__file__))
CONVERTER_KW = {"precision": "bf16", "batch_range": (1, 1, 1), "spatial_range": (112, 112, 112)}


def engine(onnx_bytes, **kw):
    if not hasattr(trt, "_standin"):
        pytest.skip("builds engines with the TensorRT stand-in")
    return trt._standin.build_engine(onnx_bytes, **kw)


def image(seed=0, h=112, w=112):
    return cp.asarray(np.random.default_rng(seed).uniform(0, 1, (h, w, 3)).astype(np.float32))


def face(img):
    return types.SimpleNamespace(image=img)  # get reads nothing else of the record


def unit(v):
    v = np.asarray(v, np.float64)
    return v / np.linalg.norm(v)


def reference_latent(embedding, matrix):
    return unit(unit(embedding).reshape(1, -1) @ np.asarray(matrix, np.float64))


def reference_embedding(model_bytes, img, mean, std):
    x = ((cp.asnumpy(img).astype(np.float32) - mean) / std).transpose(2, 0, 1)[None]
    sess = onnxruntime.InferenceSession(model_bytes, providers=["CPUExecutionProvider"])
    return sess.run(None, {sess.get_inputs()[0].name: np.ascontiguousarray(x, np.float32)})[0]


def host(a):
    return cp.asnumpy(a)


@pytest.fixture(scope="module")
def plain_model():
    return models.embedder(normalise="none")


@pytest.fixture(scope="module")
def onnx_obj(plain_model):
    return emb.OnnxFaceEmbedding(None, plain_model, "cpu")


@pytest.fixture(scope="module")
def trt_engine(plain_model):
    return engine(plain_model)


@pytest.fixture(scope="module")
def trt_obj(trt_engine):
    return emb.TrtFaceEmbedding(model_bytes=trt_engine)


class Stub(emb.BaseFaceEmbedding):
    def __init__(self, result, matrix=None):
        super().__init__()
        self.result, self.seen = result, []
        if matrix is not None:
            self.idmap = matrix

    def forward(self, images):
        self.seen.append(images)
        return self.result


# ---- surface -------------------------------------------------------------------------------------

def test_surface():
    B, O, T = emb.BaseFaceEmbedding, emb.OnnxFaceEmbedding, emb.TrtFaceEmbedding
    assert B.__bases__ == (emb.BaseModelLoader,) and O.__bases__ == (B,) and T.__bases__ == (B,)
    assert B.__doc__ == ("Base class for face feature extraction models.\n\nExtracts facial embeddings/features "
                         "from face images for recognition,\ncomparison, and identity-based operations like face swapping.")
    assert O.__doc__ == "Face feature extractor using ONNX Runtime for inference."
    assert T.__doc__ == "Face feature extractor using TensorRT for high-performance inference."
    assert emb.load_idmap is corvanta.idmap.load_idmap and emb.CorvantaFace is corvanta.schema.CorvantaFace
    assert emb.rx is rastrix and emb.onnx is onnx and emb.onnxruntime is onnxruntime and emb.cp is cp
    assert not hasattr(emb, "trt")  # imported by the TensorRT back-end's initialize only
    for C in (B, O, T):
        assert C.__init__.__annotations__ == {"model_path": "str | None", "model_bytes": "bytes | None",
                                              "device": "str", "return": "None"}
        assert C.__init__.__defaults__ == (None, None, "cuda")
        assert C.forward.__annotations__ == {"images": "cp.ndarray | list[cp.ndarray]", "return": "cp.ndarray"}
    assert B.get.__annotations__ == {"return": "cp.ndarray"}
    assert B.get.__doc__ == "Extract embedding for a single face.\nCommon implementation shared by Onnx and Trt versions."
    assert B.forward.__doc__ == "Placeholder for the forward method." and T.forward.__doc__ == "Forward pass using TensorRT"
    assert O.forward.__doc__ is None and O.__init__.__doc__ is None
    for C in (O, T):
        assert C.get.__annotations__ == {"face": "CorvantaFace", "return": "cp.ndarray"}
        assert C.get.__doc__ == "Extract embedding for a single face"
        assert C.initialize.__annotations__ == {"model_bytes": "bytes", "device": "str", "device_id": "str",
                                                "return": "None"}
    assert O.initialize.__defaults__ == ("0",) and T.initialize.__defaults__ is None
    assert str(inspect.signature(T.initialize)) == "(self, model_bytes: 'bytes', device: 'str', device_id: 'str') -> 'None'"


def test_argument_types(onnx_obj, trt_obj, trt_engine, monkeypatch):
    loads = Spy(corvanta.idmap)
    monkeypatch.setattr(emb, "load_idmap", loads.load_idmap)
    for C in (emb.BaseFaceEmbedding, emb.OnnxFaceEmbedding, emb.TrtFaceEmbedding):
        with pytest.raises(TypeError, match=r"^Argument 'model_path' has incorrect type \(expected str, got int\)$"):
            C(1)
        with pytest.raises(TypeError, match=r"'model_bytes' .*expected bytes, got bytearray"):
            C(None, bytearray(b"x"))
        with pytest.raises(TypeError, match=r"'device' .*expected str, got NoneType"):
            C(device=None)
    for obj, args, name in [(onnx_obj, (None, "cpu"), "model_bytes"), (onnx_obj, (b"", "cpu", 0), "device_id"),
                            (trt_obj, (trt_engine, "cuda", None), "device_id"), (trt_obj, (trt_engine, b"cuda", "0"), "device")]:
        with pytest.raises(TypeError, match="'%s' has incorrect type" % name):
            obj.initialize(*args)
    with pytest.raises(TypeError):
        trt_obj.initialize(trt_engine, "cuda")  # no default device_id here
    assert loads.calls == []
    with pytest.raises(TypeError):
        onnx_obj.get()
    with pytest.raises(TypeError):
        onnx_obj.get(face(image()), 1)


# ---- the identity latent ---------------------------------------------------------------------------

def test_latent_against_reference():
    rng = np.random.default_rng(1)
    e = rng.standard_normal((1, 8)).astype(np.float32)
    for m in (rng.standard_normal((8, 8)), rng.standard_normal((8, 5))):  # non-symmetric, non-square
        m = m.astype(np.float32)
        s = Stub(cp.asarray(e), cp.asarray(m))
        img = image()
        latent = s.get(face(img))
        assert latent.shape == (1, m.shape[1]) and latent.dtype == np.float32
        np.testing.assert_allclose(host(latent), reference_latent(e, m), atol=1e-6)
        assert len(s.seen) == 1 and s.seen[0] is img  # the image itself, not a list
        assert host(s.result).tolist() == e.tolist()  # the embedding is left as it was
        np.testing.assert_allclose(host(s.get(face=face(img))), host(latent), atol=0)
        for other in (cp.asarray(e.reshape(-1)), cp.asarray(e * np.float32(3.5))):  # (D,) and a multiple
            np.testing.assert_allclose(host(Stub(other, cp.asarray(m)).get(face(img))), host(latent), atol=1e-6)


def test_latent_dtypes_and_replaced_matrix():
    e = cp.asarray(np.arange(1, 5, dtype=np.float32).reshape(1, 4))
    m = np.arange(16, dtype=np.float64).reshape(4, 4) - 5
    s = Stub(e, cp.asarray(m))
    assert s.get(face(image())).dtype == np.float64  # nothing converts the product
    assert Stub(e.astype(np.float64), cp.asarray(m, np.float32)).get(face(image())).dtype == np.float64
    s.idmap = cp.asarray(m.T.copy())  # the next call uses whatever the attribute holds
    np.testing.assert_allclose(host(s.get(face(image()))), reference_latent(host(e), m.T), atol=1e-12)


@pytest.mark.parametrize("which", ["onnx", "trt"])
def test_backend_get_without_matrix(which, onnx_obj, trt_obj, monkeypatch):
    obj = onnx_obj if which == "onnx" else trt_obj
    spy = Spy(cp)
    monkeypatch.setattr(emb, "cp", spy)
    ran = []
    monkeypatch.delattr(obj, "idmap")
    obj.forward = lambda img: ran.append(img) or cp.ones((1, 512), cp.float32)
    try:
        with pytest.raises(AttributeError, match="idmap"):
            obj.get(face(image()))
    finally:
        del obj.forward
    assert len(ran) == 1 and spy.named("load") == []  # the model ran; no fallback file


# ---- the base class and its fallback file --------------------------------------------------------

def test_base_get_reads_the_plain_file_once(monkeypatch):
    spy = Spy(cp)
    monkeypatch.setattr(emb, "cp", spy)
    b = emb.BaseFaceEmbedding()
    for _ in range(2):
        with pytest.raises(NotImplementedError, match="^forward method must be implemented in subclass$"):
            b.get(face(image()))
    path = os.path.join(os.path.dirname(os.path.abspath(emb.__file__)), "idmap.npy")
    assert [c[1:] for c in spy.named("load")] == [((path,), {})]
    assert np.array_equal(host(b.idmap), host(corvanta.idmap.load_idmap()))

    spy.calls.clear()
    s = Stub(cp.ones((1, 4), cp.float32), cp.eye(4, dtype=cp.float32))
    s.get(face(image()))
    assert spy.named("load") == []


def test_base_get_failed_read_stores_nothing(monkeypatch):
    def missing(path):
        raise FileNotFoundError(path)

    spy = Spy(cp, load=missing)
    monkeypatch.setattr(emb, "cp", spy)
    b = emb.BaseFaceEmbedding()
    for n in (1, 2):
        with pytest.raises(FileNotFoundError):
            b.get(face(image()))
        assert not hasattr(b, "idmap") and len(spy.named("load")) == n


# ---- ONNX Runtime embedder -------------------------------------------------------------------------

def renamed(model_bytes, names):
    m = onnx.load_model_from_string(model_bytes)
    for node, name in zip(m.graph.node, names):
        node.name = name
    return m.SerializeToString()


IDS = ["id%d" % k for k in range(8)]


@pytest.mark.parametrize("model, expected", [
    (lambda: models.embedder(normalise="sub_mul"), (0.0, 1.0)),
    (lambda: models.embedder(normalise="minus_mul"), (0.0, 1.0)),
    (lambda: models.embedder(leading=["_minus0", "Mul_1"]), (0.0, 1.0)),
    (lambda: models.embedder(leading=["sub_0", "mul_1"]), (0.5, 0.5)),                  # case-sensitive
    (lambda: models.embedder(leading=["Sub_0", "x_1"]), (0.5, 0.5)),                    # one kind only
    (lambda: models.embedder(leading=["x_0", "Mul_1"]), (0.5, 0.5)),
    (lambda: models.embedder(leading=["Sub_0"] + IDS[1:7] + ["Mul_7"]), (0.0, 1.0)),  # eighth node seen
    (lambda: models.embedder(leading=["Sub_0"] + IDS[1:8] + ["Mul_8"]), (0.5, 0.5)),  # ninth not
    (lambda: models.embedder(normalise="none"), (0.5, 0.5)),                            # three nodes
    (lambda: renamed(models.embedder(normalise="sub_mul"), ["a", "b"]), (0.5, 0.5)),  # names, not op types
    (lambda: renamed(models.embedder(leading=["p", "q"]), ["Sub", "Mul"]), (0.0, 1.0)),
])
def test_normalisation_from_node_names(model, expected):
    o = emb.OnnxFaceEmbedding(model_bytes=model(), device="cpu")
    assert (o.input_mean, o.input_std) == expected and type(o.input_mean) is float


def test_metadata_and_forward(onnx_obj, plain_model, monkeypatch):
    o = emb.OnnxFaceEmbedding(model_bytes=models.embedder(input_shape=(1, 3, 112, 96)), device="cpu")
    assert o.input_size == (96, 112) and o.input_shape == [1, 3, 112, 96]
    assert (onnx_obj.input_size, onnx_obj.input_name, onnx_obj.output_names, onnx_obj.output_shape) == (
        (112, 112), "input.1", ["embedding"], [1, 512])
    img = image(2)
    one = onnx_obj.forward(img)
    assert one.shape == (1, 512) and isinstance(one, cp.ndarray)
    np.testing.assert_allclose(host(one), reference_embedding(plain_model, img, 0.5, 0.5), atol=1e-5)
    assert host(onnx_obj.forward([img])).tolist() == host(one).tolist()

    spy = Spy(rastrix)
    monkeypatch.setattr(emb, "rx", spy)

    class Images(list):
        pass

    batch = Images([img])
    assert host(onnx_obj.forward(batch)).tolist() == host(one).tolist()
    pair = (img, img)
    with pytest.raises(ValueError, match="3 dimensions, got 4"):
        onnx_obj.forward(pair)  # a tuple is one element
    (_, a1, k1), (_, a2, _) = spy.named("images_to_batch")
    assert len(a1) == 1 and a1[0] is batch and type(a2[0]) is list and len(a2[0]) == 1 and a2[0][0] is pair
    assert list(k1.items()) == [("std", 0.5), ("size", (112, 112)), ("mean", 0.5)]
    monkeypatch.setattr(emb, "rx", Spy(rastrix, images_to_batch=lambda *a, **k: rastrix.images_to_batch(*a, **k)[None]))
    assert host(onnx_obj.forward(img)).tolist() == host(one).tolist()  # a five-dimensional batch is squeezed


def test_one_output_assertion(tmp_path):
    two = models.parser(classes=2, size=16, outputs=2)
    with pytest.raises(AssertionError) as e:
        emb.OnnxFaceEmbedding(model_bytes=two, device="cpu")
    assert str(e.value) == ""
    o = emb.OnnxFaceEmbedding(model_bytes=models.embedder(dim=8), device="cpu")
    with pytest.raises(AssertionError):
        o.initialize(two, "cpu")
    assert o.output_names == ["output", "output_aux"] and o.output_shape == [1, 8]  # names stored first
    with pytest.raises(AssertionError, match="^model_bytes must be provided if model_path is not specified$"):
        emb.OnnxFaceEmbedding(device="cpu")

    path = tmp_path / "two.onnx"
    path.write_bytes(two)
    code = ("import sys; sys.path[:0] = [%r, %r]\n"
            "sys.modules['tensorrt'] = None\n"  # the module and this back-end need no TensorRT
            "import corvanta.embedding as emb\n"
            "o = emb.OnnxFaceEmbedding(%r, None, 'cpu'); print(o.output_names)\n"
            "try:\n    emb.OnnxFaceEmbedding(device='cpu')\nexcept TypeError as e:\n    print(e)\n") % (
                os.path.join(TESTS, "standins"), TESTS, str(path))
    run = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["['output', 'output_aux']",
                                       "Argument 'model_bytes' has incorrect type (expected bytes, got NoneType)"]


def test_providers_and_order(plain_model, monkeypatch):
    events = []
    real = onnxruntime.InferenceSession

    def session(model_bytes, **kw):
        events.append("session")
        return real(model_bytes, providers=["CPUExecutionProvider"])

    def load_idmap():
        events.append("idmap")
        return corvanta.idmap.load_idmap()

    ort = Spy(onnxruntime, InferenceSession=session)
    monkeypatch.setattr(emb, "onnxruntime", ort)
    monkeypatch.setattr(emb, "load_idmap", load_idmap)
    emb.OnnxFaceEmbedding(None, plain_model, "cuda:1")
    assert events == ["idmap", "session"] and [c[0] for c in ort.calls] == [
        "preload_dlls", "SessionOptions", "InferenceSession"]
    kw = ort.named("InferenceSession")[0][2]
    assert list(kw) == ["session_options", "providers", "provider_options"]
    assert kw["providers"] == ["CUDAExecutionProvider"] and kw["provider_options"] == [{"device_id": "1"}]
    assert (kw["session_options"].log_severity_level, kw["session_options"].log_verbosity_level) == (4, 4)
    o = emb.OnnxFaceEmbedding(None, plain_model, "cpu")
    kw = ort.named("InferenceSession")[1][2]
    assert kw["providers"] == ["CPUExecutionProvider"] and kw["provider_options"] == [{}]
    o.initialize(plain_model, "cuda:1", "3")  # the provider's device comes from device_id
    assert ort.named("InferenceSession")[2][2]["provider_options"] == [{"device_id": "3"}]

    def missing():
        raise FileNotFoundError("IDMAP file not found: nowhere")

    monkeypatch.setattr(emb, "load_idmap", missing)
    ort.calls.clear()
    fresh = emb.OnnxFaceEmbedding.__new__(emb.OnnxFaceEmbedding)
    emb.BaseFaceEmbedding.__init__(fresh, None, None, "cpu")
    with pytest.raises(FileNotFoundError, match="^IDMAP file not found: nowhere$"):
        fresh.initialize(plain_model, "cpu")
    assert not hasattr(fresh, "session") and ort.calls == []
    with pytest.raises(FileNotFoundError):
        emb.OnnxFaceEmbedding(None, plain_model, "cpu")
    assert ort.calls == []


# ---- TensorRT embedder: model files ----------------------------------------------------------------

@pytest.fixture
def files(tmp_path, plain_model, monkeypatch):
    spy = Spy(rastrix)
    monkeypatch.setattr(emb, "rx", spy)
    d = tmp_path

    def onnx_file(rel):
        (d / rel).parent.mkdir(parents=True, exist_ok=True)
        (d / rel).write_bytes(plain_model)

    def trt_file(rel, seed=3):
        (d / rel).parent.mkdir(parents=True, exist_ok=True)
        (d / rel).write_bytes(engine(models.embedder(normalise="none", seed=seed)))

    return types.SimpleNamespace(d=d, p=lambda rel: str(d / rel), rx=spy, onnx=onnx_file, trt=trt_file)


@standin
@pytest.mark.parametrize("given, present, onnx_rel, trt_rel, built", [
    ("face.onnx", ["face.onnx"], "face.onnx", "face.trt", True),
    ("face.trt", ["face.onnx"], "face.onnx", "face.trt", True),
    ("face.trt", ["face.trt"], None, "face.trt", False),
    ("face.onnx", ["face.onnx", "face.trt"], None, "face.trt", False),
    ("nets.onnx.d/face.onnx", ["nets.onnx.d/face.onnx", "nets.trt.d/"], "nets.onnx.d/face.onnx", "nets.trt.d/face.trt", True),
    ("nets.trt.d/face.trt", ["nets.onnx.d/face.onnx", "nets.trt.d/"], "nets.onnx.d/face.onnx", "nets.trt.d/face.trt", True),
    ("face.engine", ["face.engine"], None, "face.engine", False),
    ("M.ONNX", ["M.ONNX"], None, "M.ONNX", False),  # the suffix test is case-sensitive
])
def test_model_file_rule(files, given, present, onnx_rel, trt_rel, built):
    for rel in present:
        if rel.endswith("/"):
            (files.d / rel).mkdir()
        elif rel.endswith(".onnx"):
            files.onnx(rel)
        else:
            files.trt(rel, seed=7)
    t = emb.TrtFaceEmbedding(files.p(given))
    calls = files.rx.named("onnx_to_trt_dynamic_shape")
    if built:
        assert len(calls) == 1 and calls[0][1] == (files.p(onnx_rel), files.p(trt_rel))
        assert list(calls[0][2].items()) == list(CONVERTER_KW.items())
    else:
        assert calls == []
    assert t.model_path == files.p(trt_rel) and t.model_bytes == (files.d / trt_rel).read_bytes()
    assert t.forward(image()).shape == (512,)


@standin
def test_model_file_errors(files, trt_engine):
    for given, onnx_rel, trt_rel in [("m.onnx", "m.onnx", "m.trt"), ("m.trt", "m.onnx", "m.trt"),
                                     ("face.engine", "face.engine", "face.engine"), ("M.ONNX", "M.ONNX", "M.ONNX")]:
        with pytest.raises(FileNotFoundError) as e:
            emb.TrtFaceEmbedding(files.p(given))
        assert str(e.value) == "Model file not found: onnx: %s:False, trt: %s:False" % (files.p(onnx_rel), files.p(trt_rel))
    files.onnx("w.onnx")
    files.rx._replace["onnx_to_trt_dynamic_shape"] = lambda *a, **k: None  # a converter that writes nothing
    with pytest.raises(FileNotFoundError) as e:
        emb.TrtFaceEmbedding(files.p("w.onnx"))
    assert str(e.value) == "Model file not found: " + files.p("w.trt")
    t = emb.TrtFaceEmbedding(files.p("absent.onnx"), trt_engine)  # bytes given: no file is looked at
    assert t.model_path == files.p("absent.onnx") and t.model_bytes is trt_engine
    assert len(files.rx.named("onnx_to_trt_dynamic_shape")) == 1
    with pytest.raises(TypeError):
        emb.TrtFaceEmbedding()


# ---- TensorRT embedder: set-up and execution ---------------------------------------------------------

@standin
def test_initialize_attributes(trt_obj):
    t = trt_obj
    assert (t.input_tensor, t.output_tensor, t.output_names) == ("input.1", "embedding", ["embedding"])
    assert (t.input_shape, t.output_shape, t.input_size, t.input_mean, t.input_std) == (
        [1, 3, 112, 112], [1, 512], (112, 112), 0.5, 0.5)
    tall = emb.TrtFaceEmbedding(model_bytes=engine(models.embedder(input_shape=(1, 3, 128, 96))))
    assert tall.input_size == (96, 128) and tall.input_shape == [1, 3, 128, 96]
    assert tall.forward(image(h=50, w=40)).shape == (512,)  # resized to the model's input size


@standin
@pytest.mark.skipif(cp.cuda.runtime.getDeviceCount() < 2, reason="needs two devices")
def test_devices(trt_obj, trt_engine):
    dev = cp.cuda.runtime.getDevice
    expected = host(trt_obj.forward(image(4)))
    with cp.cuda.Device(0):
        far = emb.TrtFaceEmbedding(model_bytes=trt_engine, device="cuda:1")
        assert dev() == 0
        with pytest.raises(AttributeError):
            emb.TrtFaceEmbedding(model_bytes=b"junk", device="cuda:1")
        assert dev() == 0
    with cp.cuda.Device(1):
        near = emb.TrtFaceEmbedding(model_bytes=trt_engine, device="cuda")
        assert dev() == 1
        np.testing.assert_allclose(host(far.forward(image(4))), expected, atol=1e-6)  # the host's device
    assert far.idmap.device.id == 0 and near.idmap.device.id == 1  # made on the caller's device
    assert {b.device.id for b in [*far.d_inputs.values(), *far.d_outputs.values()]} == {1}
    assert {b.device.id for b in [*near.d_inputs.values(), *near.d_outputs.values()]} == {0}


@standin
def test_forward_result_and_ordering(trt_obj, plain_model):
    t = trt_obj
    img = image(5)
    first = t.forward(img)
    kept = host(first).copy()
    assert first.shape == (512,) and first.data.ptr != t.d_outputs["embedding"].data.ptr
    np.testing.assert_allclose(kept, reference_embedding(plain_model, img, 0.5, 0.5)[0], atol=1e-5)
    assert host(t.forward([img])).tolist() == kept.tolist()

    buffer = t.d_inputs["input.1"]
    trt._log.clear()
    with cp.cuda.Stream() as caller:
        cp._standin.log.clear()
        other = t.forward(image(6))
        s = t.stream.ptr
        assert cp._standin.log == [("record", caller.ptr), ("wait_event", s), ("execute", s), ("synchronize", s)]
    assert host(first).tolist() == kept.tolist() and host(other).tolist() != kept.tolist()
    assert t.d_inputs["input.1"] is buffer and [e for e in trt._log if e[0] == "set_tensor_address"] == []


@standin
def test_refused_engines_batches_and_executions(trt_obj):
    dynamic = engine(models.embedder(input_shape=("N", 3, 112, 112), normalise="none"),
                     profiles={"input.1": ((1, 3, 112, 112), (1, 3, 112, 112), (4, 3, 112, 112))})
    with pytest.raises(ValueError, match="dynamic dimensions"):
        emb.TrtFaceEmbedding(model_bytes=dynamic)
    t = trt_obj
    buffer = t.d_inputs["input.1"]
    trt._log.clear()
    with pytest.raises(ValueError, match=r"\(2, 3, 112, 112\).*\(1, 3, 112, 112\)"):
        t.forward([image(), image(1)])
    assert trt._log == [] and t.d_inputs["input.1"] is buffer
    t.ctx.execute_async_v3 = lambda handle: False  # the engine refuses to run
    try:
        with pytest.raises(RuntimeError):
            t.forward(image())
    finally:
        del t.ctx.execute_async_v3
    assert t.forward(image()).shape == (512,)


@standin
def test_failed_replacement_keeps_the_old_buffer(trt_engine, plain_model, monkeypatch):
    t = emb.TrtFaceEmbedding(model_bytes=trt_engine)
    odd = cp.empty((1, 3, 8, 8), cp.float32)
    t.d_inputs["input.1"] = odd  # the host put a buffer of another shape there

    def empty(*a, **k):
        monkeypatch.setattr(emb, "cp", cp)
        raise MemoryError("out of device memory")

    monkeypatch.setattr(emb, "cp", Spy(cp, empty=empty))
    with pytest.raises(MemoryError):
        t.forward(image())
    assert t.d_inputs["input.1"] is odd
    img = image(7)
    np.testing.assert_allclose(host(t.forward(img)), reference_embedding(plain_model, img, 0.5, 0.5)[0], atol=1e-5)
    assert t.d_inputs["input.1"].shape == (1, 3, 112, 112)


# ---- end to end ------------------------------------------------------------------------------------

FRAME = (480, 640, 320, 256, 128)  # a face-sized square on a black frame


@pytest.mark.parametrize("which", ["onnx", pytest.param("trt", marks=standin)])
def test_frame_to_identity_latent(which, plain_model, onnx_obj, trt_obj):
    if which == "onnx":
        detector, embedder = det.OnnxFaceDetection(model_bytes=models.detector(), device="cpu"), onnx_obj
    else:
        detector, embedder = det.TrtFaceDetection(model_bytes=engine(models.detector())), trt_obj
    faces = detector.get(cp.asarray(models.plant_square(*FRAME)), crop_size=112)
    assert len(faces) == 1 and host(faces[0].bbox).tolist() == [256, 192, 384, 320]
    latent = embedder.get(faces[0])
    assert latent.shape == (1, 512) and float(cp.linalg.norm(latent)) == pytest.approx(1.0, abs=1e-6)
    e = reference_embedding(plain_model, faces[0].image, 0.5, 0.5)
    np.testing.assert_allclose(host(latent), reference_latent(e, host(embedder.idmap)), atol=1e-5)


@standin
def test_backends_agree(onnx_obj, trt_obj):
    detector = det.OnnxFaceDetection(model_bytes=models.detector(), device="cpu")
    for f in [*detector.get(cp.asarray(models.plant_square(*FRAME)), crop_size=112), face(image(8))]:
        np.testing.assert_allclose(host(onnx_obj.get(f)), host(trt_obj.get(face=f)), atol=1e-5)


# ---- leaks -----------------------------------------------------------------------------------------

@standin
def test_no_leaks(onnx_obj, trt_obj):
    img = image(9)

    def trt_get():
        trt_obj.get(face(img + 0))
        trt._log.clear()  # keep the stand-in's call log out of the measures

    assert_no_leaks(
        lambda: onnx_obj.get(face(img + 0)),
        trt_get,
        lambda: trt_obj.forward([img, img]),
        lambda: onnx_obj.initialize(None, "cpu"),
        repeat=60, warmup=30,
    )
