"""Per-request cost of kycl streams against OpenCV's dnn module run directly
on the same ONNX file in the same process, and asynchronous throughput with
8 requests in flight against synchronous runs. Both kycl loops take a
semaphore before each request and the stream's report gives it back, so the
synchronous one pays for the report as well."""
import os
import tempfile
import threading

import numpy as np

from harness import interleaved

TINY_REQUESTS = 2000
CONV_REQUESTS = 200
IN_FLIGHT = 8


def tiny_model(path):
    """y = relu(x @ W) on a 1x4 input: nearly all of a request is overhead."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper
    weights = numpy_helper.from_array(np.linspace(-1, 1, 12, dtype=np.float32).reshape(4, 3), "W")
    graph = helper.make_graph([helper.make_node("MatMul", ["x", "W"], ["m"]), helper.make_node("Relu", ["m"], ["y"])],
                              "tiny", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 4])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 3])], [weights])
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), path)


def conv_model(path):
    """Two 3x3 convolutions on a 3x32x32 picture, pooled and classified:
    about 5.6 MFLOPs a request."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper
    rng = np.random.default_rng(1)
    weights = [numpy_helper.from_array(rng.standard_normal(shape).astype(np.float32) * 0.1, name)
               for name, shape in (("w1", (16, 3, 3, 3)), ("w2", (16, 16, 3, 3)), ("fc", (16, 10)))]
    nodes = [helper.make_node("Conv", ["x", "w1"], ["c1"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]), helper.make_node("Relu", ["c1"], ["r1"]),
             helper.make_node("Conv", ["r1", "w2"], ["c2"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]), helper.make_node("Relu", ["c2"], ["r2"]),
             helper.make_node("GlobalAveragePool", ["r2"], ["p"]), helper.make_node("Flatten", ["p"], ["f"]),
             helper.make_node("MatMul", ["f", "fc"], ["y"])]
    graph = helper.make_graph(nodes, "conv", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, 32, 32])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 10])], weights)
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), path)


class Runner:
    """A model in a one-op stream with its input and output datasets."""

    def __init__(self, quillon, path, shape):
        self.kycl, self.kycm = quillon.kycl, quillon.kycm
        kycl, kycm = self.kycl, self.kycm
        self.model = kycl.createModel(path, "", "", "")
        self.graph, op = kycl.createOpGraph(), kycl.createRunModelOp(self.model)
        kycl.connectOps(kycl.createGraphInputOp(self.graph, 0), op)
        kycl.registerGetOutput(self.graph, op)
        self.stream = kycl.createOpStream(self.graph, kycl.balance_mode.kyclBM_ONCE)
        assert kycl.buildStream(self.stream) == 0
        self.done = threading.Semaphore(IN_FLIGHT)
        kycl.subscribeStreamReport(self.stream, lambda *args: self.done.release(), None)
        data = np.random.default_rng(0).random(shape, dtype=np.float32).view(np.uint8).reshape(-1)
        info = kycm.deviceInfo()
        info.deviceType, info.deviceIdx = kycm.deviceType.kycmDE_KYCC, 0
        self.address = kycm.malloc(len(data))
        kycm.memcpy(kycm.getHandleFromNumpy(data), self.address, len(data), kycm.copyMemType.kycmCT_COPY_TO_DEVICE)
        self.inputs = kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER)
        kycm.addDatasetBuffer(self.inputs, kycm.createDataBuffer(info, self.address, len(data)))
        self.outputs = [kycl.requestOutputDataset(self.stream) for _ in range(IN_FLIGHT)]

    def sync(self, count):
        run, stream, inputs, outputs = self.kycl.runStream, self.stream, self.inputs, self.outputs[0]
        for _ in range(count):
            self.done.acquire()  # the report gives it back, as in the asynchronous loop
            run(stream, inputs, outputs, 0)

    def asynchronous(self, count):
        run, stream, inputs, outputs, acquire = self.kycl.runStreamAsync, self.stream, self.inputs, self.outputs, \
            self.done.acquire
        for k in range(count):
            acquire()  # at most IN_FLIGHT requests queued or running
            run(stream, inputs, outputs[k % IN_FLIGHT])
        self.kycl.synchronizeStream(self.stream, 0)

    def close(self):
        kycl = self.kycl
        kycl.destroyOpStream(self.stream), kycl.destroyOpGraph(self.graph), kycl.destroyModel(self.model)


def opencv_runner(path, shape):
    import cv2
    net = cv2.dnn.readNetFromONNX(path)
    x = np.random.default_rng(0).random(shape, dtype=np.float32)
    names = net.getUnconnectedOutLayersNames()

    def loop(count):
        for _ in range(count):
            net.setInput(x)
            net.forward(names)
    return loop


def run(report):
    import _quillon_pybind11 as quillon
    quillon.kycm.initialize()
    with tempfile.TemporaryDirectory() as folder:
        for name, build, shape, count, target in (("tiny model", tiny_model, (1, 4), TINY_REQUESTS, 0.9),
                                                  ("conv net", conv_model, (1, 3, 32, 32), CONV_REQUESTS, 0.95)):
            path = os.path.join(folder, f"{name}.onnx")
            build(path)
            runner, direct = Runner(quillon, path, shape), opencv_runner(path, shape)
            ours, theirs, pipelined = interleaved(
                [lambda: runner.sync(count), lambda: direct(count), lambda: runner.asynchronous(count)])
            note = ""
            if name == "tiny model":
                # A request here costs less than handing it between threads:
                # shown for information, the target is on the conv net.
                note = f", {count / pipelined:.0f}/s with {IN_FLIGHT} async in flight"
            report.ratio(f"runStream / cv2.dnn requests per second, {name}", theirs / ours, target, True,
                         f"({count / ours:.0f}/s vs {count / theirs:.0f}/s{note})",
                         runs={"ours": ours, "cv2.dnn": theirs})
            if name != "tiny model":
                report.ratio(f"{IN_FLIGHT} async in flight / runStream requests per second, {name}", ours / pipelined,
                             1.0, True, f"({count / pipelined:.0f}/s vs {count / ours:.0f}/s)",
                             runs={"async": pipelined, "runStream": ours})
            runner.close()
    quillon.kycm.uninitialize()
