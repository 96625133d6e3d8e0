// The names a version's package goes by: the object "A/B.C.BIN" in the bucket and the file
// "A.B.C.BIN" in the application directory. Parsed with the canonical version text's rules, so
// that each name stands for one version and each version has one name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/version_text.h"

namespace protocol {

std::string packageObjectKey(const Version& v);
std::optional<Version> parsePackageObjectKey(std::string_view key);

std::string packageFileName(const Version& v);
std::optional<Version> parsePackageFileName(std::string_view name);

}  // namespace protocol
