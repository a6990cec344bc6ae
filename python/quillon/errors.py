"""Errors of the card's libraries as Python exceptions.

Every failure of a library call made by the package raises an `Error`: one
subclass per library (`CommonRuntimeError` for kycm, `MediaError` for kyme,
`InferenceError` for kycl, `PreprocessError` for kyce, `ManagementError` for
kyml), carrying the library's return `code`, the `library` that returned it
and the common runtime's `description` of the code. `Error` derives from
`RuntimeError`, which the module's own value-returning functions raise, so
code written against the module keeps catching what it caught.
"""
from __future__ import annotations

import enum
import re
from typing import Any, Callable, Dict, NoReturn, Optional, Type

from _quillon_pybind11 import kycm, kyme, kyml

__all__ = ["Error", "CommonRuntimeError", "MediaError", "InferenceError", "PreprocessError", "ManagementError",
           "describe"]


class Code(enum.IntEnum):
    """The return codes the package acts on, by their names in the
    libraries' error table (the module names two of them itself)."""

    SUCCESS = 0
    KYML_ERROR_INITIALIZED = int(kyml.opStatus.KYML_ERROR_INITIALIZED)
    KYCM_ALREADY_INITIALIZED = 100003
    KYCM_INVALID_DEVICE = 100004
    KYCL_UNSUPPORTED_MODEL = 302004
    KYME_WARN_EOS = int(kyme.kymeER_RSLT_WARN_EOS)
    KYME_WARN_DAMAGED = 401003  # the picture handed out last was decoded with damage concealed
    KYME_ALREADY_INITIALIZED = 402003
    KYME_INVALID_CHANNEL = 402004
    KYME_CHANNEL_BUSY = 402005
    KYME_TIMEOUT = 402007


def describe(code: int) -> str:
    """The common runtime's description of a return code of any of the
    five libraries, as `kycm.getErrDesc` gives it."""
    try:
        return str(kycm.getErrDesc(int(code) & 0xFFFFFFFF))
    except RuntimeError:  # no description for it
        return f"Unknown error code {code}."


class Error(RuntimeError):
    """A library call failed.

    `code` is the library's return code, `library` the library's name
    ("kycm", "kyme", "kycl", "kyce" or "kyml"), `description` what the code
    means and `operation` what the package was doing when it failed.
    """

    library = ""

    def __init__(self, code: int, operation: str, *, library: Optional[str] = None) -> None:
        self.code = int(code)
        self.operation = operation
        if library is not None:
            self.library = library
        self.description = describe(self.code)
        super().__init__(f"{operation}: {self.description.rstrip('.')} ({self.library} code {self.code})")

    def __reduce__(self) -> tuple[Callable[..., Error], tuple[int, str]]:
        return type(self), (self.code, self.operation)


class CommonRuntimeError(Error):
    """A call of the common runtime (kycm: devices, memory, datasets) failed."""

    library = "kycm"


class MediaError(Error):
    """A call of the media engine (kyme: decoding and encoding) failed."""

    library = "kyme"


class InferenceError(Error):
    """A call of the accelerate language (kycl: models, graphs, streams) failed."""

    library = "kycl"


class PreprocessError(Error):
    """A call of the preprocess op engine (kyce: image operations) failed."""

    library = "kyce"


class ManagementError(Error):
    """A call of the management library (kyml: cards and dies) failed."""

    library = "kyml"


_BY_LIBRARY: Dict[str, Type[Error]] = {kind.library: kind
                                       for kind in (CommonRuntimeError, MediaError, InferenceError, PreprocessError,
                                                    ManagementError)}
# The module's value-returning functions end their message with the code.
_CODE_AT_END = re.compile(r"ret: (-?\d+)\.$")


def error_class(library: str) -> Type[Error]:
    """The subclass of `Error` for a library's name."""
    return _BY_LIBRARY[library]


def check(code: int, library: str, operation: str) -> None:
    """Raises the library's `Error` for a non-zero return code."""
    if code != 0:
        raise _BY_LIBRARY[library](int(code), operation)


def failed(error: RuntimeError, library: str, operation: str) -> NoReturn:
    """Raises the library's `Error` for the RuntimeError a value-returning
    function of the module raised (its message ends with the code)."""
    found = _CODE_AT_END.search(str(error))
    code = int(found.group(1)) & 0xFFFFFFFF if found else 0
    raise _BY_LIBRARY[library](code, operation) from error


def call(function: Callable[[], Any], library: str, operation: str) -> Any:
    """The result of a value-returning function of the module, its failure
    turned into the library's `Error`."""
    try:
        return function()
    except RuntimeError as error:
        if isinstance(error, Error):
            raise
        failed(error, library, operation)
