// kelvora-pack: builds, unpacks and describes update packages, and signs them for the publisher
// check of Update.exe.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "tools/kelvora-pack/pack_signing.h"
#include "updater/lz77.h"
#include "updater/package_unpack.h"

namespace {

const char kUsage[] =
    "usage: kelvora-pack build INPUT PACKAGE    pack a program into 64 KiB blocks\n"
    "       kelvora-pack unpack PACKAGE OUTPUT  unpack a package (OUTPUT removed on failure)\n"
    "       kelvora-pack info PACKAGE           list the blocks: index, plain and stored length\n"
    "       kelvora-pack keygen PUBLIC SECRET   make a publisher key pair (minisign files; the\n"
    "                                           secret key is not encrypted: keep it offline)\n"
    "       kelvora-pack sign --secret-key FILE --version A.B.C PACKAGE\n"
    "                                           write PACKAGE.minisig for that version\n"
    "       kelvora-pack verify --public-key KEY --version A.B.C PACKAGE [--signature FILE]\n"
    "                                           the checks of Update.exe; exit 0 only if all hold\n"
    "                                           (KEY: a public key line or a minisign .pub file)\n"
    "       kelvora-pack --help | --version\n"
    "Inputs over 64 MiB show their progress on standard error when it is a terminal.\n";

constexpr long kProgressThreshold = 64L << 20;

// One line on standard error, rewritten in place, for long runs on a terminal.
class Progress {
 public:
  Progress(const char* verb, long total)
      : verb_(verb), total_(total), shown_(total > kProgressThreshold && isatty(2)) {}
  ~Progress() {
    if (shown_ && percent_ >= 0) std::fputc('\n', stderr);
  }
  void update(long done) {
    if (!shown_) return;
    const int percent = int(done * 100 / total_);
    if (percent == percent_) return;
    percent_ = percent;
    std::fprintf(stderr, "\r%s %3d%% (%.1f of %.1f MiB)", verb_, percent, double(done) / 1048576,
                 double(total_) / 1048576);
    std::fflush(stderr);
  }

 private:
  const char* verb_;
  long total_;
  bool shown_;
  int percent_ = -1;
};

int build(const char* input, const char* package) {
  std::FILE* in = std::fopen(input, "rb");
  if (!in) {
    std::fprintf(stderr, "kelvora-pack: cannot read %s\n", input);
    return 1;
  }
  std::FILE* out = std::fopen(package, "wb");
  if (!out) {
    std::fclose(in);
    std::fprintf(stderr, "kelvora-pack: cannot write %s\n", package);
    return 1;
  }
  auto codec = std::make_unique<kelvora::CCompressLZ77>();
  std::vector<uint8_t> block(kelvora::CCompressLZ77::kMaxBlock), scratch(block.size()), encoded;
  Progress progress("build", kelvora::packageLength(in));
  long done = 0;
  bool ok = true;
  size_t n;
  while (ok && (n = std::fread(block.data(), 1, block.size(), in)) > 0) {
    encoded.clear();
    kelvora::appendBlock(encoded, block.data(), int(n), *codec, scratch.data());
    ok = std::fwrite(encoded.data(), 1, encoded.size(), out) == encoded.size();
    done += long(n);
    progress.update(done);
  }
  ok = ok && !std::ferror(in);
  std::fclose(in);
  ok = std::fclose(out) == 0 && ok;
  if (!ok) {
    std::remove(package);
    std::fprintf(stderr, "kelvora-pack: cannot build %s from %s\n", package, input);
    return 1;
  }
  return 0;
}

int unpack(const char* package, const char* output) {
  std::FILE* f = std::fopen(package, "rb");
  if (!f) {
    std::fprintf(stderr, "kelvora-pack: cannot open %s\n", package);
    return 1;
  }
  Progress progress("unpack", kelvora::packageLength(f));
  auto r =
      kelvora::unpackPackageDetailed(f, output, [&](long done, long) { progress.update(done); });
  if (r.ok) return 0;
  std::error_code ec;
  std::filesystem::remove(output, ec);
  if (r.block < 0) {
    std::fprintf(stderr, "kelvora-pack: %s: %s\n", output, r.reason.c_str());
  } else if (r.streamOffset >= 0) {
    std::fprintf(stderr, "kelvora-pack: %s: block %ld (header at byte %ld): %s at byte %ld\n",
                 package, r.block, r.offset, r.reason.c_str(), r.streamOffset);
  } else {
    std::fprintf(stderr, "kelvora-pack: %s: block %ld (header at byte %ld): %s\n", package, r.block,
                 r.offset, r.reason.c_str());
  }
  return 1;
}

int info(const char* package) {
  std::FILE* f = std::fopen(package, "rb");
  if (!f) {
    std::fprintf(stderr, "kelvora-pack: cannot open %s\n", package);
    return 1;
  }
  const long size = kelvora::packageLength(f);
  long offset = 0, block = 0, plainTotal = 0;
  uint8_t raw[kelvora::kBlockHeaderSize];
  size_t got;
  while ((got = std::fread(raw, 1, sizeof raw, f)) == sizeof raw) {
    const kelvora::BlockHeader h = kelvora::readBlockHeader(raw);
    std::printf("%ld\t%ld\t%ld\t%s\n", block, h.plainLength, h.dataLength,
                h.stored ? "stored" : "compressed");
    if (std::fseek(f, h.dataLength, SEEK_CUR) != 0) break;
    offset += kelvora::kBlockHeaderSize + h.dataLength;
    plainTotal += h.plainLength;
    ++block;
  }
  std::fclose(f);
  if (got != 0 || offset != size) {
    std::fprintf(stderr, "kelvora-pack: %s: block %ld at offset %ld: truncated\n", package, block,
                 offset);
    return 1;
  }
  std::printf("total\t%ld\t%ld\t%ld blocks\n", plainTotal, size, block);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && !std::strcmp(argv[1], "--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::puts("kelvora-pack " KELVORA_VERSION_TEXT);
    return 0;
  }
  if (argc == 4 && !std::strcmp(argv[1], "build")) return build(argv[2], argv[3]);
  if (argc == 4 && !std::strcmp(argv[1], "unpack")) return unpack(argv[2], argv[3]);
  if (argc == 3 && !std::strcmp(argv[1], "info")) return info(argv[2]);
  if (argc == 4 && !std::strcmp(argv[1], "keygen")) return pack_signing::keygen(argv[2], argv[3]);
  if (argc >= 2 && !std::strcmp(argv[1], "sign")) return pack_signing::sign(argc - 2, argv + 2);
  if (argc >= 2 && !std::strcmp(argv[1], "verify")) return pack_signing::verify(argc - 2, argv + 2);
  std::fputs(kUsage, stderr);
  return 2;
}
