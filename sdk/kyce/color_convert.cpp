// cvtColor: each code names its source and destination formats (see the
// table below). BT.601 conversions between YUV and RGB are OpenCV's; BT.709
// ones the op engine's own (yuv_bt709.h). Gray conversions use OpenCV's
// weights whatever the colour space, which only concerns YUV.
#include <opencv2/imgproc.hpp>
#include <vector>

#include "device_image.h"
#include "kyce.h"
#include "kycore/c_boundary.h"
#include "kycore/test_control.h"
#include "op_guard.h"
#include "yuv_bt709.h"

namespace {

struct Route {
  kyceImageType from;
  kyceImageType to;
  kyceImageType from_also;  // a second accepted source format, or the first again
  bool blue_first;          // channel order of the RGB side
};

bool route_of(kyceColorCvtCode code, kyceImageType input, Route* route) {
  switch (code) {
    case kyceCOLOR_YUV2RGB_NV12:
      *route = {kyceIMG_YUV_NV12, kyceIMG_RGB888, kyceIMG_YUV_NV12, false};
      return true;
    case kyceCOLOR_YUV2BGR_NV12:
      *route = {kyceIMG_YUV_NV12, kyceIMG_BGR888, kyceIMG_YUV_NV12, true};
      return true;
    case kyceCOLOR_NO_CHANGE:
      *route = {input, input, input, false};
      return true;
    case kyceCOLOR_BGR2RGB:  // also RGB2BGR: the destination is the other order
      *route = input == kyceIMG_RGB888 ? Route{kyceIMG_RGB888, kyceIMG_BGR888, kyceIMG_RGB888, false}
                                       : Route{kyceIMG_BGR888, kyceIMG_RGB888, kyceIMG_BGR888, true};
      return true;
    case kyceCOLOR_BGR2RGB_INTERLEAVE2PLANAR:
    case kyceCOLOR_BGR2BGR_INTERLEAVE2PLANAR:
      *route = {kyceIMG_BGR888, kyceIMG_RGB_PLANAR, kyceIMG_BGR888, true};
      return true;
    case kyceCOLOR_RGB2BGR_INTERLEAVE2PLANAR:
    case kyceCOLOR_RGB2RGB_INTERLEAVE2PLANAR:
      *route = {kyceIMG_RGB888, kyceIMG_RGB_PLANAR, kyceIMG_RGB888, false};
      return true;
    case kyceCOLOR_YUV2GRAY_NV12:
      *route = {kyceIMG_YUV_NV12, kyceIMG_GRAY, kyceIMG_YUV_NV12, false};
      return true;
    case kyceCOLOR_BGR2GRAY_INTERLEAVE:
      *route = {kyceIMG_BGR888, kyceIMG_GRAY, kyceIMG_BGR888, true};
      return true;
    case kyceCOLOR_RGB2GRAY_INTERLEAVE:
      *route = {kyceIMG_RGB888, kyceIMG_GRAY, kyceIMG_RGB888, false};
      return true;
    case kyceCOLOR_BGR2GRAY_PLANAR:
      *route = {kyceIMG_RGB_PLANAR, kyceIMG_GRAY, kyceIMG_RGB_PLANAR, true};
      return true;
    case kyceCOLOR_RGB2GRAY_PLANAR:
      *route = {kyceIMG_RGB_PLANAR, kyceIMG_GRAY, kyceIMG_RGB_PLANAR, false};
      return true;
    case kyceCOLOR_RGB2YUV_NV12_PLANAR:
      *route = {kyceIMG_RGB888, kyceIMG_YUV_NV12, kyceIMG_RGB_PLANAR, false};
      return true;
    case kyceCOLOR_BGR2YUV_NV12_PLANAR:
      *route = {kyceIMG_BGR888, kyceIMG_YUV_NV12, kyceIMG_RGB_PLANAR, true};
      return true;
    default:
      return false;
  }
}

// The planes written for each interleaved-to-planar code, by source channel.
std::vector<int> planar_order(kyceColorCvtCode code) {
  switch (code) {
    case kyceCOLOR_BGR2RGB_INTERLEAVE2PLANAR:  // B G R -> R, G, B
    case kyceCOLOR_RGB2BGR_INTERLEAVE2PLANAR:  // R G B -> B, G, R
      return {0, 2, 1, 1, 2, 0};
    default:  // same order
      return {0, 0, 1, 1, 2, 2};
  }
}

// Interleaved 3-channel pixels of a source given interleaved or as planes in
// its route's channel order.
cv::Mat interleaved(const kyce::DeviceImage& image) {
  if (image.desc().format != kyceIMG_RGB_PLANAR) return image.planes()[0];
  cv::Mat merged;
  cv::merge(image.planes(), merged);
  return merged;
}

void write(const cv::Mat& result, cv::Mat& destination) {
  if (result.data != destination.data) kyce::store(result, destination);
}

void yuv_to_rgb(const kyce::DeviceImage& source, kyce::DeviceImage& target, bool blue_first, kyceColorSpace space) {
  cv::Mat& out = target.planes()[0];
  if (space == kyceCOLOR_SPACE_BT709) {
    kyce::nv12_to_rgb_bt709(source.planes()[0], source.planes()[1], out, blue_first);
    return;
  }
  cv::Mat result = out;
  cv::cvtColorTwoPlane(source.planes()[0], source.planes()[1], result,
                       blue_first ? cv::COLOR_YUV2BGR_NV12 : cv::COLOR_YUV2RGB_NV12);
  write(result, out);
}

void rgb_to_yuv(const kyce::DeviceImage& source, kyce::DeviceImage& target, bool blue_first, kyceColorSpace space) {
  const cv::Mat pixels = interleaved(source);
  cv::Mat& y = target.planes()[0];
  cv::Mat& uv = target.planes()[1];
  if (space == kyceCOLOR_SPACE_BT709) {
    kyce::rgb_to_nv12_bt709(pixels, blue_first, y, uv);
    return;
  }
  cv::Mat i420;
  cv::cvtColor(pixels, i420, blue_first ? cv::COLOR_BGR2YUV_I420 : cv::COLOR_RGB2YUV_I420);
  const int w = pixels.cols;
  const int h = pixels.rows;
  kyce::store(i420.rowRange(0, h), y);
  const cv::Mat u(h / 2, w / 2, CV_8UC1, i420.ptr<uint8_t>(h));
  const cv::Mat v(h / 2, w / 2, CV_8UC1, i420.ptr<uint8_t>(h) + static_cast<size_t>(w / 2) * (h / 2));
  cv::Mat merged = uv;
  cv::merge(std::vector<cv::Mat>{u, v}, merged);
  write(merged, uv);
}

}  // namespace

