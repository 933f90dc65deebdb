"""Fidelity of the numpy-backed cupy stand-in: it must refuse and report what real cupy refuses
and reports, so that code passing here does not fail only on a GPU."""
import gc

import numpy as np
import pytest
from scipy import ndimage as scipy_ndimage

import cupy as cp

if not hasattr(cp, "_standin"):
    pytest.skip("these tests check the cupy stand-in", allow_module_level=True)

import cupyx.scipy.ndimage  # noqa: E402

S = cp._standin


# ---- device scalars --------------------------------------------------------------------------

def test_scalar_indexing_and_reductions_give_0d_device_arrays():
    a = cp.array([[1.5, 2.5, 0.5], [4.0, -1.0, 3.0]], dtype=cp.float32)
    results = [a[1, 2], a[0][1], a.sum(), a.max(), cp.argmax(a), cp.linalg.norm(a), cp.linalg.det(a[:, :2]),
               cp.mean(a), cp.median(a), cp.allclose(a, a), cp.count_nonzero(a), next(iter(a[0]))]
    for r in results:
        assert type(r) is cp.ndarray and r.shape == ()
    assert a[1, 2].dtype == np.float32 and a.argmax().dtype == np.int64
    # the element is a view of the table, as a score picked from a detection row is
    s = a[1, 2]
    a[1, 2] = 9.0
    assert float(s) == 9.0
    assert (int(a[1, 0]), bool(a[0, 0] > 1), a[0, 1].item()) == (4, True, 2.5)
    assert float(cp.round(cp.array(0.255, dtype=cp.float32) * 100)) == 26.0
    assert float(cp.round(cp.array([2.5, 3.5]))[0]) == 2.0  # half to even
    with pytest.raises(TypeError):
        [10, 20][cp.array(1)]  # no __index__: conversion must be explicit
    with pytest.raises(TypeError):
        range(cp.array(3))
    with pytest.raises(TypeError):
        float(cp.array([1.0]))  # only 0-d arrays convert
    with pytest.raises(ValueError):
        cp.arange(3).item()
    with pytest.raises(TypeError):
        len(a.sum())


def test_sorts_are_stable_on_ties():
    # long enough that an unstable (introsort) order would differ
    host = (np.arange(40) % 3).astype(np.float32)
    scores = cp.asarray(host)
    stable = sorted(range(40), key=lambda i: (host[i], i))
    assert cp.argsort(scores).tolist() == stable
    assert scores.argsort()[::-1].tolist() == stable[::-1]  # later row first among equals
    assert cp.sort(cp.asarray(host)).tolist() == sorted(host.tolist())
    rows = cp.array([[2, 0], [1, 1], [2, 2], [1, 3]])
    assert rows[:, 1][cp.argsort(rows[:, 0])].tolist() == [1, 3, 0, 2]
    s = cp.array([3, 1, 2, 1])
    s.sort()
    assert s.tolist() == [1, 1, 2, 3]
    with pytest.raises(NotImplementedError):
        cp.argsort(scores, kind="quicksort")


# ---- host and device do not mix implicitly ---------------------------------------------------

def test_mixing_with_host_arrays_is_refused():
    d = cp.ones(3, dtype=cp.float32)
    h = np.ones(3, dtype=np.float32)
    for op in (lambda: d + h, lambda: h + d, lambda: d * h, lambda: h < d, lambda: d == h,
               lambda: cp.maximum(d, h), lambda: cp.dot(d, h), lambda: cp.stack([d, h]),
               lambda: cp.concatenate([h, d]), lambda: cp.where(d > 0, d, h), lambda: d + [1, 2, 3],
               lambda: cp.sum(h), lambda: cp.linalg.norm(h), lambda: cupyx.scipy.ndimage.gaussian_filter(h, 1)):
        with pytest.raises(TypeError):
            op()
    with pytest.raises(TypeError, match="Implicit conversion to a NumPy array is not allowed"):
        np.asarray(d)
    with pytest.raises(TypeError, match="Implicit conversion"):
        cp.array([d, 1.0])
    with pytest.raises(ValueError):
        d[:] = h  # cupy refuses to fill from a host array
    # scalars of either kind mix, and the result stays on the device
    for r in (d * 2, 2 * d, d * np.float32(2), np.float32(2) * d, d + 0.5, np.mean(d), -d):
        assert type(r) is cp.ndarray
    assert (d * np.float32(2)).dtype == np.float32 and (d + 1.5).dtype == np.float32
    assert cp.array([1.0, 2.0])[cp.array([True, False])].tolist() == [1.0]
    assert d.get().dtype == np.float32 and isinstance(d.get(), np.ndarray)


