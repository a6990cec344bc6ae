"""The whole kycm submodule as Python sees it: every name in registration
order, each function's rendered signature and docstring, the enumerations'
members and the records' properties."""
import numpy as np
import pytest

import _quillon_testctl as testctl
from conftest import quillon

kycm = quillon.kycm

DEVICE_INFO, SHAPE, DTYPE = "_quillon_pybind11.kycm.deviceInfo", "_quillon_pybind11.kycm.shape", \
    "_quillon_pybind11.kycm.dType"
DEVICE_TYPE, DATASET_MODE = "_quillon_pybind11.kycm.deviceType", "_quillon_pybind11.kycm.datasetMode"
COPY_TYPE = "_quillon_pybind11.kycm.copyMemType"
CHANNEL, LEVEL = "_quillon_pybind11.kycm.logChannel", "_quillon_pybind11.kycm.logLevel"
U8, U16, F32 = "numpy.ndarray[numpy.uint8]", "numpy.ndarray[numpy.uint16]", "numpy.ndarray[numpy.float32]"


def fn(name, args, result, doc):
    """A function entry; `args` are the parameter types, rendered arg0, arg1..."""
    params = args if isinstance(args, str) else ", ".join(f"arg{i}: {a}" for i, a in enumerate(args))
    return ("function", name, f"{name}({params}) -> {result}\n\n{doc}\n")


def enum(name, *members):
    return ("enum", name, members)


def record(name, *properties):
    return ("record", name, properties)


def const(name, value):
    return ("int", name, value)


