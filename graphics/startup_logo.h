// The picture the window shows at start-up when its mode asks for the logo: a baseline JPEG
// of 400 x 200 pixels drawn by graphics/logo/make_logo.sh. Load it with IMAGE::getimage.
#pragma once

#include <cstdint>
#include <span>

namespace gfx {

std::span<const uint8_t> startup_logo_picture();

}  // namespace gfx
