"""The TensorRT stand-in (tests/standins/tensorrt) and the tiny ONNX models of tests/models.py."""

import gc
import os

import numpy as np
import onnx
import onnxruntime as ort
import pytest

import models

try:
    import tensorrt as trt
except ImportError:           # a GPU run without TensorRT: only the model tests apply
    trt = None
STANDIN = trt is not None and hasattr(trt, "_standin")
needs_standin = pytest.mark.skipif(not STANDIN, reason="exercises the TensorRT stand-in only")


def ort_run(model_bytes, feeds):
    sess = ort.InferenceSession(model_bytes, providers=["CPUExecutionProvider"])
    names = [o.name for o in sess.get_outputs()]
    return dict(zip(names, sess.run(None, feeds)))


def engine_of(blob):
    engine = trt.Runtime(trt.Logger(trt.Logger.WARNING)).deserialize_cuda_engine(blob)
    assert engine is not None
    return engine


def bind_all(ctx, engine, cp, shapes=None, fill=None):
    """One device buffer per tensor (engine shape, or `shapes[name]`), bound to ctx."""
    bufs = {}
    for name in engine:
        shape = (shapes or {}).get(name) or tuple(max(d, 1) for d in engine.get_tensor_shape(name))
        bufs[name] = cp.empty(list(shape), dtype=trt.nptype(engine.get_tensor_dtype(name)))
        if fill is not None:
            bufs[name][...] = fill
        assert ctx.set_tensor_address(name, bufs[name].data.ptr)
    return bufs


@pytest.fixture
def cp():
    return pytest.importorskip("cupy")


# ----------------------------------------------------------------------------------------
# Engine building and metadata


