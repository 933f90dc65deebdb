"""A reusable check that repeated calls do not leak: live objects, the interpreter's total
reference count (debug builds only), allocated blocks and traced memory must not grow."""
import gc
import sys
import tracemalloc


def _measure():
    gc.collect()
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return len(gc.get_objects()), total, sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]


def assert_no_leaks(*calls, repeat=300, warmup=30, expected=(Exception,)):
    """Runs each call `repeat` times (errors of the `expected` kinds swallowed: error paths are
    checked too) and fails if anything grows with the number of calls."""

    def run(n):
        for _ in range(n):
            for call in calls:
                try:
                    call()
                except expected:
                    pass

    run(warmup)
    tracing = tracemalloc.is_tracing()
    if not tracing:
        tracemalloc.start()
    try:
        run(warmup)
        objs0, ref0, blocks0, mem0 = _measure()
        run(repeat)
        objs1, ref1, blocks1, mem1 = _measure()
    finally:
        if not tracing:
            tracemalloc.stop()
    # A leak grows with every call; small constant noise (caches, interned names) does not.
    slack = max(16, repeat // 10)
    assert objs1 - objs0 < slack, "live objects grew by %d over %d rounds" % (objs1 - objs0, repeat)
    assert blocks1 - blocks0 < slack, "allocated blocks grew by %d over %d rounds" % (blocks1 - blocks0, repeat)
    assert mem1 - mem0 < 64 * repeat, "traced memory grew by %d bytes over %d rounds" % (mem1 - mem0, repeat)
    if ref0:
        assert ref1 - ref0 < slack, "total reference count grew by %d" % (ref1 - ref0)
