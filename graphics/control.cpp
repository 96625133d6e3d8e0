#include "graphics/control.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <tuple>

#include "graphics/control_seam.h"
#include "graphics/drawing.h"
#include "graphics/window.h"

namespace gfx {

// ---- Children set ----------------------------------------------------------------------

struct ChildSet::Node {
  ControlBase* key;
  Node* left = nullptr;
  Node* right = nullptr;
  int height = 1;
  int size = 1;
};

namespace {

using Node = ChildSet::Node;
// Addresses compare as integers: std::less gives a total order over unrelated pointers.
bool key_less(const ControlBase* a, const ControlBase* b) {
  return std::less<const ControlBase*>()(a, b);
}

int height_of(const Node* n) {
  return n ? n->height : 0;
}
int size_of(const Node* n) {
  return n ? n->size : 0;
}

void refresh(Node* n) {
  n->height = 1 + std::max(height_of(n->left), height_of(n->right));
  n->size = 1 + size_of(n->left) + size_of(n->right);
}

Node* rotate_right(Node* n) {
  Node* l = n->left;
  n->left = l->right;
  l->right = n;
  refresh(n);
  refresh(l);
  return l;
}

Node* rotate_left(Node* n) {
  Node* r = n->right;
  n->right = r->left;
  r->left = n;
  refresh(n);
  refresh(r);
  return r;
}

Node* rebalance(Node* n) {
  refresh(n);
  const int balance = height_of(n->left) - height_of(n->right);
  if (balance > 1) {
    if (height_of(n->left->left) < height_of(n->left->right)) n->left = rotate_left(n->left);
    return rotate_right(n);
  }
  if (balance < -1) {
    if (height_of(n->right->right) < height_of(n->right->left)) n->right = rotate_right(n->right);
    return rotate_left(n);
  }
  return n;
}

Node* insert_node(Node* n, ControlBase* key, bool& added) {
  if (!n) {
    added = true;
    return new Node{key};
  }
  if (key_less(key, n->key)) {
    n->left = insert_node(n->left, key, added);
  } else if (key_less(n->key, key)) {
    n->right = insert_node(n->right, key, added);
  } else {
    return n;
  }
  return rebalance(n);
}

Node* take_min(Node* n, Node*& min) {
  if (!n->left) {
    min = n;
    return n->right;
  }
  n->left = take_min(n->left, min);
  return rebalance(n);
}

Node* erase_node(Node* n, const ControlBase* key, bool& removed) {
  if (!n) return nullptr;
  if (key_less(key, n->key)) {
    n->left = erase_node(n->left, key, removed);
  } else if (key_less(n->key, key)) {
    n->right = erase_node(n->right, key, removed);
  } else {
    removed = true;
    Node* left = n->left;
    Node* right = n->right;
    delete n;
    if (!right) return left;
    Node* min = nullptr;
    right = take_min(right, min);
    min->left = left;
    min->right = right;
    return rebalance(min);
  }
  return rebalance(n);
}

void free_nodes(Node* n) {
  if (!n) return;
  free_nodes(n->left);
  free_nodes(n->right);
  delete n;
}

}  // namespace

ChildSet::~ChildSet() {
  free_nodes(root_);
}

bool ChildSet::contains(const ControlBase* key) const {
  return index_of(key) >= 0;
}

bool ChildSet::insert(ControlBase* key) {
  bool added = false;
  root_ = insert_node(root_, key, added);
  return added;
}

bool ChildSet::erase(const ControlBase* key) {
  bool removed = false;
  root_ = erase_node(root_, key, removed);
  return removed;
}

int ChildSet::index_of(const ControlBase* key) const {
  int before = 0;
  for (const Node* n = root_; n;) {
    if (key_less(key, n->key)) {
      n = n->left;
    } else if (key_less(n->key, key)) {
      before += size_of(n->left) + 1;
      n = n->right;
    } else {
      return before + size_of(n->left);
    }
  }
  return -1;
}

ControlBase* ChildSet::at(int index) const {
  if (index < 0 || index >= size()) return nullptr;
  for (const Node* n = root_; n;) {
    const int left = size_of(n->left);
    if (index < left) {
      n = n->left;
    } else if (index == left) {
      return n->key;
    } else {
      index -= left + 1;
      n = n->right;
    }
  }
  return nullptr;
}

int ChildSet::size() const {
  return size_of(root_);
}
int ChildSet::height() const {
  return height_of(root_);
}

// ---- Controls --------------------------------------------------------------------------

namespace {

// Points the calling thread's drawing target at an image for one handler call. get_target()
// names the active page when the thread has no target of its own; that case is put back as
// "no target", so the thread goes on following the active page rather than one fixed page.
class TargetScope {
 public:
  explicit TargetScope(PIMAGE target) : saved_(get_target()) {
    const GraphContext& c = graph_context();
    if (saved_ == c.pages[c.active_page]) saved_ = nullptr;
    set_target(target);
  }
  ~TargetScope() { set_target(saved_); }
  TargetScope(const TargetScope&) = delete;
  TargetScope& operator=(const TargetScope&) = delete;

