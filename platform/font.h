// Font rasteriser: FreeType glyphs of faces found through fontconfig, with a per-character
// fallback to an installed face that has the character. Stands in for the window system's
// fonts and text output; knows nothing of images, it draws into a plain 0x00RRGGBB buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

struct FontFaceSize;

// One font object as a font creation call makes it: a face at one pixel size. The faces behind
// it are shared and cached by (file, size), so making a font per frame costs a lookup.
class Font {
 public:
  ~Font();
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;

  // Cell metrics in pixels: the extent height of any text is ascent + descent.
  int ascent() const;
  int descent() const;
  int height() const { return ascent() + descent(); }
  // Where the primary face came from, for tests and diagnostics.
  const std::string& file() const;
  int face_index() const;
  int pixel_size() const;

 private:
  friend std::shared_ptr<Font> createFont(int, int, std::string_view);
  friend struct FontAccess;
  explicit Font(std::shared_ptr<FontFaceSize> primary);
  std::shared_ptr<FontFaceSize> primary_;
};

// height < 0: character (em) height of -height pixels; height > 0: cell height (ascent +
// descent) of height pixels; 0: a default of 16 pixels. width 0 keeps the face's proportions,
// otherwise asks for that average character width. The face name is UTF-8; a name no
// installed face carries gets fontconfig's best match. Null only when no font can be loaded.
std::shared_ptr<Font> createFont(int height, int width, std::string_view faceUtf8);

struct TextExtent {
  int width = 0;
  int height = 0;
};

// Extent of one line of UTF-8 text: the sum of the glyph advances and the cell height.
// Control characters are not interpreted: they take the font's glyph for them where it has
// one, else they draw nothing and take no room.
TextExtent measureText(const Font& font, std::string_view utf8);

// A 0x00RRGGBB pixel buffer with a clip rectangle, all in pixels of the buffer.
struct TextSurface {
  uint32_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int clip_left = 0, clip_top = 0, clip_right = 0, clip_bottom = 0;
};

// Draws one line with its cell's top-left corner at (x, y): grayscale antialiased glyphs
// blended in `color`; when `opaque`, the cell rectangle (extent) is first filled with
// `background`. Returns the extent drawn.
TextExtent drawText(const Font& font, std::string_view utf8, int x, int y, uint32_t color,
                    bool opaque, uint32_t background, const TextSurface& surface);

// The file fontconfig picks for a face name (empty when it picks none); used to find the
// primary face and by the tests to compare with fontconfig's own command.
std::string matchFontFile(std::string_view faceUtf8, int* faceIndex = nullptr);

}  // namespace platform
