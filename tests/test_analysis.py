"""Gender and age: the role's get on stub results, and the ONNX Runtime back-end on a tiny model."""
import os
import subprocess
import sys
import types
from operator import attrgetter

import cupy as cp
import numpy as np
import onnxruntime
import pytest

import corvanta.analysis as ana
import corvanta.base
import corvanta.detection as det
import corvanta.schema
import models
import rastrix
from leakcheck import assert_no_leaks
from models import Spy

TESTS = os.path.dirname(os.path.abspath(__file__))


class Stub(ana.BaseFaceAnalysis):
    def __init__(self, pred):
        super().__init__()
        self.pred, self.seen = pred, []

    def forward(self, face_image):
        self.seen.append(face_image)
        return self.pred


def face(img):
    return types.SimpleNamespace(image=img, bbox="anything", kps=None)  # get reads only the image


def image(seed=0):
    return cp.asarray(np.random.default_rng(seed).random((96, 96, 3), dtype=np.float32))


@pytest.fixture(scope="module")
def model():
    return models.gender_age()


DOCS = {"BaseFaceAnalysis": ["Base class for face analysis models.", "Analyzes faces to extract attributes such as gender and age."],
        "BaseFaceAnalysis.forward": ["Placeholder for the forward method.", "Must be implemented by subclasses."],
        "BaseFaceAnalysis.get": ["Get gender and age attributes for a face."],
        "OnnxFaceAnalysis": ["ONNX-based face analysis implementation.",
                             "Uses ONNX Runtime for inference on gender and age prediction models."],
        "OnnxFaceAnalysis.initialize": ["Initialize ONNX Runtime session."],
        "OnnxFaceAnalysis.forward": ["Run forward pass on face image."]}


def test_surface():
    B, O = ana.BaseFaceAnalysis, ana.OnnxFaceAnalysis
    assert B.__bases__ == (corvanta.base.BaseModelLoader,) and O.__bases__ == (B,) and not hasattr(ana, "trt")
    assert (ana.cp, ana.np, ana.onnxruntime, ana.rx, ana.CorvantaFace, ana.Tuple) == (
        cp, np, onnxruntime, rastrix, corvanta.schema.CorvantaFace, __import__("typing").Tuple)
    for name, lines in DOCS.items():
        indent = " " * (4 * (name.count(".") + 1))
        assert attrgetter(name)(ana).__doc__ == "".join("\n" + indent + line for line in lines) + "\n" + indent
    assert B.__init__.__doc__ is None and O.__init__.__doc__ is None
    for C in (B, O):
        assert C.__init__.__annotations__ == {"model_path": "str | None", "model_bytes": "bytes | None",
                                              "device": "str", "return": "None"} and C.__init__.__defaults__ == (None, None, "cuda")
        assert C.forward.__annotations__ == {"face_image": "cp.ndarray", "return": "cp.ndarray"}
    assert B.get.__annotations__ == {"face": "CorvantaFace", "return": "Tuple[int, int]"}
    assert O.initialize.__annotations__ == {"model_bytes": "bytes", "device": "str", "device_id": "str", "return": "None"}
    assert O.initialize.__defaults__ == ("0",)
    b = B(device="cpu")
    assert (b.input_size, b.taskname, b.input_mean, b.input_std) == (None, "genderage", 0.0, 0.0078125)
    with pytest.raises(NotImplementedError, match="^forward method must be implemented in subclass$"):
        b.get(face(image()))


@pytest.mark.parametrize("args, name", [((1,), "model_path"), ((None, bytearray()), "model_bytes"),
                                        ((None, None, None), "device")])
def test_argument_types(args, name):
    for C in (ana.BaseFaceAnalysis, ana.OnnxFaceAnalysis):
        with pytest.raises(TypeError, match=r"^Argument '%s' has incorrect type" % name):
            C(*args)


# ---- get -------------------------------------------------------------------------------------------

@pytest.mark.parametrize("pred, dtype, expected", [
    # The age is the float32 product rounded half to even (a float64 product rounds five of these
    # the other way).
    ([0.1, 0.3, 0.225], np.float32, (1, 22)), ([0.1, 0.3, 0.235], np.float32, (1, 24)),
    ([0.1, 0.3, 0.245], np.float32, (1, 24)), ([0.1, 0.3, 0.255], np.float32, (1, 26)),
    ([0.1, 0.3, 0.015], np.float32, (1, 2)), ([0.1, 0.3, 0.665], np.float32, (1, 66)),
    ([0.2, 0.8, float(np.float32(0.235))], np.float64, (1, 23)),  # its own type: float64
    ([0.5, 0.5, 0.0], np.float32, (0, 0)), ([0.9, 0.1, -0.123], np.float32, (0, -12)),  # a tie goes to 0
    ([0.0, 0.0, 1.5], np.float32, (0, 150)), ([1, 2, 3], np.int64, (1, 300)),
])
def test_get(pred, dtype, expected):
    img = image()
    s = Stub(cp.asarray(pred, dtype))
    result = s.get(face(img))
    assert result == expected and type(result) is tuple and all(type(v) is int for v in result)
    assert s.seen == [img] and s.get(face=face(img)) == expected


