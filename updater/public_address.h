// The machine's public IPv4 address, cut out of a web page that shows the caller's address
// between "<dd class=\"fz24\">" and "</dd>", and the host's own first local address.
//
// The page is read in pieces: two reads of at most 2048 bytes each make one piece of at most
// 4096 bytes, taken as a zero-terminated text. A piece that declares UTF-8 (and no GBK-family
// charset before it) is converted to the 8-bit code page (GBK) before the markers are sought.
// Only a piece holding both markers gives an address; a later such piece replaces an earlier one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace public_address {

constexpr size_t PAGE_READ_SIZE = 2048;
constexpr size_t PIECE_MAX = 2 * PAGE_READ_SIZE;
constexpr size_t RECEIVE_BUFFER_SIZE = 8192;
static_assert(PIECE_MAX + 1 <= RECEIVE_BUFFER_SIZE);
constexpr std::string_view START_MARKER = "<dd class=\"fz24\">";
constexpr std::string_view END_MARKER = "</dd>";
static_assert(START_MARKER.size() == 17);

// Position of pattern's first occurrence in text, or -1; 0 for an empty pattern.
long findText(std::string_view text, std::string_view pattern);

// The charset decision for one piece: true when it is to be converted from UTF-8.
bool pieceIsUtf8(std::string_view piece);

// The address between the markers of an (already converted) text, control bytes 1 to 31
// turned into spaces; none without both markers. An end marker before the start marker is
// passed over for the first one behind it.
std::optional<std::string> extractAddress(std::string_view text);

// Decision, conversion and extraction for one piece (its bytes up to the first zero byte).
std::optional<std::string> addressFromPiece(std::string_view piece);

// The piece loop over a source that gives at most n bytes per call and 0 at the end.
using PageRead = std::function<size_t(uint8_t* out, size_t n)>;
std::optional<std::string> readAddressFromPage(const PageRead& read);

// The page at url (the built-in address page by default); none when it cannot be read or holds
// no address.
std::optional<std::string> getPublicAddress();
std::optional<std::string> getPublicAddressFrom(const std::string& url);

// The host name and the dotted text of its first IPv4 address, kept process-wide. 0, -2 when the
// host name is unavailable, -3 when it does not resolve.
int getLocalAddress();
struct LocalAddress {
  std::string hostName;
  std::string address;
};
const LocalAddress& localAddress();

}  // namespace public_address
