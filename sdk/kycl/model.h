// A model of the host SDK: an ONNX file whose declared inputs and outputs
// are read from its graph and which runs on OpenCV's dnn module.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <opencv2/dnn.hpp>
#include <string>
#include <vector>

#include "kycm.h"

namespace onnx {
class GraphProto;
}

namespace kycl {

struct TensorInfo {
  std::string name;
  std::vector<int64_t> dims;     // as declared; -1 for a symbolic dimension
  std::vector<int64_t> current;  // the shape the model runs with now
  kycmDType type = kycmDT_FLOAT32;

  uint64_t element_count() const;
  uint64_t byte_size() const;
};

// Whether every tensor the graph stores holds exactly the values its
// dimensions and element type call for, in the file itself.
bool stored_tensors_are_whole(const onnx::GraphProto& graph);

// Bytes of a tensor of these dimensions (symbolic ones counted as 1);
// UINT64_MAX when the product does not fit 64 bits.
uint64_t tensor_bytes(const std::vector<int64_t>& dims, kycmDType type);

// The memory of the die the calling thread works on (device 0 when it has
// none): what a model's inputs and outputs must fit in together.
uint64_t die_memory();

bool same_tensor_type(const TensorInfo& a, const TensorInfo& b);
uint64_t element_size(kycmDType type);

// Largest batch a model with a symbolic batch dimension accepts.
constexpr uint32_t kMaxDynamicBatch = 64;

struct Model {
  std::vector<TensorInfo> inputs;
  std::vector<TensorInfo> outputs;
  bool dynamic = false;         // made by kyclCreateDynamicModel
  bool symbolic_batch = false;  // every input's first dimension is symbolic
  std::mutex lock;              // OpenCV's network is not safe to share between threads
  cv::dnn::Net net;
  std::vector<cv::String> output_names;  // what forward is asked for: the file's outputs, in order

  // Reads and checks the file; 0 or a code.
  uint32_t load(const char* path);
  // Sets the inputs' current shapes and finds the outputs' by running the
  // network once; 0 or a code. Called with `lock` held.
  uint32_t reshape(const std::vector<std::vector<int64_t>>& shapes);
  // Whether inputs of these shapes and the outputs as declared fit the die
  // together: checked before anything of that size is allocated.
  bool fits_die(const std::vector<std::vector<int64_t>>& shapes) const;
  // Runs the network on host copies of the inputs, writing the outputs in
  // their declared types. Called with `lock` held.
  uint32_t run(const std::vector<const uint8_t*>& inputs, const std::vector<uint8_t*>& outputs);
  uint32_t max_batch() const;
  // Runs the network once on zero inputs of the current shapes.
  uint32_t forward_zeros(std::vector<cv::Mat>* results);
  uint32_t batch() const;
};

}  // namespace kycl
