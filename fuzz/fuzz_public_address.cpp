// Arbitrary page bytes through the piece loop (with reads of varying size taken from the input
// itself), and one piece through the charset decision and extraction.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "updater/public_address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the read size, so pieces fall at different places of the page.
  size_t step = 1 + size_t(data[0]) * 16;
  const uint8_t* page = data + 1;
  size_t length = size - 1;
  size_t pos = 0;
  auto read = [&](uint8_t* out, size_t n) {
    size_t k = std::min({n, step, length - pos});
    std::copy_n(page + pos, k, out);
    pos += k;
    return k;
  };
  std::optional<std::string> address = public_address::readAddressFromPage(read);
  if (address &&
      address->find_first_of(std::string_view("\x01\x02\x03\t\n\r\x1f", 7)) != std::string::npos)
    std::abort();  // control bytes must have become spaces

  std::string_view piece(reinterpret_cast<const char*>(page),
                         std::min(length, public_address::PIECE_MAX));
  std::optional<std::string> one = public_address::addressFromPiece(piece);
  // Without conversion the address is a part of the piece.
  if (one && !public_address::pieceIsUtf8(piece) && one->size() > piece.size()) std::abort();
  return 0;
}
