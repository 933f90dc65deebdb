"""CPU stand-in for the `tensorrt` Python package.

Offers the part of the runtime and builder surface that corvanta and its image
library use, under the same names.  An "engine" here is the ONNX model wrapped in a
small header (see `tensorrt._standin`); executing it runs the model with ONNX Runtime
on the CPU, reading and writing the device buffers bound by address through the
`cupy` stand-in (`cupy._standin.lookup`).

Its public surface is checked against TensorRT's type stubs, tensorrt-stubs 10.13.0.35.1
(tests/test_standin_surface.py): every name, member, parameter and enum value offered here
exists there.  What only tests read back has a leading underscore.

Deliberately strict where the real library would silently misbehave: a bound buffer
that is freed, too small or of another element type raises RuntimeError at
`execute_async_v3`.  Where the real library reports failure by its return value
(unset address or input shape, shape outside the profile) this one returns False and
logs the reason to the context's logger.

Module-level `_log` records calls that tests may want to count, as tuples:
    ("execute", stream_handle)
    ("set_tensor_address", name, address)
    ("set_input_shape", name, shape_tuple)
Clear it with `_log.clear()`; only the latest 64 entries are kept.  Each execution is also appended, as ("execute",
stream_handle), to the cupy stand-in's stream log (`cupy._standin.log`), so that its
order against stream records, waits and synchronisations can be checked.
"""

from __future__ import annotations

import enum
import itertools
import sys

import numpy as np

from . import _standin

# The TensorRT release line whose behaviour this stand-in models.
__version__ = "10.13.0+standin"

_log: list = []
_LOG_LIMIT = 64  # only the latest entries are kept, so long loops (leak checks) stay flat


def _note(entry):
    _log.append(entry)
    if len(_log) > _LOG_LIMIT:
        del _log[:len(_log) - _LOG_LIMIT]


# ----------------------------------------------------------------------------------------
# Enumerations


class _TrtEnum(enum.Enum):
    """Enum that converts to int (like the real bindings) but never equals a plain int."""

    def __int__(self):
        return self.value

    def __index__(self):
        return self.value

    def __hash__(self):
        return hash((type(self).__name__, self.value))

    def __eq__(self, other):
        return type(self) is type(other) and self.value == other.value

    def __repr__(self):
        return f"<{type(self).__name__}.{self.name}: {self.value}>"


class DataType(_TrtEnum):
    FLOAT = 0
    HALF = 1
    INT8 = 2
    INT32 = 3
    BOOL = 4
    UINT8 = 5
    FP8 = 6
    BF16 = 7
    INT64 = 8
    INT4 = 9

    @property
    def itemsize(self):
        return {0: 4, 1: 2, 2: 1, 3: 4, 4: 1, 5: 1, 6: 1, 7: 2, 8: 8}.get(self.value, 0)


float32 = DataType.FLOAT
float16 = DataType.HALF
bfloat16 = DataType.BF16
int8 = DataType.INT8
int32 = DataType.INT32
int64 = DataType.INT64
uint8 = DataType.UINT8
bool = DataType.BOOL  # noqa: A001  (the real package exports this name too)


class TensorIOMode(_TrtEnum):
    NONE = 0
    INPUT = 1
    OUTPUT = 2


class NetworkDefinitionCreationFlag(_TrtEnum):
    EXPLICIT_BATCH = 0
    STRONGLY_TYPED = 1


class MemoryPoolType(_TrtEnum):
    WORKSPACE = 0
    DLA_MANAGED_SRAM = 1
    DLA_LOCAL_DRAM = 2
    DLA_GLOBAL_DRAM = 3
    TACTIC_DRAM = 4
    TACTIC_SHARED_MEMORY = 5


