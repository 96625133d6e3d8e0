// The two files of a release, made on this machine before anything goes to the store: the
// package packed from the program and its signature file, in a private temporary folder that
// goes away with everything in it.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/version_text.h"
#include "updater/release_signature.h"
#include "updater/release_signing.h"

namespace publish {

// A folder only this user can enter, removed with its contents at the end of the object.
class PrivateFolder {
 public:
  PrivateFolder();  // fails the step when none can be made
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct PackedProgram {
  std::string packagePath;
  uint64_t programBytes = 0;
  uint64_t packageBytes = 0;
  release_signature::Hash packageHash{};
};

// Packs the program block by block as kelvora-pack does, hashing the package as it is written;
// memory holds one block whatever the program's size.
PackedProgram packProgram(const std::string& programPath, const std::string& packagePath);

release_signing::SecretKey loadSecretKey(const std::string& path);
release_signature::PublicKey publicHalf(const release_signing::SecretKey& key);

// The .minisig text for this package and version.
std::string signPacked(const release_signing::SecretKey& key, const PackedProgram& packed,
                       const protocol::Version& version);

// Writes a small file whole; fails the step otherwise.
void writeSmallFile(const std::string& path, const std::string& text);

}  // namespace publish
