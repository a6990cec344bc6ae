"""Models built here compute what numpy computes: a small classifier, and uint8 and float inputs with outputs
declared in an order OpenCV would not list them in."""
import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view
from onnx import TensorProto as T, helper

from test_models_and_streams import inputs, kycl, read, save, stream_for

rng = np.random.default_rng(7)
KERNELS, CLASSES = rng.standard_normal((2, 1, 3, 3)).astype(np.float32), rng.standard_normal((2, 3)).astype(np.float32)
value = helper.make_tensor_value_info


def run_once(path, arrays, shapes):
    _, stream = stream_for(kycl.createModel(path, "", "", ""), input_count=len(arrays))
    out = kycl.requestOutputDataset(stream) if kycl.buildStream(stream) == 0 else None
    assert kycl.runStream(stream, inputs(*arrays), out, 0) == 0
    return [read(out, i, np.float32).reshape(shape) for i, shape in enumerate(shapes)]


def test_models_compute_what_numpy_computes(runtime, tmp_path):
    conv = [helper.make_node("Conv", ["x", "k"], ["c"], kernel_shape=[3, 3]), helper.make_node("Relu", ["c"], ["r"]),
            helper.make_node("GlobalAveragePool", ["r"], ["p"]), helper.make_node("Flatten", ["p"], ["f"]),
            helper.make_node("MatMul", ["f", "w"], ["l"]), helper.make_node("Softmax", ["l"], ["y"], axis=1)]
    path = save(tmp_path, "classifier", conv, [value("x", T.FLOAT, [1, 1, 6, 6])], [value("y", T.FLOAT, [1, 3])],
                [("k", KERNELS), ("w", CLASSES)])
    x = rng.standard_normal((1, 1, 6, 6)).astype(np.float32)
    features = np.maximum(np.einsum("ijkl,okl->oij", sliding_window_view(x[0, 0], (3, 3)), KERNELS[:, 0]), 0)
    logits = features.mean(axis=(1, 2)) @ CLASSES
    (got,) = run_once(path, [x], [(3,)])
    np.testing.assert_allclose(got, np.exp(logits) / np.exp(logits).sum(), rtol=1e-4, atol=1e-5)

    pair = [helper.make_node("Cast", ["a"], ["af"], to=T.FLOAT), helper.make_node("Add", ["af", "b"], ["zsum"]),
            helper.make_node("Mul", ["af", "b"], ["aprod"])]
    path = save(tmp_path, "pair", pair, [value("a", T.UINT8, [2, 3]), value("b", T.FLOAT, [2, 3])],
                [value("zsum", T.FLOAT, [2, 3]), value("aprod", T.FLOAT, [2, 3])])
    a, b = np.array([[0, 1, 127], [128, 254, 255]], np.uint8), rng.standard_normal((2, 3)).astype(np.float32)
    total, product = run_once(path, [a, b], [(2, 3)] * 2)
    np.testing.assert_allclose(total, a + b, rtol=1e-4, atol=1e-5)
    np.testing.assert_allclose(product, a * b, rtol=1e-4, atol=1e-5)


def opencv_outputs(path, x):
    import cv2

    net = cv2.dnn.readNetFromONNX(path)
    net.setInput(x)
    return net.forward(net.getUnconnectedOutLayersNames())


# Softmax runs on the die's own layer: a tile at a time and, where the inner axes are a multiple of 64 values,
# the exponential with it; otherwise in one pass over the tensor. Both must give OpenCV's values to the bit,
# infinities, signed zeros and values that overflow the exponential included (a NaN where OpenCV has one: its
# sign is the order of an addition's operands, which no compiler keeps). cv2 reads a 3-D array as a picture,
# so the shapes have 2 or 4 axes.
@pytest.mark.parametrize("shape, axis", [((1, 9, 112, 112), 1), ((1, 9, 111, 113), 1), ((2, 5, 4, 64), 1),
                                         ((3, 7), 1), ((2, 3, 4, 5), -1), ((4, 3, 5, 2), 0), ((2, 3, 300, 1), 2),
                                         ((1, 1, 64, 1), 1), ((2, 1000), 1)])
