"""Tiny ONNX models for the tests, built with onnx.helper at test time.

Every builder returns the serialized model (bytes) and, given `path`, also writes it
there.  All outputs are computed by the graph from the inputs, deterministically, so
that results can be compared between back-ends.  Models are small enough to run on
the CPU in milliseconds.

Detector
--------
`detector(outputs=9|6|10|15, ...)` follows the per-stride layout that the detection
module decodes: outputs are the score maps of every stride, then the box maps, then
(for 9 and 15 outputs) the landmark maps, each with one row per anchor (rows run over
grid y, grid x, anchor) and no batch axis.  6 and 9 outputs: strides 8, 16, 32 and two
anchors per cell; 10 and 15 outputs: strides 8..128 and one anchor per cell.

How it responds.  With the model input X (N x 3 x H x W, the image normalised as
(x - 0.5) / (128/255)), brightness is B = max(mean over channels of X, 0): about 0.996
for an image value of 1.0 and 0 for black.  For stride s the image is averaged over
s x s cells; for the anchor at (x*s, y*s) the graph takes the mean of B over the
`window` x `window` cells centred on that point (I) and over the 2*window x 2*window
cells centred on it (O), and the score is

    contrast = 4/3 * (I - O)             (inner mean minus the mean of the ring around it)
    score    = sigmoid(20 * (contrast - 0.8) - a)        for anchor a (0 or 1)

Box distances are constant: window/2 stride units on all four sides for anchor 0,
window/2 + 0.5 for anchor 1.  Landmark offsets are constant: DETECTOR_KPS_OFFSETS
(in units of the square's side) for both anchors.

So, with the default window of 4: a white square (image value 1.0) of side S = 4*s on a
black background, centred at (cx, cy) with cx and cy multiples of s and the square
inside the image, gives at the anchor (cx, cy) of stride s

    anchor 0: score sigmoid(20 * (0.99609375 - 0.8)) = 0.9805, box (cx - S/2, cy - S/2, cx + S/2, cy + S/2)
    anchor 1: score 0.9488, box (cx - 5S/8, cy - 5S/8, cx + 5S/8, cy + 5S/8)     (6/9-output models only)
    landmarks (cx, cy) + DETECTOR_KPS_OFFSETS * S

and every other anchor of every stride scores below 0.07 (the next best contrast is
2/3 of the peak).  After non-maximum suppression at IoU 0.4 the one face left is the
anchor-0 box with score 0.9805; `expected_detection` computes it.  A square of another
size gives no score above 0.5.  The mean over a window reaching past the image border
counts the outside as black, so a large bright area at the border can itself look
like a square (a white 640 x 640 frame scores 0.55 at stride 128): plant squares on a
black background.

Also here: `Spy`, a recording stand-in for a module, shared by the test files.
"""

from __future__ import annotations

import math
import types

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
IR_VERSION = 8

DETECTOR_MEAN = 0.5
DETECTOR_STD = 128.0 / 255.0
DETECTOR_STEEPNESS = 20.0
DETECTOR_CONTRAST_THRESHOLD = 0.8
DETECTOR_ANCHOR_SHIFT = 1.0          # anchor a's logit is lowered by a * this
# Landmarks in units of the planted square's side, relative to its centre:
# left eye, right eye, nose tip, left mouth corner, right mouth corner (image left/right).
DETECTOR_KPS_OFFSETS = np.array(
    [[-0.20, -0.15], [0.20, -0.15], [0.0, 0.05], [-0.15, 0.25], [0.15, 0.25]], dtype=np.float32)


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


def _finish(graph, path=None):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="corvanta-tests")
    model.ir_version = IR_VERSION
    onnx.checker.check_model(model)
    data = model.SerializeToString()
    if path is not None:
        with open(path, "wb") as f:
            f.write(data)
    return data


def _init(name, array, dtype=np.float32):
    return numpy_helper.from_array(np.asarray(array, dtype=dtype), name=name)


def _rng(seed):
    return np.random.default_rng(seed)


# ----------------------------------------------------------------------------------------
# Detector

