"""Worker of the hostile-argument sweep (test_hostile_arguments.py).

The plan is built by introspection of the module's five submodules, so a
callable added later is swept without editing this file. Every call of the
plan is named by a target ("kycm.memcpy", "kyme.frame.__init__",
"kyme.YUVReader.init", "get kyme.frame.data", "set kyme.frame.width") and a
tuple of value names ("cap 0x1", "stale tensor", "uninit kyme.frame"); the
values behind the names are made in the worker, in the runtime state the
worker was started for.

Run as a program it executes a slice of the plan the parent wrote:
    hostile_worker.py PLAN_FILE STATE FIRST LAST DATA_DIR
skipping the targets listed in PLAN_FILE's "skip" entry, and writes "call N" on standard output, flushed, before call N, so the
parent knows which call a crash, abort or hang happened in.
"""
import ctypes
import json
import mmap
import os
import random
import re
import sys

STATES = ("before", "initialised", "after")
SUBMODULES = ("kycm", "kyme", "kycl", "kyce", "kyml")
# Calls per callable at most; the whole plan stays within a few minutes.
MAX_CALLS_PER_TARGET = 400

# Integers at the edges of every C integer width, and sizes far beyond memory.
INTEGERS = [0, 1, -1, 2**31 - 1, 2**31, -(2**31), 2**32, 2**32 - 1, 2**63 - 1, 2**63, -(2**63), 2**64, 1 << 40]
NUMPY_KINDS = ["0d", "empty", "strided", "big endian", "object", "float64", "2d uint8", "readonly"]
# Host addresses that are never readable: null, the first page, a page just
# unmapped, kernel space and a non-canonical address. Readability is probed
# before anything reads them, so each must be refused.
UNREADABLE_ADDRESSES = ["0x0", "0x1", "0xfff", "unmapped", "0xffff800000000000", "0x8000000000000000"]
# Handles of every kind the runtime gives out, live and destroyed.
HANDLE_KINDS = ["context", "device block", "host block", "numpy block", "tensor", "dataset", "data buffer"]

# Functions that may block for as long as their argument says are only given
# short time-outs (by rule, so later additions follow it).
BLOCKING = re.compile(r"wait|sync|sleep|poll|timeout", re.IGNORECASE)


def load_module():
    import _quillon_pybind11 as quillon

    return quillon


# --------------------------------------------------------------- signatures

def _split_top(text):
    parts, depth, current = [], 0, ""
    for ch in text:
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += ch
    if current.strip():
        parts.append(current.strip())
    return parts


def signatures(doc):
    """Parameter lists (name, type, has default) of each overload in a
    pybind11 docstring."""
    found = []
    for line in (doc or "").splitlines():
        line = re.sub(r"^\s*\d+\.\s*", "", line)
        match = re.match(r"^[\w.]*\((.*)\)\s*->", line)
        if not match:
            continue
        params = []
        for part in _split_top(match.group(1)):
            name, _, rest = part.partition(":")
            kind, _, default = rest.partition("=")
            params.append((name.strip(), kind.strip(), bool(default)))
        found.append(params)
    return found


# --------------------------------------------------------------- the plan

def _public(obj):
    return [n for n in sorted(dir(obj)) if not n.startswith("_")]


def _is_enum(cls):
    return hasattr(cls, "__members__")


def surface(quillon):
    """(target, parameter lists) of every public callable, constructor,
    method and property of the five submodules; the first parameter of a
    method or property is its instance."""
    targets = []
    for sub in SUBMODULES:
        module = getattr(quillon, sub)
        for name in _public(module):
            obj = getattr(module, name)
            if isinstance(obj, type):
                cls_name = f"{sub}.{name}"
                ctor = signatures(obj.__init__.__doc__)
                targets.append((f"{cls_name}.__init__", [[(n, t, d) for n, t, d in p if n != "self"] for p in ctor]))
                for attr in _public(obj):
                    member = obj.__dict__.get(attr)
                    if member is None:
                        continue
                    if isinstance(member, property):
                        getter = signatures(member.fget.__doc__) if member.fget else []
                        targets.append((f"get {cls_name}.{attr}", [[("self", cls_name, False)]]))
                        if member.fset is not None:
                            value = [p[1] for p in signatures(member.fset.__doc__)[0][1:2]] or [""]
                            targets.append((f"set {cls_name}.{attr}",
                                            [[("self", cls_name, False), ("value", value[0], False)]]))
                        del getter
                    elif callable(member) and not _is_enum(obj):
                        params = signatures(member.__doc__)
                        fixed = [[("self", cls_name, False)] + [p for p in ps if p[0] != "self"] for ps in params]
                        targets.append((f"{cls_name}.{attr}", fixed or [[("self", cls_name, False)]]))
            elif callable(obj):
                targets.append((f"{sub}.{name}", signatures(obj.__doc__) or [[]]))
    return targets


