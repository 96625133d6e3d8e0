#include "tools/kelvora-publish/read_back.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "tools/kelvora-publish/step_output.h"
#include "updater/package_stream_decoder.h"
#include "updater/update_conversation.h"

namespace publish {

namespace {

// Compares decoded blocks with the program file, read at the same offsets.
class ProgramComparer {
 public:
  explicit ProgramComparer(const std::string& path)
      : fd_(path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC)), buffer_(65536) {
    if (!path.empty() && fd_ < 0) fail("cannot read " + shown(path) + ": " + std::strerror(errno));
  }
  ~ProgramComparer() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool active() const { return fd_ >= 0; }

  bool compare(std::span<const uint8_t> block) {
    if (fd_ < 0) return true;
    size_t done = 0;
    while (done < block.size()) {
      const size_t want = std::min(buffer_.size(), block.size() - done);
      const ssize_t n = ::pread(fd_, buffer_.data(), want, off_t(offset_));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || std::memcmp(buffer_.data(), block.data() + done, size_t(n)) != 0) {
        differsAt_ = offset_;
        return false;
      }
      done += size_t(n);
      offset_ += uint64_t(n);
    }
    return true;
  }
  // After the package: the program must not go on past what it decoded to.
  bool atEnd() {
    uint8_t byte;
    ssize_t n;
    do n = ::pread(fd_, &byte, 1, off_t(offset_));
    while (n < 0 && errno == EINTR);
    if (n != 0) differsAt_ = offset_;
    return n == 0;
  }
  uint64_t differsAt() const { return differsAt_; }

 private:
  int fd_;
  std::vector<uint8_t> buffer_;
  uint64_t offset_ = 0;
  uint64_t differsAt_ = 0;
};

}  // namespace

ReleaseObjects releaseObjects(const StoreBucket& store, const protocol::Version& version) {
  const std::string key = update_conversation::packageKeyFor(version);
  return {{store, key}, {store, key + release_signature::SIGNATURE_SUFFIX}};
}

release_signature::SignatureCheck checkSignature(const std::string& signatureFile,
                                                 const release_signature::Hash& packageHash,
                                                 const protocol::Version& version,
                                                 const release_signature::PublicKey& key) {
  return release_signature::checkPackageSignature(
      std::span(reinterpret_cast<const uint8_t*>(signatureFile.data()), signatureFile.size()),
      packageHash, version, std::span(&key, 1));
}

ReadBack readBackRelease(const ReleaseObjects& objects, const KeyPair& readKey,
                         const protocol::Version& version,
                         const release_signature::PublicKey& publisherKey,
                         const std::string& programPath) {
  std::string signature;
  // One byte past the limit lets the check refuse an oversized file by name, as Update.exe does.
  const GetAnswer sigAnswer = getSmallObject(objects.signature, readKey,
                                             release_signature::MAX_SIGNATURE_FILE + 1, &signature);
  if (!sigAnswer.complete)
    fail("read back " + placeText(objects.signature) + ": " + sigAnswer.problem);

  ProgramComparer program(programPath);
  bool mismatch = false;
  package_unpack::PackageStreamDecoder decoder([&](std::span<const uint8_t> block) {
    mismatch = !program.compare(block);
    return !mismatch;
  });
  release_signature::PackageHash hash;
  ReadBack result;
  const GetAnswer answer = getObject(objects.package, readKey, [&](std::span<const uint8_t> piece) {
    hash.update(piece);
    result.packageBytes += piece.size();
    return decoder.feed(piece);
  });
  const std::string where = "read back " + placeText(objects.package) + ": ";
  if (mismatch)
    fail(where + "decodes to other bytes than " + shown(programPath) + " at byte " +
         std::to_string(program.differsAt()));
  if (!decoder.result().ok) fail(where + "does not decode: " + decoder.result().reason);
  if (!answer.complete)
    fail(where + (answer.problem.empty() ? "transfer cut short" : answer.problem));
  if (!decoder.finish().ok) fail(where + "does not decode: " + decoder.result().reason);
  result.programBytes = decoder.programBytes();
  if (result.programBytes == 0) fail(where + "decodes to an empty program");
  if (program.active() && !program.atEnd())
    fail(where + "decodes to a shorter program than " + shown(programPath));
  const auto check = checkSignature(signature, hash.finish(), version, publisherKey);
  if (!check.ok) fail(where + check.reason);
  return result;
}

}  // namespace publish
