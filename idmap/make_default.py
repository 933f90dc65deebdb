"""Writes the default identity-projection file.

The matrix is a fixed, deterministic 512 x 512 float32 matrix (uniform values in [-1, 1) scaled
by 1/sqrt(512), from a splitmix64 stream), so builds are reproducible. A real swap model needs the
matrix it was trained with: write it with corvanta.idmap.save.

Usage: make_default.py OUT [--plain]   (--plain writes the .npy stream unenciphered)
"""
import hashlib
import math
import struct
import sys

SIDE = 512
PASSWORD = "tinsmoke"


def values(n, seed=0x5EED1D3A):
    state = seed
    mask = (1 << 64) - 1
    scale = 1.0 / math.sqrt(SIDE)
    for _ in range(n):
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        z ^= z >> 31
        yield ((z >> 11) / float(1 << 53) * 2.0 - 1.0) * scale


def npy_bytes():
    header = "{'descr': '<f4', 'fortran_order': False, 'shape': (%d, %d), }" % (SIDE, SIDE)
    total = 10 + len(header) + 1
    header += " " * ((64 - total % 64) % 64) + "\n"
    head = b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode("latin1")
    return head + struct.pack("<%df" % (SIDE * SIDE), *values(SIDE * SIDE))


def main(argv):
    out = argv[1]
    data = npy_bytes()
    if "--plain" not in argv:
        key = hashlib.sha256(PASSWORD.encode("utf-8")).digest()
        data = bytes(b ^ key[i % 32] for i, b in enumerate(data))
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv)
