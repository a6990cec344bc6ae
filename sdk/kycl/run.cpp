// Running requests through a built graph. A request's inputs and outputs
// are datasets of device buffers: graph input op k reads buffer k of the
// inputs; the outputs dataset holds, in order, every output of every
// registered output op. Models in between pass their results in host memory.
// In the batching mode each buffer holds one request's share of the batch.
#include <cstring>
#include <unordered_map>

#include "graph.h"
#include "kycore/device_memory.h"
#include "kycore/error_codes.h"
#include "model.h"

namespace kycl {
namespace {

// The host backing of buffer `index` of a dataset, at least `size` bytes.
uint32_t buffer_span(void* dataset, uint32_t index, uint64_t size, kycore::DeviceSpan* span) {
  void* buffer = nullptr;
  uint32_t code = kycmGetDatasetBuffer(dataset, static_cast<int32_t>(index), &buffer);
  if (code != kycore::OK) return code;
  void* address = nullptr;
  uint64_t capacity = 0;
  if ((code = kycmGetDataBufferAddr(buffer, &address)) != kycore::OK) return code;
  if ((code = kycmGetDataBufferSize(buffer, &capacity)) != kycore::OK) return code;
  if (capacity < size) return kycore::KYCM_BUFFER_TOO_SMALL;
  if (!kycore::DeviceMemory::is_device_address(address)) return kycore::KYCM_WRONG_MEMORY_KIND;
  *span = kycore::DeviceMemory::instance().resolve(address, size);
  return span->data != nullptr ? kycore::OK : kycore::KYCM_INVALID_ADDRESS;
}

// Where a run's graph inputs come from and its outputs go. A batch of one
// reads the caller's device blocks in place; a larger batch gathers each
// request's share into one host block per input and scatters the outputs.
class Batch {
 public:
  Batch(const Request* requests, std::size_t count, uint32_t batch)
      : requests_(requests), count_(count), batch_(batch) {}

  // The bytes graph input `index` feeds a model input of `size` bytes with.
  uint32_t input(uint32_t index, uint64_t size, const uint8_t** data) {
    if (batch_ == 1) {
      kycore::DeviceSpan span;
      const uint32_t code = buffer_span(requests_[0].inputs, index, size, &span);
      if (code != kycore::OK) return code;
      *data = span.data;
      held_.push_back(std::move(span));
      return kycore::OK;
    }
    auto& gathered = gathered_[index];
    if (gathered.size() != size) {
      if (size % batch_ != 0) return kycore::KYCL_INVALID_GRAPH;
      gathered.assign(size, 0);  // requests missing from a flushed batch run on zeros
      const uint64_t share = size / batch_;
      for (std::size_t r = 0; r < count_; ++r) {
        kycore::DeviceSpan span;
        const uint32_t code = buffer_span(requests_[r].inputs, index, share, &span);
        if (code != kycore::OK) return code;
        if (share != 0) std::memcpy(gathered.data() + r * share, span.data, share);
      }
    }
    *data = gathered.data();
    return kycore::OK;
  }

  // Hands output `index` (a whole batch of it) back to the requests.
  uint32_t output(uint32_t index, const std::vector<uint8_t>& bytes) {
    if (bytes.size() % batch_ != 0) return kycore::KYCL_INVALID_GRAPH;
    const uint64_t share = bytes.size() / batch_;
    for (std::size_t r = 0; r < count_; ++r) {
      kycore::DeviceSpan span;
      const uint32_t code = buffer_span(requests_[r].outputs, index, share, &span);
      if (code != kycore::OK) return code;
      if (share != 0) std::memcpy(span.data, bytes.data() + r * share, share);
    }
    return kycore::OK;
  }

 private:
  const Request* requests_;
  std::size_t count_;
  uint32_t batch_;
  std::vector<kycore::DeviceSpan> held_;  // keeps the caller's blocks alive during the run
  std::unordered_map<uint32_t, std::vector<uint8_t>> gathered_;
};

}  // namespace

uint32_t run_graph(const BuiltGraph& graph, const Request* requests, std::size_t count) {
  if (count == 0 || count > graph.batch) return kycore::KYCM_INVALID_ARGUMENT;
  Batch batch(requests, count, graph.batch);
  std::unordered_map<const void*, std::vector<std::vector<uint8_t>>> results;
  for (const auto& step : graph.steps) {
    Model& model = *step.op->model;
    std::lock_guard<std::mutex> hold(model.lock);
    // The model's shapes may have changed since the stream was built.
    if (step.sources.size() != model.inputs.size()) return kycore::KYCL_INVALID_GRAPH;
    std::vector<const uint8_t*> in;
    for (std::size_t slot = 0; slot < step.sources.size(); ++slot) {
      const auto& source = step.sources[slot];
      const uint64_t size = model.inputs[slot].byte_size();
      if (source.op->kind == Op::Kind::graph_input) {
        const uint8_t* data = nullptr;
        const uint32_t code = batch.input(source.op->input_index, size, &data);
        if (code != kycore::OK) return code;
        in.push_back(data);
        continue;
      }
      auto produced = results.find(source.handle);
      if (produced == results.end() || produced->second[0].size() != size) return kycore::KYCL_INVALID_GRAPH;
      in.push_back(produced->second[0].data());
    }
    auto& out = results[step.handle];
    out.clear();
    std::vector<uint8_t*> out_pointers;
    for (const auto& output : model.outputs) {
      out.emplace_back(output.byte_size());
      out_pointers.push_back(out.back().data());
    }
    const uint32_t code = model.run(in, out_pointers);
    if (code != kycore::OK) return code;
  }
  uint32_t index = 0;
  for (const auto& output : graph.outputs) {
    for (const auto& bytes : results[output.handle]) {
      const uint32_t code = batch.output(index++, bytes);
      if (code != kycore::OK) return code;
    }
  }
  return kycore::OK;
}

uint32_t make_output_dataset(const BuiltGraph& graph, void** dataset) {
  uint32_t device = 0;
  uint32_t code = kycmGetDevice(&device);
  if (code != kycore::OK) return code;
  void* made = nullptr;
  if ((code = kycmCreateDataset(kycmDM_BUFFER, &made)) != kycore::OK) return code;
  std::vector<std::pair<void*, void*>> parts;  // (address, buffer), released on failure
  for (const auto& output : graph.outputs) {
    Model& model = *output.op->model;
    std::vector<uint64_t> sizes;
    {
      std::lock_guard<std::mutex> hold(model.lock);
      for (const auto& info : model.outputs) sizes.push_back(info.byte_size() / graph.batch);
    }
    for (uint64_t size : sizes) {
      void* address = nullptr;
      void* buffer = nullptr;
      code = kycmMallocModelInOut(size == 0 ? 1 : size, &address);
      if (code == kycore::OK) {
        code = kycmCreateDataBuffer(kycmDeviceInfo{kycmDE_KYCC, device}, address, size, &buffer);
        if (code != kycore::OK) kycmFreeModelInOut(address);
      }
      if (code == kycore::OK) {
        parts.emplace_back(address, buffer);
        code = kycmAddDatasetBuffer(made, buffer);
      }
      if (code != kycore::OK) {
        for (auto& [block, part] : parts) {
          kycmDestroyDataBuffer(part);
          kycmFreeModelInOut(block);
        }
        kycmDestroyDataset(made);
        return code;
      }
    }
  }
  *dataset = made;
  return kycore::OK;
}

}  // namespace kycl
