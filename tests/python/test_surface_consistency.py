"""Module-wide consistency: the only exported symbol, how text arguments and
optional texts convert, and counts no platform can hold."""
import shutil
import subprocess

import pytest

from conftest import quillon

kycm, kyme, kyml = quillon.kycm, quillon.kyme, quillon.kyml


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils")
def test_the_entry_point_is_the_only_exported_symbol():
    listing = subprocess.run(["nm", "-D", "--defined-only", quillon.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit__quillon_pybind11"]


def test_text_that_cannot_be_encoded_is_refused_like_every_text_argument(journal):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        kycm.logMessage(kycm.logChannel.kycmLC_APP, kycm.logLevel.kycmLL_INFO, "lone \ud800")
    assert journal() == []


def test_every_get_version_renders_an_optional_text():
    for submodule in (kycm, kyme, kyml):
        assert submodule.getVersion.__doc__.startswith("getVersion() -> Optional[str]")


def test_device_counts_no_platform_holds_are_refused_before_allocating(journal):
    for describe in (kyml.getAiDevInfo, kyml.getCodecDevInfo):
        for count in (65536 * 4 + 1, 2**31, 2**32 - 1):
            with pytest.raises(ValueError, match="more than any platform holds"):
                describe(count)
    assert journal() == []