_DETECTOR_LAYOUT = {6: ((8, 16, 32), 2, False), 9: ((8, 16, 32), 2, True),
                    10: ((8, 16, 32, 64, 128), 1, False), 15: ((8, 16, 32, 64, 128), 1, True)}


def detector_layout(outputs):
    """(strides, anchors per cell, has landmarks) for a detector with this many outputs."""
    return _DETECTOR_LAYOUT[outputs]


def detector_output_names(outputs=9):
    strides, _, kps = _DETECTOR_LAYOUT[outputs]
    names = [f"score_{s}" for s in strides] + [f"bbox_{s}" for s in strides]
    if kps:
        names += [f"kps_{s}" for s in strides]
    return names


def detector(outputs=9, input_shape=(1, 3, 640, 640), input_name="input.1", window=4,
             output_names=None, path=None):
    """Anchor-free multi-stride face detector; see the module text for its response."""
    strides, anchors, use_kps = _DETECTOR_LAYOUT[outputs]
    if window < 2 or window % 2:
        raise ValueError("window must be an even number of cells, at least 2")
    names = list(output_names) if output_names is not None else detector_output_names(outputs)
    if len(names) != outputs:
        raise ValueError(f"need {outputs} output names")
    half = window // 2
    nodes, inits = [], []
    inits += [
        _init("k_steep", DETECTOR_STEEPNESS),
        _init("k_thresh", DETECTOR_CONTRAST_THRESHOLD),
        _init("k_four_thirds", 4.0 / 3.0),
        _init("k_zero", 0.0),
        _init("shape_rows1", [-1, 1], np.int64),
        _init("shape_rows4", [-1, 4], np.int64),
        _init("axis4", [4], np.int64),
    ]
    nodes.append(helper.make_node("ReduceMean", [input_name], ["gray"], axes=[1], keepdims=1, name="gray"))
    nodes.append(helper.make_node("Relu", ["gray"], ["bright"], name="bright"))

    box_dist = np.array([[half + 0.5 * a] * 4 for a in range(anchors)], np.float32)
    kps = (DETECTOR_KPS_OFFSETS * (2 * half)).reshape(-1)          # stride units: side is 2*half strides
    kps_off = np.tile(kps, (anchors, 1)).astype(np.float32)
    inits.append(_init("box_dist", box_dist))
    if use_kps:
        inits += [_init("kps_off", kps_off), _init("shape_rows10", [-1, 10], np.int64)]

    score_out, box_out, kps_out = {}, {}, {}
    for idx, s in enumerate(strides):
        p = f"s{s}_"
        nodes += [
            helper.make_node("AveragePool", ["bright"], [p + "cells"], kernel_shape=[s, s], strides=[s, s],
                             name=p + "cells"),
            helper.make_node("AveragePool", [p + "cells"], [p + "inner"], kernel_shape=[window, window],
                             pads=[half, half, half - 1, half - 1], count_include_pad=1, name=p + "inner"),
            helper.make_node("AveragePool", [p + "cells"], [p + "outer"], kernel_shape=[2 * window, 2 * window],
                             pads=[window, window, window - 1, window - 1], count_include_pad=1, name=p + "outer"),
            helper.make_node("Sub", [p + "inner", p + "outer"], [p + "diff"], name=p + "diff"),
            helper.make_node("Mul", [p + "diff", "k_four_thirds"], [p + "contrast"], name=p + "contrast"),
            helper.make_node("Sub", [p + "contrast", "k_thresh"], [p + "margin"], name=p + "margin"),
            helper.make_node("Mul", [p + "margin", "k_steep"], [p + "logit"], name=p + "logit"),
        ]
        per_anchor = []
        for a in range(anchors):
            if a == 0:
                z = p + "logit"
            else:
                inits.append(_init(p + f"shift{a}", DETECTOR_ANCHOR_SHIFT * a))
                z = p + f"logit{a}"
                nodes.append(helper.make_node("Sub", [p + "logit", p + f"shift{a}"], [z], name=z))
            nodes.append(helper.make_node("Sigmoid", [z], [p + f"prob{a}"], name=p + f"prob{a}"))
            per_anchor.append(p + f"prob{a}")
        if anchors > 1:
            nodes.append(helper.make_node("Concat", per_anchor, [p + "probs"], axis=1, name=p + "probs"))
            probs = p + "probs"
        else:
            probs = per_anchor[0]
        nodes += [
            # (1, A, H, W) -> (1, H, W, A): rows run over y, x, anchor
            helper.make_node("Transpose", [probs], [p + "hwa"], perm=[0, 2, 3, 1], name=p + "hwa"),
            helper.make_node("Reshape", [p + "hwa", "shape_rows1"], [names[idx]], name=p + "scores"),
            helper.make_node("Mul", [p + "hwa", "k_zero"], [p + "zeros"], name=p + "zeros"),
            helper.make_node("Unsqueeze", [p + "zeros", "axis4"], [p + "zeros5"], name=p + "zeros5"),
            helper.make_node("Add", [p + "zeros5", "box_dist"], [p + "box5"], name=p + "box5"),
            helper.make_node("Reshape", [p + "box5", "shape_rows4"], [names[idx + len(strides)]], name=p + "boxes"),
        ]
        score_out[s] = names[idx]
        box_out[s] = names[idx + len(strides)]
        if use_kps:
            nodes += [
                helper.make_node("Add", [p + "zeros5", "kps_off"], [p + "kps5"], name=p + "kps5"),
                helper.make_node("Reshape", [p + "kps5", "shape_rows10"], [names[idx + 2 * len(strides)]],
                                 name=p + "kps"),
            ]
            kps_out[s] = names[idx + 2 * len(strides)]

    n, c, h, w = input_shape
    outs = []
    for group, cols in ((score_out, 1), (box_out, 4), (kps_out, 10)):
        for s, name in group.items():
            if isinstance(h, int) and isinstance(w, int):
                rows = (h // s) * (w // s) * anchors
            else:
                rows = f"rows_{s}"
            outs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, [rows, cols]))
    order = {name: i for i, name in enumerate(names)}
    outs.sort(key=lambda vi: order[vi.name])
    graph = helper.make_graph(
        nodes, "detector",
        [helper.make_tensor_value_info(input_name, TensorProto.FLOAT, list(input_shape))],
        outs, initializer=inits)
    return _finish(graph, path)


