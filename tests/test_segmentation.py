"""Face parsing masks: the role (grouping, compositing, chunked batches) and the ONNX Runtime and
TensorRT back-ends on the tiny parser model (TensorRT through its CPU stand-in)."""
import inspect
import tracemalloc

import cupy as cp
import numpy as np
import onnxruntime
import pytest

import corvanta.segmentation as seg
import models
import rastrix
from leakcheck import assert_no_leaks
from models import Spy

trt = pytest.importorskip("tensorrt")
standin = pytest.mark.skipif(not hasattr(trt, "_standin"), reason="builds engines with the TensorRT stand-in")
GROUPS = [[1, 3, 14, 15, 16, 17, 18], [2, 4, 5], [6, 7, 8, 9, 10, 11, 12, 13]]
BATCHES = ((1, 3, 512, 512), (1, 3, 512, 512), (16, 3, 512, 512))


def part_masks(preds, groups):
    """The composite by the role's own formula: softmax, arg-max, every pixel matched against
    every grouped class, and the einsum over groups and entries."""
    p = cp.asnumpy(preds)
    p = p[0] if p.ndim == 5 and p.shape[0] == 1 else p
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


def peaked(classes):
    """1 x 19 x 1 x P scores whose pixel p peaks at classes[p]."""
    s = np.zeros((1, 19, 1, len(classes)), np.float32)
    s[0, classes, 0, np.arange(len(classes))] = 5.0
    return s


def float16_near_ties():
    """Class 7 ahead of class 3 by less than float16 exponentials tell apart: the raw arg-max says
    7, the probabilities tie and class 3 wins (ordinary scores at one pixel)."""
    s = np.full((2, 19, 3, 4), -8.0, np.float16)
    s[:, 3], s[:, 7] = 0.0, np.float16(2.0 ** -14)
    s[1, :, 0, 0] = scores(19, np.float16)
    return s


class Scripted(seg.BaseFaceSegmentation):
    """No model: a uniform image of value i / 100 is read back from the batch as i and parsed as
    class i % 19; the batch sizes are recorded."""

    def __init__(self):
        super().__init__()
        self.input_size, self.sizes = (4, 4), []

    def forward(self, batch):
        self.sizes.append(batch.shape[0])
        ids = np.rint((cp.asnumpy(batch[:, 0, 0, 0]) * 0.229 + 0.485) * 100).astype(int)
        out = np.zeros((len(ids), 19, 2, 2), np.float32)
        out[np.arange(len(ids)), ids % 19] = 1.0
        return cp.asarray(out)


def uniform(i):
    return cp.full((6, 6, 3), i / 100, cp.float32)


def planes_of(cls):
    return [float(g.count(cls)) for g in GROUPS]


def engine(model=None, profile=BATCHES):
    if not hasattr(trt, "_standin"):
        pytest.skip("builds engines with the TensorRT stand-in")
    return trt._standin.build_engine(model or models.parser(), profiles=profile and {"input": profile})


def logits(batch, model=None):
    sess = onnxruntime.InferenceSession(model or models.parser(), providers=["CPUExecutionProvider"])
    return sess.run(None, {"input": cp.asnumpy(batch).astype(np.float32)})


def crops(n, seed=0):
    rng = np.random.default_rng(seed)
    return [cp.asarray(rng.random((512, 512, 3), dtype=np.float32)) for _ in range(n)]


@pytest.fixture(scope="module")
def onnx_parser():
    return seg.OnnxFaceSegmentation(model_bytes=models.parser(), device="cpu")


@pytest.fixture(scope="module")
def trt_parser():
    return seg.TrtFaceSegmentation(model_bytes=engine())


# ---- surface and arguments ---------------------------------------------------------------------------

