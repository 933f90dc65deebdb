"""CUDA streams and events of the stand-in.

Work runs synchronously, so streams and events only keep identity and order: every record,
wait and synchronisation is appended to `cupy._standin.log` (see there)."""

import itertools
import threading

from .. import _standin
from . import runtime

_ptrs = itertools.count(0x7E5700001000, 0x100)


class _Current(threading.local):
    def __init__(self):
        self.streams = {}  # device id -> current stream
        self.stack = []


_current = _Current()


class _BaseStream:
    def __init__(self, ptr, device_id):
        self._ptr = ptr
        self.device_id = device_id
        self._notes = {}

    def _note(self, kind):
        entry = self._notes.get(kind)
        if entry is None:
            entry = self._notes[kind] = (kind, self._ptr)
        _standin.note(entry)

    @property
    def ptr(self):
        return self._ptr

    @property
    def done(self):
        return True

    def synchronize(self):
        self._note("synchronize")

    def record(self, event=None):
        if event is None:
            event = Event()
        event.record(self)
        return event

    def wait_event(self, event):
        if not isinstance(event, Event):
            raise TypeError("event must be a cupy.cuda.Event, got %s" % type(event).__name__)
        self._note("wait_event")

    def use(self):
        _current.streams[runtime.getDevice()] = self
        return self

    def __enter__(self):
        dev = runtime.getDevice()
        _current.stack.append((dev, _current.streams.get(dev)))
        _current.streams[dev] = self
        return self

    def __exit__(self, *exc):
        dev, prev = _current.stack.pop()
        if prev is None:
            _current.streams.pop(dev, None)
        else:
            _current.streams[dev] = prev
        return False

    def __eq__(self, other):
        if isinstance(other, _BaseStream):
            return self._ptr == other._ptr
        return NotImplemented

    def __hash__(self):
        return hash(("Stream", self._ptr))

    def __repr__(self):
        return "<%s %#x (device %d)>" % (type(self).__name__, self._ptr, self.device_id)


class Stream(_BaseStream):
    """A CUDA stream.  `ptr` is a unique non-zero handle (0 for `Stream.null`, the legacy
    default stream, which is current until another stream is made current)."""

    null = None  # set below
    ptds = None

    def __init__(self, null=False, non_blocking=False, ptds=False, priority=None):
        if null:
            ptr, dev = 0, -1
        elif ptds:
            ptr, dev = runtime.streamPerThread, -1
        else:
            ptr, dev = next(_ptrs), runtime.getDevice()
        super().__init__(ptr, dev)
        self._non_blocking = bool(non_blocking)
        self._priority = 0 if priority is None else int(priority)

    @property
    def is_non_blocking(self):
        return self._non_blocking

    @property
    def priority(self):
        return self._priority


class ExternalStream(_BaseStream):
    def __init__(self, ptr, device_id=-1):
        super().__init__(int(ptr), device_id)


Stream.null = Stream(null=True)
Stream.ptds = Stream(ptds=True)


class Event:
    """A CUDA event.  Work is synchronous, so a recorded event is always done."""

    def __init__(self, block=False, disable_timing=False, interprocess=False):
        self._ptr = next(_ptrs)
        self._sync_note = ("event_synchronize", None)

    @property
    def ptr(self):
        return self._ptr

    @property
    def done(self):
        return True

    def record(self, stream=None):
        if stream is None:
            stream = get_current_stream()
        if self._sync_note[1] != stream.ptr:
            self._sync_note = ("event_synchronize", stream.ptr)
        stream._note("record")

    def synchronize(self):
        _standin.note(self._sync_note)

    def __repr__(self):
        return "<Event %#x>" % self._ptr


def get_current_stream(device_id=None):
    if device_id is None:
        device_id = runtime.getDevice()
    return _current.streams.get(device_id, Stream.null)


def get_elapsed_time(start_event, end_event):
    return 0.0


# the ledger (see cupy._standin): a synchronisation waits for the device
_BaseStream.synchronize = _standin.entry("Stream.synchronize", _standin.READ)(_BaseStream.synchronize)
Event.synchronize = _standin.entry("Event.synchronize", _standin.READ)(Event.synchronize)
