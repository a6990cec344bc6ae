# Worker of the hostile-argument sweep (test_hostile_arguments.py).
#
# The plan is found by introspection of the five submodules, the same in the
# parent and in every worker, so a callable added later is swept without
# editing this file. A call is a target ("kycm.memcpy", "kyme.frame.__init__",
# "kyme.YUVReader.init", "get kyme.frame.data", "set kyme.frame.width") and
# value names ("cap 0x1", "stale tensor", "uninit kyme.frame"); the values are
# made here, in the runtime state the worker runs in.
#
#   hostile_worker.py STATE FIRST LAST DATA_DIR
# makes calls [FIRST, LAST) of the state's plan and writes the number of each
# call on standard output, flushed, before making it, then "done".
import ctypes
import functools
import mmap
import os
import random
import re
import sys
import warnings

import numpy as np

STATES = ("before", "initialised", "after")
SUBMODULES = ("kycm", "kyme", "kycl", "kyce", "kyml", "_native")
# Calls per callable at most; the whole plan stays within a few minutes.
MAX_CALLS_PER_TARGET = 400
# Integers at the edges of every C integer width, and sizes far beyond memory.
INTEGERS = [0, 1, -1, 2**31 - 1, 2**31, -(2**31), 2**32, 2**32 - 1, 2**63 - 1, 2**63, -(2**63), 2**64, 1 << 40]
# Host addresses that are never readable: null, the first page, a page just
# unmapped, kernel space and a non-canonical address.
UNREADABLE = ["0x0", "0x1", "0xfff", "unmapped", "0xffff800000000000", "0x8000000000000000"]
HANDLE_KINDS = ["context", "device block", "host block", "numpy block", "tensor", "dataset", "data buffer"]
ARRAYS = {
    "0d": np.array(7, dtype=np.uint8), "empty": np.zeros(0, dtype=np.uint8),
    "strided": np.arange(64, dtype=np.uint8)[::3], "big endian": np.arange(8, dtype=">u2"),
    "object": np.array([object(), None], dtype=object), "float64": np.arange(8, dtype=np.float64),
    "2d uint8": np.arange(64, dtype=np.uint8).reshape(8, 8)[:, ::2],
    "readonly": np.frombuffer(b"\x01" * 32, dtype=np.uint8),
}
SIMPLE = {
    "none": None, "str": "hostile", "bytes": b"\x00\xff", "float": 2.5, "nan": float("nan"), "list": [],
    "list of none": [None, None], "dict": {}, "object": object(), "true": True, "false": False,
    "str nul": "a\x00b", "str surrogate": "\udc80", "str newline": "a\n[FATAL] b", "str long": "x" * 65536,
    "path dir": "/", "path dev zero": "/dev/zero", "path missing": "/nonexistent/hostile",
}
# Arguments named like a time-out are only given short ones (by rule, so that
# later additions follow it): such a call may wait as long as it is told.
BLOCKING = re.compile(r"wait|sync|sleep|poll|timeout", re.IGNORECASE)
SIGNATURE = re.compile(r"^(?:\d+\.\s*)?[\w.]*\((.*)\)\s*->")


def signatures(doc):
    # [(name, type)] of each overload in a pybind11 docstring.
    found = []
    for line in (doc or "").replace("_quillon_pybind11.", "").splitlines():
        match = SIGNATURE.match(line.strip())
        if match:
            parts = [p.split("=")[0].partition(":") for p in re.split(r",\s*(?![^\[]*\])", match.group(1)) if p]
            found.append([(name.strip(), kind.strip()) for name, _, kind in parts])
    return found


def attach(quillon):
    # The package's native helper (demuxing, muxing, pictures for the
    # encoder) takes Python's arguments as the module does: it is swept as
    # one more submodule.
    import importlib

    quillon._native = importlib.import_module("quillon._native")
    return quillon


