# Writes the JPEG named by INPUT as the byte array behind gfx::startup_logo_picture() to OUTPUT.
# Run by the build (graphics/CMakeLists.txt) whenever the picture changes.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
# Sixteen bytes a line: "0xAB, " for every byte.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f], ){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT} "// Made by the build from graphics/logo/kelvora_logo.jpg.
#include \"graphics/startup_logo.h\"

namespace gfx {

namespace {
const uint8_t kLogo[] = {
${bytes}
};
}  // namespace

std::span<const uint8_t> startup_logo_picture() {
  return kLogo;
}

}  // namespace gfx
")
