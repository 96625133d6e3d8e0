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
  // Without a display this fails at once; the text is on standard error already. The display
  // library belongs to the window's thread: beside an open window the box is shown there, as from
  // any other thread it could wait forever on a lock the window's thread holds.
  const std::string utf8Title = gbkToUtf8(t), utf8Text = gbkToUtf8(m);
  auto show = [flags, utf8Title, utf8Text] {
    SDL_ShowSimpleMessageBox(flags, utf8Title.c_str(), utf8Text.c_str(), nullptr);
  };
  if (displayIsOpen() && displayRunAndWait(show)) return;
  show();
}

}  // namespace platform
