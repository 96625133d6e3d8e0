#include "updater/package_download.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "platform/write_all.h"
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
using package_resume::ResumeAnswer;

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
// as K, passes every check that needs no package bytes before the package is asked for; the
// hash of the streamed package is checked against it before the swap.
struct SignatureGate {
  std::string key;
  release_signature::CheckedSignature checked;
  std::vector<uint8_t> file;  // as fetched: kept beside the program once it is installed

  bool check(const std::optional<release_signature::Hash>& packageHash) const {
    if (!packageHash) {
      reportRefused(key, "the package hash could not be computed");
      return false;
    }
    auto result = release_signature::checkPackageHash(checked, *packageHash);
    if (!result.ok) reportRefused(key, result.reason);
    return result.ok;
  }
};

// Nothing when no keys are given; a gate, or false when the signature object cannot be had or
// fails its checks (reported).
bool fetchSignature(const ObjectFetcher& fetch, const FetchRequest& package,
                    const protocol::Version& announced,
                    std::span<const release_signature::PublicKey> keys,
                    std::unique_ptr<SignatureGate>* gate) {
  if (keys.empty()) return true;
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
  std::string reason;
  auto checked = release_signature::checkSignatureFile(body.bytes(), announced, keys, &reason);
  if (!checked) {
    reportRefused(package.key, reason);
    return false;
  }
  *gate = std::make_unique<SignatureGate>(
      SignatureGate{package.key, std::move(*checked), std::move(body.bytes())});
  return true;
}

// How far one download may go. The signed comment's sizes are exact; without them (a signature
// made by plain minisign, or no keys) each is capped, and only a body whose length the response
// declares can be whole.
struct Bounds {
  uint64_t package = UNSIGNED_SIZE_LIMIT;
  uint64_t program = UNSIGNED_SIZE_LIMIT;
  bool packageSigned = false;
  bool programSigned = false;

  static Bounds of(const SignatureGate* gate) {
    Bounds bounds;
    if (gate == nullptr) return bounds;
    const release_signature::ReleaseComment& comment = gate->checked.comment;
    if (comment.packageSize) bounds.package = *comment.packageSize;
    if (comment.programSize) bounds.program = *comment.programSize;
    bounds.packageSigned = comment.packageSize.has_value();
    bounds.programSigned = comment.programSize.has_value();
    return bounds;
  }
  static std::string text(const char* token, bool isSigned, uint64_t size) {
    return isSigned ? std::string(token) + ":" + std::to_string(size) + " of the signature"
                    : "the limit of " + std::to_string(size) + " bytes";
  }
  std::string packageText() const { return text("package-size", packageSigned, package); }
  std::string programText() const { return text("program-size", programSigned, program); }
};

// The kept part is read back in pieces of this size, so its size never shows in memory.
constexpr size_t kReplayPiece = 256 * 1024;
// The temporary program is sent towards the disk every this many bytes, so that the flush
// before the swap finds little left to write.
constexpr uint64_t kWritebackStep = 8u << 20;

// One pass over one response: the package file, the decoder and the temporary program.
class StreamedPackage final : public BodySink {
 public:
  enum class Fault {
    kNone,
    kWrite,      // a file could not be written: nothing of this download is kept
    kPackage,    // the package or the response is refused: nothing of it is kept
    kStartOver,  // a 206 that does not continue the kept part: the whole object is asked for
  };

