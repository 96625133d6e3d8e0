// kelvora-publish's four commands. Each says what it does one line per step and fails with a
// Failure naming the cause (step_output.h); release can be run again after a failure at any
// step and finishes the release without uploading anything twice.
#pragma once

#include <optional>
#include <string>

#include "protocol/version_text.h"
#include "tools/kelvora-publish/publish_config.h"

namespace publish {

// Packs and signs the program, puts both objects into every bucket (skipping those already
// there with the same bytes, refusing those with other bytes), reads each back as Update.exe
// would, and only then names the release in the manifest at `rolloutHundredths`, with the
// previous release as the fallback.
void release(const PublishConfig& config, const std::string& program,
             const protocol::Version& version, uint32_t rolloutHundredths);
void rollout(const PublishConfig& config, uint32_t rolloutHundredths);
// The fallback becomes the release, offered to everyone; the revoked one is no longer offered.
void revoke(const PublishConfig& config);
// The manifest, then for each bucket whether the release's and fallback's objects are there and
// verify. False when any does not.
bool status(const PublishConfig& config);

}  // namespace publish