def test_transfers_copy_and_refuse_unsupported_types():
    h = np.arange(6, dtype=np.float32).reshape(2, 3)
    d = cp.asarray(h)
    h[0, 0] = 100
    assert float(d[0, 0]) == 0.0
    back = cp.asnumpy(d)
    back[1, 1] = -7
    assert float(d[1, 1]) == 4.0 and d.get() is not d.get()
    assert cp.asarray(d) is d and cp.asarray(d, dtype=cp.float32) is d
    c = cp.array(d)
    c[0, 1] = 50
    assert float(d[0, 1]) == 1.0
    assert cp.asarray([np.ones(2), np.zeros(2)]).shape == (2, 2)
    assert cp.array([cp.array(1.0), cp.array(2.0)]).tolist() == [1.0, 2.0]
    be = cp.asarray(np.arange(3, dtype=">f4"))
    assert be.dtype == np.float32 and be.dtype.isnative and be.tolist() == [0.0, 1.0, 2.0]
    for bad in (np.array([object()]), np.array(["a"]), np.array(["2020-01-01"], "datetime64[D]"),
                np.zeros(2, np.longdouble)):
        with pytest.raises(ValueError, match="Unsupported dtype"):
            cp.asarray(bad)
    with pytest.raises(ValueError):
        cp.empty(3, dtype=object)


def test_empty_buffers_hold_a_sentinel_until_written():
    f = cp.empty((2, 3), dtype=cp.float32)
    assert cp.isnan(f).all()
    i = cp.empty(4, dtype=cp.int32)
    assert i.get().view(np.uint8).tolist() == [0xAB] * 16
    like = cp.empty_like(cp.zeros((2, 2), dtype=cp.float64))
    assert S.unwritten(like).all()
    like[0] = 1.0
    assert S.unwritten(like).tolist() == [[False, False], [True, True]]
    assert not S.unwritten(cp.zeros(3)).any() and (cp.ones(2, cp.uint8).get() == 1).all()


# ---- device memory -----------------------------------------------------------------------------

def test_data_ptr_is_the_registered_address_and_lookup_guards_it():
    buf = cp.empty((2, 3), dtype=cp.float32)
    ptr = buf.data.ptr
    assert isinstance(ptr, int) and ptr != 0
    assert S.allocation_at(ptr) == (ptr, 24, 0, np.dtype(np.float32))
    raw = S.lookup(ptr, buf.nbytes)
    raw[:] = np.arange(6, dtype=np.float32).view(np.uint8)
    assert buf.tolist() == [[0, 1, 2], [3, 4, 5]]
    assert buf.__cuda_array_interface__["data"] == (ptr, False)
    row = buf[1]
    assert row.data.ptr == ptr + 12 and row.base is buf
    assert S.lookup(row.data.ptr, 12).view(np.float32).tolist() == [3, 4, 5]
    with pytest.raises(S.AddressError, match="past the end"):
        S.lookup(row.data.ptr, 16)
    with pytest.raises(S.AddressError):
        S.lookup(ptr - 4, 8)
    # a view keeps the allocation alive; once every user is gone the address is refused
    del buf, raw
    gc.collect()
    S.lookup(ptr, 24)
    del row
    gc.collect()
    with pytest.raises(S.AddressError, match="no live device allocation"):
        S.lookup(ptr, 4)
    mem = cp.cuda.alloc(16)
    over = cp.ndarray((4,), cp.float32, memptr=mem)
    over.fill(2.0)
    assert S.lookup(mem.ptr, 16).view(np.float32).tolist() == [2.0] * 4


