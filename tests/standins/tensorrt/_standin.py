"""Engine file format and ONNX helpers behind the `tensorrt` stand-in.

An engine blob is laid out as

    MAGIC (8 bytes) | version (u32 LE) | header length (u32 LE) | JSON header | ONNX model bytes

The JSON header holds:
    "inputs":    [{"name", "dtype", "min", "opt", "max"}]   one entry per network input, in order
    "tensors":   [{"name", "mode", "dtype", "shape"}]       inputs then outputs, engine order;
                                                             -1 marks a dimension that is not fixed
    "precision": names of the builder flags that were set (e.g. ["BF16", "TF32"])
    "workspace": the WORKSPACE memory-pool limit in bytes, or null when none was set

Tests may call `build_engine` / `parse_engine` directly; `build_engine` goes through the
package's Builder, so both paths produce the same format.  One difference: a builder
config starts with TF32 set (as the real one does), while `build_engine` records only
the precision it is given.
"""

from __future__ import annotations

import copy
import json
import struct

import numpy as np

MAGIC = b"CVTRTENG"
VERSION = 1
_PREFIX = struct.Struct("<8sII")

# ONNX element type -> DataType member name of the package.
ONNX_TO_TRT = {
    1: "FLOAT",    # float32
    10: "HALF",    # float16
    16: "BF16",    # bfloat16
    6: "INT32",
    7: "INT64",
    3: "INT8",
    2: "UINT8",
    9: "BOOL",
}


class EngineFormatError(ValueError):
    pass


def serialize(header: dict, onnx_bytes: bytes) -> bytes:
    head = json.dumps(header, sort_keys=True).encode("utf-8")
    return _PREFIX.pack(MAGIC, VERSION, len(head)) + head + bytes(onnx_bytes)


def parse_engine(blob) -> dict:
    """Split engine bytes into their header (a dict) and the ONNX model.

    Returns the header with one more key, "onnx", holding the model bytes.
    Raises EngineFormatError (a ValueError) for anything that is not an engine.
    """
    try:
        data = bytes(blob)
    except TypeError as exc:
        raise EngineFormatError(f"engine data must be bytes-like, got {type(blob).__name__}") from exc
    if len(data) < _PREFIX.size:
        raise EngineFormatError("engine data too short")
    magic, version, head_len = _PREFIX.unpack_from(data, 0)
    if magic != MAGIC:
        raise EngineFormatError("not a serialized engine (bad magic)")
    if version != VERSION:
        raise EngineFormatError(f"engine format version {version} is not supported (expected {VERSION})")
    start = _PREFIX.size
    if start + head_len > len(data):
        raise EngineFormatError("engine header truncated")
    try:
        header = json.loads(data[start:start + head_len].decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise EngineFormatError("engine header is not valid JSON") from exc
    if not isinstance(header, dict) or "tensors" not in header or "inputs" not in header:
        raise EngineFormatError("engine header lacks the tensor tables")
    header["onnx"] = data[start + head_len:]
    if not header["onnx"]:
        raise EngineFormatError("engine holds no model")
    return header


def _normalise_precision(precision):
    if precision is None:
        return ()
    if isinstance(precision, str):
        precision = [precision]
    names = []
    for p in precision:
        p = str(p).upper()
        if p in ("FP32", "FLOAT32", ""):
            continue
        names.append(p)
    return tuple(names)


def build_engine(onnx_bytes, profiles=None, precision=None, workspace=None) -> bytes:
    """Build engine bytes through the package's Builder API.

    profiles:  {input_name: (min_shape, opt_shape, max_shape)}; inputs with only fixed
               dimensions may be left out.
    precision: a builder-flag name ("bf16", "fp16", "tf32") or a list of them; "fp32" means none.
    workspace: WORKSPACE memory-pool limit in bytes.
    Raises ValueError with the logger's messages when the build fails.
    """
    import tensorrt as trt

    logger = trt.Logger(trt.Logger.WARNING)
    builder = trt.Builder(logger)
    network = builder.create_network(1 << int(trt.NetworkDefinitionCreationFlag.EXPLICIT_BATCH))
    parser = trt.OnnxParser(network, logger)
    if not parser.parse(bytes(onnx_bytes)):
        errs = [str(parser.get_error(i)) for i in range(parser.num_errors)]
        raise ValueError("ONNX parse failed: " + "; ".join(errs))
    config = builder.create_builder_config()
    if workspace is not None:
        config.set_memory_pool_limit(trt.MemoryPoolType.WORKSPACE, int(workspace))
    # Start from no precision flags so that the header says exactly what was asked for.
    config.clear_flag(trt.BuilderFlag.TF32)
    for name in _normalise_precision(precision):
        try:
            flag = trt.BuilderFlag[name]
        except KeyError:
            raise ValueError(f"unknown precision {name!r}") from None
        config.set_flag(flag)
    if profiles:
        profile = builder.create_optimization_profile()
        for name, (mn, opt, mx) in profiles.items():
            profile.set_shape(name, mn, opt, mx)
        config.add_optimization_profile(profile)
    blob = builder.build_serialized_network(network, config)
    if blob is None:
        raise ValueError("engine build failed: " + "; ".join(m for _, m in logger._messages))
    return bytes(blob)


# ----------------------------------------------------------------------------------------
# ONNX helpers


def load_model(onnx_bytes):
    import onnx

    return onnx.load_model_from_string(bytes(onnx_bytes))


def graph_inputs(model):
    """The graph inputs that are fed at run time (initializers listed as inputs excluded)."""
    inits = {t.name for t in model.graph.initializer}
    return [vi for vi in model.graph.input if vi.name not in inits]


def value_info_dims(vi):
    """Dimensions of a value info: ints for fixed dimensions, -1 for anything else.

    None when the rank is unknown.
    """
    tt = vi.type.tensor_type
    if not tt.HasField("shape"):
        return None
    dims = []
    for d in tt.shape.dim:
        if d.HasField("dim_value") and d.dim_value >= 0:
            dims.append(int(d.dim_value))
        else:
            dims.append(-1)
    return tuple(dims)


def infer_output_shapes(model, input_dims: dict) -> dict:
    """Output dimensions by ONNX shape inference with the given input dimensions.

    input_dims maps each input name to a tuple of ints, -1 marking a dimension left open.
    Returns {output_name: tuple of ints (-1 where inference could not fix the value)} or
    None for an output whose rank stays unknown.
    """
    import onnx

    m = copy.deepcopy(model)
    for vi in m.graph.input:
        if vi.name not in input_dims:
            continue
        shape = vi.type.tensor_type.shape
        shape.ClearField("dim")
        for k, d in enumerate(input_dims[vi.name]):
            dim = shape.dim.add()
            if d is not None and int(d) >= 0:
                dim.dim_value = int(d)
            else:
                dim.dim_param = f"__open_{vi.name}_{k}"
    # Forget what the model declares for its outputs, so that the result reflects the inputs.
    for vo in m.graph.output:
        vo.type.tensor_type.ClearField("shape")
    del m.graph.value_info[:]
    try:
        inferred = onnx.shape_inference.infer_shapes(m, strict_mode=False, data_prop=True)
    except Exception:
        inferred = m
    return {vo.name: value_info_dims(vo) for vo in inferred.graph.output}


def nptype_of(dtype_name: str):
    return {
        "FLOAT": np.float32,
        "HALF": np.float16,
        "INT32": np.int32,
        "INT64": np.int64,
        "INT8": np.int8,
        "UINT8": np.uint8,
        "BOOL": np.bool_,
    }.get(dtype_name)
