// kelvora-server's command line: every limit is a flag with a default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace server {

struct Options {
  std::string listen = "0.0.0.0:9910";
  std::string metricsListen = "127.0.0.1:9911";
  unsigned threads = 0;  // 0: one event loop per processor
  // The manifest: a local file, or an object in the store polled with its ETag.
  std::string manifestFile;
  std::string manifestObject;  // BUCKET/KEY
  std::string endpoint, accessKeyId, secretFile;
  unsigned pollSeconds = 10;
  unsigned helloTimeoutSeconds = 10;
  unsigned idleTimeoutSeconds = 30;
  uint64_t maxConnections = 100000;
  unsigned graceSeconds = 5;
  std::string reports;                   // "": none; "-": standard output
  size_t reportsBufferBytes = 1u << 20;  // per event loop; past it lines are dropped
  unsigned metricsConnections = 64;      // metrics clients served at once
  unsigned backlog = 4096;               // listen backlog of each loop's listener
};

enum class ParseOutcome { Run, Help, Version, Error };

ParseOutcome parseOptions(int argc, char** argv, Options* options, std::string* error);
const char* usageText();

}  // namespace server
