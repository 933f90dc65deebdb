"""Book-keeping of the numpy-backed `cupy` stand-in.

Device memory
    Every device allocation is a numpy array that owns its bytes (the "root").  The registry
    keeps a weak reference to each root together with its address, size and device, so an
    allocation disappears from it as soon as the last array (or `.data` pointer) using it is
    gone.  `lookup(ptr, nbytes)` turns a device address back into writable bytes; it is how
    other stand-ins (the TensorRT runtime) read and write buffers they were handed by address.

Stream log
    `log` is a list of tuples, appended in call order:

        ("record", stream_ptr)            Stream.record / Event.record
        ("wait_event", stream_ptr)        Stream.wait_event (the waiting stream)
        ("synchronize", stream_ptr)       Stream.synchronize
        ("event_synchronize", stream_ptr) Event.synchronize (the stream it was recorded on,
                                          None when it was never recorded)
        ("device_synchronize", device_id) Device.synchronize / runtime.deviceSynchronize

    Stream pointer 0 is the legacy default stream (`Stream.null`).  Other stand-ins add their
    own entries with `note(entry)` (for example an engine execution on a stream).  Tests clear
    it with `log.clear()` before the calls they inspect.  So that repeated calls do not grow
    memory (leak checks), only the latest `log_limit` entries (64 unless a test raises it) are
    kept, and each stream reuses one tuple per kind of entry.

Unwritten memory
    `cupy.empty` and friends fill new buffers with a sentinel: NaN for floating and complex
    types, the byte 0xAB for integer types and True for booleans.  `unwritten(a)` tells which
    elements still hold it.

Ledger
    `ledger` counts what the work done through the stand-in would cost on a GPU, at the array
    library's surface: a launch for every routine, operator or method that computes on the
    device (one per call, however many kernels the real library runs for it; views, `empty` and
    other bare allocations launch nothing), an upload for every conversion of host data to a
    device array, and a host read for every read of a device value on the host (`get`,
    `asnumpy`, `item`, `tolist`, truth and number conversions, printing) and every stream, event
    or device synchronisation, including those the real library makes by itself (to size the
    result of `nonzero` or of a boolean mask).  A call made while another counted call runs is
    part of it and not counted again; a call that raises counts nothing.  Counts are
    deterministic.  `counting()` measures a block:

        with cupy._standin.counting() as seen:
            ...
        seen.launches, seen.uploads, seen.host_reads, seen.by_name
"""

from __future__ import annotations

import collections
import contextlib
import functools
import os
import threading
import weakref
from collections import namedtuple

import numpy as np

log: list = []
log_limit = 64

SENTINEL_BYTE = 0xAB


def note(entry) -> None:
    """Appends `entry` to the log, dropping the oldest entries beyond the limit."""
    log.append(entry)
    if len(log) > log_limit:
        del log[:len(log) - log_limit]

# Number of devices the runtime reports.  Two by default so that code switching devices runs.
device_count = int(os.environ.get("CORVANTA_STANDIN_DEVICES", "2"))


class AddressError(RuntimeError):
    """A device address that no live allocation covers."""


Allocation = namedtuple("Allocation", "ptr nbytes device_id dtype")


class _Entry:
    __slots__ = ("ptr", "nbytes", "device_id", "ref", "owner")

    def __init__(self, ptr, nbytes, device_id, ref):
        self.ptr = ptr
        self.nbytes = nbytes
        self.device_id = device_id
        self.ref = ref
        self.owner = None  # weak reference to the cupy.ndarray that wraps the root itself


_entries: dict = {}
_lock = threading.RLock()


def address_of(arr: np.ndarray) -> int:
    return arr.__array_interface__["data"][0]


def entry_for(root: np.ndarray):
    e = _entries.get(id(root))
    if e is not None and e.ref() is root:
        return e
    return None


def register(root: np.ndarray, device_id: int) -> _Entry:
    """Records `root` (an array owning its bytes) as a live allocation on `device_id`."""
    with _lock:
        e = entry_for(root)
        if e is not None:
            return e
        key = id(root)

        def _gone(ref, key=key):
            with _lock:
                cur = _entries.get(key)
                if cur is not None and cur.ref is ref:
                    del _entries[key]

        e = _Entry(address_of(root), root.nbytes, device_id, weakref.ref(root, _gone))
        _entries[key] = e
        return e


def _find(ptr: int):
    """(entry, root) of the live allocation whose bytes include `ptr`, else (None, None)."""
    with _lock:
        entries = list(_entries.values())
    for e in entries:
        root = e.ref()
        if root is not None and e.ptr <= ptr < e.ptr + max(e.nbytes, 1):
            return e, root
    return None, None


def _bytes_of(root: np.ndarray) -> np.ndarray:
    order = "F" if root.flags.f_contiguous and not root.flags.c_contiguous else "C"
    return root.reshape(-1, order=order).view(np.uint8)


