#include "platform/picture.h"

// libjpeg's header needs size_t and FILE declared first.
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

namespace platform {

namespace {

// libjpeg reports fatal errors through error_exit, which must not return: jump back to the
// decode call instead of letting the library end the process.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf escape;
  bool cut_short = false;
};

// A progressive picture may carry any number of scans, each a full pass over the
// coefficients; real pictures have about ten, hostile ones thousands.
constexpr int kMaxScans = 256;

struct Progress {
  jpeg_progress_mgr base;
};

[[noreturn]] void onError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->escape, 1);
}

void onMessage(j_common_ptr info, int level) {
  // Corrupt-data warnings come as level -1 and the library goes on; only data that ends
  // before the picture does is a failure (the rest would be grey filler). Trace messages
  // are not wanted at all.
  if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) {
    reinterpret_cast<ErrorManager*>(info->err)->cut_short = true;
  }
}

void onProgress(j_common_ptr info) {
  if (!info->is_decompressor) return;
  auto* d = reinterpret_cast<j_decompress_ptr>(info);
  if (d->input_scan_number > kMaxScans) onError(info);
}

void noOutput(j_common_ptr) {}

// Kept apart from decodeJpeg so no C++ object with a destructor lives across the setjmp.
PictureResult decodeInto(std::span<const uint8_t> bytes, Picture& out, jpeg_decompress_struct& info,
                         ErrorManager& errors, Progress& progress) {
  jpeg_create_decompress(&info);
  info.progress = &progress.base;
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) return PictureResult::corrupt;
  if (info.image_width == 0 || info.image_height == 0) return PictureResult::corrupt;
  if (info.image_width > static_cast<unsigned>(kMaxPictureSide) ||
      info.image_height > static_cast<unsigned>(kMaxPictureSide) ||
      int64_t{info.image_width} * info.image_height > kMaxPicturePixels) {
    return PictureResult::too_large;
  }
  const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  // Four bytes B, G, R, X per pixel are one little-endian 0xXXRRGGBB word.
  info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRX;
  jpeg_start_decompress(&info);
  if (info.output_components != 4) return PictureResult::corrupt;
  out.width = static_cast<int>(info.output_width);
  out.height = static_cast<int>(info.output_height);
  out.pixels.assign(static_cast<size_t>(out.width) * out.height, 0);
  while (info.output_scanline < info.output_height) {
    uint32_t* row = out.pixels.data() + static_cast<size_t>(info.output_scanline) * out.width;
    JSAMPROW rows[1] = {reinterpret_cast<JSAMPROW>(row)};
    if (jpeg_read_scanlines(&info, rows, 1) != 1 || errors.cut_short) return PictureResult::corrupt;
    for (int x = 0; x < out.width; ++x) {
      const uint32_t v = row[x];
      if (cmyk) {
        // Pictures written by Adobe's programs store CMYK inverted, as libjpeg passes it on.
        const uint32_t c = v & 0xFF, m = v >> 8 & 0xFF, y = v >> 16 & 0xFF, k = v >> 24;
        const uint32_t r = c * k / 255, g = m * k / 255, b = y * k / 255;
        row[x] = r << 16 | g << 8 | b;
      } else {
        row[x] = v & 0x00FFFFFF;
      }
    }
  }
  jpeg_finish_decompress(&info);
  return errors.cut_short ? PictureResult::corrupt : PictureResult::ok;
}

}  // namespace

PictureResult decodeJpeg(std::span<const uint8_t> bytes, Picture& out) {
  out = Picture{};
  if (bytes.empty()) return PictureResult::empty;
  Picture decoded;
  jpeg_decompress_struct info{};
  ErrorManager errors{};
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = onError;
  errors.base.emit_message = onMessage;
  errors.base.output_message = noOutput;
  Progress progress{};
  progress.base.progress_monitor = onProgress;
  // volatile: it must keep its value when the library jumps back to the setjmp.
  volatile PictureResult result = PictureResult::corrupt;
  if (setjmp(errors.escape) == 0) {
    result = decodeInto(bytes, decoded, info, errors, progress);
  }
  jpeg_destroy_decompress(&info);
  if (result == PictureResult::ok) out = std::move(decoded);
  return result;
}

}  // namespace platform
