"""A reusable check that repeated calls do not leak: live objects, the interpreter's total
reference count (debug builds only), allocated blocks and traced memory must not grow."""
import gc
import sys
import tracemalloc


def _counts():
    gc.collect()
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return len(gc.get_objects()), total, sys.getallocatedblocks()


def _traced():
    gc.collect()
    return (tracemalloc.get_traced_memory()[0],)


def assert_no_leaks(*calls, repeat=300, warmup=30, expected=(Exception,)):
    """Runs each call `repeat` times, twice over (errors of the `expected` kinds swallowed: error
    paths are checked too), and fails if a measure grows in both rounds: a leak grows with every
    call, while caches that fill up (the array library's, the allocator's) stop growing. Live
    objects, the total reference count (debug interpreters) and allocated blocks are counted with
    tracing off (tracing allocates blocks of its own); traced memory in two more rounds.

    Calls should build fresh arguments, so that a leaked reference keeps a new object alive."""

    def run(n):
        for _ in range(n):
            for call in calls:
                try:
                    call()
                except expected:
                    pass

    def grows(measure, names, limits):
        run(warmup)
        m0 = measure()
        run(repeat)
        m1 = measure()
        run(repeat)
        m2 = measure()
        for name, limit, a, b, c in zip(names, limits, m0, m1, m2):
            first, second = b - a, c - b
            assert first < limit or second < limit, "%s grew by %d, then by %d, over %d rounds each" % (
                name, first, second, repeat)

    # A leak of one object (a block, at least 16 bytes) per call is well above these limits; the
    # allocator's and numpy's small-block caches take long to fill, hence the looser block limit.
    ncalls = repeat * len(calls)
    slack = max(16, ncalls // 4)
    grows(_counts, ("live objects", "total reference count", "allocated blocks"),
          (slack, slack, max(16, ncalls // 2)))
    tracing = tracemalloc.is_tracing()
    if not tracing:
        tracemalloc.start()
    try:
        # Leaked objects show above; this catches leaked buffers (a one-off table resize does not count).
        grows(_traced, ("traced memory (bytes)",), (max(65536, 32 * ncalls),))
    finally:
        if not tracing:
            tracemalloc.stop()
