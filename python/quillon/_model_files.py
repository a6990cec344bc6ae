"""What a model file declares that the runtime does not report: its input
names and element types and its output names, read from the ONNX graph
with the onnx package when it is there."""
from __future__ import annotations

import importlib
import threading
import warnings
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

# ONNX element types the runtime takes as inputs.
_ONNX_DTYPES: Dict[int, Any] = {1: np.float32, 2: np.uint8, 3: np.int8, 4: np.uint16, 5: np.int16, 6: np.int32,
                                10: np.float16}


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
