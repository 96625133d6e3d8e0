#include "graphics/text.h"

#include <algorithm>
#include <string>

#include "platform/codepage.h"
#include "platform/font.h"

namespace gfx {

namespace {

// Text alignment flags as the window system's device context keeps them.
constexpr int kTaLeft = 0;
constexpr int kTaRight = 2;
constexpr int kTaCenter = 6;
constexpr int kTaTop = 0;
constexpr int kTaBottom = 8;

const platform::Font* font_of(IMAGE& img) {
  // A fresh device context carries a default font; ours is made on first use.
  if (!img.font) img.font = platform::createFont(0, 0, "");
  return img.font.get();
}

struct Placement {
  int x, y;
};

// Where the extent's top-left corner goes for a point and the alignment flags.
Placement place(int x, int y, int flags, const platform::TextExtent& extent) {
  if ((flags & kTaCenter) == kTaCenter) {
    x -= extent.width / 2;
  } else if (flags & kTaRight) {
    x -= extent.width;
  }
  if (flags & kTaBottom) y -= extent.height;
  return {x, y};
}

int align_flags(const IMAGE& img) {
  const int h = img.text_halign == 2 ? kTaRight : img.text_halign == 1 ? kTaCenter : kTaLeft;
  return h | (img.text_valign == 0 ? kTaBottom : kTaTop);
}

platform::TextSurface surface_of(IMAGE& img, int left, int top, int right, int bottom) {
  platform::TextSurface s;
  s.pixels = img.pixels();
  s.width = img.width();
  s.height = img.height();
  s.clip_left = std::max(left, img.clip_left);
  s.clip_top = std::max(top, img.clip_top);
  s.clip_right = std::min(right, img.clip_right);
  s.clip_bottom = std::min(bottom, img.clip_bottom);
  return s;
}

}  // namespace

void set_font(int height, int width, const char* face, PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  if (!i) return;
  const std::string name = face ? platform::gbkToUtf8(face) : std::string();
  // A font that cannot be made is not selected; the previous one stays.
  if (auto font = platform::createFont(height, width, name)) i->font = std::move(font);
}

void set_text_color(uint32_t color, PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  if (i) i->text_color = color;
}

void draw_text(int x, int y, const char* text, PIMAGE img) {
  IMAGE* i = resolve_image(img, true);
  if (!i) return;
  i->text_align_flags = align_flags(*i);
  if (!text) return;
  const platform::Font* font = font_of(*i);
  if (!font) return;
  const std::string utf8 = platform::gbkToUtf8(text);
  const platform::TextExtent extent = platform::measureText(*font, utf8);
  if (i->text_valign == 1) y -= extent.height / 2;
  const Placement at = place(x + i->origin_x, y + i->origin_y, i->text_align_flags, extent);
  platform::drawText(*font, utf8, at.x, at.y, i->text_color, i->bk_mode == kOpaque, i->bk_color,
                     surface_of(*i, 0, 0, i->width(), i->height()));
}

void draw_text_rect(int left, int top, int right, int bottom, const char* text, PIMAGE img) {
  IMAGE* i = resolve_image(img, true);
  if (!i || !text) return;
  const platform::Font* font = font_of(*i);
  if (!font) return;
  const std::string utf8 = platform::gbkToUtf8(text);
  const platform::TextExtent extent = platform::measureText(*font, utf8);
  left += i->origin_x;
  right += i->origin_x;
  top += i->origin_y;
  bottom += i->origin_y;
  int x = left, y = top;
  if (i->text_halign == 1) x = left + (right - left - extent.width) / 2;
  if (i->text_halign == 2) x = right - extent.width;
  if (i->text_valign == 1) y = top + (bottom - top - extent.height) / 2;
  if (i->text_valign == 0) y = bottom - extent.height;
  platform::drawText(*font, utf8, x, y, i->text_color, i->bk_mode == kOpaque, i->bk_color,
                     surface_of(*i, left, top, right, bottom));
}

int text_height(const char* text, PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  if (!i || !text) return 0;
  const platform::Font* font = font_of(*i);
  return font ? platform::measureText(*font, platform::gbkToUtf8(text)).height : 0;
}

int text_width(const char* text, PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  if (!i || !text) return 0;
  const platform::Font* font = font_of(*i);
  return font ? platform::measureText(*font, platform::gbkToUtf8(text)).width : 0;
}

}  // namespace gfx
