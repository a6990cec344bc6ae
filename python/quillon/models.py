"""Models: a model file loaded on a die, run on numpy arrays or on pictures
that are already on the die (decoded frames), synchronously or with up to
any number of requests in flight.

A model runs in two streams of one op graph (graph inputs feeding a
run-model op whose outputs are registered): calls run in one on the caller's
thread, submitted requests queue in the other, whose completion reports
resolve their futures. Each request in flight owns a slot: the device
memory of its inputs, the dataset its outputs are written to, and host
blocks of the runtime's own that stage both (the runtime copies from and to
its own host memory at once, where a foreign range is checked first).
"""
from __future__ import annotations

import collections
import concurrent.futures
import ctypes
import importlib
import os
import threading
import warnings
import weakref
from typing import (Any, Deque, Dict, Iterable, Iterator, List, Mapping, NamedTuple, Optional, Protocol, Sequence,
                    Tuple, Union, runtime_checkable)

import numpy as np
import numpy.typing as npt

from _quillon_pybind11 import kyce, kycl, kycm

from . import runtime
from ._fusion import SOURCES, fusion_op
from .errors import Code, InferenceError, call, check

__all__ = ["Model", "TensorSpec", "DevicePicture"]

_CT = kycm.copyMemType
_DTYPES: Dict[Any, Any] = {
    kycm.dType.kycmDT_FLOAT32: np.float32, kycm.dType.kycmDT_FLOAT16: np.float16,
    kycm.dType.kycmDT_UINT8: np.uint8, kycm.dType.kycmDT_INT8: np.int8,
    kycm.dType.kycmDT_UINT16: np.uint16, kycm.dType.kycmDT_INT16: np.int16,
    kycm.dType.kycmDT_UINT32: np.uint32, kycm.dType.kycmDT_INT32: np.int32,
}
# ONNX element types the runtime takes as inputs.
_ONNX_DTYPES: Dict[int, Any] = {1: np.float32, 2: np.uint8, 3: np.int8, 4: np.uint16, 5: np.int16, 6: np.int32,
                                10: np.float16}

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


@runtime_checkable
class DevicePicture(Protocol):
    """What a model needs of a picture on a die (a decoded `Frame` is one):
    the device address of its pixels, packed without padding (for NV12 the
    chroma plane follows the luma plane), its size, its pixel format
    ("nv12", "rgb24" or "bgr24") and the die it is on."""

    @property
    def device_address(self) -> Any: ...

    @property
    def width(self) -> int: ...

    @property
    def height(self) -> int: ...

    @property
    def format(self) -> str: ...

    @property
    def device(self) -> int: ...


ArrayLike = Union[npt.ArrayLike, Sequence[npt.ArrayLike], Mapping[str, npt.ArrayLike]]
ModelInput = Union[ArrayLike, DevicePicture]
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


def _interrupted(error: BaseException) -> bool:
    """Whether a KeyboardInterrupt is behind `error` (an extension module
    whose initialisation was interrupted reports an ImportError caused by it)."""
    seen: List[BaseException] = []
    cause: Optional[BaseException] = error
    while cause is not None and not any(cause is s for s in seen):
        if isinstance(cause, KeyboardInterrupt):
            return True
        seen.append(cause)
        cause = cause.__cause__ or cause.__context__
    return False


_onnx_missing_said = False
_onnx_lock = threading.Lock()  # guards _onnx_missing_said


def _onnx() -> Any:
    """The onnx package, or None without it (said once a process). An
    interrupted import is an interruption, not a missing package."""
    global _onnx_missing_said
    try:
        return importlib.import_module("onnx")
    except ImportError as error:
        if _interrupted(error):
            raise KeyboardInterrupt from error
        with _onnx_lock:
            said, _onnx_missing_said = _onnx_missing_said, True
        if not said:
            warnings.warn(f"the onnx package cannot be imported ({error}): models' inputs and outputs are named "
                          "input0.., output0.. and inputs taken as float32 (on Debian: apt install python3-onnx)",
                          RuntimeWarning, stacklevel=6)  # the caller of Model()
        return None


