"""The runtime's log: the lines logMessage makes the host SDK write, refused
arguments and configuration."""
import re

import pytest

import _quillon_pybind11 as quillon

kycm = quillon.kycm
LC, LL = kycm.logChannel, kycm.logLevel

LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} \[\d+:\d+\] \[(\w+)\] \[(\w+)\] (.+):(\d+) (\S+): (.*)$")


@pytest.fixture
def log_file(tmp_path, monkeypatch):
    """The log opened on a fresh file; back on standard error afterwards."""
    path = tmp_path / "runtime.log"
    monkeypatch.setenv("QUILLON_LOG", str(path))
    monkeypatch.delenv("QUILLON_LOG_LEVEL", raising=False)
    assert kycm.initLogger() == 0
    yield path
    monkeypatch.undo()
    assert kycm.initLogger() == 0


def lines(path):
    return [LINE.match(line).groups() for line in path.read_text().splitlines()]


def test_one_line_per_message_with_its_origin_and_literal_text(log_file):
    assert kycm.logMessage(LC.kycmLC_ME, LL.kycmLL_ERROR, "100% done %s %d %n %%") == 0
    assert kycm.logMessage(LC.kycmLC_NN, LL.kycmLL_FATAL, None) == 0
    first, second = lines(log_file)
    # Printed literally: the binding hands the library the text as a format that prints it.
    assert first[:2] == ("ME", "ERROR") and first[5] == "100% done %s %d %n %%"
    assert first[2].endswith("python/src/kycm/log.cpp") and first[3:5] == ("37", "operator()")
    assert second[:2] == ("NN", "FATAL") and second[5] == ""


def test_bad_configuration_is_refused_and_keeps_the_log(log_file, monkeypatch):
    monkeypatch.setenv("QUILLON_LOG_LEVEL", "loud")
    assert kycm.initLogger() == 100053
    monkeypatch.setenv("QUILLON_LOG_LEVEL", "0")
    monkeypatch.setenv("QUILLON_LOG", str(log_file / "under-a-file.log"))
    assert kycm.initLogger() == 100052
    kycm.logMessage(LC.kycmLC_RT, LL.kycmLL_INFO, "still here")
    assert [line[5] for line in lines(log_file)] == ["still here"]
