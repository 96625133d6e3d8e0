// The control tree: its children set, z-order, reparenting, renumbering, focus and dispatch.
#include "graphics/control.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "graphics/control_seam.h"
#include "graphics/drawing.h"
#include "graphics/window.h"

namespace {

using gfx::ControlBase;

// Records what reaches it, and answers as told.
class Probe : public ControlBase {
 public:
  explicit Probe(ControlBase* parent = nullptr, std::string name = "")
      : ControlBase(parent), name(std::move(name)) {}
  int on_mouse(int x, int y, int flags) override {
    mice.push_back({x, y, flags});
    log().push_back(name + ".mouse");
    return mouse_result;
  }
  int on_key_down(unsigned key, int) override {
    keys.push_back(key);
    log().push_back(name + ".down");
    return key_result;
  }
  int on_key_char(unsigned key, int) override {
    chars.push_back(key);
    return 0;
  }
  int on_focus_request() override { return refuse_focus; }
  void on_focus_lost() override { ++focus_lost; }
  void on_draw(gfx::PIMAGE target) override {
    seen_target = gfx::get_target();
    drawn_into = target;
    if (throw_in_draw) throw std::runtime_error("draw");
    if (fill) {
      gfx::set_bk_color(fill, image());
      gfx::clear_page(image());
    }
  }
  void on_child_added(ControlBase* c) override { added.push_back(c); }
  void on_child_removed(ControlBase* c) override { removed.push_back(c); }
  using ControlBase::set_next_sequence;

  static std::vector<std::string>& log() {
    static std::vector<std::string> l;
    return l;
  }

  struct Mouse {
    int x, y, flags;
  };
  std::string name;
  std::vector<Mouse> mice;
  std::vector<unsigned> keys, chars;
  std::vector<ControlBase*> added, removed;
  int mouse_result = 0, key_result = 0, refuse_focus = 0, focus_lost = 0;
  bool throw_in_draw = false;
  uint32_t fill = 0;
  gfx::PIMAGE seen_target = nullptr;
  gfx::PIMAGE drawn_into = nullptr;
};

// Events as frame pacing hands them to the tree through the window's control hooks.
void press(int x, int y) {
  gfx::control_hooks().mouse(x, y, gfx::kMouseDown | gfx::kMouseLeft);
}
void hover(int x, int y, int held = 0) {
  gfx::control_hooks().mouse(x, y, gfx::kMouseMove | held);
}
void key(int kind, int code) {
  gfx::control_hooks().key(kind, code, 0);
}

class ControlTree : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gfx::graph_context().width = 40;
    gfx::graph_context().height = 30;
    gfx::set_active_page(0);
    gfx::create_control_root();
  }
  void SetUp() override {
    Probe::log().clear();
    root = gfx::control_context().root;
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->child_count(), 0);
  }
  ControlBase* root = nullptr;
};

TEST(ChildSet, AgreesWithAnOrderedSetAndStaysBalanced) {
  std::mt19937 rng(7);
  std::vector<ControlBase*> keys;
  for (int i = 0; i < 600; ++i) keys.push_back(reinterpret_cast<ControlBase*>(0x1000 + 16 * i));
  gfx::ChildSet set;
  std::set<ControlBase*> oracle;
  for (int step = 0; step < 4000; ++step) {
    ControlBase* k = keys[rng() % keys.size()];
    if (rng() % 3 == 0) {
      EXPECT_EQ(set.erase(k), oracle.erase(k) == 1);
    } else {
      EXPECT_EQ(set.insert(k), oracle.insert(k).second);
    }
    if (step % 97 == 0) {
      ASSERT_EQ(set.size(), static_cast<int>(oracle.size()));
      int i = 0;
      for (ControlBase* o : oracle) {
        ASSERT_EQ(set.at(i), o);
        ASSERT_EQ(set.index_of(o), i);
        ++i;
      }
      // AVL height bound: 1.44 log2(n + 2).
      EXPECT_LE(set.height(), 1.45 * std::log2(set.size() + 2.0));
    }
  }
  EXPECT_EQ(set.at(-1), nullptr);
  EXPECT_EQ(set.at(set.size()), nullptr);
  EXPECT_EQ(set.index_of(reinterpret_cast<ControlBase*>(8)), -1);
}

