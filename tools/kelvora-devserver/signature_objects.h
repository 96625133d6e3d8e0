// The publisher signatures of the object store: with --sign-key, a GET of K.minisig that has no
// file of its own is answered with a signature of the object K, made on demand with that key for
// the version K names ("3/11.0.BIN" is 3.11.0). --damage-signatures flips one bit of each
// signature made, so that tests see a refusal.
#pragma once

#include <optional>
#include <string>

#include "tools/kelvora-devserver/options.h"
#include "updater/release_signing.h"

namespace devserver {

class SignatureObjects {
 public:
  // Reads the secret key named in the options (none: no signatures are made); false with *error
  // when it cannot be used.
  bool load(const Options& options, std::string* error);
  // The body of the object at objectPath (a file below the root) when it is a signature made
  // here; nullopt for every other object.
  std::optional<std::string> lookup(const std::string& objectPath) const;

 private:
  std::optional<release_signing::SecretKey> key_;
  bool damage_ = false;
};

}  // namespace devserver