class BuilderFlag(_TrtEnum):
    FP16 = 0
    INT8 = 1
    DEBUG = 2
    GPU_FALLBACK = 3
    REFIT = 4
    DISABLE_TIMING_CACHE = 5
    TF32 = 6
    SPARSE_WEIGHTS = 7
    OBEY_PRECISION_CONSTRAINTS = 9
    PREFER_PRECISION_CONSTRAINTS = 10
    DIRECT_IO = 11
    FP8 = 15
    BF16 = 17


_PRECISION_FLAGS = (BuilderFlag.FP16, BuilderFlag.BF16, BuilderFlag.TF32, BuilderFlag.INT8, BuilderFlag.FP8)


def nptype(trt_type):
    """NumPy element type for a DataType (TypeError where NumPy has none, as for BF16)."""
    if not isinstance(trt_type, DataType):
        raise TypeError(f"nptype expects a tensorrt.DataType, got {type(trt_type).__name__}")
    t = _standin.nptype_of(trt_type.name)
    if t is None:
        raise TypeError("Could not resolve TensorRT datatype to an equivalent numpy datatype.")
    return t


def volume(iterable):
    v = 1
    for d in iterable:
        v *= int(d)
    return v


class Dims:
    """Tensor dimensions, -1 for a dimension not fixed.  Like the real one a sequence of ints
    (len, indexing, iteration) that equals a list or tuple of the same ints, and not a tuple:
    no concatenation, no hashing."""

    __hash__ = None

    def __init__(self, shape=()):
        self._dims = [int(d) for d in shape]

    def __len__(self):
        return len(self._dims)

    def __getitem__(self, index):
        if isinstance(index, slice):
            return tuple(self._dims[index])
        return self._dims[index]

    def __eq__(self, other):
        if isinstance(other, Dims):
            return self._dims == other._dims
        if isinstance(other, (list, tuple)):
            return self._dims == list(other)
        return NotImplemented

    def __repr__(self):
        return "(" + ", ".join(str(d) for d in self._dims) + ")"

    __str__ = __repr__


# ----------------------------------------------------------------------------------------
# Logging


class ILogger:
    class Severity(_TrtEnum):
        INTERNAL_ERROR = 0
        ERROR = 1
        WARNING = 2
        INFO = 3
        VERBOSE = 4

    def log(self, severity, msg):  # pragma: no cover - overridden
        pass


ILogger.INTERNAL_ERROR = ILogger.Severity.INTERNAL_ERROR
ILogger.ERROR = ILogger.Severity.ERROR
ILogger.WARNING = ILogger.Severity.WARNING
ILogger.INFO = ILogger.Severity.INFO
ILogger.VERBOSE = ILogger.Severity.VERBOSE


class Logger(ILogger):
    """Keeps the messages at or above its minimum severity in `_messages` (severity, text), for
    tests to read."""

    def __init__(self, min_severity=ILogger.Severity.WARNING):
        if not isinstance(min_severity, ILogger.Severity):
            raise TypeError("Logger expects a tensorrt.Logger.Severity")
        self.min_severity = min_severity
        self._messages: list = []

    def log(self, severity, msg):
        if severity.value <= self.min_severity.value:
            self._messages.append((severity, str(msg)))


def _require_logger(logger):
    if not isinstance(logger, ILogger):
        raise TypeError(f"expected a tensorrt.ILogger, got {type(logger).__name__}")
    return logger


# ----------------------------------------------------------------------------------------
# Runtime, engine, execution context


class Runtime:
    def __init__(self, logger):
        self._logger = _require_logger(logger)

    @property
    def logger(self):
        return self._logger

    def deserialize_cuda_engine(self, serialized_engine):
        if isinstance(serialized_engine, str):
            raise TypeError("deserialize_cuda_engine expects a buffer, not str")
        try:
            header = _standin.parse_engine(serialized_engine)
        except _standin.EngineFormatError as exc:
            self.logger.log(ILogger.Severity.ERROR, f"IRuntime::deserializeCudaEngine: {exc}")
            return None
        return ICudaEngine(header, self.logger)


