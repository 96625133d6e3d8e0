// The Content-Range header of a partial (206) or refused-range (416) answer: the only place the
// size of the whole object comes back when a range was asked.
#pragma once

#include <cstddef>
#include <cstdint>

struct aos_content_range {
  int64_t first;  // -1 for "bytes */N" (no range satisfied)
  int64_t last;   // inclusive; -1 with first
  int64_t size;   // the whole object's size; -1 for "*" (unknown)
};

// Parses "bytes A-B/N", "bytes A-B/*" or "bytes */N" (surrounding blanks allowed). False for
// anything else, including A > B, B >= N, and numbers past INT64_MAX.
bool aos_parse_content_range(const char* text, size_t len, aos_content_range* out);
