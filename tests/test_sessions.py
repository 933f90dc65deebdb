"""Every ONNX Runtime back-end over a session whose get_inputs and get_outputs make a new list of
new entries at each call: what a back-end keeps from them must be its own, not a borrow from a
list that is gone once the call that asked for it returns."""
import types

import cupy as cp
import numpy as np
import onnxruntime
import pytest

import corvanta.analysis as ana
import corvanta.detection as det
import corvanta.embedding as emb
import corvanta.enhance as enh
import corvanta.schema
import corvanta.segmentation as seg
import corvanta.swap as sw
import models
from models import Spy


class FreshLists:
    """A real session whose input and output descriptions are copied anew at every call."""

    def __init__(self, real):
        self.real = real

    @staticmethod
    def copies(args):
        return [types.SimpleNamespace(name=a.name, shape=list(a.shape), type=a.type) for a in args]

    def get_inputs(self):
        return self.copies(self.real.get_inputs())

    def get_outputs(self):
        return self.copies(self.real.get_outputs())

    def __getattr__(self, name):
        return getattr(self.real, name)


def image(side, seed=0):
    return cp.asarray(np.random.default_rng(seed).random((side, side, 3), dtype=np.float32))


def face(img):
    return types.SimpleNamespace(image=img)


def host(result):
    """A result as host values, nested the same way, for comparing two runs."""
    if isinstance(result, (list, tuple)):
        return [host(v) for v in result]
    if isinstance(result, corvanta.schema.CorvantaFace):
        return [host(getattr(result, k)) for k in result.__slots__]
    return cp.asnumpy(result) if isinstance(result, cp.ndarray) else result


BACKENDS = {
    "detection": (det, det.OnnxFaceDetection, lambda: models.detector(input_shape=(1, 3, 160, 160)),
                  lambda o: o.get(cp.asarray(models.plant_square(160, 160, 80, 80, 32)), crop_size=112)),
    "embedding": (emb, emb.OnnxFaceEmbedding, lambda: models.embedder(normalise="none"),
                  lambda o: o.get(face(image(112)))),
    "swap": (sw, sw.OnnxFaceSwap, models.swapper,
             lambda o: o.get(image(256), cp.asarray(np.random.default_rng(1).random((1, 512), np.float32)))),
    "segmentation": (seg, seg.OnnxFaceSegmentation, models.parser, lambda o: o.get(image(64))),
    "enhance": (enh, enh.OnnxFaceEnhance, lambda: models.restorer(size=16), lambda o: o.get(image(20))),
    "analysis": (ana, ana.OnnxFaceAnalysis, models.gender_age, lambda o: o.get(face(image(96)))),
}


@pytest.mark.parametrize("module, role, model, use", BACKENDS.values(), ids=BACKENDS.keys())
def test_fresh_session_lists(module, role, model, use, monkeypatch):
    data = model()
    expected = host(use(role(model_bytes=data, device="cpu")))
    monkeypatch.setattr(module, "onnxruntime", Spy(
        onnxruntime, InferenceSession=lambda b, **kw: FreshLists(onnxruntime.InferenceSession(b, **kw))))
    o = role(model_bytes=data, device="cpu")
    assert isinstance(o.session, FreshLists)
    np.testing.assert_equal(host(use(o)), expected)