TEST_F(ControlTree, RootAloneDrawsNothingAndOnlyMarksEvents) {
  gfx::IMAGE* page = gfx::graph_context().pages[0];
  ASSERT_NE(page, nullptr);
  std::fill_n(page->pixels(), 40 * 30, 0x445566);
  gfx::draw_controls();
  gfx::update_controls();
  for (int i = 0; i < 40 * 30; ++i) ASSERT_EQ(page->pixels()[i], 0x445566u);
  EXPECT_EQ(root->width(), 40);
  EXPECT_EQ(root->height(), 30);
  EXPECT_TRUE(root->is_root());
  press(5, 5);
  key(0, 'A');
  EXPECT_EQ(gfx::control_context().focused, nullptr);
  for (int i = 0; i < 40 * 30; ++i) ASSERT_EQ(page->pixels()[i], 0x445566u);
}

TEST_F(ControlTree, ZOrderIsLayerThenSequenceThenAddress) {
  Probe a, b, c;
  EXPECT_EQ(root->z_order(), (std::vector<ControlBase*>{&a, &b, &c}));
  EXPECT_LT(a.sequence(), b.sequence());
  b.set_layer(-1);
  EXPECT_EQ(root->z_order(), (std::vector<ControlBase*>{&b, &a, &c}));
  a.set_layer(2);
  EXPECT_EQ(root->z_order(), (std::vector<ControlBase*>{&b, &c, &a}));
  // Equal layer and sequence: the lower address is drawn first.
  Probe parent;
  Probe x(&parent), y(&parent);
  parent.set_next_sequence(x.sequence());
  parent.add_child(&y);
  ASSERT_EQ(x.sequence(), y.sequence());
  ControlBase* low = std::less<ControlBase*>()(&x, &y) ? &x : &y;
  EXPECT_EQ(parent.z_order().front(), low);
  EXPECT_EQ(parent.children()->at(0), low);
}

TEST_F(ControlTree, AddingAChildWithAParentMovesItAndDestructionHandsChildrenUp) {
  Probe p1, p2;
  auto middle = std::make_unique<Probe>(&p1);
  Probe leaf1(middle.get()), leaf2(middle.get());
  EXPECT_EQ(leaf1.parent(), middle.get());
  EXPECT_EQ(p2.add_child(&leaf1), 0);
  EXPECT_EQ(leaf1.parent(), &p2);
  EXPECT_EQ(middle->child_count(), 1);
  EXPECT_EQ(middle->removed, std::vector<ControlBase*>{&leaf1});
  EXPECT_EQ(p2.added, std::vector<ControlBase*>{&leaf1});
  // A control cannot become its own descendant's child.
  Probe* m = middle.get();
  leaf2.add_child(m);
  EXPECT_EQ(m->parent(), &p1);
  middle.reset();
  EXPECT_EQ(leaf2.parent(), &p1);
  EXPECT_EQ(p1.child_count(), 1);
  EXPECT_EQ(p1.z_order(), std::vector<ControlBase*>{&leaf2});
  EXPECT_EQ(p1.remove_child(&leaf1), 0);  // not a child of p1
  EXPECT_EQ(p2.remove_child(&leaf1), 1);
  EXPECT_EQ(leaf1.parent(), nullptr);
  EXPECT_EQ(p2.child_count(), 0);
}