def detector_square_side(stride, window=4):
    """Side in pixels of the square that the given stride detects."""
    return window * stride


def plant_square(height, width, cx, cy, side, value=1.0, background=0.0):
    """H x W x 3 float32 image in [0, 1]: a square of `side` centred at (cx, cy)."""
    img = np.full((height, width, 3), background, dtype=np.float32)
    x0, y0 = int(round(cx - side / 2)), int(round(cy - side / 2))
    img[max(y0, 0):max(y0 + side, 0), max(x0, 0):max(x0 + side, 0)] = value
    return img


def detector_input(image, mean=DETECTOR_MEAN, std=DETECTOR_STD):
    """The detector's model input (1 x 3 x H x W float32) for an H x W x 3 image in [0, 1]."""
    x = (np.asarray(image, dtype=np.float32) - mean) / std
    return np.ascontiguousarray(x.transpose(2, 0, 1)[None])


def expected_peak_score(anchor=0, value=1.0):
    contrast = max((value - DETECTOR_MEAN) / DETECTOR_STD, 0.0)
    z = DETECTOR_STEEPNESS * (contrast - DETECTOR_CONTRAST_THRESHOLD) - DETECTOR_ANCHOR_SHIFT * anchor
    return 1.0 / (1.0 + math.exp(-z))


def expected_detection(cx, cy, side, anchor=0):
    """(box x1 y1 x2 y2, score, 5 x 2 landmarks) for a planted white square, in model-input pixels."""
    half = side / 2 + (side / 8 if anchor else 0.0)    # anchor 1 reaches half a stride further
    box = np.array([cx - half, cy - half, cx + half, cy + half], dtype=np.float32)
    kps = np.array([cx, cy], dtype=np.float32) + DETECTOR_KPS_OFFSETS * side
    return box, np.float32(expected_peak_score(anchor)), kps.astype(np.float32)


