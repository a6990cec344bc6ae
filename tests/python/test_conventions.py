"""The conventions every binding shares: handle capsules, the value-returning
error path, integer argument checks and enumerations."""
import pickle
import re

import pytest

import _quillon_testctl as testctl
from conftest import least_argument, quillon

kycm = quillon.kycm


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

    def test_garbage_handles_are_refused_by_the_library_not_a_crash(self, runtime):
        for address in (1, 0xDEADBEEF, 0xD100000000000001, 2**64 - 1):
            assert kycm.destroyContext(testctl.named_capsule(address, "junk")) == 100005
            assert kycm.setCurrentContext(testctl.named_capsule(address, "junk")) == 100005


class TestErrorsAndIntegerArguments:
    def test_code_is_printed_signed_and_message_capped_at_100_bytes(self):
        fail = testctl.raise_call_error
        pytest.raises(RuntimeError, fail, "x error, ret: %d.", 2**32 - 1).match(r"^x error, ret: -1\.$")
        assert str(pytest.raises(RuntimeError, fail, "y" * 120 + " error, ret: %d.", 7).value) == "y" * 99

    @pytest.mark.parametrize("value", [-1, 2**32, 2**64, 1.0, "1", None])
    def test_out_of_range_or_wrong_type_never_reaches_the_library(self, runtime, journal, value):
        for function in (kycm.setDevice, kycm.resetDevice, kycm.createContext, kycm.getErrDesc):
            pytest.raises(TypeError, function, value)
        assert journal() == []

    def test_the_full_unsigned_range_is_accepted(self, runtime):
        assert (kycm.setDevice(2**32 - 1), kycm.getErrDesc(2**32 - 1)) == (100004, "Unknown error code 4294967295.")


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