@pytest.mark.parametrize("optimised", [False, True])
def test_count_assertion(optimised):
    code = ("import sys; sys.path[:0] = sys.argv[1:]\n"
            "import types, cupy as cp, corvanta.analysis as ana\n"
            "class S(ana.BaseFaceAnalysis):\n    def forward(self, face_image):\n        return self.pred\n"
            "for values in ([0.4, 0.6, 0.2, 9.0], [0.6, 0.4], [0.3], []):\n"
            "    s = S(); s.pred = cp.asarray(values, cp.float32)\n"
            "    try:\n        print(s.get(types.SimpleNamespace(image=None)))\n"
            "    except Exception as e:\n        print(type(e).__name__, e)\n"
            "try:\n    ana.OnnxFaceAnalysis(device='cpu')\nexcept Exception as e:\n    print(type(e).__name__, e)\n")
    flags = ["-O"] if optimised else []
    run = subprocess.run([sys.executable, *flags, "-c", code, os.path.join(TESTS, "standins"), TESTS],
                         capture_output=True, text=True, timeout=120)
    lines = run.stdout.splitlines()
    assert run.returncode == 0 and len(lines) == 5, run.stderr
    if optimised:
        assert lines[0] == "(1, 20)" and lines[1].startswith("IndexError") and lines[2].startswith("IndexError")
        assert lines[3].startswith("ValueError")  # the arg-max of nothing
        assert lines[4] == "TypeError Argument 'model_bytes' has incorrect type (expected bytes, got NoneType)"
    else:
        assert lines[:4] == ["AssertionError Expected 3 outputs for genderage, got %d" % n for n in (4, 2, 1, 0)]
        assert lines[4] == "AssertionError model_bytes must be provided if model_path is not specified"


# ---- ONNX Runtime back-end -------------------------------------------------------------------------

def fake_session(shape):
    entry = types.SimpleNamespace
    return entry(shape=shape, get_inputs=lambda: [entry(name="data", shape=shape), entry(name="other", shape=[1])],
                 get_outputs=lambda: [entry(name="fc1"), entry(name="aux")])


@pytest.mark.parametrize("device, providers, options", [
    ("cpu", ["CPUExecutionProvider"], [{}]), ("CUDA", ["CPUExecutionProvider"], [{}]),
    ("cuda", ["CUDAExecutionProvider"], [{"device_id": "0"}]), ("cuda:1", ["CUDAExecutionProvider"], [{"device_id": "1"}]),
])
def test_session(model, monkeypatch, device, providers, options):
    ort = Spy(onnxruntime, InferenceSession=lambda data, **kw: fake_session([1, 3, "h", 40]))
    monkeypatch.setattr(ana, "onnxruntime", ort)
    o = ana.OnnxFaceAnalysis(None, model, device)
    assert [c[0] for c in ort.calls] == ["SessionOptions", "InferenceSession"]  # no preload_dlls
    (_, args, kw), = ort.named("InferenceSession")
    assert args == (model,) and list(kw) == ["session_options", "providers", "provider_options"]
    assert (kw["providers"], kw["provider_options"]) == (providers, options)
    assert (kw["session_options"].log_severity_level, kw["session_options"].log_verbosity_level) == (4, 4)
    assert (o.input_shape, o.input_size, o.input_name, o.output_names) == ([1, 3, "h", 40], (40, "h"), "data", ["fc1", "aux"])
    for shape, size in [([1, 3, 8], (40, "h")), ([1, 2, 3, 4, 5], (4, 3))]:  # fewer than 4 entries keep the last size
        o.session = None
        ort._replace["InferenceSession"] = lambda data, **kw: fake_session(shape)
        o.initialize(b"", "cpu")
        assert o.input_shape == shape and o.input_size == size and o.session.shape == shape


def test_model_bytes(model, tmp_path):
    (tmp_path / "ga.onnx").write_bytes(model)
    assert ana.OnnxFaceAnalysis(str(tmp_path / "ga.onnx"), device="cpu").model_bytes == model
    o = ana.OnnxFaceAnalysis(str(tmp_path / "absent.onnx"), model, "cpu")  # bytes win: no file is opened
    assert o.model_bytes is model and (o.input_size, o.input_name, o.output_names) == ((96, 96), "data", ["fc1"])
    with pytest.raises(FileNotFoundError):
        ana.OnnxFaceAnalysis(str(tmp_path / "absent.onnx"), device="cpu")
    with pytest.raises(Exception, match="[Pp]rotobuf|[Mm]odel"):
        ana.OnnxFaceAnalysis(None, b"", "cpu")  # empty bytes reach ONNX Runtime


def test_detected_face_end_to_end(model, monkeypatch):
    faces = det.OnnxFaceDetection(model_bytes=models.detector(), device="cpu").get(
        cp.asarray(models.plant_square(480, 640, 320, 256, 128)), crop_size=112)
    rx = Spy(rastrix)
    monkeypatch.setattr(ana, "rx", rx)
    gender, age = ana.OnnxFaceAnalysis(model_bytes=model, device="cpu").get(faces[0])
    (_, args, kw), = rx.named("image_to_batch")
    assert args == (faces[0].image,) and list(kw.items()) == [("size", (96, 96)), ("mean", 0.0), ("std", 0.0078125),
                                                               ("swap_rb", True)]
    assert [c[0] for c in rx.calls] == ["image_to_batch", "to_numpy"]
    female, male, age_normalized = models.expected_gender_age(cp.asnumpy(rastrix.image_to_batch(*args, **kw)))[0]
    assert (gender, age) == (int(male > female), int(np.round(age_normalized * np.float32(100))))


def test_no_leaks(model):
    o, img = ana.OnnxFaceAnalysis(model_bytes=model, device="cpu"), image(2)
    assert_no_leaks(lambda: o.get(face(img + 0)), lambda: o.initialize(None, "cpu"), repeat=300, warmup=30)
