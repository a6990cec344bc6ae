"""What a model's outputs say of a picture: the result fields of one line of
results.jsonl (class, label, score, the top k and the model's other
outputs), and the checks that a model suits the main job."""
from __future__ import annotations

import math
import pathlib
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from .errors import UserError


@dataclass(frozen=True)
class Classifier:
    """How outputs become result fields. `labels` name the classes of the
    first output (None: class numbers as text); `softmax` turns its values
    into probabilities; `top` > 1 adds the `top` best as a list."""

    output_names: Sequence[str]
    labels: Optional[Sequence[str]] = None
    softmax: bool = False
    top: int = 1

    def fields(self, outputs: Any) -> Dict[str, Any]:
        arrays = list(outputs) if isinstance(outputs, tuple) else [outputs]
        first = arrays[0]
        if self.top == 1 and not self.softmax and type(first) is np.ndarray and first.dtype.kind == "f" and first.size:
            # The main job's case, at every picture: the first highest score,
            # as the sort below finds it, unless argmax stopped at a NaN
            # (the sort puts NaNs last).
            flat = first.reshape(-1)
            best = int(flat.argmax())
            if not math.isnan(flat[best]):
                fields = {"class": best, "label": self.label(best), "score": _number(flat[best])}
                self._other_outputs(fields, arrays)
                return fields
        scores = np.asarray(first, np.float64).reshape(-1)
        if self.softmax:
            shifted = np.exp(scores - scores.max())
            scores = shifted / shifted.sum()
        order = np.argsort(-scores, kind="stable")[: self.top]
        best = int(order[0])
        fields: Dict[str, Any] = {"class": best, "label": self.label(best), "score": _number(scores[best])}
        if self.top > 1:
            fields["top"] = [{"class": int(i), "label": self.label(int(i)), "score": _number(scores[i])} for i in order]
        self._other_outputs(fields, arrays)
        return fields

    def _other_outputs(self, fields: Dict[str, Any], arrays: List[Any]) -> None:
        for name, array in zip(self.output_names[1:], arrays[1:]):
            values = np.asarray(array).reshape(-1)
            fields[name] = _number(values[0]) if values.size == 1 else [_number(v) for v in values[:64]]

    def label(self, index: int) -> str:
        if self.labels is not None and index < len(self.labels):
            return self.labels[index]
        return f"class {index}"


def _number(value: Any) -> Optional[float]:
    number = float(value)
    return round(number, 6) if math.isfinite(number) else None


def read_labels(path: pathlib.Path) -> List[str]:
    """One label a line; blank lines at the end are not labels."""
    try:
        lines = path.read_text(encoding="utf-8").splitlines()
    except FileNotFoundError:
        raise UserError(f"{path}: no such file or folder") from None
    except (OSError, UnicodeDecodeError) as error:
        raise UserError(f"{path}: the labels cannot be read ({getattr(error, 'strerror', None) or error})") from None
    while lines and not lines[-1].strip():
        lines.pop()
    if not lines:
        raise UserError(f"{path}: the labels file is empty (one label a line)")
    return [line.strip() for line in lines]


def class_labels(labels: Optional[List[str]], path: Optional[pathlib.Path], classes: int,
                 builtin: Optional[Sequence[str]]) -> Optional[Sequence[str]]:
    """The labels of the first output's `classes` classes: the user's file
    (`labels`, read from `path`) whatever the model, else the built-in
    model's names (`builtin`), else None. A file with fewer labels than
    classes is refused: results would mix names and numbers."""
    if labels is None:
        return builtin
    if len(labels) < classes:
        raise UserError(f"{path}: {len(labels)} label{'s' if len(labels) != 1 else ''} for the model's {classes} "
                        "classes (one label a line, in the order of its first output)")
    return labels


def softmax_twice(path: Optional[pathlib.Path], output: str) -> Optional[str]:
    """With --softmax: a warning when the model's first output `output` is
    already a Softmax node's (probabilities, which a second softmax flattens:
    0.997 among nine classes reads 0.25); None otherwise, or when the file's
    graph cannot be read."""
    if path is None:
        return None
    try:
        import onnx  # type: ignore[import]

        graph = onnx.load(str(path), load_external_data=False).graph
    except ImportError:
        return None
    except Exception:  # not an ONNX graph: nothing to tell
        return None
    if not any(node.op_type == "Softmax" and output in node.output for node in graph.node):
        return None
    return (f"{path.name}: its first output {output!r} is already a softmax's (probabilities): --softmax applies "
            "another, which flattens them; leave it out to read the model's own")


def picture_input(model: Any, path: pathlib.Path) -> None:
    """The main job feeds pictures: one float input of 1 x 3 x H x W."""
    inputs = model.inputs
    if len(inputs) != 1:
        raise UserError(f"{path}: the model must take one input (an image tensor), not {len(inputs)}")
    shape = tuple(inputs[0].shape)
    if len(shape) != 4 or shape[0] != 1 or shape[1] != 3:
        raise UserError(f"{path}: the model's input must be 1 x 3 x height x width, not {list(shape)}")
    if len(model.outputs) == 0:
        raise UserError(f"{path}: the model has no output")