class ICudaEngine:
    def __init__(self, header, logger):
        self._logger = logger
        self._onnx = header.pop("onnx")
        self._header = header
        self._tensors = [dict(t) for t in header["tensors"]]
        self._by_name = {t["name"]: t for t in self._tensors}
        self._inputs = {i["name"]: i for i in header["inputs"]}
        self._model = None
        self._session = None
        self._shape_cache: dict = {}

    # tensor enumeration -----------------------------------------------------------------
    @property
    def num_io_tensors(self):
        return len(self._tensors)

    @property
    def num_optimization_profiles(self):
        return 1

    def get_tensor_name(self, index):
        return self._tensors[index]["name"]

    def __getitem__(self, index):
        return self._tensors[index]["name"]

    def _tensor(self, name):
        try:
            return self._by_name[name]
        except KeyError:
            raise KeyError(f"engine has no tensor named {name!r}") from None

    def get_tensor_shape(self, name):
        return Dims(self._tensor(name)["shape"])

    def get_tensor_dtype(self, name):
        return DataType[self._tensor(name)["dtype"]]

    def get_tensor_mode(self, name):
        if name not in self._by_name:
            return TensorIOMode.NONE
        return TensorIOMode[self._by_name[name]["mode"]]

    def get_tensor_profile_shape(self, name, profile_index):
        if profile_index != 0:
            raise IndexError("the engine has one optimization profile")
        p = self._inputs.get(name)
        if p is None:
            raise ValueError(f"{name!r} is not an input tensor")
        return [Dims(p["min"]), Dims(p["opt"]), Dims(p["max"])]

    @property
    def _precision_flags(self):
        """Builder flags the engine was built with (for tests)."""
        return list(self._header.get("precision", []))

    @property
    def _workspace(self):
        """WORKSPACE limit the engine was built with (for tests)."""
        return self._header.get("workspace")

    def serialize(self):
        return IHostMemory(_standin.serialize(self._header, self._onnx))

    def create_execution_context(self):
        return IExecutionContext(self)

    # model access -------------------------------------------------------------------------
    def _onnx_model(self):
        if self._model is None:
            self._model = _standin.load_model(self._onnx)
        return self._model

    def _ort_session(self):
        if self._session is None:
            import onnxruntime

            opts = onnxruntime.SessionOptions()
            opts.log_severity_level = 3
            self._session = onnxruntime.InferenceSession(
                self._onnx, sess_options=opts, providers=["CPUExecutionProvider"])
        return self._session

    def _output_shapes(self, input_dims):
        key = tuple(sorted(input_dims.items()))
        if key not in self._shape_cache:
            self._shape_cache[key] = _standin.infer_output_shapes(self._onnx_model(), input_dims)
        return self._shape_cache[key]


