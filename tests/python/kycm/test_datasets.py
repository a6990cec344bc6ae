"""Datasets: modes, indexes, user context and what destroying them releases."""
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl

kycm = quillon.kycm

INVALID_HANDLE = 100005
INDEX_OUT_OF_RANGE = 100016
DATASET_MODE = 100017


def cpu_buffer(size=32):
    info = kycm.deviceInfo()
    info.deviceType = kycm.deviceType.kycmDE_CPU
    host = kycm.mallocHost(size)
    return kycm.createDataBuffer(info, host, size), host


def device_tensor(*dims):
    info = kycm.deviceInfo()
    info.deviceType = kycm.deviceType.kycmDE_KYCC
    shape = kycm.shape()
    shape.ndims, shape.shapes = len(dims), list(dims)
    return kycm.createTensor(info, shape, kycm.dType.kycmDT_FLOAT32)


def address(capsule):
    return testctl.capsule_address(capsule)


def test_buffer_dataset_life_cycle(runtime, journal):
    dataset = kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER)
    assert (kycm.getDatasetBufferCount(dataset), kycm.getDatasetTensorCount(dataset)) == (0, 0)
    assert kycm.getDatasetMode(dataset) == kycm.datasetMode.kycmDM_BUFFER
    buffers = [cpu_buffer()[0] for _ in range(3)]
    for buffer in buffers:
        assert kycm.addDatasetBuffer(dataset, buffer) == 0
    assert kycm.getDatasetBufferCount(dataset) == 3
    assert [address(kycm.getDatasetBuffer(dataset, i)) for i in range(3)] == [address(b) for b in buffers]

    testctl.clear_journal()
    for index in (-1, 3):
        with pytest.raises(RuntimeError, match=rf"^get dataset buffer error, ret: {INDEX_OUT_OF_RANGE}\.$"):
            kycm.getDatasetBuffer(dataset, index)
    assert [args[1] for _, args in journal()] == [-1, 3]
    with pytest.raises(TypeError):
        kycm.getDatasetBuffer(dataset, 2**31)

    assert kycm.clearDataset(dataset) == 0
    assert kycm.getDatasetBufferCount(dataset) == 0
    assert kycm.destroyDataset(dataset) == 0
    assert kycm.destroyDataset(dataset) == INVALID_HANDLE
    # Neither clearing nor destroying the dataset touched its buffers.
    assert all(kycm.getDataBufferSize(b) == 32 for b in buffers)


def test_modes_refuse_the_other_kind(runtime):
    tensors = kycm.createDataset(kycm.datasetMode.kycmDM_TENSOR)
    buffers = kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER)
    assert kycm.getDatasetMode(tensors) == kycm.datasetMode.kycmDM_TENSOR
    assert kycm.getDatasetMode(tensors).value == 1
    tensor, (buffer, _) = device_tensor(4), cpu_buffer()
    assert kycm.addDatasetBuffer(tensors, buffer) == DATASET_MODE
    assert kycm.addDatasetTensor(buffers, tensor) == DATASET_MODE
    # A handle of the wrong kind is not an element at all.
    assert kycm.addDatasetTensor(tensors, buffer) == INVALID_HANDLE
    assert kycm.addDatasetBuffer(buffers, tensors) == INVALID_HANDLE
    assert kycm.addDatasetTensor(tensors, tensor) == 0
    assert kycm.getDatasetBufferCount(tensors) == 0
    with pytest.raises(RuntimeError, match=rf"^get dataset buffer error, ret: {DATASET_MODE}\.$"):
        kycm.getDatasetBuffer(tensors, 0)
    assert address(kycm.getDatasetTensor(tensors, 0)) == address(tensor)


def test_user_context(runtime):
    dataset = kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER)
    assert kycm.getDatasetUserCtx(dataset) is None
    marker = testctl.named_capsule(0x1234, "user")
    assert kycm.setDatasetUserCtx(dataset, marker) == 0
    assert address(kycm.getDatasetUserCtx(dataset)) == 0x1234
    kycm.clearDataset(dataset)
    assert address(kycm.getDatasetUserCtx(dataset)) == 0x1234
    assert kycm.setDatasetUserCtx(dataset, None) == 0
    assert kycm.getDatasetUserCtx(dataset) is None


def test_destroy_all_releases_tensors_and_their_memory(runtime):
    before = testctl.device_memory_used(0)
    dataset = kycm.createDataset(kycm.datasetMode.kycmDM_TENSOR)
    first, second = device_tensor(2, 8), device_tensor(16)
    for tensor in (first, second, first):  # added twice: destroyed once
        kycm.addDatasetTensor(dataset, tensor)
    assert testctl.device_memory_used(0) == before + 2 * 8 * 4 + 16 * 4
    assert kycm.destroyDatasetAll(dataset) == 0
    assert testctl.device_memory_used(0) == before
    assert kycm.destroyTensor(first) == INVALID_HANDLE
    assert kycm.destroyDatasetAll(dataset) == INVALID_HANDLE


def test_destroy_all_destroys_buffers_but_not_the_memory_they_describe(runtime):
    dataset = kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER)
    (kept, kept_host), (gone, gone_host) = cpu_buffer(), cpu_buffer()
    kycm.addDatasetBuffer(dataset, kept)
    kycm.addDatasetBuffer(dataset, gone)
    assert kycm.destroyDataBuffer(gone) == 0  # already destroyed elements are skipped
    assert kycm.destroyDatasetAll(dataset) == 0
    assert kycm.destroyDataBuffer(kept) == INVALID_HANDLE
    assert kycm.freeHost(kept_host) == 0 and kycm.freeHost(gone_host) == 0


def test_failures_raise_with_the_code(runtime):
    with pytest.raises(TypeError):
        kycm.createDataset(1)
    testctl.arm_failure("kycmCreateDataset", 7)
    with pytest.raises(RuntimeError, match=r"^create dataset error, ret: 7\.$"):
        kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER)
    dataset = kycm.createDataset(kycm.datasetMode.kycmDM_BUFFER)
    for name, call, text in [
            ("kycmGetDatasetBufferCount", kycm.getDatasetBufferCount, "get dataset buffer count"),
            ("kycmGetDatasetTensorCount", kycm.getDatasetTensorCount, "get dataset tensor count"),
            ("kycmGetDatasetMode", kycm.getDatasetMode, "get dataset mode"),
            ("kycmGetDatasetUserCtx", kycm.getDatasetUserCtx, "get dataset user ctx")]:
        testctl.arm_failure(name, 11)
        with pytest.raises(RuntimeError, match=rf"^{text} error, ret: 11\.$"):
            call(dataset)
    testctl.arm_failure("kycmGetDatasetTensor", 12)
    with pytest.raises(RuntimeError, match=r"^get dataset tensor error, ret: 12\.$"):
        kycm.getDatasetTensor(dataset, 0)


def test_null_dataset_is_an_invalid_handle(runtime):
    with pytest.raises(RuntimeError, match=r"^get dataset buffer count error, ret: 100005\.$"):
        kycm.getDatasetBufferCount(None)
    assert kycm.clearDataset(None) == INVALID_HANDLE
