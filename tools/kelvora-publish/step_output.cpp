#include "tools/kelvora-publish/step_output.h"

#include <unistd.h>

#include <cstdio>

#include "updater/release_signature.h"

namespace publish {

namespace {
constexpr int64_t kShownFrom = 1 << 20;
}  // namespace

void fail(std::string cause) {
  throw Failure{std::move(cause)};
}

void step(const char* verb, const std::string& text) {
  std::printf("%-8s %s\n", verb, text.c_str());
  std::fflush(stdout);
}

std::string shown(const std::string& text) {
  return release_signature::printable(text);
}

ProgressBar::ProgressBar(std::string label, int64_t total)
    : label_(std::move(label)),
      total_(total),
      // A signature or a manifest goes up in an instant: only packages get a bar.
      shown_(total >= kShownFrom && isatty(STDERR_FILENO) == 1) {}

ProgressBar::~ProgressBar() {
  if (drawn_) std::fputc('\n', stderr);
}

void ProgressBar::update(int64_t done) {
  const auto now = std::chrono::steady_clock::now();
  // A few redraws a second are enough for a person and cost nothing against the transfer.
  if (!shown_ || (done < total_ && now - last_ < std::chrono::milliseconds(200))) return;
  last_ = now;
  draw(done);
}

void ProgressBar::draw(int64_t done) {
  constexpr int kWidth = 30;
  const int filled = int(done * kWidth / total_);
  char bar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : ' ';
  bar[kWidth] = '\0';
  std::fprintf(stderr, "\r%s [%s] %3d%% %.1f of %.1f MiB", label_.c_str(), bar,
               int(done * 100 / total_), double(done) / 1048576.0, double(total_) / 1048576.0);
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace publish
