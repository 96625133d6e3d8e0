// Arbitrary .minisig bytes through the parser and the whole check against the loopback test key,
// the same bytes as a trusted comment (version and size tokens) and as a public key line
// (kelvora-pack verify reads one from the command line or a key file): a refusal with a reason or
// an acceptance, never a read past the input. The copy into a buffer of exactly the input's size
// lets AddressSanitizer see any such read.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "updater/release_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> file(data, data + size);
  std::string error;
  release_signature::parseSignatureFile(file, &error);
  static const auto key =
      release_signature::parsePublicKey("RWQ5Tw/l/A+TNUkHokyJD0BYwQzbab5Zow9bcwK2UtiHv+8gje+0AyB7");
  static release_signature::Hash hash{};
  auto result =
      release_signature::checkPackageSignature(file, hash, {3, 11, 0}, std::span(&*key, 1));
  (void)result;
  release_signature::parseReleaseComment(
      std::string_view(reinterpret_cast<const char*>(file.data()), file.size()), &error);
  release_signature::parsePublicKey(
      std::string_view(reinterpret_cast<const char*>(file.data()), file.size()));
  return 0;
}
