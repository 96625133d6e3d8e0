// Reading a release back out of the store as Update.exe would take it: the signature object
// and the package by signed GET with the read key, the package hashed and decoded while it
// streams by the updater's own code, and the updater's own signature check against the public
// half of the publisher key. Nothing here is a second verifier.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/version_text.h"
#include "tools/kelvora-publish/store_access.h"
#include "updater/release_signature.h"

namespace publish {

struct ReleaseObjects {
  ObjectPlace package, signature;
};
// MAJOR/MINOR.BUILD.BIN and its .minisig in one bucket, named as Update.exe names them.
ReleaseObjects releaseObjects(const StoreBucket& store, const protocol::Version& version);

struct ReadBack {
  uint64_t packageBytes = 0;
  uint64_t programBytes = 0;
};

// Fails the step, naming the cause, unless the signature object passes Update.exe's checks for
// this version, the package is exactly its signed package-size and decodes to exactly its signed
// program-size, and the signature holds over the package's hash; with a program path, the decoded
// bytes must also be that file's, byte for byte. Memory holds a block of the package at a time.
ReadBack readBackRelease(const ReleaseObjects& objects, const KeyPair& readKey,
                         const protocol::Version& version,
                         const release_signature::PublicKey& publisherKey,
                         const std::string& programPath);

// Whether a signature file already in hand holds for a package with this hash and these sizes:
// the checks Update.exe makes before and after the package, and the signed sizes exact.
release_signature::SignatureCheck checkSignature(const std::string& signatureFile,
                                                 const release_signature::Hash& packageHash,
                                                 uint64_t packageBytes, uint64_t programBytes,
                                                 const protocol::Version& version,
                                                 const release_signature::PublicKey& key);

}  // namespace publish
