#include "graphics/image.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/display.h"
#include "platform/font.h"
#include "platform/picture.h"

namespace gfx {

namespace {

// Set again by every thread that sets a drawing target, read by every drawing call.
std::atomic<ImageResolver> g_resolver{nullptr};

bool has_sse2() {
#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
  static const bool supported = __builtin_cpu_supports("sse2");
  return supported;
#else
  return false;
#endif
}

uint32_t apply_rop(uint32_t d, uint32_t s, uint32_t rop) {
  switch (rop) {
    case kSrcPaint:
      return d | s;
    case kSrcAnd:
      return d & s;
    case kSrcInvert:
      return d ^ s;
    default:
      return s;
  }
}

}  // namespace

void fatal_graphics_error(const std::string& title, const std::string& text) {
  // The box waits for the user: a program that ends on a broken image says so where it is seen.
  platform::showMessageBox(title, text, true);
  std::exit(-11);
}

void set_image_resolver(ImageResolver resolver) {
  g_resolver.store(resolver, std::memory_order_relaxed);
}

IMAGE* resolve_image(PIMAGE img, bool draws) {
  if (reinterpret_cast<uintptr_t>(img) >= 32) return img;
  const ImageResolver resolver = g_resolver.load(std::memory_order_relaxed);
  return resolver ? resolver(img, draws) : nullptr;
}

IMAGE::IMAGE() : IMAGE(1, 1) {}

IMAGE::IMAGE(int width, int height) {
  size_to(std::max(width, 1), std::max(height, 1), true);
}

IMAGE::~IMAGE() {
  tag_ = 0;
}

void IMAGE::check(const char* function) const {
  if (tag_ == kTypeTag) return;
  char text[160];
  std::snprintf(text, sizeof text, "Fatal error: read/write at 0x%p. At function '%s'",
                static_cast<const void*>(this), function);
  fatal_graphics_error("Graphics ERROR message", text);
}

int IMAGE::size_to(int width, int height, bool fresh) {
  // The window system refuses an empty bitmap; the image stays as it was.
  constexpr int kInvalidParameter = 87;
  if (width < 1 || height < 1) return kInvalidParameter;
  // One spare row past the last visible one, as the bitmap the pages are modelled on has.
  buffer_.assign(static_cast<size_t>(width) * (static_cast<size_t>(height) + 1), 0);
  width_ = width;
  height_ = height;
  if (fresh) {
    line_color = text_color = pen_color = 0xA8A8A8;
    bk_color = 0;
    bk_mode = kOpaque;
    fill_color = brush_color = 0;
    brush_hatch = -1;
    line_style = pen_style = 0;
    line_pattern = 0;
    line_thickness = line_thickness_copy = pen_width = 1;
    pen_dashes.clear();
    text_halign = 0;
    text_valign = 2;
    smoothing = 0;
  }
  vp_left = vp_top = 0;
  vp_right = width;
  vp_bottom = height;
  clip = 1;
  origin_x = origin_y = 0;
  clip_left = clip_top = 0;
  clip_right = width;
  clip_bottom = height;
  clear();
  return 0;
}

void IMAGE::clear() {
  std::fill_n(buffer_.begin(), static_cast<size_t>(width_) * height_, bk_color);
}

int IMAGE::createimage(int width, int height) {
  check("IMAGE::createimage");
  return size_to(width, height, false);
}

void IMAGE::copyimage(PIMAGE source) {
  check("IMAGE::copyimage");
  IMAGE* src = resolve_image(source, false);
  if (!src || src == this) return;
  if (src->width_ != width_ || src->height_ != height_) {
    if (size_to(src->width_, src->height_, false) != 0) return;
  }
  std::copy_n(src->buffer_.begin(), static_cast<size_t>(width_) * height_, buffer_.begin());
}

int IMAGE::getimage(const void* bytes, size_t length) {
  check("IMAGE::getimage");
  constexpr int kNotDecoded = -12;
  if (!bytes || length == 0) return kNotDecoded;
  platform::Picture picture;
  if (platform::decodeJpeg({static_cast<const uint8_t*>(bytes), length}, picture) !=
      platform::PictureResult::ok) {
    return kNotDecoded;
  }
  // Pixel sizes at the drawing target's 96 dots per inch are the picture's own.
  if (const int rc = size_to(picture.width, picture.height, false); rc != 0) return rc;
  for (int y = 0; y < height_; ++y) {
    std::copy_n(picture.pixels.begin() + static_cast<ptrdiff_t>(y) * width_, width_,
                buffer_.begin() + static_cast<ptrdiff_t>(y) * width_);
  }
  return 0;
}

void IMAGE::putimage(int x, int y, uint32_t rop) const {
  check("IMAGE::putimage");
  putimage(nullptr, x, y, width_, height_, 0, 0, rop);
}

void IMAGE::putimage(PIMAGE dst, int x, int y, uint32_t rop) const {
  check("IMAGE::putimage");
  putimage(dst, x, y, width_, height_, 0, 0, rop);
}

void IMAGE::putimage(PIMAGE dst, int xd, int yd, int wd, int hd, int xs, int ys,
                     uint32_t rop) const {
  check("IMAGE::putimage");
  IMAGE* d = resolve_image(dst, true);
  if (!d || wd <= 0 || hd <= 0) return;
  // Destination coordinates are relative to the viewport origin and cut by the clip
  // rectangle; source pixels outside the source are not copied.
  const int x0 = xd + d->origin_x, y0 = yd + d->origin_y;
  const int left = std::max({x0, d->clip_left, x0 - xs});
  const int top = std::max({y0, d->clip_top, y0 - ys});
  const int right = std::min({x0 + wd, d->clip_right, x0 - xs + width_});
  const int bottom = std::min({y0 + hd, d->clip_bottom, y0 - ys + height_});
  if (left >= right || top >= bottom) return;
  // Copy through a snapshot of the source rows so a blit within one image reads the
  // pixels as they were before it.
  const int run = right - left;
  std::vector<uint32_t> row(static_cast<size_t>(run));
  const bool overlap = d == this;
  auto copy_row = [&](int y) {
    const uint32_t* s =
        buffer_.data() + static_cast<size_t>(y - y0 + ys) * width_ + (left - x0 + xs);
    uint32_t* out = d->buffer_.data() + static_cast<size_t>(y) * d->width_ + left;
    std::copy_n(s, run, row.begin());
    for (int i = 0; i < run; ++i) out[i] = apply_rop(out[i], row[i], rop);
  };
  // Rows go bottom-up when copying downwards within one image, so no source row is
  // overwritten before it is read.
  if (overlap && y0 > ys) {
    for (int y = bottom - 1; y >= top; --y) copy_row(y);
  } else {
    for (int y = top; y < bottom; ++y) copy_row(y);
  }
}

void IMAGE::putimage(PIMAGE dst, int xd, int yd, int wd, int hd, int xs, int ys, int ws, int hs,
                     uint32_t rop) const {
  check("IMAGE::putimage");
  IMAGE* d = resolve_image(dst, true);
  if (!d || wd <= 0 || hd <= 0 || ws <= 0 || hs <= 0) return;
  // Nearest source pixel for each destination pixel, dropping or repeating whole pixels
  // like the colour-on-colour stretch mode.
  std::vector<uint32_t> snapshot(buffer_.begin(), buffer_.end());
  const int x0 = xd + d->origin_x, y0 = yd + d->origin_y;
  const int left = std::max(x0, d->clip_left), right = std::min(x0 + wd, d->clip_right);
  const int top = std::max(y0, d->clip_top), bottom = std::min(y0 + hd, d->clip_bottom);
  for (int y = top; y < bottom; ++y) {
    const int sy = ys + static_cast<int>(static_cast<int64_t>(y - y0) * hs / hd);
    if (sy < 0 || sy >= height_) continue;
    uint32_t* out = d->buffer_.data() + static_cast<size_t>(y) * d->width_;
    for (int x = left; x < right; ++x) {
      const int sx = xs + static_cast<int>(static_cast<int64_t>(x - x0) * ws / wd);
      if (sx < 0 || sx >= width_) continue;
      out[x] = apply_rop(out[x], snapshot[static_cast<size_t>(sy) * width_ + sx], rop);
    }
  }
}

namespace {

// The blend rectangle: whole source for a zero width, cut to the source, moved off negative
// origins, and ending one pixel before a destination edge it would cross.
bool clip_blend(const IMAGE& src, const IMAGE& dst, int& xd, int& yd, int& xs, int& ys, int& w,
                int& h) {
  if (w == 0) {
    w = src.width();
    h = src.height();
  }
  w = std::min(w, src.width());
  h = std::min(h, src.height());
  // A negative origin on either side shortens the run and moves the other side along.
  auto clipNegative = [](int& origin, int& other, int& length) {
    if (origin >= 0) return;
    length += origin;
    other -= origin;
    origin = 0;
  };
  clipNegative(xs, xd, w);
  clipNegative(ys, yd, h);
  clipNegative(xd, xs, w);
  clipNegative(yd, ys, h);
  if (xd + w > dst.width()) w = dst.width() - xd - 1;
  if (yd + h > dst.height()) h = dst.height() - yd - 1;
  // Not part of the rule, which trusts callers to stay inside the source: keeps a careless
  // call from reading past the buffer.
  w = std::min(w, src.width() - xs);
  h = std::min(h, src.height() - ys);
  return w > 0 && h > 0;
}

inline uint32_t blend_pixel(uint32_t d, uint32_t s, uint32_t a) {
  const uint32_t rb = ((d & 0x00FF00FF) * (255 - a) + (s & 0x00FF00FF) * (a + 1)) & 0xFF00FF00;
  const uint32_t g = ((d & 0x0000FF00) * (255 - a) + (s & 0x0000FF00) * (a + 1)) & 0x00FF0000;
  return (rb | g) >> 8;
}

}  // namespace

void blend_row_scalar(uint32_t* dst, const uint32_t* src, int count, uint32_t alpha) {
  for (int i = 0; i < count; ++i) dst[i] = blend_pixel(dst[i], src[i], alpha);
}

void blend_row_sse2(uint32_t* dst, const uint32_t* src, int count, uint32_t alpha) {
  int i = 0;
#if defined(__SSE2__)
  if (has_sse2()) {
    // Each channel widened to 16 bits: the weights add up to 256, so d * (255 - a) + s * (a + 1)
    // stays within 0xFF00 and the 16-bit products are exact.
    const __m128i zero = _mm_setzero_si128();
    const __m128i wd = _mm_set1_epi16(static_cast<short>(255 - alpha));
    const __m128i ws = _mm_set1_epi16(static_cast<short>(alpha + 1));
    const __m128i rgb = _mm_set1_epi32(0x00FFFFFF);
    for (; i + 4 <= count; i += 4) {
      const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + i));
      const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      const __m128i lo =
          _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(d, zero), wd),
                                       _mm_mullo_epi16(_mm_unpacklo_epi8(s, zero), ws)),
                         8);
      const __m128i hi =
          _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(d, zero), wd),
                                       _mm_mullo_epi16(_mm_unpackhi_epi8(s, zero), ws)),
                         8);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                       _mm_and_si128(_mm_packus_epi16(lo, hi), rgb));
    }
  }
