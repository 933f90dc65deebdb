"""Spies shared by the test files."""
import types


class Spy:
    """Stands in for a module: records the calls of its functions (name, args, kwargs) and
    delegates them to the real module, or to the replacement given by keyword."""

    def __init__(self, real, **replace):
        self._real, self._replace, self.calls = real, replace, []

    def __getattr__(self, name):
        target = self._replace.get(name) or getattr(self._real, name)
        if not callable(target) or isinstance(target, types.ModuleType):
            return target

        def spy(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return target(*args, **kwargs)

        return spy

    def named(self, name):
        return [c for c in self.calls if c[0] == name]
