#include "tools/kelvora-publish/read_back.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "protocol/package_names.h"
#include "tools/kelvora-publish/step_output.h"
#include "updater/package_stream_decoder.h"

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

// The checks that need no package bytes, as Update.exe makes them before it asks for the package;
// a signature of this tool always carries both sizes.
std::optional<release_signature::CheckedSignature> checkSignatureFile(
    const std::string& signatureFile, const protocol::Version& version,
    const release_signature::PublicKey& key, std::string* reason) {
  auto checked = release_signature::checkSignatureFile(
      std::span(reinterpret_cast<const uint8_t*>(signatureFile.data()), signatureFile.size()),
      version, std::span(&key, 1), reason);
  if (checked && (!checked->comment.packageSize || !checked->comment.programSize)) {
    *reason = "the signature names no package-size and program-size";
    return std::nullopt;
  }
  return checked;
}

}  // namespace

ReleaseObjects releaseObjects(const StoreBucket& store, const protocol::Version& version) {
  const std::string key = protocol::packageObjectKey(version);
  return {{store, key}, {store, key + release_signature::SIGNATURE_SUFFIX}};
}

release_signature::SignatureCheck checkSignature(const std::string& signatureFile,
                                                 const release_signature::Hash& packageHash,
                                                 uint64_t packageBytes, uint64_t programBytes,
                                                 const protocol::Version& version,
                                                 const release_signature::PublicKey& key) {
  std::string reason;
  auto checked = checkSignatureFile(signatureFile, version, key, &reason);
  if (!checked) return {false, reason};
  if (*checked->comment.packageSize != packageBytes ||
      *checked->comment.programSize != programBytes)
    return {false, "the signature's sizes are another package's"};
  return release_signature::checkPackageHash(*checked, packageHash);
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

  std::string reason;
  const auto checked = checkSignatureFile(signature, version, publisherKey, &reason);
  if (!checked) fail("read back " + placeText(objects.signature) + ": " + reason);
  const uint64_t packageSize = *checked->comment.packageSize;
  const uint64_t programSize = *checked->comment.programSize;

  ProgramComparer program(programPath);
  ReadBack result;
  std::string fault;
  package_unpack::PackageStreamDecoder decoder([&](std::span<const uint8_t> block) {
    if (block.size() > programSize - result.programBytes) {
      fault = "decodes past the signed program-size:" + std::to_string(programSize);
    } else if (!program.compare(block)) {
      fault = "decodes to other bytes than " + shown(programPath) + " at byte " +
              std::to_string(program.differsAt());
    }
    result.programBytes += block.size();
    return fault.empty();
  });
  release_signature::PackageHash hash;
  const GetAnswer answer = getObject(objects.package, readKey, [&](std::span<const uint8_t> piece) {
    // Update.exe stops at the first byte past the signed size; so does the read-back.
    if (piece.size() > packageSize - result.packageBytes) {
      fault = "runs past the signed package-size:" + std::to_string(packageSize);
      return false;
    }
    hash.update(piece);
    result.packageBytes += piece.size();
    return decoder.feed(piece);
  });
  const std::string where = "read back " + placeText(objects.package) + ": ";
  if (!fault.empty()) fail(where + fault);
  if (!decoder.result().ok) fail(where + "does not decode: " + decoder.result().reason);
  if (!answer.complete)
    fail(where + (answer.problem.empty() ? "transfer cut short" : answer.problem));
  if (!decoder.finish().ok) fail(where + "does not decode: " + decoder.result().reason);
  if (result.packageBytes != packageSize || result.programBytes != programSize)
    fail(where + std::to_string(result.packageBytes) + " package bytes decoding to " +
         std::to_string(result.programBytes) + ", the signature says " +
         std::to_string(packageSize) + " and " + std::to_string(programSize));
  if (program.active() && !program.atEnd())
    fail(where + "decodes to a shorter program than " + shown(programPath));
  const auto check = release_signature::checkPackageHash(*checked, hash.finish());
  if (!check.ok) fail(where + check.reason);
  return result;
}

}  // namespace publish