def test_softmax_gives_opencvs_values_to_the_bit(runtime, tmp_path, shape, axis):
    path = save(tmp_path, "softmax", [helper.make_node("Softmax", ["x"], ["y"], axis=axis)],
                [value("x", T.FLOAT, list(shape))], [value("y", T.FLOAT, list(shape))])
    x = (rng.standard_normal(shape) * 8).astype(np.float32)
    flat = x.reshape(-1)
    for start, special in enumerate([np.nan, np.inf, -np.inf, -0.0, 0.0, 1e30, -1e30, 1e-40, 100.0]):
        flat[start::29] = special
    (got,) = run_once(path, [x], [shape])
    (expected,) = opencv_outputs(path, x)
    expected = expected.reshape(shape)
    numbers = ~np.isnan(expected)
    assert np.array_equal(np.isnan(got), ~numbers)
    assert np.array_equal(got[numbers].view(np.uint32), expected[numbers].view(np.uint32))


def test_softmax_exponentials_over_their_whole_range_are_opencvs(runtime, tmp_path):
    # On processors with AVX-512 the die takes the exponential 16 values at a time, OpenCV 8 with gathers: every
    # argument a softmax can give it (0 down to past the clamp at -2079.44, subnormal, -inf, NaN) must come out the
    # same. Against zeros, the other channel's values are the arguments.
    shape = (1, 2, 512, 1024)
    rng_bits = np.random.default_rng(11)
    bits = rng_bits.integers(0, 0x7F800000, shape[2] * shape[3], dtype=np.uint32)  # the finite non-negative floats
    sweep = bits.view(np.float32) % np.float32(2200.0)  # every magnitude below 2200, its bit patterns at random
    sweep[:8] = [0.0, 1e-45, 1e-38, 2079.44, 2079.4417, 2079.45, np.inf, np.nan]
    x = np.zeros(shape, np.float32)
    x[0, 1] = -sweep.reshape(shape[2:])
    path = save(tmp_path, "sweep", [helper.make_node("Softmax", ["x"], ["y"], axis=1)],
                [value("x", T.FLOAT, list(shape))], [value("y", T.FLOAT, list(shape))])
    assert like_opencv(path, x, shape)


def test_a_softmax_in_place_leaves_its_input_to_the_other_readers(runtime, tmp_path):
    # The softmax writes over its input where OpenCV lets it (v: q has no other reader): never over the model's
    # input (a second run on the same input dataset gives the same outputs) nor over a tensor another node reads.
    shape = [1, 9, 8, 64]
    nodes = [helper.make_node("Softmax", ["x"], ["s"], axis=1), helper.make_node("Relu", ["x"], ["r"]),
             helper.make_node("Softmax", ["r"], ["t"], axis=1), helper.make_node("Sigmoid", ["r"], ["u"]),
             helper.make_node("Sigmoid", ["x"], ["q"]), helper.make_node("Softmax", ["q"], ["v"], axis=1)]
    path = save(tmp_path, "shared", nodes, [value("x", T.FLOAT, shape)], [value(n, T.FLOAT, shape) for n in "stuv"])
    x = (rng.standard_normal(shape) * 4).astype(np.float32)
    _, stream = stream_for(kycl.createModel(path, "", "", ""))
    assert kycl.buildStream(stream) == 0
    given, out = inputs(x), kycl.requestOutputDataset(stream)
    runs = []
    for _ in range(2):
        assert kycl.runStream(stream, given, out, 0) == 0
        runs.append([read(out, i, np.float32).reshape(shape) for i in range(4)])
    expected = [e.reshape(shape) for e in opencv_outputs(path, x)]
    assert np.array_equal(read(given, 0, np.float32).reshape(shape), x)
    for outputs in runs:
        assert all(np.array_equal(mine, theirs) for mine, theirs in zip(outputs, expected))


def test_the_builtin_models_outputs_are_opencvs_to_the_bit(runtime, tmp_path):
    from quillon.pipeline import demo

    path = str(demo.builtin_model(tmp_path / "cache"))
    pictures = [rng.random((1, 3, 112, 112), dtype=np.float32) for _ in range(3)]
    pictures += [np.zeros((1, 3, 112, 112), np.float32), np.ones((1, 3, 112, 112), np.float32)]
    for x in pictures:
        got = run_once(path, [x], [(1, 9), (1,)])
        for mine, theirs in zip(got, opencv_outputs(path, x)):
            assert np.array_equal(mine.reshape(-1), theirs.reshape(-1))


