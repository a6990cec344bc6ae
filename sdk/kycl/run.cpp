// Running one request through a built graph. A request's inputs and outputs
// are datasets of device buffers: graph input op k reads buffer k of the
// inputs; the outputs dataset holds, in order, every output of every
// registered output op. Models in between pass their results in host memory.
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

}  // namespace

uint32_t run_graph(const BuiltGraph& graph, void* inputs, void* outputs) {
  std::unordered_map<const void*, std::vector<std::vector<uint8_t>>> results;
  std::vector<kycore::DeviceSpan> held;  // keeps the caller's blocks alive during the run
  for (const auto& step : graph.steps) {
    Model& model = *step.op->model;
    std::lock_guard<std::mutex> hold(model.lock);
    std::vector<const uint8_t*> in;
    for (std::size_t slot = 0; slot < step.op->sources.size(); ++slot) {
      const void* source = step.op->sources[slot];
      const uint64_t size = model.inputs[slot].byte_size();
      auto produced = results.find(source);
      if (produced != results.end()) {
        if (produced->second[0].size() != size) return kycore::KYCL_INVALID_GRAPH;
        in.push_back(produced->second[0].data());
        continue;
      }
      auto op = find_op(source);
      if (!op || op->kind != Op::Kind::graph_input) return kycore::KYCL_INVALID_GRAPH;
      kycore::DeviceSpan span;
      const uint32_t code = buffer_span(inputs, op->input_index, size, &span);
      if (code != kycore::OK) return code;
      in.push_back(span.data);
      held.push_back(std::move(span));
    }
    auto& out = results[step.handle];
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
      kycore::DeviceSpan span;
      const uint32_t code = buffer_span(outputs, index++, bytes.size(), &span);
      if (code != kycore::OK) return code;
      if (!bytes.empty()) std::memcpy(span.data, bytes.data(), bytes.size());
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
      for (const auto& info : model.outputs) sizes.push_back(info.byte_size());
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
