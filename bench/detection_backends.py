"""Frames per second of the detector's `get` with the ONNX Runtime back-end and with the TensorRT
back-end (on the test stand-in here, the real library on a GPU machine), on the same tiny model and
frame, side by side, and the share of each call spent outside the model (letterbox, decoding, NMS,
crops).

Run after installing the package: python bench/detection_backends.py [--real-gpu]
"""
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
if "--real-gpu" not in sys.argv:
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "standins"))

import cupy as cp  # noqa: E402

import corvanta.detection as det  # noqa: E402
import models  # noqa: E402


class Timed:
    """Wraps an object and adds up the time spent in one of its methods."""

    def __init__(self, inner, method):
        self._inner, self._method, self.spent = inner, method, 0.0

    def __getattr__(self, name):
        attr = getattr(self._inner, name)
        if name != self._method:
            return attr

        def timed(*args, **kwargs):
            t = time.perf_counter()
            try:
                return attr(*args, **kwargs)
            finally:
                self.spent += time.perf_counter() - t

        return timed


def measure(detector, frame, timer, rounds):
    detector.get(frame)  # warm-up: anchor grids, buffers
    timer.spent = 0.0
    t = time.perf_counter()
    for _ in range(rounds):
        faces = detector.get(frame)
    total = time.perf_counter() - t
    assert len(faces) == 4, len(faces)
    return rounds / total, 1.0 - timer.spent / total


def main(rounds=5):
    onnx_bytes = models.detector(9)
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "detector.onnx")
    with open(path, "wb") as f:
        f.write(onnx_bytes)

    onnx = det.OnnxFaceDetection(model_bytes=onnx_bytes, device="cuda" if "--real-gpu" in sys.argv else "cpu")
    onnx.session = Timed(onnx.session, "run")
    trt = det.TrtFaceDetection(path)
    trt.ctx = Timed(trt.ctx, "execute_async_v3")
    trt.stream = Timed(trt.stream, "synchronize")  # the engine's work is waited for here

    # The frame is letterboxed by 1/3: squares of side 192 centred on multiples of 48 become
    # the 64-pixel squares on the stride-16 grid that the tiny model finds.
    image = models.plant_square(1080, 1920, 480, 336, 192)
    for cx, cy in ((1440, 336), (480, 720), (1440, 720)):
        image = image + models.plant_square(1080, 1920, cx, cy, 192)
    frame = cp.asarray(image.astype("float32"))

    rows = []
    fps, outside = measure(onnx, frame, onnx.session, rounds)
    rows.append(("onnxruntime", fps, outside))
    trt.ctx.spent = 0.0
    fps, _ = measure(trt, frame, trt.stream, rounds)
    outside = 1.0 - (trt.ctx.spent + trt.stream.spent) / (rounds / fps)
    rows.append(("tensorrt", fps, outside))
    print("1920 x 1080 frame, 4 faces, %d rounds each" % rounds)
    print("%-12s %10s %22s" % ("back-end", "frames/s", "share outside model"))
    for name, fps, share in rows:
        print("%-12s %10.1f %21.1f%%" % (name, fps, 100 * share))
    print("ratio tensorrt/onnxruntime frames per second: %.2f" % (rows[1][1] / rows[0][1]))


if __name__ == "__main__":
    main()
