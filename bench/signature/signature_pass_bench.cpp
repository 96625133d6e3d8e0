// One streamed download pass of a package, as Update.exe runs it: downloadAndInstall with an
// in-memory fetch that hands the package (and, with publisher keys built in, its .minisig signed
// by the loopback test key) to the sink in 1 MiB pieces, in a fresh temporary application
// directory. Prints the seconds from the first GET to the installed program. Built twice, with
// the loopback publisher key (signature_pass_bench_signed) and with none
// (signature_pass_bench_unsigned); run.sh beside this file alternates them with b2sum.
//
//   signature_pass_bench_signed PACKAGE SECRET_KEY_FILE [DIR=/tmp]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "updater/app_state.h"
#include "updater/package_download.h"
#include "updater/release_signing.h"
#include "updater/settings_block.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr size_t kPiece = 1 << 20;
constexpr char kKey[] = "3/11.0.BIN";

Bytes readWhole(const std::string& path) {
  std::error_code error;
  Bytes bytes(size_t(fs::file_size(path, error)));
  std::ifstream in(path, std::ios::binary);
  if (error || !in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size())))
    return {};
  return bytes;
}

// The object store: the package and its signature, each body in 1 MiB pieces.
package_download::FetchOutcome serve(const Bytes& package, const std::string& signature,
                                     const package_download::FetchRequest& request,
                                     package_download::BodySink& sink) {
  package_download::FetchOutcome outcome;
  const bool isSignature = request.key == std::string(kKey) + ".minisig";
  if (request.key != kKey && !isSignature) {
    outcome.head.status = 404;
    return outcome;
  }
  std::span<const uint8_t> body =
      isSignature ? std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(signature.data()),
                                             signature.size())
                  : std::span<const uint8_t>(package);
  outcome.head.status = 200;
  outcome.head.etag = isSignature ? "\"signature\"" : "\"package\"";
  outcome.head.objectSize = int64_t(body.size());
  if (!sink.begin(outcome.head)) return outcome;
  for (size_t at = 0; at < body.size(); at += kPiece) {
    if (!sink.write(body.subspan(at, std::min(kPiece, body.size() - at)))) return outcome;
  }
  outcome.complete = true;
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::string(argv[1]) == "--help") {
    std::puts("usage: signature_pass_bench_{signed,unsigned} PACKAGE SECRET_KEY_FILE [DIR=/tmp]");
    return argc < 3 ? 2 : 0;
  }
  const Bytes package = readWhole(argv[1]);
  const Bytes keyText = readWhole(argv[2]);
  const std::string base = argc > 3 ? argv[3] : "/tmp";
  if (package.empty()) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  std::string error;
  const auto secret = release_signing::parseSecretKeyFile(
      std::string_view(reinterpret_cast<const char*>(keyText.data()), keyText.size()), &error);
  if (!secret) {
    std::fprintf(stderr, "%s: %s\n", argv[2], error.c_str());
    return 1;
  }
  std::string signature;
  if (release_signature::publisherKeysBuiltIn()) {
    auto signed_ = release_signing::signPackage(*secret, argv[1], {3, 11, 0}, &error);
    if (!signed_) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    signature = *signed_;
  }

  const fs::path app = base + "/signature-pass-bench." + std::to_string(::getpid());
  std::error_code ignored;
  fs::remove_all(app, ignored);
  fs::create_directories(app);
  std::ofstream(app / "Kelvora.exe") << "old program";
  const fs::path before = fs::current_path();
  fs::current_path(app);

  app_state::AppState state;
  settings_block::setVersion(state.settingsBlock, {3, 11, 0});
  settings_block::putU32(state.settingsBlock, settings_block::LANGUAGE, 9);
  state.packageKey.set(kKey);
  state.updateState = app_state::UPDATE_PENDING;
  const auto start = std::chrono::steady_clock::now();
  const bool installed = package_download::downloadAndInstall(
      state, [&](const package_download::FetchRequest& request, package_download::BodySink& sink) {
        return serve(package, signature, request, sink);
      });
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const uintmax_t programBytes = fs::file_size(app / "Kelvora.exe", ignored);

  fs::current_path(before);
  fs::remove_all(app, ignored);
  if (!installed) {
    std::fputs("the package was not installed\n", stderr);
    return 1;
  }
  std::printf("signed=%d package_bytes=%zu program_bytes=%ju pass_s=%.4f\n",
              release_signature::publisherKeysBuiltIn() ? 1 : 0, package.size(), programBytes,
              seconds);
  return 0;
}
