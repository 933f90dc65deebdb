// The ONNX Runtime and TensorRT back-ends of corvanta.detection.
#include "detection.h"

namespace corvanta::detection {

void make_backend_classes(nb::module_ m, nb::handle base) {
    kit::Class(m, "OnnxFaceDetection", base).make();
    kit::Class(m, "TrtFaceDetection", base).make();
}

}  // namespace corvanta::detection