def public(obj):
    return [(name, getattr(obj, name)) for name in sorted(dir(obj)) if not name.startswith("_")]


def lookup(quillon, path):
    return functools.reduce(getattr, path.split("."), quillon)


@functools.lru_cache(maxsize=None)
def classes(quillon, enums):
    return [f"{sub}.{name}" for sub in SUBMODULES for name, obj in public(getattr(quillon, sub))
            if isinstance(obj, type) and hasattr(obj, "__members__") == enums]


def surface(quillon):
    # (target, overloads) of every public function, constructor, method and
    # property; the first parameter of a method or property is its instance.
    targets = []
    for sub in SUBMODULES:
        for name, obj in public(getattr(quillon, sub)):
            path = f"{sub}.{name}"
            if not isinstance(obj, type):
                targets += [(path, signatures(obj.__doc__) or [[]])] if callable(obj) else []
                continue
            ctor = [[p for p in ps if p[0] != "self"] for ps in signatures(obj.__init__.__doc__)]
            targets.append((f"{path}.__init__", ctor or [[]]))
            me = [("self", path)]
            for attr, member in sorted(vars(obj).items()):
                if attr.startswith("_"):
                    continue
                if isinstance(member, property):
                    targets.append((f"get {path}.{attr}", [me]))
                    if member.fset is not None:
                        value = [ps[1:2] for ps in signatures(member.fset.__doc__)] or [[("value", "")]]
                        targets.append((f"set {path}.{attr}", [me + value[0]]))
                elif callable(member):
                    params = [me + [p for p in ps if p[0] != "self"] for ps in signatures(member.__doc__)]
                    targets.append((f"{path}.{attr}", params or [me]))
    return targets


def baseline(kind, quillon):
    # A plausible value name for a parameter of the given type.
    if kind in classes(quillon, False):
        return f"ready {kind}"
    if kind in classes(quillon, True):
        return f"enum {kind} 0"
    if kind.startswith("numpy.ndarray"):
        return "numpy good " + (re.findall(r"numpy\.(\w+)\]", kind) or ["uint8"])[0]
    plain = {"int": "int 1", "float": "float", "bool": "false", "str": "path data", "Optional[str]": "path data",
             "capsule": "live device block", "list": "list"}
    return plain.get(kind, "list" if kind.startswith("List") else "none")


def plan(quillon, state):
    # The calls of the sweep for one state, in a fixed order.
    hostile = list(SIMPLE) + [f"int {v}" for v in INTEGERS] + [f"cap {a}" for a in UNREADABLE]
    hostile += ["named capsule", "cap numpy block", "cap freed host block"] + [f"numpy {k}" for k in ARRAYS]
    hostile += [f"{how} {cls}" for cls in classes(quillon, False) for how in ("ready", "uninit")]
    hostile += [f"enum {classes(quillon, True)[0]} 999"]
    if state != "before":
        hostile += [f"{how} {kind}" for how in ("live", "stale") for kind in HANDLE_KINDS]
    small = [v for v in hostile if v.startswith(("int ", "cap ", "live ", "stale ", "uninit ", "none", "numpy empty"))]
    calls = []
    for target, overloads in surface(quillon):
        rng = random.Random(f"{target} {state}")
        chosen = []
        for params in overloads:
            base = [baseline(kind, quillon) for _, kind in params]
            # Fewer arguments than required, and one more than any overload.
            chosen += [tuple(base), tuple(base[:-1]) if base else ("int 1",), (*base, "int 1")]
            for i, (name, _) in enumerate(params):
                chosen += [(*base[:i], value, *base[i + 1:]) for value in hostile
                           if not (BLOCKING.search(target) and BLOCKING.search(name) and value.startswith("int ")
                                   and value != "int 0")]
            if params and params[0][0] == "self":
                chosen += [(f"{how} {params[0][1]}", *base[1:]) for how in ("new", "released")]
            # Two hostile values at once, sampled.
            pairs = [(i, j) for i in range(len(params)) for j in range(i + 1, len(params))]
            for _ in range(min(len(pairs) * 40, 150) if pairs else 0):
                i, j = rng.choice(pairs)
                args = list(base)
                args[i], args[j] = rng.choice(small), rng.choice(small)
                chosen.append(tuple(args))
        unique = list(dict.fromkeys(chosen))
        if len(unique) > MAX_CALLS_PER_TARGET:
            unique = unique[:3] + rng.sample(unique[3:], MAX_CALLS_PER_TARGET - 3)
        calls += [(target, args) for args in unique]
    return calls