class IExecutionContext:
    _ids = itertools.count(1)

    def __init__(self, engine):
        self._engine = engine
        self._id = next(self._ids)
        self._addresses: dict = {}
        self._input_shapes: dict = {}
        self._run_shapes: dict = {}
        self.name = f"context{self._id}"

    @property
    def engine(self):
        return self._engine

    @property
    def active_optimization_profile(self):
        return 0

    def _log_error(self, msg):
        self.engine._logger.log(ILogger.Severity.ERROR, f"IExecutionContext: {msg}")

    # bindings ---------------------------------------------------------------------------
    def set_tensor_address(self, name, memory):
        _note(("set_tensor_address", name, int(memory)))
        if name not in self.engine._by_name:
            self._log_error(f"setTensorAddress: no tensor named {name!r}")
            return False
        self._addresses[name] = int(memory)
        return True

    def get_tensor_address(self, name):
        return self._addresses.get(name, 0)

    def set_input_shape(self, name, shape):
        shape = tuple(int(d) for d in shape)
        _note(("set_input_shape", name, shape))
        prof = self.engine._inputs.get(name)
        if prof is None:
            self._log_error(f"setInputShape: {name!r} is not an input tensor")
            return False
        mn, mx = prof["min"], prof["max"]
        if len(shape) != len(mn):
            self._log_error(f"setInputShape: {name!r} has rank {len(mn)}, got {shape}")
            return False
        if any(d < lo or d > hi for d, lo, hi in zip(shape, mn, mx)):
            self._log_error(f"setInputShape: {shape} for {name!r} is outside the profile "
                            f"[{tuple(mn)}, {tuple(mx)}]")
            return False
        self._input_shapes[name] = shape
        return True

    def _input_dims(self, name):
        if name in self._input_shapes:
            return self._input_shapes[name]
        return tuple(self.engine._by_name[name]["shape"])

    def get_tensor_shape(self, name):
        t = self.engine._tensor(name)
        if t["mode"] == "INPUT":
            return Dims(self._input_dims(name))
        dims = {n: self._input_dims(n) for n in self.engine._inputs}
        key = tuple(sorted(dims.items()))
        if key in self._run_shapes and name in self._run_shapes[key]:
            return Dims(self._run_shapes[key][name])
        inferred = self.engine._output_shapes(dims).get(name)
        if inferred is None:
            return Dims([-1] * len(t["shape"]))
        # What the engine fixed at build time stays fixed.
        merged = [e if e >= 0 else i for e, i in zip(t["shape"], inferred)]
        return Dims(merged)

    def infer_shapes(self):
        """Names of the output tensors whose shapes cannot be determined yet."""
        return [t["name"] for t in self.engine._tensors
                if t["mode"] == "OUTPUT" and -1 in self.get_tensor_shape(t["name"])]

    # execution --------------------------------------------------------------------------
    def execute_async_v3(self, stream_handle):
        if not isinstance(stream_handle, int) or isinstance(stream_handle, type(True)):
            raise TypeError(f"execute_async_v3 expects an int stream handle, got {type(stream_handle).__name__}")
        _note(("execute", stream_handle))
        _stream_log(stream_handle)
        eng = self.engine

        feeds = {}
        for name in eng._inputs:
            t = eng._by_name[name]
            addr = self._addresses.get(name)
            if not addr:
                self._log_error(f"enqueueV3: address of input tensor {name!r} is not set")
                return False
            shape = self._input_dims(name)
            if -1 in shape:
                self._log_error(f"enqueueV3: shape of input tensor {name!r} is not specified")
                return False
            feeds[name] = (addr, shape, t["dtype"])
        for t in eng._tensors:
            if t["mode"] == "OUTPUT" and not self._addresses.get(t["name"]):
                self._log_error(f"enqueueV3: address of output tensor {t['name']!r} is not set")
                return False

        import cupy

        feed_arrays = {}
        for name, (addr, shape, dtype_name) in feeds.items():
            np_t = _execution_nptype(dtype_name, name)
            nbytes = volume(shape) * np.dtype(np_t).itemsize
            view = _lookup(cupy, name, addr, nbytes, np_t)
            feed_arrays[name] = np.frombuffer(view.tobytes(), dtype=np_t).reshape(shape)

        results = eng._ort_session().run(None, feed_arrays)
        out_names = [o.name for o in eng._ort_session().get_outputs()]
        produced = dict(zip(out_names, results))

        writes = []
        for t in eng._tensors:
            if t["mode"] != "OUTPUT":
                continue
            name = t["name"]
            np_t = _execution_nptype(t["dtype"], name)
            arr = np.ascontiguousarray(produced[name]).astype(np_t, copy=False)
            fixed = t["shape"]
            if len(fixed) != arr.ndim or any(f >= 0 and f != a for f, a in zip(fixed, arr.shape)):
                raise RuntimeError(f"output {name!r} came out as {arr.shape}, the engine declares {tuple(fixed)}")
            view = _lookup(cupy, name, self._addresses[name], arr.nbytes, np_t)
            writes.append((view, arr))
        for view, arr in writes:
            view[:arr.nbytes] = np.frombuffer(arr.tobytes(), dtype=np.uint8)

        dims = {n: self._input_dims(n) for n in eng._inputs}
        self._run_shapes[tuple(sorted(dims.items()))] = {
            n: tuple(np.shape(a)) for n, a in produced.items()}
        return True

    # Older entry points some code still probes for.
    def execute_v2(self, bindings):
        raise RuntimeError("execute_v2 is not offered by this runtime; use set_tensor_address and execute_async_v3")


