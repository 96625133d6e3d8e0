// The server's reader of client bytes, fed in the pieces the input's first byte picks: it stays
// within its fixed record, and splitting the bytes differently never changes what it finds.
#include <cstdlib>
#include <span>
#include <vector>

#include "server/conversation_reader.h"

namespace {

using Step = server::ConversationReader::Step;

// The steps the reader reports over the bytes, in pieces of at most piece bytes.
std::vector<Step> run(std::span<const uint8_t> bytes, size_t piece) {
  server::ConversationReader reader;
  std::vector<Step> steps;
  while (!bytes.empty()) {
    std::span<const uint8_t> in = bytes.first(std::min(piece, bytes.size()));
    bytes = bytes.subspan(in.size());
    while (!in.empty()) {
      Step step = reader.feed(&in);
      if (step == Step::NeedMore) break;
      steps.push_back(step);
      if (step == Step::Fault) return steps;
    }
  }
  return steps;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = size_t(data[0] % 17) + 1;
  std::span<const uint8_t> bytes(data + 1, size - 1);
  auto whole = run(bytes, bytes.size() + 1), pieces = run(bytes, piece);
  if (whole != pieces) std::abort();
  // At most one hello, and nothing after a fault.
  size_t hellos = 0;
  for (Step s : whole) hellos += s == Step::Hello;
  if (hellos > 1) std::abort();
  return 0;
}
