"""The one exported symbol, text and optional-text conversions, device counts no platform holds."""
import subprocess

import pytest

from conftest import quillon

kycm, kyme, kyml = quillon.kycm, quillon.kyme, quillon.kyml


def test_the_entry_point_is_the_only_exported_symbol():
    listing = subprocess.run(["nm", "-D", "--defined-only", quillon.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit__quillon_pybind11"]


def test_conversions_and_refusals_before_the_library(journal):
    with pytest.raises(TypeError, match="incompatible function arguments"):  # as any other wrong argument
        kycm.logMessage(kycm.logChannel.kycmLC_APP, kycm.logLevel.kycmLL_INFO, "lone \ud800")
    for describe in (kyml.getAiDevInfo, kyml.getCodecDevInfo):
        for count in (65536 * 4 + 1, 2**32 - 1):
            with pytest.raises(ValueError, match="more than any platform holds"):
                describe(count)
    assert journal() == []
