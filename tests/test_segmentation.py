"""Face parsing masks: the role (grouping, compositing, chunked batches) and the ONNX Runtime and
TensorRT back-ends on the tiny parser model (TensorRT through its CPU stand-in)."""
import inspect

import cupy as cp
import numpy as np
import onnxruntime
import pytest

import corvanta.segmentation as seg
import models
import rastrix
from leakcheck import assert_no_leaks
from models import Spy

DEFAULT_GROUPS = [[1, 3, 14, 15, 16, 17, 18], [2, 4, 5], [6, 7, 8, 9, 10, 11, 12, 13]]
NOT_IMPLEMENTED = "^forward method must be implemented in subclass$"


def part_masks(preds, groups):
    """The composite as the role's own formula computes it: softmax, arg-max, a match of every
    pixel against every grouped class, and the einsum over groups and entries."""
    p = cp.asnumpy(preds)
    if p.ndim == 5 and p.shape[0] == 1:
        p = p[0]
    e = np.exp(p - p.max(axis=1, keepdims=True))
    pred = (e / e.sum(axis=1, keepdims=True)).argmax(axis=1)
    indices = np.array([k for g in groups for k in g])
    ids = np.array([m for m, g in enumerate(groups) for _ in g])
    matches = (pred[..., None] == indices[None, None, None, :]).astype(np.float32)
    in_group = (np.arange(len(groups))[:, None] == ids[None, :]).astype(np.float32)
    masks = np.einsum("nijk,mk->mnijk", matches, in_group).sum(axis=-1)
    return np.stack([np.stack([masks[0][n], masks[1][n], masks[2][n]]) for n in range(p.shape[0])], axis=0)


def scores(shape, dtype=np.float32, seed=0):
    return np.random.default_rng(seed).standard_normal(shape).astype(dtype)


def peaked(classes, n_classes=19):
    """N x L x 1 x P scores whose pixel p peaks at classes[p] (the same for every image)."""
    s = np.zeros((1, n_classes, 1, len(classes)), np.float32)
    s[0, classes, 0, np.arange(len(classes))] = 5.0
    return s


def float16_near_ties():
    """Pixels where class 7 is ahead of class 3 by less than float16's exponentials can tell
    apart: the raw arg-max says 7, the probabilities tie and class 3 wins."""
    s = np.full((2, 19, 3, 4), -8.0, np.float16)
    s[:, 3] = 0.0
    s[:, 7] = np.float16(2.0 ** -14)
    s[1, :, 0, 0] = scores(19, np.float16)  # and ordinary pixels
    assert (s.argmax(axis=1) == 7).all(axis=(1, 2)).any()
    return s


class Scripted(seg.BaseFaceSegmentation):
    """A parser without a model: each image of the batch (a uniform image of value i / 100) is
    read back as i, and parsed as class i % 19 everywhere; the batch sizes are recorded."""

    def __init__(self):
        super().__init__()
        self.input_size = (4, 4)
        self.sizes = []

    def forward(self, batch):
        self.sizes.append(batch.shape[0])
        ids = np.rint((cp.asnumpy(batch[:, 0, 0, 0]) * 0.229 + 0.485) * 100).astype(int)
        out = np.zeros((len(ids), 19, 2, 2), np.float32)
        out[np.arange(len(ids)), ids % 19] = 1.0
        return cp.asarray(out)


def uniform(i):
    return cp.full((6, 6, 3), i / 100, cp.float32)


def planes_of(cls, groups=DEFAULT_GROUPS):
    return np.array([float(g.count(cls)) for g in groups[:3]], np.float32)


@pytest.fixture(scope="module")
def parser_bytes():
    return models.parser(size=16)


# ---- surface -------------------------------------------------------------------------------------

