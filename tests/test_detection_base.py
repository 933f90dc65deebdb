"""The back-end independent detection pipeline, through a subclass whose forward is hand-made."""
import inspect

import cupy as cp
import numpy as np
import pytest

import corvanta.detection as det
import rastrix
from corvanta.schema import CorvantaFace
from leakcheck import assert_no_leaks

TEMPLATE = np.array(
    [[38.2946, 51.6963], [73.5318, 51.5014], [56.0252, 71.7366], [41.5493, 92.3655], [70.7299, 92.2041]],
    dtype=np.float32)


class SpyRx:
    """Records the image-library calls and delegates to the real module."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        real = getattr(rastrix, name)
        if not callable(real):
            return real

        def spy(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return real(*args, **kwargs)

        return spy

    def named(self, name):
        return [c for c in self.calls if c[0] == name]


@pytest.fixture
def rx(monkeypatch):
    spy = SpyRx()
    monkeypatch.setattr(det, "rx", spy)
    return spy


def face_kps(box):
    """Five landmarks placed in a box the way the template sits in its 112-pixel face."""
    x1, y1, x2, y2 = box
    return TEMPLATE / 112.0 * np.array([x2 - x1, y2 - y1], np.float32) + np.array([x1, y1], np.float32)


def stride(boxes, scores, with_kps=True):
    boxes = np.asarray(boxes, np.float32).reshape(-1, 4)
    kps = np.stack([face_kps(b) for b in boxes]) if len(boxes) else np.zeros((0, 5, 2), np.float32)
    return (cp.asarray(np.asarray(scores, np.float32).reshape(-1, 1)), cp.asarray(boxes), cp.asarray(kps))


class Stub(det.BaseFaceDetection):
    def __init__(self, strides=(), use_kps=True, **kw):
        super().__init__(**kw)
        self.strides = list(strides)
        self.use_kps = use_kps
        self.seen = []

    def forward(self, image, threshold):
        self.seen[:] = [(image, threshold)]  # the last call only
        return ([s[0] for s in self.strides], [s[1] for s in self.strides],
                [s[2] for s in self.strides] if self.use_kps else [])


def frame(h, w, value=0.25):
    return cp.full((h, w, 3), value, dtype=cp.float32)


def np_(a):
    return cp.asnumpy(a)


# ---- surface ---------------------------------------------------------------------------------

def test_surface_annotations_defaults_and_docs():
    B = det.BaseFaceDetection
    assert B.__doc__.startswith("Base class for face detection models.")
    assert det.OnnxFaceDetection.__mro__[1] is B and det.TrtFaceDetection.__mro__[1] is B
    assert B.__mro__[1] is det.BaseModelLoader
    assert B.__init__.__annotations__ == {
        "model_path": "str | None", "model_bytes": "bytes | None", "device": "str", "return": "None"}
    assert B.__init__.__defaults__ == (None, None, "cuda")
    assert B.get.__annotations__ == {
        "image": "cp.ndarray", "crop_size": "int", "max_num": "int", "metric": "str", "padding": "float",
        "normalize_rotation": "bool", "return": "list[CorvantaFace]"}
    assert B.get.__defaults__ == (512, 0, "default", 0.0, True)
    assert B.forward.__annotations__["return"] == "tuple[list[cp.ndarray], list[cp.ndarray], list[cp.ndarray]]"
    assert B.nms.__doc__ == "Non-Maximum Suppression" and B.nms.__annotations__ == {"dets": "cp.ndarray"}
    assert B.distance2bbox.__doc__ == "Convert distance predictions to bounding boxes"
    assert B.distance2kps.__doc__ == "Convert distance predictions to keypoints"
    assert B.distance2kps.__defaults__ == (None,)
    for name in ("crop", "crop_from_kps_with_padding"):
        f = getattr(B, name)
        assert f.__defaults__ == (512, 0.0, True)
        assert f.__annotations__["return"] == "tuple[cp.ndarray, cp.ndarray]"
        assert f.__qualname__ == "BaseFaceDetection." + name
    assert str(inspect.signature(B.nms)) == "(self, dets: 'cp.ndarray')"
    for mod in ("os", "cp", "onnxruntime", "rx", "trt"):
        assert hasattr(det, mod)


def test_constructor_attributes_and_argument_tests():
    d = det.BaseFaceDetection("m.onnx", None, "cuda:1")
    assert (d.model_path, d.model_bytes, d.device, d.device_id) == ("m.onnx", None, "cuda:1", "1")
    assert d.input_size == (640, 640) and d.center_cache == {} and d.nms_thresh == 0.4
    assert d.det_thresh == 0.5 and d.input_mean == 0.5 and d.input_std == 128 / 255 and d.use_kps is False
    assert det.BaseFaceDetection().center_cache is not d.center_cache
    with pytest.raises(TypeError, match=r"Argument 'model_path' has incorrect type \(expected str, got int\)"):
        det.BaseFaceDetection(1, 2, 3)
    with pytest.raises(TypeError, match=r"'model_bytes' .*expected bytes, got bytearray"):
        det.BaseFaceDetection(None, bytearray())
    with pytest.raises(TypeError, match=r"'device' .*expected str, got NoneType"):
        det.BaseFaceDetection(device=None)
    with pytest.raises(NotImplementedError, match="^forward method must be implemented in subclass$"):
        d.forward(None, 0.5)
    with pytest.raises(TypeError, match="must be real number"):
        d.forward(None, "x")
    with pytest.raises(NotImplementedError):
        d.get(frame(20, 20))


# ---- get: letterbox ----------------------------------------------------------------------------

@pytest.mark.parametrize("h, w, new_w, new_h", [
    (1080, 1920, 640, 360), (1920, 1080, 360, 640), (333, 500, 640, 426), (500, 333, 426, 640), (700, 700, 640, 640),
])
def test_letterbox(rx, h, w, new_w, new_h):
    box = [100, 50, 300, 250]
    d = Stub([stride([box], [0.9])])
    faces = d.get(frame(h, w))
    name, args, kwargs = rx.named("resize")[0]
    assert args[1] == (new_w, new_h) and kwargs == {"interpolation": rastrix.INTER_AUTO}
    image, threshold = d.seen[0]
    assert threshold == 0.5 and image.dtype == np.float32 and image.shape == (640, 640, 3)
    host = np_(image)
    assert np.allclose(host[:new_h, :new_w], 0.25) and not host[new_h:].any() and not host[:, new_w:].any()
    scale = np.float32(new_h) / np.float32(h)
    assert np_(faces[0].bbox).tolist() == (np.array(box, np.float32) / scale).tolist()


def test_letterbox_follows_input_size_and_threshold(rx):
    d = Stub([stride([[10, 10, 50, 50]], [0.9])])
    d.input_size = (320, 240)
    d.det_thresh = 0.7
    d.get(frame(480, 640))
    assert rx.named("resize")[0][1][1] == (320, 240)
    assert d.seen[0][0].shape == (240, 320, 3) and d.seen[0][1] == 0.7


# ---- get: results --------------------------------------------------------------------------------

def test_nothing_found():
    calls = []

    class NoNms(Stub):
        def nms(self, dets):
            calls.append(dets)
            return super().nms(dets)

    assert NoNms([]).get(frame(64, 64)) == [] and calls == []
    empty = stride(np.zeros((0, 4)), [])
    assert NoNms([empty, empty]).get(frame(64, 64)) == []
    faces = NoNms([stride([[10, 10, 50, 50]], [0.9])], use_kps=False).get(frame(64, 64))
    assert faces == []


def test_order_ties_later_rows_first_and_records():
    a, b, c = [0, 0, 20, 20], [100, 0, 120, 20], [200, 0, 220, 20]
    d = Stub([stride([a, b], [0.8, 0.9]), stride([c], [0.8])])
    faces = d.get(frame(640, 640))
    # get puts the later of two equal scores first (c before a); nms sorts that table again and
    # reverses the tie once more, so the records come out a before c.
    assert [np_(f.bbox)[0] for f in faces] == [100, 0, 200]
    f = faces[0]
    assert isinstance(f, CorvantaFace)
    assert f.score.shape == () and f.score.dtype == np.float32 and float(f.score) == pytest.approx(0.9)
    assert f.bbox.shape == (4,) and f.bbox.dtype == np.float32
    assert f.kps.shape == (5, 2) and f.kps.dtype == np.float32
    assert np.allclose(np_(f.kps), face_kps(b), atol=1e-4)
    assert f.image.shape == (512, 512, 3) and f.matrix.shape == (2, 3) and f.matrix.dtype == np.float64
    faces[1].bbox[0] = -1  # each bbox has its own storage
    assert np_(faces[0].bbox)[0] == 100 and np_(faces[2].bbox)[0] == 200


def test_overlapping_faces_are_suppressed():
    d = Stub([stride([[0, 0, 99, 99], [40, 0, 139, 99], [50, 0, 149, 99]], [0.9, 0.8, 0.7])])
    faces = d.get(frame(640, 640))
    assert [np_(f.bbox)[0] for f in faces] == [0, 50]


@pytest.mark.parametrize("metric, expected", [("max", [0, 400]), ("default", [300, 200]), ("Max", [300, 200])])
def test_max_num_selection(metric, expected):
    # A large face at the corner, a small one at the centre, a mid one near the centre.
    boxes = [[0, 0, 160, 160], [300, 300, 340, 340], [200, 200, 320, 320], [400, 0, 550, 150]]
    d = Stub([stride(boxes, [0.9, 0.8, 0.7, 0.6])])
    faces = d.get(frame(640, 640), max_num=2, metric=metric)
    assert [np_(f.bbox)[0] for f in faces] == expected
    assert len(d.get(frame(640, 640), max_num=4)) == 4
    assert [np_(f.bbox)[0] for f in d.get(frame(640, 640), max_num=0)] == [0, 300, 200, 400]
    assert len(d.get(frame(640, 640), max_num=10**30)) == 4  # any size of Python integer


def test_get_argument_tests_in_order():
    d = Stub([stride([[10, 10, 50, 50]], [0.9])])
    img = frame(64, 64)
    with pytest.raises(TypeError, match="must be real number"):
        d.get(img, 512.0, True, None, "x")  # padding is converted first
    for kw, name, typ in [(dict(crop_size=512.0), "crop_size", "float"), (dict(max_num=True), "max_num", "bool"),
                          (dict(metric=None), "metric", "NoneType")]:
        with pytest.raises(TypeError) as e:
            d.get(img, **kw)
        assert str(e.value) == "Argument '%s' has incorrect type (expected %s, got %s)" % (
            name, "str" if name == "metric" else "int", typ)
    assert len(d.get(img, crop_size=112, padding=1)) == 1  # an integer padding is a number
    with pytest.raises(TypeError, match=r"get\(\) takes at most 7 positional arguments \(8 given\)"):
        d.get(img, 512, 0, "default", 0.0, True, 1)


def test_wrong_result_lengths_and_errors_pass_unchanged(monkeypatch):
    class Bad(Stub):
        def __init__(self, result, **kw):
            super().__init__(**kw)
            self.result = result

        def forward(self, image, threshold):
            return self.result

    img = frame(64, 64)
    for result, text in [((1, 2, 3, 4), "too many values to unpack (expected 3)"),
                         (([], []), "need more than 2 values to unpack"),
                         (([],), "need more than 1 value to unpack")]:
        with pytest.raises(ValueError) as e:
            Bad(result).get(img)
        assert str(e.value) == text

    class BadCrop(Stub):
        def crop(self, *a, **k):
            return (1, 2, 3)

    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        BadCrop([stride([[10, 10, 50, 50]], [0.9])]).get(img)

    err = RuntimeError("record refused")

    def record(**kw):
        raise err

    monkeypatch.setattr(det, "CorvantaFace", record)
    with pytest.raises(RuntimeError) as e:
        Stub([stride([[10, 10, 50, 50]], [0.9])]).get(img)
    assert e.value is err


def test_overrides_are_looked_up_on_the_object():
    seen = []

    class Custom(Stub):
        def nms(self, dets):
            seen.append("nms")
            return [1]

        def crop(self, image, kps, size=512, padding=0.0, normalize_rotation=True):
            seen.append(("crop", size, padding, normalize_rotation))
            return "image", "matrix"

    faces = Custom([stride([[0, 0, 10, 10], [100, 0, 110, 10]], [0.9, 0.8])]).get(
        frame(640, 640), crop_size=64, padding=1, normalize_rotation=0)
    assert seen == ["nms", ("crop", 64, 1.0, 0)] and faces[0].image == "image"
    assert np_(faces[0].bbox)[0] == 100  # row 1 of the score-sorted table


# ---- nms and the decoders ---------------------------------------------------------------------

def nms(rows, thresh=0.4):
    d = det.BaseFaceDetection()
    d.nms_thresh = thresh
    keep = d.nms(cp.asarray(np.array(rows, np.float32).reshape(-1, 5)))
    assert isinstance(keep, list) and all(k.shape == () for k in keep)
    return [int(k) for k in keep]


def test_nms_cases():
    assert nms([]) == [] and nms([[0, 0, 9, 9, 0.5]]) == [0]
    assert nms([[0, 0, 9, 9, 0.9], [5, 0, 14, 9, 0.8]]) == [0, 1]      # 0.333 kept
    assert nms([[0, 0, 9, 9, 0.9], [4, 0, 13, 9, 0.8]]) == [0]         # 0.43 dropped
    assert nms([[0, 0, 9, 9, 0.9], [0, 0, 3, 9, 0.8]]) == [0, 1]       # exactly 0.4 kept
    assert nms([[0, 0, 9, 9, 0.9], [10, 0, 19, 9, 0.8]], 0.0) == [0, 1]  # touching, no shared pixel
    assert nms([[0, 0, 9, 9, 0.9], [9, 0, 18, 9, 0.8]], 0.0) == [0]      # one shared column
    assert nms([[0, 0, 9, 9, 0.9], [4, 0, 13, 9, 0.8], [5, 0, 14, 9, 0.7]]) == [0, 2]  # not transitive
    assert nms([[0, 0, 9, 9, 0.5], [20, 0, 29, 9, 0.5]]) == [1, 0]     # equal scores: later first
    assert nms([[0, 0, 9, 9, 0.9], [0, 0, 9, 9, 0.8]], 1.0) == [0, 1]
    assert nms([[0, 0, 9, 9, 0.9], [50, 0, 59, 9, 0.8]], -1.0) == [0]
    # A degenerate box whose ratio is 0/0 compares false and is dropped.
    assert nms([[0, 0, -1, 9, 0.9], [0, 0, -1, 9, 0.8]], 0.4) == [0]


def test_decoders():
    d = det.BaseFaceDetection()
    pts = cp.asarray(np.array([[8, 16]], np.float64))
    dist = cp.asarray(np.array([[10, 4, 3, 20]], np.int32))
    out = d.distance2bbox(pts, dist)
    assert out.dtype == np.float32 and np_(out).tolist() == [[-2, 12, 11, 36]]
    assert np_(d.distance2bbox(pts, dist, (30, 10))).tolist() == [[0, 12, 10, 30]]
    assert np_(d.distance2bbox(points=pts, distance=dist, max_shape=[30, 10])).tolist() == [[0, 12, 10, 30]]
    offs = cp.asarray(np.array([[-10, 4, 3, -20]], np.float64))
    k = d.distance2kps(pts, offs)
    assert k.dtype == np.float32 and np_(k).tolist() == [[0, 20, 11, 0]]
    assert np_(d.distance2kps(pts, offs, ())).tolist() == [[0, 20, 11, 0]]
    assert np_(d.distance2kps(pts, cp.asarray([[100.0, 100.0]]), (30, 10))).tolist() == [[10, 30]]
    assert np_(offs).tolist() == [[-10, 4, 3, -20]] and pts.dtype == np.float64  # inputs unchanged


# ---- crops -------------------------------------------------------------------------------------

def target(size):
    if size % 112 == 0:
        return TEMPLATE * np.float32(size / 112)
    r = size / 128
    return TEMPLATE * np.float32(r) + np.array([int(8 * r), 0], np.float32)


def apply(M, pts):
    M = np_(M)
    return pts @ M[:, :2].T + M[:, 2]


@pytest.mark.parametrize("size", [512, 224, 112, 128, 100])
def test_template_placement(rx, size):
    d = det.BaseFaceDetection()
    img = frame(300, 300)
    image, M = d.crop_from_kps_with_padding(img, cp.asarray(target(size)), size)
    assert np.allclose(np_(M), [[1, 0, 0], [0, 1, 0]], atol=1e-4) and M.dtype == np.float64
    assert image.shape == (size, size, 3)
    name, args, kwargs = rx.named("affine_transform")[0]
    assert args[0] is img and args[1] is M and args[2] == (size, size) and kwargs == {}


def test_crop_decides_on_twice_the_size(rx):
    d = det.BaseFaceDetection()
    img = frame(300, 300)
    out, M = d.crop(img, cp.asarray(TEMPLATE * 0.5), 56)
    assert np.allclose(np_(M), [[1, 0, 0], [0, 1, 0]], atol=1e-4) and out.shape == (56, 56, 3)
    assert rx.named("affine_transform")[0][1][2] == (112, 112)
    assert rx.named("resize")[-1][1][1] == (56, 56)
    kps = cp.asarray(face_kps([40, 60, 200, 230]))
    _, M512 = d.crop(img, kps, 512)
    _, M1024 = d.crop_from_kps_with_padding(img, kps, 1024)
    _, direct = d.crop_from_kps_with_padding(img, kps, 512)
    assert np.allclose(np_(M512), np_(M1024) / 2) and np.allclose(np_(M512), np_(direct), atol=1e-4)


def test_crop_halves_the_returned_matrix_in_place():
    class Keep(det.BaseFaceDetection):
        def crop_from_kps_with_padding(self, *args):
            self.args = args
            self.M = cp.ones((2, 3))
            return cp.zeros((8, 8, 3), cp.float32), self.M

    k = Keep()
    _, M = k.crop(frame(10, 10), "kps", 4, 1)
    assert M is k.M and np_(M).tolist() == [[0.5] * 3] * 2
    assert k.args[2:] == (8, 1.0, True) and type(k.args[3]) is float


def test_padding_rotation_and_mirror():
    d = det.BaseFaceDetection()
    img = frame(400, 400)
    dst = target(512)
    c = dst.mean(0)
    padded = (dst - c) * np.float32(0.8) + c
    _, M = d.crop_from_kps_with_padding(img, cp.asarray(padded), 512, 0.25)
    assert np.allclose(np_(M), [[1, 0, 0], [0, 1, 0]], atol=1e-4)
    for pad in (0.0, -0.5):
        _, M = d.crop_from_kps_with_padding(img, cp.asarray(dst), 512, pad)
        assert np.allclose(np_(M), [[1, 0, 0], [0, 1, 0]], atol=1e-4)

    theta = np.deg2rad(25)
    rot = np.array([[np.cos(theta), -np.sin(theta)], [np.sin(theta), np.cos(theta)]], np.float32)
    tilted = (dst - c) @ rot.T * np.float32(0.5) + c + np.float32(30)
    _, M = d.crop_from_kps_with_padding(img, cp.asarray(tilted), 512)
    assert np.allclose(apply(M, tilted), dst, atol=1e-2)  # upright
    assert np.allclose(np_(M)[:, :2] / 2.0, rot.T, atol=1e-4)
    _, M = d.crop_from_kps_with_padding(img, cp.asarray(tilted), 512, 0.0, False)
    assert np.allclose(np_(M)[:, :2], np.eye(2) * 2.0, atol=1e-4)  # keeps the tilt

    mirrored = dst.copy()
    mirrored[:, 0] = 512 - mirrored[:, 0]
    _, M = d.crop_from_kps_with_padding(img, cp.asarray(mirrored), 512)
    assert np.linalg.det(np_(M)[:, :2]) > 0  # a rotation, never a reflection
    with pytest.raises(TypeError, match="'size' has incorrect type"):
        d.crop(img, cp.asarray(dst), None)


def test_no_leaks():
    d = Stub([stride([[0, 0, 99, 99], [40, 0, 139, 99], [300, 300, 400, 400]], [0.9, 0.8, 0.7])])
    img = frame(48, 64)
    assert_no_leaks(
        lambda: d.get(img, 112, 1),
        lambda: d.get(img, 112.0),
        lambda: d.nms(cp.zeros((0, 5), cp.float32)),
        lambda: d.crop(img, cp.asarray(target(112)), 56),
        lambda: d.distance2kps(cp.zeros((3, 2)), cp.zeros((3, 10)), (5, 5)),
        repeat=40, warmup=10,
    )
