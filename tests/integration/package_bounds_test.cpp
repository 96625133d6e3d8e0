// The download step in process, in a temporary application directory: hostile package bodies
// from a canned HTTP server on an ephemeral port, through the real storage client, with and
// without publisher keys; and the resume rules against a table of scripted server answers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/canned_http_server.h"
#include "support/update_road.h"
#include "updater/package_download.h"
#include "updater/package_fetch.h"
#include "updater/package_install.h"
#include "updater/package_resume.h"
#include "updater/package_unpack.h"
#include "updater/settings_block.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;
using package_download::BodySink;
using package_download::FetchOutcome;
using package_download::FetchRequest;
using release_signature::PublicKey;

const Bytes kOld = testProgram(1, 5000);

struct App {
  TempDir dir;
  ScopedCurrentDir inside{dir.path()};
  app_state::AppState state;
  App() {
    writeFile(dir / "Kelvora.exe", kOld);
    settings_block::Block block{};
    settings_block::putU32(block, settings_block::LANGUAGE, 9);
    settings_block::setVersion(block, {3, 11, 0});
    state.settingsBlock = block;
    state.packageKey.set("3/11.0.BIN");
  }
  bool installed() const { return readFile(dir / "Kelvora.exe") != kOld; }
  // Runs the download with standard error caught; gives what it printed there.
  std::string run(const package_download::ObjectFetcher& fetch, std::span<const PublicKey> keys,
                  bool* ok) {
    testing::internal::CaptureStderr();
    *ok = package_download::downloadAndInstall(state, fetch, keys);
    return testing::internal::GetCapturedStderr();
  }
};

uintmax_t sizeOf(const char* name) {
  struct stat s {};
  return ::stat(name, &s) == 0 ? uintmax_t(s.st_size) : 0;
}

class PackageBounds : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(package_download::startStorageClient(), 0); }
  static void TearDownTestSuite() { package_download::stopStorageClient(); }
};