@needs_standin
class TestBuild:
    def test_builder_calls_as_the_converters_make_them(self, tmp_path):
        onnx_bytes = models.swapper(size=32)
        logger = trt.Logger(trt.Logger.WARNING)
        builder = trt.Builder(logger)
        network = builder.create_network(1 << int(trt.NetworkDefinitionCreationFlag.EXPLICIT_BATCH))
        parser = trt.OnnxParser(network, logger)
        assert parser.parse(onnx_bytes), [str(parser.get_error(i)) for i in range(parser.num_errors)]
        assert [network.get_input(i).name for i in range(network.num_inputs)] == ["target", "source"]
        assert tuple(network.get_input(0).shape) == (-1, 3, 32, 32)
        assert [network.get_output(i).name for i in range(network.num_outputs)] == ["output"]
        config = builder.create_builder_config()
        config.set_memory_pool_limit(trt.MemoryPoolType.WORKSPACE, 1 << 30)
        config.set_flag(trt.BuilderFlag.BF16)
        profile = builder.create_optimization_profile()
        profile.set_shape("target", (1, 3, 32, 32), (1, 3, 32, 32), (32, 3, 32, 32))
        profile.set_shape("source", (1, 512), (1, 512), (32, 512))
        assert config.add_optimization_profile(profile) == 0
        blob = builder.build_serialized_network(network, config)
        assert blob is not None
        path = tmp_path / "m.trt"
        with open(path, "wb") as f:
            f.write(blob)
        assert path.read_bytes() == bytes(blob)

        header = trt._standin.parse_engine(path.read_bytes())
        assert header["onnx"] == onnx_bytes
        assert header["workspace"] == 1 << 30
        assert "BF16" in header["precision"]
        assert header["inputs"][0] == {"name": "target", "dtype": "FLOAT",
                                       "min": [1, 3, 32, 32], "opt": [1, 3, 32, 32], "max": [32, 3, 32, 32]}

        engine = engine_of(path.read_bytes())
        assert list(engine) == ["target", "source", "output"]
        assert [engine.get_tensor_name(i) for i in range(engine.num_io_tensors)] == list(engine)
        assert [engine.get_tensor_mode(n) for n in engine] == [
            trt.TensorIOMode.INPUT, trt.TensorIOMode.INPUT, trt.TensorIOMode.OUTPUT]
        assert tuple(engine.get_tensor_shape("target")) == (-1, 3, 32, 32)
        assert tuple(engine.get_tensor_shape("source")) == (-1, 512)
        assert tuple(engine.get_tensor_shape("output")) == (-1, 3, 32, 32)
        assert engine.get_tensor_profile_shape("target", 0)[2] == (32, 3, 32, 32)

        # create_network() without flags works too; no flag set means no reduced precision
        network2 = builder.create_network()
        assert trt.OnnxParser(network2, logger).parse(models.restorer(size=16))
        config2 = builder.create_builder_config()
        config2.clear_flag(trt.BuilderFlag.TF32)
        header2 = trt._standin.parse_engine(builder.build_serialized_network(network2, config2))
        assert header2["precision"] == [] and header2["workspace"] is None

    @pytest.mark.parametrize("profile", [((1, 3, 640, 640),) * 3,
                                         ((1, 3, 320, 320), (1, 3, 640, 640), (1, 3, 640, 640))],
                             ids=["min-equals-max", "range"])
    def test_open_dimensions_stay_open_until_the_context_sets_them(self, profile):
        # symbolic height and width: the engine reports -1 whatever the profile
        engine = engine_of(trt._standin.build_engine(
            models.detector(9, input_shape=(1, 3, "h", "w")), profiles={"input.1": profile}, precision="bf16"))
        names = list(engine)
        assert names == ["input.1"] + models.detector_output_names(9)
        assert tuple(engine.get_tensor_shape("input.1")) == (1, 3, -1, -1)
        assert [tuple(s) for s in engine.get_tensor_profile_shape("input.1", 0)] == list(profile)
        assert tuple(engine.get_tensor_shape("bbox_32")) == (-1, 4)
        assert all(engine.get_tensor_dtype(n) == trt.DataType.FLOAT for n in names)
        assert all(engine.get_tensor_mode(n) == trt.TensorIOMode.OUTPUT for n in names[1:])
        assert trt.nptype(engine.get_tensor_dtype("score_8")) is np.float32

        ctx = engine.create_execution_context()
        assert tuple(ctx.get_tensor_shape("input.1")) == (1, 3, -1, -1)
        assert ctx.set_input_shape("input.1", (1, 3, 640, 640))
        assert tuple(ctx.get_tensor_shape("input.1")) == (1, 3, 640, 640)
        rows = {8: 12800, 16: 3200, 32: 800}
        for s in (8, 16, 32):
            assert tuple(ctx.get_tensor_shape(f"score_{s}")) == (rows[s], 1)
            assert tuple(ctx.get_tensor_shape(f"bbox_{s}")) == (rows[s], 4)
            assert tuple(ctx.get_tensor_shape(f"kps_{s}")) == (rows[s], 10)

    def test_tensor_types_follow_the_model(self):
        from onnx import TensorProto, helper

        graph = helper.make_graph(
            [helper.make_node("Cast", ["x"], ["y"], to=TensorProto.INT64),
             helper.make_node("Cast", ["x"], ["z"], to=TensorProto.INT32),
             helper.make_node("Cast", ["x"], ["u"], to=TensorProto.UINT8)],
            "types", [helper.make_tensor_value_info("x", TensorProto.FLOAT16, [2, 3])],
            [helper.make_tensor_value_info("y", TensorProto.INT64, [2, 3]),
             helper.make_tensor_value_info("z", TensorProto.INT32, [2, 3]),
             helper.make_tensor_value_info("u", TensorProto.UINT8, [2, 3])])
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
        model.ir_version = models.IR_VERSION
        engine = engine_of(trt._standin.build_engine(model.SerializeToString()))
        assert [engine.get_tensor_dtype(n) for n in engine] == [
            trt.DataType.HALF, trt.DataType.INT64, trt.DataType.INT32, trt.DataType.UINT8]
        assert [trt.nptype(engine.get_tensor_dtype(n)) for n in engine] == [
            np.float16, np.int64, np.int32, np.uint8]
        assert trt.nptype(trt.DataType.INT8) is np.int8 and trt.nptype(trt.DataType.BOOL) is np.bool_
        with pytest.raises(TypeError):
            trt.nptype(trt.DataType.BF16)
        # enum members convert to int but are not ints
        assert int(trt.NetworkDefinitionCreationFlag.EXPLICIT_BATCH) == 0
        assert trt.TensorIOMode.INPUT != 1 and trt.Logger.WARNING == trt.Logger.Severity.WARNING

    def test_failed_builds_and_unreadable_engines(self):
        logger = trt.Logger(trt.Logger.WARNING)
        builder = trt.Builder(logger)
        network = builder.create_network()
        parser = trt.OnnxParser(network, logger)
        assert not parser.parse(b"not a model")
        assert parser.num_errors >= 1 and str(parser.get_error(0))

        network = builder.create_network()
        assert trt.OnnxParser(network, logger).parse(models.swapper(size=16))
        # dynamic batch and no profile
        assert builder.build_serialized_network(network, builder.create_builder_config()) is None
        # profile that contradicts a fixed dimension
        config = builder.create_builder_config()
        profile = builder.create_optimization_profile()
        profile.set_shape("target", (1, 3, 8, 8), (1, 3, 8, 8), (4, 3, 8, 8))
        profile.set_shape("source", (1, 512), (1, 512), (4, 512))
        config.add_optimization_profile(profile)
        assert builder.build_serialized_network(network, config) is None
        # min > max is refused when the profile is added
        bad = builder.create_optimization_profile()
        bad.set_shape("target", (4, 3, 16, 16), (1, 3, 16, 16), (1, 3, 16, 16))
        assert builder.create_builder_config().add_optimization_profile(bad) == -1
        assert any(sev == trt.Logger.ERROR for sev, _ in logger._messages)
        with pytest.raises(ValueError):
            trt._standin.build_engine(models.swapper(size=16))

        runtime = trt.Runtime(logger)
        good = trt._standin.build_engine(models.restorer(size=16))
        assert runtime.deserialize_cuda_engine(b"junk") is None
        assert runtime.deserialize_cuda_engine(good[:20]) is None
        assert runtime.deserialize_cuda_engine(models.restorer(size=16)) is None   # ONNX is no engine
        assert runtime.deserialize_cuda_engine(bytearray(good)) is not None


