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
"""

from __future__ import annotations

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
