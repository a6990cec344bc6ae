"""Datasets: modes, indexes, user context and what destroying them releases."""
import pytest

import _quillon_pybind11 as quillon
import _quillon_testctl as testctl
from conftest import device_info, shape

kycm = quillon.kycm
BUFFERS, TENSORS = kycm.datasetMode.kycmDM_BUFFER, kycm.datasetMode.kycmDM_TENSOR
INVALID_HANDLE, INDEX_OUT_OF_RANGE, DATASET_MODE = 100005, 100016, 100017
address = testctl.capsule_address


def cpu_buffer(size=32):
    host = kycm.mallocHost(size)
    return kycm.createDataBuffer(device_info(kycm.deviceType.kycmDE_CPU), host, size), host


def device_tensor(*dims):
    return kycm.createTensor(device_info(), shape(*dims), kycm.dType.kycmDT_FLOAT32)


def test_buffer_dataset_life_cycle(runtime, journal):
    dataset = kycm.createDataset(BUFFERS)
    assert (kycm.getDatasetBufferCount(dataset), kycm.getDatasetTensorCount(dataset)) == (0, 0)
    buffers = [cpu_buffer()[0] for _ in range(3)]
    assert [kycm.addDatasetBuffer(dataset, buffer) for buffer in buffers] == [0] * 3
    assert [address(kycm.getDatasetBuffer(dataset, i)) for i in range(3)] == [address(b) for b in buffers]
    testctl.clear_journal()
    for index in (-1, 3):
        pytest.raises(RuntimeError, kycm.getDatasetBuffer, dataset, index).match(
            rf"^get dataset buffer error, ret: {INDEX_OUT_OF_RANGE}\.$")
    assert [args[1] for _, args in journal()] == [-1, 3]
    pytest.raises(TypeError, lambda: kycm.getDatasetBuffer(dataset, 2**31))
    assert kycm.clearDataset(dataset) == 0 and kycm.getDatasetBufferCount(dataset) == 0
    assert (kycm.destroyDataset(dataset), kycm.destroyDataset(dataset)) == (0, INVALID_HANDLE)
    # Neither clearing nor destroying the dataset touched its buffers.
    assert all(kycm.getDataBufferSize(b) == 32 for b in buffers)


def test_modes_refuse_the_other_kind(runtime):
    tensors, buffers = kycm.createDataset(TENSORS), kycm.createDataset(BUFFERS)
    tensor, (buffer, _) = device_tensor(4), cpu_buffer()
    assert (kycm.addDatasetBuffer(tensors, buffer), kycm.addDatasetTensor(buffers, tensor)) == (DATASET_MODE,) * 2
    # A handle of the wrong kind is not an element at all.
    assert (kycm.addDatasetTensor(tensors, buffer), kycm.addDatasetBuffer(buffers, tensors)) == (INVALID_HANDLE,) * 2
    assert kycm.addDatasetTensor(tensors, tensor) == 0 and kycm.getDatasetBufferCount(tensors) == 0
    pytest.raises(RuntimeError, kycm.getDatasetBuffer, tensors, 0).match(rf"ret: {DATASET_MODE}\.$")
    assert address(kycm.getDatasetTensor(tensors, 0)) == address(tensor)
    assert kycm.getDatasetUserCtx(buffers) is None
    assert kycm.setDatasetUserCtx(buffers, testctl.named_capsule(0x1234, "user")) == 0
    kycm.clearDataset(buffers)
    assert address(kycm.getDatasetUserCtx(buffers)) == 0x1234  # clearing keeps the user context


def test_destroy_all_releases_tensors_with_their_memory_and_buffers_without_it(runtime):
    before = testctl.device_memory_used(0)
    dataset = kycm.createDataset(TENSORS)
    first, second = device_tensor(2, 8), device_tensor(16)
    for tensor in (first, second, first):  # added twice: destroyed once
        kycm.addDatasetTensor(dataset, tensor)
    assert testctl.device_memory_used(0) == before + 2 * 8 * 4 + 16 * 4
    assert kycm.destroyDatasetAll(dataset) == 0 and testctl.device_memory_used(0) == before
    assert kycm.destroyTensor(first) == kycm.destroyDatasetAll(dataset) == INVALID_HANDLE
    # Buffers are destroyed, not the memory they describe.
    dataset = kycm.createDataset(BUFFERS)
    (kept, kept_host), (gone, gone_host) = cpu_buffer(), cpu_buffer()
    assert kycm.addDatasetBuffer(dataset, kept) == kycm.addDatasetBuffer(dataset, gone) == 0
    assert kycm.destroyDataBuffer(gone) == 0  # already destroyed elements are skipped
    assert kycm.destroyDatasetAll(dataset) == 0 and kycm.destroyDataBuffer(kept) == INVALID_HANDLE
    assert kycm.freeHost(kept_host) == 0 and kycm.freeHost(gone_host) == 0
