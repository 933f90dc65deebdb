"""End-to-end check on a GPU machine, with the real cupy, onnxruntime (CUDA provider where
installed) and TensorRT where present: the image library's basics, detection with both back-ends on
a frame with a planted face, the identity latent with both embedders, FFHQ alignment, and gender and
age of the detected face.

    python bench/gpu_check.py            # prints one line per check, exits non-zero on a failure

The test suite itself runs against the real libraries with CORVANTA_REAL_GPU=1 python -m pytest.
"""
import os
import sys
import tempfile
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import numpy as np  # noqa: E402

import models  # noqa: E402

failures = []


def check(name):
    def wrap(fn):
        try:
            detail = fn()
            print("PASS %s%s" % (name, " (%s)" % detail if detail else ""))
        except Exception:  # a check script reports every failure and goes on
            failures.append(name)
            print("FAIL %s" % name)
            traceback.print_exc()
        return fn

    return wrap


def main():
    import cupy as cp
    import onnxruntime

    import rastrix as rx

    device = "cuda" if "CUDAExecutionProvider" in onnxruntime.get_available_providers() else "cpu"
    try:
        import tensorrt  # noqa: F401
        have_trt = True
    except ImportError:
        have_trt = False
    print("cupy %s on device %d; onnxruntime %s (%s); TensorRT %s" % (
        cp.__version__, cp.cuda.runtime.getDevice(), onnxruntime.__version__, device,
        "present" if have_trt else "absent"))
    folder = tempfile.mkdtemp()

    @check("rastrix resize, warp and batch on the device")
    def _():
        img = cp.zeros((64, 64, 3), cp.float32)
        img[10, 20] = 1.0
        warped = rx.affine_transform(img, cp.asarray([[1.0, 0, 5], [0, 1.0, 7]]), (64, 64))
        assert float(warped[17, 25, 0]) == 1.0
        assert rx.resize(img, (32, 16)).shape == (16, 32, 3)
        batch = rx.images_to_batch(img, std=0.5, size=(32, 32), mean=0.5)
        assert batch.shape == (1, 3, 32, 32) and isinstance(batch, cp.ndarray)

    import corvanta.detection as det
    import corvanta.embedding as emb

    frame = cp.asarray(models.plant_square(640, 640, 320, 320, 128).astype(np.float32))
    box, score, kps = models.expected_detection(320, 320, 128)
    onnx_path = os.path.join(folder, "detector.onnx")
    with open(onnx_path, "wb") as f:
        f.write(models.detector(9))
    found = {}

    def detect(d):
        faces = d.get(frame)
        assert len(faces) == 1, len(faces)
        assert np.allclose(cp.asnumpy(faces[0].bbox), box, atol=1e-3)
        assert np.allclose(cp.asnumpy(faces[0].kps), kps, atol=1e-2)
        return faces[0]

    @check("detection, ONNX Runtime back-end")
    def _():
        found["onnx"] = detect(det.OnnxFaceDetection(onnx_path, device=device))

    if have_trt:
        @check("detection, TensorRT back-end (engine built beside the ONNX file)")
        def _():
            d = det.TrtFaceDetection(onnx_path)
            assert d.model_path.endswith(".trt") and os.path.exists(d.model_path)
            found["trt"] = detect(d)

    emb_path = os.path.join(folder, "embedder.onnx")
    with open(emb_path, "wb") as f:
        f.write(models.embedder(normalise="none"))
    latents = {}

    @check("identity latent, ONNX Runtime embedder")
    def _():
        latent = emb.OnnxFaceEmbedding(emb_path, device=device).get(found["onnx"])
        assert latent.shape == (1, 512) and abs(float(cp.linalg.norm(latent)) - 1) < 1e-5
        latents["onnx"] = latent

    if have_trt:
        @check("identity latent, TensorRT embedder, and agreement with ONNX Runtime")
        def _():
            latent = emb.TrtFaceEmbedding(emb_path).get(found["trt"])
            diff = float(cp.abs(latent - latents["onnx"]).max())
            assert diff < 2e-2, diff  # the engine is built with bf16
            return "max difference %.4f" % diff

    import corvanta.analysis as ana
    import corvanta.facewarp as fw

    @check("FFHQ alignment: a flat image stays flat through padding, feathering and warp")
    def _():
        lm = cp.asarray([[40, 50], [80, 50], [60, 70], [45, 90], [75, 90]], cp.float32)
        out = fw.align_face_ffhq(cp.full((120, 160, 3), 0.25, cp.float32), lm, 64, 128)
        assert out.shape == (64, 64, 3) and out.dtype == cp.float32, (out.shape, out.dtype)
        diff = float(cp.abs(out - 0.25).max())
        assert diff < 1e-5, diff
        tiny = cp.asarray([[39.875, 30], [40.125, 30], [40, 30.125], [39.875, 30.25], [40.125, 30.25]], cp.float32)
        assert bool(cp.isfinite(fw.align_face_ffhq(cp.full((80, 90, 3), 0.5, cp.float32), tiny, 16, 16)).all())

    ga_path = os.path.join(folder, "genderage.onnx")
    with open(ga_path, "wb") as f:
        f.write(models.gender_age())

    @check("gender and age of the detected face, ONNX Runtime back-end")
    def _():
        face = found["onnx"]
        batch = rx.image_to_batch(face.image, size=(96, 96), mean=0.0, std=0.0078125, swap_rb=True)
        female, male, age = models.expected_gender_age(cp.asnumpy(batch))[0]
        result = ana.OnnxFaceAnalysis(ga_path, device=device).get(face)
        assert result == (int(male > female), int(np.round(np.float32(age) * 100))), result
        return "gender %d, age %d" % result

    print("%d failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
