// Whole-file I/O: reading a file at once, and replacing one so that a crash at any moment
// leaves either the old or the new content.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

// Writes bytes to a temporary file beside path, flushes it to disk and renames it over path.
// False (with path untouched and no temporary left) when any step fails.
bool replaceFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::vector<uint8_t>> readWholeFile(const std::filesystem::path& path);
