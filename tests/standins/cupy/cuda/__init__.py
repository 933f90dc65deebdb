"""cupy.cuda of the numpy-backed stand-in: devices, streams, events and memory pointers."""

from . import runtime
from . import device
from . import stream
from . import memory
from . import pinned_memory
from .device import Device, get_device_id
from .stream import Stream, ExternalStream, Event, get_current_stream, get_elapsed_time
from .memory import Memory, MemoryPointer, MemoryPool, alloc, set_allocator, get_allocator
from .pinned_memory import PinnedMemoryPool


def is_available():
    return runtime.getDeviceCount() > 0


def get_cuda_path():
    return None


def get_local_runtime_version():
    return runtime.runtimeGetVersion()
