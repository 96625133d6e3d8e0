#include "graphics/pages.h"

#include <cstdint>
#include <mutex>

namespace gfx {

namespace {

struct PageTable {
  std::mutex lock;  // creation of pages only; drawing into them is unlocked by design
  IMAGE* pages[kPageCount] = {};
  int active = 0;
  int visual = 0;
  int width = 1;
  int height = 1;
  PageHooks hooks;
};

PageTable& table() {
  static PageTable t;
  return t;
}

thread_local PIMAGE t_target = nullptr;

IMAGE* resolve_page(PIMAGE img, bool draws) {
  PageTable& t = table();
  const auto value = reinterpret_cast<uintptr_t>(img);
  if (value == 0) {
    if (draws && t.hooks.mark_dirty) t.hooks.mark_dirty();
    return t_target ? t_target : t.pages[t.active];
  }
  const auto page = static_cast<int>(value & 0xF);
  return page < kPageCount ? t.pages[page] : nullptr;
}

IMAGE* ensure_page(PageTable& t, int page) {
  std::lock_guard guard(t.lock);
  set_image_resolver(resolve_page);
  if (!t.pages[page]) t.pages[page] = new IMAGE(t.width, t.height);
  return t.pages[page];
}

}  // namespace

void set_page_hooks(PageHooks hooks) {
  table().hooks = hooks;
  set_image_resolver(resolve_page);
}

void set_graph_size(int width, int height) {
  PageTable& t = table();
  t.width = width < 1 ? 1 : width;
  t.height = height < 1 ? 1 : height;
  set_image_resolver(resolve_page);
}

int graph_width() {
  return table().width;
}
int graph_height() {
  return table().height;
}

void set_active_page(int page) {
  if (page < 0 || page >= kPageCount) return;
  PageTable& t = table();
  ensure_page(t, page);
  t.active = page;
}

void set_visual_page(int page) {
  if (page < 0 || page >= kPageCount) return;
  PageTable& t = table();
  ensure_page(t, page);
  t.visual = page;
  if (t.hooks.refresh_all) t.hooks.refresh_all();
}

int active_page() {
  return table().active;
}
int visual_page() {
  return table().visual;
}

IMAGE* page_image(int page) {
  return page >= 0 && page < kPageCount ? table().pages[page] : nullptr;
}

void set_target(PIMAGE img) {
  // A page number names that page; null goes back to the active page.
  const auto value = reinterpret_cast<uintptr_t>(img);
  t_target = value != 0 && value < 32 ? page_image(static_cast<int>(value & 0xF)) : img;
}

PIMAGE get_target() {
  return t_target;
}

void release_pages() {
  PageTable& t = table();
  std::lock_guard guard(t.lock);
  for (IMAGE*& page : t.pages) {
    delete page;
    page = nullptr;
  }
  t.active = t.visual = 0;
}

}  // namespace gfx
