#include "tools/kelvora-publish/manifest_store.h"

#include "tools/kelvora-publish/step_output.h"
#include "tools/kelvora-publish/store_access.h"

namespace publish {

namespace {

// A manifest is a few hundred bytes; a much larger object is not one.
constexpr size_t kMaxManifest = release_manifest::MANIFEST_MAX_BYTES;

ObjectPlace manifestPlace(const PublishConfig& config) {
  return {config.manifestBucket, config.manifestKey};
}

std::string releaseText(const release_manifest::Release& release) {
  return protocol::versionText(release.version) + " (" + std::to_string(release.packageBytes) +
         " bytes)";
}

}  // namespace

ManifestRead readManifest(const PublishConfig& config) {
  const ObjectPlace place = manifestPlace(config);
  std::string body;
  const GetAnswer answer = getSmallObject(place, config.readKey, kMaxManifest, &body);
  ManifestRead read;
  if (answer.missing()) {
    step("manifest", placeText(place) + ": none yet");
    return read;
  }
  if (!answer.complete) fail("read manifest " + placeText(place) + ": " + answer.problem);
  if (answer.etag.empty()) fail("read manifest " + placeText(place) + ": the store sent no ETag");
  std::string error;
  read.manifest = release_manifest::parseManifest(body, &error);
  if (!read.manifest) fail("manifest " + placeText(place) + " is not valid: " + shown(error));
  read.etag = answer.etag;
  step("manifest", placeText(place) + ": " + describeManifest(*read.manifest));
  return read;
}

std::string describeManifest(const release_manifest::Manifest& manifest) {
  std::string text = "release " + releaseText(manifest.release) + " at " +
                     release_manifest::percentText(manifest.rolloutHundredths) + " %, fallback ";
  return text + (manifest.fallback ? releaseText(*manifest.fallback) : "none");
}

void writeManifest(const PublishConfig& config, const ManifestRead& before,
                   const release_manifest::Manifest& next, const PrivateFolder& folder) {
  const ObjectPlace place = manifestPlace(config);
  const std::string json = release_manifest::manifestJson(next);
  const std::string path = folder.file("manifest.json");
  writeSmallFile(path, json);
  // Another publisher may have written since this one read: then stop rather than merge.
  const ObjectAnswer now = headObject(place, config.readKey);
  const bool unchanged = before.manifest ? now.found() && now.etag == before.etag : now.missing();
  if (!now.found() && !now.missing())
    fail("check manifest " + placeText(place) + ": " + now.problem);
  if (!unchanged)
    fail("the manifest " + placeText(place) + " changed since it was read (ETag " +
         (before.manifest ? shown(before.etag) : "none") + ", now " +
         (now.found() ? shown(now.etag) : "none") +
         "): another publisher is at work; nothing written, run again");
  const ObjectAnswer put = putFile(place, config.writeKey, path);
  if (!put.found()) fail("write manifest " + placeText(place) + ": " + put.problem);
  std::string readBack;
  const GetAnswer check = getSmallObject(place, config.readKey, kMaxManifest, &readBack);
  if (!check.complete || readBack != json)
    fail("manifest " + placeText(place) + " reads back other bytes than were written" +
         (check.problem.empty() ? "" : ": " + check.problem));
  step("manifest", placeText(place) + " written: " + describeManifest(next));
}

}  // namespace publish