def test_device_context_and_array_placement():
    assert cp.cuda.runtime.getDeviceCount() >= 2 and cp.cuda.Device().id == 0
    with pytest.raises(RuntimeError):
        with cp.cuda.Device("1") as dev:
            assert dev.id == 1 and cp.cuda.runtime.getDevice() == 1
            on1 = cp.zeros(3)
            raise RuntimeError("leaving by an error")
    assert cp.cuda.Device().id == 0
    assert on1.device.id == 1 and on1[1:].device.id == 1
    with pytest.raises(ValueError, match="different from the current device"):
        on1 + 1
    moved = on1.copy()  # a copy lands on the current device
    assert moved.device.id == 0 and float((moved + 1)[0]) == 1.0
    with pytest.raises(cp.cuda.runtime.CUDARuntimeError, match="invalid device ordinal"):
        with cp.cuda.Device(cp.cuda.runtime.getDeviceCount()):
            pass
    assert cp.cuda.Device().id == 0
    with pytest.raises(ValueError):
        cp.cuda.Device("cuda:0")


def test_streams_and_events_are_logged():
    S.log.clear()
    s1, s2 = cp.cuda.Stream(), cp.cuda.Stream(non_blocking=True)
    assert cp.cuda.Stream.null.ptr == 0 and 0 not in (s1.ptr, s2.ptr) and s1.ptr != s2.ptr
    assert cp.cuda.get_current_stream() is cp.cuda.Stream.null
    with s1:
        assert cp.cuda.get_current_stream() is s1
        ev = cp.cuda.Event()
        ev.record()
    assert cp.cuda.get_current_stream() is cp.cuda.Stream.null
    s2.wait_event(ev)
    ev2 = s2.record()
    ev2.synchronize()
    s1.synchronize()
    assert ev.done and isinstance(ev2, cp.cuda.Event)
    assert S.log == [("record", s1.ptr), ("wait_event", s2.ptr), ("record", s2.ptr),
                     ("event_synchronize", s2.ptr), ("synchronize", s1.ptr)]


def test_gaussian_filter_matches_scipy_and_keeps_the_device():
    img = cp.asarray(np.random.default_rng(0).random((9, 11, 3)).astype(np.float32))
    out = cupyx.scipy.ndimage.gaussian_filter(img, [1.5, 1.5, 0])
    assert type(out) is cp.ndarray and out.dtype == np.float32
    np.testing.assert_allclose(out.get(), scipy_ndimage.gaussian_filter(img.get(), [1.5, 1.5, 0]), rtol=1e-6)
    # a zero deviation leaves the channel axis alone
    chan = cp.zeros((5, 5, 3), dtype=cp.float32)
    chan[:, :, 1] = 1.0
    assert cupyx.scipy.ndimage.gaussian_filter(chan, [1, 1, 0])[:, :, 0].max() == 0


# ---- the ledger: launches, uploads and host reads --------------------------------------------

D = cp.arange(6, dtype=cp.float32)  # made once: its own launch is not in any case below
I2 = cp.asarray([0, 2])