def record_classes(quillon):
    return [f"{sub}.{n}" for sub in SUBMODULES for n in _public(getattr(quillon, sub))
            if isinstance(getattr(getattr(quillon, sub), n), type) and not _is_enum(getattr(getattr(quillon, sub), n))]


def enum_classes(quillon):
    return [f"{sub}.{n}" for sub in SUBMODULES for n in _public(getattr(quillon, sub))
            if isinstance(getattr(getattr(quillon, sub), n), type) and _is_enum(getattr(getattr(quillon, sub), n))]


def hostile_pool(quillon, state):
    """Every hostile value name for the state."""
    pool = ["none", "str", "bytes", "float", "nan", "list", "list of none", "dict", "object", "true"]
    pool += [f"int {v}" for v in INTEGERS]
    pool += [f"cap {a}" for a in UNREADABLE_ADDRESSES] + ["named capsule", "cap numpy block", "cap freed host block"]
    pool += [f"numpy {k}" for k in NUMPY_KINDS]
    pool += ["str nul", "str surrogate", "str newline", "str long", "path dir", "path dev zero", "path missing"]
    for cls in record_classes(quillon):
        pool += [f"record {cls}", f"uninit {cls}"]
    pool += [f"enum {e} 999" for e in enum_classes(quillon)[:1]]
    if state != "before":
        pool += [f"live {k}" for k in HANDLE_KINDS] + [f"stale {k}" for k in HANDLE_KINDS]
    return pool


def baseline(kind, quillon):
    """A plausible value name for a parameter of the given annotated type."""
    kind = kind.replace("_quillon_pybind11.", "")
    if kind in record_classes(quillon):
        return f"ready {kind}"
    if kind in enum_classes(quillon):
        return f"enum {kind} 0"
    if kind == "int":
        return "int 1"
    if kind == "float":
        return "float"
    if kind == "bool":
        return "false"
    if kind in ("str", "Optional[str]"):
        return "path data"
    if kind == "capsule":
        return "live device block"
    if kind.startswith("numpy.ndarray"):
        dtype = re.search(r"numpy\.(\w+)\]", kind)
        return f"numpy good {dtype.group(1) if dtype else 'uint8'}"
    if kind.startswith("List") or kind == "list":
        return "list"
    return "none"


def plan(quillon, state):
    """The calls of the sweep for one state, in a fixed order."""
    pool = hostile_pool(quillon, state)
    small = [v for v in pool if v.startswith(("int ", "cap ", "live ", "stale ", "uninit ", "none", "numpy empty"))]
    calls = []
    for target, overloads in surface(quillon):
        rng = random.Random(f"{target} {state}")
        chosen = []
        for params in overloads or [[]]:
            base = [baseline(t, quillon) for _, t, _ in params]
            blocking = BLOCKING.search(target) is not None
            chosen.append(tuple(base))
            # Fewer arguments than required, and one more than any overload.
            chosen.append(tuple(base[:-1]) if base else ("int 1",))
            chosen.append(tuple(base) + ("int 1",))
            for position, (name, _, _) in enumerate(params):
                for value in pool:
                    if blocking and BLOCKING.search(name) and value.startswith("int ") and value != "int 0":
                        continue
                    chosen.append(tuple(base[:position]) + (value,) + tuple(base[position + 1:]))
                if params[0][0] == "self":
                    owner = params[0][1]
                    chosen.append((f"new {owner}",) + tuple(base[1:]))
                    chosen.append((f"released {owner}",) + tuple(base[1:]))
            # Two hostile values at once, sampled.
            pairs = [(i, j) for i in range(len(params)) for j in range(i + 1, len(params))]
            for _ in range(min(len(pairs) * 40, 150)) if pairs else ():
                i, j = rng.choice(pairs)
                args = list(base)
                args[i], args[j] = rng.choice(small), rng.choice(small)
                chosen.append(tuple(args))
        unique = list(dict.fromkeys(chosen))
        if len(unique) > MAX_CALLS_PER_TARGET:
            unique = unique[:3] + rng.sample(unique[3:], MAX_CALLS_PER_TARGET - 3)
        calls += [(target, args) for args in unique]
    return calls


# --------------------------------------------------------------- values

def capsule_of(address):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return new(address, None, None)


