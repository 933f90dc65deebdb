// Recipes shared by the model roles: the ONNX Runtime session, the TensorRT model-file rule, and
// the TensorRT engine set-up and execution. Every platform module is reached through the calling
// module's globals (onnxruntime, trt, cp, os, open), looked up at each call.
#pragma once

#include "kit.h"

#include <functional>

namespace kit {

// onnxruntime.preload_dlls() (when `preload`), session options with log levels 4 and 4, the CUDA
// provider with {"device_id": device_id} when "cuda" occurs in `device`, else the CPU provider,
// and the session from the bytes with the keywords session_options, providers, provider_options.
nb::object onnx_session(const Call &c, nb::handle model_bytes, nb::handle device,
                        nb::handle device_id, bool preload = true);

// Reads self.model_path into self.model_bytes when no bytes were given, opening it with "rb".
void read_model_file(const Call &c, nb::handle self);

// The TensorRT model-file rule. With no bytes and a path: pair the ".onnx" and ".trt" paths
// (every occurrence replaced; other paths give the ONNX path by replacing ".trt" unless
// `pair_other_paths` is false), build the engine with `build(onnx_path, trt_path)` when only the
// ONNX file exists, fail with "Model file not found: onnx: ...:<exists>, trt: ...:<exists>" when
// neither does, and store the engine path in self.model_path. Then, with still no bytes, read
// self.model_path ("Model file not found: <path>" when it is missing).
using BuildEngine = std::function<void(nb::handle onnx_path, nb::handle trt_path)>;
void trt_model_file(const Call &c, nb::handle self, const BuildEngine &build, bool pair_other_paths = true);

// The usual build step: rx.onnx_to_trt_dynamic_shape(onnx_path, trt_path, precision=...,
// batch_range=..., spatial_range=...), with `rx` the calling module's global.
BuildEngine dynamic_shape_build(const Call &c, const char *precision, nb::object batch_range,
                                nb::object spatial_range);

// The back-end constructors, for a call (self, model_path, model_bytes, device) of a method of
// `cls`: the base constructor with the three arguments, positionally; then
//  - ONNX Runtime: the model file read when only a path was given, the assertion "model_bytes
//    must be provided if model_path is not specified" (with assertions on);
//  - TensorRT: the model-file rule with `build`;
// and last initialize(model_bytes, device, device_id), looked up on the object.
void onnx_construct(const Call &c, nb::handle cls);
void trt_construct(const Call &c, nb::handle cls, const BuildEngine &build);

// The TensorRT engine set-up (`trt` the TensorRT module), inside the device context
// cp.cuda.Device(self.device_id) (left on every path): self.logger, runtime, engine, ctx, stream,
// d_inputs, d_outputs (one buffer per engine tensor, of the tensor's type, dimensions below 1
// allocated as 1, bound once).
//  - An engine that cannot be deserialized raises AttributeError saying so and how to have it
//    rebuilt (self.engine is then None).
//  - An input with open dimensions (reported as -1) that the engine's optimisation profile 0 fixes
//    (minimum equal to maximum on every open dimension, read with get_tensor_profile_shape where
//    the engine offers it) is fixed at that shape: it is set on the context, its buffer takes it,
//    and every output buffer takes the context's resolved shape. Inputs with fixed dimensions, and
//    engines without the query, take none of these calls.
//  - Inputs still dynamic after that are refused with ValueError unless `dynamic_ok`.
// Returns the input and output names in engine order; `ctx_body` runs last inside the device
// context.
struct EngineNames {
    nb::list inputs, outputs;
};
EngineNames trt_setup(const Call &c, nb::handle trt, nb::handle self, nb::handle model_bytes, bool dynamic_ok = false,
                      const std::function<void(const EngineNames &)> &ctx_body = {});

// One TensorRT execution of `batch` through the input tensor `input_name` (`trt` the TensorRT
// module):
//  - a batch whose shape differs from the input's fixed shape (the engine's, or for an input fixed
//    by the profile the context's) is refused (ValueError naming both shapes); with `set_shape`,
//    the context's input shape is set instead and output buffers are re-made and re-bound when the
//    context reports other output shapes;
//  - the input buffer is replaced (and re-bound) when its shape differs from the batch's; the new
//    buffer takes the engine's tensor type and the batch is converted as it is copied in;
//  - the copy into it runs on the caller's current stream and is ordered before the execution
//    with an event that the object's stream waits on;
//  - execute_async_v3 on self.stream; a refused execution raises RuntimeError;
//  - the object's stream is synchronised before returning.
void trt_execute(const Call &c, nb::handle trt, nb::handle self, nb::handle input_name, nb::handle batch,
                 bool set_shape = false);

}  // namespace kit
