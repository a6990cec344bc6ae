"""Initialisation, device selection, version and error texts, contexts."""
import re
import threading

import pytest

import _quillon_testctl as testctl
from conftest import ROOT, quillon

kycm = quillon.kycm

NOT_INITIALIZED, ALREADY_INITIALIZED, INVALID_DEVICE, INVALID_HANDLE = 100002, 100003, 100004, 100005


@pytest.fixture
def released():
    """No runtime; leaves none behind."""
    kycm.uninitialize()
    yield
    kycm.uninitialize()


class TestRuntimeAndDevices:
    def test_configuration_text_reaches_the_library_as_given(self, released, journal):
        for config in [(), (None,), ("/no/such/platform.json",)]:
            kycm.initialize(*config)
            kycm.uninitialize()
        assert [args for name, args in journal() if name == "kycmInitialize"] == \
            [(None,), (None,), ("/no/such/platform.json",)]

    def test_life_cycle_codes_and_bad_platforms(self, released):
        pytest.raises(RuntimeError, kycm.getDevice).match(r"^get device error, ret: 100002\.$")
        assert [kycm.initialize(), kycm.initialize(), kycm.uninitialize()] == [0, ALREADY_INITIALIZED, 0]
        # A bad platform is refused and leaves the runtime down.
        for config, code in [("/no/such/platform.json", 100010), ("{not json", 100011), ('{"cards": 0}', 100012)]:
            assert kycm.initialize(config) == code and kycm.uninitialize() == kycm.setDevice(0) == NOT_INITIALIZED

    def test_reset_releases_what_is_bound_to_that_device_only(self, runtime):
        on_zero, on_one = kycm.createContext(0), kycm.createContext(1)
        assert kycm.resetDevice(0) == 0
        assert (kycm.destroyContext(on_zero), kycm.destroyContext(on_one)) == (INVALID_HANDLE, 0)
        assert kycm.resetDevice(7) == INVALID_DEVICE


def test_version_and_error_texts(runtime, journal):
    assert kycm.getVersion() == "2.1.0.2"
    testctl.arm_empty("kycmGetVersion")
    assert kycm.getVersion() is None
    assert (kycm.getErrDesc(0), kycm.getErrDesc(INVALID_DEVICE)) == \
        ("Success.", "The device index is not one of the platform's devices.")
    assert journal()[-1] == ("kycmGetErrDesc", (INVALID_DEVICE, True, 256))
    testctl.arm_empty("kycmGetErrDesc")
    assert kycm.getErrDesc(INVALID_DEVICE) == ""


def named_codes():
    """Every code a library's header or the documentation (README and docs/) names (bases such as
    kyceER_BASE and kymeER_RSLT_ERR_START are no codes)."""
    headers = {name: (ROOT / "sdk" / "include" / name).read_text() for name in ("kyce.h", "kycl.h", "kyme.h", "kyml.h")}
    codes = {200000 + int(n) for n in re.findall(r"\(kyceER_BASE \+ (\d+)\)", headers["kyce.h"])}
    codes |= {int(n) for n in re.findall(r"#define kyclER_\w+ (\d+)", headers["kycl.h"])}
    codes |= {int(n) for n in re.findall(r"#define kymeER_RSLT_\w+ (\d+)", headers["kyme.h"])}
    codes |= {int(n) for n in re.findall(r"\bKYML_\w+ = (7\d{4})", headers["kyml.h"])}
    readme = "\n".join(path.read_text() for path in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))])
    codes |= {int(n) for n in re.findall(r"\b(?:[1234]0\d{4}|700\d\d|79999|999991)\b", readme)}
    codes |= {200000 + int(n) for n in re.findall(r"`\+(\d+)`", readme)}
    return sorted(code for code in codes if code % 1000 != 0)


def test_every_library_code_is_described():
    codes = named_codes()
    assert {200004, 302004, 402007, 70006} <= set(codes)
    assert [code for code in codes if kycm.getErrDesc(code).startswith("Unknown error code")] == []


class TestContexts:
    def test_create_set_get_destroy(self, runtime):
        context = kycm.createContext(1)
        assert kycm.getCurrentContext() is None and kycm.setCurrentContext(context) == 0
        assert testctl.capsule_address(kycm.getCurrentContext()) == testctl.capsule_address(context)
        assert kycm.destroyContext(context) == 0 and kycm.getCurrentContext() is None
        assert kycm.destroyContext(context) == INVALID_HANDLE and kycm.setCurrentContext(context) == INVALID_HANDLE
        pytest.raises(RuntimeError, kycm.createContext, 2).match(r"^create context error, ret: 100004\.$")
        testctl.arm_empty("kycmCreateContext")
        assert kycm.createContext(0) is None

    def test_current_context_is_per_thread(self, runtime):
        contexts = [kycm.createContext(0), kycm.createContext(1)]
        seen = {}
        barrier = threading.Barrier(3)

        def work(index):
            if index < 2:
                kycm.setCurrentContext(contexts[index])
            barrier.wait()  # every thread has set its context before any reads
            current = kycm.getCurrentContext()
            seen[index] = None if current is None else testctl.capsule_address(current)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert seen == {0: testctl.capsule_address(contexts[0]), 1: testctl.capsule_address(contexts[1]), 2: None}
        assert kycm.getCurrentContext() is None

    def test_a_context_destroyed_by_another_thread_is_no_longer_current(self, runtime):
        context = kycm.createContext(0)
        kycm.setCurrentContext(context)
        worker = threading.Thread(target=kycm.destroyContext, args=(context,))
        worker.start()
        worker.join()
        assert kycm.getCurrentContext() is None
