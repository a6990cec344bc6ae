"""Every method, property, buffer and handle conversion of every class refuses an instance whose
constructor never ran (or None in its place) with TypeError (swept in a child process, so that a crash is named)."""
import subprocess
import sys

from conftest import quillon, testctl

class EarlyReader(quillon.kyme.YUVReader):
    def __init__(self):
        self.init()  # before super().__init__()


def attempts(cls):
    obj = cls.__new__(cls)
    yield "handle", lambda: testctl.handle_address(obj)
    yield "buffer", lambda: memoryview(obj)
    for owner in [c for c in cls.__mro__ if c.__module__.startswith(quillon.__name__)]:
        for name, member in vars(owner).items():
            if type(member) is property:
                yield name, lambda name=name: getattr(obj, name)
                yield f"{name}=", lambda name=name: setattr(obj, name, 0)
            elif callable(member) and not isinstance(member, (type, cls)) and name not in (
                    "__init__", "__new__", "__setstate__"):  # constructors run on such instances by design
                # Arguments are counted before any converts, and self converts first.
                yield f"{name}(None)", lambda member=member: member(None)  # None is no instance either
                for count in range(6):
                    yield name, lambda member=member, count=count: member(obj, *[None] * count)


def sweep():
    for sub in ("kycm", "kyme", "kycl", "kyce", "kyml"):
        for cls in [c for c in vars(getattr(quillon, sub)).values() if isinstance(c, type)]:
            extra = [("subclass", EarlyReader)] if cls is quillon.kyme.YUVReader else []
            for what, call in [*attempts(cls), *extra]:
                print(f"{sub}.{cls.__name__} {what}", flush=True)
                try:
                    call()
                    print(f"FAIL {sub}.{cls.__name__} {what}: accepted", flush=True)
                except (TypeError, AttributeError) as error:  # AttributeError: read-only property
                    if not any(text in str(error) for text in ("never constructed", "incompatible function",
                                                               "bytes-like", "no setter", "__entries")):
                        print(f"FAIL {sub}.{cls.__name__} {what}: {error}", flush=True)


def test_every_member_of_every_class_refuses_a_never_constructed_instance():
    child = subprocess.run([sys.executable, "-c", "import test_unconstructed_instances as t; t.sweep()"],
                           cwd=__file__.rsplit("/", 1)[0], capture_output=True, text=True, timeout=300)
    lines = child.stdout.splitlines()
    assert child.returncode == 0, f"crashed ({child.returncode}) at {lines[-1:]} {child.stderr[-500:]}"
    assert [line for line in lines if line.startswith("FAIL")] == [] and len(lines) > 300
