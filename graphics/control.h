// Drawable controls inside the graphics window: each has its own image, a position, size,
// visibility, focus and a place in its parent's z-order, and receives key and mouse events.
// All controls form one tree under a root that the window makes once per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "graphics/image.h"

namespace gfx {

class ControlBase;

// The children of one control by address, as an AVL tree that keeps subtree sizes, so a child
// is found, placed and reached by its index in address order in logarithmic time.
class ChildSet {
 public:
  ChildSet() = default;
  ChildSet(const ChildSet&) = delete;
  ChildSet& operator=(const ChildSet&) = delete;
  ~ChildSet();

  bool contains(const ControlBase* key) const;
  bool insert(ControlBase* key);  // false when already present
  bool erase(const ControlBase* key);
  // Position in address order, or -1 when absent.
  int index_of(const ControlBase* key) const;
  ControlBase* at(int index) const;  // null outside 0 .. size - 1
  int size() const;
  // Height of the tree, for the tests of its balance.
  int height() const;

  struct Node;  // defined with the tree operations

 private:
  Node* root_ = nullptr;
};

// Sequence numbers are compacted once the next one would pass this.
constexpr int kSequenceLimit = 0x800000;

// Mouse flags of the dispatch: button bits and the kind of event.
constexpr int kMouseLeft = 0x01;
constexpr int kMouseRight = 0x02;
constexpr int kMouseDown = 0x10;
constexpr int kMouseUp = 0x20;
constexpr int kMouseMove = 0x40;

constexpr int kComposeCopy = 0;  // putimage with the control's raster operation
constexpr int kComposeMask = 1;  // blend through the mask image, which also shapes hit tests

class ControlBase {
 public:
  // Becomes the root when the process has none yet, else a child of `parent` (of the root
  // when null).
  explicit ControlBase(ControlBase* parent = nullptr);
  virtual ~ControlBase();
  ControlBase(const ControlBase&) = delete;
  ControlBase& operator=(const ControlBase&) = delete;

  // Handlers; the defaults do nothing. While one runs, the calling thread's drawing target is
  // the control's own image (for the root's draw: the image drawn into).
  virtual int on_message(uint32_t message, uintptr_t wparam, intptr_t lparam);
  virtual int on_mouse(int x, int y, int flags);     // nonzero: handled, children get nothing
  virtual int on_key_down(unsigned key, int flags);  // nonzero: handled, children get nothing
  virtual int on_key_up(unsigned key, int flags);
  virtual int on_key_char(unsigned key, int flags);
  virtual int on_update();
  virtual int on_focus_request();  // nonzero refuses the focus
  virtual void on_focus_lost();
  virtual void on_draw(PIMAGE target);
  // Clears the own image to black.
  virtual void on_reset();
  virtual void on_child_added(ControlBase* child);
  virtual void on_child_removed(ControlBase* child);

  // Moves the child here from any parent it had. Result 0.
  int add_child(ControlBase* child);
  // 1 when the child was here and is now parentless, else 0.
  int remove_child(ControlBase* child);

  // Tree walks.
  void draw(PIMAGE target);
  void update();
  void key_down(unsigned key, int flags);
  void key_up(unsigned key, int flags);
  void key_char(unsigned key, int flags);
  // x and y in the parent's coordinates.
  void mouse(int x, int y, int flags);

  PIMAGE image() const { return image_; }
  PIMAGE mask() const { return mask_; }
  ControlBase* parent() const { return parent_; }
  bool is_root() const { return root_marker_ != 0; }
  int child_count() const { return children_ ? children_->size() : 0; }
  // Children from the bottom of the z-order to the top.
  const std::vector<ControlBase*>& z_order() const { return order_; }
  const ChildSet* children() const { return children_.get(); }

  int x() const { return x_; }
  int y() const { return y_; }
  int width() const { return width_; }
  int height() const { return height_; }
  void move(int x, int y);
  // Resizes the own and mask images with the control.
  void resize(int width, int height);
  bool visible() const { return visible_ != 0; }
  void set_visible(bool v) { visible_ = v; }
  bool enabled() const { return enabled_ != 0; }
  void set_enabled(bool e) { enabled_ = e; }
  bool focused() const { return focused_ != 0; }
  bool capture() const { return capture_ != 0; }
  void set_capture(bool c) { capture_ = c; }
  int layer() const { return layer_; }
  // Re-sorts the parent's z-order.
  void set_layer(int layer);
  int sequence() const { return sequence_; }
  int next_sequence() const { return next_sequence_; }
  uint32_t raster_op() const { return rop_; }
  void set_raster_op(uint32_t rop) { rop_ = rop; }
  int composition() const { return composition_; }
  void set_composition(int mode) { composition_ = mode; }

 protected:
  // Lets a derived control start its children's numbering elsewhere (the tests start it near
  // the limit).
  void set_next_sequence(int next) { next_sequence_ = next; }

 private:
  int take_sequence();
  void renumber();
  void sort_order();
  bool contains_point(int px, int py) const;
  bool is_ancestor_of(const ControlBase* other) const;

  PIMAGE image_ = nullptr;
  PIMAGE mask_ = nullptr;
  int visible_ = 0;
  int enabled_ = 0;
  int is_child_ = 0;
  uint8_t focused_ = 0;
  int capture_ = 0;
  int layer_ = 0;
  int sequence_ = 0;
  int next_sequence_ = 1;
  ControlBase* parent_ = nullptr;
  std::unique_ptr<ChildSet> children_;
  std::vector<ControlBase*> order_;
  int x_ = 0, y_ = 0;
  int width_ = 1, height_ = 1;
  uint32_t rop_ = kSrcCopy;
  int composition_ = kComposeCopy;
  int root_marker_ = 0;
};

// The tree's process-wide values: its root and the control that has the focus.
struct ControlContext {
  ControlBase* root = nullptr;
  ControlBase* focused = nullptr;
};
ControlContext& control_context();

// Makes the root once per process (the window calls it when it first starts); it is
// destroyed at process exit. Returns the root.
ControlBase* create_control_root();

// The tree walks over the whole tree (each a no-op without a root). Linking this unit installs
// them, with the key and mouse dispatch to the root, as the window's control hooks
// (graphics/control_seam.h), which frame pacing calls.
void draw_controls(PIMAGE target = nullptr);  // null: the screen target
void update_controls();

}  // namespace gfx