def test_surface():
    B, O, T = seg.BaseFaceSegmentation, seg.OnnxFaceSegmentation, seg.TrtFaceSegmentation
    assert B.__bases__ == (seg.BaseModelLoader,) and O.__bases__ == (B,) and T.__bases__ == (B,)
    assert seg.trt is trt and seg.rx is rastrix and [n for n, v in vars(seg).items() if inspect.isroutine(v)] == []
    assert B.__doc__ == ("\n    Base class for face segmentation models.\n\n    Segments facial regions like eyes, nose, "
                         "mouth, and skin\n    to enable targeted operations like face swapping and enhancement.\n    ")
    indent = "\n        %s\n        "
    assert [B.forward.__doc__, B.get.__doc__, B.batch_get.__doc__, B.composite_masks.__doc__] == [
        indent % "Placeholder for the forward method.", indent % "Face segmentation method for a single image.",
        indent % ("Face segmentation inference method.\n        Common implementation shared by Onnx and Trt "
                  "versions.\n        Supports batch processing for multiple images."),
        indent % "Composite masks into a single image."]
    assert (O.__doc__, T.__doc__) == ("Face segmentation using ONNX Runtime for inference.",
                                      "Face segmentation using TensorRT for high-performance inference.")
    assert {f.__doc__ for f in (B.__init__, B.init_indexes, O.initialize, O.forward, T.initialize, T.forward)} == {None}
    assert str(inspect.signature(B.batch_get)) == (
        "(self, images: 'list[cp.ndarray]', MAX_BATCH_SIZE: 'int' = 16) -> 'list[cp.ndarray]'")
    assert O.initialize.__defaults__ == ("0",) and T.initialize.__defaults__ is None
    b = B()
    assert (b.input_size, b.input_mean, b.input_std, b.num_categories) == (
        (512, 512), (0.485, 0.456, 0.406), (0.229, 0.224, 0.225), 3)
    assert cp.asnumpy(b.all_indices).tolist() == sum(GROUPS, []) and b.all_indices.dtype == cp.array([1]).dtype
    assert cp.asnumpy(b.category_ids).tolist() == [0] * 7 + [1] * 3 + [2] * 8


@pytest.mark.parametrize("call, name, expected, got", [
    (lambda b: seg.TrtFaceSegmentation(1), "model_path", "str", "int"),
    (lambda b: seg.OnnxFaceSegmentation(None, bytearray()), "model_bytes", "bytes", "bytearray"),
    (lambda b: b.batch_get((uniform(1),)), "images", "list", "tuple"),
    (lambda b: b.batch_get(type("Images", (list,), {})()), "images", "list", "Images"),
    (lambda b: b.batch_get(None), "images", "list", "NoneType"),
    (lambda b: b.batch_get([], True), "MAX_BATCH_SIZE", "int", "bool"),
    (lambda b: b.batch_get([], 2.0), "MAX_BATCH_SIZE", "int", "float"),
    (lambda b: b.init_indexes(tuple(GROUPS)), "indexes", "list", "tuple"),
])
def test_argument_types(call, name, expected, got, monkeypatch):
    b = Scripted()
    before = b.all_indices
    monkeypatch.setattr(seg, "rx", Spy(rastrix))
    with pytest.raises(TypeError, match=r"^Argument '%s' has incorrect type \(expected %s, got %s\)$" % (name, expected, got)):
        call(b)
    assert seg.rx.calls == [] and b.sizes == [] and b.all_indices is before


# ---- grouping and compositing ----------------------------------------------------------------------

