"""The conventions every binding shares: handle capsules and record objects as handles, the value-returning
error path, argument checks before the library and enumerations."""
import pickle
import re

import pytest

import _quillon_testctl as testctl
from conftest import least_argument, quillon

kycm, kyme, kyml = quillon.kycm, quillon.kyme, quillon.kyml
CT = kycm.copyMemType


class TestHandles:
    def test_a_returned_handle_is_an_unnamed_capsule_and_none_is_null(self, runtime):
        assert testctl.echo_handle(None) is None and testctl.handle_address(None) == 0
        context = kycm.createContext(0)
        assert type(context).__name__ == "PyCapsule" and "NULL" in repr(context)  # unnamed
        assert testctl.capsule_address(context) == testctl.handle_address(context)
        assert kycm.destroyContext(context) == 0

    def test_capsules_made_elsewhere_are_accepted_named_or_not(self, runtime):
        context = kycm.createContext(1)
        address = testctl.capsule_address(context)
        foreign = testctl.named_capsule(address, "another.extension.handle")
        assert testctl.handle_address(foreign) == address and kycm.setCurrentContext(foreign) == 0
        assert testctl.capsule_address(kycm.getCurrentContext()) == address
        assert kycm.destroyContext(foreign) == 0

    def test_a_record_instance_passes_its_record_address_and_other_objects_are_refused(self):
        record = testctl.SampleRecord()
        assert testctl.handle_address(record) == testctl.record_address(record)
        for value in (0, 1.5, "text", b"bytes", [None], object()):
            pytest.raises(TypeError, testctl.handle_address, value).match("capsule")

    def test_calls_past_a_record_object_are_refused_before_the_library(self, runtime, journal):
        device, frame, cpu = kycm.malloc(4096), kyme.frame(), kycm.deviceInfo()  # a frame's record: 128 bytes
        testctl.arm_failure("kycmMemcpy", 7, count=4)  # had a copy been made, it could not write
        testctl.arm_failure("kycmMemcpyAsync", 7, count=4)
        testctl.clear_journal()
        for call in (lambda: kycm.memcpy(device, frame, 129, CT.kycmCT_COPY_FROM_DEVICE),
                     lambda: kycm.memcpy(frame, device, 4096, CT.kycmCT_COPY_TO_DEVICE),
                     lambda: kycm.memcpyAsync(device, frame, 129, CT.kycmCT_COPY_FROM_DEVICE, None),
                     lambda: kycm.memset(frame, 0, 129),
                     lambda: kycm.getNumpyFromHandle(frame, 129),
                     lambda: kycm.getFloat16Array(frame, 130),
                     lambda: kycm.createDataBuffer(cpu, frame, 129),
                     lambda: kycm.createTensorWithDataHandle(cpu, kycm.shape(), kycm.dType.kycmDT_UINT8, frame, False),
                     lambda: kycm.getNumpyFromHandle(kycm.shape(), 57),  # an adaptor: its library record only
                     lambda: kycm.getNumpyFromHandle(kyme.YUVReader("x", kyme.pixelFormat.KYME_PIX_FMT_NV12, 2, 2, 2), 1),
                     lambda: kycm.memcpy(device, CT.kycmCT_COPY_TO_DEVICE, 4, CT.kycmCT_COPY_FROM_DEVICE)):
            pytest.raises(ValueError, call).match(r"\w+\.\w+ object")
        assert journal() == []

    def test_within_its_record_an_object_is_read_and_written_at_its_address(self, runtime):
        device, frame = kycm.malloc(128), kyme.frame()
        assert kycm.memset(device, 1, 128) == 0
        assert kycm.memcpy(device, frame, 128, CT.kycmCT_COPY_FROM_DEVICE) == 0
        assert frame.dataSize == 0x01010101
        assert kycm.getNumpyFromHandle(frame.cropInfo, 20).tolist() == [1] * 20  # a nested record too

    def test_garbage_handles_are_refused_by_the_library_not_a_crash(self, runtime):
        for address in (1, 0xDEADBEEF, 0xD100000000000001, 2**64 - 1):
            assert kycm.destroyContext(testctl.named_capsule(address, "junk")) == 100005
            assert kycm.setCurrentContext(testctl.named_capsule(address, "junk")) == 100005


