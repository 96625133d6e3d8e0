#include "tools/kelvora-devserver/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "protocol/version_text.h"
#include "updater/builtin_config.h"

namespace devserver {

const char kUsage[] =
    "usage: kelvora-devserver [OPTION...]\n"
    "A local object store, public-address page and update server on 127.0.0.1.\n"
    "Once both ports listen it prints one line, \"kelvora-devserver: http=PORT update=PORT\",\n"
    "then one JSON line per client report received. SIGTERM or SIGINT stop it cleanly.\n"
    "\n"
    "Listeners:\n"
    "  --http-port N            object store and address page port (default 18080; 0 = any free)\n"
    "  --update-port N          update server port (default 9910; 0 = any free)\n"
    "\n"
    "Object store (GET, HEAD and PUT of DIR/BUCKET/OBJECT, signed requests only):\n"
    "  --root DIR               directory holding one folder per bucket (default .)\n"
    "  --id ID                  access key ID accepted (default the built-in loopback one)\n"
    "  --secret SECRET          access key secret (default the built-in loopback one)\n"
    "  --put-id ID              the access key ID of the pair that may also PUT; without\n"
    "  --put-secret SECRET      --put-id and --put-secret every PUT is refused (403)\n"
    "  --max-put-bytes N        refuse PUT bodies longer than N bytes (default 5368709120)\n"
    "  --request-log FILE       append \"METHOD /BUCKET/OBJECT STATUS\" for every request\n"
    "  --throttle BYTES_PER_SEC send object bodies at most this fast\n"
    "  --cut-short BYTES        announce the full Content-Length but close the connection\n"
    "                           when BYTES of the object body are still unsent\n"
    "  --first-byte-delay MS    wait MS milliseconds before the first byte of every answer\n"
    "                           on the HTTP port\n"
    "  --ignore-range           answer every object GET with the whole object (200); by\n"
    "                           default Range and If-Range (strong ETag) are honoured\n"
    "  --sign-key FILE          serve K.minisig for every object K named MAJOR/MINOR.BUILD.BIN,\n"
    "                           signed with this minisign secret key (unencrypted) for that\n"
    "                           version\n"
    "  --damage-signatures      flip one bit of every signature served (for tests)\n"
    "\n"
    "Address page (GET /ip):\n"
    "  --address TEXT           the address shown between the page's markers (default 127.0.0.1)\n"
    "  --address-charset CS     utf-8 (default) or gbk: the page's encoding and its declaration\n"
    "\n"
    "Update server:\n"
    "  --announce A.B.C         version given in answer to every hello (default 0.0.0)\n"
    "  --size N                 package size given with the version, u32 (default 0)\n"
    "  --push FILE              push FILE over the connection instead of the version answer\n"
    "  --silent                 accept and read, never answer\n"
    "  --dribble                write answers one byte at a time\n"
    "  --dribble-delay MS       pause between dribbled bytes (default 2)\n"
    "  --disconnect             send a disconnect message after each answer\n"
    "\n"
    "  --help                   this text\n"
    "  --version                the program's version\n";

namespace {

bool parseUnsigned(const char* text, uint64_t max, uint64_t* out) {
  if (text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

bool parseVersion(const char* text, Options* o) {
  auto v = protocol::parseCanonicalVersion(text);
  if (!v) return false;
  o->announceMajor = v->major;
  o->announceMinor = v->minor;
  o->announceBuild = v->build;
  return true;
}

}  // namespace

ParseOutcome parseOptions(int argc, char** argv, Options* o, std::string* error) {
  o->accessKeyId = builtin_config::builtinConfig().accessKeyId;
  o->accessKeySecret = builtin_config::builtinConfig().accessKeySecret;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string inlineValue;
    bool hasInline = false;
    if (size_t eq = arg.find('='); arg.substr(0, 2) == "--" && eq != std::string_view::npos) {
      inlineValue = std::string(arg.substr(eq + 1));
      arg = arg.substr(0, eq);
      hasInline = true;
    }
    auto flag = [&](bool* target) {
      if (hasInline) {
        *error = std::string(arg) + " takes no value";
        return false;
      }
      *target = true;
      return true;
    };
    const char* value = nullptr;
    auto needValue = [&]() {
      if (hasInline) {
        value = inlineValue.c_str();
        return true;
      }
      if (i + 1 >= argc) {
        *error = std::string(arg) + " needs a value";
        return false;
      }
      value = argv[++i];
      return true;
    };
    auto number = [&](uint64_t max, auto* target) {
      if (!needValue()) return false;
      uint64_t v = 0;
      if (!parseUnsigned(value, max, &v)) {
        *error =
            std::string(arg) + ": not a number from 0 to " + std::to_string(max) + ": " + value;
        return false;
      }
      *target = static_cast<std::remove_pointer_t<decltype(target)>>(v);
      return true;
    };

    bool ok = true;
    if (arg == "--help" || arg == "-h") return ParseOutcome::kHelp;
    if (arg == "--version") return ParseOutcome::kVersion;
    if (arg == "--http-port") {
      ok = number(65535, &o->httpPort);
    } else if (arg == "--update-port") {
      ok = number(65535, &o->updatePort);
    } else if (arg == "--root") {
      ok = needValue() && (o->root = value, true);
    } else if (arg == "--id") {
      ok = needValue() && (o->accessKeyId = value, true);
    } else if (arg == "--secret") {
      ok = needValue() && (o->accessKeySecret = value, true);
    } else if (arg == "--put-id") {
      ok = needValue() && (o->putAccessKeyId = value, true);
    } else if (arg == "--put-secret") {
      ok = needValue() && (o->putAccessKeySecret = value, true);
    } else if (arg == "--max-put-bytes") {
      ok = number(UINT64_MAX / 2, &o->maxPutBytes);
    } else if (arg == "--request-log") {
      ok = needValue() && (o->requestLog = value, true);
    } else if (arg == "--throttle") {
      ok = number(UINT64_MAX, &o->throttleBytesPerSecond);
      if (ok && o->throttleBytesPerSecond == 0) {
        *error = "--throttle must be at least 1 byte per second";
        ok = false;
      }
    } else if (arg == "--cut-short") {
      ok = number(UINT64_MAX, &o->cutShortBytes);
    } else if (arg == "--first-byte-delay") {
      ok = number(600000, &o->firstByteDelayMs);
    } else if (arg == "--ignore-range") {
      ok = flag(&o->ignoreRange);
    } else if (arg == "--address") {
      ok = needValue() && (o->address = value, true);
    } else if (arg == "--address-charset") {
      ok = needValue();
      if (ok && (std::strcmp(value, "utf-8") == 0 || std::strcmp(value, "UTF-8") == 0)) {
        o->addressCharset = AddressCharset::kUtf8;
      } else if (ok && (std::strcmp(value, "gbk") == 0 || std::strcmp(value, "GBK") == 0)) {
        o->addressCharset = AddressCharset::kGbk;
      } else if (ok) {
        *error = std::string("--address-charset: utf-8 or gbk, not ") + value;
        ok = false;
      }
    } else if (arg == "--announce") {
      ok = needValue();
      if (ok && !parseVersion(value, o)) {
        *error = std::string("--announce: not a canonical version A.B.C: ") + value;
        ok = false;
      }
    } else if (arg == "--size") {
      ok = number(UINT32_MAX, &o->announceSize);
    } else if (arg == "--sign-key") {
      ok = needValue() && (o->signKeyFile = value, true);
    } else if (arg == "--damage-signatures") {
      ok = flag(&o->damageSignatures);
    } else if (arg == "--push") {
      ok = needValue() && (o->pushFile = value, true);
    } else if (arg == "--silent") {
      ok = flag(&o->silent);
    } else if (arg == "--dribble") {
      ok = flag(&o->dribble);
    } else if (arg == "--dribble-delay") {
      ok = number(10000, &o->dribbleDelayMs);
    } else if (arg == "--disconnect") {
      ok = flag(&o->disconnect);
    } else {
      *error = "unknown option " + std::string(argv[i]) + " (see --help)";
      ok = false;
    }
    if (!ok) return ParseOutcome::kError;
  }
  if (o->putAccessKeyId.empty() != o->putAccessKeySecret.empty()) {
    *error = "--put-id and --put-secret go together";
    return ParseOutcome::kError;
  }
  if (!o->putAccessKeyId.empty() && o->putAccessKeyId == o->accessKeyId) {
    *error = "--put-id must differ from the read key's ID";
    return ParseOutcome::kError;
  }
  return ParseOutcome::kRun;
}

}  // namespace devserver