# ----------------------------------------------------------------------------------------
# Embedder


_ELEM_TYPES = {"float32": TensorProto.FLOAT, "float16": TensorProto.FLOAT16}


def _lead_op(name):
    low = name.lower()
    if "sub" in low or "minus" in low:
        return "Sub"
    if "mul" in low:
        return "Mul"
    return "Identity"


def embedder(dim=512, input_size=112, normalise="sub_mul", leading=None, input_shape=None,
             input_name="input.1", output_name="embedding", seed=3, dtype="float32", path=None):
    """Recognition-style embedder: N x 3 x H x W -> N x dim.

    The graph starts with a chain of elementwise nodes whose names the embedder back-end
    scans: normalise="sub_mul" gives nodes named "Sub_0" (x - 0.5) and "Mul_1" (* 2.0);
    "minus_mul" gives "_minus0" and "_mul1"; "none" gives no such nodes.  `leading`
    overrides this with an explicit list of names: a name containing "sub"/"minus"
    (any case) becomes a Sub node, one containing "mul" a Mul node, anything else an
    Identity node.  Then: 8 x 8 average pooling, flattening and a fixed seeded matrix.
    Open (named) height and width take `input_size` for the matrix.  dtype="float16"
    declares a float16 input, cast to float32 before anything else.
    """
    if input_shape is None:
        input_shape = (1, 3, input_size, input_size)
    n, c, h, w = input_shape
    if leading is None:
        leading = {"sub_mul": ["Sub_0", "Mul_1"], "minus_mul": ["_minus0", "_mul1"], "none": []}[normalise]
    nodes, inits = [], []
    ops = [_lead_op(name) for name in leading]
    if "Sub" in ops:
        inits.append(_init("lead_sub", 0.5))
    if "Mul" in ops:
        inits.append(_init("lead_mul", 2.0))
    cur = input_name
    if dtype == "float16":
        nodes.append(helper.make_node("Cast", [cur], ["as_float"], to=TensorProto.FLOAT, name="as_float"))
        cur = "as_float"
    for k, name in enumerate(leading):
        op = _lead_op(name)
        out = f"lead{k}"
        if op == "Sub":
            nodes.append(helper.make_node("Sub", [cur, "lead_sub"], [out], name=name))
        elif op == "Mul":
            nodes.append(helper.make_node("Mul", [cur, "lead_mul"], [out], name=name))
        else:
            nodes.append(helper.make_node("Identity", [cur], [out], name=name))
        cur = out
    feat = c * ((h if isinstance(h, int) else input_size) // 8) * ((w if isinstance(w, int) else input_size) // 8)
    weight = _rng(seed).standard_normal((feat, dim)).astype(np.float32) / np.sqrt(feat)
    inits.append(_init("fc_w", weight))
    nodes += [
        helper.make_node("AveragePool", [cur], ["pooled"], kernel_shape=[8, 8], strides=[8, 8], name="pool"),
        helper.make_node("Flatten", ["pooled"], ["flat"], axis=1, name="flatten"),
        helper.make_node("MatMul", ["flat", "fc_w"], [output_name], name="fc"),
    ]
    graph = helper.make_graph(
        nodes, "embedder",
        [helper.make_tensor_value_info(input_name, _ELEM_TYPES[dtype], list(input_shape))],
        [helper.make_tensor_value_info(output_name, TensorProto.FLOAT, [n, dim])],
        initializer=inits)
    return _finish(graph, path)


# ----------------------------------------------------------------------------------------
# Swapper


def expected_swap(model_input, latent_rows, seed=5):
    """The swapper's output (numpy) for a model input N x 3 x H x W and latent rows (numpy)."""
    rng = _rng(seed)
    mix = (np.eye(3) * 2.0 + rng.uniform(-0.3, 0.3, (3, 3))).astype(np.float32)
    proj = (rng.standard_normal((np.shape(latent_rows)[1], 3)) / np.sqrt(np.shape(latent_rows)[1]) * 4.0)
    pre = np.einsum("oc,nchw->nohw", mix, np.asarray(model_input, np.float64)) - 1.0
    pre = pre + np.tanh(np.asarray(latent_rows, np.float64) @ proj.astype(np.float32))[:, :, None, None]
    return 1.0 / (1.0 + np.exp(-pre))


def swapper(size=256, latent=512, batch="N", target_name="target", source_name="source",
            output_name="output", seed=5, outputs=1, source_first=False, path=None):
    """Face swapper: target N x 3 x size x size and source N x latent -> N x 3 x size x size.

    output = sigmoid(conv1x1(target) + tanh(source @ P)[:, :, None, None]) with fixed
    seeded weights; values in (0, 1).  `outputs=2` adds a second output of the same shape
    (the output + 1); `source_first` lists the source before the target among the inputs.
    """
    rng = _rng(seed)
    mix = (np.eye(3) * 2.0 + rng.uniform(-0.3, 0.3, (3, 3))).astype(np.float32).reshape(3, 3, 1, 1)
    proj = (rng.standard_normal((latent, 3)) / np.sqrt(latent) * 4.0).astype(np.float32)
    inits = [_init("mix_w", mix), _init("mix_b", [-1.0, -1.0, -1.0]), _init("proj_w", proj),
             _init("shape_n311", [-1, 3, 1, 1], np.int64)]
    nodes = [
        helper.make_node("Conv", [target_name, "mix_w", "mix_b"], ["mixed"], name="mix"),
        helper.make_node("MatMul", [source_name, "proj_w"], ["identity"], name="project"),
        helper.make_node("Tanh", ["identity"], ["identity_t"], name="squash"),
        helper.make_node("Reshape", ["identity_t", "shape_n311"], ["identity4"], name="to_map"),
        helper.make_node("Add", ["mixed", "identity4"], ["pre"], name="inject"),
        helper.make_node("Sigmoid", ["pre"], [output_name], name="out"),
    ]
    outs = [helper.make_tensor_value_info(output_name, TensorProto.FLOAT, [batch, 3, size, size])]
    if outputs == 2:
        inits.append(_init("one", 1.0))
        nodes.append(helper.make_node("Add", [output_name, "one"], [output_name + "_aux"], name="aux"))
        outs.append(helper.make_tensor_value_info(output_name + "_aux", TensorProto.FLOAT, [batch, 3, size, size]))
    ins = [helper.make_tensor_value_info(target_name, TensorProto.FLOAT, [batch, 3, size, size]),
           helper.make_tensor_value_info(source_name, TensorProto.FLOAT, [batch, latent])]
    graph = helper.make_graph(nodes, "swapper", ins[::-1] if source_first else ins, outs, initializer=inits)
    return _finish(graph, path)


# ----------------------------------------------------------------------------------------
# Face parser

# Class colours in model-input space (the normalised batch): class c wins wherever the
# input pixel is nearest to PARSER_PALETTE[c].  Points of a 3 x 3 x 3 lattice with
# spacing 1.2, so a pixel within 0.6 of a palette colour (per channel) is classified
# as that class.
PARSER_PALETTE = np.array(
    [(a, b, c) for a in (0.0, -1.2, 1.2) for b in (0.0, -1.2, 1.2) for c in (0.0, -1.2, 1.2)][:19],
    dtype=np.float32)


def parser_classes(model_input):
    """Expected arg-max class map (N x H x W) for an N x 3 x H x W model input."""
    x = np.asarray(model_input, dtype=np.float32)
    d = ((x[:, None] - PARSER_PALETTE[None, :, :, None, None]) ** 2).sum(axis=2)
    return d.argmin(axis=1)


def parser(classes=19, size=512, batch="N", outputs=1, input_name="input", output_name="output", path=None):
    """Face parser: N x 3 x size x size -> N x classes x size x size logits.

    logit_c = 2 * p_c . x - |p_c|^2 with p_c = PARSER_PALETTE[c]: the arg-max is the
    nearest palette colour.  `outputs=2` adds a second output of the same shape (the
    logits + 1) for tests of models with more than one output.
    """
    if classes > len(PARSER_PALETTE):
        raise ValueError(f"at most {len(PARSER_PALETTE)} classes")
    pal = PARSER_PALETTE[:classes]
    inits = [_init("cls_w", (2.0 * pal).reshape(classes, 3, 1, 1)), _init("cls_b", -(pal ** 2).sum(axis=1))]
    nodes = [helper.make_node("Conv", [input_name, "cls_w", "cls_b"], [output_name], name="classify")]
    out_shape = [batch, classes, size, size]
    outs = [helper.make_tensor_value_info(output_name, TensorProto.FLOAT, out_shape)]
    if outputs == 2:
        inits.append(_init("one", 1.0))
        nodes.append(helper.make_node("Add", [output_name, "one"], [output_name + "_aux"], name="aux"))
        outs.append(helper.make_tensor_value_info(output_name + "_aux", TensorProto.FLOAT, out_shape))
    elif outputs != 1:
        raise ValueError("outputs must be 1 or 2")
    graph = helper.make_graph(
        nodes, "parser",
        [helper.make_tensor_value_info(input_name, TensorProto.FLOAT, [batch, 3, size, size])],
        outs, initializer=inits)
    return _finish(graph, path)


# ----------------------------------------------------------------------------------------
# Restorer


def restorer(size=512, batch=1, input_name="input", output_name="output", path=None):
    """Restorer: batch x 3 x size x size -> same shape, values in (-1, 1).

    output = tanh(conv3x3(x)): per channel a smoothing kernel (0.6 centre, 0.05 for each
    of the 8 neighbours) plus 0.02 of each other channel's centre pixel; zero padding.
    """
    w = np.zeros((3, 3, 3, 3), np.float32)
    for o in range(3):
        w[o, o] = 0.05
        w[o, o, 1, 1] = 0.6
        for i in range(3):
            if i != o:
                w[o, i, 1, 1] = 0.02
    inits = [_init("smooth_w", w)]
    nodes = [
        helper.make_node("Conv", [input_name, "smooth_w"], ["smoothed"], pads=[1, 1, 1, 1], name="smooth"),
        helper.make_node("Tanh", ["smoothed"], [output_name], name="squash"),
    ]
    shape = [batch, 3, size, size]
    graph = helper.make_graph(
        nodes, "restorer",
        [helper.make_tensor_value_info(input_name, TensorProto.FLOAT, shape)],
        [helper.make_tensor_value_info(output_name, TensorProto.FLOAT, shape)],
        initializer=inits)
    return _finish(graph, path)


# ----------------------------------------------------------------------------------------
# Gender and age


def gender_age(size=96, input_name="data", output_name="fc1", path=None):
    """Gender/age head: 1 x 3 x size x size -> 1 x 3.

    With m_c the mean of model-input channel c:
        output = [m_0 / 128, m_2 / 128, 0.2 + m_1 / 256]
    i.e. female score, male score, age / 100.
    """
    weight = np.array([[1 / 128, 0, 0], [0, 0, 1 / 256], [0, 1 / 128, 0]], np.float32)
    inits = [_init("head_w", weight), _init("head_b", [0.0, 0.0, 0.2])]
    nodes = [
        helper.make_node("GlobalAveragePool", [input_name], ["gap"], name="gap"),
        helper.make_node("Flatten", ["gap"], ["means"], axis=1, name="flatten"),
        helper.make_node("Gemm", ["means", "head_w", "head_b"], [output_name], name="head"),
    ]
    graph = helper.make_graph(
        nodes, "genderage",
        [helper.make_tensor_value_info(input_name, TensorProto.FLOAT, [1, 3, size, size])],
        [helper.make_tensor_value_info(output_name, TensorProto.FLOAT, [1, 3])],
        initializer=inits)
    return _finish(graph, path)


def expected_gender_age(model_input):
    """The gender_age model's output for a 1 x 3 x H x W model input (numpy)."""
    m = np.asarray(model_input, dtype=np.float64).mean(axis=(2, 3))[0]
    return np.array([[m[0] / 128, m[2] / 128, 0.2 + m[1] / 256]], dtype=np.float32)