@pytest.mark.parametrize("groups, preds", [
    (GROUPS, lambda: peaked([0, 2, 14, 7, 1, 18])),
    (GROUPS, lambda: scores((3, 19, 8, 5))),
    (GROUPS, lambda: scores((1, 2, 19, 6, 4))),  # the five-dimensional form
    (GROUPS, float16_near_ties),
    (GROUPS, lambda: scores((2, 19, 4, 4), np.float64)),
    (GROUPS, lambda: np.zeros((1, 19, 2, 3), np.float32)),  # all equal: class 0 everywhere
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
    masks, expected = b.composite_masks(p), part_masks(p, groups)
    assert masks.dtype == cp.float32 and masks.shape == expected.shape and masks.flags.c_contiguous
    assert cp.asnumpy(masks).tobytes() == expected.tobytes() and np.array_equal(cp.asnumpy(p), kept)


def test_composite_planes_and_refusals():
    b = seg.BaseFaceSegmentation()
    masks = cp.asnumpy(b.composite_masks(cp.asarray(peaked([0, 2, 14, 7]))))
    assert masks[0, :, 0].T.tolist() == [[0, 0, 0], [0, 1, 0], [1, 0, 0], [0, 0, 1]]
    for shape in [(2, 1, 19, 4, 4), (19, 4, 4), (1, 1, 1, 19, 4, 4)]:
        with pytest.raises(ValueError, match="N x L x H x W"):
            b.composite_masks(cp.zeros(shape, cp.float32))
    b.init_indexes([[1], [2]])
    with pytest.raises(IndexError, match="at least 3 index groups, got 2"):
        b.composite_masks(cp.zeros((1, 19, 4, 4), cp.float32))


@pytest.mark.skipif(not hasattr(cp, "_standin"), reason="traces the stand-in's device memory")
@pytest.mark.parametrize("dtype", [np.float32, np.float16])
def test_composite_memory(dtype):
    p = cp.asarray(scores((4, 19, 64, 64), dtype))
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        masks = seg.BaseFaceSegmentation().composite_masks(p)
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    assert peak <= 2 * p.nbytes + masks.nbytes


@pytest.mark.parametrize("groups", [[[1], 2, [3]], [[1], (k for k in [2]), [3]], [[1], ["x"], [3]]])
def test_failed_init_indexes_changes_nothing(groups):
    b = seg.BaseFaceSegmentation()
    before = (b.num_categories, b.all_indices, b.category_ids)
    with pytest.raises((TypeError, ValueError)):
        b.init_indexes(groups)
    assert (b.num_categories, b.all_indices, b.category_ids) == before


# ---- get and batch_get -------------------------------------------------------------------------------

@pytest.mark.parametrize("count, limit, sizes", [
    (16, 16, [16]), (17, 16, [16, 1]), (33, 16, [16, 16, 1]), (10, 4, [4, 4, 2]), (3, 2**70, [3]),
])
def test_batch_get_chunks_in_order(count, limit, sizes):
    b = Scripted()
    masks = b.batch_get([uniform(i) for i in range(count)], *([] if limit == 16 else [limit]))
    assert type(masks) is list and b.sizes == sizes
    assert [cp.asnumpy(m)[0, 0, ::-1].tolist() for m in masks] == [planes_of(i % 19) for i in range(count)]


@pytest.mark.parametrize("limit", [0, -1, -2**70])
def test_batch_get_refuses_a_limit_below_one(limit, monkeypatch):
    monkeypatch.setattr(seg, "rx", Spy(rastrix))
    b = Scripted()
    for images in ([uniform(1)] * 3, []):
        with pytest.raises(ValueError, match="MAX_BATCH_SIZE must be positive"):
            b.batch_get(images, limit)
    assert seg.rx.calls == [] and b.sizes == []


def test_pipeline_calls(monkeypatch):
    monkeypatch.setattr(seg, "rx", Spy(rastrix))
    b = Scripted()
    b.input_size = (5, 3)
    assert cp.asnumpy(b.get(uniform(4)))[:, :, ::-1].tolist() == [[planes_of(4)] * 2] * 2
    (_, args, kw), = seg.rx.named("images_to_batch")
    assert len(args) == 1 and type(args[0]) is list and len(args[0]) == 1 and list(kw.items()) == [
        ("std", b.input_std), ("size", (5, 3)), ("mean", b.input_mean), ("swap_rb", True), ("layout", "HWC")]
    assert list(seg.rx.named("batch_to_images")[0][2].items()) == [("swap_rb", True), ("layout", "NCHW")]
    seg.rx._replace["batch_to_images"] = lambda *a, **k: tuple(rastrix.batch_to_images(*a, **k))
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        b.batch_get([uniform(1)])
    assert len(b.batch_get([uniform(1)] * 3, 2)) == 3  # chunks take any iterable
    for call in (lambda x: x.get(uniform(1)), lambda x: x.batch_get([uniform(1)])):
        with pytest.raises(NotImplementedError, match="^forward method must be implemented in subclass$"):
            call(seg.BaseFaceSegmentation())


# ---- back-ends ------------------------------------------------------------------------------------------

def test_onnx_metadata_and_forward(onnx_parser, tmp_path):
    o = onnx_parser
    assert (o.input_name, o.input_shape, o.dtype, o.output_shape, o.output_name, o.input_size) == (
        "input", ["N", 3, 512, 512], "tensor(float)", ["N", 19, 512, 512], "output", (512, 512))
    batch = cp.asarray(scores((2, 3, 16, 16)))
    two = models.parser(size=16, outputs=2)
    both = seg.OnnxFaceSegmentation(model_bytes=two, device="cpu").forward(batch)
    assert both.shape == (2, 2, 19, 16, 16) and np.allclose(cp.asnumpy(both), logits(batch, two))
    (tmp_path / "p.onnx").write_bytes(models.parser(size=16))
    assert seg.OnnxFaceSegmentation(str(tmp_path / "p.onnx"), None, "cpu").forward(batch).shape == (1, 2, 19, 16, 16)
    with pytest.raises(AssertionError, match="^model_bytes must be provided if model_path is not specified$"):
        seg.OnnxFaceSegmentation(device="cpu")


@pytest.mark.parametrize("which", ["onnx", pytest.param("trt", marks=standin)])
def test_masks_end_to_end(which, request):
    parser = request.getfixturevalue(which + "_parser")
    images = crops(3, seed=9)
    batch = rastrix.images_to_batch(images, std=(0.229, 0.224, 0.225), size=512, mean=(0.485, 0.456, 0.406),
                                    swap_rb=True)
    want = [np.array([planes_of(k) for k in row.ravel()]).reshape(512, 512, 3)[..., ::-1]
            for row in models.parser_classes(cp.asnumpy(batch))]
    got = parser.batch_get(images, 2) + [parser.get(images[0])]
    assert [cp.asnumpy(m).tolist() for m in got] == [w.tolist() for w in want + want[:1]]


@standin
def test_trt_model_file(tmp_path, monkeypatch):
    monkeypatch.setattr(seg, "rx", Spy(rastrix))
    (tmp_path / "parser.onnx").write_bytes(models.parser())
    t = seg.TrtFaceSegmentation(str(tmp_path / "parser.onnx"))
    (_, args, kw), = seg.rx.named("onnx_to_trt_dynamic_shape")
    assert args == (str(tmp_path / "parser.onnx"), str(tmp_path / "parser.trt")) and list(kw.items()) == [
        ("precision", "bf16"), ("batch_range", (1, 1, 16)), ("spatial_range", (512, 512, 512)),
        ("workspace", 2147483648)]
    assert t.model_path == str(tmp_path / "parser.trt") and t.model_bytes == (tmp_path / "parser.trt").read_bytes()
    assert t.engine._workspace == 2147483648 and seg.TrtFaceSegmentation(t.model_path).model_bytes == t.model_bytes
    assert len(seg.rx.named("onnx_to_trt_dynamic_shape")) == 1


@standin
@pytest.mark.parametrize("model, profile, buffer, size", [
    (models.parser, BATCHES, (1, 3, 512, 512), (512, 512)),
    (lambda: models.parser(size="S"), ((1, 3, 256, 256), (1, 3, 512, 512), (16, 3, 512, 512)), (1, 3, 1, 1), (512, 512)),
    (lambda: models.parser(size=256, out_size=512, batch=1), None, (1, 3, 256, 256), (256, 256)),
])
def test_trt_initialize(model, profile, buffer, size):
    t = seg.TrtFaceSegmentation(model_bytes=engine(model(), profile))
    assert isinstance(t.logger, trt.Logger) and t.logger.min_severity == trt.Logger.WARNING
    assert isinstance(t.runtime, trt.Runtime) and isinstance(t.stream, cp.cuda.Stream)
    assert (t.input_tensor, t.output_names, t.input_size) == ("input", ["output"], size)
    assert (t.d_inputs["input"].shape, t.d_inputs["input"].dtype, t.d_outputs["output"].dtype) == (
        buffer, np.float32, np.float32)
    assert t.ctx.get_tensor_address("input") == t.d_inputs["input"].data.ptr


@standin
@pytest.mark.parametrize("model, profile, shown", [
    (lambda: models.parser(out_dtype="float16"), BATCHES, r"\(-1, 19, 512, 512\) float16"),
    (lambda: models.parser(classes=18), BATCHES, r"\(-1, 18, 512, 512\) float32"),
    (lambda: models.parser(size=256), ((1, 3, 256, 256),) * 2 + ((16, 3, 256, 256),), r"\(-1, 19, 256, 256\) float32"),
    (lambda: models.parser(size=8, out_size=512, batch=1, outputs=2, out_dtype="float16"), None, r"\(1, 19, 512, 512\) float16"),
])
def test_trt_refuses_outputs_its_buffers_cannot_hold(model, profile, shown):
    with pytest.raises(ValueError, match=r"^TensorRT engine output 'output' is %s: " % shown):
        seg.TrtFaceSegmentation(model_bytes=engine(model(), profile))


@standin
def test_trt_checks_every_output_while_the_names_change(monkeypatch):
    # Python code that the checks run (here the array library's dtype) empties the output_names
    # just published: every output of the engine is still checked, each with two dtype calls.
    t = seg.TrtFaceSegmentation(model_bytes=engine(models.parser(size=8, out_size=512, batch=1, outputs=2), None))
    spy = Spy(cp, dtype=lambda *a: (t.output_names.clear(), cp.dtype(*a))[1])
    monkeypatch.setattr(seg, "cp", spy)
    t.initialize(t.model_bytes, "cuda", "0")
    assert len(spy.named("dtype")) == 4 and t.output_names == []


@standin
def test_trt_forward_buffers_and_result(trt_parser):
    t, results = trt_parser, []
    for k, n in enumerate((1, 3, 3)):
        batch = rastrix.images_to_batch(crops(n, seed=k), size=512).astype(cp.float16 if k == 2 else cp.float32)
        before = (t.d_inputs["input"], t.d_outputs["output"])
        trt._log.clear()
        with cp.cuda.Stream() as caller:
            cp._standin.log.clear()
            out = t.forward(batch)
            s = t.stream.ptr
            assert cp._standin.log == [("record", caller.ptr), ("wait_event", s), ("execute", s), ("synchronize", s)]
        assert ("set_input_shape", "input", (n, 3, 512, 512)) in trt._log
        assert (t.d_inputs["input"] is not before[0], t.d_outputs["output"] is not before[1]) == (k == 1,) * 2
        assert out.shape == (n, 19, 512, 512) and out.data.ptr != t.d_outputs["output"].data.ptr
        assert t.d_inputs["input"].dtype == np.float32  # the engine's type; the float16 batch is converted
        np.testing.assert_allclose(cp.asnumpy(out), logits(batch)[0], atol=1e-5)
        results.append((out, cp.asnumpy(out).copy()))
    assert all(np.array_equal(cp.asnumpy(o), kept) for o, kept in results)  # copies, untouched by later calls


@standin
@pytest.mark.parametrize("model, profile, n, result, kept, open_shapes", [
    (lambda: models.parser(batch=1), None, 1, 0, True, False),  # (1, 19, 512, 512): the set-up's buffer fits
    (lambda: models.parser(outputs=2), BATCHES, 2, 1, False, False),  # both re-made, the last one returned
    (lambda: models.parser(outputs=2), BATCHES, 2, 1, False, True),  # the context leaves the shapes open
])
def test_trt_outputs(model, profile, n, result, kept, open_shapes, monkeypatch):
    t = seg.TrtFaceSegmentation(model_bytes=engine(model(), profile))
    if open_shapes:
        monkeypatch.setattr(t.ctx, "get_tensor_shape", lambda name: trt.Dims((-1, 19, -1, -1)), raising=False)
    first = dict(t.d_outputs)
    batch = rastrix.images_to_batch(crops(n), size=512)
    out = t.forward(batch)
    assert [t.d_outputs[name] is b for name, b in first.items()] == [kept] * len(first)
    assert {(b.shape, b.dtype) for b in t.d_outputs.values()} == {((n, 19, 512, 512), np.dtype(np.float32))}
    np.testing.assert_allclose(cp.asnumpy(out), logits(batch, model())[result], atol=1e-5)


@standin
def test_trt_refused_shapes_and_executions(trt_parser, monkeypatch):
    with pytest.raises(RuntimeError, match=r"\(17, 3, 512, 512\)"):
        trt_parser.forward(cp.zeros((17, 3, 512, 512), cp.float32))
    monkeypatch.setattr(trt_parser.ctx, "execute_async_v3", lambda handle: False, raising=False)
    with pytest.raises(RuntimeError, match="did not run"):
        trt_parser.get(crops(1)[0])


@standin
def test_no_leaks():
    small = seg.OnnxFaceSegmentation(model_bytes=models.parser(size=16), device="cpu")
    small.input_size = (16, 16)
    t = seg.TrtFaceSegmentation(model_bytes=engine(models.parser(size=8, out_size=512, batch=1), None))
    b = Scripted()

    def run(shape):  # the stand-in's call log and logger are kept out of the measures
        try:
            t.forward(cp.zeros(shape, cp.float32))
        finally:
            trt._log.clear()
            t.logger._messages.clear()

    assert_no_leaks(lambda: run((1, 3, 8, 8)), lambda: run((2, 3, 8, 8)), repeat=20, warmup=10)  # (2, ...) refused
    assert_no_leaks(
        lambda: small.get(uniform(3) + 0),
        lambda: b.batch_get([uniform(3) + 0] * 3, 2),
        lambda: b.composite_masks(cp.ones((1, 2, 19, 2, 2), cp.float32)),
        lambda: b.init_indexes([[1], (2, 2), 3]),
        repeat=60, warmup=60)
