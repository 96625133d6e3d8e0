// Where the window and the pacing calls meet the control tree. create_control_root, which the
// first initgraph calls, installs these hooks (a root with no children behaves exactly as no hooks
// at all: drawing it draws nothing, dispatching only marks events as dispatched, which the window
// layer does itself before calling a hook).
//
// Contract for the tree:
// - Every handler call sets the drawing target with set_target() (graphics/window.h) and restores
//   it afterwards. The target is per thread, so a walk on one thread never redirects another
//   thread's drawing: the worker's pace_wait walk leaves the UI thread drawing on the screen page.
// - A control with mouse capture receives each mouse event once: when the capturing child has had
//   the event, the hit test does not hand it the same event again.
#pragma once

namespace gfx {

class IMAGE;
class ControlBase;

struct ControlHooks {
  // Draw the tree onto the screen page (the image given); true when the tree has controls whose
  // images it may have put there, which pacing must then copy to the window.
  bool (*draw)(IMAGE* screen) = nullptr;
  // Update the tree.
  void (*update)() = nullptr;
  // Key dispatch to the root: kind 0 key down, 1 key up, 2 character.
  void (*key)(int kind, int key, int flags) = nullptr;
  // Mouse dispatch to the root: client coordinates and the 0x10 / 0x20 / 0x40 kind with the
  // button bits (1 left, 2 right).
  void (*mouse)(int x, int y, int flags) = nullptr;
};

// Makes the root and installs its hooks, once per process (graphics/control.cpp).
ControlBase* create_control_root();

void set_control_hooks(const ControlHooks& hooks);
const ControlHooks& control_hooks();

}  // namespace gfx