class TestErrorsAndIntegerArguments:
    def test_message_is_capped_at_100_bytes(self):  # the signed code: every binding's in test_surface.py
        fail = testctl.raise_call_error
        assert str(pytest.raises(RuntimeError, fail, "y" * 120 + " error, ret: %d.", 7).value) == "y" * 99

    @pytest.mark.parametrize("value", [-1, 2**32, 2**64, 1.0, "1", None])
    def test_out_of_range_or_wrong_type_never_reaches_the_library(self, runtime, journal, value):
        for function in (kycm.setDevice, kycm.resetDevice, kycm.createContext, kycm.getErrDesc):
            pytest.raises(TypeError, function, value)
        assert journal() == []

    def test_the_full_unsigned_range_is_accepted(self, runtime):
        assert (kycm.setDevice(2**32 - 1), kycm.getErrDesc(2**32 - 1)) == (100004, "Unknown error code 4294967295.")


def test_text_and_count_refusals_before_the_library(journal):
    with pytest.raises(TypeError, match="incompatible function arguments"):  # as any other wrong argument
        kycm.logMessage(kycm.logChannel.kycmLC_APP, kycm.logLevel.kycmLL_INFO, "lone \ud800")
    for describe in (kyml.getAiDevInfo, kyml.getCodecDevInfo):
        for count in (65536 * 4 + 1, 2**32 - 1):
            pytest.raises(ValueError, describe, count).match("more than any platform holds")
    assert journal() == []


# Records a library takes through an optional pointer, where None is a null pointer.
NULL_POINTER_RECORDS = {("getDataBufferDeviceInfo", "deviceInfo"), ("getTensorDeviceInfo", "deviceInfo"),
                        ("receiveFrameFromDecoder", "decOutputOptions"), ("sendFrameToEncoder", "encExtendedParams"),
                        ("jpegSyncEncoder", "encExtendedParams")}


def test_none_for_a_record_or_enumeration_is_a_type_error_in_every_submodule(runtime, journal):
    checked = set()
    for submodule in (getattr(quillon, name) for name in ("kycm", "kyme", "kycl", "kyce", "kyml")):
        classes = {name: value for name, value in vars(submodule).items() if isinstance(value, type)}
        for name, function in vars(submodule).items():
            signature = re.match(rf"{name}\((.*)\) -> ", getattr(function, "__doc__", None) or "")
            if isinstance(function, type) or not signature:
                continue
            parameters = re.sub(r"_quillon_pybind11\.\w+\.", "", signature[1])
            kinds = [p.partition(": ")[2].partition(" = ")[0] for p in re.split(r", (?![^\[]*\])", parameters)]
            for index, kind in enumerate(kinds):
                if kind in classes and (name, kind) not in NULL_POINTER_RECORDS:
                    arguments = [least_argument(submodule, k) for k in kinds]
                    arguments[index] = None
                    pytest.raises(TypeError, function, *arguments)
                    checked.add(submodule.__name__.rpartition(".")[2])
    assert checked == {"kycm", "kyme", "kycl", "kyce", "kyml"} and journal() == []


class TestEnumerations:
    E = testctl.SampleEnum

    def test_values_aliases_index_and_pickling(self):
        assert self.E(1) == self.E.SAMPLE_ALIAS == self.E.SAMPLE_ONE and self.E(1).name == "SAMPLE_ONE"
        assert (self.E.SAMPLE_BIG.value, int(self.E.SAMPLE_ONE), [10, 20][self.E.SAMPLE_ONE]) == (2**32 - 1, 1, 20)
        assert list(self.E.__members__) == ["SAMPLE_ZERO", "SAMPLE_ONE", "SAMPLE_ALIAS", "SAMPLE_BIG"]
        assert self.E.SAMPLE_BIG.__getstate__() == 2**32 - 1 and pickle.loads(pickle.dumps(self.E.SAMPLE_BIG)) == \
            self.E.SAMPLE_BIG

    def test_not_arithmetic_and_not_exported(self):
        for operation in (lambda a, b: a + 1, lambda a, b: a < b, lambda a, b: a | b):
            pytest.raises(TypeError, operation, self.E.SAMPLE_ONE, self.E.SAMPLE_ZERO)
        assert not hasattr(testctl, "SAMPLE_ONE")