# ----------------------------------------------------------------------------------------
# Execution through bound device buffers


@needs_standin
class TestExecute:
    def test_fixed_shape_engine_matches_onnxruntime(self, cp):
        onnx_bytes = models.detector(15, input_shape=(1, 3, 256, 256))
        engine = engine_of(trt._standin.build_engine(onnx_bytes))
        ctx = engine.create_execution_context()
        bufs = bind_all(ctx, engine, cp)
        x = models.detector_input(models.plant_square(256, 256, 128, 128, 64))
        bufs["input.1"][...] = cp.asarray(x)
        trt._log.clear()
        assert ctx.execute_async_v3(1234) is True
        assert trt._log == [("execute", 1234)]
        want = ort_run(onnx_bytes, {"input.1": x})
        for name in models.detector_output_names(15):
            np.testing.assert_array_equal(cp.asnumpy(bufs[name]), want[name])
        assert cp.asnumpy(bufs["score_16"]).max() > 0.9

    def test_dynamic_batch_shapes(self, cp):
        onnx_bytes = models.swapper(size=16)
        engine = engine_of(trt._standin.build_engine(onnx_bytes, profiles={
            "target": ((1, 3, 16, 16), (1, 3, 16, 16), (8, 3, 16, 16)),
            "source": ((1, 512), (1, 512), (8, 512))}))
        ctx = engine.create_execution_context()
        assert tuple(ctx.get_tensor_shape("output")) == (-1, 3, 16, 16)
        assert not ctx.set_input_shape("target", (9, 3, 16, 16))      # above the profile
        assert not ctx.set_input_shape("target", (2, 3, 32, 32))      # fixed dimension changed
        assert not ctx.set_input_shape("target", (2, 3, 16))          # wrong rank
        assert not ctx.set_input_shape("output", (2, 3, 16, 16))      # not an input
        assert ctx.set_input_shape("target", (3, 3, 16, 16))
        assert ctx.set_input_shape("source", (3, 512))
        assert tuple(ctx.get_tensor_shape("target")) == (3, 3, 16, 16)
        assert tuple(ctx.get_tensor_shape("output")) == (3, 3, 16, 16)

        rng = np.random.default_rng(0)
        t = rng.random((3, 3, 16, 16), dtype=np.float32)
        s = rng.standard_normal((3, 512)).astype(np.float32)
        bufs = bind_all(ctx, engine, cp, shapes={"target": t.shape, "source": s.shape, "output": t.shape})
        bufs["target"][...] = cp.asarray(t)
        bufs["source"][...] = cp.asarray(s)
        assert ctx.execute_async_v3(0)
        np.testing.assert_array_equal(cp.asnumpy(bufs["output"]),
                                      ort_run(onnx_bytes, {"target": t, "source": s})["output"])

        # a smaller batch through the same (larger) buffers
        assert ctx.set_input_shape("target", (1, 3, 16, 16)) and ctx.set_input_shape("source", (1, 512))
        assert ctx.execute_async_v3(0)
        got = cp.asnumpy(bufs["output"])[:1]
        np.testing.assert_array_equal(got, ort_run(onnx_bytes, {"target": t[:1], "source": s[:1]})["output"])

    def test_refused_executions_write_nothing(self, cp):
        onnx_bytes = models.swapper(size=8)
        engine = engine_of(trt._standin.build_engine(onnx_bytes, profiles={
            "target": ((1, 3, 8, 8), (2, 3, 8, 8), (4, 3, 8, 8)), "source": ((1, 512), (2, 512), (4, 512))}))

        # input shapes never set
        ctx = engine.create_execution_context()
        bufs = bind_all(ctx, engine, cp, shapes={"target": (2, 3, 8, 8), "source": (2, 512),
                                                 "output": (2, 3, 8, 8)}, fill=7)
        assert ctx.execute_async_v3(5) is False
        # a shape outside the profile is not taken
        assert not ctx.set_input_shape("target", (5, 3, 8, 8))
        assert ctx.set_input_shape("source", (2, 512))
        assert ctx.execute_async_v3(5) is False
        assert (cp.asnumpy(bufs["output"]) == 7).all()

        # an input address never set
        ctx = engine.create_execution_context()
        assert ctx.set_input_shape("target", (2, 3, 8, 8)) and ctx.set_input_shape("source", (2, 512))
        out = cp.empty((2, 3, 8, 8), dtype=np.float32)
        out[...] = 7
        src = cp.zeros((2, 512), dtype=np.float32)
        ctx.set_tensor_address("output", out.data.ptr)
        ctx.set_tensor_address("source", src.data.ptr)
        assert ctx.execute_async_v3(5) is False
        assert (cp.asnumpy(out) == 7).all()
        assert not ctx.set_tensor_address("nonexistent", out.data.ptr)

    def test_bad_buffers_raise(self, cp):
        onnx_bytes = models.detector(9, input_shape=(1, 3, 64, 64))
        engine = engine_of(trt._standin.build_engine(onnx_bytes))

        def fresh():
            ctx = engine.create_execution_context()
            bufs = bind_all(ctx, engine, cp, fill=0)
            return ctx, bufs

        # input buffer too small
        ctx, bufs = fresh()
        small = cp.zeros((1, 3, 32, 64), dtype=np.float32)
        ctx.set_tensor_address("input.1", small.data.ptr)
        with pytest.raises(RuntimeError, match="input.1"):
            ctx.execute_async_v3(0)

        # output buffer too small: nothing is written to any output
        ctx, bufs = fresh()
        bufs["input.1"][...] = cp.asarray(models.detector_input(models.plant_square(64, 64, 32, 32, 32)))
        tiny = cp.zeros((3, 4), dtype=np.float32)
        ctx.set_tensor_address("bbox_16", tiny.data.ptr)
        with pytest.raises(RuntimeError, match="bbox_16"):
            ctx.execute_async_v3(0)
        assert not cp.asnumpy(bufs["score_16"]).any()

        # buffer of another element type (same byte count would not be enough to notice)
        ctx, bufs = fresh()
        wide = cp.zeros((1, 3, 64, 64), dtype=np.float64)
        ctx.set_tensor_address("input.1", wide.data.ptr)
        with pytest.raises(RuntimeError, match="input.1"):
            ctx.execute_async_v3(0)

        # freed buffer
        ctx, bufs = fresh()
        gone = cp.zeros((1, 3, 64, 64), dtype=np.float32)
        ctx.set_tensor_address("input.1", gone.data.ptr)
        del gone
        gc.collect()
        with pytest.raises(RuntimeError, match="input.1"):
            ctx.execute_async_v3(0)