SURFACE = [
    const("ER_SUCCESS", 0),
    const("ER_NOT_IMPLEMENT", 999991),
    enum("dType", ("kycmDT_UINT8", 0), ("kycmDT_INT8", 1), ("kycmDT_UINT16", 2), ("kycmDT_INT16", 3),
         ("kycmDT_UINT32", 4), ("kycmDT_INT32", 5), ("kycmDT_FLOAT16", 6), ("kycmDT_FLOAT32", 7),
         ("kycmDT_BFLOAT", 8), ("kycmDT_ANY", 99)),
    enum("deviceType", ("kycmDE_CPU", 1), ("kycmDE_KYCC", 14)),
    record("deviceInfo", "deviceType", "deviceIdx"),
    fn("createDataBuffer", [DEVICE_INFO, "capsule", "int"], "capsule", "Create a data buffer."),
    fn("createDataBufferFromContext", [DEVICE_TYPE, "capsule", "int"], "capsule",
       "Create a data buffer from device context."),
    fn("destroyDataBuffer", ["capsule"], "int", "Destroy a data buffer."),
    fn("getDataBufferAddr", ["capsule"], "capsule", "Get the buffer address for a data buffer."),
    fn("getDataBufferSize", ["capsule"], "int", "Get the buffer size for a data buffer."),
    fn("getDataBufferDeviceInfo", ["capsule", DEVICE_INFO], "int", "Get the device information for a data buffer."),
    fn("updateDataBuffer", ["capsule", DEVICE_INFO, "capsule", "int"], "int", "Update a data buffer."),
    enum("datasetMode", ("kycmDM_BUFFER", 0), ("kycmDM_TENSOR", 1)),
    fn("createDataset", [DATASET_MODE], "capsule", "Create a dataset."),
    fn("destroyDataset", ["capsule"], "int", "Destroy a dataset."),
    fn("addDatasetBuffer", ["capsule", "capsule"], "int", "Add a dataset buffer."),
    fn("getDatasetBufferCount", ["capsule"], "int", "Get the data buffer count for a dataset."),
    fn("getDatasetBuffer", ["capsule", "int"], "capsule", "Get the data buffer by index for a dataset."),
    fn("addDatasetTensor", ["capsule", "capsule"], "int", "Add a tensor into a dataset."),
    fn("getDatasetTensorCount", ["capsule"], "int", "Get the tensor count for a dataset."),
    fn("getDatasetTensor", ["capsule", "int"], "capsule", "Get the tensor by index for a dataset."),
    fn("getDatasetMode", ["capsule"], DATASET_MODE, "Get the mode for a dataset."),
    fn("getDatasetUserCtx", ["capsule"], "capsule", "Get the user context data for a dataset."),
    fn("setDatasetUserCtx", ["capsule", "capsule"], "int", "Set the user context data for a dataset."),
    fn("clearDataset", ["capsule"], "int", "Clear a dataset."),
    fn("setDevice", ["int"], "int", "Set the device to be used in the process."),
    fn("resetDevice", ["int"], "int",
       "Reset the device used in the process. All resources bound to this device will be released."),
    fn("getDevice", [], "int", "Get current device index"),
    const("kycmER_SUCCESS", 0),
    fn("initialize", "config: str = None", "int", "Initialize the environment for KYCM API."),
    fn("uninitialize", [], "int", "Release the environment for KYCM API."),
    fn("getVersion", [], "Optional[str]", "Get the version of the common runtime library."),
    fn("getErrDesc", ["int"], "str", "Get the description for an error code."),
    fn("createContext", ["int"], "capsule", "Create a context in assigned device"),
    fn("destroyContext", ["capsule"], "int", "Destroy a context in the device"),
    fn("setCurrentContext", ["capsule"], "int", "Set the current context for the calling thread"),
    fn("getCurrentContext", [], "capsule", "Get the current context for the calling thread"),
    enum("copyMemType", ("kycmCT_COPY_FROM_DEVICE", 0), ("kycmCT_COPY_TO_DEVICE", 1),
         ("kycmCT_COPY_DEVICE_TO_DEVICE", 2)),
    fn("malloc", ["int"], "capsule", "Allocate memory from device."),
    fn("free", ["capsule"], "int", "Free a memory in device."),
    fn("mallocModelInOut", ["int"], "capsule", "Allocate memory for model input or output from device."),
    fn("freeModelInOut", ["capsule"], "int", "Free a model input or output memory in device."),
    fn("memcpy", ["capsule", "capsule", "int", COPY_TYPE], "int",
       "Copy a memory between host and device according to copy type. Synchronous interface."),
    fn("getNumpyFromHandle", ["capsule", "int"], U8, "get the numpy array from data handle"),
    fn("getHandleFromNumpy", [U8], "capsule", "get the data handle from numpy array"),
    fn("memcpyAsync", ["capsule", "capsule", "int", COPY_TYPE, "capsule"], "int",
       "Copy a memory between host and device according to copy type. Asynchronous interface."),
    fn("memcpyDevices", ["capsule", "int", "capsule", "int", "int"], "int",
       "Copy a memory between two devices. Synchronous interface."),
    fn("memcpyDevicesAsync", ["capsule", "int", "capsule", "int", "int", "capsule"], "int",
       "Copy a memory between two devices. Asynchronous interface."),
    fn("memset", ["capsule", "int", "int"], "int", "Set a memory block with a specific value. Synchronous interface."),
    fn("memsetAsync", ["capsule", "int", "int", "capsule"], "int",
       "Set a memory block with a specific value. Asynchronous interface."),
    record("shape", "ndims", "shapes"),
    fn("createTensor", [DEVICE_INFO, SHAPE, DTYPE], "capsule",
       "Create a tensor for a device with specific shapes and data type."),
    fn("createTensorWithDataHandle", [DEVICE_INFO, SHAPE, DTYPE, "capsule", "bool"], "capsule",
       "Create a tensor with data handle for a device with specific shapes and data type."),
    fn("destroyTensor", ["capsule"], "int", "Destroy a tensor."),
    fn("getTensorDataHandle", ["capsule"], "capsule", "Get the data handle of a tensor."),
    fn("setTensorDataHandle", ["capsule", "capsule", "bool"], "int", "Set the data handle for a tensor."),
    fn("getTensorDeviceInfo", ["capsule", DEVICE_INFO], "int", "Get the device information of a tensor."),
    fn("getTensorShape", ["capsule", SHAPE], "int", "Get the data shape of a tensor."),
    fn("setTensorShape", ["capsule", SHAPE], "int", "Set the data shape of a tensor."),
    fn("getTensorDataType", ["capsule"], DTYPE, "Get the data type of a tensor."),
    fn("setTensorDataType", ["capsule", DTYPE], "int", "Set the data type of a tensor."),
    fn("getTensorSize", ["capsule"], "int", "Get the size of a tensor."),
    fn("getDataTypeSize", [DTYPE], "int", " Get the size for a data type"),
    fn("float16ToFloat32", ["int"], "float", "Convert a float16 number to float32 number"),
    fn("float32ToFloat16", ["float"], "int", "Convert a float32 number to float16 number"),
    fn("float16ToFloat32Array", [U16], F32, "Convert an array of float16 number to the array of float32 number"),
    fn("float32ToFloat16Array", [F32], U16, "Convert an array of float32 number to the array of float16 number"),
    fn("getFloat16Array", ["capsule", "int"], U16, "get the array of float16 number"),
    fn("destroyDatasetAll", ["capsule"], "int", "Destroy all data in a dataset including itself."),
    fn("mallocHost", ["int"], "capsule", "Allocate memory from host."),
    fn("freeHost", ["capsule"], "int", "Free a memory in host."),
    fn("getDeviceIdInfo", ["int"], "list", "Get device index information."),
    enum("logChannel", ("kycmLC_APP", 0), ("kycmLC_CM", 1), ("kycmLC_CE", 2), ("kycmLC_CL", 3), ("kycmLC_ME", 4),
         ("kycmLC_ML", 5), ("kycmLC_RT", 6), ("kycmLC_NN", 7), ("kycmLC_TM", 8)),
    enum("logLevel", ("kycmLL_TRACE", 0), ("kycmLL_DEBUG", 1), ("kycmLL_INFO", 2), ("kycmLL_WARN", 3),
         ("kycmLL_ERROR", 4), ("kycmLL_ALARM", 5), ("kycmLL_FATAL", 6)),
    fn("initLogger", [], "int", "Initialize logger system for message logging."),
    fn("logMessage", [CHANNEL, LEVEL, "Optional[str]"], "int", "Write a message to the log file."),
]


