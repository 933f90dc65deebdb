"""FFHQ alignment against a numpy version of the same steps, on hand-checked and random faces."""
import inspect
import sys

import cupy as cp
import numpy as np
import pytest
from scipy import ndimage

import rastrix
from corvanta import facewarp
from leakcheck import assert_no_leaks
from models import Spy

TYPING = __import__("typing")

FACE_A = [[40, 50], [80, 50], [60, 70], [45, 90], [75, 90]]
FACE_B = [[200, 200], [400, 200], [300, 300], [225, 400], [375, 400]]
TILTED = [[52.3, 61.9], [88.1, 47.2], [77.0, 70.0], [64.4, 101.7], [93.8, 90.5]]


def upright(d, cx=500.0, cy=400.0):  # eyes d apart and the mouth d below: the quad's side is 4 d
    return [[cx - d / 2, cy], [cx + d / 2, cy], [cx, cy + d / 2], [cx - d / 2, cy + d], [cx + d / 2, cy + d]]


def image(h, w, dtype=np.float32, scale=1.0):
    a = np.random.default_rng(0).random((h, w, 3)) * scale
    return cp.asarray((a * 255).astype(np.uint8) if dtype == np.uint8 else a.astype(dtype))


def feather(n, k, before, after):  # 1 - min(k / before, (n - 1 - k) / after) over the padded sides
    terms = [k.astype(np.float32) / before] if before else []
    terms += [(n - 1 - k).astype(np.float32) / after] if after else []
    return 1.0 - np.minimum.reduce(terms) if terms else None


def oracle(img, lm, output_size=256, transform_size=1024, enable_padding=True):
    """The alignment in numpy, step by step; rastrix for the conversion, resizes and warp."""
    lm = cp.asnumpy(lm)
    eye_avg, eye_to_eye = (lm[0] + lm[1]) * 0.5, lm[1] - lm[0]
    eye_to_mouth = (lm[3] + lm[4]) * 0.5 - eye_avg
    turn = np.array([-1, 1])
    x = eye_to_eye - np.flipud(eye_to_mouth) * turn
    x /= np.linalg.norm(x)
    x *= max(np.linalg.norm(eye_to_eye) * 2.0, np.linalg.norm(eye_to_mouth) * 1.8)
    y = np.flipud(x) * turn
    c = eye_avg + eye_to_mouth * 0.1
    quad = np.stack([c - x - y, c - x + y, c + x + y, c + x - y])
    qsize = np.linalg.norm(x) * 2
    img = rastrix.to_float32(img)
    seen = {"rsize": None, "pad": None}
    shrink = int(np.floor(qsize / output_size * 0.5))
    if shrink > 1:
        h, w = img.shape[:2]
        seen["rsize"] = (int(np.rint(float(w) / shrink)), int(np.rint(float(h) / shrink)))
        img = rastrix.resize(img, seen["rsize"], interpolation=rastrix.INTER_AREA)
        quad, qsize = quad / shrink, qsize / shrink
    img = cp.asnumpy(img)
    border = max(int(np.rint(qsize * 0.1)), 3)

    def box():
        return [int(v) for v in (*np.floor(quad.min(axis=0)), *np.ceil(quad.max(axis=0)))]

    x0, y0, x1, y1 = box()
    h, w = img.shape[:2]
    x0, y0, x1, y1 = max(x0 - border, 0), max(y0 - border, 0), min(x1 + border, w), min(y1 + border, h)
    if x1 - x0 < w or y1 - y0 < h:
        img, quad = img[y0:y1, x0:x1], quad - [x0, y0]
    p0, p1, p2, p3 = box()
    h, w = img.shape[:2]
    pad = [max(border - p0, 0), max(border - p1, 0), max(p2 - w + border, 0), max(p3 - h + border, 0)]
    if enable_padding and max(pad) > border - 4:
        pad = [max(p, int(np.rint(qsize * 0.3))) for p in pad]
        seen["pad"] = ((pad[1], pad[3]), (pad[0], pad[2]), (0, 0))
        img = np.pad(img, ((pad[1], pad[3]), (pad[0], pad[2]), (0, 0)), mode="reflect")
        h, w, _ = img.shape
        yy, xx = np.ogrid[:h, :w]
        terms = [t for t in (feather(w, xx, pad[0], pad[2]), feather(h, yy, pad[1], pad[3])) if t is not None]
        if terms:
            mask = np.maximum.reduce(np.broadcast_arrays(*terms))[:, :, None]
            blurred = ndimage.gaussian_filter(img, [qsize * 0.02, qsize * 0.02, 0])
            img += (blurred - img) * np.clip(mask * 3.0 + 1.0, 0.0, 1.0)
            img += (np.median(img, axis=(0, 1)) - img) * np.clip(mask, 0.0, 1.0)
        img = np.clip(img, 0, 1)
        quad = quad + [pad[0], pad[1]]
    src = np.ones((3, 3))
    src[:, :2] = quad[:3].astype(np.float32)
    dst = np.array([[0, 0], [0, transform_size], [transform_size, transform_size]], np.float32)
    seen["warp_input"], seen["M"] = img, np.linalg.lstsq(src, dst)[0].T
    out = rastrix.affine_transform(cp.asarray(img), cp.asarray(seen["M"]), (transform_size, transform_size))
    if output_size < transform_size:
        out = rastrix.resize(out, (output_size, output_size), interpolation=rastrix.INTER_AREA)
    seen["result"] = cp.asnumpy(out)
    return seen


