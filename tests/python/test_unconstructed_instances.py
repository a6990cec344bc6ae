"""Instances whose constructor never ran (`T.__new__(T)`, a subclass using
itself before `super().__init__()`) are refused with TypeError by every
method, property, buffer and handle conversion of every class, found by
introspection; the sweep runs in a child process so that a crash is named."""
import subprocess
import sys

from conftest import quillon, testctl

NEVER = "never constructed"
SKIPPED = {"__init__", "__new__", "__setstate__"}  # constructors run on such instances by design


def attempts(cls):
    """(what, call) for every way of using a never-constructed `cls`."""
    obj = cls.__new__(cls)
    yield "handle", lambda: testctl.handle_address(obj)
    yield "buffer", lambda: memoryview(obj)
    for owner in cls.__mro__:
        if not owner.__module__.startswith(quillon.__name__):
            continue
        for name, member in vars(owner).items():
            if type(member) is property:
                yield name, lambda name=name: getattr(obj, name)
                if member.fset is not None:
                    yield f"{name}=", lambda name=name: setattr(obj, name, 0)
            elif callable(member) and name not in SKIPPED and not isinstance(member, (type, cls)):
                # Arguments are counted before any is converted; self is converted first.
                for count in range(6):
                    yield name, lambda member=member, count=count: member(obj, *[None] * count)


class EarlyReader(quillon.kyme.YUVReader):
    def __init__(self):
        self.init()  # before super().__init__()


def sweep():
    for submodule in ("kycm", "kyme", "kycl", "kyce", "kyml"):
        for cls in [c for c in vars(getattr(quillon, submodule)).values() if isinstance(c, type)]:
            extra = [("subclass", EarlyReader)] if cls is quillon.kyme.YUVReader else []
            for what, call in [*attempts(cls), *extra]:
                print(f"{submodule}.{cls.__name__} {what}", flush=True)
                try:
                    call()
                except TypeError as error:
                    if NEVER in str(error) or "incompatible function arguments" in str(error):
                        continue
                    if what == "buffer" and "bytes-like" in str(error):
                        continue
                    print(f"FAIL {submodule}.{cls.__name__} {what}: {error}", flush=True)
                else:
                    print(f"FAIL {submodule}.{cls.__name__} {what}: accepted", flush=True)


def test_every_member_of_every_class_refuses_a_never_constructed_instance():
    child = subprocess.run([sys.executable, "-c", "import test_unconstructed_instances as t; t.sweep()"],
                           cwd=__file__.rsplit("/", 1)[0], capture_output=True, text=True, timeout=300)
    lines = child.stdout.splitlines()
    assert child.returncode == 0, f"crashed ({child.returncode}) at {lines[-1:]} {child.stderr[-500:]}"
    assert [line for line in lines if line.startswith("FAIL")] == []
    assert len(lines) > 300  # the sweep found the classes
