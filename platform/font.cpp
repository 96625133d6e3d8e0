#include "platform/font.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {

// Larger requests are cut to this: a glyph bitmap grows with the square of the size.
constexpr int kMaxPixelSize = 1024;
constexpr int kDefaultPixelSize = 16;
// Sized faces no font object uses any more are dropped once the cache grows past this.
constexpr size_t kFaceCacheSoftLimit = 32;

struct Glyph {
  int left = 0, top = 0, width = 0, rows = 0, advance = 0;
  std::vector<uint8_t> coverage;  // rows x width, 0 = none, 255 = full
};

struct FaceLocation {
  std::string file;
  int index = 0;
  bool operator<(const FaceLocation& o) const {
    return std::tie(file, index) < std::tie(o.file, o.index);
  }
};

// Unscaled facts of one face file, read once.
struct FaceDesign {
  int units_per_em = 1000;
  int cell_ascent = 800;  // design units
  int cell_descent = 200;
  int average_width = 500;
  bool ok = false;
};

uint32_t decodeUtf8(std::string_view s, size_t& i) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t lead = b(i);
  int length = lead < 0x80                   ? 1
               : lead >= 0xF0 && lead < 0xF5 ? 4
               : lead >= 0xE0                ? 3
               : lead >= 0xC2                ? 2
                                             : 0;
  if (length == 0 || i + length > s.size()) {
    ++i;
    return 0xFFFD;
  }
  uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
  for (int k = 1; k < length; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = cp << 6 | (b(i + k) & 0x3F);
  }
  i += length;
  return cp;
}

}  // namespace

// One face file opened at one pixel size, with the glyphs it has rendered so far.
struct FontFaceSize {
  FaceLocation location;
  int x_ppem = 0, y_ppem = 0;
  FT_Face face = nullptr;
  int ascent = 0, descent = 0;
  std::unordered_map<uint32_t, Glyph> glyphs;

  ~FontFaceSize() {
    if (face) FT_Done_Face(face);
  }
};

namespace {

struct FontSystem {
  std::mutex lock;
  FT_Library library = nullptr;
  bool fontconfig_ready = false;
  std::map<std::string, FaceLocation> by_name;
  std::map<FaceLocation, FaceDesign> designs;
  std::map<std::tuple<FaceLocation, int, int>, std::shared_ptr<FontFaceSize>> sized;
  // Code point to the face that has it; an empty file means no installed face has it.
  std::unordered_map<uint32_t, FaceLocation> fallback;

  FontSystem() {
    if (FT_Init_FreeType(&library) != 0) library = nullptr;
    fontconfig_ready = FcInit() == FcTrue;
  }
  ~FontSystem() {
    sized.clear();
    if (library) FT_Done_FreeType(library);
    // Gives back fontconfig's configuration and caches, so leak checks see only our own.
    if (fontconfig_ready) FcFini();
  }
};

FontSystem& fontSystem() {
  static FontSystem system;
  return system;
}

FaceLocation matchLocked(FontSystem& fs, std::string_view face) {
  std::string key(face);
  if (auto it = fs.by_name.find(key); it != fs.by_name.end()) return it->second;
  FaceLocation location;
  if (fs.fontconfig_ready) {
    FcPattern* pattern = FcPatternCreate();
    if (!key.empty()) {
      FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(key.c_str()));
    }
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    if (match) {
      FcChar8* file = nullptr;
      int index = 0;
      if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch) {
        location.file = reinterpret_cast<const char*>(file);
        if (FcPatternGetInteger(match, FC_INDEX, 0, &index) == FcResultMatch)
          location.index = index;
      }
      FcPatternDestroy(match);
    }
    FcPatternDestroy(pattern);
  }
  fs.by_name.emplace(std::move(key), location);
  return location;
}