def test_surface():
    B, O = seg.BaseFaceSegmentation, seg.OnnxFaceSegmentation
    assert B.__bases__ == (seg.BaseModelLoader,) and O.__bases__ == (B,)
    assert seg.trt.__name__ == "tensorrt" and seg.rx is rastrix and seg.onnxruntime is onnxruntime
    assert [n for n, v in vars(seg).items() if inspect.isroutine(v)] == []
    assert B.__doc__ == ("\n    Base class for face segmentation models.\n\n    Segments facial regions like eyes, nose, "
                         "mouth, and skin\n    to enable targeted operations like face swapping and enhancement.\n    ")
    assert B.batch_get.__doc__ == ("\n        Face segmentation inference method.\n        Common implementation shared "
                                   "by Onnx and Trt versions.\n        Supports batch processing for multiple images.\n        ")
    assert [B.forward.__doc__, B.get.__doc__, B.composite_masks.__doc__, B.init_indexes.__doc__, B.__init__.__doc__] == [
        "\n        Placeholder for the forward method.\n        ", "\n        Face segmentation method for a single image.\n        ",
        "\n        Composite masks into a single image.\n        ", None, None]
    assert O.__doc__ == "Face segmentation using ONNX Runtime for inference." and O.forward.__doc__ is None
    assert str(inspect.signature(B.batch_get)) == (
        "(self, images: 'list[cp.ndarray]', MAX_BATCH_SIZE: 'int' = 16) -> 'list[cp.ndarray]'")
    assert str(inspect.signature(O.initialize)) == (
        "(self, model_bytes: 'bytes', device: 'str', device_id: 'str' = '0') -> 'None'")
    for C in (B, O):
        assert str(inspect.signature(C)) == "(model_path: 'str | None' = None, model_bytes: 'bytes | None' = None, device: 'str' = 'cuda') -> 'None'"
        assert str(inspect.signature(C.forward)) == "(self, batch: 'cp.ndarray') -> 'cp.ndarray'"
    b = B()
    assert (b.input_size, b.input_mean, b.input_std, b.num_categories) == (
        (512, 512), (0.485, 0.456, 0.406), (0.229, 0.224, 0.225), 3)
    assert cp.asnumpy(b.all_indices).tolist() == sum(DEFAULT_GROUPS, [])
    assert cp.asnumpy(b.category_ids).tolist() == [0] * 7 + [1] * 3 + [2] * 8
    assert b.all_indices.dtype == cp.array([1]).dtype


@pytest.mark.parametrize("call, name, expected, got", [
    (lambda b: seg.BaseFaceSegmentation(1), "model_path", "str", "int"),
    (lambda b: seg.OnnxFaceSegmentation(None, bytearray()), "model_bytes", "bytes", "bytearray"),
    (lambda b: seg.OnnxFaceSegmentation(device=None), "device", "str", "NoneType"),
    (lambda b: b.batch_get((uniform(1),)), "images", "list", "tuple"),
    (lambda b: b.batch_get(type("Images", (list,), {})()), "images", "list", "Images"),
    (lambda b: b.batch_get(None), "images", "list", "NoneType"),
    (lambda b: b.batch_get([], True), "MAX_BATCH_SIZE", "int", "bool"),
    (lambda b: b.batch_get([], 2.0), "MAX_BATCH_SIZE", "int", "float"),
    (lambda b: b.batch_get([], None), "MAX_BATCH_SIZE", "int", "NoneType"),
    (lambda b: b.init_indexes(tuple(DEFAULT_GROUPS)), "indexes", "list", "tuple"),
])
def test_argument_types(call, name, expected, got, monkeypatch):
    b = Scripted()
    before = b.all_indices
    spy = Spy(rastrix)
    monkeypatch.setattr(seg, "rx", spy)
    with pytest.raises(TypeError, match=r"^Argument '%s' has incorrect type \(expected %s, got %s\)$" % (name, expected, got)):
        call(b)
    assert spy.calls == [] and b.sizes == [] and b.all_indices is before


# ---- grouping and compositing ----------------------------------------------------------------------