@pytest.fixture
def aligned(monkeypatch):
    """align_face_ffhq with what it hands to the image library and to cp.pad recorded."""
    rx, pads, pad = Spy(rastrix), [], cp.pad
    monkeypatch.setattr(facewarp, "rx", rx)
    monkeypatch.setattr(cp, "pad", lambda *a, **k: pads.append(a[1]) or pad(*a, **k))

    def run(img, lm, *args):
        img_before, lm_before = cp.asnumpy(img).copy(), cp.asnumpy(lm).copy()
        out = facewarp.align_face_ffhq(img, lm, *args)
        assert np.array_equal(cp.asnumpy(img), img_before) and np.array_equal(cp.asnumpy(lm), lm_before)
        warp = [c[0] for c in rx.calls].index("affine_transform")
        warp_input, M, size = rx.calls[warp][1]
        shrinks = [c[1][1] for c in rx.calls[:warp] if c[0] == "resize"]
        return {"result": cp.asnumpy(out), "warp_input": cp.asnumpy(warp_input), "M": cp.asnumpy(M), "matrix": M,
                "pad": pads[0] if pads else None, "rsize": shrinks[0] if shrinks else None, "rx": rx}

    return run


def test_surface():
    assert facewarp.__doc__ == "FFHQ-style face alignment from five-point landmarks."
    assert (facewarp.cp, facewarp.rx, facewarp.cupyx, facewarp.Optional, facewarp.Tuple) == (
        cp, rastrix, sys.modules["cupyx"], TYPING.Optional, TYPING.Tuple) and "cupyx.scipy.ndimage" in sys.modules
    f = facewarp.align_face_ffhq
    assert str(inspect.signature(f)) == ("(img: 'cp.ndarray', face_landmarks: 'cp.ndarray', output_size: 'int' = 256, "
                                         "transform_size: 'int' = 1024, enable_padding: 'bool' = True) -> 'cp.ndarray'")
    assert f.__doc__.startswith("\n    Align a face with the FFHQ algorithm from 5-point landmarks.\n\n    Args:\n"
                                "        img: Input image (CuPy array in RGB format)\n")
    assert f.__doc__.endswith("(default: True)\n\n    Returns:\n        Aligned face image (CuPy array in RGB format)\n    ")
    assert "[5, 2])\n            Order: left_eye, right_eye, nose, left_mouth, right_mouth\n" in f.__doc__


@pytest.mark.parametrize("args, name, given", [((True,), "output_size", "bool"), ((256.0,), "output_size", "float"),
                                               ((None, None), "output_size", "NoneType"),
                                               ((256, 10.0), "transform_size", "float")])
def test_integer_arguments(args, name, given):
    with pytest.raises(TypeError, match=r"^Argument '%s' has incorrect type \(expected int, got %s\)$" % (name, given)):
        facewarp.align_face_ffhq(image(8, 8), cp.asarray(FACE_A, cp.float32), *args)


