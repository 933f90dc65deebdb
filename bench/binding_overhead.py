"""Call overhead of a kit-bound method against a plain Python method of the same signature.

Prints the ratio kit time / Python time for positional and keyword calls (<= 1.0: the kit is no
slower). Run after installing the package: python bench/binding_overhead.py
"""
import os
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "standins"))

import corvanta._kitprobe as kp  # noqa: E402


class PyProbe(kp.BaseModelLoader):
    def six(self, a, b=None, c=1, d=2.0, e="x", f=None):
        return c


def best(stmt, obj, number=300_000, repeat=9):
    env = {"o": obj, "arr": object()}
    return min(timeit.repeat(stmt, globals=env, number=number, repeat=repeat)) / number


def main():
    k, p = kp.Probe(), PyProbe()
    rows = [
        ("positional", "o.six(arr, 'b', 3, 1.5, 'e', None)"),
        ("keyword", "o.six(a=arr, b='b', c=3, d=1.5, e='e', f=None)"),
        ("defaults", "o.six(arr)"),
    ]
    print("%-11s %12s %12s %8s" % ("call", "kit ns", "python ns", "ratio"))
    worst = 0.0
    for name, stmt in rows:
        tk, tp = best(stmt, k), best(stmt, p)
        worst = max(worst, tk / tp)
        print("%-11s %12.1f %12.1f %8.3f" % (name, tk * 1e9, tp * 1e9, tk / tp))
    print("worst ratio: %.3f (target <= 1.0)" % worst)


if __name__ == "__main__":
    main()