class Values:
    """Makes the values behind the names, in the worker's state."""

    def __init__(self, quillon, state, data_dir):
        self.q = quillon
        self.state = state
        self.data = data_dir
        self.keep = []
        self.live = {}
        self.stale = {}
        self.instances = {}
        import numpy

        self.np = numpy
        self.numpy_block = numpy.arange(16, dtype=numpy.uint8)
        page = mmap.mmap(-1, mmap.PAGESIZE)
        self.unmapped = ctypes.addressof(ctypes.c_char.from_buffer(page))
        page.close()
        if state != "before":
            self._make_handles()
            self.stale = self._handles()
            destroy(self.q, self.stale)
            # After uninitialisation these are the handles it released.
            self.live = self._handles()

    def _handles(self):
        kycm = self.q.kycm
        kycm.initialize()
        info = kycm.deviceInfo()
        info.deviceType, info.deviceIdx = kycm.deviceType.kycmDE_KYCC, 0
        shape = kycm.shape()
        shape.ndims, shape.shapes = 1, [16]
        block = kycm.malloc(64)
        array = self.np.zeros(64, dtype=self.np.uint8)
        self.keep.append(array)
        handles = {
            "context": kycm.createContext(0),
            "device block": block,
            "host block": kycm.mallocHost(64),
            "numpy block": kycm.getHandleFromNumpy(array),
            "tensor": kycm.createTensor(info, shape, kycm.dType.kycmDT_FLOAT32),
            "dataset": kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER),
            "data buffer": kycm.createDataBuffer(info, block, 64),
        }
        return handles

    def _make_handles(self):
        self.q.kycm.initialize()

    def instance(self, how, cls_name):
        key = (how, cls_name)
        if key in self.instances and how != "new":
            return self.instances[key]
        sub, name = cls_name.split(".")
        cls = getattr(getattr(self.q, sub), name)
        if how == "uninit":
            value = cls.__new__(cls)
        else:
            value = self._construct(cls, cls_name)
            if how in ("ready", "released") and hasattr(value, "init"):
                try:
                    value.init()
                except Exception:
                    pass
            if how == "released" and hasattr(value, "release"):
                value.release()
        self.instances[key] = value
        return value

    def _construct(self, cls, cls_name):
        for params in signatures(cls.__init__.__doc__):
            args = []
            for name, kind, _ in params:
                if name == "self":
                    continue
                kind = kind.replace("_quillon_pybind11.", "")
                if kind in enum_classes(self.q):
                    members = list(self.enum(kind).__members__.values())
                    preferred = [m for m in members if m.name.endswith(("YUV420P", "BASELINE"))]
                    args.append((preferred or members)[0])
                elif kind == "str":
                    args.append(self.data_path(cls_name))
                elif kind == "int":
                    args.append(16)
                else:
                    args.append(self.value(baseline(kind, self.q)))
            try:
                return cls(*args)
            except Exception:
                continue
        return cls.__new__(cls)

    def data_path(self, cls_name):
        for key, file in (("Jpeg", "picture.jpg"), ("YUV", "pictures.yuv"), ("H264", "stream.h264")):
            if key in cls_name:
                return os.path.join(self.data, file)
        return os.path.join(self.data, "stream.h264")

    def enum(self, name):
        sub, cls = name.split(".")
        return getattr(getattr(self.q, sub), cls)

    def value(self, name):
        np = self.np
        simple = {
            "none": None, "str": "hostile", "bytes": b"\x00\xff", "float": 2.5, "nan": float("nan"), "list": [],
            "list of none": [None, None], "dict": {}, "object": object(), "true": True, "false": False,
            "str nul": "a\x00b", "str surrogate": "\udc80", "str newline": "a\n[FATAL] b", "str long": "x" * 65536,
            "path dir": "/", "path dev zero": "/dev/zero", "path missing": "/nonexistent/hostile",
            "path data": os.path.join(self.data, "stream.h264"),
        }
        if name in simple:
            return simple[name]
        kind, _, rest = name.partition(" ")
        if kind == "int":
            return int(rest)
        if kind == "cap":
            if rest == "unmapped":
                return capsule_of(self.unmapped)
            if rest == "numpy block":
                return self.q.kycm.getHandleFromNumpy(self.numpy_block)
            if rest == "freed host block":
                return self.stale.get("host block") or capsule_of(0x10)
            return capsule_of(int(rest, 16))
        if name == "named capsule":
            new = ctypes.pythonapi.PyCapsule_New
            new.restype = ctypes.py_object
            new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
            return new(0x1000, b"foreign", None)
        if kind == "live":
            return self.live.get(rest) or self.stale.get(rest)
        if kind == "stale":
            return self.stale.get(rest)
        if kind in ("record", "ready", "new", "released", "uninit"):
            return self.instance("ready" if kind == "record" else kind, rest)
        if kind == "enum":
            cls_name, _, member = rest.rpartition(" ")
            members = list(self.enum(cls_name).__members__.values())
            return members[0] if member == "0" else int(member)
        if kind == "numpy":
            return self.array(rest)
        raise KeyError(name)

    def array(self, kind):
        np = self.np
        if kind.startswith("good "):
            return np.arange(8, dtype=kind[5:])
        return {
            "0d": np.array(7, dtype=np.uint8),
            "empty": np.zeros(0, dtype=np.uint8),
            "strided": np.arange(64, dtype=np.uint8)[::3],
            "big endian": np.arange(8, dtype=">u2"),
            "object": np.array([object(), None], dtype=object),
            "float64": np.arange(8, dtype=np.float64),
            "2d uint8": np.arange(64, dtype=np.uint8).reshape(8, 8)[:, ::2],
            "readonly": np.frombuffer(b"\x01" * 32, dtype=np.uint8),
        }[kind]