def _stream_log(stream_handle):
    """Note the execution in the cupy stand-in's stream log, beside its records and waits."""
    try:
        import cupy

        cupy._standin.log.append(("execute", stream_handle))
    except (ImportError, AttributeError):
        pass


def _execution_nptype(dtype_name, name):
    t = _standin.nptype_of(dtype_name)
    if t is None:
        raise RuntimeError(f"tensor {name!r} has type {dtype_name}, which this runtime cannot execute")
    return t


def _lookup(cupy, name, addr, nbytes, np_t):
    """The live device bytes [addr, addr + nbytes) bound to tensor `name`, checked for type."""
    cs = cupy._standin
    try:
        view = cs.lookup(addr, nbytes)
    except Exception as exc:
        raise RuntimeError(
            f"tensor {name!r}: bound address {addr:#x} does not hold {nbytes} live bytes ({exc})") from exc
    buf_dtype = _buffer_dtype(cs, addr)
    if buf_dtype is not None and np.dtype(buf_dtype) != np.dtype(np_t):
        raise RuntimeError(
            f"tensor {name!r}: bound buffer holds {np.dtype(buf_dtype)}, the engine expects {np.dtype(np_t)}")
    return view


def _buffer_dtype(cs, addr):
    fn = getattr(cs, "dtype_at", None)
    if fn is None:
        return None
    try:
        return fn(addr)
    except Exception:
        return None


# ----------------------------------------------------------------------------------------
# Builder


# Before Python 3.12 a Python class can offer the buffer protocol only by deriving from a type
# that has it; the real IHostMemory has it natively.
_HostMemoryBase = object if sys.version_info >= (3, 12) else bytes


class IHostMemory(_HostMemoryBase):
    """Serialized engine; usable with bytes(), memoryview() and file.write()."""

    def __new__(cls, data: bytes):
        if _HostMemoryBase is bytes:
            return bytes.__new__(cls, data)
        return super().__new__(cls)

    def __init__(self, data: bytes):
        self._data = bytes(data)

    def __buffer__(self, flags):
        return memoryview(self._data)

    @property
    def nbytes(self):
        return len(self._data)

    @property
    def dtype(self):
        return DataType.UINT8


class ITensor:
    def __init__(self, name, shape, dtype, is_input):
        self.name = name
        self.shape = Dims(shape)
        self.dtype = dtype
        self._is_input = is_input

    @property
    def is_network_input(self):
        return self._is_input

    @property
    def is_network_output(self):
        return not self._is_input


class INetworkDefinition:
    def __init__(self, flags):
        self._flags = flags
        self.name = "network"
        self._model_bytes = None
        self._model = None
        self._inputs: list = []
        self._outputs: list = []

    @property
    def flags(self):
        return self._flags

    @property
    def num_inputs(self):
        return len(self._inputs)

    @property
    def num_outputs(self):
        return len(self._outputs)

    @property
    def num_layers(self):
        return 0 if self._model is None else len(self._model.graph.node)

    def get_input(self, index):
        return self._inputs[index]

    def get_output(self, index):
        return self._outputs[index]


class ParserError:
    def __init__(self, desc, node=-1):
        self._desc = desc
        self._node = node

    def desc(self):
        return self._desc

    def code(self):
        return 1

    def node(self):
        return self._node

    def __str__(self):
        return self._desc

    __repr__ = __str__


