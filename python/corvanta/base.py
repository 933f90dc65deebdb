"""The base class of every model role."""


def _device_index(device):
    """The CUDA device index of a device text, as text: "cuda:N" gives "N", anything else "0"."""
    if isinstance(device, str) and device.startswith("cuda:"):
        index = device[len("cuda:"):]
        if index.isdigit():
            return str(int(index))
    return "0"


class BaseModelLoader:
    """Keeps what a model object was constructed with.

    It reads no model file and calls no ``initialize``: each back-end constructor does that.
    """

    def __init__(self, model_path=None, model_bytes=None, device="cuda"):
        self.model_path = model_path
        self.model_bytes = model_bytes
        self.device = device
        self.device_id = _device_index(device)