# name: landmarks, image (h, w[, dtype, scale]), (output_size, transform_size[, enable_padding]), hand-checked values
CASES = {
    # Eyes 40 apart, mouth 40 below: quad (-20, -26) to (140, 134), side 160, border 16; cropped to columns 0..155,
    # padded by the minimum 48 on every side; the first corner lands on (28, 22), scale 128 / 160.
    "A": (FACE_A, (120, 160), (64, 128), dict(pad=((48, 48), (48, 48), (0, 0)), M=[[0.8, 0, -22.4], [0, 0.8, -17.6]])),
    # Side 800, shrunk 6 times to 100 x 83 (side 133.3, border 13), not cropped; amounts 30, 43, 30, 34 raised to 40.
    "B": (FACE_B, (500, 601), (64, 256), dict(rsize=(100, 83), pad=((43, 40), (40, 40), (0, 0)),
                                              M=[[1.92, 0, -44.8], [0, 1.92, -24.96]])),
    "A no padding": (FACE_A, (120, 160), (64, 128, 0), {}),
    "A bright": (FACE_A, (120, 160, np.float32, 3.0), (64, 128), {}),
    "A bright no padding": (FACE_A, (120, 160, np.float32, 3.0), (64, 128, []), {}),  # not clipped
    "A uint8": (FACE_A, (120, 160, np.uint8), (64, 128), {}),
    "A shorter": (FACE_A, (400, 150), (32, 64), {}),  # as wide as the box: cropped by rows only
    "B equal sizes": (FACE_B, (500, 601), (256, 256), {}),
    "B larger output": (FACE_B, (500, 601), (300, 200), {}),
    "tilted": (TILTED, (150, 130), (48, 96), {}),
    "big border": (upright(60, 200, 150), (400, 400), (64, 128), dict(pad=None)),  # reaches no edge
    # Side 1: the minimum amount rounds to 0, and sides that need no padding get none.
    "zero minimum": (upright(0.25, 40, 30), (80, 90), (16, 16), dict(pad=((0, 0), (0, 0), (0, 0)))),
    "zero minimum at an edge": (upright(0.25, 1.0, 30), (80, 90), (16, 16), dict(pad=((0, 0), (3, 0), (0, 0)))),
    "zero minimum in a corner": (upright(0.25, 1.0, 1.4), (80, 90), (16, 16), dict(pad=((3, 0), (3, 0), (0, 0)))),
    # Side 64: shrink 4 takes width 1030 to 257.5, rounded to 258, and 1026 to 256.5, rounded to 256; a side of
    # exactly 4 x output_size shrinks 2 times, one of 3.9 x output_size not at all.
    "shrink 4": (upright(16), (800, 1030), (8, 64, False), dict(rsize=(258, 200))),
    "shrink 4 down": (upright(16), (800, 1026), (8, 64, False), dict(rsize=(256, 200))),
    "shrink 2": (upright(16), (800, 1030), (16, 64, False), dict(rsize=(515, 400))),
    "no shrink": (upright(19.5), (800, 1030), (20, 64, False), dict(rsize=None)),
    # The border is rint(side x 0.1), at least 3: the crop is the quad's columns plus two borders.
    "border 2.5": (upright(6.25), (800, 1000), (64, 64, False), dict(width=26 + 2 * 3)),
    "border 3.5": (upright(8.75), (800, 1000), (64, 64, False), dict(width=36 + 2 * 4)),
    "border 4.5": (upright(11.25), (800, 1000), (64, 64, False), dict(width=46 + 2 * 4)),
}


@pytest.mark.parametrize("name", CASES)
def test_against_numpy(aligned, name):
    lm, hw, args, hand = CASES[name]
    img, lm = image(*hw), cp.asarray(lm, cp.float32)
    want = oracle(img, lm, *args)
    nosy = lm.copy()
    nosy[2] = cp.asarray([-1e6, 3e7], cp.float32)  # the nose is never read
    seen = aligned(img, nosy, *args)
    assert (seen["rsize"], seen["pad"]) == (want["rsize"], want["pad"])
    for key in ("warp_input", "M", "result"):
        np.testing.assert_allclose(seen[key], want[key], atol=1e-5, err_msg=key)
    for key, value in hand.items():
        if key == "M":
            np.testing.assert_allclose(seen["M"], value, atol=1e-4)
        else:
            assert (seen["warp_input"].shape[1] if key == "width" else seen[key]) == value, key
    m, side = seen["matrix"], min(args[:2])
    assert m.dtype == np.float64 and m.shape == (2, 3) and not m.flags.c_contiguous  # the transposed solution
    assert seen["result"].shape == (side, side, 3) and np.isfinite(seen["result"]).all()
    conversions = seen["rx"].named("to_float32")
    assert len(conversions) == (img.dtype != np.float32) and all(c[1] == (img,) for c in conversions)
    if "no padding" in name:
        assert seen["pad"] is None and (seen["result"].max() > 1) == ("bright" in name)


def test_equal_landmarks_raise():
    with pytest.raises(ValueError, match="NaN"):
        facewarp.align_face_ffhq(image(40, 40), cp.full((5, 2), 7.0, cp.float32))


def test_no_leaks():
    img, lm = image(30, 40), cp.asarray(FACE_A, cp.float32) / 4  # padded, feathered, warped
    assert_no_leaks(lambda: facewarp.align_face_ffhq(img + 0, lm + 0, 16, 32),
                    lambda: facewarp.align_face_ffhq(img, lm * 0), repeat=60, warmup=30)