const FaceDesign& designLocked(FontSystem& fs, const FaceLocation& location) {
  if (auto it = fs.designs.find(location); it != fs.designs.end()) return it->second;
  FaceDesign design;
  FT_Face face = nullptr;
  if (fs.library && !location.file.empty() &&
      FT_New_Face(fs.library, location.file.c_str(), location.index, &face) == 0) {
    design.ok = true;
    design.units_per_em = face->units_per_EM > 0 ? face->units_per_EM : 1000;
    design.cell_ascent = face->ascender;
    design.cell_descent = -face->descender;
    // The window system's cell is the OS/2 table's Windows ascent and descent where there is one.
    if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2))) {
      if (os2->usWinAscent + os2->usWinDescent > 0) {
        design.cell_ascent = os2->usWinAscent;
        design.cell_descent = os2->usWinDescent;
      }
      if (os2->xAvgCharWidth > 0) design.average_width = os2->xAvgCharWidth;
    } else {
      design.average_width = design.units_per_em / 2;
    }
    if (design.cell_ascent + design.cell_descent <= 0) {
      design.cell_ascent = design.units_per_em * 4 / 5;
      design.cell_descent = design.units_per_em - design.cell_ascent;
    }
    FT_Done_Face(face);
  }
  return fs.designs.emplace(location, design).first->second;
}

int roundDiv(int64_t a, int64_t b) {
  return static_cast<int>((a + b / 2) / b);
}

std::shared_ptr<FontFaceSize> sizedLocked(FontSystem& fs, const FaceLocation& location, int x_ppem,
                                          int y_ppem) {
  const auto key = std::make_tuple(location, x_ppem, y_ppem);
  if (auto it = fs.sized.find(key); it != fs.sized.end()) return it->second;
  const FaceDesign& design = designLocked(fs, location);
  if (!design.ok) return nullptr;
  auto entry = std::make_shared<FontFaceSize>();
  entry->location = location;
  entry->x_ppem = x_ppem;
  entry->y_ppem = y_ppem;
  if (FT_New_Face(fs.library, location.file.c_str(), location.index, &entry->face) != 0) {
    entry->face = nullptr;
    return nullptr;
  }
  if (FT_Set_Pixel_Sizes(entry->face, x_ppem, y_ppem) != 0) {
    // A bitmap-only face offers fixed strikes: take the first rather than draw nothing.
    if (entry->face->num_fixed_sizes <= 0 || FT_Select_Size(entry->face, 0) != 0) return nullptr;
  }
  const int cell = design.cell_ascent + design.cell_descent;
  entry->ascent = roundDiv(static_cast<int64_t>(design.cell_ascent) * y_ppem, design.units_per_em);
  entry->descent =
      roundDiv(static_cast<int64_t>(cell) * y_ppem, design.units_per_em) - entry->ascent;
  if (fs.sized.size() >= kFaceCacheSoftLimit) {
    std::erase_if(fs.sized, [](const auto& item) { return item.second.use_count() == 1; });
  }
  fs.sized.emplace(key, entry);
  return entry;
}

FaceLocation fallbackLocked(FontSystem& fs, uint32_t cp) {
  if (auto it = fs.fallback.find(cp); it != fs.fallback.end()) return it->second;
  FaceLocation location;
  if (fs.fontconfig_ready) {
    FcPattern* pattern = FcPatternCreate();
    FcCharSet* wanted = FcCharSetCreate();
    FcCharSetAddChar(wanted, cp);
    FcPatternAddCharSet(pattern, FC_CHARSET, wanted);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result;
    // The best match need not have the character: walk the sorted list for one that does.
    FcFontSet* set = FcFontSort(nullptr, pattern, FcFalse, nullptr, &result);
    if (set) {
      for (int i = 0; i < set->nfont && location.file.empty(); ++i) {
        FcCharSet* has = nullptr;
        FcChar8* file = nullptr;
        if (FcPatternGetCharSet(set->fonts[i], FC_CHARSET, 0, &has) != FcResultMatch ||
            !FcCharSetHasChar(has, cp) ||
            FcPatternGetString(set->fonts[i], FC_FILE, 0, &file) != FcResultMatch) {
          continue;
        }
        location.file = reinterpret_cast<const char*>(file);
        int index = 0;
        if (FcPatternGetInteger(set->fonts[i], FC_INDEX, 0, &index) == FcResultMatch) {
          location.index = index;
        }
      }
      FcFontSetDestroy(set);
    }
    FcCharSetDestroy(wanted);
    FcPatternDestroy(pattern);
  }
  fs.fallback.emplace(cp, location);
  return location;
}

// Stands for a control character the face has no glyph for: drawn as nothing, with no advance,
// so the line breaks that end status texts leave no boxes behind.
constexpr uint32_t kNoGlyph = 0xFFFFFFFF;

