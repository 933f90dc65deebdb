"""rastrix against OpenCV, the image library our users know: resize, affine_transform and
GaussianBlur give OpenCV's values on float32 images, to within a few float32 roundings."""

import math

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
cp = pytest.importorskip("cupy")
rx = pytest.importorskip("rastrix")

TOL = 4e-7


def image(h, w, seed):
    return np.random.default_rng(seed).uniform(0, 1, (h, w, 3)).astype(np.float32)


def rotation(deg, scale, tx, ty):
    a = math.radians(deg)
    return [[scale * math.cos(a), -scale * math.sin(a), tx], [scale * math.sin(a), scale * math.cos(a), ty]]


@pytest.mark.parametrize("src_hw, size, mode, cv_mode", [
    ((1080, 1920), (640, 360), "INTER_AREA", cv2.INTER_AREA),      # whole-number factor
    ((80, 100), (37, 29), "INTER_AREA", cv2.INTER_AREA),           # partial pixels
    ((16, 20), (50, 37), "INTER_AREA", cv2.INTER_AREA),            # growing: replicate and blend
    ((80, 100), (37, 29), "INTER_AUTO", cv2.INTER_AREA),           # AUTO shrinks by area
    ((512, 512), (256, 256), "INTER_AUTO", cv2.INTER_AREA),
    ((16, 20), (50, 37), "INTER_AUTO", cv2.INTER_LINEAR),          # AUTO grows bilinearly
    ((112, 112), (224, 224), "INTER_AUTO", cv2.INTER_LINEAR),
])
def test_resize(src_hw, size, mode, cv_mode):
    img = image(*src_hw, seed=1)
    ours = cp.asnumpy(rx.resize(cp.asarray(img), size, interpolation=getattr(rx, mode)))
    np.testing.assert_allclose(ours, cv2.resize(img, size, interpolation=cv_mode), rtol=0, atol=TOL)


@pytest.mark.parametrize("M, src_hw, out_hw", [
    ([[1, 0, 5.25], [0, 1, -3.5]], (30, 40), (40, 50)),          # sub-pixel shift, edges inside the output
    ([[0.5, 0, 0.3], [0, 0.5, 0.7]], (60, 80), (40, 50)),        # shrink
    ([[2, 0, 1], [0, 2, 1]], (30, 40), (70, 90)),                # grow
    (rotation(17, 1.1, 4.3, -2.1), (30, 40), (48, 56)),          # turn and scale
    (rotation(-32, 0.23, -40.0, 95.0), (300, 400), (112, 112)),  # a face crop out of a frame
    (rotation(32, 4.3, -30.0, 200.0), (112, 112), (300, 400)),   # and pasted back into it
])
def test_affine_transform(M, src_hw, out_hw):
    img = image(*src_hw, seed=2)
    M = np.array(M, np.float64)
    ours = cp.asnumpy(rx.affine_transform(cp.asarray(img), cp.asarray(M), out_hw))
    theirs = cv2.warpAffine(img, M, out_hw[::-1], flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT,
                            borderValue=0)
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=TOL)


# OpenCV takes fixed tables, not the sampled Gaussian, for sigma <= 0 up to ksize 9.
@pytest.mark.parametrize("ksize, sigma, hw", [
    (3, 0.5, (64, 80)), (5, 1.2, (64, 80)), (7, 2.0, (64, 80)), (11, 0.0, (64, 80)),
    (31, 0.0, (64, 80)), (51, 8.0, (120, 160)), (75, 40.0, (48, 60)),  # a kernel wider than the image
])
def test_gaussian_blur(ksize, sigma, hw):
    img = image(*hw, seed=3)
    ours = cp.asnumpy(rx.GaussianBlur().get(cp.asarray(img), ksize, sigma))
    theirs = cv2.GaussianBlur(img, (ksize, ksize), sigma, borderType=cv2.BORDER_REFLECT_101)
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=TOL)
