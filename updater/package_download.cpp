#include "updater/package_download.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "updater/app_directory.h"
#include "updater/builtin_config.h"
#include "updater/overlapped_hash.h"
#include "updater/package_install.h"
#include "updater/package_resume.h"
#include "updater/package_stream_decoder.h"
#include "updater/release_signature.h"
#include "updater/settings_block.h"
#include "updater/update_conversation.h"
#include "updater/update_texts.h"

namespace package_download {

StorageTarget storageTargetFor(uint32_t language) {
  const builtin_config::BuiltinConfig& config = builtin_config::builtinConfig();
  if (language == settings_block::LANGUAGE_CHINESE)
    return {config.storageEndpointCn, config.bucketCn};
  return {config.storageEndpointEn, config.bucketEn};
}

bool isFetchSuccess(int32_t status) {
  return status > 0 && status / 100 == 2;
}

namespace {

using package_resume::KeptPart;

// One line on standard error for a refused package; the window shows the usual fault text.
void reportRefused(const std::string& key, const std::string& reason) {
  std::fprintf(stderr, "Update.exe: package %s not installed: %s\n",
               release_signature::printable(key).c_str(), reason.c_str());
}

// Collects a small body, one byte past `limit` at most: enough for the parser to refuse an
// oversized signature file unread.
class SmallBody final : public BodySink {
 public:
  explicit SmallBody(size_t limit) : limit_(limit) {}
  bool begin(const ResponseHead&) override { return true; }
  bool write(std::span<const uint8_t> bytes) override {
    bytes_.insert(bytes_.end(), bytes.begin(),
                  bytes.begin() + long(std::min(limit_ + 1 - bytes_.size(), bytes.size())));
    return bytes_.size() <= limit_;
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  const size_t limit_;
  std::vector<uint8_t> bytes_;
};

// The publisher signature gate, with keys built in: K.minisig, fetched with the same signed GET
// as K before the package, is checked against the hash of the streamed package before the swap.
struct SignatureGate {
  std::string key;
  settings_block::Version announced;
  std::vector<uint8_t> signature;

  bool check(const std::optional<release_signature::Hash>& packageHash) const {
    if (!packageHash) {
      reportRefused(key, "the package hash could not be computed");
      return false;
    }
    auto result = release_signature::checkPackageSignature(signature, *packageHash, announced);
    if (!result.ok) reportRefused(key, result.reason);
    return result.ok;
  }
};

// Nothing when no keys are built in; a gate, or false when the signature object cannot be had
// (reported).
bool fetchSignature(const ObjectFetcher& fetch, const FetchRequest& package,
                    const settings_block::Version& announced,
                    std::unique_ptr<SignatureGate>* gate) {
  if (!release_signature::publisherKeysBuiltIn()) return true;
  FetchRequest request;
  request.target = package.target;
  request.key = package.key + release_signature::SIGNATURE_SUFFIX;
  SmallBody body(release_signature::MAX_SIGNATURE_FILE);
  const FetchOutcome outcome = fetch(request, body);
  // An oversized file stops its transfer; the check then refuses it by name.
  const bool oversized = body.bytes().size() > release_signature::MAX_SIGNATURE_FILE;
  if (!oversized && (!isFetchSuccess(outcome.head.status) || !outcome.complete)) {
    reportRefused(package.key, "missing signature object " +
                                   release_signature::printable(request.key) + " (HTTP " +
                                   std::to_string(outcome.head.status) + ")");
    return false;
  }
  *gate = std::make_unique<SignatureGate>(
      SignatureGate{package.key, announced, std::move(body.bytes())});
  return true;
}

// The kept part is read back in pieces of this size, so its size never shows in memory.
constexpr size_t kReplayPiece = 256 * 1024;
// The temporary program is sent towards the disk every this many bytes, so that the flush
// before the swap finds little left to write.
constexpr uint64_t kWritebackStep = 8u << 20;

bool writeAllAt(int fd, const uint8_t* data, size_t size, uint64_t offset) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
    offset += uint64_t(n);
  }
  return true;
}

// One pass over one response: the package file, the decoder and the temporary program.
class StreamedPackage final : public BodySink {
 public:
  enum class Fault {
    kNone,
    kWrite,     // a file could not be written: nothing of this download is kept
    kPackage,   // the package does not decode, or its signature fails: nothing of it is kept
    kMismatch,  // a 206 that does not continue the kept part: it is not kept either
  };