@pytest.mark.parametrize("groups, preds", [
    (DEFAULT_GROUPS, lambda: peaked([0, 2, 14, 7, 1, 18])),
    (DEFAULT_GROUPS, lambda: scores((3, 19, 8, 5))),
    (DEFAULT_GROUPS, lambda: scores((1, 2, 19, 6, 4))),  # the five-dimensional form
    (DEFAULT_GROUPS, float16_near_ties),
    (DEFAULT_GROUPS, lambda: scores((2, 19, 4, 4), np.float64)),
    (DEFAULT_GROUPS, lambda: np.zeros((1, 19, 2, 3), np.float32)),  # all equal: class 0 everywhere
    ([[1, 1], [2], [3]], lambda: peaked([1, 2, 3, 0])),  # a duplicate counts twice
    ([(1, 2), (3,), (4,)], lambda: peaked([1, 2, 3, 4, 5])),
    ([[1], [], [3]], lambda: peaked([1, 2, 3])),
    ([[1], [2], [3], [4]], lambda: peaked([1, 2, 3, 4])),  # groups past the third are not emitted
    ([[25, 1], [-1, 2], [18]], lambda: peaked([1, 2, 18, 0])),  # numbers the model does not have
    ([[], [], []], lambda: scores((1, 19, 3, 3))),
    ([[0], [1], [2]], lambda: scores((2, 5, 6, 6))),  # five classes
])
def test_composite_matches_the_formula(groups, preds):
    b = seg.BaseFaceSegmentation()
    b.init_indexes(groups)
    p = cp.asarray(preds())
    kept = cp.asnumpy(p).copy()
    masks = b.composite_masks(p)
    expected = part_masks(p, groups)
    assert masks.dtype == cp.float32 and masks.shape == expected.shape and masks.flags.c_contiguous
    assert cp.asnumpy(masks).tobytes() == expected.tobytes()
    assert np.array_equal(cp.asnumpy(p), kept)  # the scores are left as they were


def test_composite_planes_and_refused_shapes():
    b = seg.BaseFaceSegmentation()
    masks = cp.asnumpy(b.composite_masks(cp.asarray(peaked([0, 2, 14, 7]))))
    assert masks[0, :, 0].T.tolist() == [[0, 0, 0], [0, 1, 0], [1, 0, 0], [0, 0, 1]]
    for shape in [(2, 1, 19, 4, 4), (19, 4, 4), (1, 1, 1, 19, 4, 4)]:
        with pytest.raises(ValueError, match="N x L x H x W"):
            b.composite_masks(cp.zeros(shape, cp.float32))
    b.init_indexes([[1], [2]])
    with pytest.raises(IndexError, match="at least 3 index groups, got 2"):
        b.composite_masks(cp.zeros((1, 19, 4, 4), cp.float32))


@pytest.mark.parametrize("groups", [[[1], 2, [3]], [[1], (k for k in [2]), [3]], [[1], ["x"], [3]]])
def test_failed_init_indexes_changes_nothing(groups):
    b = seg.BaseFaceSegmentation()
    before = (b.num_categories, b.all_indices, b.category_ids)
    with pytest.raises((TypeError, ValueError)):
        b.init_indexes(groups)
    assert (b.num_categories, b.all_indices, b.category_ids) == before


# ---- get and batch_get -------------------------------------------------------------------------------

@pytest.mark.parametrize("count, limit, sizes", [
    (16, None, [16]), (17, None, [16, 1]), (33, None, [16, 16, 1]), (10, 4, [4, 4, 2]), (3, 2**70, [3]),
])
def test_batch_get_chunks_in_order(count, limit, sizes):
    b = Scripted()
    masks = b.batch_get([uniform(i) for i in range(count)], *([] if limit is None else [limit]))
    assert type(masks) is list and b.sizes == sizes
    assert [cp.asnumpy(m)[0, 0, ::-1].tolist() for m in masks] == [planes_of(i % 19).tolist() for i in range(count)]


@pytest.mark.parametrize("limit", [0, -1, -2**70])
def test_batch_get_refuses_a_limit_below_one(limit, monkeypatch):
    spy = Spy(rastrix)
    monkeypatch.setattr(seg, "rx", spy)
    b = Scripted()
    for images in ([uniform(1)] * 3, []):
        with pytest.raises(ValueError, match="MAX_BATCH_SIZE must be positive"):
            b.batch_get(images, limit)
    assert spy.calls == [] and b.sizes == []


def test_pipeline_calls(monkeypatch):
    spy = Spy(rastrix)
    monkeypatch.setattr(seg, "rx", spy)
    b = Scripted()
    b.input_size = (5, 3)
    mask = b.get(uniform(4))
    assert mask.shape == (2, 2, 3) and cp.asnumpy(mask)[0, 0, ::-1].tolist() == planes_of(4).tolist()
    (_, args, kw), = spy.named("images_to_batch")
    assert len(args) == 1 and type(args[0]) is list and len(args[0]) == 1
    assert list(kw.items()) == [("std", b.input_std), ("size", (5, 3)), ("mean", b.input_mean), ("swap_rb", True),
                                ("layout", "HWC")]
    assert list(spy.named("batch_to_images")[0][2].items()) == [("swap_rb", True), ("layout", "NCHW")]
    spy._replace["batch_to_images"] = lambda *a, **k: tuple(rastrix.batch_to_images(*a, **k))
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        b.batch_get([uniform(1)])
    assert len(b.batch_get([uniform(1)] * 3, 2)) == 3  # chunks take any iterable
    base = seg.BaseFaceSegmentation()
    for call in (lambda: base.get(uniform(1)), lambda: base.batch_get([uniform(1)])):
        with pytest.raises(NotImplementedError, match=NOT_IMPLEMENTED):
            call()