  StreamedPackage(app_state::AppState& state, std::string packageFile, std::optional<KeptPart> kept,
                  const SignatureGate* gate)
      : state_(state),
        file_(std::move(packageFile)),
        kept_(std::move(kept)),
        gate_(gate),
        bounds_(Bounds::of(gate)),
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
    begun_ = true;
    if (head.status == 206) {
      // Only the rest of the very object whose first part is kept may follow it.
      if (!kept_ || judge(head) != ResumeAnswer::kContinues) {
        fault_ = Fault::kStartOver;
        return false;
      }
      return declaredLengthFits() && replayKeptPart();
    }
    if (!declaredLengthFits()) return false;
    // A whole body: the kept part, if any, is of no use now. Its ETag goes first, and the
    // emptied file is flushed before the new ETag vouches for what follows.
    app_directory::remove(package_resume::etagFileFor(file_).c_str());
    if (::ftruncate(packageFd_, 0) != 0 || ::fsync(packageFd_) != 0 ||
        (package_resume::isStrongEtag(head.etag) &&
         !package_resume::rememberEtag(file_, head.etag))) {
      fault_ = Fault::kWrite;
      return false;
    }
    return true;
  }

  bool write(std::span<const uint8_t> bytes) override {
    if (bytes.size() > bounds_.package - received_)
      return refuse("the body runs past " + bounds_.packageText());
    if (!platform::writeAll(packageFd_, bytes, int64_t(received_))) {
      fault_ = Fault::kWrite;
      return false;
    }
    received_ += bytes.size();
    state_.downloadedByteCount = static_cast<float>(received_);
    return consume(bytes);
  }

  // A 416 that says the kept part is the whole object: it goes through the checks as it is.
  bool acceptKeptAsWhole(const ResponseHead& head) {
    if (!kept_ || begun_ || fault_ != Fault::kNone || judge(head) != ResumeAnswer::kKeptIsWhole)
      return false;
    head_ = head;
    keptWhole_ = declaredLengthFits() && replayKeptPart();
    return keptWhole_;
  }

  // Whether the answer to the range asked for calls for the whole object instead.
  bool startOver(const FetchOutcome& outcome) const {
    return fault_ == Fault::kStartOver || (kept_ && fault_ == Fault::kNone && !keptWhole_ &&
                                           judge(outcome.head) == ResumeAnswer::kStartOver);
  }

  Fault fault() const { return fault_; }
  const std::string& refusal() const { return refusal_; }
  uint64_t received() const { return received_; }
  // The body followed the kept part (a 206 of its object from its end).
  bool continuesKept() const { return kept_ && head_.status == 206 && fault_ == Fault::kNone; }
  // A 206 answered the range asked for (whether or not its body came) but brought nothing new.
  bool idle(const FetchOutcome& outcome) const {
    return kept_ && fault_ == Fault::kNone && received_ <= kept_->size &&
           (head_.status == 206 || outcome.head.rangeFirst >= 0);
  }

  // After the transfer: whether all of the object is in the package file. Its length is the one
  // the response declared or, failing that, the signed package-size; with neither it is unknown
  // and the body is never taken as whole.
  bool whole(const FetchOutcome& outcome) const {
    if (fault_ != Fault::kNone) return false;
    if (keptWhole_) return true;
    if (!outcome.complete || !isFetchSuccess(head_.status)) return false;
    const int64_t length = head_.objectSize >= 0   ? head_.objectSize
                           : bounds_.packageSigned ? int64_t(bounds_.package)
                                                   : -1;
    return length >= 0 && received_ == uint64_t(length);
  }

  // The kept bytes reach the disk before an ETag file vouches for them again.
  bool flushPackage() { return ::fdatasync(packageFd_) == 0; }

  // The last checks before the swap: the package decodes to a non-empty program and carries a
  // valid signature (with keys built in); the program is then given its mode and flushed.
  bool finishProgram() {
    if (!decoder_.finish().ok) {
      decodeFailed();
      return false;
    }
    if (decoder_.programBytes() == 0) return refuse("the package holds no program");
    if (gate_ != nullptr && !gate_->check(hash_->finish())) {
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
  ResumeAnswer judge(const ResponseHead& head) const {
    return package_resume::judgeResumeAnswer(*kept_, head.status, head.etag, head.rangeFirst,
                                             head.objectSize);
  }

  bool refuse(std::string reason) {
    fault_ = Fault::kPackage;
    if (refusal_.empty()) refusal_ = std::move(reason);
    return false;
  }

  // Before the body: the length the response declares for the whole object must be the signed
  // one, or within the limit; without signed sizes it must be declared at all.
  bool declaredLengthFits() {
    const int64_t length = head_.objectSize;
    if (length < 0)
      return bounds_.packageSigned ||
             refuse(
                 "the response does not declare its length (no Content-Length, no "
                 "Content-Range total)");
    if (bounds_.packageSigned ? uint64_t(length) != bounds_.package
                              : uint64_t(length) > bounds_.package)
      return refuse("the response declares " + std::to_string(length) + " bytes, against " +
                    bounds_.packageText());
    return true;
  }

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
    if (fault_ == Fault::kNone && !programWriteFailed_) {
      const package_unpack::UnpackResult& r = decoder_.result();
      refuse("the package does not decode: block " + std::to_string(r.block) + ": " + r.reason);
    }
    if (fault_ == Fault::kNone) fault_ = Fault::kWrite;
    if (decoder_.result().decompressError) {
      std::puts("Decompress error");
      std::fflush(stdout);
    }
  }

  bool writeProgram(std::span<const uint8_t> block) {
    if (block.size() > bounds_.program - programWritten_)
      return refuse("the program runs past " + bounds_.programText());
    if (!platform::writeAll(programFd_, block, int64_t(programWritten_))) {
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
    if (kept_->size > bounds_.package)
      return refuse("the kept part runs past " + bounds_.packageText());
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
  const Bounds bounds_;
  std::optional<package_install::OverlappedHash> hash_;  // with keys built in only
  package_unpack::PackageStreamDecoder decoder_;
  int packageFd_ = -1;
  int programFd_ = -1;
  ResponseHead head_;
  Fault fault_ = Fault::kNone;
  std::string refusal_;  // the reason of a refused response, for standard error
  bool begun_ = false;
  bool keptWhole_ = false;
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
  package.acceptKeptAsWhole(outcome.head);
  bool ready = package.whole(outcome) && package.finishProgram();
  if (ready) {
    state.packageSize = static_cast<uint32_t>(package.received());
    ready = package_install::swapIntoPlace(
        state, package_install::UNPACK_TEMP_FILE,
        gate != nullptr ? std::span<const uint8_t>(gate->file) : std::span<const uint8_t>());
  } else {
    app_directory::remove(package_install::UNPACK_TEMP_FILE);
  }
  if (!package.refusal().empty()) reportRefused(request.key, package.refusal());
  if (package.startOver(outcome)) {
    package_resume::discard(file);
    return Attempt::kStartOver;
  }
  // A package that is whole, refused or could not be written is of no further use. What a
  // cut-off transfer brought stays for the next run, provided its ETag does; a kept part that
  // answers brought nothing to MAX_IDLE_RUNS times in a row goes, and the whole object is asked.
  if (ready || package.fault() != StreamedPackage::Fault::kNone || package.whole(outcome) ||
      !package_resume::keptPart(file) || !package.flushPackage()) {
    package_resume::discard(file);
  } else if (package.idle(outcome) || (kept && kept->idleRuns > 0 && package.continuesKept())) {
    // The count goes up when a 206 brought nothing, and back to 0 when one brought bytes.
    const unsigned idleRuns = package.idle(outcome) ? kept->idleRuns + 1 : 0;
    if (idleRuns >= package_resume::MAX_IDLE_RUNS) {
      package_resume::discard(file);
      return Attempt::kStartOver;
    }
    if (!package_resume::rememberEtag(file, kept->etag, idleRuns)) package_resume::discard(file);
  }
  return ready ? Attempt::kInstalled : Attempt::kFailed;
}

void finishInstalled(app_state::AppState& state, bool chinese) {
  state.updateState = app_state::UPDATE_DONE;
  state.statusLine.set(update_texts::updateCompleted(chinese));
  state.expectedPackageSize = state.downloadedByteCount.load();
}

}  // namespace

bool downloadAndInstall(app_state::AppState& state, const ObjectFetcher& fetch) {
  return downloadAndInstall(state, fetch, release_signature::builtInPublisherKeys());
}

bool downloadAndInstall(app_state::AppState& state, const ObjectFetcher& fetch,
                        std::span<const release_signature::PublicKey> keys) {
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
  if (fetchSignature(fetch, request, announced, keys, &gate)) {
    std::optional<KeptPart> kept = package_resume::keptPart(file);
    if (kept && kept->size == 0) kept.reset();
    attempt = downloadOnce(state, fetch, request, file, kept, gate.get());
    if (attempt == Attempt::kStartOver && kept)
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