  StreamedPackage(app_state::AppState& state, std::string packageFile, std::optional<KeptPart> kept,
                  const SignatureGate* gate)
      : state_(state),
        file_(std::move(packageFile)),
        kept_(std::move(kept)),
        gate_(gate),
        decoder_([this](std::span<const uint8_t> block) { return writeProgram(block); }) {
    if (gate_ != nullptr) hash_.emplace();
  }

  ~StreamedPackage() override {
    if (packageFd_ >= 0) ::close(packageFd_);
    if (programFd_ >= 0) ::close(programFd_);
  }

  bool open() {
    packageFd_ = app_directory::open(file_.c_str(), app_directory::Open::kUpdate);
    programFd_ =
        app_directory::open(package_install::UNPACK_TEMP_FILE, app_directory::Open::kFresh);
    if (packageFd_ < 0 || programFd_ < 0) fault_ = Fault::kWrite;
    return fault_ == Fault::kNone;
  }

  bool begin(const ResponseHead& head) override {
    head_ = head;
    if (head.status == 206) {
      // Only the rest of the very object whose first part is kept may follow it.
      if (!kept_ || head.rangeFirst != int64_t(kept_->size) || head.etag != kept_->etag) {
        fault_ = Fault::kMismatch;
        return false;
      }
      return replayKeptPart();
    }
    // A whole body: the kept part, if any, is of no use now. Its ETag goes first, so that the
    // file never pairs new bytes with the old ETag.
    app_directory::remove(package_resume::etagFileFor(file_).c_str());
    if (::ftruncate(packageFd_, 0) != 0 || (package_resume::isStrongEtag(head.etag) &&
                                            !package_resume::rememberEtag(file_, head.etag))) {
      fault_ = Fault::kWrite;
      return false;
    }
    return true;
  }

  bool write(std::span<const uint8_t> bytes) override {
    if (!writeAllAt(packageFd_, bytes.data(), bytes.size(), received_)) {
      fault_ = Fault::kWrite;
      return false;
    }
    received_ += bytes.size();
    state_.downloadedByteCount = static_cast<float>(received_);
    return consume(bytes);
  }

  Fault fault() const { return fault_; }
  uint64_t received() const { return received_; }

  // After the transfer: whether all of the object is in the package file.
  bool whole(const FetchOutcome& outcome) const {
    return fault_ == Fault::kNone && outcome.complete && isFetchSuccess(head_.status) &&
           (head_.objectSize < 0 || received_ == uint64_t(head_.objectSize));
  }

  // The last checks before the swap: the package decodes to a non-empty program and carries a
  // valid signature (with keys built in); the program is then given its mode and flushed.
  bool finishProgram() {
    if (!decoder_.finish().ok) {
      decodeFailed();
      return false;
    }
    if (decoder_.programBytes() == 0 || (gate_ != nullptr && !gate_->check(hash_->finish()))) {
      fault_ = Fault::kPackage;
      return false;
    }
    bool ok = package_install::settleProgram(programFd_);
    ok = ::close(programFd_) == 0 && ok;
    programFd_ = -1;
    if (!ok) fault_ = Fault::kWrite;
    return ok;
  }

 private:
  // Every package byte, kept or new, passes here once, in order. The hash, on a thread of its
  // own, overlaps the decoding and the writes that follow.
  bool consume(std::span<const uint8_t> bytes) {
    if (hash_) hash_->feed(bytes);
    if (decoder_.feed(bytes)) return true;
    decodeFailed();
    return false;
  }

  // A codec refusal prints the line the file unpacker prints, besides the usual fault text.
  void decodeFailed() {
    fault_ = programWriteFailed_ ? Fault::kWrite : Fault::kPackage;
    if (decoder_.result().decompressError) {
      std::puts("Decompress error");
      std::fflush(stdout);
    }
  }

  bool writeProgram(std::span<const uint8_t> block) {
    if (!writeAllAt(programFd_, block.data(), block.size(), programWritten_)) {
      programWriteFailed_ = true;
      return false;
    }
    programWritten_ += block.size();
    if (programWritten_ - writebackFrom_ >= kWritebackStep) {
      ::sync_file_range(programFd_, off_t(writebackFrom_), off_t(programWritten_ - writebackFrom_),
                        SYNC_FILE_RANGE_WRITE);
      writebackFrom_ = programWritten_;
    }
    return true;
  }