def entries(kind):
    return [pytest.param(name, detail, id=name) for k, name, detail in SURFACE if k == kind]


def test_every_name_in_registration_order():
    names = [name for name in vars(kycm) if not name.startswith("__")]
    assert names == [name for _, name, _ in SURFACE]


@pytest.mark.parametrize("name, doc", entries("function"))
def test_function_signature_and_docstring(name, doc):
    function = getattr(kycm, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__doc__ == doc


@pytest.mark.parametrize("name, value", entries("int"))
def test_plain_integer_constants(name, value):
    assert type(getattr(kycm, name)) is int and getattr(kycm, name) == value


@pytest.mark.parametrize("name, members", entries("enum"))
def test_enumeration_members_in_order(name, members):
    cls = getattr(kycm, name)
    assert cls.__name__ == name
    assert [(member, int(value)) for member, value in cls.__members__.items()] == list(members)
    for member, value in members:
        assert cls(value) == getattr(cls, member) and getattr(cls, member).value == value
        assert not hasattr(kycm, member)


@pytest.mark.parametrize("name, properties", entries("record"))
def test_record_properties_are_read_write(name, properties):
    cls = getattr(kycm, name)
    exposed = [attr for attr, value in vars(cls).items() if isinstance(value, property)]
    assert exposed == list(properties)
    assert all(vars(cls)[attr].fset is not None for attr in properties)


# Every value-returning binding: the library function it calls and the start
# of its failure text. Arguments are the least that reach the library.
VALUE_RETURNING = [
    ("createDataBuffer", "kycmCreateDataBuffer", lambda: (kycm.deviceInfo(), None, 0), "create data buffer"),
    ("createDataBufferFromContext", "kycmCreateDataBufferFromContext",
     lambda: (kycm.deviceType.kycmDE_CPU, None, 0), "create data buffer from context"),
    ("getDataBufferAddr", "kycmGetDataBufferAddr", lambda: (None,), "get data buffer addr"),
    ("getDataBufferSize", "kycmGetDataBufferSize", lambda: (None,), "get data buffer size"),
    ("createDataset", "kycmCreateDataset", lambda: (kycm.datasetMode.kycmDM_TENSOR,), "create dataset"),
    ("getDatasetBufferCount", "kycmGetDatasetBufferCount", lambda: (None,), "get dataset buffer count"),
    ("getDatasetBuffer", "kycmGetDatasetBuffer", lambda: (None, 0), "get dataset buffer"),
    ("getDatasetTensorCount", "kycmGetDatasetTensorCount", lambda: (None,), "get dataset tensor count"),
    ("getDatasetTensor", "kycmGetDatasetTensor", lambda: (None, 0), "get dataset tensor"),
    ("getDatasetMode", "kycmGetDatasetMode", lambda: (None,), "get dataset mode"),
    ("getDatasetUserCtx", "kycmGetDatasetUserCtx", lambda: (None,), "get dataset user ctx"),
    ("getDevice", "kycmGetDevice", lambda: (), "get device"),
    ("getVersion", "kycmGetVersion", lambda: (), "get version"),
    ("getErrDesc", "kycmGetErrDesc", lambda: (0,), "get error description"),
    ("createContext", "kycmCreateContext", lambda: (0,), "create context"),
    ("getCurrentContext", "kycmGetCurrentContext", lambda: (), "get current context"),
    ("malloc", "kycmMalloc", lambda: (16,), "malloc"),
    ("mallocModelInOut", "kycmMallocModelInOut", lambda: (16,), "malloc model input"),
    ("getHandleFromNumpy", "kycmMallocHost", lambda: ([1, 2],), "malloc host"),
    ("createTensor", "kycmCreateTensor", lambda: (kycm.deviceInfo(), kycm.shape(), kycm.dType.kycmDT_UINT8),
     "create tensor"),
    ("createTensorWithDataHandle", "kycmCreateTensorWithDataHandle",
     lambda: (kycm.deviceInfo(), kycm.shape(), kycm.dType.kycmDT_UINT8, None, False), "create tensor with data handle"),
    ("getTensorDataHandle", "kycmGetTensorDataHandle", lambda: (None,), "get tensor data handle"),
    ("getTensorDataType", "kycmGetTensorDataType", lambda: (None,), "get tensor data type"),
    ("getTensorSize", "kycmGetTensorSize", lambda: (None,), "get tensor size"),
    ("getDataTypeSize", "kycmGetDataTypeSize", lambda: (kycm.dType.kycmDT_UINT8,), "get data type size"),
    ("float16ToFloat32", "kycmFloat16ToFloat32", lambda: (0,), "float16 to float32"),
    ("float32ToFloat16", "kycmFloat32ToFloat16", lambda: (0.0,), "float32 to float16"),
    ("float16ToFloat32Array", "kycmFloat16ToFloat32Array", lambda: (np.zeros(3, np.uint16),),
     "float16 to float32 array"),
    ("float32ToFloat16Array", "kycmFloat32ToFloat16Array", lambda: (np.zeros(3, np.float32),),
     "float32 to float16 array"),
    ("mallocHost", "kycmMallocHost", lambda: (16,), "malloc host"),
    ("getDeviceIdInfo", "kycmGetDeviceIdInfo", lambda: (0,), "get device id info"),
]


@pytest.mark.parametrize("name, library, args, text", VALUE_RETURNING, ids=[v[0] for v in VALUE_RETURNING])
def test_failure_text_of_each_value_returning_binding(journal, name, library, args, text):
    # The code is printed signed, as the library's unsigned code reads in C.
    testctl.arm_failure(library, 2**32 - 2)
    with pytest.raises(RuntimeError) as raised:
        getattr(kycm, name)(*args())
    assert str(raised.value) == f"{text} error, ret: -2."
    assert [call for call, _ in journal()] == [library]


CT = kycm.copyMemType.kycmCT_COPY_TO_DEVICE
STATUS_RETURNING = [
    ("destroyDataBuffer", "kycmDestroyDataBuffer", lambda: (None,)),
    ("getDataBufferDeviceInfo", "kycmGetDataBufferDeviceInfo", lambda: (None, None)),
    ("updateDataBuffer", "kycmUpdateDataBuffer", lambda: (None, kycm.deviceInfo(), None, 0)),
    ("destroyDataset", "kycmDestroyDataset", lambda: (None,)),
    ("addDatasetBuffer", "kycmAddDatasetBuffer", lambda: (None, None)),
    ("addDatasetTensor", "kycmAddDatasetTensor", lambda: (None, None)),
    ("setDatasetUserCtx", "kycmSetDatasetUserCtx", lambda: (None, None)),
    ("clearDataset", "kycmClearDataset", lambda: (None,)),
    ("setDevice", "kycmSetDevice", lambda: (0,)),
    ("resetDevice", "kycmResetDevice", lambda: (0,)),
    ("initialize", "kycmInitialize", lambda: ()),
    ("uninitialize", "kycmUninitialize", lambda: ()),
    ("destroyContext", "kycmDestroyContext", lambda: (None,)),
    ("setCurrentContext", "kycmSetCurrentContext", lambda: (None,)),
    ("free", "kycmFree", lambda: (None,)),
    ("freeModelInOut", "kycmFreeModelInOut", lambda: (None,)),
    ("memcpy", "kycmMemcpy", lambda: (None, None, 0, CT)),
    ("memcpyAsync", "kycmMemcpyAsync", lambda: (None, None, 0, CT, None)),
    ("memcpyDevices", "kycmMemcpyDevices", lambda: (None, 0, None, 0, 0)),
    ("memcpyDevicesAsync", "kycmMemcpyDevicesAsync", lambda: (None, 0, None, 0, 0, None)),
    ("memset", "kycmMemset", lambda: (None, 0, 0)),
    ("memsetAsync", "kycmMemsetAsync", lambda: (None, 0, 0, None)),
    ("destroyTensor", "kycmDestroyTensor", lambda: (None,)),
    ("setTensorDataHandle", "kycmSetTensorDataHandle", lambda: (None, None, False)),
    ("getTensorDeviceInfo", "kycmGetTensorDeviceInfo", lambda: (None, None)),
    ("getTensorShape", "kycmGetTensorShape", lambda: (None, kycm.shape())),
    ("setTensorShape", "kycmSetTensorShape", lambda: (None, kycm.shape())),
    ("setTensorDataType", "kycmSetTensorDataType", lambda: (None, kycm.dType.kycmDT_UINT8)),
    ("destroyDatasetAll", "kycmDestroyDatasetAll", lambda: (None,)),
    ("freeHost", "kycmFreeHost", lambda: (None,)),
    ("initLogger", "kycmInitLogger", lambda: ()),
    ("logMessage", "kycmLogMessage", lambda: (kycm.logChannel.kycmLC_APP, kycm.logLevel.kycmLL_INFO, "x")),
]


@pytest.mark.parametrize("name, library, args", STATUS_RETURNING, ids=[s[0] for s in STATUS_RETURNING])
def test_status_returning_bindings_hand_back_the_unsigned_code(journal, name, library, args):
    testctl.arm_failure(library, 2**32 - 2)
    assert getattr(kycm, name)(*args()) == 2**32 - 2
    assert [call for call, _ in journal()] == [library]


def test_every_function_is_in_one_of_the_tables():
    copies_only = {"getNumpyFromHandle", "getFloat16Array"}  # no library call
    tabled = [v[0] for v in VALUE_RETURNING] + [s[0] for s in STATUS_RETURNING] + sorted(copies_only)
    assert sorted(tabled) == sorted(name for kind, name, _ in SURFACE if kind == "function")
