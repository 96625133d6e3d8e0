// The control tree: its children set, focus and dispatch, and drawing.
#include "graphics/control.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <vector>

#include "graphics/control_seam.h"
#include "graphics/drawing.h"
#include "graphics/window.h"

namespace {

using gfx::ControlBase;

// Records what reaches it, and answers as told.
class Probe : public ControlBase {
 public:
  Probe() : ControlBase(nullptr) {}
  int on_mouse(int x, int y, int flags) override { return mice.push_back({x, y, flags}), 0; }
  int on_key_down(unsigned key, int) override { return keys.push_back(key), 0; }
  int on_key_char(unsigned key, int) override { return chars.push_back(key), 0; }
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

  struct Mouse {
    int x, y, flags;
  };
  std::vector<Mouse> mice;
  std::vector<unsigned> keys, chars;
  int focus_lost = 0;
  bool throw_in_draw = false;
  uint32_t fill = 0;
  gfx::PIMAGE seen_target = nullptr;
  gfx::PIMAGE drawn_into = nullptr;
};

// Events as frame pacing hands them to the tree through the window's control hooks.
void press(int x, int y) {
  gfx::control_hooks().mouse(x, y, gfx::kMouseDown | gfx::kMouseLeft);
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

TEST_F(ControlTree, ButtonDownFocusesRaisesAndTakesFocusFromTheOldControl) {
  Probe a, b;
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
  EXPECT_EQ(std::make_pair(b.mice[0].x, b.mice[0].y), std::make_pair(7, 7));  // relative to b
  // Keys go to the focused child only.
  key(0, 'K');
  key(2, 'k');
  EXPECT_EQ(b.keys, std::vector<unsigned>{'K'});
  EXPECT_EQ(b.chars, std::vector<unsigned>{'k'});
  EXPECT_TRUE(a.keys.empty());
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
  EXPECT_TRUE(gfx::control_hooks().draw(page)) << "pacing must copy what the tree put there";
  EXPECT_EQ(a.seen_target, a.image());
  EXPECT_EQ(a.drawn_into, a.image());
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      const uint32_t p = page->pixels()[y * 40 + x];
      const bool inside = x >= 10 && x < 14 && y >= 5 && y < 8;
      EXPECT_EQ(p, inside ? 0xFF0000u : 0u) << x << "," << y;  // the hidden green nowhere
    }
  }
  // A throwing handler still gives the target back.
  a.throw_in_draw = true;
  gfx::IMAGE elsewhere(2, 2);
  gfx::set_target(&elsewhere);
  EXPECT_THROW(gfx::draw_controls(), std::runtime_error);
  EXPECT_EQ(gfx::get_target(), &elsewhere);
  gfx::set_target(nullptr);
}

}  // namespace