  // The decoder starts from the package's first byte: the kept part goes through it first.
  bool replayKeptPart() {
    std::vector<uint8_t> piece(kReplayPiece);
    while (received_ < kept_->size) {
      const size_t want = size_t(std::min<uint64_t>(piece.size(), kept_->size - received_));
      const ssize_t n = ::pread(packageFd_, piece.data(), want, off_t(received_));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fault_ = Fault::kWrite;
        return false;
      }
      received_ += uint64_t(n);
      state_.downloadedByteCount = static_cast<float>(received_);
      if (!consume(std::span<const uint8_t>(piece.data(), size_t(n)))) return false;
    }
    return true;
  }

  app_state::AppState& state_;
  const std::string file_;
  const std::optional<KeptPart> kept_;
  const SignatureGate* const gate_;
  std::optional<package_install::OverlappedHash> hash_;  // with keys built in only
  package_unpack::PackageStreamDecoder decoder_;
  int packageFd_ = -1;
  int programFd_ = -1;
  ResponseHead head_;
  Fault fault_ = Fault::kNone;
  bool programWriteFailed_ = false;
  uint64_t received_ = 0;  // package bytes in the file and through the decoder
  uint64_t programWritten_ = 0;
  uint64_t writebackFrom_ = 0;
};

enum class Attempt { kInstalled, kFailed, kStartOver };

Attempt downloadOnce(app_state::AppState& state, const ObjectFetcher& fetch, FetchRequest request,
                     const std::string& file, const std::optional<KeptPart>& kept,
                     const SignatureGate* gate) {
  if (kept) {
    request.rangeStart = int64_t(kept->size);
    request.ifRange = kept->etag;
  }
  StreamedPackage package(state, file, kept, gate);
  FetchOutcome outcome;
  if (package.open()) outcome = fetch(request, package);
  bool ready = package.whole(outcome) && package.finishProgram();
  if (ready) {
    state.packageSize = static_cast<uint32_t>(package.received());
    ready = package_install::swapIntoPlace(
        state, package_install::UNPACK_TEMP_FILE,
        gate != nullptr ? std::span<const uint8_t>(gate->signature) : std::span<const uint8_t>());
  } else {
    app_directory::remove(package_install::UNPACK_TEMP_FILE);
  }
  // A package that is whole, refused or could not be written is of no further use. What a
  // cut-off transfer brought stays for the next run, provided its ETag does.
  if (ready || package.fault() != StreamedPackage::Fault::kNone || package.whole(outcome) ||
      !package_resume::keptPart(file)) {
    package_resume::discard(file);
  }
  if (ready) return Attempt::kInstalled;
  // Range not satisfiable: the kept part reaches the object's end or beyond, so it is no
  // prefix of it; the whole object is asked for instead.
  if (kept && outcome.head.status == 416) {
    package_resume::discard(file);
    return Attempt::kStartOver;
  }
  return Attempt::kFailed;
}

void finishInstalled(app_state::AppState& state, bool chinese) {
  state.updateState = app_state::UPDATE_DONE;
  state.statusLine.set(update_texts::updateCompleted(chinese));
  state.expectedPackageSize = state.downloadedByteCount.load();
}

}  // namespace

bool downloadAndInstall(app_state::AppState& state, const ObjectFetcher& fetch) {
  const bool chinese = settings_block::isChinese(state.settingsBlock);
  const std::string key = state.packageKey.get();
  if (key.empty()) {
    finishInstalled(state, chinese);
    return true;
  }
  const settings_block::Version announced = settings_block::version(state.settingsBlock);
  const std::string file = update_conversation::packageFileNameFor(announced);
  package_resume::discardAllBut(file);
  FetchRequest request;
  request.target = storageTargetFor(settings_block::language(state.settingsBlock));
  request.key = key;
  std::unique_ptr<SignatureGate> gate;
  Attempt attempt = Attempt::kFailed;
  if (fetchSignature(fetch, request, announced, &gate)) {
    std::optional<KeptPart> kept = package_resume::keptPart(file);
    if (kept && kept->size == 0) kept.reset();
    attempt = downloadOnce(state, fetch, request, file, kept, gate.get());
    if (attempt == Attempt::kStartOver)
      attempt = downloadOnce(state, fetch, request, file, {}, gate.get());
  }
  if (attempt != Attempt::kInstalled) {
    state.statusLine.set(update_texts::fileFault(chinese));
    return false;
  }
  finishInstalled(state, chinese);
  return true;
}

}  // namespace package_download
