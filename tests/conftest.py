"""Test set-up: the GPU libraries are replaced by the stand-ins under tests/standins, unless
CORVANTA_REAL_GPU=1 asks for the real cupy (and TensorRT, where installed) on a GPU machine."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
STANDINS = os.path.join(HERE, "standins")
REAL_GPU = os.environ.get("CORVANTA_REAL_GPU") == "1"

if not REAL_GPU and STANDINS not in sys.path:
    sys.path.insert(0, STANDINS)
if HERE not in sys.path:
    sys.path.insert(0, HERE)


def pytest_report_header(config):
    return "GPU libraries: %s" % ("real" if REAL_GPU else "stand-ins from tests/standins")
