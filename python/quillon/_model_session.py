"""A model loaded on a die: its op graph (graph inputs feeding a run-model op
whose outputs are registered) in two streams, calls running in one on the
caller's thread and submitted requests queueing in the other, whose
completion reports resolve their futures. Each request in flight owns a
slot: the device memory of its inputs, the dataset its outputs are written
to, and host blocks of the runtime's own that stage both (the runtime copies
from and to its own host memory at once, where a foreign range is checked
first)."""
from __future__ import annotations

import collections
import concurrent.futures
import ctypes
import threading
from typing import Any, Deque, Dict, List, NamedTuple, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from _quillon_pybind11 import kyce, kycl, kycm

from . import runtime
from ._fusion import SOURCES, fusion_op
from ._model_files import _declared
from ._pictures import DevicePicture
from .errors import Code, InferenceError, call, check

_CT = kycm.copyMemType
_DTYPES: Dict[Any, Any] = {
    kycm.dType.kycmDT_FLOAT32: np.float32, kycm.dType.kycmDT_FLOAT16: np.float16,
    kycm.dType.kycmDT_UINT8: np.uint8, kycm.dType.kycmDT_INT8: np.int8,
    kycm.dType.kycmDT_UINT16: np.uint16, kycm.dType.kycmDT_INT16: np.int16,
    kycm.dType.kycmDT_UINT32: np.uint32, kycm.dType.kycmDT_INT32: np.int32,
}
class TensorSpec(NamedTuple):
    """An input or output of a model: its `name`, `shape` and element
    `dtype` (a numpy dtype)."""

    name: str
    shape: Tuple[int, ...]
    dtype: np.dtype[Any]


# A prototype of the package's own: ctypes.pythonapi's function objects are
# shared by every user of ctypes in the process, whose argtypes it must not set.
_capsule_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
    ("PyCapsule_GetPointer", ctypes.pythonapi))


def _staging(tensor: TensorSpec) -> Tuple[Any, npt.NDArray[Any]]:
    """A host block of the runtime for one tensor, and an array over it (valid
    until the block is freed)."""
    nbytes = int(np.prod(tensor.shape)) * tensor.dtype.itemsize
    block = call(lambda: kycm.mallocHost(max(nbytes, 1)), "kycm", "cannot allocate host memory for the model")
    memory = (ctypes.c_ubyte * max(nbytes, 1)).from_address(_capsule_pointer(block, None))
    return block, np.frombuffer(memoryview(memory), np.uint8)[:nbytes].view(tensor.dtype).reshape(tensor.shape)


# One numpy array for a model with one output, a tuple of them otherwise.
Outputs = Any
# How a picture becomes the input: mean, std, layout.
Shaping = Tuple[Optional[Tuple[float, ...]], Optional[Tuple[float, ...]], str]

# How the fusion op stores a picture as the model's input, by (element type, layout).
_TENSORS = {
    (np.dtype(np.float32), "NCHW"): kyce.tensorizationType.kyceTENSORIZATION_NONE,
    (np.dtype(np.float16), "NCHW"): kyce.tensorizationType.kyceTENSORIZATION_FP16,
    (np.dtype(np.float16), "NHWC"): kyce.tensorizationType.kyceTENSORIZATION_FP16_INTERLEAVE,
    (np.dtype(np.uint8), "NCHW"): kyce.tensorizationType.kyceTENSORIZATION_UINT8,
    (np.dtype(np.uint8), "NHWC"): kyce.tensorizationType.kyceTENSORIZATION_UINT8_INTERLEAVE,
}


def _shape(read: Any, model: Any, index: int, what: str) -> Tuple[int, ...]:
    record = kycm.shape()
    check(read(model, index, record), "kycl", f"cannot read the model's {what} {index}")
    return tuple(int(d) for d in record.shapes)


