// kelvora-publish: one command from a built program to a staged release in every bucket,
// checked as a client would check it, and the manifest the update servers follow.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "server/release_manifest.h"
#include "storage_client/aos_http_io.h"
#include "storage_client/aos_log.h"
#include "tools/kelvora-publish/publish_commands.h"
#include "tools/kelvora-publish/step_output.h"

namespace {

constexpr char kUsage[] =
    "usage: kelvora-publish --config FILE release PROGRAM --version A.B.C [--rollout P]\n"
    "       kelvora-publish --config FILE rollout --percent P\n"
    "       kelvora-publish --config FILE revoke\n"
    "       kelvora-publish --config FILE status\n"
    "       kelvora-publish --help | --version\n"
    "  release  pack and sign PROGRAM for A.B.C, put the package and its signature into every\n"
    "           bucket (objects already there with the same bytes are skipped, with other bytes\n"
    "           refused), read each back as Update.exe would, then write the manifest: A.B.C at\n"
    "           P % (default 0) with the previous release as fallback. Run it again after any\n"
    "           failure: it finishes the release without uploading anything twice\n"
    "  rollout  offer the release to P % of the clients (0 to 100, at most two decimals)\n"
    "  revoke   offer the fallback to everyone instead of the release\n"
    "  status   the manifest, and whether each bucket's objects are there and verify\n"
    "  FILE is JSON: {\"buckets\": [{\"endpoint\": E, \"bucket\": B}, ...],\n"
    "                \"manifest\": {\"endpoint\": E, \"bucket\": B, \"key\": K},\n"
    "                \"credentials\": {\"id\": ID, \"secret_file\": F},\n"
    "                \"publisher_key\": MINISIGN_SECRET_KEY_FILE}\n"
    "  paths in it are relative to FILE; credentials is the store's write key, which must\n"
    "  differ from the read key built into Update.exe (\"read_credentials\" names another\n"
    "  read key; the built-in one is used otherwise)\n"
    "Exit status: 0 done, 1 a step failed (one line on standard error says why), 2 usage.\n";

int usageError(const std::string& why) {
  std::fprintf(stderr, "kelvora-publish: %s (see --help)\n", why.c_str());
  return 2;
}

struct CommandLine {
  std::string config, command;
  std::vector<std::string> operands;
  std::map<std::string, std::string> options;
};

// "--name value" pairs anywhere, the rest in order: the command, then its operands.
bool parseCommandLine(int argc, char** argv, CommandLine* line, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.starts_with("--")) {
      if (arg != "--config" && arg != "--version" && arg != "--rollout" && arg != "--percent") {
        *error = "unknown option " + arg;
        return false;
      }
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      (arg == "--config" ? line->config : line->options[arg]) = argv[++i];
    } else if (line->command.empty()) {
      line->command = arg;
    } else {
      line->operands.push_back(arg);
    }
  }
  return true;
}

std::optional<uint32_t> percentOption(const CommandLine& line, const char* name, bool required,
                                      std::string* error) {
  auto it = line.options.find(name);
  if (it == line.options.end()) {
    if (required) *error = std::string(name) + " is required";
    return required ? std::nullopt : std::optional<uint32_t>(0);
  }
  auto value = release_manifest::parsePercent(it->second);
  if (!value)
    *error = std::string(name) + ": not a percentage from 0 to 100 with two decimals at most";
  return value;
}

int run(const CommandLine& line) {
  std::string error;
  const std::vector<std::string> allowed =
      line.command == "release"   ? std::vector<std::string>{"--version", "--rollout"}
      : line.command == "rollout" ? std::vector<std::string>{"--percent"}
                                  : std::vector<std::string>{};
  for (const auto& [name, value] : line.options)
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
      return usageError(name + " does not go with " +
                        (line.command.empty() ? std::string("no command") : line.command));
  const size_t operands = line.command == "release" ? 1 : 0;
  if (line.operands.size() != operands) return usageError("wrong number of arguments");
  if (line.config.empty()) return usageError("--config FILE is required");

  std::optional<protocol::Version> version;
  std::optional<uint32_t> percent;
  if (line.command == "release") {
    auto it = line.options.find("--version");
    if (it == line.options.end()) return usageError("--version A.B.C is required");
    version = protocol::parseCanonicalVersion(it->second);
    if (!version) return usageError("--version: not a canonical A.B.C");
    if (!(percent = percentOption(line, "--rollout", false, &error))) return usageError(error);
  } else if (line.command == "rollout") {
    if (!(percent = percentOption(line, "--percent", true, &error))) return usageError(error);
  } else if (line.command != "revoke" && line.command != "status") {
    return usageError("expected release, rollout, revoke or status");
  }

  auto config = publish::loadPublishConfig(line.config, &error);
  if (!config) {
    std::fprintf(stderr, "kelvora-publish: %s\n", publish::shown(error).c_str());
    return 1;
  }
  if (aos_http_io_initialize() != 0) {
    std::fputs("kelvora-publish: the storage client could not be initialised\n", stderr);
    return 1;
  }
  // Each request's outcome carries the client's reason, which the failing step says in its one
  // line; the client's own log lines would only say it twice.
  aos_log_format = [](int, const char*, int, const char*, const char*, va_list) {};
  int status = 0;
  try {
    if (line.command == "release") {
      publish::release(*config, line.operands[0], *version, *percent);
    } else if (line.command == "rollout") {
      publish::rollout(*config, *percent);
    } else if (line.command == "revoke") {
      publish::revoke(*config);
    } else if (!publish::status(*config)) {
      std::fputs("kelvora-publish: some release objects are missing or do not verify\n", stderr);
      status = 1;
    }
  } catch (const publish::Failure& failure) {
    std::fprintf(stderr, "kelvora-publish: %s\n", failure.cause.c_str());
    status = 1;
  }
  aos_http_io_shutdown();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && !std::strcmp(argv[1], "--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::printf("kelvora-publish %s\n", KELVORA_VERSION_TEXT);
    return 0;
  }
  try {
    CommandLine line;
    std::string error;
    if (!parseCommandLine(argc, argv, &line, &error)) return usageError(error);
    return run(line);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvora-publish: %s\n", e.what());
  } catch (...) {
    std::fputs("kelvora-publish: unexpected failure\n", stderr);
  }
  return 1;
}
