"""Device memory pointers of the stand-in (`ndarray.data`, `cupy.cuda.alloc`)."""

import ctypes

import numpy as np

from .. import _standin
from . import runtime


class Memory:
    """One device allocation.  Holding it keeps the allocation alive.  `_root` (with its device
    `_device_id`) wraps an existing allocation instead of making one."""

    def __init__(self, size, *, _root=None, _device_id=None):
        if _root is None:
            _root = _standin.poison(np.empty((int(size),), np.uint8))
            dev = runtime.getDevice()
            _standin.register(_root, dev)
        else:
            dev = _standin.entry_for(_root).device_id if _device_id is None else _device_id
        self._root = _root
        self.ptr = _standin.address_of(_root)
        self.size = _root.nbytes
        self.device_id = dev

    @property
    def device(self):
        from .device import Device
        return Device(self.device_id)


class MemoryPointer:
    """Address `mem.ptr + offset` inside the allocation `mem`."""

    def __init__(self, mem, offset):
        self.mem = mem
        self.ptr = mem.ptr + int(offset)
        self.device_id = mem.device_id

    @property
    def device(self):
        return self.mem.device

    def __int__(self):
        return self.ptr

    def __add__(self, offset):
        return MemoryPointer(self.mem, self.ptr - self.mem.ptr + int(offset))

    def __radd__(self, offset):
        return self.__add__(offset)

    def __sub__(self, offset):
        return self.__add__(-int(offset))

    def __iadd__(self, offset):
        return self.__add__(offset)

    def __isub__(self, offset):
        return self.__add__(-int(offset))

    def __repr__(self):
        return "<MemoryPointer %#x (device %d)>" % (self.ptr, self.device_id)

    def _bytes(self, size):
        return _standin.lookup(self.ptr, size)

    def copy_from_device(self, src, size):
        if size:
            self._bytes(size)[:] = src._bytes(size)

    def copy_from_device_async(self, src, size, stream=None):
        self.copy_from_device(src, size)

    def copy_from_host(self, mem, size):
        if size:
            dst = self._bytes(size)
            ctypes.memmove(dst.ctypes.data, int(mem if isinstance(mem, int) else mem.value), size)

    def copy_from_host_async(self, mem, size, stream=None):
        self.copy_from_host(mem, size)

    def copy_to_host(self, mem, size):
        if size:
            src = self._bytes(size)
            ctypes.memmove(int(mem if isinstance(mem, int) else mem.value), src.ctypes.data, size)

    def copy_to_host_async(self, mem, size, stream=None):
        self.copy_to_host(mem, size)

    def copy_from(self, mem, size):
        if isinstance(mem, MemoryPointer):
            self.copy_from_device(mem, size)
        else:
            self.copy_from_host(mem, size)

    def memset(self, value, size):
        if size:
            self._bytes(size)[:] = value & 0xFF

    def memset_async(self, value, size, stream=None):
        self.memset(value, size)


def alloc(size):
    """A fresh device allocation of `size` bytes (unwritten: filled with the sentinel)."""
    return MemoryPointer(Memory(size), 0)


class MemoryPool:
    """Statistics only; allocations are plain numpy buffers."""

    def __init__(self, allocator=None):
        pass

    def malloc(self, size):
        return alloc(size)

    def used_bytes(self):
        return sum(a.nbytes for a in _standin.live_allocations())

    def total_bytes(self):
        return self.used_bytes()

    def free_bytes(self):
        return 0

    def free_all_blocks(self, stream=None):
        pass

    def n_free_blocks(self):
        return 0

    def set_limit(self, size=None, fraction=None):
        pass

    def get_limit(self):
        return 0


_pool = MemoryPool()


def get_allocator():
    return _pool.malloc


def set_allocator(allocator=None):
    pass


# ---- the ledger (see cupy._standin) ----

def _copy_from_cost(result, args, kwargs):
    return _standin.LAUNCH if isinstance(args[1], MemoryPointer) else _standin.UPLOAD


for _n, _cost in (("copy_from_device", _standin.LAUNCH), ("copy_from_device_async", _standin.LAUNCH),
                  ("copy_from_host", _standin.UPLOAD), ("copy_from_host_async", _standin.UPLOAD),
                  ("copy_to_host", _standin.READ), ("copy_to_host_async", _standin.FREE),
                  ("copy_from", _copy_from_cost), ("memset", _standin.LAUNCH), ("memset_async", _standin.LAUNCH)):
    setattr(MemoryPointer, _n, _standin.entry("MemoryPointer." + _n, _cost)(MemoryPointer.__dict__[_n]))
del _n, _cost