 private:
  PIMAGE saved_;
};

}  // namespace

ControlContext& control_context() {
  static ControlContext context;
  return context;
}

ControlBase::ControlBase(ControlBase* parent) : image_(newimage()), mask_(newimage()) {
  ControlContext& context = control_context();
  if (!context.root) {
    context.root = this;
    root_marker_ = 1;
    width_ = graph_context().width;
    height_ = graph_context().height;
    return;
  }
  visible_ = enabled_ = is_child_ = 1;
  (parent ? parent : context.root)->add_child(this);
}

ControlBase::~ControlBase() {
  ControlContext& context = control_context();
  if (context.focused == this) context.focused = nullptr;
  ControlBase* former = parent_;
  if (former) former->remove_child(this);
  // The children go to the former parent; the root's become parentless.
  while (children_ && children_->size() > 0) {
    ControlBase* child = children_->at(0);
    if (former) {
      former->add_child(child);
    } else {
      remove_child(child);
    }
  }
  if (context.root == this) context.root = nullptr;
  delimage(image_);
  delimage(mask_);
}

int ControlBase::on_message(uint32_t, uintptr_t, intptr_t) {
  return 0;
}
int ControlBase::on_mouse(int, int, int) {
  return 0;
}
int ControlBase::on_key_down(unsigned, int) {
  return 0;
}
int ControlBase::on_key_up(unsigned, int) {
  return 0;
}
int ControlBase::on_key_char(unsigned, int) {
  return 0;
}
int ControlBase::on_update() {
  return 0;
}
int ControlBase::on_focus_request() {
  return 0;
}
void ControlBase::on_focus_lost() {}
void ControlBase::on_draw(PIMAGE) {}
void ControlBase::on_reset() {
  set_bk_color(0, image_);
  clear_page(image_);
}
void ControlBase::on_child_added(ControlBase*) {}
void ControlBase::on_child_removed(ControlBase*) {}

int ControlBase::take_sequence() {
  if (next_sequence_ > kSequenceLimit) renumber();
  return next_sequence_++;
}

void ControlBase::renumber() {
  int n = 1;
  for (ControlBase* child : order_) child->sequence_ = n++;
  next_sequence_ = n;
}

void ControlBase::sort_order() {
  std::stable_sort(order_.begin(), order_.end(), [](const ControlBase* a, const ControlBase* b) {
    if (a->layer_ != b->layer_) return a->layer_ < b->layer_;
    if (a->sequence_ != b->sequence_) return a->sequence_ < b->sequence_;
    return key_less(a, b);
  });
}

int ControlBase::add_child(ControlBase* child) {
  if (!child || child == this || child->is_ancestor_of(this)) return 0;
  if (!children_) {
    children_ = std::make_unique<ChildSet>();
    order_.reserve(8);
  }
  if (child->parent_) child->parent_->remove_child(child);
  // The newcomer takes the next number before it joins the list (so a renumbering counts only
  // the others) and before the sort, so it goes to the top of its layer.
  const int sequence = take_sequence();
  if (children_->insert(child)) order_.push_back(child);
  child->parent_ = this;
  child->sequence_ = sequence;
  sort_order();
  on_child_added(child);
  return 0;
}

int ControlBase::remove_child(ControlBase* child) {
  if (!children_ || !children_->contains(child)) return 0;
  on_child_removed(child);
  children_->erase(child);
  child->parent_ = nullptr;
  order_.erase(std::find(order_.begin(), order_.end(), child));
  sort_order();
  return 1;
}

bool ControlBase::is_ancestor_of(const ControlBase* other) const {
  for (const ControlBase* c = other ? other->parent_ : nullptr; c; c = c->parent_) {
    if (c == this) return true;
  }
  return false;
}

void ControlBase::move(int x, int y) {
  x_ = x;
  y_ = y;
}

void ControlBase::resize(int width, int height) {
  width_ = std::max(width, 1);
  height_ = std::max(height, 1);
  image_->createimage(width_, height_);
  mask_->createimage(width_, height_);
}

void ControlBase::set_layer(int layer) {
  layer_ = layer;
  if (parent_) parent_->sort_order();
}

void ControlBase::draw(PIMAGE target) {
  const bool root = !parent_ || root_marker_;
  PIMAGE surface = root ? target : image_;
  {
    TargetScope scope(surface);
    on_draw(surface);
  }
  // A handler may reorder the tree; walk a copy.
  const std::vector<ControlBase*> order = order_;
  for (ControlBase* child : order) child->draw(surface);
  if (root || !visible_) return;
  if (composition_ == kComposeMask) {
    image_->putimage_alphablend(target, x_, y_, mask_);
  } else {
    image_->putimage(target, x_, y_, rop_);
  }
}

void ControlBase::update() {
  if (root_marker_) {
    width_ = graph_context().width;
    height_ = graph_context().height;
  }
  for (int i = 0; i < child_count(); ++i) {
    if (ControlBase* child = children_->at(i)) child->update();
  }
  TargetScope scope(image_);
  on_update();
}

void ControlBase::key_down(unsigned key, int flags) {
  {
    TargetScope scope(image_);
    if (on_key_down(key, flags) != 0) return;
  }
  for (int i = child_count() - 1; i >= 0; --i) {
    ControlBase* child = children_->at(i);
    if (child && child->visible_ && child->enabled_ && child->focused_) child->key_down(key, flags);
  }
}

void ControlBase::key_up(unsigned key, int flags) {
  {
    TargetScope scope(image_);
    on_key_up(key, flags);
  }
  for (int i = child_count() - 1; i >= 0; --i) {
    ControlBase* child = children_->at(i);
    if (child && child->visible_ && child->enabled_ && child->focused_) child->key_up(key, flags);
  }
}

void ControlBase::key_char(unsigned key, int flags) {
  {
    TargetScope scope(image_);
    on_key_char(key, flags);
  }
  for (int i = child_count() - 1; i >= 0; --i) {
    ControlBase* child = children_->at(i);
    if (child && child->visible_ && child->enabled_ && child->focused_) {
      child->key_char(key, flags);
    }
  }
}

bool ControlBase::contains_point(int px, int py) const {
  if (px < x_ || px >= x_ + width_ || py < y_ || py >= y_ + height_) return false;
  if (composition_ == kComposeCopy || root_marker_) return true;
  const int mx = px - x_, my = py - y_;
  if (mx >= mask_->width() || my >= mask_->height()) return false;
  return mask_->pixels()[static_cast<size_t>(my) * mask_->width() + mx] != 0;
}

void ControlBase::mouse(int x, int y, int flags) {
  x -= x_;
  y -= y_;
  {
    TargetScope scope(image_);
    if (on_mouse(x, y, flags) != 0) return;
  }
  if (child_count() == 0) return;
  const std::vector<ControlBase*> order = order_;
  int from = static_cast<int>(order.size()) - 1;
  for (int i = from; i >= 0; --i) {
    if (!order[i]->capture_) continue;
    order[i]->mouse(x, y, flags);
    // The capturing control has had this event; the hit test goes on below it, so no control
    // receives one event twice.
    from = i - 1;
    break;
  }
  ControlBase* hit = nullptr;
  for (int i = from; i >= 0; --i) {
    ControlBase* c = order[i];
    if (c->visible_ && c->enabled_ && c->contains_point(x, y)) {
      hit = c;
      break;
    }
  }
  if (!hit) return;
  if ((flags & kMouseDown) && hit->on_focus_request() == 0) {
    hit->focused_ = 1;
    hit->sequence_ = take_sequence();
    sort_order();
    ControlContext& context = control_context();
    // Focus leaves the old control and its ancestors up to the first one that also holds the
    // new control, which keeps the path from the root to the new control focused.
    for (ControlBase* f = context.focused; f && f != hit && f->parent_ && !f->is_ancestor_of(hit);
         f = f->parent_) {
      f->on_focus_lost();
      f->focused_ = 0;
    }
    context.focused = hit;
  }
  hit->mouse(x, y, flags);
}

void draw_controls(PIMAGE target) {
  if (ControlBase* root = control_context().root) root->draw(target);
}

void update_controls() {
  if (ControlBase* root = control_context().root) root->update();
}

namespace {

void key_hook(int kind, int key, int flags) {
  ControlBase* root = control_context().root;
  if (!root) return;
  const auto code = static_cast<unsigned>(key);
  if (kind == 0) root->key_down(code, flags);
  if (kind == 1) root->key_up(code, flags);
  if (kind == 2) root->key_char(code, flags);
}

void mouse_hook(int x, int y, int flags) {
  if (ControlBase* root = control_context().root) root->mouse(x, y, flags);
}

}  // namespace

// Called by initgraph: a static initialiser would be dropped with its object file by the linker
// whenever the program names nothing else of this file, leaving the window without a tree.
ControlBase* create_control_root() {
  ControlContext& context = control_context();
  if (!context.root) {
    new ControlBase(nullptr);
    std::atexit([] { delete control_context().root; });
    ControlHooks hooks;
    hooks.draw = [](IMAGE* screen) {
      draw_controls(screen);
      return control_context().root->child_count() > 0;
    };
    hooks.update = update_controls;
    hooks.key = key_hook;
    hooks.mouse = mouse_hook;
    set_control_hooks(hooks);
  }
  return context.root;
}

}  // namespace gfx