class _Slot:
    """Memory for one request: the inputs' device blocks in a dataset, the
    dataset the outputs are written to, and host blocks staging both."""

    def __init__(self, session: _Session) -> None:
        info = kycm.deviceInfo()
        info.deviceType, info.deviceIdx = kycm.deviceType.kycmDE_KYCC, session.device
        self.staged: List[Tuple[Any, npt.NDArray[Any]]] = []  # inputs', then outputs'
        self.inputs: List[Any] = []
        self.input_set = call(lambda: kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER), "kycm",
                              "cannot create the model's input dataset")
        self.output_set: Any = None
        self.outputs: List[Any] = []
        try:
            for tensor in session.inputs + session.outputs:
                self.staged.append(_staging(tensor))
            for tensor in session.inputs:
                size = max(int(np.prod(tensor.shape)) * tensor.dtype.itemsize, 1)
                self.inputs.append(call(lambda: kycm.malloc(size), "kycm", "cannot allocate the model's input"))
                buffer = call(lambda: kycm.createDataBuffer(info, self.inputs[-1], size), "kycm",
                              "cannot describe the model's input")
                check(kycm.addDatasetBuffer(self.input_set, buffer), "kycm", "cannot add the model's input")
            self.output_set = call(lambda: kycl.requestOutputDataset(session.run_stream), "kycl",
                                   "cannot allocate the model's outputs")
            for index in range(len(session.outputs)):
                buffer = call(lambda: kycm.getDatasetBuffer(self.output_set, index), "kycm",
                              "cannot find the model's output")
                self.outputs.append(call(lambda: kycm.getDataBufferAddr(buffer), "kycm",
                                         "cannot find the model's output"))
        except BaseException:
            self.release()
            raise

    def copy_in(self, arrays: List[npt.NDArray[Any]]) -> None:
        for array, (block, view), address in zip(arrays, self.staged, self.inputs):
            np.copyto(view, array, casting="unsafe")
            check(kycm.memcpy(block, address, view.nbytes, _CT.kycmCT_COPY_TO_DEVICE), "kycm",
                  "cannot copy the input to the device")

    def copy_out(self) -> List[npt.NDArray[Any]]:
        results = []
        for (block, view), address in zip(self.staged[len(self.inputs):], self.outputs):
            check(kycm.memcpy(address, block, view.nbytes, _CT.kycmCT_COPY_FROM_DEVICE), "kycm",
                  "cannot copy the output from the device")
            results.append(view.copy())
        return results

    def release(self) -> None:
        for block, _ in self.staged:
            kycm.freeHost(block)
        kycm.destroyDatasetAll(self.input_set)
        for address in self.inputs:
            kycm.free(address)
        if self.output_set is not None:
            for address in self.outputs:
                kycm.freeModelInOut(address)
            kycm.destroyDatasetAll(self.output_set)
        self.staged, self.inputs, self.outputs, self.output_set = [], [], [], None