TEST_F(ControlTree, SequencesAreCompactedPastTheLimit) {
  Probe parent;
  std::vector<std::unique_ptr<Probe>> kids;
  for (int i = 0; i < 3; ++i) kids.push_back(std::make_unique<Probe>(&parent));
  kids[0]->set_layer(1);  // the list order is now 1, 2, 0
  parent.set_next_sequence(gfx::kSequenceLimit);
  kids.push_back(std::make_unique<Probe>(&parent));
  EXPECT_EQ(kids[3]->sequence(), gfx::kSequenceLimit);
  kids.push_back(std::make_unique<Probe>(&parent));  // this one passes the limit
  EXPECT_EQ(kids[1]->sequence(), 1);
  EXPECT_EQ(kids[2]->sequence(), 2);
  EXPECT_EQ(kids[3]->sequence(), 3);
  EXPECT_EQ(kids[0]->sequence(), 4);
  EXPECT_EQ(kids[4]->sequence(), 5);
  EXPECT_EQ(parent.next_sequence(), 6);
  EXPECT_EQ(parent.z_order(),
            (std::vector<ControlBase*>{kids[1].get(), kids[2].get(), kids[3].get(), kids[4].get(),
                                       kids[0].get()}));
}

TEST_F(ControlTree, ButtonDownFocusesRaisesAndTakesFocusFromTheOldControl) {
  Probe a(nullptr, "a"), b(nullptr, "b");
  a.resize(10, 10);
  b.resize(10, 10);
  a.move(0, 0);
  b.move(5, 5);  // b lies over a at (5..9, 5..9)
  press(2, 2);   // only a is there
  EXPECT_TRUE(a.focused());
  EXPECT_EQ(gfx::control_context().focused, &a);
  EXPECT_EQ(root->z_order().back(), &a);  // raised over b
  ASSERT_EQ(a.mice.size(), 1u);
  EXPECT_EQ(a.mice[0].flags, gfx::kMouseDown | gfx::kMouseLeft);
  // a is on top now, so it takes the overlap.
  press(7, 7);
  EXPECT_EQ(a.mice.size(), 2u);
  EXPECT_TRUE(b.mice.empty());
  press(12, 12);
  EXPECT_TRUE(b.focused());
  EXPECT_FALSE(a.focused());
  EXPECT_EQ(a.focus_lost, 1);
  EXPECT_EQ(gfx::control_context().focused, &b);
  ASSERT_EQ(b.mice.size(), 1u);
  EXPECT_EQ(b.mice[0].x, 7);  // relative to b
  EXPECT_EQ(b.mice[0].y, 7);
  // Keys go to the focused child only.
  key(0, 'K');
  key(2, 'k');
  EXPECT_EQ(b.keys, std::vector<unsigned>{'K'});
  EXPECT_EQ(b.chars, std::vector<unsigned>{'k'});
  EXPECT_TRUE(a.keys.empty());
}

TEST_F(ControlTree, RefusedFocusStillDeliversWithoutReordering) {
  Probe a, b;
  a.resize(10, 10);
  b.resize(10, 10);
  a.refuse_focus = 1;
  const auto before = root->z_order();
  const int seq = a.sequence();
  press(1, 1);  // b is on top
  EXPECT_EQ(b.mice.size(), 1u);
  b.set_visible(false);
  press(1, 1);
  EXPECT_EQ(a.mice.size(), 1u);
  EXPECT_FALSE(a.focused());
  EXPECT_EQ(a.sequence(), seq);
  EXPECT_EQ(root->z_order(), before);
  EXPECT_EQ(gfx::control_context().focused, &b);
}

TEST_F(ControlTree, NestedFocusKeepsThePathFocusedAndKeysReachTheLeaf) {
  Probe outer(nullptr, "outer"), other(nullptr, "other");
  outer.resize(20, 20);
  other.resize(5, 5);
  other.move(30, 0);
  Probe left(&outer, "left"), right(&outer, "right");
  left.resize(10, 10);
  right.resize(10, 10);
  right.move(10, 0);
  press(2, 2);
  EXPECT_TRUE(outer.focused());
  EXPECT_TRUE(left.focused());
  press(12, 2);
  EXPECT_TRUE(right.focused());
  EXPECT_FALSE(left.focused());
  EXPECT_TRUE(outer.focused());  // still on the path to the new control
  Probe::log().clear();
  key(0, 'Q');
  EXPECT_EQ(right.keys, std::vector<unsigned>{'Q'});
  EXPECT_TRUE(left.keys.empty());
  // A handled key down stops at the control that handled it.
  outer.key_result = 1;
  key(0, 'R');
  EXPECT_EQ(right.keys.size(), 1u);
  // A click elsewhere takes the focus from the whole path.
  press(31, 1);
  EXPECT_TRUE(other.focused());
  EXPECT_FALSE(right.focused());
  EXPECT_FALSE(outer.focused());
}