class OnnxParser:
    def __init__(self, network, logger):
        if not isinstance(network, INetworkDefinition):
            raise TypeError("OnnxParser expects a tensorrt.INetworkDefinition")
        self._network = network
        self._logger = _require_logger(logger)
        self._errors: list = []

    @property
    def num_errors(self):
        return len(self._errors)

    def get_error(self, index):
        return self._errors[index]

    def clear_errors(self):
        self._errors.clear()

    def _fail(self, msg):
        self._errors.append(ParserError(msg))
        self._logger.log(ILogger.Severity.ERROR, f"ModelImporter: {msg}")
        return False

    def parse_from_file(self, model):
        with open(model, "rb") as f:
            return self.parse(f.read())

    def parse(self, model, path=None):
        try:
            data = bytes(model)
        except TypeError:
            return self._fail(f"model must be bytes-like, got {type(model).__name__}")
        try:
            proto = _standin.load_model(data)
        except Exception as exc:
            return self._fail(f"failed to parse ONNX model: {exc}")
        if not proto.graph.node or not proto.graph.output:
            return self._fail("ONNX model has no graph")
        inputs, outputs = [], []
        for vi, is_input in ([(v, True) for v in _standin.graph_inputs(proto)]
                             + [(v, False) for v in proto.graph.output]):
            elem = vi.type.tensor_type.elem_type
            dt = _standin.ONNX_TO_TRT.get(elem)
            if dt is None:
                return self._fail(f"tensor {vi.name!r} has ONNX element type {elem}, which is not supported")
            dims = _standin.value_info_dims(vi)
            if is_input:
                if dims is None:
                    return self._fail(f"input {vi.name!r} has no shape")
                inputs.append(ITensor(vi.name, dims, DataType[dt], True))
            else:
                outputs.append(ITensor(vi.name, dims if dims is not None else (), DataType[dt], False))
        try:
            import onnxruntime

            opts = onnxruntime.SessionOptions()
            opts.log_severity_level = 3
            onnxruntime.InferenceSession(data, sess_options=opts, providers=["CPUExecutionProvider"])
        except Exception as exc:
            return self._fail(f"model cannot be imported: {exc}")
        net = self._network
        net._model_bytes, net._model = data, proto
        net._inputs, net._outputs = inputs, outputs
        return True


class IOptimizationProfile:
    def __init__(self):
        self._shapes: dict = {}
        self._valid = True

    def set_shape(self, input, min, opt, max):  # noqa: A002  (the real keyword names)
        mn, op, mx = (tuple(int(d) for d in s) for s in (min, opt, max))
        ok = len(mn) == len(op) == len(mx) and all(
            0 <= a <= b <= c for a, b, c in zip(mn, op, mx))
        if not ok:
            self._valid = False
        self._shapes[input] = (mn, op, mx)

    def get_shape(self, input):  # noqa: A002
        if input not in self._shapes:
            return []
        return [Dims(s) for s in self._shapes[input]]

    def __bool__(self):
        return self._valid


class IBuilderConfig:
    def __init__(self):
        self._flags = {BuilderFlag.TF32}
        self._pools: dict = {}
        self._profiles: list = []
        self.builder_optimization_level = 3

    def set_memory_pool_limit(self, pool, pool_size):
        if not isinstance(pool, MemoryPoolType):
            raise TypeError("set_memory_pool_limit expects a tensorrt.MemoryPoolType")
        self._pools[pool] = int(pool_size)

    def get_memory_pool_limit(self, pool):
        return self._pools.get(pool, 1 << 40)

    def set_flag(self, flag):
        if not isinstance(flag, BuilderFlag):
            raise TypeError("set_flag expects a tensorrt.BuilderFlag")
        self._flags.add(flag)

    def clear_flag(self, flag):
        self._flags.discard(flag)

    def get_flag(self, flag):
        return flag in self._flags

    def add_optimization_profile(self, profile):
        if not isinstance(profile, IOptimizationProfile) or not profile:
            return -1
        self._profiles.append(profile)
        return len(self._profiles) - 1

    @property
    def num_optimization_profiles(self):
        return len(self._profiles)


