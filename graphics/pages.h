// The window's pages and the drawing target: what a null image or a page number names.
// The window (initgraph) sets the graph size, makes page 0 active and visible and installs its
// dirty-marking hooks; everything else here works without a window.
#pragma once

#include "graphics/image.h"

namespace gfx {

constexpr int kPageCount = 4;

// Called when a drawing operation touches the screen target (one step of the window's
// dirty countdown) and when a page is made visible (the next refresh copies it whole).
struct PageHooks {
  void (*mark_dirty)() = nullptr;
  void (*refresh_all)() = nullptr;
};
void set_page_hooks(PageHooks hooks);

// Pages made after this are sized to it; the control root takes it as the screen size.
void set_graph_size(int width, int height);
int graph_width();
int graph_height();

// Creates the page if absent (sized to the graph size) and makes it the one null draws into
// while no explicit target is set. Pages outside 0 to 3 are ignored.
void set_active_page(int page);
// Creates the page if absent and makes it the one the window shows.
void set_visual_page(int page);
int active_page();
int visual_page();
// The page image, or null where it has not been made.
IMAGE* page_image(int page);

// The drawing target of the calling thread: an image, or null for the active page. It is kept
// per thread, so a walk of the control tree on one thread (which points the target at each
// control's image while its handler runs) never redirects another thread's drawing.
void set_target(PIMAGE img);
PIMAGE get_target();

// Frees the pages (for the end of the process and for tests).
void release_pages();

}  // namespace gfx
