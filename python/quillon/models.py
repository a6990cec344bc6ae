"""Models: a model file loaded on a die, run on numpy arrays or on pictures
that are already on the die (decoded frames), synchronously or with up to
any number of requests in flight (the op graph and its streams are in
`_model_session`)."""
from __future__ import annotations

import collections
import concurrent.futures
import os
import weakref
from typing import Any, Deque, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import runtime
from ._model_session import Outputs, Shaping, TensorSpec, _Session
from ._pictures import DevicePicture

__all__ = ["Model", "TensorSpec", "DevicePicture"]

ArrayLike = Union[npt.ArrayLike, Sequence[npt.ArrayLike], Mapping[str, npt.ArrayLike]]
ModelInput = Union[ArrayLike, DevicePicture]


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