TEST_F(ControlTree, HitTestHonoursEnabledMaskAndCaptureOnce) {
  Probe under(nullptr, "under"), shaped(nullptr, "shaped"), grabber(nullptr, "grabber");
  under.resize(10, 10);
  shaped.resize(10, 10);
  shaped.set_composition(gfx::kComposeMask);
  shaped.mask()->pixels()[3 * 10 + 3] = 0xFF;  // only (3, 3) is solid
  hover(4, 4, gfx::kMouseLeft);
  EXPECT_TRUE(shaped.mice.empty());  // hole in the mask: falls through
  ASSERT_EQ(under.mice.size(), 1u);
  EXPECT_EQ(under.mice[0].flags, gfx::kMouseMove | gfx::kMouseLeft);
  hover(3, 3);
  EXPECT_EQ(shaped.mice.size(), 1u);
  EXPECT_EQ(under.mice.size(), 1u);
  shaped.set_enabled(false);
  hover(3, 3);
  EXPECT_EQ(under.mice.size(), 2u);
  // A capturing control gets every event, far from it too, and only once.
  grabber.resize(2, 2);
  grabber.move(30, 20);
  grabber.set_capture(true);
  hover(31, 21);
  EXPECT_EQ(grabber.mice.size(), 1u);
  hover(1, 1);
  EXPECT_EQ(grabber.mice.size(), 2u);
  EXPECT_EQ(under.mice.size(), 3u);  // the hit test still goes on below
  // Points left of and above the window reach it too.
  hover(-2, -3);
  EXPECT_EQ(grabber.mice.back().x, -2 - 30);
  EXPECT_EQ(grabber.mice.back().y, -3 - 20);
}

TEST_F(ControlTree, DrawComposesVisibleChildrenWithTheirOwnTarget) {
  gfx::IMAGE* page = gfx::graph_context().pages[0];
  gfx::set_bk_color(0, page);
  gfx::clear_page(page);
  Probe a, hidden;
  a.resize(4, 3);
  a.move(10, 5);
  a.fill = 0xFF0000;
  hidden.resize(4, 3);
  hidden.fill = 0x00FF00;
  hidden.set_visible(false);
  gfx::draw_controls();
  EXPECT_EQ(a.seen_target, a.image());
  EXPECT_EQ(a.drawn_into, a.image());
  // Afterwards the thread has no target of its own again: it follows the active page.
  gfx::set_active_page(1);
  EXPECT_EQ(gfx::get_target(), gfx::graph_context().pages[1]);
  gfx::set_active_page(0);
  int red = 0, green = 0;
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      const uint32_t p = page->pixels()[y * 40 + x];
      const bool inside = x >= 10 && x < 14 && y >= 5 && y < 8;
      EXPECT_EQ(p, inside ? 0xFF0000u : 0u) << x << "," << y;
      red += p == 0xFF0000u;
      green += p == 0x00FF00u;
    }
  }
  EXPECT_EQ(red, 12);
  EXPECT_EQ(green, 0);
  // A throwing handler still gives the target back.
  a.throw_in_draw = true;
  gfx::IMAGE elsewhere(2, 2);
  gfx::set_target(&elsewhere);
  EXPECT_THROW(gfx::draw_controls(), std::runtime_error);
  EXPECT_EQ(gfx::get_target(), &elsewhere);
  gfx::set_target(nullptr);
}

}  // namespace
