#include "tools/kelvora-publish/release_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "tools/kelvora-publish/step_output.h"
#include "updater/lz77.h"
#include "updater/package_unpack.h"

namespace publish {

namespace {

// Closes a descriptor on every way out.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

bool writeAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

ssize_t readSome(int fd, uint8_t* data, size_t size) {
  ssize_t n;
  do n = ::read(fd, data, size);
  while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

PrivateFolder::PrivateFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kelvora-publish.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    fail("cannot make a temporary folder: " + std::string(std::strerror(errno)));
  path_ = pattern;  // mkdtemp makes it with mode 0700
}

PrivateFolder::~PrivateFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

PackedProgram packProgram(const std::string& programPath, const std::string& packagePath) {
  Descriptor in{::open(programPath.c_str(), O_RDONLY | O_CLOEXEC)};
  if (in.fd < 0) fail("cannot read " + shown(programPath) + ": " + std::strerror(errno));
  Descriptor out{::open(packagePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
  if (out.fd < 0) fail("cannot write " + packagePath + ": " + std::strerror(errno));
  PackedProgram packed;
  packed.packagePath = packagePath;
  auto codec = std::make_unique<lz77::CCompressLZ77>();
  std::vector<uint8_t> block(lz77::CCompressLZ77::kMaxBlock), scratch(block.size()), encoded;
  release_signature::PackageHash hash;
  for (;;) {
    // A block is cut at every 65536 bytes of the program, however the reads fall.
    size_t have = 0;
    ssize_t n = 1;
    while (have < block.size() &&
           (n = readSome(in.fd, block.data() + have, block.size() - have)) > 0)
      have += size_t(n);
    if (n < 0) fail("cannot read " + shown(programPath) + ": " + std::strerror(errno));
    if (have == 0) break;
    encoded.clear();
    package_unpack::appendBlock(encoded, block.data(), int(have), *codec, scratch.data());
    if (!writeAll(out.fd, encoded.data(), encoded.size()))
      fail("cannot write " + packagePath + ": " + std::strerror(errno));
    hash.update(encoded);
    packed.programBytes += have;
    packed.packageBytes += encoded.size();
    if (n == 0) break;
  }
  if (packed.programBytes == 0)
    fail(shown(programPath) + " is empty: Update.exe installs no empty program");
  if (::fsync(out.fd) != 0) fail("cannot write " + packagePath + ": " + std::strerror(errno));
  packed.packageHash = hash.finish();
  return packed;
}

release_signing::SecretKey loadSecretKey(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text(4096, '\0');
  in.read(text.data(), std::streamsize(text.size()));
  if (in.bad() || in.gcount() == 0) fail("publisher_key: cannot read " + shown(path));
  text.resize(size_t(in.gcount()));
  std::string error;
  auto key = release_signing::parseSecretKeyFile(text, &error);
  if (!key) fail("publisher_key: " + shown(path) + ": " + error);
  return *key;
}

release_signature::PublicKey publicHalf(const release_signing::SecretKey& key) {
  release_signature::PublicKey half;
  half.keyId = key.keyId;
  std::memcpy(half.key.data(), key.key.data() + 32, half.key.size());
  return half;
}

std::string signPacked(const release_signing::SecretKey& key, const PackedProgram& packed,
                       const protocol::Version& version) {
  return release_signing::signatureFile(
      key, packed.packageHash,
      release_signing::releaseComment(version, packed.packageBytes, packed.programBytes));
}

void writeSmallFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) fail("cannot write " + path);
}

}  // namespace publish
