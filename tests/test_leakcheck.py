"""The leak check itself: it fails on what every call keeps and passes caches that fill slowly and stop."""
import itertools
import random
import sys

import pytest

from leakcheck import assert_no_leaks

kept = []  # what the planted leaks keep, emptied after each test


@pytest.fixture(autouse=True)
def empty_kept():
    yield
    kept.clear()


BLOCKS = "allocated blocks" if sys.getallocatedblocks() else "traced memory"  # none under PYTHONMALLOC=malloc


@pytest.mark.parametrize("leak, measure", [
    (lambda: kept.append(object()), BLOCKS),  # a small object: a block, 16 bytes traced, no live object
    (lambda: kept.append([]), "live objects"),  # one the collector tracks
    (lambda: kept.append(bytes(4096)), BLOCKS),  # a buffer: a block from the system allocator
], ids=["object", "tracked object", "buffer"])
def test_a_leak_fails(leak, measure):
    with pytest.raises(AssertionError, match=measure + " .*grew by"):
        assert_no_leaks(leak, lambda: None)


def sequential(cache, calls, rng):
    cache[next(calls) % 3000] = object()  # one entry a call up to 3000, then replaced


def hashed(cache, calls, rng):
    cache[rng.randrange(4096)] = object()  # like the interpreter's lookup cache: a new entry where it lands


@pytest.mark.parametrize("fill", [sequential, hashed])
def test_a_cache_that_fills_slowly_passes(fill):
    cache, calls, rng = {}, itertools.count(), random.Random(0)
    assert_no_leaks(lambda: fill(cache, calls, rng))
    assert len(cache) > 2000  # it filled while being measured, far beyond any one stretch's limit