// Each body shape against each kind of build (the loopback build trusts the test key): installed,
// or refused with the reason on standard error; meanwhile the files on disk never pass what the
// signature, or the 1 GiB cap, allows.
TEST_F(PackageBounds, HostileBodiesNeverPassTheirBound) {
  const Bytes program = testProgram(2, 300000);
  const Bytes package = package_unpack::packPackage(program);
  // 64 KiB of zeros packs tenfold: an endless run of them is a disk bomb.
  const Bytes bomb = package_unpack::packPackage(Bytes(65536, 0));
  ASSERT_LT(bomb.size(), 8192u);
  const size_t cut = package.size() / 2;  // not a block boundary in general: find one
  size_t boundary = 0;
  for (size_t at = 0; at < cut;) {
    boundary = at;
    const auto h = package_unpack::readBlockHeader(&package[at]);
    at += package_unpack::kBlockHeaderSize + size_t(h.dataLength);
  }
  ASSERT_GT(boundary, 0u);

  enum Body {
    kWhole,
    kWholeChunked,
    kEndlessChunked,
    kBombDeclaredHuge,
    kOtherLength,
    kCloseDelimitedCut,
    kChunkedEndsEarly,
    kOtherVersion
  };
  const struct {
    const char* what;
    bool keys;
    Body body;
    bool installs;
    const char* reason;  // in the line on standard error
  } cases[] = {
      {"signed, whole", true, kWhole, true, ""},
      {"signed, chunked but signed sizes", true, kWholeChunked, true, ""},
      {"signed, endless bomb", true, kEndlessChunked, false, "runs past"},
      {"signed, other declared length", true, kOtherLength, false, "declares"},
      {"signed for another version: no package GET", true, kOtherVersion, false, "version"},
      {"unsigned, whole", false, kWhole, true, ""},
      {"unsigned, endless bomb", false, kEndlessChunked, false, "does not declare"},
      {"unsigned, declared past the cap", false, kBombDeclaredHuge, false, "declares"},
      {"unsigned, close-delimited cut", false, kCloseDelimitedCut, false, "does not declare"},
      {"unsigned, chunked, ends early", false, kChunkedEndsEarly, false, "does not declare"},
  };
  // The genuine signature of another package, whose sizes are what bounds the bomb.
  const Bytes small = package_unpack::packPackage(testProgram(3, 70000));
  const std::string otherSignature = testSignature(small);
  const std::string ownSignature = testSignature(package);
  const std::string otherVersion = testSignature(package, 12);
  const uint64_t programBound = 70000;

  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    App app;
    std::atomic<uintmax_t> maxProgram{0}, maxPackage{0};
    auto chunk = [](CannedConnection& to, const Bytes& bytes) {
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
      return to.send(size) && to.send(bytes.data(), bytes.size()) && to.send("\r\n");
    };
    CannedHttpServer server([&](const CannedRequest& r, CannedConnection& to) {
      if (r.target.ends_with(".minisig")) {
        to.respond(200, c.body == kEndlessChunked ? otherSignature
                        : c.body == kOtherVersion ? otherVersion
                                                  : ownSignature);
        return;
      }
      const std::string head = "HTTP/1.1 200 OK\r\nETag: \"e\"\r\nConnection: close\r\n";
      const std::string_view all(reinterpret_cast<const char*>(package.data()), package.size());
      switch (c.body) {
        case kOtherVersion:
        case kWhole:
          to.respond(200, all, "ETag: \"e\"\r\n");
          break;
        case kWholeChunked:
        case kChunkedEndsEarly:
          to.send(head + "Transfer-Encoding: chunked\r\n\r\n");
          chunk(to,
                Bytes(package.begin(),
                      package.begin() + long(c.body == kWholeChunked ? package.size() : boundary)));
          to.send("0\r\n\r\n");
          break;
        case kCloseDelimitedCut:
          to.send(head + "\r\n");
          to.send(package.data(), boundary);
          break;
        case kOtherLength:
          to.send(head + "Content-Length: " + std::to_string(package.size() + 1) + "\r\n\r\n");
          to.send(package.data(), package.size());
          break;
        case kBombDeclaredHuge:
        case kEndlessChunked: {
          to.send(head + (c.body == kEndlessChunked ? "Transfer-Encoding: chunked\r\n\r\n"
                                                    : "Content-Length: 2000000000\r\n\r\n"));
          Bytes run;
          for (int i = 0; i < 64; ++i) run.insert(run.end(), bomb.begin(), bomb.end());
          // Bounded: 64 MiB of program at most, far past the signed bound, or the client goes.
          for (int i = 0; i < 16; ++i) {
            maxProgram = std::max<uintmax_t>(maxProgram, sizeOf(package_install::UNPACK_TEMP_FILE));
            maxPackage = std::max<uintmax_t>(maxPackage, sizeOf("3.11.0.BIN"));
            if (!(c.body == kEndlessChunked ? chunk(to, run) : to.send(run.data(), run.size())))
              break;
          }
          break;
        }
      }
    });
    const std::string endpoint = "127.0.0.1:" + std::to_string(server.port());
    auto fetch = [&](FetchRequest to, BodySink& sink) {
      to.target.endpoint = endpoint.c_str();
      return package_download::fetchFromStorage(to, sink);
    };
    bool ok = false;
    const std::string err = app.run(
        fetch, c.keys ? release_signature::builtInPublisherKeys() : std::span<const PublicKey>(),
        &ok);
    EXPECT_EQ(ok, c.installs) << err;
    EXPECT_EQ(app.installed(), c.installs);
    if (c.installs) {
      EXPECT_TRUE(readFile(app.dir / "Kelvora.exe") == program);
    } else {
      EXPECT_NE(err.find(c.reason), std::string::npos) << err;
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
      EXPECT_FALSE(fs::exists(app.dir / package_install::UNPACK_TEMP_FILE));
      EXPECT_FALSE(fs::exists(app.dir / "3.11.0.BIN"));
    }
    EXPECT_TRUE(c.body != kOtherVersion || server.requests().size() == 1u)
        << "only the signature was asked for";
    EXPECT_LE(maxProgram.load(), c.keys ? programBound : package_download::UNSIGNED_SIZE_LIMIT);
    EXPECT_LE(maxPackage.load(), c.keys ? small.size() : package_download::UNSIGNED_SIZE_LIMIT);
  }
}