#endif
  blend_row_scalar(dst + i, src + i, count - i, alpha);
}

void IMAGE::putimage_alphablend(PIMAGE dst, int xd, int yd, uint8_t alpha, int xs, int ys, int w,
                                int h) const {
  check("IMAGE::putimage_alphablend");
  IMAGE* d = resolve_image(dst, true);
  if (!d || !clip_blend(*this, *d, xd, yd, xs, ys, w, h)) return;
  for (int y = 0; y < h; ++y) {
    uint32_t* out = d->buffer_.data() + static_cast<size_t>(yd + y) * d->width_ + xd;
    const uint32_t* in = buffer_.data() + static_cast<size_t>(ys + y) * width_ + xs;
    // The four-pixel form loads before it stores, so it is only used where the runs are
    // apart; overlapping runs keep the pixel-by-pixel order.
    const bool apart = out + w <= in || in + w <= out;
    if (w >= 4 && apart) {
      blend_row_sse2(out, in, w, alpha);
    } else {
      blend_row_scalar(out, in, w, alpha);
    }
  }
}

void IMAGE::putimage_alphablend(PIMAGE dst, int xd, int yd, PIMAGE mask, int xs, int ys, int w,
                                int h) const {
  check("IMAGE::putimage_alphablend");
  IMAGE* d = resolve_image(dst, true);
  IMAGE* m = resolve_image(mask, false);
  if (!d || !m || !clip_blend(*this, *d, xd, yd, xs, ys, w, h)) return;
  for (int y = 0; y < h; ++y) {
    uint32_t* out = d->buffer_.data() + static_cast<size_t>(yd + y) * d->width_ + xd;
    const uint32_t* in = buffer_.data() + static_cast<size_t>(ys + y) * width_ + xs;
    const int my = ys + y;
    for (int x = 0; x < w; ++x) {
      const int mx = xs + x;
      // A mask smaller than the source leaves the uncovered pixels alone.
      if (mx >= m->width_ || my >= m->height_) continue;
      const uint32_t mv = m->buffer_[static_cast<size_t>(my) * m->width_ + mx];
      if (mv == 0) continue;
      out[x] = blend_pixel(out[x], in[x], mv & 0xFF);
    }
  }
}

PIMAGE newimage() {
  return new IMAGE(1, 1);
}
PIMAGE newimage(int width, int height) {
  return new IMAGE(width, height);
}

void delimage(PIMAGE img) {
  delete img;
}

int image_width(PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  return i ? i->width() : 0;
}

int image_height(PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  return i ? i->height() : 0;
}

}  // namespace gfx