@pytest.mark.parametrize("work, counts", [
    (lambda: cp.asarray(np.ones(3)), (0, 1, 0)),                  # host data goes up
    (lambda: cp.asarray([1.0, 2.0]), (0, 1, 0)),
    (lambda: cp.asarray(D), (0, 0, 0)),                          # already there
    (lambda: cp.array(D), (1, 0, 0)),                            # a device copy
    (lambda: cp.array([D, D]), (1, 0, 0)),                       # gathered on the device
    (lambda: cp.empty(3), (0, 0, 0)),                            # an allocation runs nothing
    (lambda: cp.zeros(3), (1, 0, 0)),
    (lambda: D + 1, (1, 0, 0)),
    (lambda: cp.add(D, D, out=cp.empty(6, cp.float32)), (1, 0, 0)),
    (lambda: cp.sum(D), (1, 0, 0)),                              # routine and method: counted once
    (lambda: cp.maximum.reduce(D), (1, 0, 0)),
    (lambda: D[1:].reshape(5, 1).T, (0, 0, 0)),                  # views
    (lambda: D[::2].ravel(), (1, 0, 0)),                         # a copy
    (lambda: D.astype(cp.float32, copy=False), (0, 0, 0)),
    (lambda: D.astype(cp.float64), (1, 0, 0)),
    (lambda: D[I2], (1, 0, 0)),
    (lambda: D[[0, 2]], (1, 1, 0)),                              # the index list goes up first
    (lambda: D[D > 2], (2, 0, 1)),                               # a mask's count sizes the result
    (lambda: cp.nonzero(D), (1, 0, 1)),
    (lambda: cp.where(D > 2, D, 0), (2, 0, 0)),
    (lambda: D.copy().__setitem__(0, 5), (2, 0, 0)),
    (lambda: D.copy().set(np.zeros(6, np.float32)), (1, 1, 0)),
    (lambda: cp.linalg.norm(D), (1, 0, 0)),
    (lambda: cupyx.scipy.ndimage.correlate1d(D, D[:3]), (1, 0, 0)),
    (lambda: cupyx.scipy.ndimage.affine_transform(D, cp.eye(2)[:1], order=1), (2, 0, 0)),
    (lambda: cupyx.scipy.ndimage.affine_transform(D, D[:1], offset=D[:1], order=1), (1, 0, 1)),
    (lambda: D.get(), (0, 0, 1)),
    (lambda: cp.asnumpy(D), (0, 0, 1)),
    (lambda: D[2].item(), (0, 0, 1)),
    (lambda: D.tolist(), (0, 0, 1)),
    (lambda: float(D[1]) + int(D[1]) + bool(D[1]), (0, 0, 3)),
    (lambda: repr(D), (0, 0, 1)),
    (lambda: cp.cuda.Stream.null.synchronize(), (0, 0, 1)),
    (lambda: cp.cuda.Device().synchronize(), (0, 0, 1)),
    (lambda: cp.cuda.runtime.deviceSynchronize(), (0, 0, 1)),
    (lambda: cp.zeros(-1), (0, 0, 0)),                           # a refused call runs nothing
])
def test_ledger_counts_launches_uploads_and_host_reads(work, counts):
    with S.counting() as seen:
        try:
            work()
        except ValueError:
            pass
    assert (seen.launches, seen.uploads, seen.host_reads) == counts
    with S.counting() as again:
        try:
            work()
        except ValueError:
            pass
    assert (again.launches, again.uploads, again.host_reads) == counts  # deterministic


def test_ledger_names_what_ran():
    with S.counting() as seen:
        x = cp.zeros(4) + 1.0
        float(x.sum())
    assert dict(seen.by_name) == {("launches", "cupy.zeros"): 1, ("launches", "cupy.add"): 1,
                                  ("launches", "ndarray.sum"): 1, ("host_reads", "ndarray.__float__"): 1}


def test_repeated_device_work_does_not_grow_memory():
    from leakcheck import assert_no_leaks
    s = cp.cuda.Stream()
    buf = cp.empty(8, dtype=cp.float32)
    before = len(S.live_allocations())
    assert_no_leaks(
        lambda: float((cp.empty((8, 8), cp.float32) + 1).sum()),
        lambda: cp.asarray(np.ones(4))[1:].data.ptr,
        lambda: S.lookup(buf.data.ptr, 16),
        lambda: s.synchronize(),
        lambda: cp.cuda.Stream().record().synchronize(),  # a new stream each time
        lambda: cp.ones(3) + np.ones(3),  # the refusal path
        repeat=100, warmup=20)
    assert len(S.live_allocations()) == before and len(S.log) <= S.log_limit
