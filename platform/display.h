// The window, its message loop, timers, cursor, capture and IME position of the design, over SDL2
// video and events. One thread, the display thread, owns every SDL call: it opens the window and
// then pulls messages with displayGetMessage. SDL events come out as the window messages and
// virtual-key codes of the window system the program was designed for (the same numbers), so the
// window procedure above this layer handles them unchanged. Other threads post messages, set
// timers, run window commands and present frames; each of those hands its work to the display
// thread and wakes it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Window messages.
constexpr uint32_t WM_DESTROY = 0x0002;
constexpr uint32_t WM_PAINT = 0x000F;
constexpr uint32_t WM_CLOSE = 0x0010;
constexpr uint32_t WM_ERASEBKGND = 0x0014;
constexpr uint32_t WM_SETCURSOR = 0x0020;
constexpr uint32_t WM_KEYDOWN = 0x0100;
constexpr uint32_t WM_KEYUP = 0x0101;
constexpr uint32_t WM_CHAR = 0x0102;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_CTLCOLOREDIT = 0x0133;
constexpr uint32_t WM_MOUSEMOVE = 0x0200;
constexpr uint32_t WM_LBUTTONDOWN = 0x0201;
constexpr uint32_t WM_LBUTTONUP = 0x0202;
constexpr uint32_t WM_LBUTTONDBLCLK = 0x0203;
constexpr uint32_t WM_RBUTTONDOWN = 0x0204;
constexpr uint32_t WM_RBUTTONUP = 0x0205;
constexpr uint32_t WM_RBUTTONDBLCLK = 0x0206;
constexpr uint32_t WM_MBUTTONDOWN = 0x0207;
constexpr uint32_t WM_MBUTTONUP = 0x0208;
constexpr uint32_t WM_MBUTTONDBLCLK = 0x0209;
constexpr uint32_t WM_MOUSEWHEEL = 0x020A;
constexpr uint32_t WM_IME_CONTROL = 0x0283;
constexpr uint32_t WM_USER = 0x0400;

// Mouse message key-state bits in wparam.
constexpr uint32_t MK_LBUTTON = 0x01;
constexpr uint32_t MK_RBUTTON = 0x02;
constexpr uint32_t MK_SHIFT = 0x04;
constexpr uint32_t MK_CONTROL = 0x08;
constexpr uint32_t MK_MBUTTON = 0x10;

// Virtual-key codes this layer produces beyond '0'-'9' and 'A'-'Z' (their ASCII codes).
constexpr uint32_t VK_LBUTTON = 0x01;
constexpr uint32_t VK_RBUTTON = 0x02;
constexpr uint32_t VK_MBUTTON = 0x04;
constexpr uint32_t VK_BACK = 0x08;
constexpr uint32_t VK_TAB = 0x09;
constexpr uint32_t VK_RETURN = 0x0D;
constexpr uint32_t VK_SHIFT = 0x10;
constexpr uint32_t VK_CONTROL = 0x11;
constexpr uint32_t VK_MENU = 0x12;
constexpr uint32_t VK_ESCAPE = 0x1B;
constexpr uint32_t VK_SPACE = 0x20;
constexpr uint32_t VK_PRIOR = 0x21;
constexpr uint32_t VK_NEXT = 0x22;
constexpr uint32_t VK_END = 0x23;
constexpr uint32_t VK_HOME = 0x24;
constexpr uint32_t VK_LEFT = 0x25;
constexpr uint32_t VK_UP = 0x26;
constexpr uint32_t VK_RIGHT = 0x27;
constexpr uint32_t VK_DOWN = 0x28;
constexpr uint32_t VK_INSERT = 0x2D;
constexpr uint32_t VK_DELETE = 0x2E;
constexpr uint32_t VK_F1 = 0x70;
constexpr uint32_t VK_F12 = 0x7B;

// The position value that asks the system to place the window.
constexpr int kDefaultPosition = static_cast<int>(0x80000000u);

struct WindowMessage {
  uint32_t message = 0;
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
  uint32_t time = 0;  // tick count when the message was made
};

// One size of the window's icon: size x size pixels, 0xAARRGGBB, row by row.
struct IconImage {
  int size = 0;
  std::vector<uint32_t> argb;
};

struct WindowRequest {
  int x = kDefaultPosition;
  int y = kDefaultPosition;
  int width = 1;  // client area, exactly
  int height = 1;
  bool borderless = false;
  bool topmost = false;
  std::string titleUtf8;
  // Every size the program has; the window manager picks the one it needs. Empty: its default.
  std::vector<IconImage> icons;
};

// --- display thread only ---

// Opens the video system and the window (shown, not resizable, with caption, system menu and
// minimise box unless borderless). The calling thread becomes the display thread. On failure
// says why in *error and leaves nothing open.
bool displayOpen(const WindowRequest& request, std::string* error);
// Destroys the window and closes the video system; commands still waiting are refused.
void displayClose();
// The next message: posted messages first, then translated window-system events, then due
// timers. Waits at most timeoutMs (negative: without limit); false when nothing came.
bool displayGetMessage(WindowMessage* out, int timeoutMs);

// --- any thread ---

bool displayIsOpen();
bool onDisplayThread();
// Runs fn on the display thread and waits until it has run, however long that takes (a modal
// box). False, without running it, on the display thread itself or when no window is open.
bool displayRunAndWait(std::function<void()> fn);
// An identifier of the window (nonzero while it exists).
uintptr_t displayWindowId();

// Queues a message for the display thread and wakes it.
void displayPostMessage(uint32_t message, uintptr_t wparam, intptr_t lparam);
// A timer that posts WM_TIMER with the id as wparam every period (0: the shortest, 10 ms). At
// most one WM_TIMER of an id waits at a time, as the window system coalesces them.
void displaySetTimer(uint32_t id, uint32_t periodMs);
void displayKillTimer(uint32_t id);

// Hands a finished frame to the display thread: the pixels (0x00RRGGBB rows, stride in pixels)
// are copied into the front buffer and the display thread shows them. A frame equal to the one
// last handed over is not handed over again unless presenting every frame was asked for.
// Returns true when the frame was handed over.
bool displayPresent(const uint32_t* pixels, int stride, int width, int height);
// For comparison runs: hand over every frame even when unchanged.
void displaySetPresentChangedOnly(bool changedOnly);
struct PresentStats {
  uint64_t handed = 0;   // frames copied into the front buffer
  uint64_t skipped = 0;  // frames equal to the last one, not handed over
  uint64_t shown = 0;    // frames the display thread put on the screen
  bool pending = false;  // a frame handed over is still waiting to be shown
  uint64_t wakes = 0;    // times the display thread's wait for events ended
};
PresentStats displayPresentStats();

// Window commands; from another thread they run on the display thread and this call waits for
// them. They do nothing while no window is open.
void displaySetTitle(std::string_view utf8);
void displaySetPosition(int x, int y);
bool displayGetPosition(int* x, int* y);
bool displayGetClientSize(int* width, int* height);
void displaySetClientSize(int width, int height);
void displayRaise();
void displayShowCursor(bool shown);
void displayCaptureMouse(bool capture);
void displaySetImeRect(int x, int y, int width, int height);

// The screen size in pixels; works before any window exists (opening the video system for the
// query). False when there is no display.
bool displayScreenSize(int* width, int* height);

// Writes "title: text" on standard error, then shows a message box when a display is available.
void showMessageBox(std::string_view title, std::string_view text, bool error);

}  // namespace platform
