// Recipes shared by the model roles: the ONNX Runtime session, the TensorRT model-file rule, and
// the TensorRT engine set-up and execution. Every platform module is reached through the calling
// module's globals (onnxruntime, trt, cp, os, open), looked up at each call.
#pragma once

#include "kit.h"

#include <functional>
#include <vector>

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
// context. `options` changes two steps for roles that need it (see TrtSetupOptions).
struct EngineNames {
    nb::list inputs, outputs;
};
struct TrtSetupOptions {
    // Keep the logger and the runtime as the attributes `logger` and `runtime`; when false they
    // are working values of the set-up only.
    bool keep_runtime = true;
    // Give every input a buffer, bound at set-up. When false each input's entry in d_inputs is
    // None and no address is bound for it: trt_execute makes and binds the buffer on first use.
    bool input_buffers = true;
};
EngineNames trt_setup(const Call &c, nb::handle trt, nb::handle self, nb::handle model_bytes, bool dynamic_ok = false,
                      const std::function<void(const EngineNames &)> &ctx_body = {},
                      const TrtSetupOptions &options = {});

// One TensorRT execution (engine, ctx, stream, d_inputs and d_outputs of `self`; `trt` the
// TensorRT module), over one or more inputs, each a TrtFeed: the input tensor's name, the array
// copied into its buffer, and the shape of that buffer (unset: the array's shape).
//  - fixed shapes (the default): a feed whose shape differs from the input's fixed shape (the
//    engine's, or for an input fixed by the profile the context's) is refused (ValueError naming
//    both shapes) before anything runs;
//  - with `shapes.set_inputs`, every feed's shape is set on the context first, in feed order
//    (set_input_shape returning False raises RuntimeError naming the tensor and the shape);
//  - an input buffer that is missing (None) or of another shape than its feed is re-made, with
//    the engine's element type for the tensor (trt.nptype), and re-bound; the replacement is
//    made before the old entry goes;
//  - each feed is copied into its buffer by array assignment, which converts to the buffer's
//    element type; the copies run on the caller's current stream and are ordered before the
//    execution with an event that the object's stream waits on;
//  - with `shapes.set_inputs`, once the inputs are in place every output whose shape the context
//    reports fully known and different from its buffer's is re-made at that shape (the buffer's
//    element type) and re-bound; the output `shapes.fallback_output`, when given, is re-made
//    at `shapes.fallback_shape` when the context reports no fully known shape for it (other
//    outputs of unknown shape keep their buffers);
//  - execute_async_v3 on self.stream; a result that is False raises RuntimeError naming the
//    inputs and their shapes, so no stale output is ever handed on;
//  - the object's stream is synchronised before returning.
struct TrtFeed {
    nb::handle name, array;
    nb::object shape = {};
};
struct TrtShapes {
    bool set_inputs = false;
    nb::handle fallback_output = {};
    nb::object fallback_shape = {};
};
void trt_execute(const Call &c, nb::handle trt, nb::handle self, const std::vector<TrtFeed> &feeds,
                 const TrtShapes &shapes = {});

// The one-input form: `batch` into the input tensor `input_name`, its shape set on the context
// when `set_shape`.
void trt_execute(const Call &c, nb::handle trt, nb::handle self, nb::handle input_name, nb::handle batch,
                 bool set_shape = false);

}  // namespace kit