def capsule(address, name=None):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return new(address, name, None)


class Values:
    # The values behind the names, in the worker's state.

    def __init__(self, quillon, state, data_dir):
        self.q, self.data, self.instances, self.keep, self.live, self.stale = quillon, data_dir, {}, [], {}, {}
        self.numpy_block = np.arange(16, dtype=np.uint8)
        # A page reserved without access for the worker's life: an unmapped page could be
        # mapped again by the allocator and become readable memory, which the helpers trust.
        libc = ctypes.CDLL(None)
        libc.mmap.restype, libc.mmap.argtypes = ctypes.c_void_p, [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                                                                 ctypes.c_int, ctypes.c_int, ctypes.c_long]
        self.unmapped = libc.mmap(None, mmap.PAGESIZE, mmap.PROT_NONE if hasattr(mmap, "PROT_NONE") else 0,
                                  mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
        if state != "before":
            self.stale = self.handles()
            kycm = quillon.kycm
            for kind, release in (("context", kycm.destroyContext), ("device block", kycm.free),
                                  ("host block", kycm.freeHost), ("tensor", kycm.destroyTensor),
                                  ("dataset", kycm.destroyDataset), ("data buffer", kycm.destroyDataBuffer)):
                release(self.stale[kind])
            # After uninitialisation these are the handles it released.
            self.live = self.handles()

    def handles(self):
        kycm = self.q.kycm
        kycm.initialize()
        info, shape = kycm.deviceInfo(), kycm.shape()
        info.deviceType, info.deviceIdx = kycm.deviceType.kycmDE_KYCC, 0
        shape.ndims, shape.shapes = 1, [16]
        block, array = kycm.malloc(64), np.zeros(64, dtype=np.uint8)
        self.keep.append(array)
        return {"context": kycm.createContext(0), "device block": block, "host block": kycm.mallocHost(64),
                "numpy block": kycm.getHandleFromNumpy(array),
                "tensor": kycm.createTensor(info, shape, kycm.dType.kycmDT_FLOAT32),
                "dataset": kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER),
                "data buffer": kycm.createDataBuffer(info, block, 64)}

    def instance(self, how, path):
        # "ready": constructed and initialised; "new": constructed only;
        # "released": initialised, then released; "uninit": never constructed.
        if (how, path) in self.instances and how != "new":
            return self.instances[how, path]
        cls = lookup(self.q, path)
        value = cls.__new__(cls) if how == "uninit" else self.construct(cls, path)
        for step, wanted in (("init", how in ("ready", "released")), ("release", how == "released")):
            if wanted and hasattr(value, step):
                attempt(getattr(value, step))
        self.instances[how, path] = value
        return value

    def construct(self, cls, path):
        # With the first overload that takes plausible arguments; a reader
        # gets a file of its kind.
        data = next((f for key, f in (("Jpeg", "picture.jpg"), ("YUV", "pictures.yuv")) if key in path), "stream.h264")
        plain = {"str": os.path.join(self.data, data), "int": 16}
        built = (attempt(cls, *[plain.get(kind) or self.value(baseline(kind, self.q)) for name, kind in params
                                if name != "self"]) for params in signatures(cls.__init__.__doc__))
        return next((value for value in built if value is not None), None) or cls.__new__(cls)

    def value(self, name):
        kind, _, rest = name.partition(" ")
        special = {"path data": lambda: os.path.join(self.data, "stream.h264"),
                   "named capsule": lambda: capsule(0x1000, b"foreign"),
                   "cap unmapped": lambda: capsule(self.unmapped),
                   "cap numpy block": lambda: self.q.kycm.getHandleFromNumpy(self.numpy_block),
                   "cap freed host block": lambda: self.stale.get("host block") or capsule(0x10)}
        if name in SIMPLE or name in special:
            return SIMPLE[name] if name in SIMPLE else special[name]()
        if kind in ("int", "cap"):
            return int(rest) if kind == "int" else capsule(int(rest, 16))
        if kind in ("live", "stale"):
            return (self.live if kind == "live" else {}).get(rest) or self.stale.get(rest)
        if kind in ("ready", "new", "released", "uninit"):
            return self.instance(kind, rest)
        if kind == "enum":
            path, _, member = rest.rpartition(" ")
            members = list(lookup(self.q, path).__members__.values())
            preferred = [m for m in members if m.name.endswith(("YUV420P", "BASELINE"))]
            return (preferred + members)[0] if member == "0" else int(member)
        return np.arange(8, dtype=rest[5:]) if rest.startswith("good ") else ARRAYS[rest]


