"""Scripts that end while a stream still owes reports to Python exit 0 every time, in a process of their own."""
import pytest

from conftest import MODULE_DIR, exit_every_time
from test_models_and_streams import dense

SCRIPT = """
import sys, time
sys.path.insert(0, {module_dir!r})
import _quillon_pybind11 as quillon
kycl, kycm = quillon.kycl, quillon.kycm
assert kycm.initialize() == 0
model = kycl.createModel({model!r}, "", "", "")
graph, op = kycl.createOpGraph(), kycl.createRunModelOp(model)
assert kycl.connectOps(kycl.createGraphInputOp(graph, 0), op) == 0 and kycl.registerGetOutput(graph, op) == 0
stream = kycl.createOpStream(graph, kycl.balance_mode.kyclBM_ONCE)
assert kycl.buildStream(stream) == 0
device = kycm.deviceInfo()
device.deviceType = kycm.deviceType.kycmDE_KYCC
ins = kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER)
assert kycm.addDatasetBuffer(ins, kycm.createDataBuffer(device, kycm.malloc(32), 32)) == 0
outs, seen = kycl.requestOutputDataset(stream), []
assert kycl.subscribeStreamReport(stream, lambda *report: seen.append(report[3].errorCode) or time.sleep(0.005), None) == 0
for _ in range(20):
    assert kycl.runStreamAsync(stream, ins, outs) == 0
{ending}
print("done")
"""

ENDINGS = {
    "pending": "",
    "destroyed": "assert kycl.destroyOpStream(stream) == 0",
    "finished": "assert kycl.synchronizeStream(stream, 0) == 0 and seen == [0] * 20\n"
                "assert kycl.destroyOpStream(stream) == 0\nkycm.uninitialize()",
}


@pytest.mark.parametrize("ending", sorted(ENDINGS))
def test_a_script_with_reports_owed_to_python_exits_0_every_time(tmp_path, ending):
    script = SCRIPT.format(module_dir=str(MODULE_DIR), model=dense(tmp_path), ending=ENDINGS[ending])
    exit_every_time(script)
