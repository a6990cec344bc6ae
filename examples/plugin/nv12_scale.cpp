// An example plug-in of customized ops: NV12 scaling with a centred zoom.
//
// Ops: "nv12_scale" (bilinear) and "nv12_scale_nearest". Each scales the
// centre of its input picture to the output picture's size: with a factor
// of 1 the whole input, with 2 the middle half of its width and height, and
// so on (factors below 1 are refused). Configuration:
//   - the 36-byte example block (kyceCustomCfgExample): input and output
//     shapes, and the factor for both directions;
//   - or the example callback table: one input and one output, their shapes
//     as N, C, H, W (pitches equal to the sizes), and the horizontal and
//     vertical factors in per cent.
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <opencv2/imgproc.hpp>

#include "kyce_plugin.h"

namespace {

enum Code : int32_t { ok = 0, bad_argument = 1, bad_shape = 2, not_configured = 3, too_small = 4, failed = 5 };

struct Instance {
  int interpolation = cv::INTER_LINEAR;
  bool configured = false;
  yuvNv12Shape input{};
  yuvNv12Shape output{};
  double zoom_x = 1.0;
  double zoom_y = 1.0;
};

const char* const kNames[] = {"nv12_scale", "nv12_scale_nearest"};

bool valid(const yuvNv12Shape& s) {
  return s.width > 0 && s.height > 0 && s.width % 2 == 0 && s.height % 2 == 0 && s.w_pitch >= s.width &&
         s.h_pitch >= s.height && s.w_pitch % 2 == 0 && s.h_pitch % 2 == 0;
}

uint64_t bytes(const yuvNv12Shape& s) {
  return static_cast<uint64_t>(s.w_pitch) * static_cast<uint64_t>(s.h_pitch) * 3 / 2;
}

int32_t accept(Instance* op, const yuvNv12Shape& in, const yuvNv12Shape& out, double zoom_x, double zoom_y) {
  if (!valid(in) || !valid(out)) return bad_shape;
  if (!(std::isfinite(zoom_x) && std::isfinite(zoom_y) && zoom_x >= 1.0 && zoom_y >= 1.0)) return bad_argument;
  op->input = in;
  op->output = out;
  op->zoom_x = zoom_x;
  op->zoom_y = zoom_y;
  op->configured = true;
  return ok;
}

// An N, C, H, W shape as an NV12 picture without padding.
bool picture_from_dims(const int64_t* dims, yuvNv12Shape* shape) {
  if (dims == nullptr || dims[0] != 4) return false;
  const int64_t height = dims[3];
  const int64_t width = dims[4];
  if (height <= 0 || width <= 0 || height > INT32_MAX || width > INT32_MAX) return false;
  *shape = {static_cast<int32_t>(height), static_cast<int32_t>(width), static_cast<int32_t>(height),
            static_cast<int32_t>(width)};
  return true;
}

int32_t create(const char* name, void** instance) {
  auto* op = new (std::nothrow) Instance;
  if (op == nullptr) return failed;
  if (std::strcmp(name, kNames[1]) == 0) op->interpolation = cv::INTER_NEAREST;
  *instance = op;
  return ok;
}

int32_t configure(void* instance, const void* block, uint32_t size) {
  if (size != sizeof(kyceCustomCfgExample)) return bad_argument;
  kyceCustomCfgExample config;
  std::memcpy(&config, block, sizeof config);
  return accept(static_cast<Instance*>(instance), config.iimage_shape, config.oimage_shape, config.scale, config.scale);
}

int32_t configure_callbacks(void* instance, const kycePluginCallback* callbacks, uint32_t count) {
  if (count < KYCE_EXAMPLE_CALLBACK_SLOTS) return bad_argument;
  auto count_of = [&](int slot) { return reinterpret_cast<kyceExampleCountCallback>(callbacks[slot])(); };
  auto shape_of = [&](int slot) { return reinterpret_cast<kyceExampleShapeCallback>(callbacks[slot])(0); };
  if (count_of(0) != 1 || count_of(2) != 1) return bad_argument;
  yuvNv12Shape in{};
  yuvNv12Shape out{};
  if (!picture_from_dims(shape_of(1), &in) || !picture_from_dims(shape_of(3), &out)) return bad_shape;
  return accept(static_cast<Instance*>(instance), in, out, count_of(4) / 100.0, count_of(5) / 100.0);
}

// The centred part of `size` that a zoom shows, on even coordinates.
cv::Rect zoomed(int width, int height, double zoom_x, double zoom_y) {
  const int w = std::max(2, static_cast<int>(width / zoom_x) & ~1);
  const int h = std::max(2, static_cast<int>(height / zoom_y) & ~1);
  return {((width - w) / 2) & ~1, ((height - h) / 2) & ~1, w, h};
}

int32_t execute(void* instance, const uint8_t* input, uint64_t input_size, uint8_t* output, uint64_t output_size) {
  const auto* op = static_cast<const Instance*>(instance);
  if (!op->configured) return not_configured;
  if (bytes(op->input) > input_size || bytes(op->output) > output_size) return too_small;
  const yuvNv12Shape& is = op->input;
  const yuvNv12Shape& os = op->output;
  auto* source = const_cast<uint8_t*>(input);  // read only: cv::Mat has no const view
  const std::size_t in_area = static_cast<std::size_t>(is.w_pitch) * static_cast<std::size_t>(is.h_pitch);
  const std::size_t out_area = static_cast<std::size_t>(os.w_pitch) * static_cast<std::size_t>(os.h_pitch);
  const cv::Mat in_y(is.height, is.width, CV_8UC1, source, static_cast<std::size_t>(is.w_pitch));
  const cv::Mat in_uv(is.height / 2, is.width / 2, CV_8UC2, source + in_area, static_cast<std::size_t>(is.w_pitch));
  cv::Mat out_y(os.height, os.width, CV_8UC1, output, static_cast<std::size_t>(os.w_pitch));
  cv::Mat out_uv(os.height / 2, os.width / 2, CV_8UC2, output + out_area, static_cast<std::size_t>(os.w_pitch));
  const cv::Rect luma = zoomed(is.width, is.height, op->zoom_x, op->zoom_y);
  const cv::Rect chroma(luma.x / 2, luma.y / 2, luma.width / 2, luma.height / 2);
  try {
    cv::resize(in_y(luma), out_y, out_y.size(), 0, 0, op->interpolation);
    cv::resize(in_uv(chroma), out_uv, out_uv.size(), 0, 0, op->interpolation);
  } catch (const std::exception&) {
    return failed;
  }
  return ok;
}

void destroy(void* instance) { delete static_cast<Instance*>(instance); }

const kycePluginTable kTable = {
    KYCE_PLUGIN_ABI_VERSION, 2, kNames, create, configure, configure_callbacks, execute, destroy,
};

}  // namespace

extern "C" KY_API const kycePluginTable* kycePluginEntry(void) { return &kTable; }
