"""kyml library control: life cycle, version, error texts and logging."""
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from platforms import stopped  # noqa: F401

kyml = quillon.kyml
opStatus = kyml.opStatus
logLevel = kyml.logLevel


@pytest.fixture
def log_level():
    """Restores the shared log's default threshold afterwards."""
    yield
    kyml.setLogLevel(logLevel.KYML_LOG_INFO)


def test_life_cycle_codes(stopped, journal):
    assert kyml.shutDown() == opStatus.KYML_ERROR_UNINITIALIZED
    pytest.raises(RuntimeError, kyml.getCardCount).match(r"^get card count error, ret: 70001\.$")
    assert [kyml.init(), kyml.init()] == [opStatus.KYML_SUCCESS, opStatus.KYML_ERROR_INITIALIZED]
    assert kyml.getCardCount() >= 1 and kyml.shutDown() == opStatus.KYML_SUCCESS
    testctl.arm_failure("kymlShutDown", 12345)
    assert int(kyml.shutDown()) == 12345  # unknown codes still come back


def test_version_and_error_texts(journal):
    assert kyml.getVersion() == "2.1.0.2"
    texts = [kyml.errorString(member) for member in opStatus.__members__.values()]
    assert all(texts) and "not initialized" in texts[1] and texts[1] != texts[2]  # not and already initialized
    assert kyml.errorString(opStatus(424242)) == "Unknown error code."
    testctl.clear_journal()
    testctl.arm_empty("kymlErrorString")
    assert kyml.errorString(opStatus.KYML_ERROR_CARD_NOTFOUND) == ""  # a null text reads as empty
    assert journal() == [("kymlErrorString", (70006,))]


class TestLogging:
    def test_percent_prints_literally_and_bad_arguments_are_refused(self, capfd, journal, log_level):
        for args in [(logLevel.KYML_LOG_INFO, "a", 0, "b"), (logLevel.KYML_LOG_INFO, None, opStatus.KYML_SUCCESS, "b")]:
            pytest.raises(TypeError, kyml.logMsg, *args)
        assert kyml.logMsg(logLevel.KYML_LOG_NONE, "a", opStatus.KYML_SUCCESS, "b") == \
            opStatus.KYML_ERROR_INPUT_PARAMETER_ERROR
        kyml.setLogLevel(logLevel.KYML_LOG_TRACE)
        assert kyml.logMsg(logLevel.KYML_LOG_WARN, "probe", opStatus.KYML_SUCCESS, "100% %s %n %d done") == \
            opStatus.KYML_SUCCESS
        assert journal()[-1] == ("kymlLogMsg", (3, "probe", 0, "100%% %%s %%n %%d done"))
        assert "[ML] [WARN] libkyml:0 probe: 100% %s %n %d done" in capfd.readouterr().err

    def test_threshold_is_the_shared_log_level(self, capfd, log_level):
        assert kyml.setLogLevel(logLevel.KYML_LOG_ERROR) == opStatus.KYML_SUCCESS
        kyml.logMsg(logLevel.KYML_LOG_WARN, "m", opStatus.KYML_SUCCESS, "quiet")
        kyml.logMsg(logLevel.KYML_LOG_FATAL, "m", opStatus.KYML_ERROR_CARD_NOTFOUND, "loud")
        err = capfd.readouterr().err
        assert "quiet" not in err and "[ML] [FATAL] libkyml:0 m: loud (70006: No card, die or device" in err