// The resume rules, one scripted answer per request: what a run makes of a kept part.
TEST(PackageResume, EachAnswerToARangeEndsInItsOwnOutcome) {
  const Bytes program = testProgram(4, 200000);
  const Bytes package = package_unpack::packPackage(program);
  // W the whole package, H its half; e, f, g three ETags.
  const int64_t W = int64_t(package.size()), H = W / 2;
  const char *e = "\"e\"", *f = "\"f\"", *g = "\"g\"";
  struct Answer {
    int status;
    const char* etag;
    int64_t first;  // body from this package offset (206: rangeFirst)
    int64_t size;   // the declared object size
    int64_t count;  // body bytes sent
  };
  const struct {
    const char* what;
    int64_t kept;
    unsigned idleRuns;
    std::vector<Answer> answers;
    bool installs;
    const char* etagFileAfter;  // "" when none is left
  } cases[] = {
      {"206 continues", H, 0, {{206, e, H, W, W - H}}, true, ""},
      {"206, changed ETag: over", H, 0, {{206, f, H, W, W - H}, {200, f, 0, W, W}}, true, ""},
      {"206 elsewhere: over", H, 0, {{206, e, H - 1, W, W - H + 1}, {200, e, 0, W, W}}, true, ""},
      {"200 replaces", H, 0, {{200, g, 0, W, W}}, true, ""},
      {"200 cut short keeps its own ETag", H, 1, {{200, g, 0, W, 1000}}, false, g},
      {"416 of the kept length: kept part is whole", W, 0, {{416, "", 0, W, 0}}, true, ""},
      {"416, other length: over", H, 0, {{416, "", 0, H - 1, 0}, {200, e, 0, W, W}}, true, ""},
      {"206 bringing nothing, once", H, 0, {{206, e, H, W, 0}}, false, "\"e\"\n1"},
      {"206 empty twice: whole", H, 1, {{206, e, H, W, 0}, {200, e, 0, W, W}}, true, ""},
      {"206 cut twice: whole", H, 1, {{-9, e, H, W, 0}, {200, e, 0, W, W}}, true, ""},
      {"progress clears the count", H, 1, {{206, e, H, W, 10}}, false, e},
      {"503 keeps the part", H, 1, {{503, "", 0, -1, 0}}, false, "\"e\"\n1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    App app;
    writeFile(app.dir / "3.11.0.BIN", Bytes(package.begin(), package.begin() + c.kept));
    ASSERT_TRUE(package_resume::rememberEtag("3.11.0.BIN", "\"e\"", c.idleRuns));
    size_t next = 0;
    std::vector<int64_t> ranges;
    auto fetch = [&](const FetchRequest& request, BodySink& sink) {
      FetchOutcome outcome;
      ranges.push_back(request.rangeStart);
      if (next == c.answers.size()) return outcome;
      const Answer& a = c.answers[next++];
      // A negative status: a 206 whose transfer failed before its body.
      outcome.head = {a.status, a.etag, a.status == 206 || a.status < 0 ? a.first : -1, a.size};
      if (a.status / 100 != 2) return outcome;
      if (!sink.begin(outcome.head)) return outcome;
      if (a.count > 0 && !sink.write(std::span(package).subspan(size_t(a.first), size_t(a.count))))
        return outcome;
      outcome.complete = a.first + a.count == W;
      return outcome;
    };
    bool ok = false;
    app.run(fetch, {}, &ok);
    EXPECT_EQ(ok, c.installs);
    EXPECT_EQ(ranges.size(), c.answers.size()) << "one request per answer, none more";
    EXPECT_EQ(ranges.empty() ? c.kept : ranges[0], c.kept) << "the first asks for the rest";
    EXPECT_TRUE(!c.installs || readFile(app.dir / "Kelvora.exe") == program);
    const fs::path etagFile = app.dir / "3.11.0.BIN.etag";
    const Bytes etag = fs::exists(etagFile) ? readFile(etagFile) : Bytes();
    EXPECT_EQ(std::string(etag.begin(), etag.end()), c.etagFileAfter);
  }
}

// The table above under strace: every rename onto the ETag file comes after a flush of the
// package file the download holds open, with no write to it in between.
TEST(PackageResume, TheEtagFileFollowsAFlushedPackage) {
  if (std::getenv("KELVORA_UNDER_STRACE") != nullptr) GTEST_SKIP() << "the traced run";
  if (runCommand("command -v strace >/dev/null").status != 0) GTEST_SKIP() << "no strace";
  TempDir dir;
  const std::string log = (dir / "trace").string();
  ASSERT_EQ(
      runCommand(
          "KELVORA_UNDER_STRACE=1 ASAN_OPTIONS=detect_leaks=0 strace -f -o " + log +
          " -e trace=openat,close,ftruncate,pwrite64,fsync,fdatasync,rename,renameat,renameat2 " +
          fs::read_symlink("/proc/self/exe").string() +
          " --gtest_filter='PackageResume.EachAnswer*' >/dev/null 2>&1")
          .status,
      0);
  std::ifstream in(log);
  std::string fd;  // the package file's descriptor while the download holds it
  bool flushed = false;
  int renames = 0;
  for (std::string line; std::getline(in, line);) {
    auto call = [&](const char* name, char after) {
      return line.find(std::string(name) + "(" + fd + after) != std::string::npos;
    };
    if (line.find("\"3.11.0.BIN\", O_RDWR") != std::string::npos) {
      fd = line.substr(line.rfind("= ") + 2);
      flushed = false;
    } else if (fd.empty()) {
      continue;
    } else if (call("close", ')')) {
      fd.clear();
    } else if (call("fsync", ')') || call("fdatasync", ')')) {
      flushed = true;
    } else if (call("pwrite64", ',') || call("ftruncate", ',')) {
      flushed = false;
    } else if (line.find("rename") != std::string::npos &&
               line.find(", \"3.11.0.BIN.etag\")") != std::string::npos) {
      ++renames;
      EXPECT_TRUE(flushed) << line;
    }
  }
  EXPECT_GE(renames, 3);
}

}  // namespace