class Builder:
    def __init__(self, logger):
        self._logger = _require_logger(logger)

    @property
    def logger(self):
        return self._logger

    @property
    def platform_has_fast_fp16(self):
        return True

    @property
    def platform_has_tf32(self):
        return True

    def create_network(self, flags=0):
        return INetworkDefinition(int(flags))

    def create_builder_config(self):
        return IBuilderConfig()

    def create_optimization_profile(self):
        return IOptimizationProfile()

    def _error(self, msg):
        self.logger.log(ILogger.Severity.ERROR, f"Builder: {msg}")
        return None

    def build_serialized_network(self, network, config):
        if not isinstance(network, INetworkDefinition) or not isinstance(config, IBuilderConfig):
            raise TypeError("build_serialized_network expects a network and a builder config")
        if network._model is None:
            return self._error("the network is empty (was the ONNX model parsed?)")
        shapes = config._profiles[0]._shapes if config._profiles else {}
        names = [t.name for t in network._inputs]
        for extra in set(shapes) - set(names):
            return self._error(f"optimization profile names {extra!r}, which is not a network input")

        inputs, tensors, input_dims = [], [], {}
        for t in network._inputs:
            dims = tuple(t.shape)
            if t.name in shapes:
                mn, op, mx = shapes[t.name]
                if len(mn) != len(dims):
                    return self._error(f"profile for {t.name!r} has rank {len(mn)}, the input has {len(dims)}")
                for k, d in enumerate(dims):
                    if d >= 0 and not (mn[k] == op[k] == mx[k] == d):
                        return self._error(
                            f"profile for {t.name!r} differs from its fixed dimension {k} ({d})")
            elif -1 in dims:
                return self._error(f"input {t.name!r} has dynamic dimensions {dims} and no optimization profile")
            else:
                mn = op = mx = dims
            # Open dimensions stay open on the engine whatever the profile (even min == max):
            # only an execution context resolves them, from the shapes set on it.
            engine_dims = dims
            input_dims[t.name] = engine_dims
            inputs.append({"name": t.name, "dtype": t.dtype.name,
                           "min": list(mn), "opt": list(op), "max": list(mx)})
            tensors.append({"name": t.name, "mode": "INPUT", "dtype": t.dtype.name, "shape": list(engine_dims)})

        out_dims = _standin.infer_output_shapes(network._model, input_dims)
        for t in network._outputs:
            dims = out_dims.get(t.name)
            if dims is None:
                # Rank unknown to shape inference: take it from a run at the optimum shapes.
                dims = self._probe_rank(network, inputs, t.name)
                if dims is None:
                    return self._error(f"cannot determine the rank of output {t.name!r}")
            tensors.append({"name": t.name, "mode": "OUTPUT", "dtype": t.dtype.name, "shape": list(dims)})

        header = {
            "inputs": inputs,
            "tensors": tensors,
            "precision": sorted(f.name for f in config._flags if f in _PRECISION_FLAGS),
            "workspace": config._pools.get(MemoryPoolType.WORKSPACE),
        }
        return IHostMemory(_standin.serialize(header, network._model_bytes))

    @staticmethod
    def _probe_rank(network, inputs, out_name):
        import onnxruntime

        try:
            sess = onnxruntime.InferenceSession(network._model_bytes, providers=["CPUExecutionProvider"])
            feeds = {i["name"]: np.zeros(i["opt"], dtype=nptype(DataType[i["dtype"]])) for i in inputs}
            outs = dict(zip([o.name for o in sess.get_outputs()], sess.run(None, feeds)))
        except Exception:
            return None
        return tuple([-1] * np.ndim(outs[out_name]))