def _declared(path: str) -> Tuple[Optional[List[Tuple[str, Any]]], Optional[List[str]]]:
    """Names and element types of the file's inputs, and its output names,
    read from the ONNX graph (the runtime reports neither); None when the
    file cannot be read that way."""
    onnx = _onnx()
    if onnx is None:
        return None, None
    try:
        graph = onnx.load(path, load_external_data=False).graph
    except Exception as error:  # not an ONNX file: names and types are then guessed
        if _interrupted(error):
            raise KeyboardInterrupt from error
        return None, None
    constants = {initializer.name for initializer in graph.initializer}
    inputs = [(str(value.name), _ONNX_DTYPES.get(int(value.type.tensor_type.elem_type), np.float32))
              for value in graph.input if value.name not in constants]
    return inputs, [str(value.name) for value in graph.output]


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


def _channels(value: Union[None, float, Sequence[float]], name: str) -> Optional[Tuple[float, ...]]:
    if value is None:
        return None
    values = (float(value),) * 3 if isinstance(value, (int, float)) else tuple(float(v) for v in value)
    if len(values) != 3 or not all(np.isfinite(values)):
        raise ValueError(f"{name} must be one number or three (red, green, blue), all finite, not {value!r}")
    if name == "std" and 0.0 in values:
        raise ValueError("std must not be 0")
    return values