class _Session:
    """The library objects of one model and what is in flight on them. It
    outlives the `Model` only as the stream report's subscriber (the module
    keeps subscribers for the life of the process), emptied by `release`."""

    def __init__(self, path: str, device: int, batch: Optional[int]) -> None:
        self.device = device
        self.lock = threading.Lock()
        self.calls = threading.Lock()  # held by a call on the caller's thread
        self.ops_lock = threading.Lock()
        self.call_slot: Optional[_Slot] = None
        self.closed = False
        self.model: Any = None
        self.graph: Any = None
        self.run_stream: Any = None
        self.async_stream: Any = None
        self.free: List[_Slot] = []
        self.slots: List[_Slot] = []
        self.pending: Deque[Tuple[concurrent.futures.Future[Outputs], _Slot]] = collections.deque()
        self.ops: Dict[Tuple[str, int, int], Any] = {}
        self.inputs: Tuple[TensorSpec, ...] = ()
        self.outputs: Tuple[TensorSpec, ...] = ()
        try:
            self.load(path, batch)
        except BaseException:
            self.release()
            raise

    def load(self, path: str, batch: Optional[int]) -> None:
        with runtime.on_device(self.device):
            self.model = call(lambda: kycl.createModel(path, "", "", ""), "kycl",
                              f"cannot load the model {path}")
            if batch is not None:
                check(kycl.setModelBatchSize(self.model, batch), "kycl", f"cannot set the model's batch to {batch}")
            declared, output_names = _declared(path)
            count = int(call(lambda: kycl.getModelInputCount(self.model), "kycl", "cannot count the model's inputs"))
            if declared is None or len(declared) != count:
                declared = [(f"input{index}", np.float32) for index in range(count)]
            self.inputs = tuple(TensorSpec(name, _shape(kycl.getModelInputShapeByIndex, self.model, index, "input"),
                                           np.dtype(dtype)) for index, (name, dtype) in enumerate(declared))
            count = int(call(lambda: kycl.getModelOutputCount(self.model), "kycl", "cannot count the model's outputs"))
            if output_names is None or len(output_names) != count:
                output_names = [f"output{index}" for index in range(count)]
            outputs = []
            for index, name in enumerate(output_names):
                kind = call(lambda: kycl.getModelOutputDataTypeByIndex(self.model, index), "kycl",
                            f"cannot read the type of the model's output {index}")
                if kind not in _DTYPES:
                    raise InferenceError(int(Code.KYCL_UNSUPPORTED_MODEL),
                                         f"the model's output {name} has the element type {kind.name}, "
                                         "which has no numpy type")
                outputs.append(TensorSpec(name, _shape(kycl.getModelOutputShapeByIndex, self.model, index, "output"),
                                          np.dtype(_DTYPES[kind])))
            self.outputs = tuple(outputs)

            self.graph = call(kycl.createOpGraph, "kycl", "cannot create the model's op graph")
            run = call(lambda: kycl.createRunModelOp(self.model), "kycl", "cannot create the model's run op")
            for index in range(len(self.inputs)):
                source = call(lambda: kycl.createGraphInputOp(self.graph, index), "kycl",
                              "cannot create the model's graph input")
                check(kycl.connectOps(source, run), "kycl", "cannot connect the model's graph")
            check(kycl.registerGetOutput(self.graph, run), "kycl", "cannot register the model's outputs")
            self.run_stream = self.stream()

    def stream(self) -> Any:
        """A built stream of the graph (call on the model's device)."""
        stream = call(lambda: kycl.createOpStream(self.graph, kycl.balance_mode.kyclBM_ONCE), "kycl",
                      "cannot create the model's stream")
        code = kycl.buildStream(stream)
        if code != 0:
            kycl.destroyOpStream(stream)
            check(code, "kycl", "cannot build the model's stream")
        return stream

    # -- slots and submissions

    def new_slot(self) -> _Slot:
        with runtime.on_device(self.device):
            slot = _Slot(self)
        self.slots.append(slot)
        return slot

    def call(self, given: Union[List[npt.NDArray[Any]], DevicePicture], shaping: Shaping) -> Outputs:
        """Runs one request on the caller's thread."""
        with self.calls:
            if self.closed:
                raise ValueError("the model is closed")
            if self.call_slot is None:
                with self.lock:
                    self.call_slot = self.new_slot()
            self.fill(self.call_slot, given, shaping)
            check(kycl.runStream(self.run_stream, self.call_slot.input_set, self.call_slot.output_set, 0), "kycl",
                  "the model's run failed")
            return _outputs(self.call_slot.copy_out())

    def submit(self, given: Union[List[npt.NDArray[Any]], DevicePicture], shaping: Shaping,
               future: concurrent.futures.Future[Outputs]) -> None:
        """Queues one request on the stream of requests in flight. Slots are
        filled under the lock, so that releasing never frees one in use."""
        with self.lock:
            if self.closed:
                raise ValueError("the model is closed")
            if self.async_stream is None:
                with runtime.on_device(self.device):
                    stream = self.stream()
                code = kycl.subscribeStreamReport(stream, _report, self)
                if code != 0:
                    kycl.destroyOpStream(stream)
                    check(code, "kycl", "cannot subscribe to the model's stream")
                self.async_stream = stream
            slot = self.free.pop() if self.free else self.new_slot()
            try:
                self.fill(slot, given, shaping)
                # Requests of a stream are reported in the order they were queued.
                self.pending.append((future, slot))
                code = kycl.runStreamAsync(self.async_stream, slot.input_set, slot.output_set)
                if code != 0:
                    self.pending.pop()
                    check(code, "kycl", "cannot queue the request")
            except BaseException:
                self.free.append(slot)
                raise

    def on_report(self, status: Any) -> None:
        """Resolves the oldest request in flight (see `_report`)."""
        result: Any = None
        with self.lock:
            if not self.pending:
                return
            future, slot = self.pending.popleft()
            try:
                result = None if status.errorCode != 0 else _outputs(slot.copy_out())
            except BaseException as error:  # nothing may reach the library's thread
                result = error
            self.free.append(slot)
        # Outside the lock: the future's callbacks may submit again.
        if isinstance(result, BaseException):
            future.set_exception(result)
        elif result is None:
            future.set_exception(InferenceError(int(status.errorCode), "the model's run failed"))
        else:
            future.set_result(result)

    # -- pictures on the die

    def picture_op(self, picture: DevicePicture, shaping: Shaping) -> Any:
        """The fusion op that turns pictures of this format and size into the
        model's input (made on first use, then kept). Called with `ops_lock`."""
        mean, std, layout = shaping
        key = (str(picture.format), int(picture.width), int(picture.height))
        op = self.ops.get(key)
        if op is not None:
            return op
        tensor = self.inputs[0]
        if len(self.inputs) != 1 or len(tensor.shape) != 4:
            raise ValueError(f"a picture feeds a model with one 4-dimensional input, not {len(self.inputs)} "
                             f"input(s) of shape {tensor.shape}")
        batch, channels, height, width = (tensor.shape if layout == "NCHW" else
                                          (tensor.shape[0], tensor.shape[3], tensor.shape[1], tensor.shape[2]))
        if batch != 1 or channels != 3:
            raise ValueError(f"a picture is one image of 3 channels: the model's input {tensor.shape} is not "
                             f"1 x 3 x H x W in {layout} order" + ("" if layout == "NHWC" else
                                                                   " (pass layout='NHWC' for channels last)"))
        if key[0] not in SOURCES:
            raise ValueError(f"pictures of format {key[0]!r} cannot feed a model: ask for 'nv12', 'rgb24' or "
                             "'bgr24' frames")
        tensorization = _TENSORS.get((tensor.dtype, layout))
        if tensorization is None:
            raise ValueError(f"a {layout} input of {tensor.dtype} cannot be made from a picture on the die "
                             "(float32 NCHW, float16 and uint8 can); pass the frame's to_numpy() instead")
        if tensor.dtype == np.uint8 and (mean is not None or std is not None):
            raise ValueError("mean and std apply to float inputs: the model's input is uint8 (pixel values as they "
                             "are)")
        if tensor.dtype == np.uint8:
            norm = kyce.normType.kyceNORM_NORMALIZATION_NONE
        elif mean is None and std is None:
            norm = kyce.normType.kyceNORM_DIV255
        else:
            norm = kyce.normType.kyceNORM_DIV255_MINUSMEAN_DIVSTD
        op = fusion_op(key[0], key[1], key[2], key[1], (width, height), norm=norm, tensorization=tensorization,
                       mean=mean, std=std)
        self.ops[key] = op
        return op

    def fill(self, slot: _Slot, given: Union[List[npt.NDArray[Any]], DevicePicture], shaping: Shaping) -> None:
        """Writes a request's inputs into the slot's device memory."""
        if isinstance(given, list):
            slot.copy_in(given)
            return
        with self.ops_lock:
            op = self.picture_op(given, shaping)
            code = kyce.executeOp(op, given.device_address, slot.inputs[0])
        check(code, "kyce", f"cannot turn the {given.width}x{given.height} {given.format} picture into the "
                            "model's input")

    def release(self) -> None:
        """Waits for the requests in flight, then releases every library
        object and block of device memory of the model."""
        with self.calls, self.lock:
            self.closed = True  # from here on no slot is filled
        if self.async_stream is not None:
            kycl.synchronizeStream(self.async_stream, 0)  # every report delivered
            kycl.destroyOpStream(self.async_stream)
        if self.run_stream is not None:
            kycl.destroyOpStream(self.run_stream)
        with self.lock, self.ops_lock:
            for op in self.ops.values():
                kyce.destroyOp(op)
            for slot in self.slots:
                slot.release()
            for future, _ in self.pending:  # none: synchronised above
                future.cancel()
            self.ops, self.slots, self.free, self.pending = {}, [], [], collections.deque()
        if self.graph is not None:
            kycl.destroyOpGraph(self.graph)
        if self.model is not None:
            kycl.destroyModel(self.model)
        self.async_stream = self.run_stream = self.graph = self.model = None


def _outputs(arrays: List[npt.NDArray[Any]]) -> Outputs:
    return arrays[0] if len(arrays) == 1 else tuple(arrays)


def _report(_stream: Any, _inputs: Any, _outputs: Any, status: Any, session: object) -> None:
    """The stream's report function, called on its reporting thread when a
    request is done."""
    assert isinstance(session, _Session)
    session.on_report(status)
