// The constant alpha blend's four-pixel SSE2 form against its one-pixel form on a page of the
// progress window's size, and the cost of drawing the status line as each frame does.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "graphics/drawing.h"
#include "graphics/image.h"
#include "graphics/text.h"
#include "platform/codepage.h"

namespace {

constexpr int kWidth = 500;
constexpr int kHeight = 200;

void fill_random(gfx::IMAGE& img, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int i = 0; i < img.width() * img.height(); ++i) img.pixels()[i] = rng() & 0xFFFFFF;
}

template <void (*Row)(uint32_t*, const uint32_t*, int, uint32_t)>
void BM_BlendPage(benchmark::State& state) {
  gfx::IMAGE dst(kWidth, kHeight), src(kWidth, kHeight);
  fill_random(dst, 1);
  fill_random(src, 2);
  uint32_t alpha = 0;
  for (auto _ : state) {
    for (int y = 0; y < kHeight; ++y) {
      Row(dst.pixels() + y * kWidth, src.pixels() + y * kWidth, kWidth, alpha);
    }
    alpha = (alpha + 8) & 0xFF;
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_BlendPage<gfx::blend_row_scalar>)->Name("blend_page_500x200/scalar");
BENCHMARK(BM_BlendPage<gfx::blend_row_sse2>)->Name("blend_page_500x200/sse2");

// The whole call as the start-up picture's fade uses it, clipping included.
void BM_PutImageAlphaBlend(benchmark::State& state) {
  gfx::IMAGE dst(kWidth + 1, kHeight + 1), src(kWidth, kHeight);
  fill_random(dst, 3);
  fill_random(src, 4);
  uint8_t alpha = 0;
  for (auto _ : state) {
    src.putimage_alphablend(&dst, 0, 0, alpha);
    alpha = static_cast<uint8_t>(alpha + 8);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_PutImageAlphaBlend)->Name("putimage_alphablend_500x200");

// One frame's text: the font set again and the status line drawn, as the progress window does.
void BM_StatusLine(benchmark::State& state) {
  gfx::IMAGE page(kWidth, kHeight);
  gfx::set_bk_color(0x272727, &page);
  gfx::set_line_color(0xFCFCFC, &page);
  const std::string face = platform::utf8ToGbk("微软雅黑");
  const std::string line = state.range(0)
                               ? platform::utf8ToGbk("探测到新版本 3.11.0, 正在更新...\n\n")
                               : "Found a new version 3.11.0, downloading...\n\n";
  for (auto _ : state) {
    gfx::set_font(-16, 0, face.c_str(), &page);
    gfx::draw_text(30, 45, line.c_str(), &page);
    benchmark::ClobberMemory();
  }
  state.SetLabel(state.range(0) ? "chinese" : "english");
}
BENCHMARK(BM_StatusLine)->Name("status_line_set_font_and_draw")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
