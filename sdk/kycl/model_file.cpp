// Reading a model file: the declared inputs and outputs come from the ONNX
// graph itself (OpenCV cannot report declared input shapes), the network
// from OpenCV's ONNX importer.
#include <fcntl.h>
#include <onnx/onnx_pb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <unordered_set>

#include "class_shares_layer.h"
#include "conv3x3_abs_mean_layer.h"
#include "conv_routing.h"
#include "global_average_pool_layer.h"
#include "kycore/error_codes.h"
#include "model.h"
#include "softmax_layer.h"

namespace kycl {
namespace {

constexpr std::size_t kMaxDims = 6;
// The largest message protobuf parses.
constexpr uint64_t kMaxModelBytes = (uint64_t{1} << 31) - 1;

bool to_dtype(int32_t onnx_type, kycmDType* type) {
  switch (onnx_type) {
    case onnx::TensorProto::FLOAT:
      *type = kycmDT_FLOAT32;
      return true;
    case onnx::TensorProto::UINT8:
      *type = kycmDT_UINT8;
      return true;
    case onnx::TensorProto::INT8:
      *type = kycmDT_INT8;
      return true;
    case onnx::TensorProto::UINT16:
      *type = kycmDT_UINT16;
      return true;
    case onnx::TensorProto::INT16:
      *type = kycmDT_INT16;
      return true;
    case onnx::TensorProto::INT32:
      *type = kycmDT_INT32;
      return true;
    case onnx::TensorProto::FLOAT16:
      *type = kycmDT_FLOAT16;
      return true;
    default:
      return false;  // no element type of the SDK holds it
  }
}

bool to_info(const onnx::ValueInfoProto& value, TensorInfo* info) {
  if (!value.type().has_tensor_type()) return false;
  const auto& tensor = value.type().tensor_type();
  if (!to_dtype(tensor.elem_type(), &info->type)) return false;
  info->name = value.name();
  if (!tensor.has_shape() || static_cast<std::size_t>(tensor.shape().dim_size()) > kMaxDims) return false;
  for (const auto& dim : tensor.shape().dim()) {
    info->dims.push_back(dim.has_dim_value() && dim.dim_value() > 0 ? dim.dim_value() : -1);
  }
  return true;
}

// The whole of a regular file. Anything else is refused before a byte is
// read: a pipe without a writer would block for ever, and a device such as
// /dev/zero never ends.
bool read_regular_file(const char* path, std::string* bytes) {
  if (path == nullptr) return false;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0 &&
            static_cast<uint64_t>(info.st_size) <= kMaxModelBytes;
  if (ok) {
    bytes->resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (ok && done < bytes->size()) {
      const ssize_t got = ::pread(fd, bytes->data() + done, bytes->size() - done, static_cast<off_t>(done));
      if (got > 0) {
        done += static_cast<std::size_t>(got);
      } else if (got == 0 || errno != EINTR) {
        ok = got == 0 && done == bytes->size();
      }
    }
    bytes->resize(done);
  }
  ::close(fd);
  return ok;
}

}  // namespace

uint32_t Model::load(const char* path) {
  std::string bytes;
  if (!read_regular_file(path, &bytes)) return kycore::KYCM_IO_ERROR;
  onnx::ModelProto proto;
  if (!proto.ParseFromString(bytes)) return kycore::KYCL_UNSUPPORTED_MODEL;
  const auto& graph = proto.graph();
  if (!stored_tensors_are_whole(graph)) return kycore::KYCL_UNSUPPORTED_MODEL;
  std::unordered_set<std::string> constants;
  for (const auto& initializer : graph.initializer()) constants.insert(initializer.name());
  for (const auto& value : graph.input()) {
    if (constants.count(value.name()) != 0) continue;  // a weight, not an input
    TensorInfo info;
    if (!to_info(value, &info)) return kycore::KYCL_UNSUPPORTED_MODEL;
    inputs.push_back(std::move(info));
  }
  for (const auto& value : graph.output()) {
    TensorInfo info;
    if (!to_info(value, &info)) return kycore::KYCL_UNSUPPORTED_MODEL;
    outputs.push_back(std::move(info));
  }
  if (inputs.empty() || outputs.empty()) return kycore::KYCL_UNSUPPORTED_MODEL;
  symbolic_batch = true;
  for (const auto& input : inputs) symbolic_batch = symbolic_batch && !input.dims.empty() && input.dims[0] < 0;
  // Symbolic dimensions start at 1 until the caller sets a shape.
  std::vector<std::vector<int64_t>> shapes;
  for (const auto& input : inputs) {
    std::vector<int64_t> shape = input.dims;
    for (auto& dim : shape) dim = dim < 0 ? 1 : dim;
    shapes.push_back(shape);
  }
  if (!fits_die(shapes)) return kycore::KYCM_OUT_OF_MEMORY;
  // The graph OpenCV imports is the file's, with the nodes the die has layers
  // of its own for (the same values, faster) given to those.
  // Each routing registers the layers it gave nodes to.
  const bool softmax = route_softmax_nodes(&proto);
  const bool convolution = route_convolution_nodes(&proto);
  const bool pooling = route_global_average_pool_nodes(&proto);
  const bool shares = route_class_shares(&proto);     // of the nodes the three took
  const bool edges = route_conv3x3_abs_mean(&proto);  // of the convolutions taken
  const bool routed = softmax || convolution || pooling || shares || edges;
  if (routed && !proto.SerializeToString(&bytes)) return kycore::KYCL_UNSUPPORTED_MODEL;
  try {
    net = cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
  } catch (const cv::Exception&) {
    return kycore::KYCL_UNSUPPORTED_MODEL;
  }
  if (net.empty()) return kycore::KYCL_UNSUPPORTED_MODEL;
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
  std::lock_guard<std::mutex> hold(lock);
  return reshape(shapes);
}

}  // namespace kycl