class Model:
    """A model file loaded on a die.

    >>> model = quillon.Model("net.onnx", device=0)
    >>> scores = model(picture)               # a numpy array, or a frame on the die
    >>> future = model.submit(picture)        # concurrent.futures.Future
    >>> for scores in model.map(pictures, max_in_flight=8): ...

    `path` is a model file the runtime reads (an ONNX file on the host SDK).
    `device` is the die (None: the first). `batch` sets the batch size of a
    model whose first dimension is symbolic (default: as the file declares,
    1 when symbolic). `mean`, `std` and `layout` describe how a picture on
    the die becomes the model's input: pixel values are divided by 255, then
    `mean` is subtracted and the result divided by `std` (one number or one
    per channel, red first); `layout` is "NCHW" (channels first) or "NHWC".
    They do not apply to numpy inputs, which are the model's input as given.

    Release the model with `close()` or a `with` block; at the latest it is
    released when it is garbage-collected or the interpreter exits.
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], *, device: Optional[int] = None,
                 batch: Optional[int] = None, mean: Union[None, float, Sequence[float]] = None,
                 std: Union[None, float, Sequence[float]] = None, layout: str = "NCHW") -> None:
        path = os.fspath(path)
        if layout not in ("NCHW", "NHWC"):
            raise ValueError(f"layout must be 'NCHW' or 'NHWC', not {layout!r}")
        if batch is not None and (isinstance(batch, bool) or not isinstance(batch, int) or batch < 1):
            raise ValueError(f"batch must be a positive int, not {batch!r}")
        self._shaping: Shaping = (_channels(mean, "mean"), _channels(std, "std"), layout)
        if os.path.isdir(path):
            raise IsADirectoryError(f"{path}: is a folder, not a model file")
        if not os.path.exists(path):
            raise FileNotFoundError(f"{path}: no such model file")
        self.path = path
        self.device = runtime.resolve(device)
        self._session = _Session(path, self.device, batch)
        self._release = weakref.finalize(self, _Session.release, self._session)

    @property
    def inputs(self) -> Tuple[TensorSpec, ...]:
        """The model's inputs: name, shape (with the batch) and dtype."""
        return self._session.inputs

    @property
    def outputs(self) -> Tuple[TensorSpec, ...]:
        """The model's outputs: name, shape (with the batch) and dtype."""
        return self._session.outputs

    @property
    def closed(self) -> bool:
        """True once the model is released."""
        return not self._release.alive

    def __repr__(self) -> str:
        shapes = ", ".join(f"{tensor.name}{list(tensor.shape)}" for tensor in self.inputs)
        return f"<quillon.Model {self.path!r} on device {self.device} ({shapes}){' closed' if self.closed else ''}>"

    def _prepare(self, x: ModelInput) -> Union[List[npt.NDArray[Any]], DevicePicture]:
        """The request's inputs as arrays of the model's shapes, or the
        picture as it is."""
        tensors = self.inputs
        if type(x) is np.ndarray and len(tensors) == 1 and x.shape == tensors[0].shape and x.dtype.kind in "biuf":
            return [x]  # the common case, checked first
        if self._session.closed:
            raise ValueError("the model is closed")
        if hasattr(x, "device_address"):
            picture: Any = x
            if int(picture.device) != self.device:
                raise ValueError(f"the frame is on device {picture.device} and the model on device {self.device}: "
                                 f"open the video with device={self.device}, or load the model on that die")
            return picture  # type: ignore[no-any-return]
        given: List[Any]
        if isinstance(x, Mapping):
            missing = [tensor.name for tensor in tensors if tensor.name not in x]
            if missing or len(x) != len(tensors):
                raise ValueError(f"the model's inputs are {[s.name for s in tensors]}, not {sorted(x)}")
            given = [x[tensor.name] for tensor in tensors]
        elif len(tensors) == 1:
            given = [x]
        elif isinstance(x, (list, tuple)) and len(x) == len(tensors):
            given = list(x)
        else:
            raise ValueError(f"the model takes {len(tensors)} inputs {[s.name for s in tensors]}: "
                             "pass a sequence or a mapping of arrays")
        arrays = []
        for value, tensor in zip(given, tensors):
            array = np.asarray(value)
            if array.dtype.kind not in "biuf":
                raise TypeError(f"input {tensor.name} must hold numbers, not {array.dtype}")
            if array.shape != tensor.shape:
                # One sample may leave out a batch of 1.
                if not (tensor.shape[:1] == (1,) and array.shape == tensor.shape[1:]):
                    raise ValueError(f"input {tensor.name} has shape {array.shape}; the model takes {tensor.shape}")
                array = array.reshape(tensor.shape)
            arrays.append(array)  # converted to the input's type as it is staged
        return arrays

    def __call__(self, x: ModelInput) -> Outputs:
        """Runs the model on `x` and returns its output as a numpy array (a
        tuple of arrays for a model with several outputs).

        `x` is a numpy array (or anything numpy turns into one) of the
        input's shape, with or without a leading batch of 1, converted to
        the input's dtype; a sequence or a mapping by name of such arrays
        for a model with several inputs; or a frame on the model's die,
        turned into the input on the die.
        """
        return self._session.call(self._prepare(x), self._shaping)

    def submit(self, x: ModelInput) -> concurrent.futures.Future[Outputs]:
        """Queues a run of the model on `x` (as for calling the model) and
        returns a future of its outputs. Requests run one after another on
        the die, in the order they were submitted, while the caller goes on."""
        given = self._prepare(x)
        future: concurrent.futures.Future[Outputs] = concurrent.futures.Future()
        future.set_running_or_notify_cancel()
        self._session.submit(given, self._shaping, future)
        return future

    def map(self, inputs: Iterable[ModelInput], max_in_flight: int = 8) -> Iterator[Outputs]:
        """The outputs for each of `inputs`, in their order, with up to
        `max_in_flight` requests queued on the die at a time."""
        if isinstance(max_in_flight, bool) or not isinstance(max_in_flight, int) or max_in_flight < 1:
            raise ValueError(f"max_in_flight must be a positive int, not {max_in_flight!r}")
        return self._map(inputs, max_in_flight)

    def _map(self, inputs: Iterable[ModelInput], max_in_flight: int) -> Iterator[Outputs]:
        window: Deque[concurrent.futures.Future[Outputs]] = collections.deque()
        for x in inputs:
            if len(window) >= max_in_flight:
                yield window.popleft().result()
            window.append(self.submit(x))
        while window:
            yield window.popleft().result()

    def close(self) -> None:
        """Waits for the requests in flight and releases the model, its
        streams and its device memory. Closing twice does nothing."""
        self._release()

    def __enter__(self) -> Model:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
