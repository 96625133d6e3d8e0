#include <SDL.h>

#include <cstdio>
#include <string>

#include "platform/codepage.h"
#include "platform/display.h"

namespace platform {

void showMessageBox(std::string_view title, std::string_view text, bool error) {
  const std::string t(title), m(text);
  std::fprintf(stderr, "%s: %s\n", t.c_str(), m.c_str());
  std::fflush(stderr);
  const Uint32 flags = error ? SDL_MESSAGEBOX_ERROR : SDL_MESSAGEBOX_INFORMATION;
  // Without a display this fails at once; the text is on standard error already.
  SDL_ShowSimpleMessageBox(flags, gbkToUtf8(t).c_str(), gbkToUtf8(m).c_str(), nullptr);
}

}  // namespace platform
