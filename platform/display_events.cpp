// SDL events as the window system's messages: keys, characters, pointer, buttons, wheel and the
// window's own close and expose events.
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/display_state.h"
#include "platform/virtual_keys.h"

namespace platform::display_internal {

namespace {

uintptr_t mouseKeyState() {
  const SDL_Keymod mod = SDL_GetModState();
  uintptr_t w = display().buttons;
  if (mod & KMOD_SHIFT) w |= MK_SHIFT;
  if (mod & KMOD_CTRL) w |= MK_CONTROL;
  return w;
}

void emit(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  display().translated.push_back({message, wparam, lparam, tickCount()});
}

void translateKey(const SDL_KeyboardEvent& key) {
  const uint32_t vk = virtualKeyFromScancode(key.keysym.scancode);
  if (vk == 0) return;
  const bool down = key.type == SDL_KEYDOWN;
  // Repeat count 1, scan code, previous-state and transition bits as the window system sets them.
  uint32_t lparam = 1 | (static_cast<uint32_t>(key.keysym.scancode) & 0xFF) << 16;
  if (!down) lparam |= 0xC0000000u;
  if (down && key.repeat) lparam |= 0x40000000u;
  emit(down ? WM_KEYDOWN : WM_KEYUP, vk, static_cast<intptr_t>(lparam));
  if (!down) return;
  // The text events carry printable characters only; the control characters that the window
  // system also delivers as WM_CHAR are made here.
  uint32_t ch = 0;
  if ((key.keysym.mod & KMOD_CTRL) && vk >= 'A' && vk <= 'Z') {
    ch = vk - 'A' + 1;
  } else if (vk == VK_RETURN || vk == VK_BACK || vk == VK_TAB || vk == VK_ESCAPE) {
    ch = vk;
  }
  if (ch) emit(WM_CHAR, ch, static_cast<intptr_t>(lparam));
}

}  // namespace

void translateEvent(const SDL_Event& ev) {
  Display& d = display();
  switch (ev.type) {
    case SDL_WINDOWEVENT:
      switch (ev.window.event) {
        case SDL_WINDOWEVENT_CLOSE:
          emit(WM_CLOSE, 0, 0);
          break;
        case SDL_WINDOWEVENT_EXPOSED:
        case SDL_WINDOWEVENT_SHOWN:
        case SDL_WINDOWEVENT_RESTORED:
          // The surface still holds the last frame: put it back at once, then let the window
          // repaint whatever has changed since.
          if (d.window) SDL_UpdateWindowSurface(d.window);
          emit(WM_PAINT, 0, 0);
          break;
        default:
          break;
      }
      break;
    case SDL_KEYDOWN:
    case SDL_KEYUP:
      translateKey(ev.key);
      break;
    case SDL_TEXTINPUT:
      for (char16_t unit : utf8ToUtf16(ev.text.text)) emit(WM_CHAR, unit, 1);
      break;
    case SDL_MOUSEMOTION:
      // The pointer position lets the window procedure tell inside from outside while the
      // pointer is captured.
      emit(WM_SETCURSOR, 0, packPoint(ev.motion.x, ev.motion.y));
      emit(WM_MOUSEMOVE, mouseKeyState(), packPoint(ev.motion.x, ev.motion.y));
      break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
      const bool down = ev.type == SDL_MOUSEBUTTONDOWN;
      uint32_t message = 0, bit = 0;
      switch (ev.button.button) {
        case SDL_BUTTON_LEFT:
          message = down ? WM_LBUTTONDOWN : WM_LBUTTONUP;
          bit = MK_LBUTTON;
          break;
        case SDL_BUTTON_RIGHT:
          message = down ? WM_RBUTTONDOWN : WM_RBUTTONUP;
          bit = MK_RBUTTON;
          break;
        case SDL_BUTTON_MIDDLE:
          message = down ? WM_MBUTTONDOWN : WM_MBUTTONUP;
          bit = MK_MBUTTON;
          break;
        default:
          return;
      }
      if (down) {
        d.buttons |= bit;
      } else {
        d.buttons &= ~bit;
      }
      emit(message, mouseKeyState(), packPoint(ev.button.x, ev.button.y));
      break;
    }
    case SDL_MOUSEWHEEL: {
      int notches = ev.wheel.y;
      if (ev.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) notches = -notches;
      if (notches == 0) break;
      // The wheel message carries screen coordinates, as the window system's does.
      int wx = 0, wy = 0;
      if (d.window) SDL_GetWindowPosition(d.window, &wx, &wy);
      const uint32_t delta = static_cast<uint16_t>(static_cast<int16_t>(notches * 120));
      emit(WM_MOUSEWHEEL, mouseKeyState() | static_cast<uintptr_t>(delta) << 16,
           packPoint(wx + ev.wheel.mouseX, wy + ev.wheel.mouseY));
      break;
    }
    default:
      break;
  }
}

}  // namespace platform::display_internal
