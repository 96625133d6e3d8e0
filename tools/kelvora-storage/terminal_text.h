// Text from a server made safe to print on a terminal: a hostile server must not be able to move
// the cursor, retitle the window or feed input back through escape sequences.
#pragma once

#include <string>

// Valid UTF-8 passes unchanged except control characters; C0 controls, DEL and every byte of
// an invalid sequence become \xNN, C1 controls written in UTF-8 (U+0080 to U+009F, among them
// U+009B, a command introducer to many terminals) become \u00NN, a backslash becomes \\.
std::string terminalSafe(const std::string& text);
