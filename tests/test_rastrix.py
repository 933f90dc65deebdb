"""rastrix, the GPU image library: resize, affine warp, blur, batches and the engine converters."""

import functools
import math
import os

import numpy as np
import pytest

import models

cp = pytest.importorskip("cupy")
rx = pytest.importorskip("rastrix")


def dev(a, dtype=np.float32):
    return cp.asarray(np.asarray(a, dtype=dtype))


def host(a):
    return cp.asnumpy(a)


def ramp(h, w, c=None):
    """Image whose value at (y, x) is 10 y + x (plus 100 k in channel k)."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    img = 10 * y + x
    if c:
        img = np.stack([img + 100 * k for k in range(c)], axis=-1)
    return img


# ---- resize -----------------------------------------------------------------------------------


class TestResize:
    def test_size_is_width_height_and_the_type_is_kept(self):
        img = dev(np.zeros((6, 8, 3)))
        out = rx.resize(img, (5, 3), interpolation=rx.INTER_AUTO)
        assert isinstance(out, cp.ndarray) and out.shape == (3, 5, 3) and out.dtype == cp.float32
        assert rx.resize(dev(np.zeros((6, 8)), np.float64), (16, 12)).shape == (12, 16)
        assert rx.resize(dev(np.zeros((6, 8)), np.float64), (16, 12)).dtype == cp.float64
        assert len({rx.INTER_AUTO, rx.INTER_AREA, rx.INTER_LINEAR, rx.INTER_NEAREST}) == 4
        with pytest.raises(ValueError):
            rx.resize(img, (0, 3))

    @pytest.mark.parametrize("mode", ["INTER_AUTO", "INTER_AREA", "INTER_LINEAR", "INTER_NEAREST"])
    @pytest.mark.parametrize("size", [(3, 2), (7, 5), (16, 9), (4, 4)])
    def test_constant_image_stays_constant(self, mode, size):
        out = host(rx.resize(dev(np.full((4, 4, 3), 0.7)), size, interpolation=getattr(rx, mode)))
        np.testing.assert_allclose(out, 0.7, rtol=1e-6)

    def test_area_shrink_averages_blocks_including_partial_pixels(self):
        img = ramp(4, 6, 3)
        out = host(rx.resize(dev(img), (3, 2), interpolation=rx.INTER_AUTO))
        np.testing.assert_allclose(out, img.reshape(2, 2, 3, 2, 3).mean(axis=(1, 3)), rtol=1e-6)
        # 3 -> 2 pixels: each output covers 1.5 source pixels.
        row = host(rx.resize(dev([[0.0, 3.0, 6.0]]), (2, 1), interpolation=rx.INTER_AREA))
        np.testing.assert_allclose(row, [[(0 + 1.5) / 1.5, (1.5 + 6) / 1.5]], rtol=1e-6)

    def test_linear_enlarge_uses_half_pixel_centres(self):
        row = host(rx.resize(dev([[0.0, 1.0]]), (4, 1)))  # INTER_AUTO enlarges bilinearly
        np.testing.assert_allclose(row, [[0.0, 0.25, 0.75, 1.0]], atol=1e-7)
        img = ramp(3, 5)
        up = host(rx.resize(dev(img), (10, 6), interpolation=rx.INTER_LINEAR))
        # Away from the clamped edges a ramp stays a ramp: output (i, j) samples (i + .5) / 2 - .5.
        i, j = np.mgrid[1:5, 1:9]
        np.testing.assert_allclose(up[1:5, 1:9], 10 * ((i + 0.5) / 2 - 0.5) + ((j + 0.5) / 2 - 0.5), rtol=1e-6)

    def test_auto_chooses_per_axis_and_nearest_picks_pixels(self):
        img = ramp(4, 2)
        out = host(rx.resize(dev(img), (4, 2)))  # rows shrink (area), columns grow (linear)
        rows = img.reshape(2, 2, 2).mean(axis=1)
        np.testing.assert_allclose(out[:, [0, 3]], rows, rtol=1e-6)
        np.testing.assert_allclose(out[:, 1], rows[:, 0] * 0.75 + rows[:, 1] * 0.25, rtol=1e-6)
        near = host(rx.resize(dev(ramp(4, 4)), (2, 2), interpolation=rx.INTER_NEAREST))
        np.testing.assert_array_equal(near, ramp(4, 4)[1::2, 1::2])

    def test_integer_images_are_rounded_back(self):
        img = cp.asarray(np.array([[0, 255, 100, 101]], dtype=np.uint8))
        out = rx.resize(img, (2, 1), interpolation=rx.INTER_AREA)
        assert out.dtype == cp.uint8
        np.testing.assert_array_equal(host(out), [[128, 101]])  # 127.5 and 100.5 round half up


# ---- affine warp ------------------------------------------------------------------------------


def reference_warp(img, M, out_hw):
    """Straightforward per-pixel bilinear warp: output q samples M^-1 q, zero outside."""
    A = np.vstack([np.asarray(M, np.float64), [0, 0, 1]])
    inv = np.linalg.inv(A)
    h, w = img.shape[:2]
    out = np.zeros(out_hw + img.shape[2:])
    for Y in range(out_hw[0]):
        for X in range(out_hw[1]):
            x, y, _ = inv @ (X, Y, 1)
            x0, y0 = math.floor(x), math.floor(y)
            for yy, wy in ((y0, 1 - (y - y0)), (y0 + 1, y - y0)):
                for xx, wx in ((x0, 1 - (x - x0)), (x0 + 1, x - x0)):
                    if 0 <= yy < h and 0 <= xx < w:
                        out[Y, X] += wy * wx * img[yy, xx]
    return out


def dot_image(h, w, x, y, c=3):
    img = np.zeros((h, w, c))
    img[y, x] = 1.0
    return img


class TestAffine:
    @pytest.mark.parametrize("M, lands", [
        ([[1, 0, 5], [0, 1, -1]], (8, 1)),          # translation
        ([[2, 0, 0], [0, 2, 0]], (6, 4)),           # scale about the origin
        ([[0, -1, 9], [1, 0, 0]], (7, 3)),          # quarter turn: (x, y) -> (9 - y, x)
    ])
    def test_a_bright_pixel_lands_where_M_sends_it(self, M, lands):
        img = dot_image(6, 7, 3, 2)
        out = host(rx.affine_transform(dev(img), dev(M, np.float64), (8, 12)))
        assert out.shape == (8, 12, 3)
        assert np.unravel_index(out[..., 0].argmax(), out.shape[:2]) == (lands[1], lands[0])
        np.testing.assert_allclose(out[lands[1], lands[0]], 1.0, atol=1e-6)

    def test_matches_a_hand_computed_warp(self):
        rng = np.random.default_rng(3)
        img = rng.uniform(0, 1, (9, 11, 3))
        a = math.radians(25)
        M = [[1.3 * math.cos(a), -1.3 * math.sin(a), 4.2], [1.3 * math.sin(a), 1.3 * math.cos(a), -2.7]]
        out = host(rx.affine_transform(dev(img, np.float64), dev(M, np.float64), (13, 17)))
        np.testing.assert_allclose(out, reference_warp(img, M, (13, 17)), atol=1e-9)
        # The matrix may come from the host too, and a 2-D image works alike.
        out2 = host(rx.affine_transform(dev(img[..., 0], np.float64), np.array(M), (13, 17)))
        np.testing.assert_allclose(out2, out[..., 0], atol=1e-9)

    def test_output_is_zero_outside_the_source_and_keeps_the_type(self):
        img = dev(np.ones((4, 4, 3)))
        out = rx.affine_transform(img, dev([[1, 0, 2], [0, 1, 2]], np.float64), (10, 10))
        assert out.dtype == cp.float32
        o = host(out)[..., 0]
        assert o[2:6, 2:6].min() == 1.0
        assert o[7:, :].max() == 0.0 and o[:, 7:].max() == 0.0 and o[:1].max() == 0.0
        far = rx.affine_transform(img, dev([[1, 0, 500], [0, 1, 0]], np.float64), (10, 10))
        assert host(far).max() == 0.0


class TestInverse:
    def test_round_trip(self):
        M = np.array([[0.8, -0.3, 12.5], [0.35, 0.9, -4.0]])
        IM = rx.get_inverse_matrix(dev(M, np.float64))
        assert isinstance(IM, cp.ndarray) and IM.shape == (2, 3) and IM.dtype == cp.float64
        A, B = np.vstack([M, [0, 0, 1]]), np.vstack([host(IM), [0, 0, 1]])
        np.testing.assert_allclose(A @ B, np.eye(3), atol=1e-12)
        # Warping there and back restores the interior of an image.
        img = np.random.default_rng(0).uniform(0, 1, (20, 20, 3))
        there = rx.affine_transform(dev(img, np.float64), dev(np.array([[1, 0, 3], [0, 1, 2]]), np.float64), (26, 26))
        back = rx.affine_transform(there, rx.get_inverse_matrix(dev([[1, 0, 3], [0, 1, 2]], np.float64)), (20, 20))
        np.testing.assert_allclose(host(back), img, atol=1e-12)

    @pytest.mark.parametrize("M", [[[1, 2, 0], [2, 4, 1]], [[0, 0, 0], [0, 0, 0]], [[np.nan, 0, 0], [0, 1, 0]],
                                   [[np.inf, 0, 0], [0, 1, 0]], [[1, 0, np.inf], [0, 1, 0]], [[1, 0, 0], [0, 1, -np.inf]]])
    def test_singular_or_not_finite(self, M):
        with pytest.raises(ValueError):
            rx.get_inverse_matrix(dev(M, np.float64))
        # no inverse to sample through: the warp is all zero
        for img in (np.ones((4, 4, 3)), np.ones((4, 4))):
            out = host(rx.affine_transform(dev(img), dev(M, np.float64), (6, 5)))
            assert out.shape == (6, 5) + img.shape[2:] and not out.any()


# ---- blur -------------------------------------------------------------------------------------


class TestBlur:
    def test_ksize_zero_returns_the_image(self):
        img = dev(np.random.default_rng(1).uniform(0, 1, (8, 8, 3)))
        assert rx.GaussianBlur().get(img, 0, 0.0) is img

    @pytest.mark.parametrize("ksize, sigma", [(5, 1.2), (7, 0.0), (4, 1.5), (73, 73.0)])
    def test_normalised_kernel(self, ksize, sigma):
        blur = rx.GaussianBlur()
        np.testing.assert_allclose(host(blur.get(dev(np.full((9, 10, 3), 0.4)), ksize, sigma)), 0.4, rtol=1e-5)
        img = np.zeros((41, 41, 3))
        img[20, 20] = 1.0
        out = host(blur.get(dev(img), ksize, sigma))
        if ksize % 2:  # odd kernels are centred: the result is symmetric about the impulse
            np.testing.assert_allclose(out, out[::-1, ::-1], atol=1e-7)
        if ksize < 40:  # the kernel stays inside the image: nothing is folded back at the borders
            np.testing.assert_allclose(out.sum(axis=(0, 1)), 1.0, rtol=1e-5)
            assert out[20, 20, 0] == out[..., 0].max()

    def test_sigma_derived_from_ksize_and_1d_profile(self):
        blur = rx.GaussianBlur()
        img = np.zeros((1, 15))
        img[0, 7] = 1.0
        derived = host(blur.get(dev(img, np.float64), 5, -1.0))
        sigma = 0.3 * ((5 - 1) * 0.5 - 1) + 0.8
        k = np.exp(-np.arange(-2, 3) ** 2 / (2 * sigma ** 2))
        np.testing.assert_allclose(derived[0, 5:10], k / k.sum(), rtol=1e-12)
        np.testing.assert_allclose(host(blur.get(dev(img, np.float64), 5, sigma)), derived, rtol=1e-12)
        with pytest.raises(TypeError):
            blur.get(dev(img), 5.0, 1.0)


# ---- element types and batches ----------------------------------------------------------------


def test_to_float32_and_to_numpy():
    u8 = cp.asarray(np.array([[0, 51, 255]], dtype=np.uint8))
    np.testing.assert_allclose(host(rx.to_float32(u8)), [[0.0, 0.2, 1.0]], rtol=1e-7)
    assert rx.to_float32(u8).dtype == cp.float32
    f32 = dev([[0.5]])
    assert rx.to_float32(f32) is f32
    assert rx.to_float32(dev([[0.25]], np.float64)).dtype == cp.float32
    h = rx.to_numpy(f32)
    assert type(h) is np.ndarray and h.dtype == np.float32 and h[0, 0] == 0.5


class TestBatches:
    MEAN, STD = (0.485, 0.456, 0.406), (0.229, 0.224, 0.225)

    def test_layout_normalisation_and_swap(self):
        rng = np.random.default_rng(2)
        imgs = [rng.uniform(0, 1, (6, 5, 3)) for _ in range(2)]
        batch = rx.images_to_batch([dev(i) for i in imgs], std=self.STD, size=(5, 6), mean=self.MEAN,
                                   swap_rb=True, layout="HWC")
        assert batch.shape == (2, 3, 6, 5) and batch.dtype == cp.float32
        expect = (np.stack(imgs)[..., ::-1] - self.MEAN) / self.STD  # swap first, then per-channel values
        np.testing.assert_allclose(host(batch), expect.transpose(0, 3, 1, 2), atol=1e-6)
        plain = rx.images_to_batch(dev(imgs[0]), std=0.5, mean=0.5)  # one image, its own size
        np.testing.assert_allclose(host(plain), ((imgs[0] - 0.5) / 0.5).transpose(2, 0, 1)[None], atol=1e-6)

    def test_round_trip_with_batch_to_images(self):
        rng = np.random.default_rng(4)
        imgs = [dev(rng.uniform(0, 1, (8, 8, 3))) for _ in range(3)]
        batch = rx.images_to_batch(imgs, std=self.STD, size=8, mean=self.MEAN, swap_rb=True, layout="HWC")
        back = rx.batch_to_images(batch, std=self.STD, mean=self.MEAN, swap_rb=True, layout="NCHW")
        assert type(back) is list and len(back) == 3
        for a, b in zip(imgs, back):
            assert b.shape == (8, 8, 3) and b.dtype == cp.float32
            np.testing.assert_allclose(host(b), host(a), atol=1e-6)
        batch[...] = 0  # the images are fresh arrays, not views of the batch
        assert host(back[0]).max() > 0
        raw = rx.batch_to_images(batch + 0.25, swap_rb=False, layout="NCHW")  # no std/mean: values as they are
        np.testing.assert_allclose(host(raw[1]), 0.25)

    def test_swap_with_more_channels_trades_only_the_first_and_third(self):
        img = np.random.default_rng(6).uniform(0, 1, (5, 4, 4))
        mean, std = (0.1, 0.2, 0.3, 0.4), (0.5, 0.6, 0.7, 0.8)
        batch = rx.images_to_batch(dev(img), std=std, mean=mean, swap_rb=True)
        expect = (img[..., [2, 1, 0, 3]] - mean) / std
        np.testing.assert_allclose(host(batch)[0], expect.transpose(2, 0, 1), atol=1e-6)
        back = rx.batch_to_images(batch, std=std, mean=mean, swap_rb=True)
        np.testing.assert_allclose(host(back[0]), img, atol=1e-6)
        raw = rx.batch_to_images(batch, swap_rb=True, layout="NCHW")
        np.testing.assert_allclose(host(raw[0]), expect[..., [2, 1, 0, 3]], atol=1e-6)

    def test_sizes_resizing_and_integer_images(self):
        u8 = cp.asarray(np.full((10, 20, 3), 255, dtype=np.uint8))
        small = dev(np.full((4, 6, 3), 0.5))
        batch = rx.images_to_batch([u8, small], size=(6, 4))  # the first image is resized down
        assert batch.shape == (2, 3, 4, 6)
        np.testing.assert_allclose(host(batch)[0], 1.0, rtol=1e-6)
        np.testing.assert_allclose(host(batch)[1], 0.5, rtol=1e-6)
        one = rx.image_to_batch(small, size=8, std=1.0, mean=0.0, swap_rb=True)
        assert one.shape == (1, 3, 8, 8)
        assert rx.images_to_batch([], size=(5, 4)).shape == (0, 3, 4, 5)

    def test_bad_arguments(self):
        img = dev(np.zeros((4, 4, 3)))
        with pytest.raises(ValueError):
            rx.images_to_batch(img, std=(1.0, 0.0, 1.0))
        with pytest.raises(ValueError):
            rx.images_to_batch(img, mean=(0.1, 0.2))
        with pytest.raises(ValueError):
            rx.images_to_batch(img, size=())
        with pytest.raises(ValueError):
            rx.images_to_batch([])
        with pytest.raises(ValueError):
            rx.batch_to_images(dev(np.zeros((3, 4, 4))))


# ---- engine converters ------------------------------------------------------------------------


@pytest.fixture
def trt():
    return pytest.importorskip("tensorrt")


def leftovers(folder):
    return [n for n in os.listdir(folder) if n.endswith(".tmp")]


def load_engine(trt, path):
    with open(path, "rb") as f:
        engine = trt.Runtime(trt.Logger(trt.Logger.WARNING)).deserialize_cuda_engine(f.read())
    assert engine is not None
    return engine


class TestConverters:
    def test_dynamic_shape_profile(self, trt, tmp_path):
        onnx_path = str(tmp_path / "m.onnx")
        models.parser(classes=2, size="S", path=onnx_path)  # N x 3 x S x S, batch and sides open
        trt_path = str(tmp_path / "m.trt")
        rx.onnx_to_trt_dynamic_shape(onnx_path, trt_path, precision="bf16", batch_range=(1, 1, 1),
                                     spatial_range=(64, 64, 64))
        assert os.path.exists(trt_path) and not leftovers(tmp_path)
        engine = load_engine(trt, trt_path)
        assert tuple(engine.get_tensor_shape("input")) == (-1, 3, -1, -1)  # open, whatever the profile
        assert [tuple(s) for s in engine.get_tensor_profile_shape("input", 0)] == [(1, 3, 64, 64)] * 3

        rx.onnx_to_trt_dynamic_shape(onnx_path, trt_path, precision="fp16", batch_range=(1, 2, 4),
                                     spatial_range=(32, 48, 64), workspace=1 << 20)
        engine = load_engine(trt, trt_path)
        assert tuple(engine.get_tensor_shape("input")) == (-1, 3, -1, -1)
        assert [tuple(s) for s in engine.get_tensor_profile_shape("input", 0)] == [
            (1, 3, 32, 32), (2, 3, 48, 48), (4, 3, 64, 64)]
        if hasattr(trt, "_standin"):
            assert "FP16" in engine._precision_flags and "BF16" not in engine._precision_flags
            assert engine._workspace == 1 << 20
        assert not leftovers(tmp_path)

    def test_fixed_dimensions_of_the_model_stay_fixed(self, trt, tmp_path):
        onnx_path = str(tmp_path / "swap.onnx")
        models.swapper(size=32, path=onnx_path)  # target N x 3 x 32 x 32, source N x 512
        rx.onnx_to_trt_dynamic_shape(onnx_path, str(tmp_path / "swap.trt"), precision="bf16",
                                     batch_range=(1, 1, 32), spatial_range=(256, 256, 256))
        engine = load_engine(trt, str(tmp_path / "swap.trt"))
        assert [tuple(s) for s in engine.get_tensor_profile_shape("target", 0)] == [
            (1, 3, 32, 32), (1, 3, 32, 32), (32, 3, 32, 32)]
        assert [tuple(s) for s in engine.get_tensor_profile_shape("source", 0)] == [(1, 512), (1, 512), (32, 512)]

    def test_fixed_shape(self, trt, tmp_path):
        onnx_path = str(tmp_path / "r.onnx")
        models.restorer(size=16, batch="N", path=onnx_path)
        rx.onnx_to_trt_fixed_shape(onnx_path=onnx_path, engine_path=str(tmp_path / "r.trt"),
                                   input_shape=(1, 3, 16, 16), precision="tf32")
        engine = load_engine(trt, str(tmp_path / "r.trt"))
        assert tuple(engine.get_tensor_shape("input")) == (-1, 3, 16, 16)
        assert [tuple(s) for s in engine.get_tensor_profile_shape("input", 0)] == [(1, 3, 16, 16)] * 3
        if hasattr(trt, "_standin"):
            assert engine._precision_flags == ["TF32"]
        rx.onnx_to_trt_fixed_shape(onnx_path=onnx_path, engine_path=str(tmp_path / "r.trt"),
                                   input_shape=(2, 3, 16, 16), precision="fp32")
        engine = load_engine(trt, str(tmp_path / "r.trt"))
        assert [tuple(s) for s in engine.get_tensor_profile_shape("input", 0)] == [(2, 3, 16, 16)] * 3
        if hasattr(trt, "_standin"):
            assert engine._precision_flags == []  # fp32: no reduced precision, TF32 included

    def test_failures_leave_the_target_alone(self, trt, tmp_path):
        bad = tmp_path / "bad.onnx"
        bad.write_bytes(b"not a model")
        target = tmp_path / "bad.trt"
        target.write_bytes(b"old engine")
        with pytest.raises(RuntimeError):
            rx.onnx_to_trt_dynamic_shape(str(bad), str(target), precision="bf16")
        with pytest.raises(ValueError):
            rx.onnx_to_trt_dynamic_shape(str(bad), str(target), precision="int4")
        with pytest.raises(FileNotFoundError):
            rx.onnx_to_trt_fixed_shape(onnx_path=str(tmp_path / "none.onnx"), engine_path=str(target),
                                       input_shape=(1, 3, 8, 8), precision="fp32")
        # A model whose spatial dimensions are open needs a spatial_range.
        models.parser(classes=2, size="S", path=str(tmp_path / "open.onnx"))
        with pytest.raises(ValueError):
            rx.onnx_to_trt_dynamic_shape(str(tmp_path / "open.onnx"), str(target), batch_range=(1, 1, 1))
        assert target.read_bytes() == b"old engine" and not leftovers(tmp_path)
        # The engine is built, but the rename onto the target fails: the temporary file goes.
        models.restorer(size=8, path=str(tmp_path / "ok.onnx"))
        (tmp_path / "taken.trt").mkdir()
        with pytest.raises(OSError):
            rx.onnx_to_trt_fixed_shape(onnx_path=str(tmp_path / "ok.onnx"), engine_path=str(tmp_path / "taken.trt"),
                                       input_shape=(1, 3, 8, 8), precision="fp32")
        assert not leftovers(tmp_path)


# ---- the GPU budget: launches, uploads and host reads (counted by the cupy stand-in) -------------

S = getattr(cp, "_standin", None)
needs_ledger = pytest.mark.skipif(S is None, reason="counts come from the cupy stand-in's ledger")
IMG = np.random.default_rng(5).uniform(0, 1, (30, 40, 3))
WARP = [[0.5, 0.1, 3], [-0.1, 0.5, 2]]


@needs_ledger
@pytest.mark.parametrize("make, launches", [
    (lambda: functools.partial(rx.affine_transform, dev(IMG), dev(WARP, np.float64), (12, 12)), 10),
    (lambda: functools.partial(rx.affine_transform, dev(IMG[..., 0]), dev(WARP, np.float64), (12, 12)), 10),
    (lambda: functools.partial(rx.GaussianBlur().get, dev(IMG), 7, 0.0), 4),
    (lambda: functools.partial(rx.resize, dev(IMG), (17, 9), interpolation=rx.INTER_AUTO), 5),
    (lambda: functools.partial(rx.resize, dev(IMG[..., 1]), (64, 48), interpolation=rx.INTER_LINEAR), 5),
    (lambda: functools.partial(rx.images_to_batch, dev(IMG), std=0.5, size=(16, 16), mean=0.5, swap_rb=True), 8),
    (lambda: functools.partial(rx.images_to_batch, [dev(IMG)], std=(0.2, 0.3, 0.4), mean=(0.4, 0.5, 0.6)), 8),
    (lambda: functools.partial(rx.batch_to_images, dev(IMG.T[None]), std=(0.2, 0.3, 0.4), mean=0.5, swap_rb=True), 2),
])
def test_operations_keep_their_budget(make, launches):
    work = make()  # the arguments are on the device before counting starts
    work()  # the first call may fill caches
    with S.counting() as seen:
        work()
    assert seen.uploads == seen.host_reads == 0 and seen.launches <= launches


def test_device_arrays_are_cached_per_device_and_bounded():
    blur, img = rx.GaussianBlur(), dev(IMG)
    expect = host(blur.get(img, 9, 2.0))
    if cp.cuda.runtime.getDeviceCount() > 1:
        with cp.cuda.Device(1):  # the taps made on device 0 do not serve device 1
            np.testing.assert_allclose(host(blur.get(dev(IMG), 9, 2.0)), expect, rtol=1e-6)
    for k in range(1, 200, 2):
        blur.get(img, k, 0.0)
    assert 0 < len(rx._device_cache) <= 64
    np.testing.assert_array_equal(host(blur.get(img, 9, 2.0)), expect)

