// What the display layer's files share: the one Display record and the wake-up of the display
// thread. Internal to platform/; only the display files include it.
#pragma once

#include <SDL.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/display.h"

namespace platform::display_internal {

// A window command handed to the display thread. The caller may give up waiting; whatever the
// command writes must therefore live in storage the command itself owns.
struct Command {
  std::function<void()> run;
  bool done = false;  // the caller may stop waiting
  bool ran = false;   // run() was called
};

struct Timer {
  uint32_t periodMs = 0;
  int64_t due = 0;  // performance counter value
};

// Everything the display layer keeps. Fields under `mu` are shared with other threads; the rest
// belong to the display thread.
struct Display {
  std::mutex mu;
  std::condition_variable commandDone;
  std::deque<std::shared_ptr<Command>> commands;
  std::deque<WindowMessage> posted;
  std::map<uint32_t, Timer> timers;
  std::vector<uint32_t> front;
  int frontWidth = 0;
  int frontHeight = 0;
  bool framePending = false;
  bool changedOnly = true;

  std::atomic<bool> open{false};
  std::atomic<bool> wakePending{false};
  std::atomic<std::thread::id> thread{};
  std::atomic<uintptr_t> windowId{0};
  std::atomic<uint64_t> handed{0}, skipped{0}, shown{0}, wakes{0};

  // Display thread only.
  SDL_Window* window = nullptr;
  std::deque<WindowMessage> translated;
  uint32_t buttons = 0;  // MK_ bits of the buttons held
  int cursorShown = -1;
};

Display& display();
// Makes the display thread's wait return so it looks at the queues again.
void wake();
// A client point as the window system packs it into lparam.
intptr_t packPoint(int x, int y);

// Turns one SDL event into window messages on the display thread's queue.
void translateEvent(const SDL_Event& ev);
// Gives the new window the program's icon in all its sizes.
void setWindowIcons(SDL_Window* window, const std::vector<IconImage>& icons);
// On X11: protocol errors are said on standard error instead of ending the process.
void reportX11ProtocolErrors();
// Copies the frame handed over last onto the window, if one is waiting.
void showPendingFrame();

}  // namespace platform::display_internal
