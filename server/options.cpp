#include "server/options.h"

#include <charconv>
#include <string_view>

namespace server {

namespace {

template <typename T>
bool number(std::string_view text, T min, T max, T* out) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
    return false;
  *out = value;
  return true;
}

}  // namespace

const char* usageText() {
  return "usage: kelvora-server --manifest FILE [options]\n"
         "       kelvora-server --manifest-object BUCKET/KEY --endpoint HOST[:PORT] --id ID\n"
         "                      --secret-file FILE [options]\n"
         "Answers Update.exe's hello on port 9910 with the release of the manifest, or its\n"
         "fallback for clients outside the rollout.\n"
         "  --listen ADDR:PORT         update port (default 0.0.0.0:9910; [::]:9910 for IPv6 and "
         "4)\n"
         "  --metrics-listen ADDR:PORT /metrics and /healthz over HTTP (default 127.0.0.1:9911)\n"
         "  --threads N                event loops (default: the processor count)\n"
         "  --manifest FILE            the release manifest, read again on SIGHUP\n"
         "  --manifest-object B/KEY    the manifest as an object in the store, polled\n"
         "  --endpoint HOST[:PORT]     the store (with --manifest-object)\n"
         "  --id ID --secret-file FILE the store's access key pair\n"
         "  --poll S                   seconds between polls of the object (default 10)\n"
         "  --hello-timeout S          close a connection without a hello after S (default 10)\n"
         "  --idle-timeout S           close a connection silent for S (default 30)\n"
         "  --max-connections N        connections held at once (default 100000)\n"
         "  --grace S                  seconds to stop in on SIGTERM or SIGINT (default 5)\n"
         "  --reports FILE|-           one JSON line per hello; SIGHUP reopens FILE\n"
         "  --reports-buffer BYTES     report lines waiting per loop (default 1048576)\n"
         "  --metrics-connections N    metrics clients at once (default 64)\n"
         "  --backlog N                listen backlog per loop (default 4096)\n"
         "  --help, --version\n";
}

ParseOutcome parseOptions(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") return ParseOutcome::Help;
    if (arg == "--version") return ParseOutcome::Version;
    if (i + 1 >= argc) {
      *error = std::string(arg) + ": unknown option, or a value is missing";
      return ParseOutcome::Error;
    }
    const std::string_view value = argv[++i];
    bool ok = true;
    if (arg == "--listen")
      o->listen = value;
    else if (arg == "--metrics-listen")
      o->metricsListen = value;
    else if (arg == "--threads")
      ok = number(value, 1u, 1024u, &o->threads);
    else if (arg == "--manifest")
      o->manifestFile = value;
    else if (arg == "--manifest-object")
      o->manifestObject = value;
    else if (arg == "--endpoint")
      o->endpoint = value;
    else if (arg == "--id")
      o->accessKeyId = value;
    else if (arg == "--secret-file")
      o->secretFile = value;
    else if (arg == "--poll")
      ok = number(value, 1u, 86400u, &o->pollSeconds);
    else if (arg == "--hello-timeout")
      ok = number(value, 1u, 3600u, &o->helloTimeoutSeconds);
    else if (arg == "--idle-timeout")
      ok = number(value, 1u, 3600u, &o->idleTimeoutSeconds);
    else if (arg == "--max-connections")
      ok = number(value, uint64_t{1}, uint64_t{1} << 32, &o->maxConnections);
    else if (arg == "--grace")
      ok = number(value, 1u, 3600u, &o->graceSeconds);
    else if (arg == "--reports")
      o->reports = value;
    else if (arg == "--reports-buffer")
      ok = number(value, size_t{4096}, size_t{1} << 30, &o->reportsBufferBytes);
    else if (arg == "--metrics-connections")
      ok = number(value, 1u, 4096u, &o->metricsConnections);
    else if (arg == "--backlog")
      ok = number(value, 1u, 1u << 20, &o->backlog);
    else {
      *error = std::string(arg) + ": unknown option";
      return ParseOutcome::Error;
    }
    if (!ok) {
      *error = std::string(arg) + ": " + std::string(value) + " is out of range";
      return ParseOutcome::Error;
    }
  }
  const bool object = !o->manifestObject.empty();
  if (object == !o->manifestFile.empty()) {
    *error = "give exactly one of --manifest and --manifest-object";
    return ParseOutcome::Error;
  }
  if (object && (o->endpoint.empty() || o->accessKeyId.empty() || o->secretFile.empty() ||
                 o->manifestObject.find('/') == std::string::npos)) {
    *error = "--manifest-object BUCKET/KEY needs --endpoint, --id and --secret-file";
    return ParseOutcome::Error;
  }
  return ParseOutcome::Run;
}

}  // namespace server
