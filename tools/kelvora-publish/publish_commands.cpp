#include "tools/kelvora-publish/publish_commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "protocol/package_names.h"
#include "tools/kelvora-publish/manifest_store.h"
#include "tools/kelvora-publish/read_back.h"
#include "tools/kelvora-publish/release_files.h"
#include "tools/kelvora-publish/step_output.h"
#include "tools/kelvora-publish/store_access.h"
#include "updater/update_conversation.h"

namespace publish {

namespace {

using release_manifest::Manifest;

struct LocalFile {
  std::string path;
  uint64_t size;
};

// Whether the object's body is exactly the local file, streamed side by side.
bool sameBytes(const ObjectPlace& place, const KeyPair& readKey, const LocalFile& local) {
  const int fd = ::open(local.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot read " + local.path + ": " + std::strerror(errno));
  std::vector<uint8_t> mine(256 * 1024);
  uint64_t offset = 0;
  bool same = true;
  const GetAnswer answer = getObject(place, readKey, [&](std::span<const uint8_t> piece) {
    while (same && !piece.empty()) {
      const size_t want = std::min(mine.size(), piece.size());
      const ssize_t n = ::pread(fd, mine.data(), want, off_t(offset));
      if (n < 0 && errno == EINTR) continue;
      same = n > 0 && std::memcmp(mine.data(), piece.data(), size_t(n)) == 0;
      if (!same) break;
      piece = piece.subspan(size_t(n));
      offset += uint64_t(n);
    }
    return same;
  });
  ::close(fd);
  if (same && !answer.complete) fail("compare with " + placeText(place) + ": " + answer.problem);
  return same && offset == local.size;
}

// Step 3 for one object: put it, or skip it when it is already there with the same bytes.
void placeObject(const PublishConfig& config, const ObjectPlace& place, const LocalFile& local) {
  const ObjectAnswer head = headObject(place, config.readKey);
  const std::string immutable =
      placeText(place) +
      " is already in the store with other bytes; published releases are immutable: publish "
      "this program under a new version";
  if (head.found()) {
    if (head.length >= 0 && uint64_t(head.length) != local.size) fail(immutable);
    if (!sameBytes(place, config.readKey, local)) fail(immutable);
    step("present", placeText(place) + ": already there with the same bytes");
    return;
  }
  if (!head.missing()) fail("check " + placeText(place) + ": " + head.problem);
  step("upload", placeText(place) + " (" + std::to_string(local.size) + " bytes) to " +
                     shown(place.store.endpoint));
  const ObjectAnswer put = putFile(place, config.writeKey, local.path);
  if (!put.found()) fail("upload " + placeText(place) + ": " + put.problem);
}

// A signature already in a bucket from an earlier run, when it holds for this very package and
// version: a run made again after a failure publishes it rather than a new one, whose timestamp
// would make it other bytes than the object already published.
std::optional<std::string> earlierSignature(const PublishConfig& config,
                                            const PackedProgram& packed,
                                            const protocol::Version& version,
                                            const release_signature::PublicKey& key) {
  for (const StoreBucket& bucket : config.buckets) {
    const ObjectPlace place = releaseObjects(bucket, version).signature;
    std::string text;
    const GetAnswer answer =
        getSmallObject(place, config.readKey, release_signature::MAX_SIGNATURE_FILE + 1, &text);
    if (answer.complete && checkSignature(text, packed.packageHash, packed.packageBytes,
                                          packed.programBytes, version, key)
                               .ok) {
      step("sign", "reusing " + placeText(place) + " from an earlier run (key " +
                       release_signature::keyIdText(key.keyId) + ")");
      return text;
    }
    if (!answer.complete && !answer.missing())
      fail("check " + placeText(place) + ": " + answer.problem);
  }
  return std::nullopt;
}

std::string percent(uint32_t hundredths) {
  return release_manifest::percentText(hundredths) + " %";
}

}  // namespace

void release(const PublishConfig& config, const std::string& program,
             const protocol::Version& version, uint32_t rolloutHundredths) {
  const std::string versionText = protocol::versionText(version);
  const release_signing::SecretKey secret = loadSecretKey(config.publisherKeyFile);
  const release_signature::PublicKey publicKey = publicHalf(secret);

  // 1. The version must be newer than the manifest's release by the client's own comparison;
  // the same version again is a run made after a failure, which finishes that release.
  const ManifestRead before = readManifest(config);
  const bool rerun = before.manifest && before.manifest->release.version == version;
  if (before.manifest && !rerun &&
      !update_conversation::isNewerVersion(version, before.manifest->release.version))
    fail(versionText + " is not newer than the manifest's release " +
         protocol::versionText(before.manifest->release.version) +
         " by the client's comparison, so no client would take it");

  // 2. Package and signature, made in a private folder.
  const PrivateFolder folder;
  const PackedProgram packed =
      packProgram(program, folder.file(protocol::packageFileName(version)));
  step("pack", shown(program) + " (" + std::to_string(packed.programBytes) + " bytes) into " +
                   std::to_string(packed.packageBytes) + " package bytes");
  std::optional<std::string> signature = earlierSignature(config, packed, version, publicKey);
  if (!signature) {
    signature = signPacked(secret, packed, version);
    step("sign",
         "for " + versionText + " with key " + release_signature::keyIdText(publicKey.keyId));
  }
  const std::string signaturePath = packed.packagePath + release_signature::SIGNATURE_SUFFIX;
  writeSmallFile(signaturePath, *signature);

  // 3. Every bucket gets both objects, the package first.
  for (const StoreBucket& bucket : config.buckets) {
    const ReleaseObjects objects = releaseObjects(bucket, version);
    placeObject(config, objects.package, {packed.packagePath, packed.packageBytes});
    placeObject(config, objects.signature, {signaturePath, signature->size()});
  }

  // 4. Each bucket read back as a client reads it, before the manifest names the release.
  for (const StoreBucket& bucket : config.buckets) {
    const ReleaseObjects objects = releaseObjects(bucket, version);
    readBackRelease(objects, config.readKey, version, publicKey, program);
    step("verify", placeText(objects.package) + ": signed for " + versionText + " by key " +
                       release_signature::keyIdText(publicKey.keyId) + ", decodes to " +
                       shown(program) + " byte for byte");
  }

  // 5. The manifest, last.
  if (rerun) {
    if (before.manifest->release.packageBytes != packed.packageBytes)
      fail("the manifest names " + versionText + " with " +
           std::to_string(before.manifest->release.packageBytes) + " package bytes, not " +
           std::to_string(packed.packageBytes));
    step("manifest", "already names " + versionText + ": unchanged (use rollout to change " +
                         percent(before.manifest->rolloutHundredths) + ")");
    return;
  }
  Manifest next;
  next.release = {version, packed.packageBytes};
  next.rolloutHundredths = rolloutHundredths;
  if (before.manifest) next.fallback = before.manifest->release;
  writeManifest(config, before, next, folder);
}

void rollout(const PublishConfig& config, uint32_t rolloutHundredths) {
  const ManifestRead before = readManifest(config);
  if (!before.manifest) fail("there is no manifest yet: release a version first");
  if (before.manifest->rolloutHundredths == rolloutHundredths) {
    step("manifest", "already at " + percent(rolloutHundredths) + ": unchanged");
    return;
  }
  Manifest next = *before.manifest;
  next.rolloutHundredths = rolloutHundredths;
  const PrivateFolder folder;
  writeManifest(config, before, next, folder);
}

void revoke(const PublishConfig& config) {
  const ManifestRead before = readManifest(config);
  if (!before.manifest) fail("there is no manifest yet: nothing to revoke");
  if (!before.manifest->fallback)
    fail("the manifest has no fallback to go back to, so " +
         protocol::versionText(before.manifest->release.version) + " cannot be revoked");
  Manifest next;
  next.release = *before.manifest->fallback;
  next.rolloutHundredths = 10000;
  const PrivateFolder folder;
  writeManifest(config, before, next, folder);
}

bool status(const PublishConfig& config) {
  const release_signature::PublicKey publicKey = publicHalf(loadSecretKey(config.publisherKeyFile));
  const ManifestRead read = readManifest(config);
  if (!read.manifest) return true;
  std::vector<release_manifest::Release> releases = {read.manifest->release};
  if (read.manifest->fallback) releases.push_back(*read.manifest->fallback);
  bool allGood = true;
  for (const StoreBucket& bucket : config.buckets) {
    for (const auto& offered : releases) {
      const ReleaseObjects objects = releaseObjects(bucket, offered.version);
      try {
        const ReadBack back =
            readBackRelease(objects, config.readKey, offered.version, publicKey, "");
        if (back.packageBytes != offered.packageBytes)
          fail(placeText(objects.package) + " has " + std::to_string(back.packageBytes) +
               " bytes, the manifest says " + std::to_string(offered.packageBytes));
        step("ok", placeText(objects.package) + " and its signature: signed for " +
                       protocol::versionText(offered.version) + ", decodes to " +
                       std::to_string(back.programBytes) + " bytes");
      } catch (const Failure& failure) {
        step("FAILED", failure.cause);
        allGood = false;
      }
    }
  }
  return allGood;
}

}  // namespace publish
