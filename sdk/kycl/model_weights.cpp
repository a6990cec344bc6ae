// Whether every tensor a model file stores (initializers, sparse ones, and
// tensors held in node attributes, subgraphs included) holds exactly the
// bytes its dimensions and element type call for. OpenCV's importer copies
// as many bytes as the dimensions say, whatever the file holds, so a short
// tensor must never reach it.
#include <onnx/onnx_pb.h>

#include <cstdint>

#include "model.h"

namespace kycl {
namespace {

// Graphs nested deeper than this are refused rather than walked: protobuf
// has already bounded the nesting, this only keeps the stack small.
constexpr int kMaxGraphDepth = 16;

// Bytes of one element when stored in raw_data; 0 for types that have no
// fixed-size form (strings) or that ONNX does not define.
uint64_t raw_element_size(int32_t type) {
  switch (type) {
    case onnx::TensorProto::UINT8:
    case onnx::TensorProto::INT8:
    case onnx::TensorProto::BOOL:
      return 1;
    case onnx::TensorProto::UINT16:
    case onnx::TensorProto::INT16:
    case onnx::TensorProto::FLOAT16:
    case onnx::TensorProto::BFLOAT16:
      return 2;
    case onnx::TensorProto::FLOAT:
    case onnx::TensorProto::INT32:
    case onnx::TensorProto::UINT32:
      return 4;
    case onnx::TensorProto::INT64:
    case onnx::TensorProto::UINT64:
    case onnx::TensorProto::DOUBLE:
    case onnx::TensorProto::COMPLEX64:
      return 8;
    case onnx::TensorProto::COMPLEX128:
      return 16;
    default:
      return 0;
  }
}

// How many values the typed field that ONNX assigns to the element type
// holds, and how many values make one element; false for an unknown type.
bool typed_values(const onnx::TensorProto& tensor, uint64_t* stored, uint64_t* per_element) {
  *per_element = 1;
  switch (tensor.data_type()) {
    case onnx::TensorProto::COMPLEX64:
      *per_element = 2;
      [[fallthrough]];
    case onnx::TensorProto::FLOAT:
      *stored = static_cast<uint64_t>(tensor.float_data_size());
      return true;
    case onnx::TensorProto::UINT8:
    case onnx::TensorProto::INT8:
    case onnx::TensorProto::UINT16:
    case onnx::TensorProto::INT16:
    case onnx::TensorProto::INT32:
    case onnx::TensorProto::BOOL:
    case onnx::TensorProto::FLOAT16:
    case onnx::TensorProto::BFLOAT16:
      *stored = static_cast<uint64_t>(tensor.int32_data_size());
      return true;
    case onnx::TensorProto::INT64:
      *stored = static_cast<uint64_t>(tensor.int64_data_size());
      return true;
    case onnx::TensorProto::UINT32:
    case onnx::TensorProto::UINT64:
      *stored = static_cast<uint64_t>(tensor.uint64_data_size());
      return true;
    case onnx::TensorProto::COMPLEX128:
      *per_element = 2;
      [[fallthrough]];
    case onnx::TensorProto::DOUBLE:
      *stored = static_cast<uint64_t>(tensor.double_data_size());
      return true;
    case onnx::TensorProto::STRING:
      *stored = static_cast<uint64_t>(tensor.string_data_size());
      return true;
    default:
      return false;
  }
}

bool tensor_is_whole(const onnx::TensorProto& tensor) {
  // Weights in another file are not read: the model is its one file.
  if (tensor.data_location() == onnx::TensorProto::EXTERNAL || tensor.external_data_size() != 0) return false;
  if (tensor.has_segment()) return false;
  uint64_t count = 1;
  for (const int64_t dim : tensor.dims()) {
    if (dim < 0) return false;
    if (dim != 0 && count > UINT64_MAX / static_cast<uint64_t>(dim)) return false;
    count *= static_cast<uint64_t>(dim);
  }
  // Writers may leave an empty raw_data beside typed values.
  if (tensor.has_raw_data() && (!tensor.raw_data().empty() || count == 0)) {
    const uint64_t size = raw_element_size(tensor.data_type());
    if (size == 0 || count > UINT64_MAX / size) return false;
    return tensor.raw_data().size() == count * size;
  }
  uint64_t stored = 0;
  uint64_t per_element = 1;
  if (!typed_values(tensor, &stored, &per_element)) return false;
  return stored == count * per_element;
}

bool sparse_is_whole(const onnx::SparseTensorProto& sparse) {
  for (const int64_t dim : sparse.dims()) {
    if (dim < 0) return false;
  }
  return tensor_is_whole(sparse.values()) && tensor_is_whole(sparse.indices());
}

bool graph_is_whole(const onnx::GraphProto& graph, int depth);

bool attribute_is_whole(const onnx::AttributeProto& attribute, int depth) {
  if (attribute.has_t() && !tensor_is_whole(attribute.t())) return false;
  for (const auto& tensor : attribute.tensors()) {
    if (!tensor_is_whole(tensor)) return false;
  }
  if (attribute.has_sparse_tensor() && !sparse_is_whole(attribute.sparse_tensor())) return false;
  for (const auto& sparse : attribute.sparse_tensors()) {
    if (!sparse_is_whole(sparse)) return false;
  }
  if (attribute.has_g() && !graph_is_whole(attribute.g(), depth + 1)) return false;
  for (const auto& graph : attribute.graphs()) {
    if (!graph_is_whole(graph, depth + 1)) return false;
  }
  return true;
}

bool graph_is_whole(const onnx::GraphProto& graph, int depth) {
  if (depth > kMaxGraphDepth) return false;
  for (const auto& tensor : graph.initializer()) {
    if (!tensor_is_whole(tensor)) return false;
  }
  for (const auto& sparse : graph.sparse_initializer()) {
    if (!sparse_is_whole(sparse)) return false;
  }
  for (const auto& node : graph.node()) {
    for (const auto& attribute : node.attribute()) {
      if (!attribute_is_whole(attribute, depth)) return false;
    }
  }
  return true;
}

}  // namespace

bool stored_tensors_are_whole(const onnx::GraphProto& graph) { return graph_is_whole(graph, 0); }

}  // namespace kycl
