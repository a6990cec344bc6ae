"""The stub writer turns the binding layer's signature types into types mypy
accepts, without touching parameter names or types already complete."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "python"))
import make_stubs  # noqa: E402

GENERATED = """from typing import List
import numpy

class mode:
    __members__: ClassVar[dict] = ...  # read-only
    __entries: ClassVar[dict] = ...
    A: ClassVar[mode] = ...

class record:
    table: dict
    handles: List[capsule]

def f(arg0: capsule, capsule: int, arg2: numpy.ndarray, arg3: list, arg4: sequence = ...) -> tuple: ...
def g(arg0: Callable[[capsule,list],None], arg1: Optional[buffer]) -> numpy.ndarray[numpy.uint8]: ...
def h() -> capsule: ...
"""


def test_binding_types_become_typed_and_names_stay():
    stub = make_stubs.tidy(GENERATED)
    lines = stub.splitlines()
    assert "from typing import Any, Callable, ClassVar, Dict, List, Optional, Sequence, Tuple" in lines
    assert "import numpy.typing" in lines and "_Capsule = Any" in lines
    assert "    __members__: ClassVar[Dict[str, mode]] = ...  # read-only" in lines
    assert not any("__entries" in line for line in lines)
    assert "    table: Dict[Any, Any]" in lines and "    handles: List[_Capsule]" in lines
    assert ("def f(arg0: _Capsule, capsule: int, arg2: numpy.typing.NDArray[Any], arg3: List[Any], "
            "arg4: Sequence[Any] = ...) -> Tuple[Any, ...]: ...") in lines
    assert ("def g(arg0: Callable[[_Capsule,List[Any]],None], arg1: Optional[Any]) -> "
            "numpy.typing.NDArray[numpy.uint8]: ...") in lines
    assert "def h() -> _Capsule: ..." in lines
    # The handle alias needs Any even where no other type uses it.
    assert "from typing import Any" in make_stubs.tidy("def h() -> capsule: ...\n").splitlines()
