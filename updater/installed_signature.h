// The signature of the installed release, kept beside the program as Kelvora.exe.minisig after
// every signed install. Settings that are lost (config.cfg missing or damaged) would otherwise
// start again at version 0.0.0, and any older signed release, which stores keep, would install
// over the program; the version this file vouches for is where fresh settings start instead.
#pragma once

#include <optional>
#include <span>

#include "updater/release_signature.h"
#include "updater/settings_block.h"

namespace installed_signature {

constexpr char SIGNATURE_FILE[] = "Kelvora.exe.minisig";

// The version that the trusted comment names, when the file passes every check of a fetched
// signature file for it with these keys (a known key id, the global signature over signature and
// trusted comment); the package hash is not checked, as the package is gone. Nothing otherwise.
std::optional<settings_block::Version> signedVersion(
    std::span<const uint8_t> file, std::span<const release_signature::PublicKey> keys);

// signedVersion of SIGNATURE_FILE in the application directory with the built-in keys.
std::optional<settings_block::Version> installedVersion();

}  // namespace installed_signature