def test_softmax_without_an_axis_works_on_the_last_one_from_opset_13(runtime, tmp_path):
    shape = (2, 3, 4, 5)
    nodes, declared = [helper.make_node("Softmax", ["x"], ["y"])], [value("x", T.FLOAT, list(shape))]
    path = save(tmp_path, "softmax_default", nodes, declared, [value("y", T.FLOAT, list(shape))])
    x = rng.standard_normal(shape).astype(np.float32)
    (got,) = run_once(path, [x], [shape])
    shifted = np.exp(x - x.max(axis=-1, keepdims=True))
    np.testing.assert_allclose(got, shifted / shifted.sum(axis=-1, keepdims=True), rtol=1e-5, atol=1e-7)

    # Older files keep OpenCV's reading, which models made for them may rely on.
    older = tmp_path / "softmax_opset11.onnx"
    graph = helper.make_graph(nodes, "softmax_opset11", declared, [value("y", T.FLOAT, list(shape))])
    older.write_bytes(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)]).SerializeToString())
    (got,) = run_once(str(older), [x], [shape])
    (expected,) = opencv_outputs(str(older), x)
    assert np.array_equal(got, expected.reshape(shape))


def special_values(array, step, specials=(0.0, -0.0, 1e-40, -1e-40)):
    """`specials` spread through `array` (in place), one every `step` values."""
    flat = array.reshape(-1)
    for start, special in enumerate(specials):
        flat[start::step] = special
    return array


def same_bits(mine, theirs):
    numbers = ~np.isnan(theirs)
    return np.array_equal(np.isnan(mine), ~numbers) and np.array_equal(mine[numbers].view(np.uint32),
                                                                       theirs[numbers].view(np.uint32))


def like_opencv(path, x, shape):
    """The model's one output on `x` has OpenCV's values to the bit."""
    return same_bits(run_once(path, [x], [shape])[0], opencv_outputs(path, x)[0].reshape(shape))


# 1 x 1 and 3 x 3 convolutions over up to 3 channels run on layers of the die's own, which must give OpenCV's values
# to the bit: with and without a bias (an absent one may be named ""), padded by 0 or 1 (3 x 3), several pictures
# at once (enough of them to be shared among threads), an activation after it (which OpenCV folds into its convolution), odd sizes, a 1 x 1 output. (OpenCV on
# one thread takes another order for the last positions of a 3 x 3 output plane whose size leaves 2 or 3 over a
# multiple of 4: the 3 x 3 sizes here leave 0 or 1.)
@pytest.mark.parametrize("kernel, channels, outputs, shape, padding, bias, after", [
    (1, 3, 9, (1, 112, 112), 0, "b", None), (1, 1, 2, (2, 7, 5), 0, None, None), (1, 3, 16, (1, 33, 65), 0, "b", "Relu"),
    (1, 2, 1, (3, 1, 1), 0, "", None), (1, 3, 5, (1, 1, 1000), 0, "b", "Sigmoid"), (1, 3, 9, (3, 240, 200), 0, "b", None),
    (3, 1, 2, (1, 112, 112), 1, "b", None), (3, 2, 3, (1, 16, 20), 0, None, None), (3, 3, 5, (1, 12, 12), 1, "b", "Relu"),
    (3, 1, 1, (1, 3, 3), 0, "b", None), (3, 1, 2, (2, 8, 8), 1, "", None), (3, 3, 4, (1, 37, 37), 1, "b", None)])
def test_small_convolutions_give_opencvs_values_to_the_bit(runtime, tmp_path, kernel, channels, outputs, shape,
                                                           padding, bias, after):
    batch, height, width = shape
    weights = special_values(rng.standard_normal((outputs, channels, kernel, kernel)).astype(np.float32), 7)
    stored = [("w", weights)] + ([("b", rng.standard_normal(outputs).astype(np.float32))] if bias else [])
    nodes = [helper.make_node("Conv", ["x", "w"] + ([bias] if bias is not None else []), ["c" if after else "y"],
                              kernel_shape=[kernel, kernel], strides=[1, 1], pads=[padding] * 4)]
    if after:
        nodes.append(helper.make_node(after, ["c"], ["y"]))
    out_shape = (batch, outputs, height + 2 * padding - kernel + 1, width + 2 * padding - kernel + 1)
    path = save(tmp_path, "conv", nodes, [value("x", T.FLOAT, [batch, channels, height, width])],
                [value("y", T.FLOAT, list(out_shape))], stored)
    x = special_values((rng.standard_normal((batch, channels, height, width)) * 4).astype(np.float32), 11)
    x.reshape(-1)[5::997] = np.inf
    assert like_opencv(path, x, out_shape)


