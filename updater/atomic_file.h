// Whole-file I/O: reading the head of a file, and replacing one so that a crash at any moment
// leaves either the old or the new content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace atomic_file {

// Writes bytes to a temporary file beside path, flushes it to disk and renames it over path.
// An existing file's permission bits are kept; a new file gets 0644. False (with path untouched
// and no temporary left) when any step fails.
bool replaceFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// At most maxBytes of a regular file from its start; nothing when it cannot be opened or read,
// or is not a regular file (a directory). Ask for one byte more than you accept to tell a file
// that is too long.
std::optional<std::vector<uint8_t>> readFileHead(const std::filesystem::path& path,
                                                 size_t maxBytes);

}  // namespace atomic_file
