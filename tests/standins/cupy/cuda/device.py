"""cupy.cuda.Device of the stand-in."""

import threading

from .. import _standin
from . import runtime


class _Stack(threading.local):
    def __init__(self):
        self.ids = []


_stack = _Stack()


def get_device_id():
    return runtime.getDevice()


class Device:
    """A CUDA device.  `with Device(i):` makes device i current and restores the previously
    current device when the block ends, also when it ends by an exception.  The id is taken
    with int(), so text such as "1" is accepted; an id outside the installed devices fails
    with CUDARuntimeError when the device is made current, not when the object is made."""

    def __init__(self, device=None):
        if device is None:
            self.id = runtime.getDevice()
        else:
            self.id = int(device)

    def __int__(self):
        return self.id

    def __enter__(self):
        prev = runtime.getDevice()
        if self.id != prev:
            runtime.setDevice(self.id)
        _stack.ids.append(prev)
        return self

    def __exit__(self, *exc):
        runtime.setDevice(_stack.ids.pop())
        return False

    def use(self):
        runtime.setDevice(self.id)

    def synchronize(self):
        runtime._note_device_sync(self.id)

    @property
    def compute_capability(self):
        runtime._check_device(self.id)
        return "90"

    @property
    def mem_info(self):
        runtime._check_device(self.id)
        return runtime.memGetInfo()

    @property
    def pci_bus_id(self):
        return "0000:%02x:00.0" % self.id

    def __eq__(self, other):
        if isinstance(other, Device):
            return self.id == other.id
        return NotImplemented

    def __ne__(self, other):
        r = self.__eq__(other)
        return r if r is NotImplemented else not r

    __hash__ = None  # devices compare equal by id but, as in cupy, are not hashable

    def __repr__(self):
        return "<CUDA Device %d>" % self.id


# the ledger (see cupy._standin): a synchronisation waits for the device
Device.synchronize = _standin.entry("Device.synchronize", _standin.READ)(Device.synchronize)