# Convolutions the layers must leave to OpenCV give OpenCV's values: one whose consumer OpenCV folds into its weights
# (a batch normalisation), a stride, padding the layers do not take, more channels than they take.
@pytest.mark.parametrize("kernel, attributes, channels, then_normalise", [
    (1, {}, 3, True), (1, {"strides": [2, 2]}, 3, False), (1, {"pads": [1, 1, 1, 1]}, 3, False), (1, {}, 4, False),
    (3, {"pads": [1, 1, 1, 1]}, 1, True), (3, {"strides": [2, 2]}, 1, False), (3, {"pads": [2, 2, 2, 2]}, 1, False),
    (3, {"pads": [1, 0, 1, 0]}, 1, False), (3, {}, 4, False)])
def test_convolutions_the_layers_do_not_take_stay_opencvs(runtime, tmp_path, kernel, attributes, channels,
                                                          then_normalise):
    size = 9
    pads = attributes.get("pads", [0, 0, 0, 0])
    stride = attributes.get("strides", [1])[0]
    out_shape = (1, 4, (size + pads[0] + pads[2] - kernel) // stride + 1, (size + pads[1] + pads[3] - kernel) // stride + 1)
    stored = [("w", rng.standard_normal((4, channels, kernel, kernel)).astype(np.float32)),
              ("b", rng.standard_normal(4).astype(np.float32))]
    nodes = [helper.make_node("Conv", ["x", "w", "b"], ["c" if then_normalise else "y"], kernel_shape=[kernel, kernel],
                              **attributes)]
    if then_normalise:
        stored += [(name, rng.random(4).astype(np.float32) + 0.5) for name in ("scale", "shift", "mean", "var")]
        nodes.append(helper.make_node("BatchNormalization", ["c", "scale", "shift", "mean", "var"], ["y"]))
    path = save(tmp_path, "kept", nodes, [value("x", T.FLOAT, [1, channels, size, size])],
                [value("y", T.FLOAT, list(out_shape))], stored)
    x = rng.standard_normal((1, channels, size, size)).astype(np.float32)
    assert like_opencv(path, x, out_shape)


# Global average pooling runs on the die's own layer, channels summed side by side in blocks of up to 12: OpenCV's
# values to the bit for one channel, one block, blocks shared unevenly and several pictures.
@pytest.mark.parametrize("shape", [(1, 9, 112, 112), (1, 1, 1, 1), (2, 13, 7, 5), (1, 64, 14, 14), (3, 25, 3, 33)])
def test_global_average_pooling_gives_opencvs_values_to_the_bit(runtime, tmp_path, shape):
    out_shape = shape[:2] + (1, 1)
    path = save(tmp_path, "pool", [helper.make_node("GlobalAveragePool", ["x"], ["y"])],
                [value("x", T.FLOAT, list(shape))], [value("y", T.FLOAT, list(out_shape))])
    x = special_values(rng.standard_normal(shape).astype(np.float32) * 100, 13, (0.0, -0.0))
    x.reshape(-1)[7::4001], x.reshape(-1)[11::4003] = 1e30, -1e30
    assert like_opencv(path, x, out_shape)


# A 1 x 1 convolution read only by a softmax over its classes, read only by a global average pooling, runs as one
# layer that never stores the class scores: OpenCV's values to the bit, for planes of a multiple of 64 positions
# (taken a tile at a time) and of others (taken whole), several pictures and many classes, with scores that
# overflow the exponential. Chains with another reader or a score plane the model gives out compute unchanged.
@pytest.mark.parametrize("channels, classes, shape, branch", [
    (3, 9, (1, 112, 112), None), (3, 5, (2, 8, 64), None), (2, 7, (1, 37, 41), None), (3, 300, (1, 16, 16), None),
    (1, 2, (3, 1, 1), None), (3, 9, (1, 16, 16), "scores read twice"), (3, 9, (1, 16, 16), "shares given out"),
    (3, 9, (2, 16, 16), "softmax over rows")])
def test_class_shares_give_opencvs_values_to_the_bit(runtime, tmp_path, channels, classes, shape, branch):
    batch, height, width = shape
    stored = [("w", special_values(rng.standard_normal((classes, channels, 1, 1)).astype(np.float32) * 3, 5)),
              ("b", rng.standard_normal(classes).astype(np.float32))]
    nodes = [helper.make_node("Conv", ["x", "w", "b"], ["scores"], kernel_shape=[1, 1]),
             helper.make_node("Softmax", ["scores"], ["shares"], axis=2 if branch == "softmax over rows" else 1),
             helper.make_node("GlobalAveragePool", ["shares"], ["y"])]
    planes = (batch, classes, height, width)
    outputs = [value("y", T.FLOAT, [batch, classes, 1, 1])]
    if branch == "scores read twice":
        nodes.append(helper.make_node("Relu", ["scores"], ["relu"]))
        outputs.append(value("relu", T.FLOAT, list(planes)))
    if branch == "shares given out":
        outputs.append(value("shares", T.FLOAT, list(planes)))
    path = save(tmp_path, "shares", nodes, [value("x", T.FLOAT, [batch, channels, height, width])], outputs, stored)
    x = special_values((rng.standard_normal((batch, channels, height, width)) * 8).astype(np.float32), 17)
    x.reshape(-1)[3::101] = 1e6
    assert_opencvs_bits(path, x, outputs, [(batch, classes, 1, 1)] + ([planes] if len(outputs) == 2 else []))


def assert_opencvs_bits(path, x, outputs, shapes):
    """The model's `outputs` (value infos) for input `x` are cv2.dnn's to the bit, each of its shape."""
    import cv2

    got = run_once(path, [x], shapes)
    net = cv2.dnn.readNetFromONNX(path)
    net.setInput(x)
    expected = net.forward([output.name for output in outputs])
    for mine, theirs, shape in zip(got, expected, shapes):
        assert same_bits(mine, theirs.reshape(shape))


# A 3 x 3 convolution read only by an Abs, read only by a ReduceMean over every axis but the first (a picture's edge
# energy, as in the built-in model), runs as one layer that never stores the planes: OpenCV's values to the bit,
# padded or not, several pictures, the reduced axes kept or dropped, with infinities and signed zeros. Chains the
# layer must not take compute unchanged: the planes given out, the magnitudes read twice, a mean per plane.
@pytest.mark.parametrize("channels, outputs, shape, padding, keepdims, branch, infinite", [
    (1, 2, (1, 112, 112), 0, 0, None, 0.0), (3, 3, (2, 37, 41), 1, 1, None, np.inf),
    (2, 1, (3, 9, 10), 1, None, None, -np.inf), (1, 1, (1, 3, 3), 0, 0, None, 0.0),
    (3, 2, (1, 20, 24), 0, 0, "planes given out", 0.0), (1, 2, (1, 16, 16), 0, 0, "magnitudes read twice", 0.0),
    (1, 2, (2, 16, 16), 1, 1, "mean per plane", 0.0)])
def test_edge_energy_gives_opencvs_values_to_the_bit(runtime, tmp_path, channels, outputs, shape, padding, keepdims,
                                                     branch, infinite):
    batch, height, width = shape
    stored = [("w", special_values(rng.standard_normal((outputs, channels, 3, 3)).astype(np.float32), 7)),
              ("b", rng.standard_normal(outputs).astype(np.float32))]
    axes = [2, 3] if branch == "mean per plane" else [1, -2, 3]
    mean = {"axes": axes} | ({} if keepdims is None else {"keepdims": keepdims})
    nodes = [helper.make_node("Conv", ["x", "w", "b"], ["planes"], kernel_shape=[3, 3], pads=[padding] * 4),
             helper.make_node("Abs", ["planes"], ["magnitudes"]), helper.make_node("ReduceMean", ["magnitudes"], ["y"],
                                                                                  **mean)]
    planes = (batch, outputs, height + 2 * padding - 2, width + 2 * padding - 2)
    kept = keepdims is None or keepdims == 1
    out_shape = ((batch, outputs, 1, 1) if branch == "mean per plane" else (batch, 1, 1, 1)) if kept else (batch,)
    outputs_given = [value("y", T.FLOAT, list(out_shape))]
    if branch == "planes given out":
        outputs_given.append(value("planes", T.FLOAT, list(planes)))
    if branch == "magnitudes read twice":
        nodes.append(helper.make_node("Neg", ["magnitudes"], ["negated"]))
        outputs_given.append(value("negated", T.FLOAT, list(planes)))
    path = save(tmp_path, "edges", nodes, [value("x", T.FLOAT, [batch, channels, height, width])], outputs_given,
                stored)
    x = special_values((rng.standard_normal((batch, channels, height, width)) * 4).astype(np.float32), 11)
    x[-1, 0, 0, :2] = infinite  # the last picture's energy is NaN or infinite: still OpenCV's
    assert_opencvs_bits(path, x, outputs_given, [out_shape] + ([planes] if len(outputs_given) == 2 else []))
