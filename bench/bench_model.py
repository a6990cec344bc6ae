"""quillon.Model on a 224x224 conv net: one call against OpenCV's dnn run
directly on the same ONNX file in the same process, and `map` with 8
requests in flight against the same requests as sequential calls."""
import os
import pathlib
import sys
import tempfile

import numpy as np

from harness import interleaved

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))

# Each run lasts about 60 ms: runs of 16 requests (15 ms) gave medians
# that moved by a quarter from one invocation to the next on a shared VM.
REQUESTS = 64
IN_FLIGHT = 8


def conv_net(path):
    """Three strided 3x3 convolutions on a 3x224x224 picture, pooled and
    classified into 100 classes: about 60 MFLOPs a request."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper
    rng = np.random.default_rng(1)
    weights = [numpy_helper.from_array(rng.standard_normal(shape).astype(np.float32) * 0.1, name)
               for name, shape in (("w1", (16, 3, 3, 3)), ("w2", (32, 16, 3, 3)), ("w3", (64, 32, 3, 3)),
                                   ("fc", (64, 100)))]
    nodes = []
    source = "x"
    for k, weight in enumerate(("w1", "w2", "w3")):
        nodes += [helper.make_node("Conv", [source, weight], [f"c{k}"], kernel_shape=[3, 3], pads=[1, 1, 1, 1],
                                   strides=[2, 2]), helper.make_node("Relu", [f"c{k}"], [f"r{k}"])]
        source = f"r{k}"
    nodes += [helper.make_node("GlobalAveragePool", [source], ["p"]), helper.make_node("Flatten", ["p"], ["f"]),
              helper.make_node("MatMul", ["f", "fc"], ["y"])]
    graph = helper.make_graph(nodes, "conv224",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, 224, 224])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 100])], weights)
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), path)


def run(report):
    import cv2

    import quillon
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "conv224.onnx")
        conv_net(path)
        xs = [np.random.default_rng(k).random((1, 3, 224, 224), dtype=np.float32) for k in range(REQUESTS)]
        net = cv2.dnn.readNetFromONNX(path)
        with quillon.Model(path) as model:
            def direct():
                for x in xs:
                    net.setInput(x)
                    net.forward()

            def calls():
                for x in xs:
                    model(x)

            def mapped():
                for _ in model.map(xs, max_in_flight=IN_FLIGHT):
                    pass
            ours, theirs, pipelined = interleaved([calls, direct, mapped], repeat=15)
        per_second = REQUESTS
        report.ratio("Model(x) / cv2.dnn requests per second, 224x224 conv net", theirs / ours, 0.95, True,
                     f"({per_second / ours:.0f}/s vs {per_second / theirs:.0f}/s)",
                     runs={"ours": ours, "cv2.dnn": theirs})
        report.ratio(f"Model.map({IN_FLIGHT} in flight) / Model(x) requests per second", ours / pipelined, 1.3, True,
                     f"({per_second / pipelined:.0f}/s vs {per_second / ours:.0f}/s)",
                     runs={"map": pipelined, "calls": ours})

        # The main job's model: a softmax over 9 classes at every pixel, which
        # the SDK runs on its own layer.
        from quillon.pipeline import demo
        path = os.path.join(folder, "builtin.onnx")
        demo.build_model(pathlib.Path(path))
        xs = [np.random.default_rng(k).random((1, 3, demo.MODEL_SIZE, demo.MODEL_SIZE), dtype=np.float32)
              for k in range(REQUESTS)]
        net = cv2.dnn.readNetFromONNX(path)
        names = net.getUnconnectedOutLayersNames()

        def builtin_direct():
            for x in xs:
                net.setInput(x)
                net.forward(names)

        with quillon.Model(path) as model:
            def builtin_calls():
                for x in xs:
                    model(x)
            ours, theirs = interleaved([builtin_calls, builtin_direct], repeat=15)
        report.ratio("Model(x) / cv2.dnn requests per second, the built-in model", theirs / ours, 0.95, True,
                     f"({per_second / ours:.0f}/s vs {per_second / theirs:.0f}/s)",
                     runs={"ours": ours, "cv2.dnn": theirs})


if __name__ == "__main__":
    from harness import Report
    result = Report()
    run(result)
    result.print()
