"""The whole face swap road on a 1920 x 1080 frame, with one and with eight faces: detect the faces,
embed the first one as the identity, swap every face to it and paste every swapped crop back, the
swap made with one `get` per face against one `batch_get` for all faces, side by side.

TensorRT back-ends throughout (the test stand-in here: engines run with onnxruntime on the CPU), on
the tiny test models. For each case the script prints frames per second, the share of each frame
spent outside the models (everything but the engines' executions and the waits for them), and the
array-library calls and host reads of device values per frame, counted as bench/detection_get.py
counts them: calls through the modules' `cp` and `rx` (the host's own steps included), array
operators and methods that make new memory, and truth values, int(), float(), item() and get() of
device arrays; inside each `rx` call, rastrix's own launches, uploads and host reads, through the
cupy stand-in's ledger. Other calls made inside a counted call are not counted.

Run after installing the package:  python bench/swap_road.py [--rounds N]   (about a minute on a CPU)
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests")]

import detection_get  # noqa: E402  (puts the stand-ins first on the path; its counting is used here)
import numpy as np  # noqa: E402

import cupy as cp  # noqa: E402
import rastrix as rx  # noqa: E402
import tensorrt as trt  # noqa: E402
import corvanta.detection as det  # noqa: E402
import corvanta.embedding as emb  # noqa: E402
import corvanta.paste as pa  # noqa: E402
import corvanta.swap as sw  # noqa: E402
import models  # noqa: E402
from detection_backends import Timed  # noqa: E402

THIS = sys.modules[__name__]
CROP = 512
# Squares of side 192 centred on multiples of 48: letterboxed by 1/3 they are the 64-pixel squares
# on the stride-16 grid that the tiny detector finds.
CENTRES = [(cx, cy) for cy in (336, 720) for cx in (240, 720, 1200, 1680)]


def frame_with(n_faces):
    image = np.zeros((1080, 1920, 3), np.float32)
    for cx, cy in CENTRES[:n_faces]:
        image += models.plant_square(1080, 1920, cx, cy, 192)
    return cp.asarray(image)


def road(parts, frame, batched):
    """One frame: detect, embed the first face, swap every face, paste every crop back."""
    faces = parts.detector.get(frame, CROP)
    latent = parts.embedder.get(faces[0])
    if batched:
        swapped = parts.swapper.batch_get([f.image for f in faces], latent)
    else:
        swapped = [parts.swapper.get(f.image, latent) for f in faces]
    out = frame
    for face, crop in zip(faces, swapped):
        # The host brings the swap onto the grid of the face's matrix.
        crop = rx.resize(crop, (CROP, CROP), interpolation=rx.INTER_AUTO)
        out = parts.paster.get(out, crop, face.matrix)
    return out, len(faces)


class Parts:
    def __init__(self):
        self.detector = det.TrtFaceDetection(model_bytes=trt._standin.build_engine(models.detector(9)))
        self.embedder = emb.TrtFaceEmbedding(model_bytes=trt._standin.build_engine(models.embedder(normalise="none")))
        profiles = {"target": ((1, 3, 256, 256), (1, 3, 256, 256), (32, 3, 256, 256)),
                    "source": ((1, 512), (1, 512), (32, 512))}
        self.swapper = sw.TrtFaceSwap(model_bytes=trt._standin.build_engine(models.swapper(), profiles=profiles))
        self.paster = pa.PasteBack()
        self.timers = []
        for model in (self.detector, self.embedder, self.swapper):  # the models' time: run and wait
            model.ctx, model.stream = Timed(model.ctx, "execute_async_v3"), Timed(model.stream, "synchronize")
            self.timers += [model.ctx, model.stream]

    def model_time(self):
        return sum(t.spent for t in self.timers)

    def reset(self):
        for t in self.timers:
            t.spent = 0.0


def measure(parts, frame, batched, rounds):
    parts.reset()  # warmed up by the check in main: buffers, anchor grids, the mask cache
    t = time.perf_counter()
    for _ in range(rounds):
        road(parts, frame, batched)
    total = time.perf_counter() - t
    return rounds / total, 1.0 - parts.model_time() / total


def count(parts, frame, batched):
    tally = RoadTally()
    with detection_get.count_calls(tally, modules=(det, emb, sw, pa, THIS)):
        tally.on = True
        road(parts, frame, batched)
        tally.on = False
    return tally


class RoadTally(detection_get.Tally):
    """Also counts the calls of cp.where with one argument, which wait for the device."""

    def __init__(self):
        super().__init__()
        self.where_waits = 0

    def call(self, kind, name, fn, args, kwargs, classify=None):
        if self.on and not self.depth and name == "cp.where" and len(args) == 1 and not kwargs:
            self.where_waits += 1
        return super().call(kind, name, fn, args, kwargs, classify)


def device_waits(tally):
    t = tally.totals()
    return t["host sync"] + tally.where_waits + t["rastrix host read"]


def launches(tally):
    t = tally.totals()
    return t["cp function"] + t["rastrix launch"] + t["array launch"]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=2, help="timed frames per case")
    args = ap.parse_args()
    started = time.perf_counter()
    parts = Parts()
    kinds = ["cp function", "rx function", "rastrix launch", "array launch", "array view", "host sync"]
    rows, tallies = [], {}
    for n in (1, 8):
        frame = frame_with(n)
        single, found = road(parts, frame, False)
        batched, _ = road(parts, frame, True)
        if found != n or not np.array_equal(cp.asnumpy(single), cp.asnumpy(batched)):
            sys.exit("the road does not find %d faces, or get and batch_get give different frames" % n)
        for mode, flag in (("get", False), ("batch_get", True)):
            fps, outside = measure(parts, frame, flag, args.rounds)
            tally = count(parts, frame, flag)
            tallies[(n, mode)] = tally
            rows.append((n, mode, fps, outside, tally.totals(), device_waits(tally), launches(tally)))

    print("face swap road on a 1920 x 1080 frame: detect, embed the first face, swap every face, paste")
    print("every crop back; TensorRT back-ends (stand-in), tiny models, %d timed frames per case" % args.rounds)
    print()
    print("per frame: cp function / rx function: calls through the modules' `cp` and `rx`; rastrix launch:")
    print("the launches those rx calls make inside rastrix (the cupy stand-in's ledger); array launch:")
    print("operators, item assignment, and indexing or methods whose result is new memory; array view: those")
    print("that return a view; host sync: truth value, int(), float(), item(), get() of a device array.")
    print("launches: cp function + rastrix launch + array launch, what a GPU would see. device waits: host")
    print("sync, plus the calls that wait for the device to hand a value to the host: cp.where with one")
    print("argument (sizes its result) and rastrix's own host reads (the ledger's).")
    print("%-6s %-10s %9s %8s %6s %6s %10s %13s %11s %10s %9s %13s" % (
        "faces", "swap", "frames/s", "outside", "cp fn", "rx fn", "rx launch", "array launch", "array view",
        "host sync", "launches", "device waits"))
    for n, mode, fps, outside, t, waits, total in rows:
        print("%-6d %-10s %9.2f %7.1f%% %6d %6d %10d %13d %11d %10d %9d %13d" % (
            n, mode, fps, 100 * outside, *(t[k] for k in kinds), total, waits))
    by_case = {(n, mode): fps for n, mode, fps, _, _, _, _ in rows}
    for n in (1, 8):
        print("%d face%s: batch_get / get frames per second %.2f" % (
            n, "" if n == 1 else "s", by_case[(n, "batch_get")] / by_case[(n, "get")]))

    print()
    print("calls per frame by name, 8 faces: get | batch_get")
    a, b = tallies[(8, "get")].by_name, tallies[(8, "batch_get")].by_name
    for key in sorted(set(a) | set(b), key=lambda k: (k[0], -a[k] - b[k], k[1])):
        print("  %-13s %-32s %5d %5d" % (key[0], key[1], a[key], b[key]))
    print("run time %.1f s" % (time.perf_counter() - started))


if __name__ == "__main__":
    main()
