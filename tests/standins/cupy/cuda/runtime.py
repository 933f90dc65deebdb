"""The CUDA runtime calls of the stand-in: device selection and synchronisation."""

import ctypes
import threading

from .. import _standin

is_hip = False
_is_hip_environment = False

# CUDA error codes (the module does not export them)
_errorInvalidValue = 1
_errorMemoryAllocation = 2
_errorInvalidDevice = 101

_ERRORS = {
    _errorInvalidValue: ("cudaErrorInvalidValue", "invalid argument"),
    _errorMemoryAllocation: ("cudaErrorMemoryAllocation", "out of memory"),
    _errorInvalidDevice: ("cudaErrorInvalidDevice", "invalid device ordinal"),
}

memcpyHostToHost = 0
memcpyHostToDevice = 1
memcpyDeviceToHost = 2
memcpyDeviceToDevice = 3
memcpyDefault = 4

streamLegacy = 1
streamPerThread = 2


class CUDARuntimeError(RuntimeError):
    def __init__(self, status):
        self.status = status
        name, msg = _ERRORS.get(status, ("cudaErrorUnknown", "unknown error"))
        super().__init__("%s: %s" % (name, msg))

    def __reduce__(self):
        return (type(self), (self.status,))


class _Local(threading.local):
    def __init__(self):
        self.device = 0


_local = _Local()


def getDeviceCount():
    return _standin.device_count


def _check_device(device_id):
    if not isinstance(device_id, int) or not 0 <= device_id < _standin.device_count:
        raise CUDARuntimeError(_errorInvalidDevice)


def getDevice():
    return _local.device


def setDevice(device):
    _check_device(device)
    _local.device = device


_device_sync_notes = {}


def _note_device_sync(device_id):
    entry = _device_sync_notes.get(device_id)
    if entry is None:
        entry = _device_sync_notes[device_id] = ("device_synchronize", device_id)
    _standin.note(entry)


def deviceSynchronize():
    _note_device_sync(_local.device)


def streamSynchronize(stream):
    _standin.note(("synchronize", int(stream)))


def getDeviceProperties(device):
    _check_device(device)
    return {"name": b"Stand-in GPU", "totalGlobalMem": 80 * 2**30, "major": 9, "minor": 0,
            "multiProcessorCount": 132, "warpSize": 32, "pciBusID": device}


def memGetInfo():
    return (64 * 2**30, 80 * 2**30)


def runtimeGetVersion():
    return 12080


def driverGetVersion():
    return 12080


def _device_bytes(ptr, size):
    try:
        return _standin.lookup(ptr, size)
    except _standin.AddressError:
        raise CUDARuntimeError(_errorInvalidValue) from None


def memcpy(dst, src, size, kind):
    """Copies `size` bytes; device addresses must lie in live allocations."""
    if size == 0:
        return
    if kind in (memcpyDeviceToHost, memcpyDeviceToDevice):
        _device_bytes(src, size)
    if kind in (memcpyHostToDevice, memcpyDeviceToDevice):
        _device_bytes(dst, size)
    ctypes.memmove(dst, src, size)


def memcpyAsync(dst, src, size, kind, stream):
    memcpy(dst, src, size, kind)


def memset(ptr, value, size):
    _device_bytes(ptr, size)[:] = value & 0xFF


def memsetAsync(ptr, value, size, stream):
    memset(ptr, value, size)


# ---- the ledger (see cupy._standin) ----

def _copy_cost(wait):
    def cost(result, args, kwargs):
        kind = args[3] if len(args) > 3 else kwargs["kind"]
        if kind == memcpyDefault:  # the addresses tell
            on_device = [_standin._find(int(p))[0] is not None for p in args[:2]]
            kind = {(True, True): memcpyDeviceToDevice, (True, False): memcpyHostToDevice,
                    (False, True): memcpyDeviceToHost}.get(tuple(on_device), memcpyHostToHost)
        if kind == memcpyHostToDevice:
            return _standin.UPLOAD
        if kind == memcpyDeviceToDevice:
            return _standin.LAUNCH
        if kind == memcpyDeviceToHost and wait:
            return _standin.READ
        return _standin.FREE
    return cost


deviceSynchronize = _standin.entry("runtime.deviceSynchronize", _standin.READ)(deviceSynchronize)
streamSynchronize = _standin.entry("runtime.streamSynchronize", _standin.READ)(streamSynchronize)
memcpy = _standin.entry("runtime.memcpy", _copy_cost(True))(memcpy)
memcpyAsync = _standin.entry("runtime.memcpyAsync", _copy_cost(False))(memcpyAsync)
memset = _standin.entry("runtime.memset")(memset)
memsetAsync = _standin.entry("runtime.memsetAsync")(memsetAsync)
