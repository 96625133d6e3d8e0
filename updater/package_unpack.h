// The update package: blocks of at most 65536 bytes, each stored or LZ77-compressed, behind a
// 4-byte header of plain and stored length.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kelvora {

struct UnpackResult {
  bool ok = true;
  long block = -1;   // index of the failing block
  long offset = -1;  // byte offset of its header in the package
  std::string reason;
};

// Decodes `package` into outputPath; closes the package. Failure details for tools.
UnpackResult unpackPackageDetailed(std::FILE* package, const char* outputPath);

// 0 on success, -1 on failure; "Decompress error" goes to stdout on a refused block.
int unpackPackage(std::FILE* package, const char* outputPath);

// Builds a package from bytes, compressing each block when that is shorter.
std::vector<uint8_t> packPackage(const std::vector<uint8_t>& plain);

}  // namespace kelvora
