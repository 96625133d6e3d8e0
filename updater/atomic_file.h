// Replacing a file so that a crash at any moment leaves either the old or the new content.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

// Writes bytes to a temporary file beside path, flushes it to disk and renames it over path.
// False (with path untouched and no temporary left) when any step fails.
bool replaceFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes);
