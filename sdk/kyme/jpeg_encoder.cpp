// Baseline JPEG through libjpeg's compressor, one compressor object per
// picture: nothing of a failed or earlier picture reaches the next one.
// The TurboJPEG interface cannot write markers, and the channel's user data
// goes into a COM segment, so the pictures are fed as scanlines: YCbCr
// rows whose chroma is repeated to full width (libjpeg's own downsampling
// then gives back exactly the caller's chroma samples), grey rows, or RGB
// rows in the extended colour spaces of libjpeg-turbo.
#include "jpeg_encoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "kycore/error_codes.h"
#include "picture_format.h"

namespace kyme {
namespace {

using namespace kycore;

struct ErrorTrap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void leave(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorTrap*>(info->err)->jump, 1); }
void stay_quiet(j_common_ptr /*info*/) {}

struct Layout {
  J_COLOR_SPACE space;
  int components;
  int h_sampling;  // luma samples per chroma sample of the caller's picture
  int v_sampling;
};

bool layout_of(kymePixelFormat format, Layout* layout) {
  switch (format) {
    case KYME_PIX_FMT_YUV420P:
    case KYME_PIX_FMT_NV12:
    case KYME_PIX_FMT_NV21:
      *layout = {JCS_YCbCr, 3, 2, 2};
      return true;
    case KYME_PIX_FMT_YUV422P:
      *layout = {JCS_YCbCr, 3, 2, 1};
      return true;
    case KYME_PIX_FMT_YUV444P:
      *layout = {JCS_YCbCr, 3, 1, 1};
      return true;
    case KYME_PIX_FMT_GRAY8:
      *layout = {JCS_GRAYSCALE, 1, 1, 1};
      return true;
    case KYME_PIX_FMT_RGB24:
      *layout = {JCS_EXT_RGB, 3, 2, 2};
      return true;
    case KYME_PIX_FMT_BGR24:
      *layout = {JCS_EXT_BGR, 3, 2, 2};
      return true;
    case KYME_PIX_FMT_ARGB:
      *layout = {JCS_EXT_ARGB, 4, 2, 2};
      return true;
    case KYME_PIX_FMT_RGBA:
      *layout = {JCS_EXT_RGBA, 4, 2, 2};
      return true;
    case KYME_PIX_FMT_ABGR:
      *layout = {JCS_EXT_ABGR, 4, 2, 2};
      return true;
    case KYME_PIX_FMT_BGRA:
      *layout = {JCS_EXT_BGRA, 4, 2, 2};
      return true;
    default:
      return false;
  }
}

// Row `y` of the picture as libjpeg takes it.
void fill_row(const AVFrame* picture, kymePixelFormat format, const Layout& layout, int y, uint8_t* row) {
  const int width = picture->width;
  const uint8_t* luma = picture->data[0] + static_cast<std::ptrdiff_t>(y) * picture->linesize[0];
  if (layout.space != JCS_YCbCr) {
    std::copy(luma, luma + static_cast<std::ptrdiff_t>(width) * layout.components, row);
    return;
  }
  const int cy = y / layout.v_sampling;
  const uint8_t* u = picture->data[1] + static_cast<std::ptrdiff_t>(cy) * picture->linesize[1];
  if (format == KYME_PIX_FMT_NV12 || format == KYME_PIX_FMT_NV21) {
    const int first = format == KYME_PIX_FMT_NV12 ? 0 : 1;
    for (int x = 0; x < width; ++x) {
      row[3 * x] = luma[x];
      row[3 * x + 1] = u[2 * (x / 2) + first];
      row[3 * x + 2] = u[2 * (x / 2) + 1 - first];
    }
    return;
  }
  const uint8_t* v = picture->data[2] + static_cast<std::ptrdiff_t>(cy) * picture->linesize[2];
  const int h = layout.h_sampling;
  for (int x = 0; x < width; ++x) {
    row[3 * x] = luma[x];
    row[3 * x + 1] = u[x / h];
    row[3 * x + 2] = v[x / h];
  }
}

// The JPEG file of `picture` in `*out` (malloc'd, `*size` bytes); false
// when libjpeg gave up.
bool compress(const AVFrame* picture, kymePixelFormat format, const Layout& layout, const std::string& comment,
              std::vector<uint8_t>& row, unsigned char** out, unsigned long* size) {
  jpeg_compress_struct info{};
  ErrorTrap trap{};
  info.err = jpeg_std_error(&trap.manager);
  trap.manager.error_exit = leave;
  trap.manager.output_message = stay_quiet;
  unsigned char* buffer = nullptr;
  unsigned long bytes = 0;
  row.resize(static_cast<std::size_t>(picture->width) * layout.components);
  if (setjmp(trap.jump) != 0) {
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &bytes);
  info.image_width = static_cast<JDIMENSION>(picture->width);
  info.image_height = static_cast<JDIMENSION>(picture->height);
  info.input_components = layout.components;
  info.in_color_space = layout.space;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, kJpegQuality, TRUE);
  if (layout.space == JCS_YCbCr) {
    info.comp_info[0].h_samp_factor = layout.h_sampling;
    info.comp_info[0].v_samp_factor = layout.v_sampling;
    for (int c = 1; c < 3; ++c) info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
  }
  jpeg_start_compress(&info, TRUE);
  if (!comment.empty()) {
    jpeg_write_marker(&info, JPEG_COM, reinterpret_cast<const JOCTET*>(comment.data()),
                      static_cast<unsigned int>(comment.size()));
  }
  JSAMPROW rows[1] = {row.data()};
  for (int y = 0; y < picture->height; ++y) {
    fill_row(picture, format, layout, y, row.data());
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  *out = buffer;
  *size = bytes;
  return true;
}

class JpegEncoder final : public PictureEncoder {
 public:
  JpegEncoder(kymePixelFormat format, Layout layout, int width, int height, std::string comment)
      : format_(format), layout_(layout), width_(width), height_(height), comment_(std::move(comment)) {}

  AVPixelFormat format() const override { return to_av_format(format_); }
  int width() const override { return width_; }
  int height() const override { return height_; }
  bool accepts(kymePixelFormat format) const override { return format == format_; }

  // Forced IDR, regions, bit rates and resets mean nothing to a JPEG picture.
  uint32_t check(const kymeEncExtendedParams* /*params*/, PictureRequest* request) const override {
    *request = PictureRequest{};
    return OK;
  }

  uint32_t encode(AVFrame* picture, const PictureRequest& /*request*/, UnitSink& sink) override {
    unsigned char* bytes = nullptr;
    unsigned long size = 0;
    if (!compress(picture, format_, layout_, comment_, row_, &bytes, &size)) return KYME_ENCODE_FAILED;
    sink.put(bytes, size, picture->pts);
    std::free(bytes);
    return OK;
  }

  uint32_t finish(UnitSink& /*sink*/) override { return OK; }
  uint32_t restart() override { return OK; }

 private:
  kymePixelFormat format_;
  Layout layout_;
  int width_;
  int height_;
  std::string comment_;
  std::vector<uint8_t> row_;
};

}  // namespace

bool jpeg_encodes(kymePixelFormat format) {
  Layout layout;
  return layout_of(format, &layout);
}

std::unique_ptr<PictureEncoder> make_jpeg_encoder(kymePixelFormat format, int width, int height, std::string comment) {
  Layout layout;
  if (!layout_of(format, &layout)) return nullptr;
  return std::make_unique<JpegEncoder>(format, layout, width, height, std::move(comment));
}

}  // namespace kyme
