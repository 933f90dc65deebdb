"""Paste-back: the feathered mask and its cache, the warps and the blend."""
import inspect

import cupy as cp
import numpy as np
import pytest

import corvanta.paste as pa
import rastrix
from leakcheck import assert_no_leaks
from models import Spy


def host(a):
    return cp.asnumpy(a)


def image(h, w, seed=0, dtype=np.float32):
    return cp.asarray(np.random.default_rng(seed).uniform(0, 1, (h, w, 3)).astype(dtype))


# Frame pixel (x, y) to crop pixel: the crop shows the frame at twice its scale from (10, 20) on.
M = cp.asarray(np.array([[2.0, 0.0, -20.0], [0.0, 2.0, -40.0]]))


class Recorder:
    """A blur that records its arguments and hands the plate back unblurred."""

    def __init__(self):
        self.calls = []

    def get(self, plate, ksize, sigma):
        self.calls.append((host(plate), ksize, sigma))
        return plate


def test_surface():
    assert pa.PasteBack.__bases__ == (object,) and pa.cp is cp and pa.rx is rastrix
    assert str(inspect.signature(pa.PasteBack.__init__)) == "(self, blursize: 'float' = 1.0)"
    assert str(inspect.signature(pa.PasteBack.create_mask)) == "(self, size: 'tuple')"
    assert str(inspect.signature(pa.PasteBack.get)) == (
        "(self, target_image: 'cp.ndarray', paste_image: 'cp.ndarray', M: 'cp.ndarray') -> 'cp.ndarray'")
    assert str(inspect.signature(pa.paste_back)) == (
        "(target_image: 'cp.ndarray', paste_image: 'cp.ndarray', M: 'cp.ndarray', mask: 'cp.ndarray' = None)"
        " -> 'cp.ndarray'")
    p = pa.PasteBack(2)
    assert (type(p.blursize), p.blursize, p.mask, p.size, type(p.gaussian_blur)) == (
        float, 2.0, None, None, rastrix.GaussianBlur)
    for bad in ([512, 512], None, type("T", (tuple,), {})((512, 512))):
        with pytest.raises(TypeError, match=r"^Argument 'size' has incorrect type \(expected tuple, got \w+\)$"):
            p.create_mask(bad)
    with pytest.raises(TypeError):
        pa.PasteBack("1")


@pytest.mark.parametrize("size, blursize, rows, cols", [
    ((512, 512), 1.0, 102, 73), ((512, 512), 2.5, 255, 182), ((256, 256), 1.0, 51, 36),
    ((4, 30), 1.0, 0, 4), ((30, 6), 1.0, 6, 0), ((40, 40), 0.0, 0, 0), ((10, 14), 4.0, 8, 8)])
def test_mask_bands(size, blursize, rows, cols):
    p = pa.PasteBack(blursize)
    p.gaussian_blur = Recorder()
    mask = p.create_mask(size)
    (plate, ksize, sigma), = p.gaussian_blur.calls
    expected = np.ones(size + (3,), np.float32)
    for band in (slice(0, rows), slice(max(size[0] - rows, 0), size[0])):
        expected[band] = 0
    for band in (slice(0, cols), slice(max(size[1] - cols, 0), size[1])):
        expected[:, band] = 0
    assert plate.dtype == np.float32 and np.array_equal(plate, expected) and mask.shape == size + (3,)
    assert (type(ksize), ksize, type(sigma), sigma) == (int, cols, float, float(cols))


def test_mask_is_the_blurred_plate():
    plate = np.ones((256, 256, 3), np.float32)
    plate[:51], plate[-51:], plate[:, :36], plate[:, -36:] = 0, 0, 0, 0
    blurred = rastrix.GaussianBlur().get(cp.asarray(plate), 36, 36.0)  # an even kernel
    assert np.array_equal(host(pa.PasteBack().create_mask((256, 256))), host(blurred))


