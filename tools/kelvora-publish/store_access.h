// The store as kelvora-publish sees it: signed HEAD, GET and PUT of one object through the
// project's storage client, with the outcome reduced to what a step decides on and a failure
// described in one line.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "tools/kelvora-publish/publish_config.h"

namespace publish {

struct ObjectPlace {
  StoreBucket store;
  std::string key;
};
// "bucket/key" for step lines.
std::string placeText(const ObjectPlace& place);

struct ObjectAnswer {
  int status = -1;  // HTTP status, or a negative client code
  std::string etag;
  int64_t length = -1;
  std::string problem;  // one line describing a status outside 2xx
  bool found() const { return status / 100 == 2; }
  bool missing() const { return status == 404; }
};

ObjectAnswer headObject(const ObjectPlace& place, const KeyPair& key);

// Streams a 2xx body to `piece`, which stops the transfer by returning false. `complete` in the
// answer is false for a body cut short or stopped.
using BodyPiece = std::function<bool(std::span<const uint8_t>)>;
struct GetAnswer : ObjectAnswer {
  bool complete = false;
};
GetAnswer getObject(const ObjectPlace& place, const KeyPair& key, const BodyPiece& piece);
// A small object whole, at most `limit` bytes (more is a failure of the step).
GetAnswer getSmallObject(const ObjectPlace& place, const KeyPair& key, size_t limit,
                         std::string* body);

// PUT of a file, streamed from disk, with a progress bar on a terminal.
ObjectAnswer putFile(const ObjectPlace& place, const KeyPair& key, const std::string& path);

}  // namespace publish
