"""A reusable check that repeated calls do not leak: live objects, the interpreter's total
reference count (debug builds only), allocated blocks and traced memory must not grow with the
number of calls."""
import array
import gc
import math
import os
import sys
import time
import tracemalloc

# The interpreter's attribute lookup cache (4096 entries) keeps a reference to the name of each
# lookup it holds. Names made afresh for every lookup from native code (numpy's flag setters,
# nanobind's and onnxruntime's lookups by C string) land at new addresses and so in new entries:
# thousands of calls add dead names, a few blocks at a time, until the cache is full. Emptying it
# before each count keeps that out of the measures.
_clear_caches = getattr(sys, "_clear_internal_caches", None) or getattr(sys, "_clear_type_cache", lambda: None)

# A leak of one object (a block, at least 16 bytes) a round grows a measure by that much a round
# in every stretch of rounds. A measure grows in a stretch where it gained RATE a round and FLOOR
# (what a free list or a table resize may move at once) at least. Growth in every stretch that adds
# up to more than CACHE is more than the caches here hold (a few thousand entries): the check stops
# there rather than let a leak run on.
_LIMITS = {  # name: (rate per round, floor, cache)
    "live objects": (0.5, 8, 8192),
    "total reference count": (0.5, 16, 8192),
    "allocated blocks": (0.5, 8, 8192),
    "traced memory (bytes)": (12, 4096, 4 << 20),
}
_FEWEST = 12  # rounds in the first stretch, however slow the calls
_LONGER = 3  # each stretch has this many times the rounds of the one before
_STRETCHES = 6  # at most, in a pass
_BUDGET = 3.0  # seconds a pass's stretches may take, beyond the first two
_SHOW = os.environ.get("CORVANTA_LEAKCHECK_SHOW") == "1"  # print each stretch's growth


# The counts go into a table made beforehand, so that counting leaves nothing behind that the next
# count would see (the check keeps its clocks in one too).
def _counts(table, row):
    _clear_caches()
    gc.collect()
    table[row] = len(gc.get_objects())
    table[row + 1] = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    table[row + 2] = sys.getallocatedblocks()


def _traced(table, row):
    _clear_caches()
    gc.collect()
    table[row] = tracemalloc.get_traced_memory()[0]


def assert_no_leaks(*calls, repeat=300, warmup=30, expected=(Exception,), seconds=0.15):
    """Runs the calls round after round (errors of the `expected` kinds swallowed: error paths are
    checked too) and fails if a measure grows with the rounds run. Live objects, the total reference
    count (debug interpreters) and allocated blocks are counted with tracing off (tracing allocates
    blocks of its own); traced memory, which also sees buffers, in a second pass.

    A leak grows with every call and without end, while a cache grows by what it holds and stops.
    So after `warmup` rounds (a quarter as many before the second pass: what fills at once is full
    by then), each pass counts over stretches of rounds, each three times as long as the one before,
    and a measure passes at the first stretch in which it grew by less than half an object (12
    bytes) a round. It fails if it grew that much in every stretch, two at least, up to six, as many
    as fit in a few seconds, or until it grew by more than a cache would hold; a cache that fills
    slowly fills meanwhile. The first stretch is sized by time, to last about `seconds`, within 12
    and `repeat` rounds. Under PYTHONMALLOC=malloc allocated blocks count nothing: live objects and
    traced memory still apply; a leaked small object that the collector does not track then shows
    only in stretches of hundreds of rounds (fast calls).

    Calls should build fresh arguments, so that a leaked reference keeps a new object alive."""

    def run(n):
        start = time.perf_counter()
        for _ in range(n):
            for call in calls:
                try:
                    call()
                except expected:
                    pass
        return time.perf_counter() - start

    def check(measure, names, warm):
        each = run(warm) / warm  # the first calls fill what fills at once
        first = min(repeat, max(_FEWEST, math.ceil(seconds / max(each, 1e-9))))
        stretches = [first * _LONGER ** j for j in range(_STRETCHES)]  # rounds in each
        width, growing = len(names), range(len(names))
        table = array.array("q", bytes(8 * width * (_STRETCHES + 1)))  # the counts at the stretches' ends
        clock = array.array("d", (0.0, 0.0))  # seconds spent in stretches, and in the last one

        def growth(i, j, whole=False):  # of measure i in stretch j, or in all up to j
            return table[width * (j + 1) + i] - table[(0 if whole else width * j) + i]

        steps = enumerate(stretches)  # made before the first count, as all that lasts through the counts
        measure(table, 0)
        for j, n in steps:
            clock[1] = run(n)
            clock[0] += clock[1]
            measure(table, width * (j + 1))
            if _SHOW:
                print("leakcheck: %d rounds: %s" % (n, ", ".join(
                    "%s +%d" % (names[i], growth(i, j)) for i in range(width))))
            growing = [i for i in growing if growth(i, j) >= max(_LIMITS[names[i]][1], _LIMITS[names[i]][0] * n)]
            if not growing:
                return
            if j and (clock[0] + _LONGER * clock[1] > _BUDGET  # the next stretch would take too long
                      or any(growth(i, j, whole=True) > _LIMITS[names[i]][2] for i in growing)):
                break
        raise AssertionError("; ".join("%s grew by %s" % (names[i], ", then ".join(
            "%d over %d rounds" % (growth(i, k), stretches[k]) for k in range(j + 1))) for i in growing))

    check(_counts, ("live objects", "total reference count", "allocated blocks"), max(warmup, 1))
    tracing = tracemalloc.is_tracing()
    if not tracing:
        tracemalloc.start()
    try:
        check(_traced, ("traced memory (bytes)",), max(warmup // 4, 1))
    finally:
        if not tracing:
            tracemalloc.stop()
