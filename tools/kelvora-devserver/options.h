// The command line of kelvora-devserver.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace devserver {

enum class AddressCharset { kUtf8, kGbk };

struct Options {
  // Listeners, always on 127.0.0.1; 0 lets the system pick a free port.
  int httpPort = 18080;
  int updatePort = 9910;

  // Object store.
  std::string root = ".";
  std::string accessKeyId;  // defaults to the built-in loopback key pair
  std::string accessKeySecret;
  std::string putAccessKeyId;  // the pair that may write; empty: every PUT is refused
  std::string putAccessKeySecret;
  uint64_t maxPutBytes = uint64_t{5} << 30;  // larger PUT bodies are refused unread
  std::string requestLog;                    // a file given one line per request, when set
  uint64_t throttleBytesPerSecond = 0;       // 0: full speed
  uint64_t cutShortBytes = 0;                // object bodies end this many bytes early
  uint32_t firstByteDelayMs = 0;
  bool ignoreRange = false;       // serve every object GET whole (200), as a server without ranges
  std::string signKeyFile;        // serve K.minisig signed with this minisign secret key
  bool damageSignatures = false;  // ... with one bit of each signature flipped

  // Address page.
  std::string address = "127.0.0.1";
  AddressCharset addressCharset = AddressCharset::kUtf8;

  // Update server.
  uint32_t announceMajor = 0, announceMinor = 0, announceBuild = 0;
  uint32_t announceSize = 0;
  std::string pushFile;  // when set, pushed instead of the version answer
  bool silent = false;
  bool dribble = false;
  uint32_t dribbleDelayMs = 2;
  bool disconnect = false;
};

extern const char kUsage[];

enum class ParseOutcome { kRun, kHelp, kVersion, kError };

// Parses argv into options; on kError, error holds a message for standard error.
ParseOutcome parseOptions(int argc, char** argv, Options* options, std::string* error);

}  // namespace devserver
