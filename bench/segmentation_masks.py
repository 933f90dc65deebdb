"""composite_masks on class scores of 16 x 19 x 512 x 512 (float32, the default chunk of the parsing
role): the einsum formulation (every pixel matched against every grouped class, N x H x W x K, then
multiplied with the group table, M x N x H x W x K, and summed) against
`BaseFaceSegmentation.composite_masks` (the entries counted once per class and group, and each
pixel's planes read from its class's column), side by side in one run. Prints the time of each and
their ratio, the peak memory each allocates while it runs (traced allocations on the stand-in; the
growth of the memory pool with --real-gpu), and whether the two results are equal bit for bit.
On the stand-in both peaks include a copy of the scores that numpy's arg-max over the class axis
makes (a GPU reduction makes none).

Run after installing the package: python bench/segmentation_masks.py [--real-gpu] [--rounds N]
"""
import argparse
import gc
import os
import sys
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
REAL_GPU = "--real-gpu" in sys.argv
if not REAL_GPU:
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "standins"))

import numpy as np  # noqa: E402

import cupy as cp  # noqa: E402
import corvanta.segmentation as seg  # noqa: E402

SHAPE = (16, 19, 512, 512)
MiB = 1 << 20


def einsum_masks(self, preds):
    """The composite as the einsum formulation computes it, step by step."""
    if preds.ndim == 5 and preds.shape[0] == 1:
        preds = preds[0]
    batch_size = preds.shape[0]
    max_vals = cp.max(preds, axis=1, keepdims=True)
    exp_vals = cp.exp(preds - max_vals)
    prob = exp_vals / cp.sum(exp_vals, axis=1, keepdims=True)
    pred = cp.argmax(prob, axis=1)
    pred_expanded = pred[..., None]
    indices_expanded = self.all_indices[None, None, None, :]
    all_matches = (pred_expanded == indices_expanded).astype(cp.float32)
    category_masks = cp.arange(self.num_categories)[:, None] == self.category_ids[None, :]
    _masks = cp.einsum("nijk,mk->mnijk", all_matches, category_masks.astype(cp.float32)).sum(axis=-1)
    masks_list = []
    for n in range(batch_size):
        masks_list.append(cp.stack([_masks[0][n], _masks[1][n], _masks[2][n]], axis=0))
    return cp.stack(masks_list, axis=0)


def measured(fn, preds):
    """(result, seconds, peak bytes allocated during the call)."""
    gc.collect()
    if REAL_GPU:
        pool = cp.get_default_memory_pool()
        pool.free_all_blocks()
        before = pool.total_bytes()
        cp.cuda.Device().synchronize()
        t = time.perf_counter()
        out = fn(preds)
        cp.cuda.Device().synchronize()
        spent = time.perf_counter() - t
        return out, spent, pool.total_bytes() - before
    tracemalloc.reset_peak()
    before = tracemalloc.get_traced_memory()[0]
    t = time.perf_counter()
    out = fn(preds)
    spent = time.perf_counter() - t
    return out, spent, tracemalloc.get_traced_memory()[1] - before


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--real-gpu", action="store_true", help="use the real cupy on a GPU")
    ap.add_argument("--rounds", type=int, default=3, help="timed rounds of each, interleaved (best kept)")
    args = ap.parse_args()

    role = seg.BaseFaceSegmentation()
    preds = cp.asarray(np.random.default_rng(0).standard_normal(SHAPE, dtype=np.float32))
    if not REAL_GPU:
        tracemalloc.start()
    formulations = [("einsum", lambda p: einsum_masks(role, p)), ("count table", role.composite_masks)]
    best = {name: (float("inf"), 0) for name, _ in formulations}
    results = {}
    for _ in range(args.rounds):
        for name, fn in formulations:
            results[name] = None
            out, spent, peak = measured(fn, preds)
            results[name] = out
            best[name] = (min(best[name][0], spent), max(best[name][1], peak))
    equal = bool(cp.asnumpy(results["einsum"]).tobytes() == cp.asnumpy(results["count table"]).tobytes())

    scores_bytes, result_bytes = preds.nbytes, results["count table"].nbytes
    print("composite_masks, scores %s float32 (%.0f MiB), result %.0f MiB, %s, best of %d rounds" % (
        " x ".join(map(str, SHAPE)), scores_bytes / MiB, result_bytes / MiB,
        "real GPU" if REAL_GPU else "stand-in (traced allocations)", args.rounds))
    print("%-12s %10s %14s" % ("formulation", "seconds", "peak MiB"))
    for name, _ in formulations:
        print("%-12s %10.3f %14.1f" % (name, best[name][0], best[name][1] / MiB))
    print("time ratio count table / einsum: %.3f" % (best["count table"][0] / best["einsum"][0]))
    print("peak memory ratio count table / einsum: %.3f" % (best["count table"][1] / best["einsum"][1]))
    budget = 2 * scores_bytes + result_bytes
    print("count table peak within 2 x scores + result (%.0f MiB): %s" % (
        budget / MiB, best["count table"][1] <= budget))
    print("results equal bit for bit: %s" % equal)
    if not equal:
        sys.exit(1)


if __name__ == "__main__":
    main()