def attempt(function, *args):
    try:
        return function(*args)
    except Exception:  # refusals are the expected outcome
        return None


def enter_state(quillon, state):
    # Cheap enough to run before every call.
    up = state == "initialised"
    for sub, name in zip(("kycm", "kyme", "kyml"), ("initialize", "systemInitialize", "init") if up
                         else ("uninitialize", "systemUninitialize", "shutDown")):
        getattr(getattr(quillon, sub), name)()


def resolve(quillon, target):
    # The callable behind a target; for a property a function of (instance[, value]).
    if target.startswith(("get ", "set ")):
        path, _, attr = target[4:].rpartition(".")
        prop = vars(lookup(quillon, path))[attr]
        return prop.fget if target.startswith("get ") else prop.fset
    return lookup(quillon, target.removesuffix(".__init__"))


def make_data(directory):
    # Small valid inputs for the readers; the JPEG (8x8 grey, baseline) is
    # written by hand, which keeps the sweep free of image libraries.
    os.makedirs(directory, exist_ok=True)
    for name, data in (("stream.h264", b"\x00\x00\x00\x01\x67\x42\x00\x0a\x00\x00\x01\x68\xce" +
                        b"\x00\x00\x01\x65\x88\x84" * 3), ("pictures.yuv", bytes(range(256)) * 6),
                       ("picture.jpg", bytes.fromhex("ffd8ffdb004300" + "01" * 64 + "ffc0000b080008000801011100"
                        "ffc4001f0000010501010101010100000000000000000102030405060708090a0b"
                        "ffda0008010100003f00d2cf20ffd9"))):
        with open(os.path.join(directory, name), "wb") as out:
            out.write(data)


def main(state, first, last, data_dir):
    warnings.simplefilter("ignore")
    if os.environ.get("QUILLON_SANITIZER") != "1":
        # Sizes far beyond memory then fail at once instead of being
        # zero-filled for seconds (under AddressSanitizer, whose shadow needs
        # the address space, the sweep sets max_allocation_size_mb instead).
        import resource

        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    import _quillon_pybind11

    quillon = attach(_quillon_pybind11)
    calls = plan(quillon, state)
    if state == "after":
        enter_state(quillon, "initialised")
    values = Values(quillon, state, data_dir)
    for index in range(int(first), min(int(last), len(calls))):
        target, names = calls[index]
        print(index, flush=True)
        try:
            enter_state(quillon, state)
            resolve(quillon, target)(*[values.value(n) for n in names])
        except Exception:  # refusals are the expected outcome
            pass
    print("done", flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:])
