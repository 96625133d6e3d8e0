// Fonts and text output on an image. Texts and face names are 8-bit GBK text, as the program
// stores them; every operation takes the image last, with the null / page-number convention
// of image.h.
#pragma once

#include "graphics/image.h"

namespace gfx {

// Makes a font and selects it, releasing the one it replaces (faces themselves are cached).
// A negative height asks for that character height in pixels, a positive one for that cell
// height; width 0 keeps the face's proportions.
void set_font(int height, int width, const char* face, PIMAGE img = nullptr);
// The text colour alone (set_line_color also sets it).
void set_text_color(uint32_t color, PIMAGE img = nullptr);

// One line at (x, y) in the image's alignment (set_text_align): horizontal 0 left, 1 centre,
// 2 right of x; vertical 0 bottom at y, 1 centred on y (half the text height up), 2 top at y.
// Control characters are not interpreted (see platform/font.h). In opaque background mode the
// text's extent is first filled with the background colour.
void draw_text(int x, int y, const char* text, PIMAGE img = nullptr);
// One line placed by the same alignment codes within the rectangle (right and bottom
// excluded) and cut to it.
void draw_text_rect(int left, int top, int right, int bottom, const char* text,
                    PIMAGE img = nullptr);

// Extent of the text in the current font: height is the font's cell height, width the sum of
// the advances. 0 for a missing image or a null text.
int text_height(const char* text, PIMAGE img = nullptr);
int text_width(const char* text, PIMAGE img = nullptr);

}  // namespace gfx
