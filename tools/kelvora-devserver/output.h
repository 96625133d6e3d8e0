// Standard output carries the ports line and the client reports, one whole line at a time, so
// that a test can read it while the server runs.
#pragma once

#include <string_view>

namespace devserver {

void printLine(std::string_view line);  // adds the line feed and flushes

}  // namespace devserver