# ---- ONNX Runtime back-end -------------------------------------------------------------------------

def expected_masks(images, size=16):
    """The masks of the tiny parser, from the model input that the role builds."""
    batch = rastrix.images_to_batch(images, std=(0.229, 0.224, 0.225), size=size, mean=(0.485, 0.456, 0.406),
                                    swap_rb=True)
    classes = models.parser_classes(cp.asnumpy(batch))
    return [np.stack([planes_of(k) for k in row.ravel()]).reshape(*row.shape, 3)[..., ::-1] for row in classes]


@pytest.fixture(scope="module")
def onnx_parser(parser_bytes):
    o = seg.OnnxFaceSegmentation(model_bytes=parser_bytes, device="cpu")
    o.input_size = (16, 16)
    return o


def test_onnx_metadata_and_forward(onnx_parser, tmp_path):
    o = onnx_parser
    assert (o.input_name, o.input_shape, o.dtype, o.output_shape, o.output_name) == (
        "input", ["N", 3, 16, 16], "tensor(float)", ["N", 19, 16, 16], "output")
    batch = cp.asarray(scores((2, 3, 16, 16)))
    preds = o.forward(batch)
    assert preds.shape == (1, 2, 19, 16, 16) and preds.dtype == cp.float32
    two = seg.OnnxFaceSegmentation(model_bytes=models.parser(size=16, outputs=2), device="cpu")
    both = two.forward(batch)
    assert both.shape == (2, 2, 19, 16, 16) and np.allclose(cp.asnumpy(both[1] - both[0]), 1.0)
    path = tmp_path / "parser.onnx"
    path.write_bytes(models.parser(size=16))
    from_file = seg.OnnxFaceSegmentation(str(path), None, "cpu")
    assert from_file.model_bytes == path.read_bytes() and from_file.model_path == str(path)
    with pytest.raises(AssertionError, match="^model_bytes must be provided if model_path is not specified$"):
        seg.OnnxFaceSegmentation(device="cpu")


@pytest.mark.parametrize("device, providers, options", [
    ("cpu", ["CPUExecutionProvider"], [{}]),
    ("cuda:1", ["CUDAExecutionProvider"], [{"device_id": "1"}]),
])
def test_onnx_session_recipe(parser_bytes, monkeypatch, device, providers, options):
    real = onnxruntime.InferenceSession
    ort = Spy(onnxruntime, InferenceSession=lambda b, **kw: real(b, providers=["CPUExecutionProvider"]))
    monkeypatch.setattr(seg, "onnxruntime", ort)
    seg.OnnxFaceSegmentation("unread.onnx", parser_bytes, device)
    assert [c[0] for c in ort.calls] == ["preload_dlls", "SessionOptions", "InferenceSession"]
    kw = ort.named("InferenceSession")[0][2]
    assert list(kw) == ["session_options", "providers", "provider_options"]
    assert (kw["providers"], kw["provider_options"]) == (providers, options)


def test_onnx_masks_end_to_end(onnx_parser):
    rng = np.random.default_rng(5)
    images = [cp.asarray(rng.random((20, 24, 3), dtype=np.float32)) for _ in range(5)]
    got = onnx_parser.batch_get(images, 2) + [onnx_parser.get(images[0])]
    want = expected_masks(images) + expected_masks(images[:1])
    assert [cp.asnumpy(m).tolist() for m in got] == [w.tolist() for w in want]


def test_no_leaks(onnx_parser):
    img = uniform(30)
    b = Scripted()
    assert_no_leaks(
        lambda: onnx_parser.get(img + 0),
        lambda: b.batch_get([img + 0] * 3, 2),
        lambda: b.composite_masks(cp.ones((1, 2, 19, 2, 2), cp.float32)),
        lambda: b.init_indexes([[1], (2, 2), 3]),
        repeat=40, warmup=60)
