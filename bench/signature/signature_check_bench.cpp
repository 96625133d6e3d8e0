// The cost of the publisher check on the pass that writes a package, measured side by side in
// one run on the same file:
//   write     the package file's write pass (1 MiB pieces) and fsync
//   +check    the same with the BLAKE2b-512 on its own thread and the signature check at the end
//   hash      the BLAKE2b-512 alone, in memory: the floor of any overlap
//   b2sum     the coreutils command over the file just written (the peer)
// Rounds alternate the three; the medians are printed.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVORA_BUILD_BENCH=ON
//   cmake --build build/bench --target signature_check_bench
//   build/bench/bin/signature_check_bench [MiB=100] [rounds=9] [dir=/tmp]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "updater/package_install.h"
#include "updater/release_signing.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

bool fsyncFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--help") {
    std::puts("usage: signature_check_bench [MiB=100] [rounds=9] [dir=/tmp]");
    return 0;
  }
  const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
  const std::string dir = argc > 3 ? argv[3] : "/tmp";
  const std::string path = dir + "/signature_check_bench." + std::to_string(getpid()) + ".BIN";

  std::vector<uint8_t> package(mib << 20);
  std::mt19937_64 random(7);
  for (size_t i = 0; i + 8 <= package.size(); i += 8) {
    const uint64_t v = random();
    std::copy_n(reinterpret_cast<const uint8_t*>(&v), 8, package.begin() + long(i));
  }
  // A real signature of the package by a fresh key, checked as Update.exe checks it.
  const release_signing::KeyFiles keys = release_signing::generateKeyPair();
  std::string error;
  const auto secret = release_signing::parseSecretKeyFile(keys.secretKeyFile, &error);
  const auto publicKey = release_signature::parsePublicKey(
      keys.publicKeyFile.substr(keys.publicKeyFile.find('\n') + 1, 56));
  release_signature::PackageHash whole;
  whole.update(package);
  const std::string signature =
      release_signing::signatureFile(*secret, whole.finish(), "version:3.11.0");
  const std::span<const uint8_t> signatureBytes(reinterpret_cast<const uint8_t*>(signature.data()),
                                                signature.size());

  std::vector<double> plain, checked, hashOnly, b2sum;
  for (int round = 0; round < rounds; ++round) {
    auto start = Clock::now();
    if (!package_install::writePackageFile(package, path, nullptr) || !fsyncFile(path)) return 1;
    plain.push_back(seconds(start));

    start = Clock::now();
    bool ok;
    {
      package_install::OverlappedHash hash;
      ok = package_install::writePackageFile(package, path, &hash) && fsyncFile(path);
      ok = ok && release_signature::checkPackageSignature(signatureBytes, hash.finish(), {3, 11, 0},
                                                          std::span(&*publicKey, 1))
                     .ok;
    }
    checked.push_back(seconds(start));
    if (!ok) {
      std::fputs("the signature check failed\n", stderr);
      return 1;
    }

    start = Clock::now();
    release_signature::PackageHash alone;
    alone.update(package);
    volatile uint8_t first = alone.finish()[0];
    (void)first;
    hashOnly.push_back(seconds(start));

    start = Clock::now();
    if (std::system(("b2sum '" + path + "' >/dev/null").c_str()) != 0) return 1;
    b2sum.push_back(seconds(start));
  }
  ::unlink(path.c_str());
  const double w = median(plain), c = median(checked), h = median(hashOnly), b = median(b2sum);
  std::printf("%zu MiB, %d rounds, medians:\n", mib, rounds);
  std::printf("  write+fsync            %.3f s\n", w);
  std::printf("  write+fsync+check      %.3f s  (+%.1f %%)\n", c, (c / w - 1) * 100);
  std::printf("  BLAKE2b-512 alone      %.3f s\n", h);
  std::printf("  b2sum of the same file %.3f s\n", b);
  return 0;
}