extern "C" KY_API uint32_t kyceCvtColor(kyceColorCvtCode code, kyceColorSpace space, kyceImageDesc input,
                                        void* input_image, kyceImageDesc output, void* output_image) try {
  KY_GATE("kyceCvtColor", {}, code, space, input_image, output_image);
  return kyce::guarded([&]() -> uint32_t {
    Route route{};
    if (!route_of(code, input.format, &route)) return kyceER_INVALID_TYPE;
    if (space != kyceCOLOR_SPACE_BT709 && space != kyceCOLOR_SPACE_BT601) return kyceER_INVALID_TYPE;
    kyce::DeviceImage source;
    kyce::DeviceImage target;
    uint32_t status = source.open(input, input_image);
    if (status == kyceER_SUCCESS) status = target.open(output, output_image);
    if (status != kyceER_SUCCESS) return status;
    if ((input.format != route.from && input.format != route.from_also) || output.format != route.to) {
      return kyceER_INVALID_FORMAT;
    }
    if (output.width != input.width || output.height != input.height) return kyceER_INVALID_SIZE;
    source.detach_from(target);
    const cv::Mat& first = source.planes()[0];
    cv::Mat& out = target.planes()[0];
    switch (code) {
      case kyceCOLOR_YUV2RGB_NV12:
      case kyceCOLOR_YUV2BGR_NV12:
        yuv_to_rgb(source, target, route.blue_first, space);
        break;
      case kyceCOLOR_NO_CHANGE:
        for (size_t i = 0; i < source.planes().size(); ++i) kyce::store(source.planes()[i], target.planes()[i]);
        break;
      case kyceCOLOR_BGR2RGB: {
        cv::Mat result = out;
        cv::cvtColor(first, result, cv::COLOR_BGR2RGB);
        write(result, out);
        break;
      }
      case kyceCOLOR_BGR2RGB_INTERLEAVE2PLANAR:
      case kyceCOLOR_RGB2BGR_INTERLEAVE2PLANAR:
      case kyceCOLOR_BGR2BGR_INTERLEAVE2PLANAR:
      case kyceCOLOR_RGB2RGB_INTERLEAVE2PLANAR: {
        const std::vector<int> pairs = planar_order(code);
        cv::mixChannels(std::vector<cv::Mat>{first}, target.planes(), pairs);
        break;
      }
      case kyceCOLOR_YUV2GRAY_NV12:
        kyce::store(first, out);
        break;
      case kyceCOLOR_RGB2YUV_NV12_PLANAR:
      case kyceCOLOR_BGR2YUV_NV12_PLANAR:
        rgb_to_yuv(source, target, route.blue_first, space);
        break;
      default: {  // the four gray codes
        cv::Mat result = out;
        cv::cvtColor(interleaved(source), result, route.blue_first ? cv::COLOR_BGR2GRAY : cv::COLOR_RGB2GRAY);
        write(result, out);
        break;
      }
    }
    return kyceER_SUCCESS;
  });
}
KYCE_CATCH