def lookup(ptr: int, nbytes: int) -> np.ndarray:
    """The live device bytes [ptr, ptr + nbytes) as a writable 1-d uint8 numpy array.

    Raises AddressError when no live allocation holds the whole range: the buffer was freed,
    the address was never allocated, or the allocation ends before ptr + nbytes.
    """
    ptr = int(ptr)
    nbytes = int(nbytes)
    if nbytes < 0:
        raise AddressError(f"negative byte count {nbytes}")
    e, root = _find(ptr)
    if e is None:
        raise AddressError(f"no live device allocation holds address {ptr:#x} (freed, or never allocated)")
    off = ptr - e.ptr
    if off + nbytes > e.nbytes:
        raise AddressError(
            f"range [{ptr:#x}, {ptr + nbytes:#x}) runs {off + nbytes - e.nbytes} bytes past the end of the "
            f"{e.nbytes}-byte allocation at {e.ptr:#x}")
    return _bytes_of(root)[off:off + nbytes]


def allocation_at(ptr: int) -> Allocation:
    """Start, size, device and element type of the live allocation holding `ptr`."""
    e, root = _find(int(ptr))
    if e is None:
        raise AddressError(f"no live device allocation holds address {int(ptr):#x} (freed, or never allocated)")
    return Allocation(e.ptr, e.nbytes, e.device_id, root.dtype)


def dtype_at(ptr: int):
    """Element type the allocation holding `ptr` was made with."""
    return allocation_at(ptr).dtype


def live_allocations() -> list:
    """All live allocations, as Allocation tuples."""
    out = []
    with _lock:
        entries = list(_entries.values())
    for e in entries:
        root = e.ref()
        if root is not None:
            out.append(Allocation(e.ptr, e.nbytes, e.device_id, root.dtype))
    return out


def poison(arr: np.ndarray) -> np.ndarray:
    """Fills a fresh buffer with the unwritten-memory sentinel."""
    k = arr.dtype.kind
    if k in "fc":
        arr.fill(np.nan)
    elif k == "b":
        arr.fill(True)
    elif arr.size:
        arr.reshape(-1, order="A").view(np.uint8).fill(SENTINEL_BYTE)
    return arr


def _sentinel_value(dtype):
    probe = poison(np.empty((1,), dtype))
    return probe[0]


def unwritten(a) -> np.ndarray:
    """Host boolean mask: True where a device array still holds the sentinel of `empty`.

    For booleans every True element counts, so only use it on numeric arrays.
    """
    host = a.get() if hasattr(a, "get") else np.asarray(a)
    if host.dtype.kind in "fc":
        return np.isnan(host)
    return host == _sentinel_value(host.dtype)


# ---- the ledger ------------------------------------------------------------------------------

FREE = (0, 0, 0)
LAUNCH = (1, 0, 0)
UPLOAD = (0, 1, 0)
READ = (0, 0, 1)
LAUNCH_AND_READ = (1, 0, 1)

_KINDS = ("launches", "uploads", "host_reads")


class Ledger:
    """Running totals of launches, uploads and host reads, and the same by entry point name."""

    def __init__(self):
        self.launches = self.uploads = self.host_reads = 0
        self.by_name = collections.Counter()  # (kind, name) -> count

    def add(self, name, cost):
        launches, uploads, reads = cost
        if launches:
            self.launches += launches
            self.by_name[("launches", name)] += launches
        if uploads:
            self.uploads += uploads
            self.by_name[("uploads", name)] += uploads
        if reads:
            self.host_reads += reads
            self.by_name[("host_reads", name)] += reads

    def reset(self):
        self.launches = self.uploads = self.host_reads = 0
        self.by_name.clear()


ledger = Ledger()


class Seen:
    """What ran inside a `counting()` block (filled in when the block ends)."""

    def __init__(self):
        self.launches = self.uploads = self.host_reads = 0
        self.by_name = collections.Counter()

    def __repr__(self):
        return "Seen(launches=%d, uploads=%d, host_reads=%d)" % (self.launches, self.uploads, self.host_reads)


@contextlib.contextmanager
def counting():
    """Counts of the block's work: a Seen whose fields are set when the block ends."""
    seen = Seen()
    start = (ledger.launches, ledger.uploads, ledger.host_reads)
    names = collections.Counter(ledger.by_name)
    try:
        yield seen
    finally:
        seen.launches, seen.uploads, seen.host_reads = (
            ledger.launches - start[0], ledger.uploads - start[1], ledger.host_reads - start[2])
        seen.by_name = collections.Counter(ledger.by_name)
        seen.by_name.subtract(names)
        seen.by_name = +seen.by_name  # drops the names that did not run


class _Depth(threading.local):
    def __init__(self):
        self.n = 0


_depth = _Depth()


def entry(name, cost=LAUNCH):
    """Decorator of a stand-in entry point: when it is the outermost counted call running and it
    returns, its cost goes to the ledger under `name` (a text, or a function of the arguments
    giving one).  `cost` is a (launches, uploads, host reads) tuple or a function of (result,
    args, kwargs) giving one."""
    def decorate(fn):
        @functools.wraps(fn)
        def counted(*args, **kwargs):
            if _depth.n:
                return fn(*args, **kwargs)
            _depth.n = 1
            try:
                result = fn(*args, **kwargs)
            finally:
                _depth.n = 0
            ledger.add(name(args) if callable(name) else name,
                       cost(result, args, kwargs) if callable(cost) else cost)
            return result
        return counted
    return decorate


def note_upload(name):
    """A conversion of host data to device memory, wherever it happens (inside a counted call
    too: the upload is work of its own)."""
    ledger.add(name, UPLOAD)