# ----------------------------------------------------------------------------------------
# Model builders


def decode(outputs, n_out, height, width, threshold=0.5):
    """Per-anchor decoding of the detector outputs: rows (stride, anchor, score, box, kps)."""
    strides, anchors, use_kps = models.detector_layout(n_out)
    fmc = len(strides)
    found = []
    for idx, s in enumerate(strides):
        h, w = height // s, width // s
        ys, xs = np.mgrid[:h, :w]
        centres = np.repeat(np.stack([xs, ys], -1).reshape(-1, 2) * s, anchors, axis=0).astype(np.float32)
        scores = outputs[idx][:, 0]
        dist = outputs[idx + fmc] * s
        boxes = np.concatenate([centres - dist[:, :2], centres + dist[:, 2:]], axis=1)
        kps = (centres[:, None] + (outputs[idx + 2 * fmc] * s).reshape(-1, 5, 2)) if use_kps else None
        for row in np.nonzero(scores >= threshold)[0]:
            found.append((s, row % anchors, scores[row], boxes[row], None if kps is None else kps[row]))
    return found


class TestModels:
    @pytest.mark.parametrize("n_out", [6, 9, 10, 15])
    def test_detector_finds_a_planted_square(self, n_out):
        onnx_bytes = models.detector(n_out)
        strides, anchors, use_kps = models.detector_layout(n_out)
        sess = ort.InferenceSession(onnx_bytes, providers=["CPUExecutionProvider"])
        assert [o.name for o in sess.get_outputs()] == models.detector_output_names(n_out)
        for s in strides:
            side = models.detector_square_side(s)
            cx = cy = 256 if side > 320 else 320
            image = models.plant_square(640, 640, cx, cy, side)
            outs = sess.run(None, {"input.1": models.detector_input(image)})
            for idx, st in enumerate(strides):
                rows = (640 // st) ** 2 * anchors
                assert outs[idx].shape == (rows, 1) and outs[idx + len(strides)].shape == (rows, 4)
                if use_kps:
                    assert outs[idx + 2 * len(strides)].shape == (rows, 10)
            found = decode(outs, n_out, 640, 640)
            assert [(f[0], f[1]) for f in found] == [(s, a) for a in range(anchors)]
            for stride, anchor, score, box, kps in found:
                want_box, want_score, want_kps = models.expected_detection(cx, cy, side, anchor)
                np.testing.assert_allclose(box, want_box, atol=1e-3)
                assert score == pytest.approx(want_score, abs=1e-4)
                if use_kps:
                    np.testing.assert_allclose(kps, want_kps, atol=1e-3)
        # a square of no detector size, or a black frame, gives nothing
        for image in (models.plant_square(640, 640, 320, 320, 48), np.zeros((640, 640, 3), np.float32)):
            assert decode(sess.run(None, {"input.1": models.detector_input(image)}), n_out, 640, 640) == []

    def test_detector_with_symbolic_size(self):
        onnx_bytes = models.detector(9, input_shape=(1, 3, "h", "w"))
        sess = ort.InferenceSession(onnx_bytes, providers=["CPUExecutionProvider"])
        assert sess.get_inputs()[0].shape == [1, 3, "h", "w"]
        image = models.plant_square(320, 480, 64, 96, 64)            # stride 16, off-centre
        outs = sess.run(None, {"input.1": models.detector_input(image)})
        assert outs[0].shape == ((320 // 8) * (480 // 8) * 2, 1)
        found = decode(outs, 9, 320, 480)
        assert [(f[0], f[1]) for f in found] == [(16, 0), (16, 1)]
        np.testing.assert_allclose(found[0][3], models.expected_detection(64, 96, 64)[0], atol=1e-3)

    def test_embedder(self):
        def first_names(b):
            return [n.name for n in onnx.load_model_from_string(b).graph.node[:8]]

        assert first_names(models.embedder())[:2] == ["Sub_0", "Mul_1"]
        assert first_names(models.embedder(normalise="minus_mul"))[:2] == ["_minus0", "_mul1"]
        plain = first_names(models.embedder(normalise="none"))
        assert not any(n.startswith(("Sub", "Mul", "_minus", "_mul")) for n in plain)
        late = ["Sub_0"] + [f"Id{i}" for i in range(1, 8)] + ["Mul_8"]
        assert first_names(models.embedder(leading=late)) == late[:8]

        onnx_bytes = models.embedder(dim=512)
        sess = ort.InferenceSession(onnx_bytes, providers=["CPUExecutionProvider"])
        assert sess.get_inputs()[0].shape == [1, 3, 112, 112] and sess.get_outputs()[0].shape == [1, 512]
        rng = np.random.default_rng(1)
        a, b = (rng.random((1, 3, 112, 112), dtype=np.float32) for _ in range(2))
        ea, eb = (sess.run(None, {"input.1": x})[0] for x in (a, b))
        assert ea.shape == (1, 512) and not np.allclose(ea, eb)
        np.testing.assert_array_equal(ea, sess.run(None, {"input.1": a})[0])
        assert models.embedder(dim=512) == onnx_bytes                  # deterministic weights
        wide = ort.InferenceSession(models.embedder(input_shape=(1, 3, 128, 96), dim=64),
                                    providers=["CPUExecutionProvider"])
        assert wide.run(None, {"input.1": np.zeros((1, 3, 128, 96), np.float32)})[0].shape == (1, 64)

    def test_swapper(self):
        sess = ort.InferenceSession(models.swapper(), providers=["CPUExecutionProvider"])
        assert [i.name for i in sess.get_inputs()] == ["target", "source"]
        assert sess.get_inputs()[0].shape[1:] == [3, 256, 256] and sess.get_inputs()[1].shape[1:] == [512]
        rng = np.random.default_rng(2)
        t = rng.random((3, 3, 256, 256), dtype=np.float32)
        s = rng.standard_normal((3, 512)).astype(np.float32)
        out = sess.run(None, {"target": t, "source": s})[0]
        assert out.shape == (3, 3, 256, 256) and 0 < out.min() and out.max() < 1
        other = sess.run(None, {"target": t, "source": -s})[0]
        assert not np.allclose(out, other)
        one = sess.run(None, {"target": t[:1], "source": s[:1]})[0]
        np.testing.assert_allclose(one, out[:1], rtol=1e-6)

    def test_parser(self):
        sess = ort.InferenceSession(models.parser(), providers=["CPUExecutionProvider"])
        assert len(sess.get_outputs()) == 1
        rng = np.random.default_rng(3)
        x = rng.uniform(-2, 2, (2, 3, 512, 512)).astype(np.float32)
        (logits,) = sess.run(None, {"input": x})
        assert logits.shape == (2, 19, 512, 512)
        np.testing.assert_array_equal(logits.argmax(axis=1), models.parser_classes(x))
        assert len(np.unique(models.parser_classes(x))) == 19
        two = ort.InferenceSession(models.parser(size=16, outputs=2), providers=["CPUExecutionProvider"])
        a, b = two.run(None, {"input": x[:, :, :16, :16]})
        assert a.shape == b.shape == (2, 19, 16, 16)

    def test_restorer_and_gender_age(self):
        sess = ort.InferenceSession(models.restorer(), providers=["CPUExecutionProvider"])
        x = np.random.default_rng(4).uniform(-1, 1, (1, 3, 512, 512)).astype(np.float32)
        (y,) = sess.run(None, {"input": x})
        assert y.shape == (1, 3, 512, 512) and -1 < y.min() and y.max() < 1
        assert np.corrcoef(x.ravel(), y.ravel())[0, 1] > 0.8

        sess = ort.InferenceSession(models.gender_age(), providers=["CPUExecutionProvider"])
        assert sess.get_inputs()[0].shape == [1, 3, 96, 96] and sess.get_outputs()[0].shape == [1, 3]
        x = np.zeros((1, 3, 96, 96), np.float32)
        x[0, 0], x[0, 1], x[0, 2] = 40.0, 64.0, 100.0
        (y,) = sess.run(None, {"data": x})
        np.testing.assert_allclose(y, models.expected_gender_age(x), rtol=1e-6)
        np.testing.assert_allclose(y, [[40 / 128, 100 / 128, 0.45]], rtol=1e-6)

    def test_models_write_to_a_path(self, tmp_path):
        path = os.path.join(tmp_path, "g.onnx")
        data = models.gender_age(path=path)
        with open(path, "rb") as f:
            assert f.read() == data