// The face and glyph index that draw a code point: the primary's own glyph when it has one,
// else the fallback face's, else the primary's missing-character glyph. Control characters
// never go looking for a fallback.
std::pair<FontFaceSize*, uint32_t> glyphForLocked(FontSystem& fs, FontFaceSize& primary,
                                                  std::vector<std::shared_ptr<FontFaceSize>>& held,
                                                  uint32_t cp) {
  const uint32_t own = FT_Get_Char_Index(primary.face, cp);
  if (own != 0) return {&primary, own};
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return {&primary, kNoGlyph};
  const FaceLocation other = fallbackLocked(fs, cp);
  if (other.file.empty() ||
      (other.file == primary.location.file && other.index == primary.location.index)) {
    return {&primary, 0};
  }
  auto face = sizedLocked(fs, other, primary.x_ppem, primary.y_ppem);
  if (!face) return {&primary, 0};
  const uint32_t index = FT_Get_Char_Index(face->face, cp);
  if (index == 0) return {&primary, 0};
  held.push_back(face);
  return {face.get(), index};
}

const Glyph& renderLocked(FontFaceSize& face, uint32_t index) {
  if (auto it = face.glyphs.find(index); it != face.glyphs.end()) return it->second;
  Glyph glyph;
  if (index != kNoGlyph && FT_Load_Glyph(face.face, index, FT_LOAD_DEFAULT) == 0) {
    FT_GlyphSlot slot = face.face->glyph;
    glyph.advance = static_cast<int>((slot->advance.x + 32) >> 6);
    if (slot->format == FT_GLYPH_FORMAT_BITMAP ||
        FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) == 0) {
      const FT_Bitmap& bm = slot->bitmap;
      glyph.left = slot->bitmap_left;
      glyph.top = slot->bitmap_top;
      glyph.width = static_cast<int>(bm.width);
      glyph.rows = static_cast<int>(bm.rows);
      glyph.coverage.assign(static_cast<size_t>(glyph.width) * glyph.rows, 0);
      for (int y = 0; y < glyph.rows; ++y) {
        const unsigned char* src = bm.buffer + static_cast<ptrdiff_t>(y) * bm.pitch;
        uint8_t* out = glyph.coverage.data() + static_cast<size_t>(y) * glyph.width;
        for (int x = 0; x < glyph.width; ++x) {
          if (bm.pixel_mode == FT_PIXEL_MODE_GRAY) {
            out[x] = bm.num_grays == 256 ? src[x]
                                         : static_cast<uint8_t>(src[x] * 255 / (bm.num_grays - 1));
          } else if (bm.pixel_mode == FT_PIXEL_MODE_MONO) {
            out[x] = (src[x >> 3] >> (7 - (x & 7)) & 1) ? 255 : 0;
          }
        }
      }
    }
  }
  return face.glyphs.emplace(index, std::move(glyph)).first->second;
}

inline uint32_t mix(uint32_t d, uint32_t s, uint32_t c) {
  uint32_t out = 0;
  for (int shift = 0; shift <= 16; shift += 8) {
    const uint32_t dc = d >> shift & 0xFF, sc = s >> shift & 0xFF;
    out |= ((dc * (255 - c) + sc * c + 127) / 255) << shift;
  }
  return out;
}

}  // namespace

struct FontAccess {
  static FontFaceSize& primary(const Font& f) { return *f.primary_; }
};

Font::Font(std::shared_ptr<FontFaceSize> primary) : primary_(std::move(primary)) {}
Font::~Font() {
  std::lock_guard guard(fontSystem().lock);
  primary_.reset();
}
int Font::ascent() const {
  return primary_->ascent;
}
int Font::descent() const {
  return primary_->descent;
}
const std::string& Font::file() const {
  return primary_->location.file;
}
int Font::face_index() const {
  return primary_->location.index;
}
int Font::pixel_size() const {
  return primary_->y_ppem;
}

std::string matchFontFile(std::string_view faceUtf8, int* faceIndex) {
  FontSystem& fs = fontSystem();
  std::lock_guard guard(fs.lock);
  FaceLocation location = matchLocked(fs, faceUtf8);
  if (faceIndex) *faceIndex = location.index;
  return location.file;
}

