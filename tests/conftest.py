"""Test set-up: the GPU libraries are replaced by the stand-ins under tests/standins, unless
CORVANTA_REAL_GPU=1 asks for the real cupy (and TensorRT, where installed) on a GPU machine."""
import gc
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
STANDINS = os.path.join(HERE, "standins")
REAL_GPU = os.environ.get("CORVANTA_REAL_GPU") == "1"

# CORVANTA_EAGER_GC=1 runs the cyclic collector as often as it goes (after every allocation), so
# objects of earlier calls are freed in the middle of later ones: the sanitized run uses it to
# show that native code neither needs nor drops references it does not own.
if os.environ.get("CORVANTA_EAGER_GC") == "1":
    gc.set_threshold(1)

if not REAL_GPU and STANDINS not in sys.path:
    sys.path.insert(0, STANDINS)
if HERE not in sys.path:
    sys.path.insert(0, HERE)


def pytest_report_header(config):
    return "GPU libraries: %s" % ("real" if REAL_GPU else "stand-ins from tests/standins")
