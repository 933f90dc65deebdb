"""rastrix on a GPU budget: what each operation costs a GPU, counted by the cupy stand-in's ledger.

For each operation below, after one warming call: the kernel launches, uploads of host data and
host reads of device values that one call makes (rastrix's own calls into the array library,
counted by `cupy._standin.ledger`; views launch nothing), the budget of launches, and the CPU time
of one call on the stand-in (best of --reps; numpy does the device work there, so the time says
how much work the operation does, not how long a GPU takes). Every operation's budget allows no
upload and no host read.

Run after installing the package:  python bench/rastrix_ops.py   (a few seconds on a CPU machine).
Exit status 1 when an operation is over its budget.
"""
import argparse
import math
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "standins"))

import numpy as np  # noqa: E402

import cupy as cp  # noqa: E402
import rastrix as rx  # noqa: E402

LEDGER = cp._standin


def similarity(scale, degrees, centre, target):
    """2 x 3 matrix: rotate and scale about `centre`, which lands on `target`."""
    a = math.radians(degrees)
    r = scale * np.array([[math.cos(a), -math.sin(a)], [math.sin(a), math.cos(a)]])
    t = np.asarray(target, np.float64) - r @ np.asarray(centre, np.float64)
    return np.hstack([r, t[:, None]])


def inverse(m):
    a = np.vstack([m, [0.0, 0.0, 1.0]])
    return np.linalg.inv(a)[:2]


def operations():
    rng = np.random.default_rng(0)
    frame = cp.asarray(rng.uniform(0, 1, (1080, 1920, 3)).astype(np.float32))
    crop512 = cp.asarray(rng.uniform(0, 1, (512, 512, 3)).astype(np.float32))
    plate = cp.asarray(np.ones((512, 512, 3), np.float32))
    face = (960.0, 540.0)
    to_crop112 = cp.asarray(similarity(112 / 300, 12.0, face, (56.0, 56.0)))
    back_from512 = cp.asarray(inverse(similarity(512 / 300, 12.0, face, (256.0, 256.0))))
    blur = rx.GaussianBlur()
    return [
        ("affine_transform, 1920 x 1080 frame to a 112 x 112 crop", 10,
         lambda: rx.affine_transform(frame, to_crop112, (112, 112))),
        ("affine_transform, 512 x 512 crop to the 1920 x 1080 frame", 10,
         lambda: rx.affine_transform(crop512, back_from512, (1080, 1920))),
        ("resize, 1920 x 1080 to 640 x 360", 5,
         lambda: rx.resize(frame, (640, 360), interpolation=rx.INTER_AUTO)),
        ("GaussianBlur().get, 512 x 512, ksize 51", 4,
         lambda: blur.get(plate, 51, 51.0)),
        ("images_to_batch, one 512 x 512 image to 256 x 256", 8,
         lambda: rx.images_to_batch(crop512, std=0.5, size=(256, 256), mean=0.5, swap_rb=True, layout="HWC")),
    ]


def best_time(fn, reps):
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--reps", type=int, default=5, help="timed calls per operation (the best counts)")
    ap.add_argument("--names", action="store_true", help="also list the launches of each operation by routine")
    args = ap.parse_args()

    rows, over = [], []
    for label, budget, fn in operations():
        fn()  # warming call: caches fill here
        with LEDGER.counting() as seen:
            fn()
        ms = best_time(fn, args.reps) * 1e3
        within = seen.launches <= budget and seen.uploads == 0 and seen.host_reads == 0
        if not within:
            over.append(label)
        rows.append((label, seen, budget, ms, within))

    print("%-58s %8s %7s %10s %8s %10s" % ("operation", "launches", "uploads", "host reads", "budget", "CPU ms"))
    for label, seen, budget, ms, within in rows:
        print("%-58s %8d %7d %10d %8s %10.2f%s" % (label, seen.launches, seen.uploads, seen.host_reads,
                                                  "<= %d" % budget, ms, "" if within else "  OVER BUDGET"))
        if args.names:
            for (kind, name), n in sorted(seen.by_name.items()):
                print("      %-10s %-44s %d" % (kind, name, n))
    print()
    print("budget: the launches shown, no upload, no host read%s"
          % ("" if not over else "; over: " + ", ".join(over)))
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
