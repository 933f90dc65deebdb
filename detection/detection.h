// Shared between the parts of corvanta.detection.
#pragma once

#include <kit.h>

namespace corvanta::detection {

namespace nb = nanobind;

// The forward signature shared by the base class and the back-ends.
kit::Fn forward_signature(const char *name, kit::Impl impl);

// BaseFaceDetection, made in the module body and stored in the module.
nb::object make_base_class(nb::module_ m);
// OnnxFaceDetection and TrtFaceDetection.
void make_backend_classes(nb::module_ m, nb::handle base);

}  // namespace corvanta::detection
