// The release manifest as an object in the store: read with its ETag, and written last, only
// when the ETag is still the one read. The store offers no conditional PUT, so the re-check
// right before the PUT narrows the window in which two publishers could overwrite each other to
// the length of one request; it cannot close it.
#pragma once

#include <optional>
#include <string>

#include "server/release_manifest.h"
#include "tools/kelvora-publish/publish_config.h"
#include "tools/kelvora-publish/release_files.h"

namespace publish {

struct ManifestRead {
  std::optional<release_manifest::Manifest> manifest;  // none: no manifest object yet
  std::string etag;
};

// Fails the step on anything but a valid manifest or its absence (404).
ManifestRead readManifest(const PublishConfig& config);

// "release 3.11.0 (73811821 bytes) at 25 %, fallback 3.10.0"
std::string describeManifest(const release_manifest::Manifest& manifest);

// Writes `next` when the manifest object is still as `before` found it, then reads it back.
void writeManifest(const PublishConfig& config, const ManifestRead& before,
                   const release_manifest::Manifest& next, const PrivateFolder& folder);

}  // namespace publish