def destroy(quillon, handles):
    kycm = quillon.kycm
    for kind, handle in handles.items():
        release = {"context": kycm.destroyContext, "device block": kycm.free, "host block": kycm.freeHost,
                   "tensor": kycm.destroyTensor, "dataset": kycm.destroyDataset,
                   "data buffer": kycm.destroyDataBuffer}.get(kind)
        if release is not None:
            release(handle)


def enter_state(quillon, state):
    """Puts the runtime in the state; cheap enough to run before every call."""
    if state == "initialised":
        quillon.kycm.initialize()
        quillon.kyme.systemInitialize()
        quillon.kyml.init()
    else:
        quillon.kycm.uninitialize()
        quillon.kyme.systemUninitialize()
        quillon.kyml.shutDown()


def resolve(quillon, target):
    """The Python callable behind a target name; for properties a function of
    (instance[, value])."""
    if target.startswith(("get ", "set ")):
        path = target[4:]
        sub, cls, attr = path.split(".")
        prop = getattr(getattr(quillon, sub), cls).__dict__[attr]
        return prop.fget if target.startswith("get ") else prop.fset
    parts = target.split(".")
    obj = getattr(quillon, parts[0])
    for part in parts[1:]:
        obj = obj if part == "__init__" else getattr(obj, part)
    return obj


def make_data(directory):
    """Small valid input files for the readers."""
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "stream.h264"), "wb") as out:
        out.write(b"\x00\x00\x00\x01\x67\x42\x00\x0a" + b"\x00\x00\x01\x68\xce" + b"\x00\x00\x01\x65\x88\x84" * 3)
    with open(os.path.join(directory, "pictures.yuv"), "wb") as out:
        out.write(bytes(range(256)) * 6)
    # A minimal baseline JPEG (8x8 grey) written by hand keeps the sweep free
    # of image libraries.
    with open(os.path.join(directory, "picture.jpg"), "wb") as out:
        out.write(bytes.fromhex(
            "ffd8ffdb004300" + "01" * 64 + "ffc0000b080008000801011100"
            "ffc4001f0000010501010101010100000000000000000102030405060708090a0b"
            "ffda0008010100003f00d2cf20ffd9"))


def limit_memory():
    """Sizes far beyond memory then fail at once instead of being zero-filled
    for seconds (not under AddressSanitizer, whose shadow needs the address
    space; there the sweep sets max_allocation_size_mb)."""
    if os.environ.get("QUILLON_SANITIZER") != "1":
        import resource

        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))


def main(argv):
    plan_file, state, first, last, data_dir = argv[1], argv[2], int(argv[3]), int(argv[4]), argv[5]
    import warnings

    warnings.simplefilter("ignore")
    limit_memory()
    quillon = load_module()
    with open(plan_file) as source:
        written = json.load(source)
    calls, skip = written[state], set(written["skip"].get(state, []))
    if state == "after":
        enter_state(quillon, "initialised")
    values = Values(quillon, state, data_dir)
    out = sys.stdout
    for index in range(first, min(last, len(calls))):
        target, names = calls[index]
        if target in skip:
            continue
        out.write(f"call {index}\n")
        out.flush()
        try:
            enter_state(quillon, state)
            function = resolve(quillon, target)
            args = [values.value(n) for n in names]
            function(*args)
        except Exception:  # Python exceptions are the expected outcome
            pass
    out.write("done\n")
    out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