def test_mask_cache_and_retry():
    built = []

    class Counting(pa.PasteBack):
        fail = False

        def create_mask(self, size):
            built.append(size)
            if self.fail:
                raise MemoryError("no room for the mask")
            return super().create_mask(size)

    p, frame = Counting(), image(60, 80)
    p.get(frame, image(64, 64, 1), M)
    first = p.mask
    p.get(frame, image(64, 64, 2), M)
    assert built == [(64, 64)] and p.mask is first and p.size == (64, 64)
    p.get(frame, image(32, 48, 3), M)
    assert built[-1] == (32, 48) and p.mask.shape == (32, 48, 3) and p.size == (32, 48)
    p.fail = True
    for _ in range(2):  # a failed build leaves the cache as it was, so the retry builds again
        with pytest.raises(MemoryError):
            p.get(frame, image(64, 64, 4), M)
        assert p.size == (32, 48) and p.mask.shape == (32, 48, 3)
    assert built[-2:] == [(64, 64), (64, 64)]
    p.fail = False
    p.get(frame, image(64, 64, 5), M)
    assert p.size == (64, 64) and p.mask.shape == (64, 64, 3)


@pytest.mark.parametrize("frame_shape, crop_shape, mask_shape", [
    ((60, 80), (64, 64), None), ((90, 40), (64, 64), (64, 64)), ((60, 80), (64, 48), (16, 20))])
def test_paste_back_blend(monkeypatch, frame_shape, crop_shape, mask_shape):
    spy = Spy(rastrix)
    monkeypatch.setattr(pa, "rx", spy)
    frame, crop = image(*frame_shape), image(*crop_shape, 1)
    mask = None if mask_shape is None else image(*mask_shape, 2)
    out = pa.paste_back(frame, crop, M, mask)
    inverse = rastrix.get_inverse_matrix(M)
    if mask is None:
        weights = cp.ones(crop_shape + (3,), cp.float32)
        assert spy.named("resize") == []
    else:  # resized on every call, also at the crop's size
        weights = rastrix.resize(mask, crop_shape[::-1], interpolation=rastrix.INTER_AUTO)
        (_, args, kw), = spy.named("resize")
        assert args[1] == crop_shape[::-1] and kw == {"interpolation": rastrix.INTER_AUTO}
    w = host(rastrix.affine_transform(weights, inverse, frame_shape))
    warped = host(rastrix.affine_transform(crop, inverse, frame_shape))
    assert [c[1][2] for c in spy.named("affine_transform")] == [frame_shape] * 2
    assert out.shape == frame_shape + (3,) and out.dtype == np.float32
    np.testing.assert_allclose(host(out), w * warped + (1 - w) * host(frame), atol=1e-6)
    if mask is None:  # a hard edge: the crop inside its footprint, the frame outside
        assert np.array_equal(host(out)[25:45, 15:35], warped[25:45, 15:35])
        assert np.array_equal(host(out)[55:, :], host(frame)[55:, :])


def test_get_converts_to_float32_and_never_clips():
    frame = cp.asarray(np.full((60, 80, 3), 255, np.uint8))
    crop = cp.asarray(np.full((64, 64, 3), 3.0, np.float64))  # out of range values stay so
    out = pa.PasteBack(0.0).get(frame, crop, M)
    assert out.dtype == np.float32 and float(out.max()) == 3.0 and float(out.min()) == 1.0
    wide = pa.paste_back(cp.zeros((60, 80, 3), cp.float64), cp.ones((64, 64, 3), cp.float64), M)
    assert wide.dtype == np.float64  # the array library's promotion


def test_no_leaks():
    p, frame, crop = pa.PasteBack(), image(60, 80), image(64, 64, 1)
    assert_no_leaks(lambda: p.get(frame + 0, crop + 0, M), lambda: pa.paste_back(frame, crop + 0, M, crop),
                    lambda: p.create_mask([1, 2]), repeat=30, warmup=30)
