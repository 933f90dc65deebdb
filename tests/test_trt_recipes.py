"""The TensorRT recipes where the real library is less kind than a fixed-shape engine: ONNX models
with open dimensions, another TensorRT major version, engines that cannot be deserialized, and the
element type of a re-made input buffer. Engines are built by the converters, so these tests run
against the real TensorRT as well."""
import os
import re
import types

import cupy as cp
import numpy as np
import onnxruntime
import pytest

import corvanta.detection as det
import corvanta.embedding as emb
import models
import rastrix as rx

trt = pytest.importorskip("tensorrt")


def host(a):
    return cp.asnumpy(a)


def ort_run(model_bytes, x):
    sess = onnxruntime.InferenceSession(model_bytes, providers=["CPUExecutionProvider"])
    return sess.run(None, {sess.get_inputs()[0].name: x})[0]


def model_input(img, mean, std, dtype=np.float32):
    return np.ascontiguousarray(((host(img) - mean) / std).transpose(2, 0, 1)[None]).astype(dtype)


def square(h, w, cx, cy, side):
    return cp.asarray(models.plant_square(h, w, cx, cy, side))


def check_detector(d, model_bytes):
    assert d.input_size == (640, 640) and d.d_outputs["kps_32"].shape == (800, 10)
    faces = d.get(square(480, 640, 320, 256, 128), 112)
    box, score, kps = models.expected_detection(320, 256, 128)
    assert len(faces) == 1
    np.testing.assert_allclose(host(faces[0].bbox), box, atol=1e-3)
    np.testing.assert_allclose(host(faces[0].kps), kps, atol=1e-3)
    assert float(faces[0].score) == pytest.approx(float(score), abs=1e-4)
    return lambda: d.forward(cp.zeros((480, 640, 3), cp.float32), 0.5)


def check_embedder(e, model_bytes):
    assert e.input_size == (112, 112) and e.output_shape == [1, 512]
    img = cp.asarray(np.random.default_rng(1).uniform(0, 1, (112, 112, 3)).astype(np.float32))
    want = ort_run(model_bytes, model_input(img, 0.5, 0.5))[0]
    np.testing.assert_allclose(host(e.forward(img)), want, atol=1e-5)
    latent = e.get(types.SimpleNamespace(image=img))
    assert latent.shape == (1, 512) and float(cp.linalg.norm(latent)) == pytest.approx(1.0, abs=1e-6)
    return lambda: e.forward([img, img])


ROLES = {
    # role: (class, open-dimension model, its input, the check, the batch shape then refused, the engine's)
    "detection": (det.TrtFaceDetection, lambda: models.detector(9, input_shape=("N", 3, "H", "W")), "input.1",
                  check_detector, "(1, 3, 480, 640)", "(1, 3, 640, 640)"),
    "embedding": (emb.TrtFaceEmbedding, lambda: models.embedder(normalise="none", input_shape=("N", 3, "H", "W")),
                  "input.1", check_embedder, "(2, 3, 112, 112)", "(1, 3, 112, 112)"),
}


@pytest.mark.parametrize("role", ROLES)
def test_open_dimension_models_through_the_model_file(role, tmp_path):
    cls, make, input_name, check, batch, fixed = ROLES[role]
    model_bytes = make()
    onnx_path = tmp_path / "m.onnx"
    onnx_path.write_bytes(model_bytes)
    obj = cls(str(onnx_path))  # the converter builds m.trt beside it
    assert obj.model_path == str(tmp_path / "m.trt") and os.path.exists(obj.model_path)
    assert -1 in tuple(obj.engine.get_tensor_shape(input_name))  # open on the engine, as TensorRT reports it
    assert tuple(obj.ctx.get_tensor_shape(input_name)) == tuple(obj.d_inputs[input_name].shape)
    wrong = check(obj, model_bytes)
    with pytest.raises(ValueError, match=re.escape(batch) + ".*" + re.escape(fixed)):
        wrong()
    check(cls(str(tmp_path / "m.trt")), model_bytes)  # the engine file is reused


def test_a_real_range_stays_refused(tmp_path):
    onnx_path = str(tmp_path / "m.onnx")
    models.embedder(normalise="none", input_shape=("N", 3, 112, 112), path=onnx_path)
    rx.onnx_to_trt_dynamic_shape(onnx_path, str(tmp_path / "m.trt"), precision="fp32", batch_range=(1, 1, 4))
    with pytest.raises(ValueError, match=r"dynamic dimensions \(-1, 3, 112, 112\)"):
        emb.TrtFaceEmbedding(str(tmp_path / "m.trt"))


@pytest.mark.parametrize("version, builds", [("11.4.0.106", False), ("9.3.0", False), ("", False),
                                             ("10.13.3.9", True)])
def test_converters_and_tensorrt_versions(version, builds, tmp_path, monkeypatch):
    monkeypatch.setattr(trt, "__version__", version)
    onnx_path = str(tmp_path / "m.onnx")
    models.detector(9, input_shape=(1, 3, 64, 64), path=onnx_path)
    convert = [lambda: rx.onnx_to_trt_fixed_shape(onnx_path, str(tmp_path / "m.trt"), (1, 3, 64, 64), "fp32"),
               lambda: rx.onnx_to_trt_dynamic_shape(onnx_path, str(tmp_path / "m.trt")),
               lambda: det.TrtFaceDetection(onnx_path)]
    for run in convert:
        if builds:
            run()
            assert os.path.exists(tmp_path / "m.trt")
            os.remove(tmp_path / "m.trt")
        else:
            with pytest.raises(RuntimeError, match=rf"TensorRT {re.escape(version)} found, .* TensorRT 10\b"):
                run()
            assert os.listdir(tmp_path) == ["m.onnx"]


@pytest.mark.parametrize("cls", [det.TrtFaceDetection, emb.TrtFaceEmbedding])
def test_undeserializable_engine(cls, tmp_path):
    (tmp_path / "m.onnx").write_bytes(b"the model")
    (tmp_path / "m.trt").write_bytes(b"an engine of another TensorRT")
    says = r"could not deserialize the engine .*: remove the engine file \(\.trt\) beside the ONNX model"
    for args in [(str(tmp_path / "m.onnx"),), (None, b"junk")]:
        with pytest.raises(AttributeError, match=says):
            cls(*args)


def test_remade_input_buffer_takes_the_engines_type(tmp_path):
    onnx_path = str(tmp_path / "m.onnx")
    model_bytes = models.embedder(normalise="none", dtype="float16", path=onnx_path)
    e = emb.TrtFaceEmbedding(onnx_path)
    assert e.d_inputs["input.1"].dtype == np.float16
    e.d_inputs["input.1"] = cp.empty((1, 3, 8, 8), cp.float32)  # a buffer of another shape and type: re-made
    img = cp.asarray(np.random.default_rng(2).uniform(0, 1, (112, 112, 3)).astype(np.float32))
    got = e.forward(img)  # the float32 batch is converted as it is copied in
    assert e.d_inputs["input.1"].dtype == np.float16 and e.d_inputs["input.1"].shape == (1, 3, 112, 112)
    np.testing.assert_allclose(host(got), ort_run(model_bytes, model_input(img, 0.5, 0.5, np.float16))[0],
                               atol=1e-5)