std::shared_ptr<Font> createFont(int height, int width, std::string_view faceUtf8) {
  FontSystem& fs = fontSystem();
  std::lock_guard guard(fs.lock);
  if (!fs.library) return nullptr;
  FaceLocation location = matchLocked(fs, faceUtf8);
  const FaceDesign& design = designLocked(fs, location);
  if (!design.ok) return nullptr;
  // Heights ask for the em square (negative) or the whole cell (positive) in pixels.
  int64_t em = kDefaultPixelSize;
  if (height < 0) {
    em = -static_cast<int64_t>(height);
  } else if (height > 0) {
    em = roundDiv(static_cast<int64_t>(height) * design.units_per_em,
                  design.cell_ascent + design.cell_descent);
  }
  em = std::clamp<int64_t>(em, 1, kMaxPixelSize);
  int64_t x_em = em;
  if (width != 0) {
    x_em =
        roundDiv(static_cast<int64_t>(std::abs(width)) * design.units_per_em, design.average_width);
    x_em = std::clamp<int64_t>(x_em, 1, kMaxPixelSize);
  }
  auto face = sizedLocked(fs, location, static_cast<int>(x_em), static_cast<int>(em));
  if (!face) return nullptr;
  return std::shared_ptr<Font>(new Font(std::move(face)));
}

TextExtent measureText(const Font& font, std::string_view utf8) {
  FontSystem& fs = fontSystem();
  std::lock_guard guard(fs.lock);
  FontFaceSize& primary = FontAccess::primary(font);
  std::vector<std::shared_ptr<FontFaceSize>> held;
  TextExtent extent{0, primary.ascent + primary.descent};
  for (size_t i = 0; i < utf8.size();) {
    const uint32_t cp = decodeUtf8(utf8, i);
    auto [face, index] = glyphForLocked(fs, primary, held, cp);
    extent.width += renderLocked(*face, index).advance;
  }
  return extent;
}

TextExtent drawText(const Font& font, std::string_view utf8, int x, int y, uint32_t color,
                    bool opaque, uint32_t background, const TextSurface& surface) {
  FontSystem& fs = fontSystem();
  std::lock_guard guard(fs.lock);
  FontFaceSize& primary = FontAccess::primary(font);
  std::vector<std::shared_ptr<FontFaceSize>> held;
  struct Placed {
    const Glyph* glyph;
    int pen_x;
  };
  std::vector<Placed> placed;
  TextExtent extent{0, primary.ascent + primary.descent};
  for (size_t i = 0; i < utf8.size();) {
    const uint32_t cp = decodeUtf8(utf8, i);
    auto [face, index] = glyphForLocked(fs, primary, held, cp);
    const Glyph& glyph = renderLocked(*face, index);
    placed.push_back({&glyph, x + extent.width});
    extent.width += glyph.advance;
  }
  const int left = std::max(surface.clip_left, 0);
  const int top = std::max(surface.clip_top, 0);
  const int right = std::min(surface.clip_right, surface.width);
  const int bottom = std::min(surface.clip_bottom, surface.height);
  if (!surface.pixels || left >= right || top >= bottom) return extent;
  if (opaque) {
    const int l = std::max(left, x), r = std::min(right, x + extent.width);
    const int t = std::max(top, y), b = std::min(bottom, y + extent.height);
    for (int py = t; py < b && l < r; ++py) {
      uint32_t* row = surface.pixels + static_cast<size_t>(py) * surface.width;
      std::fill(row + l, row + r, background);
    }
  }
  const int baseline = y + primary.ascent;
  color &= 0x00FFFFFF;
  for (const Placed& p : placed) {
    const Glyph& g = *p.glyph;
    const int gx = p.pen_x + g.left, gy = baseline - g.top;
    const int y0 = std::max(top, gy), y1 = std::min(bottom, gy + g.rows);
    const int x0 = std::max(left, gx), x1 = std::min(right, gx + g.width);
    for (int py = y0; py < y1; ++py) {
      const uint8_t* cov = g.coverage.data() + static_cast<size_t>(py - gy) * g.width;
      uint32_t* row = surface.pixels + static_cast<size_t>(py) * surface.width;
      for (int px = x0; px < x1; ++px) {
        const uint32_t c = cov[px - gx];
        if (c == 255) {
          row[px] = color;
        } else if (c != 0) {
          row[px] = mix(row[px], color, c);
        }
      }
    }
  }
  return extent;
}

}  // namespace platform
