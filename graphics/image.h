// Off-screen 32-bit pixel surfaces: the pages of the window and the updater's own images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {
class Font;
}

namespace gfx {

class IMAGE;
using PIMAGE = IMAGE*;

// Raster operations understood by the blits; any other code copies like SRCCOPY.
constexpr uint32_t kSrcCopy = 0x00CC0020;
constexpr uint32_t kSrcPaint = 0x00EE0086;
constexpr uint32_t kSrcAnd = 0x008800C6;
constexpr uint32_t kSrcInvert = 0x00660046;

// Background modes as the window system numbers them.
constexpr int kTransparent = 1;
constexpr int kOpaque = 2;

// Tells the user in an error box (and on standard error), then ends the process with status -11.
[[noreturn]] void fatal_graphics_error(const std::string& title, const std::string& text);

// Null and the page numbers 1 to 31 name images owned by the window. The window installs a
// resolver for them; `draws` says the caller will draw, so a null target is marked dirty.
using ImageResolver = IMAGE* (*)(PIMAGE img, bool draws);
void set_image_resolver(ImageResolver resolver);
IMAGE* resolve_image(PIMAGE img, bool draws);

class IMAGE {
 public:
  static constexpr uint32_t kTypeTag = 0x20100916;

  IMAGE();
  IMAGE(int width, int height);
  IMAGE(const IMAGE&) = delete;
  IMAGE& operator=(const IMAGE&) = delete;
  ~IMAGE();

  // Resizes, keeping the drawing state and clearing the pixels to the background colour.
  // Returns 0, or an error code leaving the image as it was.
  int createimage(int width, int height);
  void copyimage(PIMAGE source);
  // Loads a JPEG picture from memory, resizing the image to it. 0 on success, -12 for no
  // bytes or a picture that cannot be decoded (the image is then left as it was).
  int getimage(const void* bytes, size_t length);

  void putimage(int x, int y, uint32_t rop = kSrcCopy) const;
  void putimage(PIMAGE dst, int x, int y, uint32_t rop = kSrcCopy) const;
  void putimage(PIMAGE dst, int xd, int yd, int wd, int hd, int xs, int ys,
                uint32_t rop = kSrcCopy) const;
  void putimage(PIMAGE dst, int xd, int yd, int wd, int hd, int xs, int ys, int ws, int hs,
                uint32_t rop) const;

  void putimage_alphablend(PIMAGE dst, int xd, int yd, uint8_t alpha, int xs = 0, int ys = 0,
                           int w = 0, int h = 0) const;
  void putimage_alphablend(PIMAGE dst, int xd, int yd, PIMAGE mask, int xs = 0, int ys = 0,
                           int w = 0, int h = 0) const;

  int width() const { return width_; }
  int height() const { return height_; }
  uint32_t* pixels() { return buffer_.data(); }
  const uint32_t* pixels() const { return buffer_.data(); }
  // Rows in the buffer, counting the spare one past the last visible row.
  size_t buffer_pixels() const { return buffer_.size(); }

  // Drawing state; the operations of drawing.h keep it consistent.
  uint32_t line_color = 0xA8A8A8;
  uint32_t fill_color = 0;
  uint8_t smoothing = 0;
  int vp_left = 0, vp_top = 0, vp_right = 0, vp_bottom = 0;
  int clip = 0;
  int text_halign = 0, text_valign = 2;
  int line_style = 0;
  uint16_t line_pattern = 0;
  int line_thickness = 1;
  int line_thickness_copy = 1;
  uint32_t bk_color = 0;

  // What the device context would carry: text and background settings, the selected brush and
  // pen, and the viewport origin and clip rectangle in pixels.
  uint32_t text_color = 0xA8A8A8;
  int bk_mode = kOpaque;
  int brush_hatch = -1;  // -1 solid, else the hatch kind 0 to 5
  uint32_t brush_color = 0;
  int pen_style = 0;
  int pen_width = 1;
  uint32_t pen_color = 0xA8A8A8;
  std::vector<uint8_t> pen_dashes;  // on/off run lengths for patterned pens, empty = solid
  int origin_x = 0, origin_y = 0;
  int clip_left = 0, clip_top = 0, clip_right = 0, clip_bottom = 0;
  int text_align_flags = 0;  // left / top until draw_text sets it from the alignment codes
  // The selected font; null until set_font, when text uses the default face at 16 pixels.
  std::shared_ptr<platform::Font> font;

  void check(const char* function) const;
  void clear();

 private:
  int size_to(int width, int height, bool fresh);

  uint32_t tag_ = kTypeTag;
  int width_ = 0;
  int height_ = 0;
  std::vector<uint32_t> buffer_;
};

PIMAGE newimage();
PIMAGE newimage(int width, int height);
void delimage(PIMAGE img);
int image_width(PIMAGE img);
int image_height(PIMAGE img);

// The blend of one row, (d * (255 - a) + s * (a + 1)) >> 8 per channel. Exposed so the
// four-pixel path can be checked against the one-pixel form.
void blend_row_scalar(uint32_t* dst, const uint32_t* src, int count, uint32_t alpha);
// Falls back to the one-pixel form where SSE2 is missing.
void blend_row_sse2(uint32_t* dst, const uint32_t* src, int count, uint32_t alpha);

}  // namespace gfx
